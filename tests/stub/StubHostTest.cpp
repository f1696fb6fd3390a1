// The host's stub loader against the real firmware under qemu, through pipes: a compressed write,
// reading it back, a region erase, each checked by MD5. The firmware runs from its start here, so
// there is no SYNC and no upload: the loader's commands are used as the job uses them after it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Md5.h"
#include "comio/SerialDevice.h"
#include "comio/uComIo.h"
#include "esp/Commands.h"
#include "esp/Deflate.h"
#include "esp/Loader.h"
#include "esp/PacketLink.h"
#include "esp/uEsp.h"
#include "log/Log.h"

namespace flintmoor::test {
namespace {

// The firmware on qemu as a serial port: its standard input and output on pipes.
class QemuPort final : public SerialDevice {
 public:
  void open(const std::string&, uint32_t) override {
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
      execl(FLINTMOOR_QEMU, FLINTMOOR_QEMU, "-M", "sim", "-cpu", "lx106", "-semihosting",
            "-display", "none", "-monitor", "none", "-serial", "none", "-kernel",
            FLINTMOOR_STUB_QEMU_ELF, static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  // Ends the firmware's input and returns the counters it prints as it ends (hexadecimal words).
  std::vector<uint32_t> finish() {
    ::close(in_);
    in_ = -1;
    std::string text;
    char c;
    while (::read(err_, &c, 1) == 1) text += c;
    std::vector<uint32_t> counters;
    std::istringstream words(text);
    for (std::string word; words >> word;)
      counters.push_back(uint32_t(std::stoul(word, nullptr, 16)));
    return counters;
  }
  void close() noexcept override {
    for (int* fd : {&in_, &out_, &err_}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  ~QemuPort() override { close(); }
  void setBaudRate(uint32_t) override {}
  void setDTR(bool) override {}
  void setRTS(bool) override {}
  void purge() noexcept override {}
  size_t write(const uint8_t* data, size_t count) override {
    const ssize_t n = ::write(in_, data, count);
    return n < 0 ? 0 : static_cast<size_t>(n);
  }
  // qemu is far slower than a chip: every wait is stretched.
  int readByte(int timeoutMs) override {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs * 20) != 1) return -1;
    uint8_t b = 0;
    return ::read(out_, &b, 1) == 1 ? b : -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
};

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  uint32_t state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    // Runs of repeated bytes among noise: a stream that deflates to several blocks.
    data[i] = (i / 512) % 2 ? uint8_t(i / 4096) : uint8_t(state >> 16);
  }
  return data;
}

class HostAndFirmware : public ::testing::Test {
 protected:
  HostAndFirmware()
      : com(
            clock,
            [this](const std::string&) {
              auto port = std::make_unique<QemuPort>();
              qemu = port.get();
              return port;
            },
            PortLister{}),
        esp(com, log),
        loader(esp, true) {}
  void SetUp() override {
    com.cPort.setPort("qemu");
    com.cPort.Open();
    ASSERT_EQ(esp.getPacket(5000, false), 4) << "no greeting";
  }
  void TearDown() override { com.cPort.Close(); }

  std::array<uint8_t, 16> chipMd5(uint32_t address, uint32_t size) {
    std::array<uint8_t, 16> digest{};
    loader.md5(address, size, digest.data());
    return digest;
  }

  QemuPort* qemu = nullptr;
  SteadyClock clock;
  MemoryLog log;
  TComIo com;
  TEsp esp;
  StubLoader loader;
};

TEST_F(HostAndFirmware, WritesCompressedReadsBackAndErasesARegion) {
  const uint32_t at = 0x20000;
  const std::vector<uint8_t> image = pattern(100000, 7);
  const std::vector<uint8_t> packed = zlibCompress(image);
  ASSERT_GT(packed.size(), size_t{2 * TEsp::kStubBlock}) << "more than two blocks";
  loader.beginCompressed(at, uint32_t(image.size()), uint32_t(packed.size()));
  size_t longestFrame = 0;
  for (size_t sent = 0, seq = 0; sent < packed.size(); sent += TEsp::kStubBlock, ++seq) {
    const size_t block = std::min<size_t>(TEsp::kStubBlock, packed.size() - sent);
    loader.writeCompressed(packed.data() + sent, uint32_t(block), uint32_t(image.size()));
    Payload slice;
    slice.word(uint32_t(block)).word(uint32_t(seq)).word(0).word(0);
    slice.bytes(packed.data() + sent, uint16_t(block));
    longestFrame =
        std::max(longestFrame, PacketLink::lineLength(command::kFlashDeflDataRule, slice.view()));
  }
  loader.endCompressed();
  EXPECT_EQ(chipMd5(at, uint32_t(image.size())), md5(image));

  std::vector<uint8_t> back(image.size());
  uint32_t lastProgress = 0;
  loader.read(at, uint32_t(back.size()), back.data(), [&](uint32_t n) { lastProgress = n; });
  EXPECT_EQ(back, image);
  EXPECT_EQ(lastProgress, image.size());

  // The first 64 KiB block erased; the rest of the image stays.
  loader.eraseRegion(at, 0x10000);
  EXPECT_EQ(chipMd5(at, 0x10000), md5(std::vector<uint8_t>(0x10000, 0xFF)));
  const std::span<const uint8_t> tail(image.begin() + 0x10000, image.end());
  EXPECT_EQ(chipMd5(at + 0x10000, uint32_t(tail.size())), md5(tail));

  // The slices went out without waiting for each other's answers: at some point the firmware's
  // receive ring held more than the longest slice's frame.
  const std::vector<uint32_t> counters = qemu->finish();
  ASSERT_EQ(counters.size(), 4u);
  EXPECT_GT(counters[3], longestFrame) << "the most bytes the ring held at once";
}

}  // namespace
}  // namespace flintmoor::test
