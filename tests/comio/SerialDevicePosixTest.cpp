// The POSIX serial backend against a real pseudo-terminal pair: the test holds the master side as
// the far end of the line and the backend opens the slave by its path. The pair comes from
// posix_openpt rather than openpty, whose <pty.h> brings in <termios.h>, which clashes with the
// kernel's termios2 header that reads the speeds back. A pseudo-terminal has no modem lines, so
// what a speed change does to DTR and RTS is not observable here (the virtual port's tests hold
// that rule).
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/Error.h"
#include "comio/Platform.h"
#include "comio/SerialDevice.h"

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

// A port error's message: the text and the OS code.
std::string failed(const std::string& what, int code) {
  return what + " (Error: " + std::to_string(code) + ")";
}

// This program's name as the process table shows it.
std::string processName() {
  std::ifstream in("/proc/self/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// The settings another program finds on the tty.
bool sameSettings(const termios2& a, const termios2& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_ispeed == b.c_ispeed && a.c_ospeed == b.c_ospeed &&
         std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0) << errno;
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    path_ = ::ptsname(master_);
    // Kept open so that the tty lives on between the backend's opens, as a real port does.
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave_, 0) << errno;
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

TEST_F(PtyTest, BytesPassUnchangedBothWaysAndAnEmptyLineReadsMinusOne) {
  // Frame delimiters, NUL, the control characters a tty would interpret (^C, XON, XOFF, ^Z, CR,
  // LF, DEL) and the top of the byte range.
  const Bytes bytes{0xC0, 0x80, 0x00, 0x03, 0x11, 0x13, 0x1A, 0x0D, 0x0A, 0x7F, 0xDB, 0xFF};
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);

  sendFromFarEnd(bytes);
  awaitQueued();
  Bytes got;
  for (size_t i = 0; i < bytes.size(); ++i) got.push_back(static_cast<uint8_t>(dev->readByte(200)));
  EXPECT_EQ(got, bytes);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dev->readByte(30), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

  EXPECT_EQ(dev->write(bytes.data(), bytes.size()), bytes.size());
  EXPECT_EQ(receiveAtFarEnd(bytes.size()), bytes);
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
  // Refused by the exclusive mode, or (for root) by the lock: the same code either way. The
  // second line names the holder: this very process.
  EXPECT_EQ(codeOf([&] { second->open(path_, 115200); }), EBUSY);
  const std::string holder =
      path_ + " is in use by " + processName() + " (process " + std::to_string(::getpid()) + ")";
  EXPECT_EQ(errorOf([&] { second->open(path_, 115200); }),
            failed("Unable to open com port", oserr::kErrBusy) + "\n" + holder);
  first->close();
  EXPECT_EQ(errorOf([&] { second->open(path_, 115200); }), "no error");
}

TEST_F(PtyTest, OpenOfAMissingDeviceOrANonTerminalFails) {
  auto dev = makeOsSerialDevice();
  EXPECT_EQ(errorOf([&] { dev->open("/dev/flintmoor-no-such-port", 115200); }),
            failed("Unable to open com port", oserr::kErrNoDevice));
  EXPECT_EQ(errorOf([&] { dev->open("/dev/null", 115200); }),
            "Unable to open com port (Error: " + std::to_string(ENOTTY) + ")");
}

TEST_F(PtyTest, LineIsRaw8N1WithoutFlowControlAtAnyIntegerSpeed) {
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);
  for (uint32_t baud : {115200u, 921600u, 1234567u}) {
    SCOPED_TRACE(baud);
    dev->setBaudRate(baud);
    termios2 tio{};
    ASSERT_EQ(::ioctl(slave_, TCGETS2, &tio), 0);
    EXPECT_EQ(tio.c_ospeed, baud);
    EXPECT_EQ(tio.c_ispeed, baud);
    EXPECT_EQ(tio.c_cflag & (CBAUD | CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              BOTHER | CS8 | CREAD | CLOCAL);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  }
}

TEST_F(PtyTest, CloseGivesTheTtyBackWithTheSettingsItHadBeforeOpen) {
  termios2 before{};
  ASSERT_EQ(::ioctl(slave_, TCGETS2, &before), 0);
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);
  dev->setBaudRate(921600);
  termios2 during{};
  ASSERT_EQ(::ioctl(slave_, TCGETS2, &during), 0);
  ASSERT_FALSE(sameSettings(before, during)) << "the open changed nothing to restore";
  dev->close();
  termios2 after{};
  ASSERT_EQ(::ioctl(slave_, TCGETS2, &after), 0);
  EXPECT_TRUE(sameSettings(before, after));

  // Again through the destructor, the way a port object goes away.
  dev->open(path_, 460800);
  dev.reset();
  ASSERT_EQ(::ioctl(slave_, TCGETS2, &after), 0);
  EXPECT_TRUE(sameSettings(before, after));
}

TEST_F(PtyTest, SpeedZeroIsRefusedAtOpenAndOnTheOpenPort) {
  auto dev = makeOsSerialDevice();
  EXPECT_EQ(errorOf([&] { dev->open(path_, 0); }),
            failed("SetCommState function failed", oserr::kErrInvalid));
  // The failed open released the device: another opens it.
  auto other = makeOsSerialDevice();
  ASSERT_EQ(errorOf([&] { other->open(path_, 230400); }), "no error");
  EXPECT_EQ(errorOf([&] { other->setBaudRate(0); }),
            failed("SetCommState function failed", oserr::kErrInvalid));
  termios2 tio{};
  ASSERT_EQ(::ioctl(slave_, TCGETS2, &tio), 0);
  EXPECT_EQ(tio.c_ospeed, 230400u);
  EXPECT_EQ(tio.c_ispeed, 230400u);
}

TEST_F(PtyTest, DeviceWithoutModemLinesOpensButRefusesDtrAndRts) {
  auto dev = makeOsSerialDevice();
  ASSERT_EQ(errorOf([&] { dev->open(path_, 115200); }), "no error");
  for (auto set : {&SerialDevice::setDTR, &SerialDevice::setRTS}) {
    std::string error = errorOf([&] { ((*dev).*set)(true); });
    EXPECT_EQ(error.rfind("EscapeCommFunction function failed (Error: ", 0), 0u) << error;
  }
}

// A hung-up tty is what a removed USB serial device leaves behind: every call then fails with the
// code of a vanished device, the one the virtual chip's unplugged bridge raises.
TEST_F(PtyTest, HangUpOfTheFarEndFailsTheReadInsteadOfTimingOut) {
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);
  hangUpFarEnd();
  EXPECT_EQ(errorOf([&] { dev->readByte(20000); }),
            failed("ReadFile function failed", oserr::kErrGone));
}

TEST_F(PtyTest, HangUpOfTheFarEndFailsWritesAndLineSettingsAsAVanishedDevice) {
  auto dev = makeOsSerialDevice();
  dev->open(path_, 115200);
  hangUpFarEnd();
  const uint8_t byte = 0x55;
  EXPECT_EQ(errorOf([&] { dev->write(&byte, 1); }),
            failed("WriteFile function failed", oserr::kErrGone));
  EXPECT_EQ(errorOf([&] { dev->setBaudRate(921600); }),
            failed("SetCommState function failed", oserr::kErrGone));
  EXPECT_EQ(errorOf([&] { dev->setDTR(true); }),
            failed("EscapeCommFunction function failed", oserr::kErrGone));
  EXPECT_EQ(errorOf([&] { dev->setRTS(false); }),
            failed("EscapeCommFunction function failed", oserr::kErrGone));
  dev->purge();
  dev->close();
}
