// The session with one chip: connect, identify, MAC, speed, loader; reset and close.
#include "job/Session.h"

#include "base/Text.h"
#include "comio/uComIo.h"
#include "esp/FlashId.h"
#include "esp/StubResource.h"
#include "esp/uEsp.h"
#include "job/ComEsp.h"
#include "log/Log.h"

namespace flintmoor {

namespace {

constexpr int kPauseAfterDrainMs = 100;

// True when `have` offers every capability `need` asks for.
bool covers(const LoaderCaps& have, const LoaderCaps& need) {
  return (have.regionErase || !need.regionErase) && (have.read || !need.read) &&
         (have.compressedWrites || !need.compressedWrites);
}

}  // namespace

Session::Session(TComIo& com, TEsp& esp, TComEsp& connection, Log& log)
    : com_(com), esp_(esp), connection_(connection), log_(log) {}

void Session::open(const SessionOptions& options, SessionReport& report) {
  chip_ = nullptr;
  loader_.reset();
  speedRaised_ = false;
  identified_ = false;
  const auto status = [&report](const std::string& text) { report.sessionStatus(text); };
  if (!connection_.DoConnect(options.port, status)) {
    throw NoDeviceError(connection_.noDeviceMessage());
  }
  report.sessionEvent(JobEvent{.kind = JobEvent::Kind::kConnected, .text = {}, .file = {}});
  report.sessionStatus("Connected");
  com_.ComFlush();
  // The update and the erase wait for stragglers after the drain; the fast commands do not: an
  // answer that comes late is skipped as stale by its opcode.
  if (!options.fastCommands) com_.clock().sleepMs(kPauseAfterDrainMs);

  chip_ = connection_.identify();
  identified_ = true;
  flash_ = chip_ != nullptr ? chip_->flash : defaultChip().flash;
  const bool supported = chip_ != nullptr && chip_->jobsSupported;
  if (supported) loader_ = chooseLoader(options);
  // The flash's id takes some twenty register exchanges: they go at the fast speed.
  if (supported && options.detectFlashSize) {
    raiseSpeed(options.fastBaud);
    detectFlashSize();
  }
  const std::string name = chip_ != nullptr ? chip_->name : "";
  if (!name.empty()) {
    report.sessionEvent(JobEvent{.kind = JobEvent::Kind::kChip,
                                 .text = name,
                                 .file = {},
                                 .address = 0,
                                 .size = flash_.size});
  }
  if (!supported) throw Exception("Controller Error: " + name);

  const std::string mac = connection_.readMac(*chip_);
  report.sessionMac(mac);
  if (!options.detectFlashSize) raiseSpeed(options.fastBaud);

  log_.S(std::string("Writing through the ") + loader_->name());
  ChipDescription chip = *chip_;
  chip.flash = flash_;
  loader_->start(chip);
}

void Session::raiseSpeed(uint32_t fastBaud) {
  const uint32_t connBaud = com_.cPort.customBaudRate();
  if (fastBaud != connBaud) loader_->changeSpeed(fastBaud, connBaud);
  speedRaised_ = com_.cPort.customBaudRate() != connBaud;
}

void Session::detectFlashSize() {
  // The ROM wakes the flash when it attaches it; the read-id command needs it awake.
  esp_.romSpiAttach();
  const uint32_t id = readFlashJedecId(esp_);
  const uint32_t size = flashSizeOfJedecId(id);
  const std::string idText = "Flash JEDEC id " + hexText(id);
  if (size == 0) {
    log_.S(idText + ": size unknown, keeping " + flashSizeText(flash_.size));
    return;
  }
  log_.S(idText + ": " + flashSizeText(size));
  flash_.size = size;
}

std::unique_ptr<Loader> Session::chooseLoader(const SessionOptions& options) const {
  auto stub = std::make_unique<StubLoader>(esp_, options.fastCommands);
  // A placeholder stub would not run on a real chip; the virtual chip takes it as its stub.
  const bool stubRuns = !stubIsPlaceholder() || options.virtualChip;
  if (!options.romOnly && stubRuns && covers(stub->caps(), options.needs)) return stub;
  return std::make_unique<RomLoader>(esp_);
}

Clock& Session::clock() const {
  return com_.clock();
}

void Session::close(bool keepOpen) {
  com_.DoReset();
  if (!keepOpen) com_.DisConnect();
}

void Session::closeAfterFailure() noexcept {
  // The reset and the close may fail themselves (a bridge pulled out mid-job); the job still
  // ends, and the user sees the error that stopped it. The log keeps theirs.
  try {
    com_.DoReset();
  } catch (const std::exception& e) {
    log_.S(std::string("Reset after the failure: ") + e.what());
  }
  try {
    com_.DisConnect();
  } catch (const std::exception& e) {
    log_.S(std::string("Closing the port after the failure: ") + e.what());
  }
}

}  // namespace flintmoor
