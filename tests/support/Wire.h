// The wire format for tests, written out literally and independently of the codecs under test:
// little-endian words, the *_DATA checksum, SLIP framing (END 0xC0; ESC 0xDB with 0xDC for 0xC0
// and 0xDD for 0xDB), and the request and answer packets of the chip's loaders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace flintmoor::testing {

using Bytes = std::vector<uint8_t>;

// Unsigned 32-bit words, little-endian.
inline Bytes words(std::initializer_list<uint32_t> ws) {
  Bytes out;
  for (uint32_t w : ws) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  return out;
}

inline uint32_t le32(std::span<const uint8_t> b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The *_DATA commands' checksum: 0xEF XOR the data bytes.
inline uint32_t xorSum(std::span<const uint8_t> data) {
  uint8_t s = 0xEF;
  for (uint8_t b : data) s ^= b;
  return s;
}

// C0, the packet with 0xC0 as DB DC and 0xDB as DB DD, C0.
inline Bytes slip(std::span<const uint8_t> packet) {
  Bytes frame = {0xC0};
  for (uint8_t b : packet) {
    if (b == 0xC0 || b == 0xDB) {
      frame.push_back(0xDB);
      frame.push_back(b == 0xC0 ? 0xDC : 0xDD);
    } else {
      frame.push_back(b);
    }
  }
  frame.push_back(0xC0);
  return frame;
}

// The packet inside one whole frame (its two ENDs included).
inline Bytes unslip(std::span<const uint8_t> frame) {
  Bytes packet;
  for (size_t i = 1; i + 1 < frame.size(); ++i) {
    if (frame[i] == 0xDB && i + 2 < frame.size()) {
      packet.push_back(frame[++i] == 0xDC ? 0xC0 : 0xDB);
    } else {
      packet.push_back(frame[i]);
    }
  }
  return packet;
}

// A request packet: direction 0, opcode, payload length, checksum word, payload.
inline Bytes request(uint8_t opcode, const Bytes& payload, uint32_t checksum = 0) {
  Bytes p = {0x00, opcode, static_cast<uint8_t>(payload.size()),
             static_cast<uint8_t>(payload.size() >> 8)};
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(checksum >> (8 * i)));
  return cat(p, payload);
}

// An answer packet: direction 1, opcode, data length, value word, data.
inline Bytes answer(uint8_t opcode, const Bytes& data, uint32_t value = 0) {
  Bytes p = {0x01, opcode, static_cast<uint8_t>(data.size()),
             static_cast<uint8_t>(data.size() >> 8)};
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return cat(p, data);
}

}  // namespace flintmoor::testing
