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
  kFlashFail,        // flash data block N arrives damaged, so the loader reports a checksum error
  kDropAnswer,       // the answer to flash data block N is lost (the block is written)
  kBadEscape,        // the answer to flash data block N carries the invalid escape DB 41
  kUnplug,           // the USB bridge vanishes when flash data block N arrives
  kFlashCorrupt,     // one byte that flash data block N programs is wrong, with no error status
  kInflateFail,      // block N's compressed data is damaged after its checksum passed: the ROM
                     // reports an inflate error (an uncompressed block is not affected)
  kBridgeLimit,      // the bridge's line runs at a wrong rate above 460800 bit/s, so nothing set
                     // faster is heard at either end
  kNoBootStrap,      // IO0 never reaches the chip: every reset boots the application from flash,
                     // with its boot text, and nothing answers SYNC
  kRxOverflow,       // flash data block N loses bytes on the way in: the stub answers with its
                     // receive-overflow error and writes nothing (the ROM sees a checksum error)
  kNoFlashId,        // the flash does not answer its read-id command (the id reads FF FF FF)
  kMemFail,          // MEM_DATA request N (counted over all of them) arrives damaged: the ROM
                     // reports a checksum error
  kDropAck,          // READ_FLASH acknowledgement N (counted over all of them) never reaches the
                     // stub, which then waits with its window full
  kPanic,            // the application crashes N seconds after it started: a register dump, a
                     // backtrace, and a reboot (so again N seconds later)
  kReplug,           // N seconds after the application started the USB bridge vanishes, and comes
                     // back two seconds later with the board booting again (once)
};

// A switch and, for the kinds that take one, the 0-based position of the flash data block it hits:
// counted over every FLASH_DATA and FLASH_DEFL_DATA request the chip receives, together, ROM
// loader and stub alike, whatever their answer (mem-fail and drop-ack count their own kind). For
// panic and replug it is a number of seconds.
struct SimFault {
  SimFaultKind kind;
  uint32_t position = 0;

  bool operator==(const SimFault&) const = default;
};

// Every switch name, in the order of SimFaultKind.
const std::vector<std::string_view>& simFaultNames();
std::string_view simFaultName(SimFaultKind kind);
// True for the kinds that accept ":N" (a flash data block, or seconds for panic and replug).
bool simFaultTakesPosition(SimFaultKind kind);

// Parses "NAME" or "NAME:N" (N decimal, at most 4294967295). Raises Exception with a message
// that names the offending text and lists the valid names.
SimFault parseSimFault(std::string_view text);

}  // namespace flintmoor
