// TComEsp: resets the chip into its ROM loader through DTR and RTS and synchronises with it (six
// attempts alternating the fast and slow timings), and identifies the chip and reads its MAC.
#include "job/ComEsp.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "comio/uComIo.h"
#include "esp/uEsp.h"
#include "job/ConnectDiagnosis.h"
#include "log/Log.h"

namespace flintmoor {

namespace {

// SYNC's fixed payload: 07 07 12 20, then 32 x 55. With its fixed checksum field (78 01 3A 00)
// and no byte that needs escaping, it goes out as a frame of 46 bytes.
const std::array<uint8_t, 36>& syncPayload() {
  static const std::array<uint8_t, 36> payload = [] {
    std::array<uint8_t, 36> p{};
    p.fill(0x55);
    p[0] = 0x07;
    p[1] = 0x07;
    p[2] = 0x12;
    p[3] = 0x20;
    return p;
  }();
  return payload;
}

constexpr int kSyncTries = 5;
constexpr int kAttempts = 6;
constexpr size_t kPendingLimit = 2 * SkippedBytes::kCapacity;

}  // namespace

TComEsp::TComEsp(TComIo& com, TEsp& esp, Log& log, const TConfig& config,
                 std::span<const ChipDescription> chips)
    : com_(com), esp_(esp), log_(log), config_(config), chips_(chips) {}

bool TComEsp::DoConnect(const std::string& portName, const StatusFn& status) {
  received_.clear();
  bool delay = !config_.FastFirst;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const std::string text = delay ? "Connect slow " : "Connect fast ";
    status(text);
    if (ConnectESP(portName, config_.ConnBaud, delay, text, status)) return true;
    delay = !delay;
  }
  log_.F("No SYNC answer; %d bytes outside frames", {received_.size()});
  const std::string_view hint = connectFailureHint(diagnoseConnectFailure(received_.text()));
  if (!hint.empty()) log_.S(hint);
  return false;
}

std::string TComEsp::noDeviceMessage() const {
  std::string message = "No Device Found!";
  const std::string_view hint = connectFailureHint(diagnoseConnectFailure(received_.text()));
  if (!hint.empty()) message.append("\n").append(hint);
  return message;
}

void TComEsp::keepPending() {
  for (size_t n = 0; n < kPendingLimit; ++n) {
    const int b = com_.ComGetSer(0);
    if (b < 0) return;
    received_.add(uint8_t(b));
  }
}

bool TComEsp::ConnectESP(const std::string& portName, uint32_t baud, bool delay, std::string text,
                         const StatusFn& status) {
  TComPort& port = com_.cPort;
  Clock& clock = com_.clock();
  if (port.Connected()) port.Close();
  port.setPort(portName);
  port.setCustomBaudRate(baud);
  port.Open();

  clock.sleepMs(50);
  port.ClearBuffer(true, true);

  // Hold the chip in reset with the boot-mode line released...
  port.SetDTR(false);
  port.SetRTS(true);
  port.SetDTR(false);
  clock.sleepMs(delay ? config_.SlowLow : config_.FastLow);
  // ...release the reset while DTR asks for the serial loader...
  port.SetDTR(true);
  port.SetRTS(false);
  port.SetDTR(true);
  clock.sleepMs(delay ? config_.SlowHigh : config_.FastHigh);
  // ...and withdraw that request once the chip has started.
  port.SetDTR(false);

  // The frame hunt keeps what it skips, the chip's boot text among it, for the diagnosis.
  PacketLink& link = esp_.link();
  struct CaptureScope {
    PacketLink& link;
    SkippedBytes* before;
    ~CaptureScope() { link.SkipCapture = before; }
  } capture{link, link.SkipCapture};
  link.SkipCapture = &received_;

  int32_t result = 0;
  for (int tries = 0; tries < kSyncTries; ++tries) {
    text += "#";
    status(text);
    keepPending();
    link.sendPacket(syncPayload().data(), uint16_t(syncPayload().size()), kSync,
                    command::kSyncChecksumField);
    result = link.getPacket(command::kSyncRule.timeoutMs(), true);
    if (result >= 1) break;
  }
  // Only the first answer is read; the chip's further answers stay queued for the caller's drain.
  if (result >= 1 && link.response().Command == kSync) {
    log_.BUFF(&link.response(), result);
    return true;
  }
  return false;
}

const ChipDescription* TComEsp::identify() {
  uint32_t id = 0;
  esp_.readReg(kChipIdRegister, id);
  return findChipById(chips_, id);
}

TController TComEsp::identifyChip(std::string& name) {
  const ChipDescription* chip = identify();
  name = chip != nullptr ? chip->name : "";
  return chip != nullptr ? chip->cpu : cNONE;
}

std::string TComEsp::readMac(const ChipDescription& chip) {
  uint32_t low = 0;
  uint32_t high = 0;
  if (chip.macHighFirst) {
    esp_.readReg(chip.macHighRegister, high);
    esp_.readReg(chip.macLowRegister, low);
  } else {
    esp_.readReg(chip.macLowRegister, low);
    esp_.readReg(chip.macHighRegister, high);
  }
  return formatMac(low, high);
}

std::string TComEsp::formatMac(uint32_t low, uint32_t high) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", (high >> 8) & 0xFFu,
                high & 0xFFu, (low >> 24) & 0xFFu, (low >> 16) & 0xFFu, (low >> 8) & 0xFFu,
                low & 0xFFu);
  return text;
}

}  // namespace flintmoor
