// The virtual chip's SLIP decoder and encoder.
#include "sim/Slip.h"

namespace flintmoor {

namespace {
constexpr uint8_t kEnd = 0xC0;
constexpr uint8_t kEsc = 0xDB;
constexpr uint8_t kEscEnd = 0xDC;
constexpr uint8_t kEscEsc = 0xDD;
}  // namespace

void SimSlipDecoder::reset() {
  state_ = State::kHunting;
  frame_.clear();
  completed_ = false;
}

SimSlipDecoder::Result SimSlipDecoder::feed(uint8_t byte) {
  if (completed_) {
    frame_.clear();
    completed_ = false;
  }
  switch (state_) {
    case State::kHunting:
      if (byte == kEnd) state_ = State::kInFrame;
      return Result::kNone;
    case State::kEscaped:
      if (byte != kEscEnd && byte != kEscEsc) {
        reset();
        return Result::kBadEscape;
      }
      state_ = State::kInFrame;
      byte = byte == kEscEnd ? kEnd : kEsc;
      break;
    case State::kInFrame:
      if (byte == kEnd) {
        if (frame_.empty()) return Result::kNone;
        state_ = endOpensNext_ ? State::kInFrame : State::kHunting;
        completed_ = true;
        return Result::kFrame;
      }
      if (byte == kEsc) {
        state_ = State::kEscaped;
        return Result::kNone;
      }
      break;
  }
  if (frame_.size() >= maxFrame_) {
    droppedOpcode_ = frame_.size() >= 2 ? frame_[1] : 0;
    reset();
    return Result::kTooLong;
  }
  frame_.push_back(byte);
  return Result::kNone;
}

void simSlipEncode(std::span<const uint8_t> packet, std::vector<uint8_t>& out) {
  out.push_back(kEnd);
  for (uint8_t b : packet) {
    if (b == kEnd) {
      out.push_back(kEsc);
      out.push_back(kEscEnd);
    } else if (b == kEsc) {
      out.push_back(kEsc);
      out.push_back(kEscEsc);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(kEnd);
}

}  // namespace flintmoor
