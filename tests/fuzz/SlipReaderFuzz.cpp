// Fuzz target: the byte-fed frame reader on arbitrary line bytes. The first byte sets the size of
// the caller's buffer (0 to 63 bytes, its low six bits), which guard bytes follow, and with bit 6
// a reset() after every 0x00; the rest is fed one byte at a time. Nothing may be written past the
// buffer, size() never exceeds it, and every answer and every frame match what the framing rules
// give for the bytes so far.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "esp/SlipReader.h"

namespace {

using flintmoor::SlipReader;
using Result = SlipReader::Result;

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;

// What the reader must answer, worked out from the rules alone.
class Model {
 public:
  Result feed(uint8_t byte) {
    if (!inFrame_) {
      if (byte == SlipReader::kEnd) open();
      return Result::kMore;
    }
    if (escape_) {
      escape_ = false;
      if (byte != SlipReader::kEscEnd && byte != SlipReader::kEscEsc) {
        inFrame_ = false;
        return Result::kBadEscape;
      }
      frame_.push_back(byte == SlipReader::kEscEnd ? SlipReader::kEnd : SlipReader::kEsc);
      return Result::kMore;
    }
    if (byte == SlipReader::kEsc) {
      escape_ = true;
    } else if (byte == SlipReader::kEnd) {
      if (frame_.empty()) return Result::kMore;  // an empty frame; this END opens the next
      inFrame_ = false;
      return Result::kFrame;
    } else {
      frame_.push_back(byte);
    }
    return Result::kMore;
  }
  const std::vector<uint8_t>& frame() const { return frame_; }
  void reset() { inFrame_ = false; }

 private:
  void open() {
    inFrame_ = true;
    escape_ = false;
    frame_.clear();
  }

  bool inFrame_ = false;
  bool escape_ = false;
  std::vector<uint8_t> frame_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = data[0] % 64;
  std::vector<uint8_t> memory(capacity + kGuard, kGuardByte);
  SlipReader reader(std::span<uint8_t>(memory.data(), capacity));

  const bool resetOnZero = (data[0] & 0x40) != 0;
  Model model;
  for (size_t k = 1; k < size; ++k) {
    const Result result = reader.feed(data[k]);
    Result expected = model.feed(data[k]);
    if (reader.size() > capacity) __builtin_trap();
    if (!std::all_of(memory.begin() + capacity, memory.end(),
                     [](uint8_t b) { return b == kGuardByte; })) {
      __builtin_trap();
    }
    const std::vector<uint8_t>& frame = model.frame();
    if (expected == Result::kFrame && frame.size() > capacity) expected = Result::kTooLong;
    if (result != expected) __builtin_trap();
    if (result == Result::kFrame || result == Result::kTooLong) {
      // The buffer holds the frame, or as much of its start as fits.
      const size_t kept = std::min(frame.size(), capacity);
      if (reader.size() != kept) __builtin_trap();
      if (!std::equal(frame.begin(), frame.begin() + kept, memory.begin())) __builtin_trap();
    }
    if (resetOnZero && data[k] == 0) {
      reader.reset();
      model.reset();
      if (reader.size() != 0 || reader.skipped() != 0 || reader.overflowing()) __builtin_trap();
    }
  }
  return 0;
}
