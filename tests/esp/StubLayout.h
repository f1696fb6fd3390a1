// The flasher stub resource layout, put together piece by piece for tests: the protocol-3 pickle
// of {text, text_start, entry, data, data_start}.
#pragma once

#include <cstdint>
#include <vector>

namespace flintmoor {

inline std::vector<uint8_t> stubLayout(const std::vector<uint8_t>& text, uint32_t textStart,
                                       uint32_t entry, const std::vector<uint8_t>& data,
                                       uint32_t dataStart) {
  std::vector<uint8_t> out;
  // Room first: GCC 12 misjudges the growth of inserts at -O3 and reports overflows that are not.
  out.reserve(text.size() + data.size() + 102);
  const auto put = [&](std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) out.push_back(b);
  };
  const auto word = [&](uint32_t w) {
    put({uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)});
  };
  put({0x80, 0x03, 0x7D, 0x71, 0x00, 0x28, 0x58, 0x04, 0x00, 0x00, 0x00, 't', 'e', 'x', 't', 0x71,
       0x01, 0x42});
  word(uint32_t(text.size()));
  out.insert(out.end(), text.begin(), text.end());
  put({0x71, 0x02, 0x58, 0x0A, 0x00, 0x00, 0x00, 't',  'e',  'x',
       't',  '_',  's',  't',  'a',  'r',  't',  0x71, 0x03, 0x4A});
  word(textStart);
  put({0x58, 0x05, 0x00, 0x00, 0x00, 'e', 'n', 't', 'r', 'y', 0x71, 0x04, 0x4A});
  word(entry);
  put({0x58, 0x04, 0x00, 0x00, 0x00, 'd', 'a', 't', 'a', 0x71, 0x05, 0x43, uint8_t(data.size())});
  out.insert(out.end(), data.begin(), data.end());
  put({0x71, 0x06, 0x58, 0x0A, 0x00, 0x00, 0x00, 'd',  'a',  't',
       'a',  '_',  's',  't',  'a',  'r',  't',  0x71, 0x07, 0x4A});
  word(dataStart);
  put({0x75, 0x2E});
  return out;
}

}  // namespace flintmoor
