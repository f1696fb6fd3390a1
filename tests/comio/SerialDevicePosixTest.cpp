// The POSIX serial backend against a real pseudo-terminal pair: the test holds the master side as
// the far end of the line and the backend opens the slave by its path.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Termios2Probe.h"
#include "base/Clock.h"
#include "base/Error.h"
#include "comio/Platform.h"
#include "comio/uComIo.h"

using namespace flintmoor;
using Bytes = std::vector<uint8_t>;

namespace {

template <typename F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const EComPort& e) {
    return e.what();
  }
  return "no error";
}

template <typename F>
int codeOf(F&& f) {
  try {
    f();
  } catch (const EComPort& e) {
    return e.code();
  }
  return 0;
}

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256] = {};
    ASSERT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0) << errno;
    path_ = name;
  }
  void TearDown() override {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }

  void sendFromFarEnd(const Bytes& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Waits (bounded by the poll time-out, not a sleep) until the sent bytes reached the tty.
  void awaitQueued() {
    pollfd p{slave_, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
  }
  Bytes receiveAtFarEnd(size_t count) {
    Bytes got;
    while (got.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) break;
      uint8_t buf[256];
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }
  void hangUpFarEnd() {
    ::close(master_);
    master_ = -1;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace

TEST_F(PtyTest, BytesPassUnchangedBothWays) {
  // Frame delimiters, NUL, the control characters a tty would interpret (^C, XON, XOFF, ^Z, CR,
  // LF, DEL) and the top of the byte range.
  const Bytes bytes{0xC0, 0x80, 0x00, 0x03, 0x11, 0x13, 0x1A, 0x0D, 0x0A, 0x7F, 0xDB, 0xFF};
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);

  sendFromFarEnd(bytes);
  Bytes got;
  for (size_t i = 0; i < bytes.size(); ++i)
    got.push_back(static_cast<uint8_t>(dev->readByte(2000)));
  EXPECT_EQ(got, bytes);

  EXPECT_EQ(dev->write(bytes.data(), bytes.size()), bytes.size());
  EXPECT_EQ(receiveAtFarEnd(bytes.size()), bytes);
}

TEST_F(PtyTest, ReadReturnsQueuedBytesInOrderThenMinusOneAfterTheTimeOut) {
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);
  sendFromFarEnd({0x01, 0xC0, 0x80});
  awaitQueued();
  EXPECT_EQ(dev->readByte(200), 0x01);
  EXPECT_EQ(dev->readByte(200), 192);
  EXPECT_EQ(dev->readByte(200), 128);

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dev->readByte(30), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST_F(PtyTest, PurgeDiscardsQueuedInput) {
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);
  sendFromFarEnd({0x10, 0x20, 0x30});
  awaitQueued();
  dev->purge();
  EXPECT_EQ(dev->readByte(20), -1);
}

TEST_F(PtyTest, ASecondOpenFailsUntilTheFirstIsClosed) {
  auto first = makeOsSerialDevice();
  auto second = makeOsSerialDevice();
  first->open(path_, 115200);
  int code = codeOf([&] { second->open(path_, 115200); });
  EXPECT_TRUE(code == EBUSY || code == EWOULDBLOCK) << code;
  EXPECT_EQ(errorOf([&] { second->open(path_, 115200); }),
            "Unable to open com port (Error: " + std::to_string(code) + ")");
  first->close();
  EXPECT_EQ(errorOf([&] { second->open(path_, 115200); }), "no error");
}

TEST_F(PtyTest, OpenOfAMissingDeviceOrANonTerminalFails) {
  auto dev = makeOsSerialDevice();
  EXPECT_EQ(errorOf([&] { dev->open("/dev/flintmoor-no-such-port", 115200); }),
            "Unable to open com port (Error: 2)");
  EXPECT_EQ(errorOf([&] { dev->open("/dev/null", 115200); }),
            "Unable to open com port (Error: " + std::to_string(ENOTTY) + ")");
}

TEST_F(PtyTest, LineIsRaw8N1WithoutFlowControlAtAnyIntegerSpeed) {
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);
  for (uint32_t baud : {115200u, 921600u, 1234567u}) {
    SCOPED_TRACE(baud);
    dev->setBaudRate(baud);
    // The master side reports the settings of the slave tty.
    probe::LineSettings s;
    ASSERT_TRUE(probe::readLineSettings(master_, s));
    EXPECT_EQ(s.outputSpeed, baud);
    EXPECT_EQ(s.inputSpeed, baud);
    EXPECT_TRUE(s.customSpeed);
    EXPECT_TRUE(s.eightBits && s.receiverOn && s.ignoresModemStatus);
    EXPECT_FALSE(s.parity || s.twoStopBits || s.hardwareFlow || s.softwareFlow);
    EXPECT_FALSE(s.translatesInput || s.processesOutput || s.lineEditingOrEcho);
  }
}

TEST_F(PtyTest, DeviceWithoutModemLinesOpensButRefusesDtrAndRts) {
  auto dev = makeOsSerialDevice();
  ASSERT_EQ(errorOf([&] { dev->open(path_, 115200); }), "no error");
  for (auto set : {&SerialDevice::setDTR, &SerialDevice::setRTS}) {
    std::string error = errorOf([&] { ((*dev).*set)(true); });
    EXPECT_EQ(error.rfind("EscapeCommFunction function failed (Error: ", 0), 0u) << error;
  }
}

TEST_F(PtyTest, HangUpOfTheFarEndFailsTheReadInsteadOfTimingOut) {
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);
  hangUpFarEnd();
  EXPECT_EQ(errorOf([&] { dev->readByte(20000); }).rfind("ReadFile function failed (Error: ", 0),
            0u);
}

TEST_F(PtyTest, ModuleOverARealLine) {
  SteadyClock clock;
  TComIo com(
      clock, [](const std::string&) { return makeOsSerialDevice(); },
      [] { return std::vector<std::string>{}; });
  int led = 0;
  com.cPortAfterOpen = [&] { ++led; };
  com.cPortAfterClose = [&] { --led; };
  com.cPort.setPort(path_);
  com.cPort.setCustomBaudRate(921600);
  com.cPort.Open();
  EXPECT_EQ(led, 1);

  com.ComWriteStr(u"\u0107\u01C0A\u00FF");
  EXPECT_EQ(receiveAtFarEnd(4), (Bytes{0x07, 0xC0, 0x41, 0xFF}));

  sendFromFarEnd({0xAA, 0xBB, 0xCC});
  awaitQueued();
  com.ComFlush();
  sendFromFarEnd({0xC0});
  EXPECT_EQ(com.ComGetSer(2000), 0xC0);

  probe::LineSettings s;
  ASSERT_TRUE(probe::readLineSettings(master_, s));
  EXPECT_EQ(s.outputSpeed, 921600u);
  // A pseudo-terminal has no RTS: the reset gets as far as the speed change, then fails.
  EXPECT_EQ(errorOf([&] { com.DoReset(); }).rfind("EscapeCommFunction function failed", 0), 0u);
  ASSERT_TRUE(probe::readLineSettings(master_, s));
  EXPECT_EQ(s.outputSpeed, 115200u);
  EXPECT_EQ(errorOf([&] { com.DisConnect(); }), "no error");
  EXPECT_EQ(led, 0);
}
