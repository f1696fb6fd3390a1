// Natural-order comparison and the port list sort.
#include "job/StrNatComp.h"

#include <cctype>
#include <cstddef>

namespace flintmoor {

namespace {

// A position past the end reads as character 0.
unsigned char at(const std::string& s, size_t i) {
  return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

bool isDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// Both runs start with a digit; either starts with '0': compare digit by digit from the left.
int compareFraction(const std::string& a, size_t i, const std::string& b, size_t j) {
  for (;; ++i, ++j) {
    bool inA = isDigit(at(a, i));
    bool inB = isDigit(at(b, j));
    if (!inA && !inB) return 0;
    if (!inA) return -1;
    if (!inB) return 1;
    if (at(a, i) != at(b, j)) return at(a, i) < at(b, j) ? -1 : 1;
  }
}

// Both runs start with a non-zero digit: the longer run is the larger number.
int compareWhole(const std::string& a, size_t i, const std::string& b, size_t j) {
  size_t lenA = 0;
  size_t lenB = 0;
  while (isDigit(at(a, i + lenA))) ++lenA;
  while (isDigit(at(b, j + lenB))) ++lenB;
  if (lenA != lenB) return lenA < lenB ? -1 : 1;
  for (size_t k = 0; k < lenA; ++k) {
    if (a[i + k] != b[j + k]) return a[i + k] < b[j + k] ? -1 : 1;
  }
  return 0;
}

}  // namespace

int NaturalCompare(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  for (;;) {
    while (at(a, i) >= 1 && at(a, i) <= 32) ++i;
    while (at(b, j) >= 1 && at(b, j) <= 32) ++j;
    unsigned char ca = at(a, i);
    unsigned char cb = at(b, j);
    if (isDigit(ca) && isDigit(cb)) {
      int run = (ca == '0' || cb == '0') ? compareFraction(a, i, b, j) : compareWhole(a, i, b, j);
      if (run != 0) return run;
    }
    if (ca == 0 && cb == 0) return 0;
    int ua = std::toupper(ca);
    int ub = std::toupper(cb);
    if (ua < ub) return -1;
    if (ua > ub) return 1;
    ++i;
    ++j;
  }
}

void SortPorts(std::vector<std::string>& ports) {
  // Insertion sort: port lists are short, and it stays in bounds and stable whatever the
  // comparison does with odd names (the library sorts demand a strict weak order).
  for (size_t k = 1; k < ports.size(); ++k) {
    std::string item = std::move(ports[k]);
    size_t pos = k;
    while (pos > 0 && NaturalCompare(item, ports[pos - 1]) < 0) {
      ports[pos] = std::move(ports[pos - 1]);
      --pos;
    }
    ports[pos] = std::move(item);
  }
}

}  // namespace flintmoor
