// Fault switches of the virtual ESP32, chosen by name ("NAME" or "NAME:N") from the command line
// or by tests. One list of names, one parser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace flintmoor {

enum class SimFaultKind {
  kSilent,           // no chip on the board: nothing ever answers
  kChatter,          // the ROM's boot text goes out before every answer frame
  kS2,               // the chip is an ESP32-S2
  kUnknownChip,      // the chip identification register holds an unknown value
  kSlowEn,           // EN rises after 250 ms: later than FastHigh (100), sooner than SlowHigh (500)
  kNoBaud,           // CHANGE_BAUDRATE is refused
  kStubSilent,       // the uploaded stub never starts, so it never greets
  kStubBadGreeting,  // the stub greets with four bytes other than "OHAI"
  kFlashFail,        // FLASH_DATA number N is answered with a checksum failure
  kDropAnswer,       // the answer to FLASH_DATA number N is lost
  kBadEscape,        // the answer to FLASH_DATA number N carries the invalid escape DB 41
  kUnplug,           // the USB bridge vanishes when FLASH_DATA number N arrives
  kFlashCorrupt,     // one byte of FLASH_DATA number N is written wrong, with no error status
};

// A switch and, for the kinds that take one, the 0-based position of the FLASH_DATA command it
// hits (counted over every FLASH_DATA the chip receives, ROM loader and stub alike).
struct SimFault {
  SimFaultKind kind;
  uint32_t position = 0;

  bool operator==(const SimFault&) const = default;
};

// Every switch name, in the order of SimFaultKind.
const std::vector<std::string_view>& simFaultNames();
std::string_view simFaultName(SimFaultKind kind);
// True for the kinds that hit the Nth FLASH_DATA and so accept ":N".
bool simFaultTakesPosition(SimFaultKind kind);

// Parses "NAME" or "NAME:N" (N decimal, at most 4294967295). Raises Exception with a message
// that names the offending text and lists the valid names.
SimFault parseSimFault(std::string_view text);

}  // namespace flintmoor
