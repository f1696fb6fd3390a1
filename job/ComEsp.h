// The connection procedure TComEsp: resets the chip into its ROM loader through DTR and RTS and
// synchronises with it (six attempts alternating the fast and slow timings), identifies the chip
// and reads its MAC address.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "esp/Chip.h"
#include "esp/SkippedBytes.h"
#include "job/Config.h"

namespace flintmoor {

class Log;
class TComIo;
class TEsp;

class TComEsp {
 public:
  // Receives each status text of the connection ("Connect fast ", "Connect slow ", then one "#"
  // per SYNC try); a front end shows it and lets its pending events run.
  using StatusFn = std::function<void(const std::string& text)>;

  // `chips` is the table identifyChip looks the chip up in.
  TComEsp(TComIo& com, TEsp& esp, Log& log, const TConfig& config,
          std::span<const ChipDescription> chips = chipTable());

  // Up to six attempts on the port `portName` at Config.ConnBaud, starting with the fast timing
  // when FastFirst is set. True once the ROM loader answered SYNC. What the chip sends outside
  // frames meanwhile is kept (received()); on failure the diagnosis is logged.
  bool DoConnect(const std::string& portName, const StatusFn& status);
  // One attempt: (re)open the port at `baud`, the reset pulse (slow timing when `delay`), then up
  // to five SYNC tries; each try adds "#" to `text` and reports it. Bytes outside frames, also
  // those that arrived before a try's purge, are added to received().
  bool ConnectESP(const std::string& portName, uint32_t baud, bool delay, std::string text,
                  const StatusFn& status);

  // Reads the chip identification register (kChipIdRegister) and returns the table's row with
  // that value (0x00F01D83 the ESP32, 0x000007C6 the ESP32-S2), nullptr for any other. A failed
  // read raises the register read's message.
  const ChipDescription* identify();
  // identify() as the chip kind and its name: cNONE and an empty name for a chip not known.
  TController identifyChip(std::string& name);
  // Reads the two MAC words of the chip in its row's order (ESP32: low 0x3FF5A004 then high
  // 0x3FF5A008; ESP32-S2: high 0x3F41A048 then low 0x3F41A044), returned as formatMac does.
  std::string readMac(const ChipDescription& chip);
  std::string readMac(TController cpu) { return readMac(chipDescription(cpu)); }
  // The six MAC bytes in display order: bits 8-15 and 0-7 of the high word, then the low word's
  // bytes from the most significant on, as "%0.2x:%0.2x:%0.2x:%0.2x:%0.2x:%0.2x".
  static std::string formatMac(uint32_t low, uint32_t high);

  // The message of a connection that failed: "No Device Found!", followed by "\n" and a hint
  // (connectFailureHint) when what the last DoConnect received gives one.
  std::string noDeviceMessage() const;
  // The last SkippedBytes::kCapacity bytes received outside frames since DoConnect began.
  const SkippedBytes& received() const { return received_; }

 private:
  // Moves what waits in the input queue into received_ (at most twice its capacity).
  void keepPending();

  TComIo& com_;
  TEsp& esp_;
  Log& log_;
  const TConfig& config_;
  std::span<const ChipDescription> chips_;
  SkippedBytes received_;
};

}  // namespace flintmoor
