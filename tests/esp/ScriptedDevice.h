// A scripted serial line for tests: a SerialDevice double that records every write and plays
// input bytes on a VirtualClock, either queued directly or as the answer to the next written
// packet. Plug it into a real TComIo through factory(); the line outlives the devices it makes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/Clock.h"
#include "comio/SerialDevice.h"
#include "tests/support/Wire.h"

namespace flintmoor {

class ScriptedLine {
 public:
  explicit ScriptedLine(VirtualClock& clock) : clock_(clock) {}

  SerialDeviceFactory factory();

  // Queues bytes: the first arrives delayUs after the later of now and the last queued byte, each
  // further one gapUs after its predecessor.
  void feed(std::span<const uint8_t> bytes, int64_t delayUs = 0, int64_t gapUs = 0) {
    int64_t at = std::max(clock_.nowUs(), input_.empty() ? 0 : input_.back().first) + delayUs;
    for (size_t i = 0; i < bytes.size(); ++i, at += gapUs) input_.emplace_back(at, bytes[i]);
  }
  // The answer to the next write that has none yet; an empty answer is silence.
  void answerNext(std::vector<uint8_t> bytes, int64_t delayUs = 1000, int64_t gapUs = 0) {
    answers_.push_back({std::move(bytes), delayUs, gapUs});
  }
  // After the queued input, `byte` every periodUs (> 0) without end.
  void chatter(uint8_t byte, int64_t periodUs) {
    chatterByte_ = byte;
    chatterPeriodUs_ = periodUs;
    chatterNextUs_ = clock_.nowUs() + periodUs;
  }

  size_t pending() const { return input_.size(); }
  size_t bytesRead() const { return bytesRead_; }
  const std::vector<std::vector<uint8_t>>& writes() const { return writes_; }
  // The written frames with their SLIP framing undone.
  std::vector<std::vector<uint8_t>> packets() const {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& w : writes_) out.push_back(unslip(w));
    return out;
  }
  uint32_t baud() const { return baud_; }
  int purges() const { return purges_; }

  static std::vector<uint8_t> slip(std::span<const uint8_t> packet) {
    return testing::slip(packet);
  }
  static std::vector<uint8_t> unslip(std::span<const uint8_t> frame) {
    return testing::unslip(frame);
  }
  // A framed answer: direction 1, opcode, data length, value word, data.
  static std::vector<uint8_t> reply(uint8_t op, std::vector<uint8_t> data, uint32_t value = 0) {
    return testing::slip(testing::answer(op, data, value));
  }

 private:
  friend class ScriptedDevice;
  struct Answer {
    std::vector<uint8_t> bytes;
    int64_t delayUs;
    int64_t gapUs;
  };

  int64_t nextArrivalUs() const {
    if (!input_.empty()) return input_.front().first;
    return chatterPeriodUs_ > 0 ? chatterNextUs_ : INT64_MAX;
  }
  int take() {
    ++bytesRead_;
    if (input_.empty()) {
      chatterNextUs_ += chatterPeriodUs_;
      return chatterByte_;
    }
    const uint8_t b = input_.front().second;
    input_.pop_front();
    return b;
  }
  // Waits on the virtual clock, letting scheduled tasks run (they may feed the line).
  int readByte(int timeoutMs) {
    const int64_t deadline = clock_.nowUs() + std::max(timeoutMs, 0) * int64_t{1000};
    for (;;) {
      const int64_t at = nextArrivalUs();
      if (at <= clock_.nowUs()) return take();
      const int64_t wake = std::min(at, clock_.nextTaskUs());
      if (wake > deadline) {
        clock_.advanceTo(deadline);
        return -1;
      }
      clock_.advanceTo(wake);
    }
  }
  void write(const uint8_t* data, size_t count) {
    writes_.emplace_back(data, data + count);
    if (answers_.empty()) return;
    Answer a = std::move(answers_.front());
    answers_.pop_front();
    feed(a.bytes, a.delayUs, a.gapUs);
  }
  void purge() {
    while (!input_.empty() && input_.front().first <= clock_.nowUs()) input_.pop_front();
    ++purges_;
  }

  VirtualClock& clock_;
  std::deque<std::pair<int64_t, uint8_t>> input_;
  std::deque<Answer> answers_;
  std::vector<std::vector<uint8_t>> writes_;
  size_t bytesRead_ = 0;
  uint8_t chatterByte_ = 0;
  int64_t chatterPeriodUs_ = 0;
  int64_t chatterNextUs_ = 0;
  uint32_t baud_ = 0;
  int purges_ = 0;
};

class ScriptedDevice : public SerialDevice {
 public:
  explicit ScriptedDevice(ScriptedLine& line) : line_(line) {}
  void open(const std::string&, uint32_t baud) override { line_.baud_ = baud; }
  void close() noexcept override {}
  void setBaudRate(uint32_t baud) override { line_.baud_ = baud; }
  void setDTR(bool) override {}
  void setRTS(bool) override {}
  void purge() noexcept override { line_.purge(); }
  size_t write(const uint8_t* data, size_t count) override {
    line_.write(data, count);
    return count;
  }
  int readByte(int timeoutMs) override { return line_.readByte(timeoutMs); }

 private:
  ScriptedLine& line_;
};

inline SerialDeviceFactory ScriptedLine::factory() {
  return [this](const std::string&) { return std::make_unique<ScriptedDevice>(*this); };
}

}  // namespace flintmoor
