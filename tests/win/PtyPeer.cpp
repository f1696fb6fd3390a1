// The Linux side of the Windows serial tests: creates a pseudo-terminal pair, hands its slave to
// the command it runs as a COM port (FLINTMOOR_COMPORT=COMn=/dev/pts/N, which the Wine wrapper
// turns into a dosdevices link), and answers the program on the master side until it exits.
// Built for the build machine, not for Windows.
//
// What the program under test may send (every other byte is ignored):
//   'E' len(2, little-endian) bytes...  sends the bytes back unchanged
//   'P' n(1)                            sends n bytes 'a', 'b', ... in one write
//   'S'                                 sends the line speed set on the device, 4 bytes LE
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "pty-peer: %s: %s\n", what, std::strerror(errno));
  std::exit(125);
}

uint32_t speedOf(speed_t code) {
  static const struct {
    speed_t code;
    uint32_t bits;
  } table[] = {{B0, 0},
               {B50, 50},
               {B75, 75},
               {B110, 110},
               {B134, 134},
               {B150, 150},
               {B200, 200},
               {B300, 300},
               {B600, 600},
               {B1200, 1200},
               {B1800, 1800},
               {B2400, 2400},
               {B4800, 4800},
               {B9600, 9600},
               {B19200, 19200},
               {B38400, 38400},
               {B57600, 57600},
               {B115200, 115200},
               {B230400, 230400},
               {B460800, 460800},
               {B500000, 500000},
               {B576000, 576000},
               {B921600, 921600},
               {B1000000, 1000000},
               {B1152000, 1152000},
               {B1500000, 1500000},
               {B2000000, 2000000}};
  for (const auto& entry : table) {
    if (entry.code == code) return entry.bits;
  }
  return 0xFFFFFFFFu;  // a code outside the table: never a speed the program asked for
}

void writeAll(int fd, const uint8_t* data, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, -1);
      continue;
    }
    if (n < 0) die("write to the master");
    data += n;
    count -= static_cast<size_t>(n);
  }
}

// Parses the program's bytes as a stream; a command may arrive split over several reads.
class Peer {
 public:
  Peer(int master, int slave) : master_(master), slave_(slave) {}

  void feed(const uint8_t* data, size_t count) {
    pending_.insert(pending_.end(), data, data + count);
    size_t used;
    while ((used = step()) > 0) pending_.erase(pending_.begin(), pending_.begin() + used);
  }

 private:
  // Handles the command at the front of pending_; returns the bytes it took, 0 when incomplete.
  size_t step() {
    if (pending_.empty()) return 0;
    switch (pending_[0]) {
      case 'E': {
        if (pending_.size() < 3) return 0;
        size_t len = pending_[1] | (pending_[2] << 8);
        if (pending_.size() < 3 + len) return 0;
        writeAll(master_, pending_.data() + 3, len);
        return 3 + len;
      }
      case 'P': {
        if (pending_.size() < 2) return 0;
        std::vector<uint8_t> out(pending_[1]);
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>('a' + i % 26);
        writeAll(master_, out.data(), out.size());
        return 2;
      }
      case 'S': {
        termios t{};
        if (::tcgetattr(slave_, &t) != 0) die("tcgetattr");
        uint32_t bits = speedOf(::cfgetospeed(&t));
        uint8_t out[4] = {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                          static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
        writeAll(master_, out, sizeof out);
        return 1;
      }
      default:
        return 1;
    }
  }

  int master_;
  int slave_;
  std::vector<uint8_t> pending_;
};

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  std::string port = "COM5";
  if (argc > 2 && std::string(argv[1]) == "--port") {
    port = argv[2];
    first = 3;
  }
  if (first < argc && std::string(argv[first]) == "--") ++first;
  if (first >= argc) {
    std::fprintf(stderr, "usage: pty-peer [--port COMn] [--] command [args...]\n");
    return 2;
  }

  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) die("posix_openpt");
  const std::string slavePath = ::ptsname(master);
  // Holding the slave open keeps the master readable while the program has the port closed; raw
  // mode until the program sets its own line settings.
  int slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) die("open the slave");
  termios raw{};
  if (::tcgetattr(slave, &raw) != 0) die("tcgetattr");
  ::cfmakeraw(&raw);
  if (::tcsetattr(slave, TCSANOW, &raw) != 0) die("tcsetattr");

  const std::string mapping = port + "=" + slavePath;
  ::setenv("FLINTMOOR_COMPORT", mapping.c_str(), 1);

  pid_t child = ::fork();
  if (child < 0) die("fork");
  if (child == 0) {
    ::execvp(argv[first], argv + first);
    std::fprintf(stderr, "pty-peer: cannot run %s: %s\n", argv[first], std::strerror(errno));
    ::_exit(127);
  }

  // The child's end shows up as a readable process descriptor, so the loop needs no polling tick.
  int childFd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  if (childFd < 0) die("pidfd_open");

  Peer peer(master, slave);
  uint8_t buffer[4096];
  for (;;) {
    pollfd fds[2] = {{master, POLLIN, 0}, {childFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      die("poll");
    }
    if (fds[0].revents & POLLIN) {
      ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) peer.feed(buffer, static_cast<size_t>(n));
      if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EIO) die("read the master");
    }
    if (fds[1].revents & POLLIN) break;
  }

  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
