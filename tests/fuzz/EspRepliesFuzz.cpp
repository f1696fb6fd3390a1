// Fuzz target: the chip's answers. A TEsp on a real TComIo whose serial device plays the input as
// what the chip sends, on a virtual clock, runs every command once; each may fail with Exception,
// but nothing may crash, leak, hang or write out of place, and a failed command leaves its result
// untouched.
//
// Input: the first byte picks the command to start with (then the others follow in turn); the rest
// is a sequence of answers, each taken by the next packet written:
//   control byte, length (two bytes, little-endian), that many bytes (fewer at the input's end).
// Control bits: 0-1 the gap between bytes (0, 1 ms, 120 ms, 2.1 s), 2 the bytes 64 times over
// (frames longer than the answer buffer), 3 the first byte 250 ms late.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Error.h"
#include "comio/SerialDevice.h"
#include "comio/uComIo.h"
#include "esp/uEsp.h"
#include "log/Log.h"
#include "tests/esp/StubLayout.h"

namespace flintmoor {
namespace {

constexpr int64_t kAnswerDelayUs = 1000;
constexpr int64_t kLateUs = 250000;
constexpr std::array<int64_t, 4> kGapsUs = {0, 1000, 120000, 2100000};
constexpr size_t kRepeat = 64;

// The answers still to come, cut from the input.
class Script {
 public:
  explicit Script(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  struct Answer {
    std::span<const uint8_t> bytes;
    size_t repeat = 1;
    int64_t gapUs = 0;
    int64_t delayUs = kAnswerDelayUs;
  };

  // An empty answer (silence) once the input is used up.
  Answer next() {
    Answer a;
    if (bytes_.size() < 3) {
      bytes_ = {};
      return a;
    }
    const uint8_t control = bytes_[0];
    const size_t length = std::min<size_t>(bytes_[1] | (bytes_[2] << 8), bytes_.size() - 3);
    a.bytes = bytes_.subspan(3, length);
    a.gapUs = kGapsUs[control & 3];
    if (control & 4) a.repeat = kRepeat;
    if (control & 8) a.delayUs += kLateUs;
    bytes_ = bytes_.subspan(3 + length);
    return a;
  }

 private:
  std::span<const uint8_t> bytes_;
};

// The line as the port sees it: each written packet makes the next answer arrive, byte by byte at
// its instants; reads wait on the virtual clock.
class Line {
 public:
  Line(VirtualClock& clock, Script& script) : clock_(clock), script_(script) {}

  void written() {
    Script::Answer a = script_.next();
    if (a.bytes.empty()) return;
    const int64_t lastUs = queue_.empty() ? 0 : queue_.back().endUs();
    queue_.push_back({a.bytes, a.bytes.size() * a.repeat, 0,
                      std::max(clock_.nowUs(), lastUs) + a.delayUs, a.gapUs});
  }

  int readByte(int timeoutMs) {
    if (queue_.empty()) {
      clock_.sleepMs(timeoutMs);
      return -1;
    }
    Pending& p = queue_.front();
    const int64_t atUs = p.nextUs();
    if (atUs > clock_.nowUs() + int64_t(std::max(timeoutMs, 0)) * 1000) {
      clock_.sleepMs(timeoutMs);
      return -1;
    }
    clock_.advanceTo(atUs);
    const uint8_t b = p.bytes[p.pos % p.bytes.size()];
    if (++p.pos == p.count) queue_.pop_front();
    return b;
  }

  // Drops what has arrived by now.
  void purge() {
    while (!queue_.empty()) {
      Pending& p = queue_.front();
      if (p.nextUs() > clock_.nowUs()) return;
      const size_t arrived =
          p.gapUs == 0 ? p.count - p.pos : size_t((clock_.nowUs() - p.nextUs()) / p.gapUs) + 1;
      p.pos += std::min(arrived, p.count - p.pos);
      if (p.pos < p.count) return;
      queue_.pop_front();
    }
  }

 private:
  struct Pending {
    std::span<const uint8_t> bytes;
    size_t count;  // bytes.size() times the repeat
    size_t pos;
    int64_t firstUs;
    int64_t gapUs;
    int64_t nextUs() const { return firstUs + int64_t(pos) * gapUs; }
    int64_t endUs() const { return firstUs + int64_t(count) * gapUs; }
  };

  VirtualClock& clock_;
  Script& script_;
  std::deque<Pending> queue_;
};

class FuzzDevice : public SerialDevice {
 public:
  explicit FuzzDevice(Line& line) : line_(line) {}
  void open(const std::string&, uint32_t) override {}
  void close() noexcept override {}
  void setBaudRate(uint32_t) override {}
  void setDTR(bool) override {}
  void setRTS(bool) override {}
  void purge() noexcept override { line_.purge(); }
  size_t write(const uint8_t*, size_t count) override {
    line_.written();
    return count;
  }
  int readByte(int timeoutMs) override { return line_.readByte(timeoutMs); }

 private:
  Line& line_;
};

// Formats every line, keeps none: the log's formatting runs, its memory stays flat.
class DropLog : public Log {
 protected:
  void addLine(std::string) override {}
  void clearLines() override {}
};

// A stub image with a text of two ESP32 blocks (four ESP32-S2 blocks) and a short data segment.
const std::vector<uint8_t>& stubImage() {
  static const std::vector<uint8_t> image = [] {
    std::vector<uint8_t> text(7000);
    for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t(i * 7);
    std::vector<uint8_t> data(200, 0xC0);
    return stubLayout(text, 0x40080000, 0x40080400, data, 0x3FFE0000);
  }();
  return image;
}

// One command on the protocol object; false when it broke its contract.
using Command = std::function<bool(TEsp&)>;

const std::vector<Command>& commands() {
  static const std::vector<uint8_t> block(4096, 0xDB);
  static const std::vector<Command> all = {
      [](TEsp& esp) {
        esp.changeBaud(921600, 115200);
        return true;
      },
      [](TEsp& esp) {
        uint32_t value = 0x5A5A5A5A;
        try {
          esp.readReg(0x3FF5A00C, value);
        } catch (const Exception&) {
          return value == 0x5A5A5A5A;
        }
        return value == esp.response().Value;
      },
      [](TEsp& esp) {
        esp.writeReg(0x3FF5A00C, 1);
        return true;
      },
      [](TEsp& esp) {
        esp.spiAttach();
        return true;
      },
      [](TEsp& esp) {
        esp.romSpiAttach();
        return true;
      },
      [](TEsp& esp) {
        esp.spiSetParams();
        return true;
      },
      [](TEsp& esp) {
        esp.flashStart(0x10000, 40000, 16384);
        return true;
      },
      [](TEsp& esp) {
        esp.flashWrite(block.data(), 1024);
        return true;
      },
      [](TEsp& esp) {
        esp.flashWrite(block.data(), 16);
        return true;
      },
      [](TEsp& esp) {
        esp.romFlashStart(0x1000, 5000);
        return true;
      },
      [](TEsp& esp) {
        esp.flashDeflStart(0x1000, 100000, 3000);
        return true;
      },
      [](TEsp& esp) {
        esp.flashDeflWrite(block.data(), 4096, 100000);
        return true;
      },
      [](TEsp& esp) {
        std::array<uint8_t, 16> digest;
        digest.fill(0x77);
        try {
          esp.flashMd5(0x1000, 0x100000, digest.data());
        } catch (const Exception&) {
          return std::all_of(digest.begin(), digest.end(), [](uint8_t b) { return b == 0x77; });
        }
        return true;
      },
      [](TEsp& esp) {
        // 40 bytes asked: the answer may claim up to 64; nothing lands past the 40, nor anything
        // at all when the read fails.
        std::array<uint8_t, 64> out;
        out.fill(0x77);
        try {
          esp.readFlashSlow(0x2000, 40, out.data());
        } catch (const Exception&) {
          return std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0x77; });
        }
        return std::all_of(out.begin() + 40, out.end(), [](uint8_t b) { return b == 0x77; });
      },
      [](TEsp& esp) {
        esp.eraseChip();
        return true;
      },
      [](TEsp& esp) {
        esp.ESP32_InstallStub(stubImage());
        return true;
      },
      [](TEsp& esp) {
        esp.ESP32S2_InstallStub(stubImage());
        return true;
      },
      [](TEsp& esp) {
        esp.ESP32_InstallStub();
        return true;
      },
      [](TEsp& esp) {
        // The packet layer alone: one request, then the frames that follow it.
        static const std::array<uint8_t, 36> sync = {0x07, 0x07, 0x12, 0x20};
        esp.sendPacket(sync.data(), uint16_t(sync.size()), kSync);
        for (int i = 0; i < 4; ++i) {
          const int32_t n = esp.getPacket(100, i % 2 == 0);
          if (n == 0 || n < -7 || n > int32_t(sizeof(esp.response()))) return false;
        }
        return true;
      },
  };
  return all;
}

}  // namespace
}  // namespace flintmoor

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flintmoor;
  if (size == 0) return 0;
  VirtualClock clock;
  Script script(std::span<const uint8_t>(data + 1, size - 1));
  Line line(clock, script);
  TComIo com(
      clock, [&line](const std::string&) { return std::make_unique<FuzzDevice>(line); },
      [] { return std::vector<std::string>{}; });
  com.cPort.setPort("FUZZ");
  com.cPort.Open();
  DropLog log;
  auto esp = std::make_unique<TEsp>(com, log);

  const std::vector<Command>& all = commands();
  for (size_t k = 0; k < all.size(); ++k) {
    const Command& command = all[(data[0] + k) % all.size()];
    bool kept = true;
    try {
      kept = command(*esp);
    } catch (const Exception&) {
    }
    if (!kept) __builtin_trap();
  }
  return 0;
}
