// Natural-order comparison of texts (digit runs compared as numbers, blanks ignored, letter case
// folded), used to sort the serial port list so that COM2 comes before COM10.
#pragma once

#include <string>
#include <vector>

namespace flintmoor {

// Returns -1, 0 or 1. Characters 1..32 are skipped; two digit runs compare as whole numbers, or
// from the left as fractions when either starts with '0'; other characters compare after folding
// to upper case. com3 and COM3 compare equal.
int NaturalCompare(const std::string& a, const std::string& b);

// Sorts the port names in natural order; names that compare equal keep their order.
void SortPorts(std::vector<std::string>& ports);

}  // namespace flintmoor
