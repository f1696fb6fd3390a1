// The POSIX serial backend: an exclusive, raw 8N1 tty without flow control, any integer speed
// through the Linux termios2 interface (a speed change keeps DTR and RTS), DTR and RTS through the
// modem-control ioctls, byte reads and bounded writes with poll().
//
// <termios.h> is deliberately not included: its struct termios clashes with the kernel's
// <asm/termbits.h>, which this file needs for termios2 and BOTHER.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "base/Error.h"
#include "comio/OpenHint.h"
#include "comio/Platform.h"
#include "comio/SerialDevice.h"

namespace flintmoor {

static_assert(oserr::kErrNoDevice == ENOENT && oserr::kErrBusy == EBUSY && oserr::kErrGone == EIO &&
              oserr::kErrAccess == EACCES && oserr::kErrInvalid == EINVAL);

namespace {

// Writes may take 1000 ms plus 100 ms per byte before the driver must have taken them.
constexpr int64_t kWriteTotalConstantMs = 1000;
constexpr int64_t kWriteTotalMultiplierMs = 100;

int64_t monotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int remainingMs(int64_t deadlineMs) {
  int64_t left = deadlineMs - monotonicMs();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

// Pseudo-terminals and similar devices have no modem lines; the modem ioctls fail on them with
// one of these codes.
bool noModemLines(int err) {
  return err == ENOTTY || err == EINVAL;
}

// The open's error, with a line of advice when the system shows what stands in the way.
[[noreturn]] void throwOpenError(const std::string& name, int err) {
  throw EComPort("Unable to open com port", err, openFailureHint(err, name));
}

class PosixSerialDevice final : public SerialDevice {
 public:
  ~PosixSerialDevice() override { close(); }

  void open(const std::string& name, uint32_t baud) override {
    close();
    int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throwOpenError(name, errno);
    // TIOCEXCL makes every later open() of the tty fail with EBUSY, but lets root in; the lock,
    // which belongs to this open file description, keeps root out too. Its refusal means the same
    // and is raised as the same code.
    if (::ioctl(fd, TIOCEXCL) != 0) {
      int err = errno;
      ::close(fd);
      throwOpenError(name, err);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno == EWOULDBLOCK ? oserr::kErrBusy : errno;
      ::close(fd);
      throwOpenError(name, err);
    }
    fd_ = fd;
    try {
      // The tty's settings as they were, for close() to put back: other programs that use the
      // port after this one (a terminal, a monitor) find it as they left it.
      savedValid_ = ::ioctl(fd_, TCGETS2, &saved_) == 0;
      // The driver queue sizes of 1024 bytes have no POSIX counterpart: the tty layer sizes its
      // buffers itself, and they are larger than that.
      applyLineSettings(baud);
      // The tty raised DTR and RTS when it was opened; both are under the program's control only.
      int lines = TIOCM_DTR | TIOCM_RTS;
      if (::ioctl(fd_, TIOCMBIC, &lines) != 0 && !noModemLines(errno)) {
        throw EComPort("EscapeCommFunction function failed", errno);
      }
      readModemStatus();
    } catch (...) {
      close();
      throw;
    }
  }

  void close() noexcept override {
    if (fd_ < 0) return;
    // Aborts what waits in both directions, and lifts the exclusive mode that would otherwise
    // outlive this descriptor while anyone else keeps the tty open.
    ::ioctl(fd_, TCFLSH, TCIOFLUSH);
    if (savedValid_) ::ioctl(fd_, TCSETS2, &saved_);
    savedValid_ = false;
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
  }

  void setBaudRate(uint32_t baud) override { applyLineSettings(baud); }

  void setDTR(bool on) override { setModemLine(TIOCM_DTR, on); }
  void setRTS(bool on) override { setModemLine(TIOCM_RTS, on); }

  void purge() noexcept override {
    if (fd_ >= 0) ::ioctl(fd_, TCFLSH, TCIOFLUSH);
  }

  size_t write(const uint8_t* data, size_t count) override {
    const int64_t deadlineMs = monotonicMs() + kWriteTotalConstantMs +
                               kWriteTotalMultiplierMs * static_cast<int64_t>(count);
    size_t written = 0;
    while (written < count) {
      ssize_t n = ::write(fd_, data + written, count - written);
      if (n > 0) {
        written += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        throw EComPort("WriteFile function failed", errno);
      }
      int waitMs = remainingMs(deadlineMs);
      if (waitMs == 0) break;  // the write time-out ran out: a short count, as the contract says
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, waitMs) < 0 && errno != EINTR) {
        throw EComPort("WriteFile function failed", errno);
      }
    }
    return written;
  }

  int readByte(int timeoutMs) override {
    const int64_t deadlineMs = monotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
      uint8_t byte = 0;
      ssize_t n = ::read(fd_, &byte, 1);
      if (n == 1) return byte;
      // With VMIN 1 a non-blocking read that finds nothing fails with EAGAIN; end of file means
      // the tty was hung up (the USB bridge is gone), where writes and ioctls give EIO.
      if (n == 0) throw EComPort("ReadFile function failed", oserr::kErrGone);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        throw EComPort("ReadFile function failed", errno);
      int waitMs = remainingMs(deadlineMs);
      if (waitMs == 0) return -1;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, waitMs) < 0 && errno != EINTR) {
        throw EComPort("ReadFile function failed", errno);
      }
    }
  }

 private:
  // Raw binary 8N1 at any integer speed, receiver on, modem-status lines ignored for the
  // connection, and neither hardware nor software flow control. Setting the termios keeps DTR and
  // RTS as they are; only a speed of 0 would drop them (the hang-up speed), so 0 is refused.
  void applyLineSettings(uint32_t baud) {
    if (baud == 0) throw EComPort("SetCommState function failed", oserr::kErrInvalid);
    termios2 tio{};
    if (::ioctl(fd_, TCGETS2, &tio) != 0) throw EComPort("SetCommState function failed", errno);
    tio.c_iflag = 0;  // no parity check, no break or CR/LF handling, no XON/XOFF
    tio.c_oflag = 0;
    tio.c_lflag = 0;  // no echo, no line editing, no signal characters
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL | BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    // One byte satisfies a read and a read never waits in the driver: with O_NONBLOCK an empty
    // queue gives EAGAIN and end of file stays distinct from "nothing yet".
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::ioctl(fd_, TCSETS2, &tio) != 0) throw EComPort("SetCommState function failed", errno);
  }

  void readModemStatus() {
    int status = 0;
    if (::ioctl(fd_, TIOCMGET, &status) != 0 && !noModemLines(errno)) {
      throw EComPort("GetCommModemStatus function failed", errno);
    }
  }

  void setModemLine(int line, bool on) {
    if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) != 0) {
      throw EComPort("EscapeCommFunction function failed", errno);
    }
  }

  int fd_ = -1;
  termios2 saved_{};
  bool savedValid_ = false;
};

}  // namespace

std::unique_ptr<SerialDevice> makeOsSerialDevice() {
  return std::make_unique<PosixSerialDevice>();
}

}  // namespace flintmoor
