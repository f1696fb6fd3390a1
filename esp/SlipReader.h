// The frame reader of the packet layer: a SLIP decoder fed one byte at a time, writing into a
// fixed buffer that the caller owns. It knows nothing of ports or time; getPacket drives it with
// the bytes of the serial link and keeps the time and byte bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace flintmoor {

class SlipReader {
 public:
  enum class Result : uint8_t {
    kMore,       // the byte was taken; no frame complete yet
    kFrame,      // a closing END: size() decoded bytes stand at the start of the buffer
    kBadEscape,  // ESC followed by a byte other than 0xDC or 0xDD
    kTooLong,    // the closing END of a frame longer than the buffer; the buffer holds its start
  };

  // The reader starts hunting: every byte before the first END is skipped. The buffer outlives
  // the reader; nothing is ever written past its end.
  explicit SlipReader(std::span<uint8_t> buffer) : buffer_(buffer) {}

  // Rules: END opens a frame; END END is an empty frame, skipped (the second END opens the next
  // frame); ESC DC stores C0, ESC DD stores DB. After kFrame, kBadEscape and kTooLong the reader
  // hunts again, so the rest of a frame with a bad escape is skipped up to its END and taken for
  // no frame.
  Result feed(uint8_t byte);

  size_t size() const { return size_; }
  // Back to hunting, the frame in progress dropped.
  void reset();
  // Bytes that belonged to no frame (skipped while hunting, the ENDs of empty frames) since the
  // last reset() or completed frame: what the caller bounds.
  size_t skipped() const { return skipped_; }
  // True while the frame being read has grown past the buffer.
  bool overflowing() const { return length_ > buffer_.size(); }

  static constexpr uint8_t kEnd = 0xC0;
  static constexpr uint8_t kEsc = 0xDB;
  static constexpr uint8_t kEscEnd = 0xDC;
  static constexpr uint8_t kEscEsc = 0xDD;

 private:
  enum class State : uint8_t { kHunt, kBody, kEscape };

  std::span<uint8_t> buffer_;
  State state_ = State::kHunt;
  size_t size_ = 0;
  size_t length_ = 0;  // decoded bytes of the frame in progress, stored or not
  size_t skipped_ = 0;
};

}  // namespace flintmoor
