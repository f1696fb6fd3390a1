// The virtual chip's own SLIP codec (END 0xC0, ESC 0xDB; 0xC0 travels as DB DC, 0xDB as DB DD).
// Written apart from the tool's packet layer so that a framing fault on one side cannot hide
// behind the same fault on the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace flintmoor {

// Feeds on one byte at a time. Bytes before an END are skipped; an END with nothing collected
// yet opens the frame (so C0 C0 is no frame), the next END closes it. A bad escape or a frame
// longer than the limit drops what was collected and hunts for the next END. With
// endOpensNext set (the flasher stub's way), the END that closes a frame also opens the next:
// a frame cut short by the next frame's leading END ends there, and the next is not lost.
class SimSlipDecoder {
 public:
  enum class Result { kNone, kFrame, kBadEscape, kTooLong };

  explicit SimSlipDecoder(size_t maxFrame) : maxFrame_(maxFrame) {}

  Result feed(uint8_t byte);
  // The frame just completed; valid after feed() returned kFrame until the next feed().
  const std::vector<uint8_t>& frame() const { return frame_; }
  // Forgets any partial frame and hunts for an END again.
  void reset();
  void setEndOpensNext(bool on) { endOpensNext_ = on; }
  // The second byte of the last frame dropped for its length (a request's opcode).
  uint8_t droppedOpcode() const { return droppedOpcode_; }

 private:
  enum class State { kHunting, kInFrame, kEscaped };

  size_t maxFrame_;
  State state_ = State::kHunting;
  std::vector<uint8_t> frame_;
  bool completed_ = false;  // frame_ holds a finished frame that the next byte discards
  bool endOpensNext_ = false;
  uint8_t droppedOpcode_ = 0;
};

// Appends C0, the escaped packet bytes, C0.
void simSlipEncode(std::span<const uint8_t> packet, std::vector<uint8_t>& out);

}  // namespace flintmoor
