// Why the chip did not answer SYNC, read from what it sent outside frames during the connection
// attempts (its ROM's boot text at 115200 bit/s, an application's output, or nothing), and the hint
// the user is shown under "No Device Found!".
#pragma once

#include <string_view>

namespace flintmoor {

enum class ConnectFailure {
  kNothingReceived,  // not a byte came: no chip, wrong port, broken cable
  kProgramStarted,   // the ROM booted from flash (IO0 was high when the chip left reset)
  kLoaderSilent,     // the ROM's loader started (download boot) but never answered SYNC
  kNotTheLoader,     // bytes came, but no boot text that could be read: noise, a wrong speed
};

// Reads the bytes received (oldest first; any byte values). The last ROM reset line
// ("rst:0x..,boot:0xNN (NAME)") decides: a NAME with "FLASH_BOOT", or without a readable name a
// strapping value with bit 0x10 (IO0 high) set, is a flash boot; otherwise a download boot, unless
// the application's start ("load:0x", "entry 0x") follows it. Without a reset line, the ROM's
// loading of a program or its "invalid header: 0x" complaint about blank flash still tells a
// flash boot.
ConnectFailure diagnoseConnectFailure(std::string_view received);

// One line of advice for the user; empty when there is none to give.
std::string_view connectFailureHint(ConnectFailure failure);

}  // namespace flintmoor
