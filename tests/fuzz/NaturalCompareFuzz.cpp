// Fuzz target: the natural compare of port names must be a strict weak order, or sorting would
// misbehave: on three texts split from the input, reflexive equality, antisymmetry, and
// transitivity of "less" and of "equal" (and of the two mixed), in every order.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "job/StrNatComp.h"

namespace {

int cmp(const std::string& a, const std::string& b) {
  const int r = flintmoor::NaturalCompare(a, b);
  if (r != -1 && r != 0 && r != 1) __builtin_trap();
  return r;
}

void checkTriple(const std::string& a, const std::string& b, const std::string& c) {
  const int ab = cmp(a, b);
  const int bc = cmp(b, c);
  const int ac = cmp(a, c);
  // a <= b <= c, with at least one "<", gives a < c; a == b == c gives a == c.
  if (ab <= 0 && bc <= 0 && ac != ((ab < 0 || bc < 0) ? -1 : 0)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::array<std::string, 3> s;
  for (std::string& t : s) t = in.ConsumeRandomLengthString(64);

  for (const std::string& t : s) {
    if (cmp(t, t) != 0) __builtin_trap();
  }
  for (size_t i = 0; i < s.size(); ++i) {
    for (size_t j = 0; j < s.size(); ++j) {
      if (cmp(s[i], s[j]) != -cmp(s[j], s[i])) __builtin_trap();
    }
  }
  static constexpr std::array<std::array<size_t, 3>, 6> kOrders = {
      {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};
  for (const auto& o : kOrders) checkTriple(s[o[0]], s[o[1]], s[o[2]]);
  return 0;
}
