// Test bench for the virtual ESP32: a board on a virtual clock with its "SIM" port, the two reset
// pulses, and request frames built and answer frames read straight from the wire format
// (independently of the chip's and of the tool's codecs).
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Error.h"
#include "sim/SimSerialDevice.h"
#include "sim/VirtualEsp32.h"
#include "tests/support/Wire.h"

namespace flintmoor::simtest {

using testing::Bytes;
using testing::le32;
using testing::words;
using testing::xorSum;

// `data` deflated at level 9 as a zlib stream (RFC 1950: header, deflate data, Adler-32), or with
// `raw` as bare deflate data without header and trailer.
inline Bytes zlibStream(const Bytes& data, bool raw = false) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, raw ? -15 : 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Slice `index` of `stream` cut into `size`-byte slices (the last one may be shorter).
inline Bytes slice(const Bytes& stream, size_t index, size_t size = 4096) {
  size_t from = std::min(stream.size(), index * size);
  return Bytes(stream.begin() + static_cast<ptrdiff_t>(from),
               stream.begin() + static_cast<ptrdiff_t>(std::min(stream.size(), from + size)));
}

inline uint32_t sliceCount(const Bytes& stream, size_t size = 4096) {
  return static_cast<uint32_t>((stream.size() + size - 1) / size);
}

// An image-like byte sequence: sixteen byte values (END and ESC among them) in a fixed
// pseudo-random order, so that it deflates to about half its size.
inline Bytes imageBytes(size_t n, uint32_t seed = 1) {
  static const uint8_t alphabet[] = {0x00, 0x01, 0x20, 0x40, 0xC0, 0xDB, 'a', 'b',
                                     'c',  'd',  'e',  'f',  'g',  'h',  'i', 'j'};
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    out[i] = alphabet[(seed >> 16) % sizeof alphabet];
  }
  return out;
}

// C0, direction 0, opcode, length, checksum, payload, C0, with 0xC0 -> DB DC and 0xDB -> DB DD.
inline Bytes requestFrame(uint8_t opcode, const Bytes& payload, uint32_t checksum = 0) {
  return testing::slip(testing::request(opcode, payload, checksum));
}

// The fixed 46-byte SYNC frame.
inline Bytes syncFrame() {
  static const uint8_t head[] = {0xC0, 0x00, 0x08, 0x24, 0x00, 0x78, 0x01,
                                 0x3A, 0x00, 0x07, 0x07, 0x12, 0x20};
  Bytes f(sizeof head + 32 + 1, 0x55);  // filled, not grown: GCC 12 misjudges inserts at -O3
  std::copy(std::begin(head), std::end(head), f.begin());
  f.back() = 0xC0;
  return f;
}

struct Answer {
  uint8_t direction = 0;
  uint8_t opcode = 0;
  uint16_t size = 0;
  uint32_t value = 0;
  Bytes data;
};

class SimBench : public ::testing::Test {
 protected:
  explicit SimBench(VirtualEsp32Options options = {}) : board(clock, options), port(board) {}

  void open(uint32_t baud = 115200) { port.open("SIM", baud); }

  // Download boot: DTR off, RTS on, DTR off, wait; DTR on, RTS off, DTR on, wait; DTR off.
  void downloadReset(int lowMs = 150, int highMs = 100) {
    port.setDTR(false);
    port.setRTS(true);
    port.setDTR(false);
    clock.sleepMs(lowMs);
    port.setDTR(true);
    port.setRTS(false);
    port.setDTR(true);
    clock.sleepMs(highMs);
    port.setDTR(false);
  }

  // Application boot: RTS on, DTR off, 50 ms, RTS off, DTR off.
  void applicationReset() {
    port.setRTS(true);
    port.setDTR(false);
    clock.sleepMs(50);
    port.setRTS(false);
    port.setDTR(false);
  }

  // Every byte until the line has been quiet for quietMs (at most 64 KiB).
  Bytes drain(int quietMs = 20) {
    Bytes out;
    for (int b; out.size() < 65536 && (b = port.readByte(quietMs)) >= 0;) {
      out.push_back(static_cast<uint8_t>(b));
    }
    return out;
  }

  void send(const Bytes& raw) { port.write(raw.data(), raw.size()); }
  void send(uint8_t opcode, const Bytes& payload, uint32_t checksum = 0) {
    send(requestFrame(opcode, payload, checksum));
  }

  // One decoded frame: up to 4096 bytes before the first END skipped; nullopt on a time-out, a
  // bad escape or a hunt that finds no END.
  std::optional<Bytes> readFrame(int timeoutMs = 500) {
    int b;
    int skipped = 0;
    do {
      if ((b = port.readByte(timeoutMs)) < 0 || ++skipped > 4096) return std::nullopt;
    } while (b != 0xC0);
    Bytes out;
    for (;;) {
      if ((b = port.readByte(timeoutMs)) < 0) return std::nullopt;
      if (b == 0xC0) {
        if (out.empty()) continue;
        return out;
      }
      if (b == 0xDB) {
        b = port.readByte(timeoutMs);
        if (b == 0xDC) {
          b = 0xC0;
        } else if (b == 0xDD) {
          b = 0xDB;
        } else {
          return std::nullopt;
        }
      }
      out.push_back(static_cast<uint8_t>(b));
    }
  }

  std::optional<Answer> readAnswer(int timeoutMs = 500) {
    auto f = readFrame(timeoutMs);
    if (!f || f->size() < 8) return std::nullopt;
    Answer a{(*f)[0], (*f)[1], static_cast<uint16_t>((*f)[2] | (*f)[3] << 8), le32(*f, 4),
             Bytes(f->begin() + 8, f->end())};
    return a;
  }

  // Sends a request and returns its answer (time-out per byte).
  Answer command(uint8_t opcode, const Bytes& payload, uint32_t checksum = 0,
                 int timeoutMs = 2000) {
    port.purge();
    send(opcode, payload, checksum);
    auto a = readAnswer(timeoutMs);
    EXPECT_TRUE(a.has_value()) << "no answer to opcode " << int{opcode};
    return a.value_or(Answer{});
  }

  // MEM_DATA or FLASH_DATA: length (the data's own unless given), sequence, 0, 0, data; the
  // checksum XORed with `flip`.
  Answer dataCommand(uint8_t opcode, uint32_t seq, const Bytes& data, uint32_t flip = 0,
                     std::optional<uint32_t> length = std::nullopt) {
    Bytes payload = words({length.value_or(static_cast<uint32_t>(data.size())), seq, 0, 0});
    payload.insert(payload.end(), data.begin(), data.end());
    return command(opcode, payload, xorSum(data) ^ flip);
  }

  // Port open at `baud`, download boot, one SYNC answered, the surplus answers drained.
  void connect(uint32_t baud = 115200) {
    open(baud);
    downloadReset();
    drain();
    send(syncFrame());
    auto a = readAnswer();
    ASSERT_TRUE(a.has_value());
    ASSERT_EQ(a->opcode, 0x08);
    drain();
  }

  // A small image loaded as the stub: a 64-byte text segment, a 4-byte data segment, MEM_END.
  void startStub() {
    Bytes text(64);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>(i * 7);
    Bytes data = {1, 2, 3, 4};
    command(0x05, words({64, 0, 6144, 0x400BE000}));
    dataCommand(0x07, 0, text);
    command(0x05, words({4, 1, 6144, 0x3FFDEBA8}));
    dataCommand(0x07, 0, data);
    command(0x06, words({0, 0x400BE010}));
    auto greeting = readFrame(200);
    ASSERT_TRUE(greeting.has_value());
    ASSERT_EQ(*greeting, (Bytes{'O', 'H', 'A', 'I'}));
  }

  VirtualClock clock;
  VirtualEsp32 board;
  SimSerialDevice port;
};

// The message of the EComPort that `call` raises, or "no error".
template <typename Call>
std::string portError(Call&& call) {
  try {
    call();
  } catch (const EComPort& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace flintmoor::simtest
