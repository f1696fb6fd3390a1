// The connection procedure TComEsp: resets the chip into its ROM loader through DTR and RTS and
// synchronises with it (six attempts alternating the fast and slow timings), identifies the chip
// and reads its MAC address.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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

  TComEsp(TComIo& com, TEsp& esp, Log& log, const TConfig& config);

  // Up to six attempts on the port `portName` at Config.ConnBaud, starting with the fast timing
  // when FastFirst is set. True once the ROM loader answered SYNC. What the chip sends outside
  // frames meanwhile is kept (received()); on failure the diagnosis is logged.
  bool DoConnect(const std::string& portName, const StatusFn& status);
  // One attempt: (re)open the port at `baud`, the reset pulse (slow timing when `delay`), then up
  // to five SYNC tries; each try adds "#" to `text` and reports it. Bytes outside frames, also
  // those that arrived before a try's purge, are added to received().
  bool ConnectESP(const std::string& portName, uint32_t baud, bool delay, std::string text,
                  const StatusFn& status);

  // Reads the chip identification register (0x40001000): 0x00F01D83 gives cESP32 named "ESP32",
  // 0x000007C6 gives cESP32S2 named "ESP32-S2", any other value cNONE with an empty name.
  // A failed read raises the register read's message.
  TController identifyChip(std::string& name);
  // Reads the two MAC words of the chip (ESP32: low 0x3FF5A004 then high 0x3FF5A008; ESP32-S2:
  // high 0x3F41A048 then low 0x3F41A044) and returns them as formatMac does.
  std::string readMac(TController cpu);
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
  SkippedBytes received_;
};

}  // namespace flintmoor
