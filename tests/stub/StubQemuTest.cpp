// The flasher stub's command handling, built for the lx106 with stand-ins for the ROM (a 4 MiB
// flash array, MD5, an inflater) and run on qemu's `sim` machine, its standard input and output
// as the UART: the request/answer vectors the virtual ESP32's stub model also runs, then what they
// cannot say (a block answered before it is written, acknowledgements never sent, line noise, a
// failure after a block was answered, the reboot). The stand-in prints four counters on
// standard error when its input ends: blocks answered before they were written, bytes received
// while the flash was busy, the line speed, and the most bytes its receive ring held.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "stub/StubProtocol.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes slip(const Bytes& b) {
  Bytes out{0xC0};
  for (uint8_t c : b) {
    if (c == 0xC0 || c == 0xDB) {
      out.push_back(0xDB);
      out.push_back(c == 0xC0 ? 0xDC : 0xDD);
    } else {
      out.push_back(c);
    }
  }
  out.push_back(0xC0);
  return out;
}

void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

uint32_t get32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

Bytes request(uint8_t op, std::vector<uint32_t> words, const Bytes& data = {}) {
  Bytes payload;
  for (uint32_t w : words) put32(payload, w);
  payload.insert(payload.end(), data.begin(), data.end());
  uint32_t checksum = 0xEF;
  for (uint8_t c : data) checksum ^= c;
  Bytes b{0, op, uint8_t(payload.size()), uint8_t(payload.size() >> 8)};
  put32(b, data.empty() ? 0 : checksum);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// The stub on qemu, its standard streams on pipes.
class QemuStub {
 public:
  QemuStub() {
    signal(SIGPIPE, SIG_IGN);  // a stub that ended early fails the test, not the test program
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      execl(FLINTMOOR_QEMU, FLINTMOOR_QEMU, "-M", "sim", "-cpu", "lx106", "-semihosting",
            "-display", "none", "-monitor", "none", "-serial", "none", "-kernel",
            FLINTMOOR_STUB_QEMU_ELF, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~QemuStub() {
    if (in_ >= 0) close(in_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  void sendRaw(const Bytes& b) { ASSERT_EQ(write(in_, b.data(), b.size()), ssize_t(b.size())); }
  void send(const Bytes& packet) { sendRaw(slip(packet)); }

  // The next frame with a body, decoded; empty when the output ended (or after 60 s: a hang).
  Bytes frame() {
    Bytes body;
    bool esc = false;
    for (;;) {
      if (pos_ == buf_.size() && !fill()) return {};
      const uint8_t c = buf_[pos_++];
      if (c == 0xC0) {
        if (!body.empty()) return body;
      } else if (esc) {
        body.push_back(c == 0xDC ? 0xC0 : c == 0xDD ? 0xDB : c);
        esc = false;
      } else if (c == 0xDB) {
        esc = true;
      } else {
        body.push_back(c);
      }
    }
  }

  // Ends the input, waits for the program to end; returns its exit status and the counters.
  int finish(std::vector<uint32_t>* counters = nullptr) {
    close(in_);
    in_ = -1;
    while (fill()) {
    }
    std::string text;
    char c;
    while (read(err_, &c, 1) == 1) text += c;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (counters) {
      std::istringstream in(text);
      for (std::string word; in >> word;)
        counters->push_back(uint32_t(std::stoul(word, nullptr, 16)));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  Bytes rest() const { return Bytes(buf_.begin() + long(pos_), buf_.end()); }

 private:
  bool fill() {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 60'000) != 1) return false;
    uint8_t chunk[65536];
    const ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buf_.insert(buf_.end(), chunk, chunk + n);
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  Bytes buf_;
  size_t pos_ = 0;
};

// An answer's data: the header checked, the bytes after it.
Bytes answerTo(QemuStub& stub, uint8_t op) {
  const Bytes a = stub.frame();
  if (a.size() < 10 || a[0] != 1 || a[1] != op || a.size() != 8u + (a[2] | a[3] << 8)) {
    ADD_FAILURE() << "no answer to opcode " << int(op);
    return {};
  }
  return Bytes(a.begin() + 8, a.end());
}

const Bytes kOk{0, 0};
Bytes failed(uint8_t err) {
  return {1, err};
}

class StubUnderQemu : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(stub.frame(), Bytes({'O', 'H', 'A', 'I'})); }
  QemuStub stub;
};

Bytes hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (std::string t; in >> t;) {
    const size_t star = t.find('*');
    const auto b = uint8_t(std::stoul(t.substr(0, star), nullptr, 16));
    out.insert(out.end(), star == std::string::npos ? 1 : std::stoul(t.substr(star + 1)), b);
  }
  return out;
}

TEST_F(StubUnderQemu, AnswersEveryVectorAndWritesBlocksWhileTheNextArrives) {
  std::ifstream file(FLINTMOOR_STUB_VECTORS);
  ASSERT_TRUE(file) << FLINTMOOR_STUB_VECTORS;
  std::string line, name;
  int lineNo = 0, cases = 0;
  while (std::getline(file, line)) {
    ++lineNo;
    if (line.rfind("case ", 0) == 0) {
      name = line.substr(5);
      ++cases;
    } else if (line.rfind(">> ", 0) == 0) {
      stub.sendRaw(slip(hex(line.substr(3))));
    } else if (line.rfind("> ", 0) == 0) {
      stub.send(hex(line.substr(2)));
    } else if (line.rfind("<", 0) == 0) {
      const Bytes expected = hex(line.substr(line.rfind("<< ", 0) == 0 ? 3 : 2));
      const Bytes got = stub.frame();
      ASSERT_EQ(got.size(), expected.size()) << "case " << name << ", line " << lineNo;
      ASSERT_TRUE(got == expected) << "case " << name << ", line " << lineNo;
    }
  }
  EXPECT_GE(cases, 20);
  std::vector<uint32_t> counters;
  EXPECT_EQ(stub.finish(&counters), 0);
  ASSERT_EQ(counters.size(), 4u);
  EXPECT_GT(counters[0], 10u) << "data blocks answered before they were written";
  EXPECT_GT(counters[1], 0u) << "bytes received while the flash was busy";
}

TEST_F(StubUnderQemu, AnswersEachBlockBeforeWritingItAndReadsBackWhatItWrote) {
  Bytes image(3 * kStubMaxBlock);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + (i >> 12));
  stub.send(request(kStubOpFlashBegin, {uint32_t(image.size()), 3, kStubMaxBlock, 0x100000}));
  EXPECT_EQ(answerTo(stub, kStubOpFlashBegin), kOk);
  for (uint32_t seq = 0; seq < 3; ++seq) {
    const Bytes block(image.begin() + seq * kStubMaxBlock,
                      image.begin() + (seq + 1) * kStubMaxBlock);
    stub.send(request(kStubOpFlashData, {kStubMaxBlock, seq, 0, 0}, block));
    EXPECT_EQ(answerTo(stub, kStubOpFlashData), kOk) << seq;
  }
  stub.send(request(kStubOpSpiFlashMd5, {0x100000, uint32_t(image.size()), 0, 0}));
  const Bytes md5 = answerTo(stub, kStubOpSpiFlashMd5);
  ASSERT_EQ(md5.size(), 18u);

  stub.send(request(kStubOpReadFlash, {0x100000, uint32_t(image.size()), 4096, 64}));
  EXPECT_EQ(answerTo(stub, kStubOpReadFlash), kOk);
  Bytes back;
  while (back.size() < image.size()) {
    const Bytes packet = stub.frame();
    ASSERT_EQ(packet.size(), 4096u);
    back.insert(back.end(), packet.begin(), packet.end());
    Bytes ack;
    put32(ack, uint32_t(back.size()));
    stub.sendRaw(slip(ack));
  }
  EXPECT_TRUE(back == image);
  EXPECT_EQ(stub.frame(), Bytes(md5.begin(), md5.begin() + 16)) << "READ_FLASH's digest";

  std::vector<uint32_t> counters;
  EXPECT_EQ(stub.finish(&counters), 0);
  ASSERT_EQ(counters.size(), 4u);
  EXPECT_EQ(counters[0], 3u);
  EXPECT_GT(counters[1], 0u);
}

TEST_F(StubUnderQemu, ReadFlashSendsNoMoreThanTheUnacknowledgedPacketsAllowed) {
  stub.send(request(kStubOpReadFlash, {0, 4096, 256, 3}));
  EXPECT_EQ(answerTo(stub, kStubOpReadFlash), kOk);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(stub.frame(), Bytes(256, 0xFF)) << i;
  EXPECT_EQ(stub.finish(), 0);
  EXPECT_TRUE(stub.rest().empty()) << "a fourth packet without an acknowledgement";
}

TEST_F(StubUnderQemu, IgnoresNoiseEmptyShortAndBadlyEscapedFrames) {
  stub.sendRaw({0xC0, 0xC0, 0x55, 0x00, 0xC0});                             // empty, then short
  stub.sendRaw({0xC0, 0x00, 0x08, 0x00, 0x00, 0xDB, 0x01, 0, 0, 0, 0xC0});  // bad escape
  stub.sendRaw(slip(Bytes{0x01, 0x08, 0x00, 0x00, 0, 0, 0, 0}));            // an answer's direction
  stub.send(request(kStubOpSync, {0x20120707}));
  EXPECT_EQ(answerTo(stub, kStubOpSync), kOk);
  EXPECT_EQ(stub.finish(), 0);
  EXPECT_TRUE(stub.rest().empty()) << "answers to dropped frames";
}

// A request cut short by the next request's leading END: the END ends the cut one (answered as
// malformed) and starts the next, which is served. The virtual chip's stub model does the same.
TEST_F(StubUnderQemu, ARequestCutShortByTheNextIsAnsweredAndTheNextServed) {
  Bytes cut = {0xC0, 0x00, kStubOpFlashData, 0x10, 0x04, 0xEF, 0x00, 0x00, 0x00};
  cut.insert(cut.end(), 12, 0x00);
  stub.sendRaw(cut);
  stub.send(request(kStubOpSync, {0x20120707}));
  EXPECT_EQ(answerTo(stub, kStubOpFlashData), failed(kStubErrBadDataLen));
  EXPECT_EQ(answerTo(stub, kStubOpSync), kOk);
  EXPECT_EQ(stub.finish(), 0);
}

TEST_F(StubUnderQemu, AWriteThatFailsAfterItsAnswerIsReportedUntilTheEnd) {
  // The stub's bound is 16 MiB, the flash behind it 4 MiB: erasing at 5 MiB fails.
  stub.send(request(kStubOpSpiSetParams, {0, 0x1000000, 0x10000, 0x1000, 0x100, 0xFFFF}));
  EXPECT_EQ(answerTo(stub, kStubOpSpiSetParams), kOk);
  stub.send(request(kStubOpFlashBegin, {0x800, 2, 0x400, 0x500000}));
  EXPECT_EQ(answerTo(stub, kStubOpFlashBegin), kOk);
  stub.send(request(kStubOpFlashData, {0x400, 0, 0, 0}, Bytes(0x400, 0x11)));
  EXPECT_EQ(answerTo(stub, kStubOpFlashData), kOk);
  stub.send(request(kStubOpFlashData, {0x400, 1, 0, 0}, Bytes(0x400, 0x22)));
  EXPECT_EQ(answerTo(stub, kStubOpFlashData), failed(kStubErrFlashFailed));
  stub.send(request(kStubOpSpiFlashMd5, {0x500000, 0x800, 0, 0}));
  EXPECT_EQ(answerTo(stub, kStubOpSpiFlashMd5), failed(kStubErrFlashFailed));
  stub.send(request(kStubOpFlashEnd, {1}));
  EXPECT_EQ(answerTo(stub, kStubOpFlashEnd), failed(kStubErrFlashFailed));
  // A new write starts clean.
  stub.send(request(kStubOpFlashBegin, {0x400, 1, 0x400, 0x100000}));
  EXPECT_EQ(answerTo(stub, kStubOpFlashBegin), kOk);
  stub.send(request(kStubOpFlashData, {0x400, 0, 0, 0}, Bytes(0x400, 0x33)));
  EXPECT_EQ(answerTo(stub, kStubOpFlashData), kOk);
  stub.send(request(kStubOpFlashEnd, {1}));
  EXPECT_EQ(answerTo(stub, kStubOpFlashEnd), kOk);
}

// The host's JEDEC id read: a user command on the SPI1 controller through WRITE_REG and READ_REG.
TEST_F(StubUnderQemu, ReadsTheFlashIdThroughTheSpiRegisters) {
  const auto writeReg = [&](uint32_t address, uint32_t value) {
    stub.send(request(kStubOpWriteReg, {address, value, 0xFFFFFFFF, 0}));
    EXPECT_EQ(answerTo(stub, kStubOpWriteReg), kOk);
  };
  writeReg(0x3FF42008, 0);
  writeReg(0x3FF4201C, 0x90000000);
  writeReg(0x3FF42024, 0x7000009F);
  writeReg(0x3FF4202C, 0x17);
  writeReg(0x3FF42080, 0);
  writeReg(0x3FF42000, 0x00040000);
  stub.send(request(kStubOpReadReg, {0x3FF42000}));
  Bytes a = stub.frame();
  ASSERT_EQ(a.size(), 10u);
  EXPECT_EQ(get32(a, 4) & 0x00040000, 0u) << "the user command still running";
  stub.send(request(kStubOpReadReg, {0x3FF42080}));
  a = stub.frame();
  ASSERT_EQ(a.size(), 10u);
  EXPECT_EQ(get32(a, 4) & 0xFFFFFF, 0x1640EFu);
}

TEST_F(StubUnderQemu, ChangesSpeedAfterItsAnswerAndRebootsAfterFlashEndWithFlagZero) {
  stub.send(request(kStubOpChangeBaudrate, {2000000, 115200}));
  EXPECT_EQ(answerTo(stub, kStubOpChangeBaudrate), kOk);
  stub.send(request(kStubOpFlashBegin, {0x400, 1, 0x400, 0}));
  EXPECT_EQ(answerTo(stub, kStubOpFlashBegin), kOk);
  stub.send(request(kStubOpFlashEnd, {0}));
  EXPECT_EQ(answerTo(stub, kStubOpFlashEnd), kOk);
  std::vector<uint32_t> counters;
  EXPECT_EQ(stub.finish(&counters), 3) << "the stand-in's reboot";
  ASSERT_EQ(counters.size(), 4u);
  EXPECT_EQ(counters[2], 2000000u);
}

}  // namespace
