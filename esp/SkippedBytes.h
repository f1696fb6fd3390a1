// SkippedBytes: the last 4 KiB of the bytes that arrived outside frames (the chip's boot text, an
// application's output, noise), kept in a fixed ring so that keeping them never allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace flintmoor {

class SkippedBytes {
 public:
  static constexpr size_t kCapacity = 4096;

  // Keeps the byte; once kCapacity bytes are held, the oldest one goes.
  void add(uint8_t byte) {
    ring_[(first_ + size_) % kCapacity] = byte;
    if (size_ < kCapacity) {
      ++size_;
    } else {
      first_ = (first_ + 1) % kCapacity;
    }
  }
  void clear() { first_ = size_ = 0; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The bytes held, oldest first, one char each.
  std::string text() const {
    std::string out;
    out.reserve(size_);
    for (size_t i = 0; i < size_; ++i) out.push_back(char(ring_[(first_ + i) % kCapacity]));
    return out;
  }

 private:
  std::array<uint8_t, kCapacity> ring_{};
  size_t first_ = 0;
  size_t size_ = 0;
};

}  // namespace flintmoor
