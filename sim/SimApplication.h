// The program that the virtual ESP32 runs from its flash, as a serial monitor sees it: a line
// "tick N" every second of virtual time (the first at once), an echo of every byte it receives,
// and on request a crash (panic:N) or a USB bridge that vanishes for a while (replug:N).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/SimFaults.h"

namespace flintmoor {

class SimApplication {
 public:
  // What the program can do on its board.
  struct Board {
    std::function<void(const std::string& text, int64_t atUs)> print;
    // Runs `task` at `atUs` unless the chip is reset before.
    std::function<void(int64_t atUs, std::function<void(int64_t)> task)> at;
    std::function<void(int64_t atUs)> reboot;                    // a software reset
    std::function<void(int64_t atUs, int64_t forUs)> unplugFor;  // the bridge away for a while
  };

  static constexpr int64_t kTickUs = 1'000'000;
  static constexpr int64_t kRebootDelayUs = 50'000;     // from the panic report to the reboot
  static constexpr int64_t kReplugAfterUs = 2'000'000;  // replug: how long the bridge stays away
  // Where the crash happens: three nested functions and their stack pointers.
  static constexpr uint32_t kPanicPc[3] = {0x400d1234, 0x400d1334, 0x400d1434};
  static constexpr uint32_t kPanicSp[3] = {0x3ffb1f00, 0x3ffb1f20, 0x3ffb1f40};
  static constexpr uint32_t kPanicExcvaddr = 0x00000010;

  SimApplication(Board board, const std::vector<SimFault>& faults)
      : board_(std::move(board)), faults_(faults) {}

  // The ROM started the program at `atUs`, its boot text sent.
  void start(int64_t atUs);
  // A byte reached the chip's UART while the program runs.
  void receive(uint8_t byte, int64_t atUs);

  // The text of the crash report.
  static std::string panicText();

 private:
  void tick(uint32_t run, uint32_t n, int64_t atUs);
  const SimFault* fault(SimFaultKind kind) const;

  Board board_;
  const std::vector<SimFault>& faults_;
  bool replugged_ = false;  // replug happens once per board
  uint32_t run_ = 0;        // counts starts and crashes: a tick of an earlier run does nothing
};

}  // namespace flintmoor
