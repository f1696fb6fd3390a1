// The virtual ESP32's application: ticks, echo, a crash report, a bridge that comes and goes.
#include "sim/SimApplication.h"

#include <cstdio>

namespace flintmoor {

const SimFault* SimApplication::fault(SimFaultKind kind) const {
  for (const SimFault& f : faults_) {
    if (f.kind == kind) return &f;
  }
  return nullptr;
}

void SimApplication::start(int64_t atUs) {
  const uint32_t run = ++run_;
  tick(run, 0, atUs);
  if (const SimFault* panic = fault(SimFaultKind::kPanic)) {
    board_.at(atUs + int64_t{panic->position} * kTickUs, [this](int64_t t) {
      ++run_;  // the program stops where it crashed
      board_.print(panicText(), t);
      // The report leaves the UART before the chip restarts (about 600 bytes at 115200 bit/s).
      board_.at(t + kRebootDelayUs, [this](int64_t r) { board_.reboot(r); });
    });
  }
  const SimFault* replug = fault(SimFaultKind::kReplug);
  if (replug != nullptr && !replugged_) {
    board_.at(atUs + int64_t{replug->position} * kTickUs, [this](int64_t t) {
      replugged_ = true;
      board_.unplugFor(t, kReplugAfterUs);
    });
  }
}

void SimApplication::tick(uint32_t run, uint32_t n, int64_t atUs) {
  if (run != run_) return;
  board_.print("tick " + std::to_string(n) + "\r\n", atUs);
  board_.at(atUs + kTickUs, [this, run, n](int64_t t) { tick(run, n + 1, t); });
}

void SimApplication::receive(uint8_t byte, int64_t atUs) {
  board_.print(std::string(1, static_cast<char>(byte)), atUs);
}

std::string SimApplication::panicText() {
  char text[512];
  std::snprintf(text, sizeof text,
                "Core  0 panic'ed (LoadProhibited). Exception was unhandled.\r\n"
                "\r\n"
                "Core  0 register dump:\r\n"
                "PC      : 0x%08x  PS      : 0x00060330  A0      : 0x%08x  A1      : 0x%08x  \r\n"
                "A2      : 0x00000000  A3      : 0x00000001  A4      : 0x00000000  A5      : "
                "0x3ffb1f60  \r\n"
                "EXCVADDR: 0x%08x  LBEG    : 0x00000000  LEND    : 0x00000000  LCOUNT  : "
                "0x00000000  \r\n"
                "\r\n"
                "\r\n"
                "Backtrace: 0x%08x:0x%08x 0x%08x:0x%08x 0x%08x:0x%08x\r\n"
                "\r\n"
                "\r\n"
                "Rebooting...\r\n",
                kPanicPc[0], 0x80000000u | (kPanicPc[1] & 0x3fffffffu), kPanicSp[0], kPanicExcvaddr,
                kPanicPc[0], kPanicSp[0], kPanicPc[1], kPanicSp[1], kPanicPc[2], kPanicSp[2]);
  return text;
}

}  // namespace flintmoor
