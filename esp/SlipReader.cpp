// The byte-fed SLIP decoder.
#include "esp/SlipReader.h"

namespace flintmoor {

void SlipReader::reset() {
  state_ = State::kHunt;
  size_ = 0;
  length_ = 0;
  skipped_ = 0;
}

SlipReader::Result SlipReader::feed(uint8_t byte) {
  switch (state_) {
    case State::kHunt:
      if (byte == kEnd) {
        state_ = State::kBody;
        length_ = 0;
      } else {
        ++skipped_;
      }
      return Result::kMore;
    case State::kEscape:
      if (byte != kEscEnd && byte != kEscEsc) {
        state_ = State::kHunt;
        return Result::kBadEscape;
      }
      byte = byte == kEscEnd ? kEnd : kEsc;
      state_ = State::kBody;
      break;
    case State::kBody:
      if (byte == kEnd) {
        if (length_ == 0) {
          ++skipped_;  // END END: nothing, and this END opens the next frame
          return Result::kMore;
        }
        state_ = State::kHunt;
        size_ = length_ <= buffer_.size() ? length_ : buffer_.size();
        const bool tooLong = length_ > buffer_.size();
        length_ = 0;
        skipped_ = 0;
        return tooLong ? Result::kTooLong : Result::kFrame;
      }
      if (byte == kEsc) {
        state_ = State::kEscape;
        return Result::kMore;
      }
      break;
  }
  if (length_ < buffer_.size()) buffer_[length_] = byte;
  ++length_;
  return Result::kMore;
}

}  // namespace flintmoor
