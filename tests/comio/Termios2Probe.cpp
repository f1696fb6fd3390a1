// termios2 read-back of a tty's settings for the serial backend tests.
#include "Termios2Probe.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace flintmoor::probe {

bool readLineSettings(int fd, LineSettings& out) {
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  out.inputSpeed = tio.c_ispeed;
  out.outputSpeed = tio.c_ospeed;
  out.customSpeed = (tio.c_cflag & CBAUD) == BOTHER;
  out.eightBits = (tio.c_cflag & CSIZE) == CS8;
  out.parity = (tio.c_cflag & PARENB) != 0;
  out.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
  out.hardwareFlow = (tio.c_cflag & CRTSCTS) != 0;
  out.softwareFlow = (tio.c_iflag & (IXON | IXOFF | IXANY)) != 0;
  out.receiverOn = (tio.c_cflag & CREAD) != 0;
  out.ignoresModemStatus = (tio.c_cflag & CLOCAL) != 0;
  out.translatesInput =
      (tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | INPCK | BRKINT)) != 0;
  out.processesOutput = (tio.c_oflag & OPOST) != 0;
  out.lineEditingOrEcho = (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) != 0;
  return true;
}

}  // namespace flintmoor::probe
