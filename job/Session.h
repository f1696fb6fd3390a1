// One session with one chip: connect (reset into the ROM loader, SYNC), identify the chip from the
// chip table, show its MAC, raise the line speed, choose and start the loader; at its end reset
// the chip into its application and close the port. The flash operations run inside it and reach
// the chip through its loader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/Error.h"
#include "esp/Chip.h"
#include "esp/Loader.h"
#include "job/JobView.h"

namespace flintmoor {

class Clock;
class Log;
class TComIo;
class TComEsp;
class TEsp;

// No chip answered the connection: the message is "No Device Found!" with the diagnosis.
class NoDeviceError : public Exception {
 public:
  using Exception::Exception;
};

// What the session tells the user as it goes. Each call may let pending window events run and
// may raise when the user asked the job to stop.
class SessionReport {
 public:
  virtual ~SessionReport() = default;
  virtual void sessionStatus(const std::string& text) = 0;
  virtual void sessionEvent(const JobEvent& event) = 0;
  virtual void sessionMac(const std::string& mac) = 0;
};

struct SessionOptions {
  std::string port;
  uint32_t fastBaud = 0;         // bit/s; the connect speed leaves the line as it is
  bool romOnly = false;          // never the flasher stub
  bool fastCommands = false;     // the flasher stub's fast commands (StubLoader's fast form)
  bool detectFlashSize = false;  // read the flash's JEDEC id; its size replaces the row's
  bool virtualChip = false;      // the port leads to the virtual chip (which runs any stub image)
  LoaderCaps needs;              // what the operation needs of the loader beyond plain writes
};

class Session {
 public:
  Session(TComIo& com, TEsp& esp, TComEsp& connection, Log& log);

  // Connects and prepares the loader. Raises NoDeviceError, "Controller Error: NAME" for a chip
  // the jobs do not run on (or one not in the table, with an empty name), and whatever the
  // commands raise.
  void open(const SessionOptions& options, SessionReport& report);
  // Resets the chip into its application and closes the port (keepOpen: leaves it open, for a
  // monitor that reads the application's first lines); raises what they raise.
  void close(bool keepOpen = false);
  // The same at the end of a failed job: a failure of either is logged, and the other still runs.
  void closeAfterFailure() noexcept;

  // The chip identified (nullptr before, or for one not in the table), and its kind.
  const ChipDescription* chip() const { return chip_; }
  TController cpu() const { return chip_ != nullptr ? chip_->cpu : cNONE; }
  // The chip was asked for its identity in the last open().
  bool identified() const { return identified_; }
  Loader& loader() { return *loader_; }
  // The connected chip's flash: the row's, with the detected size where it was detected.
  const FlashGeometry& flash() const { return flash_; }
  // The clock of the link (the loaders' pauses) and the debug log.
  Clock& clock() const;
  Log& log() const { return log_; }
  // The line runs faster than the connect speed: a line failure may be the speed's.
  bool speedRaised() const { return speedRaised_; }

 private:
  std::unique_ptr<Loader> chooseLoader(const SessionOptions& options) const;
  // From the connect speed to fastBaud, when the chip agrees.
  void raiseSpeed(uint32_t fastBaud);
  // Reads the flash's JEDEC id through the ROM loader and sets flash_'s size from it.
  void detectFlashSize();

  TComIo& com_;
  TEsp& esp_;
  TComEsp& connection_;
  Log& log_;
  const ChipDescription* chip_ = nullptr;
  FlashGeometry flash_ = defaultChip().flash;
  std::unique_ptr<Loader> loader_;
  bool speedRaised_ = false;
  bool identified_ = false;
};

}  // namespace flintmoor
