// The virtual ESP32's board, bridge and UART: line timing, garbling at mismatched speeds, the
// reset circuit, the boot text, and the scheduling of the chip's work on the virtual clock.
#include "sim/VirtualEsp32.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "base/Error.h"
#include "comio/SerialDevice.h"
#include "sim/SimBytes.h"

namespace flintmoor {

namespace {

constexpr uint32_t kImageHeaderAddr = 0x1000;
constexpr uint8_t kImageMagic = 0xE9;

const std::string kBanner = "\r\nets Jun  8 2016 00:22:57\r\n\r\n";
const std::string kDownloadBoot =
    "rst:0x1 (POWERON_RESET),boot:0x3 (DOWNLOAD_BOOT(UART0/UART1/SDIO_REI_REO_V2))\r\n";
const std::string kFlashBoot = "rst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n";
const std::string kWaiting = "waiting for download\r\n";
const std::string kSoftReset =
    "rst:0x3 (SW_RESET),boot:0x3 (DOWNLOAD_BOOT(UART0/UART1/SDIO_REI_REO_V2))\r\n";

// One 8N1 character: start bit, eight data bits, stop bit.
int64_t byteNs(uint32_t baud) {
  return 10'000'000'000LL / std::max<uint32_t>(baud, 1);
}
int64_t ceilUs(int64_t ns) {
  return (ns + 999) / 1000;
}

// A receiver at the wrong speed samples the wrong bits: what arrives depends only on the byte and
// the two speeds. It never yields END, so a stream at the wrong speed never completes a frame.
uint8_t garble(uint8_t byte, uint32_t sentBaud, uint32_t heardBaud) {
  uint32_t h = sentBaud * 2654435761u ^ heardBaud * 40503u;
  auto g = static_cast<uint8_t>((byte * 0x9Du) ^ (h >> 11) ^ (h >> 3));
  return g == 0xC0 ? 0x3F : g;
}

using simbytes::le32;

template <typename... Args>
std::string format(const char* fmt, Args... args) {
  char buf[96];
  int n = std::snprintf(buf, sizeof buf, fmt, args...);
  return std::string(buf, static_cast<size_t>(std::clamp(n, 0, int{sizeof buf} - 1)));
}

}  // namespace

VirtualEsp32::VirtualEsp32(VirtualClock& clock, VirtualEsp32Options options)
    : clock_(clock),
      options_(options),
      flash_(options.flashSize),
      app_(SimApplication::Board{
               [this](const std::string& text, int64_t at) { transmitText(text, at); },
               [this](int64_t at, std::function<void(int64_t)> task) {
                 scheduleChipTask(at, std::move(task));
               },
               [this](int64_t at) {
                 enterReset(at);
                 bootFromFlash(at, true);
               },
               [this](int64_t, int64_t forUs) { unplugFor(forUs); }},
           faults_) {
  int64_t now = clock_.nowUs();
  chipTxFreeNs_ = hostTxFreeNs_ = now * 1000;
  busyUntilUs_ = now;
  bootFromFlash(now, true);
}

VirtualEsp32::~VirtualEsp32() {
  for (const auto& [key, id] : tasks_) clock_.cancel(id);
}

void VirtualEsp32::addFault(SimFault fault) {
  faults_.push_back(fault);
  if (fault.kind == SimFaultKind::kSilent) {
    enterReset(clock_.nowUs());
    mode_ = Mode::kAbsent;
  }
}

bool VirtualEsp32::hasFault(SimFaultKind kind) const {
  return std::any_of(faults_.begin(), faults_.end(),
                     [kind](const SimFault& f) { return f.kind == kind; });
}

const SimFault* VirtualEsp32::faultAt(SimFaultKind kind, uint32_t position) const {
  for (const SimFault& f : faults_) {
    if (f.kind == kind && f.position == position) return &f;
  }
  return nullptr;
}

void VirtualEsp32::unplug() {
  if (unplugged_) return;
  int64_t now = clock_.nowUs();
  unplugged_ = true;
  if (enRiseTask_ != 0) {
    cancelTask(enRiseTask_);
    enRiseTask_ = 0;
  }
  enterReset(now);
  mode_ = Mode::kAbsent;
  rx_.clear();
  toChip_.clear();
}

void VirtualEsp32::unplugFor(int64_t forUs) {
  unplug();
  uint64_t key = nextTaskKey_++;
  tasks_[key] = clock_.schedule(clock_.nowUs() + forUs, [this, key] {
    tasks_.erase(key);
    plugIn();
  });
}

void VirtualEsp32::powerCycle() {
  if (unplugged_ || mode_ == Mode::kAbsent) return;
  const int64_t now = clock_.nowUs();
  enterReset(now);
  bootFromFlash(now, true);
}

void VirtualEsp32::plugIn() {
  if (!unplugged_) return;
  if (portOpen_) {
    replugPending_ = true;
    return;
  }
  unplugged_ = false;
  enHigh_ = true;
  mode_ = Mode::kReset;
  bootFromFlash(clock_.nowUs(), true);
}

void VirtualEsp32::clearRecord() {
  commands_.clear();
  lineChanges_.clear();
  baudChanges_.clear();
  boots_.clear();
}

// ---- Bridge -------------------------------------------------------------------------------

void VirtualEsp32::bridgeOpen(uint32_t baud) {
  catchUp();
  if (unplugged_) throw EComPort("Unable to open com port", oserr::kErrNoDevice);
  if (portOpen_) throw EComPort("Unable to open com port", oserr::kErrBusy);
  if (baud == 0) throw EComPort("SetCommState function failed", oserr::kErrInvalid);
  settleRx();  // whatever arrived while closed is lost
  int64_t now = clock_.nowUs();
  portOpen_ = true;
  portBaud_ = baud;
  rx_.clear();
  toChip_.clear();
  hostTxFreeNs_ = now * 1000;
  dtr_ = rts_ = false;
  baudChanges_.push_back({now, SimSide::kPort, baud});
  updateEn(now);
}

void VirtualEsp32::bridgeClose() noexcept {
  if (!portOpen_) return;
  catchUp();
  settleRx();
  portOpen_ = false;
  dtr_ = rts_ = false;
  rx_.clear();
  toChip_.clear();
  if (replugPending_) {
    replugPending_ = false;
    plugIn();
    return;
  }
  if (!unplugged_) updateEn(clock_.nowUs());
}

void VirtualEsp32::bridgeSetBaudRate(uint32_t baud) {
  catchUp();
  if (unplugged_) throw EComPort("SetCommState function failed", oserr::kErrGone);
  if (baud == 0) throw EComPort("SetCommState function failed", oserr::kErrInvalid);
  settleRx();  // bytes already in were heard at the old speed
  // DTR and RTS stay as they are, as on every SerialDevice: a speed change is no reset pulse.
  portBaud_ = baud;
  baudChanges_.push_back({clock_.nowUs(), SimSide::kPort, baud});
}

void VirtualEsp32::bridgeSetDTR(bool on) {
  catchUp();
  if (unplugged_) throw EComPort("EscapeCommFunction function failed", oserr::kErrGone);
  int64_t now = clock_.nowUs();
  dtr_ = on;
  lineChanges_.push_back({now, SimLine::kDtr, on});
  updateEn(now);
}

void VirtualEsp32::bridgeSetRTS(bool on) {
  catchUp();
  if (unplugged_) throw EComPort("EscapeCommFunction function failed", oserr::kErrGone);
  int64_t now = clock_.nowUs();
  rts_ = on;
  lineChanges_.push_back({now, SimLine::kRts, on});
  updateEn(now);
}

void VirtualEsp32::bridgePurge() noexcept {
  if (unplugged_ || !portOpen_) return;
  catchUp();
  settleRx();
  rx_.clear();
  toChip_.clear();
  hostTxFreeNs_ = std::min(hostTxFreeNs_, clock_.nowUs() * 1000);
}

size_t VirtualEsp32::bridgeWrite(const uint8_t* data, size_t count) {
  catchUp();
  if (unplugged_) throw EComPort("WriteFile function failed", oserr::kErrGone);
  int64_t ns = std::max(clock_.nowUs() * 1000, hostTxFreeNs_);
  uint32_t line = lineBaud();
  int64_t step = byteNs(line);
  for (size_t i = 0; i < count; ++i) {
    ns += step;
    toChip_.push_back({ceilUs(ns), data[i], line});
  }
  hostTxFreeNs_ = ns;
  // The driver takes what fits its transmit queue; the rest waits until the line has room.
  if (toChip_.size() > kTxQueueSize) runUntil(toChip_[toChip_.size() - kTxQueueSize - 1].atUs);
  if (unplugged_) throw EComPort("WriteFile function failed", oserr::kErrGone);
  return count;
}

int VirtualEsp32::bridgeReadByte(int timeoutMs) {
  catchUp();
  if (unplugged_) throw EComPort("ReadFile function failed", oserr::kErrGone);
  int64_t deadline = clock_.nowUs() + int64_t{std::max(timeoutMs, 0)} * 1000;
  for (;;) {
    settleRx();
    if (!rx_.empty()) {
      uint8_t b = rx_.front();
      rx_.pop_front();
      return b;
    }
    if (unplugged_) throw EComPort("ReadFile function failed", oserr::kErrGone);
    int64_t next = std::min({nextChipByteUs(), clock_.nextTaskUs(),
                             toChip_.empty() ? INT64_MAX : toChip_.front().atUs});
    if (next > deadline) {
      runUntil(deadline);
      settleRx();
      if (unplugged_) throw EComPort("ReadFile function failed", oserr::kErrGone);
      if (rx_.empty()) return -1;
      uint8_t b = rx_.front();
      rx_.pop_front();
      return b;
    }
    runUntil(next);
  }
}

// ---- Time ---------------------------------------------------------------------------------

void VirtualEsp32::catchUp() {
  runUntil(clock_.nowUs());
}

// Host bytes reach the chip and scheduled work runs in the order of their instants, so that a
// reset or a speed change takes effect between the right two bytes.
void VirtualEsp32::runUntil(int64_t atUs) {
  for (;;) {
    int64_t hostNext = toChip_.empty() ? INT64_MAX : toChip_.front().atUs;
    int64_t taskNext = clock_.nextTaskUs();
    if (std::min(hostNext, taskNext) > atUs) break;
    if (taskNext <= hostNext) {
      clock_.advanceTo(taskNext);
    } else {
      LineByte b = toChip_.front();
      toChip_.pop_front();
      deliverToChip(b);
    }
  }
  clock_.advanceTo(atUs);
}

uint64_t VirtualEsp32::scheduleChipTask(int64_t atUs, std::function<void(int64_t)> task) {
  uint64_t key = nextTaskKey_++;
  uint64_t epoch = epoch_;
  tasks_[key] = clock_.schedule(atUs, [this, key, epoch, atUs, task = std::move(task)] {
    tasks_.erase(key);
    if (epoch == epoch_) task(atUs);
  });
  return key;
}

void VirtualEsp32::cancelTask(uint64_t key) {
  auto it = tasks_.find(key);
  if (it == tasks_.end()) return;
  clock_.cancel(it->second);
  tasks_.erase(it);
}

// ---- Chip to port -------------------------------------------------------------------------

// The bridge passes nothing on sooner than its turnaround after the last request's end.
void VirtualEsp32::transmit(std::span<const uint8_t> bytes, int64_t atUs) {
  int64_t ns = std::max(atUs * 1000, chipTxFreeNs_);
  int64_t step = byteNs(chipBaud_);
  int64_t gateUs = requestEndUs_ + options_.timings.bridgeLatencyUs;
  for (uint8_t b : bytes) {
    ns += step;
    toPort_.push_back({std::max(ceilUs(ns), gateUs), b, chipBaud_});
  }
  chipTxFreeNs_ = ns;
}

void VirtualEsp32::transmitText(const std::string& text, int64_t atUs) {
  transmit({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, atUs);
}

// The repeating text keeps the transmitter busy without a pause. It is made only as far as the
// port can take it; what nobody could receive is skipped over by arithmetic.
void VirtualEsp32::runChatter(int64_t untilUs, bool keep) {
  int64_t step = byteNs(chipBaud_);
  while (keep && rx_.size() + toPort_.size() < kRxQueueSize) {
    int64_t ns = chipTxFreeNs_ + step;
    if (ceilUs(ns) > untilUs) return;
    toPort_.push_back({ceilUs(ns), static_cast<uint8_t>(chatter_[chatterPos_]), chipBaud_});
    chatterPos_ = (chatterPos_ + 1) % chatter_.size();
    chipTxFreeNs_ = ns;
  }
  int64_t room = untilUs * 1000 - chipTxFreeNs_;
  if (room < step) return;
  int64_t skipped = room / step;
  chatterPos_ =
      static_cast<size_t>((chatterPos_ + skipped) % static_cast<int64_t>(chatter_.size()));
  chipTxFreeNs_ += skipped * step;
}

void VirtualEsp32::settleRx() {
  int64_t now = clock_.nowUs();
  uint32_t line = lineBaud();
  if (!chatter_.empty()) runChatter(now, portOpen_);
  while (!toPort_.empty() && toPort_.front().atUs <= now) {
    LineByte b = toPort_.front();
    toPort_.pop_front();
    if (!portOpen_ || rx_.size() >= kRxQueueSize) continue;
    rx_.push_back(b.baud == line ? b.byte : garble(b.byte, b.baud, line));
  }
}

int64_t VirtualEsp32::nextChipByteUs() const {
  if (!toPort_.empty()) return toPort_.front().atUs;
  if (!chatter_.empty()) return ceilUs(chipTxFreeNs_ + byteNs(chipBaud_));
  return INT64_MAX;
}

// ---- Port to chip -------------------------------------------------------------------------

void VirtualEsp32::deliverToChip(const LineByte& b) {
  if (mode_ == Mode::kApplication && options_.application) {
    app_.receive(b.baud == chipBaud_ ? b.byte : garble(b.byte, b.baud, chipBaud_), b.atUs);
    return;
  }
  if (mode_ != Mode::kLoader && mode_ != Mode::kStub) return;
  uint8_t byte = b.byte;
  // Until the first SYNC the ROM measures the sender's speed instead of expecting its own.
  bool detecting = mode_ == Mode::kLoader && autobaud_;
  bool switching = b.atUs >= baudSwitchFromUs_ && b.atUs < baudSwitchEndUs_;
  if (switching || (!detecting && b.baud != chipBaud_)) byte = garble(byte, b.baud, chipBaud_);
  bool stub = mode_ == Mode::kStub;
  if (stub) stubCountRxByte(b.atUs);
  if (stub && stubTooLong_ && byte == 0xC0) {
    // The end of a frame the stub dropped for its length: answered with the opcode it began with.
    stubTooLong_ = false;
    stubAnswerDropped(stubTooLongOpcode_, kStubTooMuchData, b.atUs);
  }
  decoder_.setEndOpensNext(stub);
  switch (decoder_.feed(byte)) {
    case SimSlipDecoder::Result::kFrame:
      onFrame(decoder_.frame(), b.baud, b.atUs);
      break;
    case SimSlipDecoder::Result::kTooLong:
      stubTooLong_ = stub;
      stubTooLongOpcode_ = decoder_.droppedOpcode();
      break;
    default:
      break;
  }
}

// ---- Board and boot -----------------------------------------------------------------------

int64_t VirtualEsp32::enRiseUs() const {
  return hasFault(SimFaultKind::kSlowEn) ? options_.timings.slowEnRiseUs
                                         : options_.timings.enRiseUs;
}

void VirtualEsp32::updateEn(int64_t atUs) {
  if (enPulledLow()) {
    if (enRiseTask_ != 0) {
      cancelTask(enRiseTask_);
      enRiseTask_ = 0;
    }
    if (enHigh_) {
      enHigh_ = false;
      enterReset(atUs);
    }
    return;
  }
  if (enHigh_ || enRiseTask_ != 0) return;
  uint64_t key = nextTaskKey_++;
  enRiseTask_ = key;
  int64_t riseAt = atUs + enRiseUs();
  tasks_[key] = clock_.schedule(riseAt, [this, key, riseAt] {
    tasks_.erase(key);
    enRiseTask_ = 0;
    enHigh_ = true;
    if (mode_ == Mode::kAbsent) return;
    // The chip samples its boot strap at the moment EN rises.
    if (io0Low() && !hasFault(SimFaultKind::kNoBootStrap)) {
      bootLoader(riseAt, kDownloadBoot);
    } else {
      bootFromFlash(riseAt, true);
    }
  });
}

void VirtualEsp32::enterReset(int64_t atUs) {
  ++epoch_;
  if (mode_ != Mode::kAbsent) mode_ = Mode::kReset;
  chatter_.clear();
  while (!toPort_.empty() && toPort_.back().atUs > atUs) toPort_.pop_back();
  chipTxFreeNs_ = std::min(chipTxFreeNs_, atUs * 1000);
  decoder_.reset();
  busyUntilUs_ = atUs;
  corruptBlock_ = false;
  damageInflate_ = false;
  baudSwitchFromUs_ = baudSwitchEndUs_ = 0;
  inflater_.stop();
  setChipBaud(kBootBaud, atUs);
}

void VirtualEsp32::setChipBaud(uint32_t baud, int64_t atUs) {
  if (baud == chipBaud_) return;
  chipBaud_ = baud;
  baudChanges_.push_back({atUs, SimSide::kChip, baud});
}

uint32_t VirtualEsp32::lineBaud() const {
  if (portBaud_ <= kBridgeLimitBaud || !hasFault(SimFaultKind::kBridgeLimit)) return portBaud_;
  return static_cast<uint32_t>(uint64_t{portBaud_} * 97 / 100);
}

void VirtualEsp32::bootLoader(int64_t atUs, const std::string& resetLine) {
  mode_ = Mode::kLoader;
  boots_.push_back({atUs, Mode::kLoader});
  autobaud_ = true;
  writtenRegs_.clear();
  romLastOpcode_ = 0;
  romLastValue_ = 0;
  romLastError_ = 0;
  memActive_ = false;
  ram_.clear();
  romStopWrite();
  stubFlashActive_ = false;
  transmitText(kBanner + resetLine + kWaiting, atUs);
}

void VirtualEsp32::bootFromFlash(int64_t atUs, bool banner) {
  mode_ = Mode::kApplication;
  boots_.push_back({atUs, Mode::kApplication});
  writtenRegs_.clear();
  std::string text = banner ? kBanner + kFlashBoot : std::string();
  std::span<const uint8_t> f = flash_.bytes();
  const uint8_t* h = f.data() + kImageHeaderAddr;
  if (h[0] != kImageMagic) {
    // No image: the ROM complains and tries again, for ever.
    transmitText(text, atUs);
    chatter_ = format("invalid header: 0x%08x\r\n", le32(f, kImageHeaderAddr));
    chatterPos_ = 0;
    return;
  }
  static const char* const kModes[] = {"QIO", "QOUT", "DIO", "DOUT"};
  unsigned divider = 2;
  switch (h[3] & 0x0F) {
    case 0x0F:
      divider = 1;
      break;
    case 0x01:
      divider = 3;
      break;
    case 0x02:
      divider = 4;
      break;
    default:
      break;
  }
  text += "configsip: 0, SPIWP:0xee\r\n";
  text += format("mode:%s, clock div:%u\r\n", h[2] < 4 ? kModes[h[2]] : "?", divider);
  // The image header (24 bytes) is followed by segments, each with a load address and a length.
  uint64_t pos = kImageHeaderAddr + 24;
  for (unsigned i = 0; i < h[1] && i < 16 && pos + 8 <= flash_.size(); ++i) {
    uint32_t load = le32(f, pos);
    uint32_t len = le32(f, pos + 4);
    text += format("load:0x%08x,len:%u\r\n", load, len);
    pos += 8 + uint64_t{len};
  }
  text += format("entry 0x%08x\r\n", le32(f, kImageHeaderAddr + 4));
  transmitText(text, atUs);
  if (options_.application) app_.start(ceilUs(chipTxFreeNs_));
}

// ---- Answers and what follows them --------------------------------------------------------

void VirtualEsp32::sendReply(const Reply& r, int64_t startUs, bool badEscape) {
  int64_t at = startUs + r.latencyUs + r.workUs;
  auto size = static_cast<uint16_t>(r.data.size());
  std::vector<uint8_t> packet = {0x01,
                                 r.opcode,
                                 static_cast<uint8_t>(size),
                                 static_cast<uint8_t>(size >> 8),
                                 static_cast<uint8_t>(r.value),
                                 static_cast<uint8_t>(r.value >> 8),
                                 static_cast<uint8_t>(r.value >> 16),
                                 static_cast<uint8_t>(r.value >> 24)};
  packet.insert(packet.end(), r.data.begin(), r.data.end());
  std::vector<uint8_t> frame;
  simSlipEncode(packet, frame);
  if (badEscape) {
    const uint8_t bad[] = {0xDB, 0x41};
    frame.insert(frame.begin() + 3, std::begin(bad), std::end(bad));
  }
  bool chatter = hasFault(SimFaultKind::kChatter);
  for (int i = 0; i < r.copies; ++i) {
    if (chatter) transmitText(kBanner + kDownloadBoot + kWaiting, at);
    transmit(frame, at);
  }
  busyUntilUs_ = at + r.afterAnswerUs;
  if (r.after == After::kNone) return;
  // What follows an answer waits until its last byte has left the chip.
  scheduleChipTask(ceilUs(chipTxFreeNs_),
                   [this, after = r.after, arg = r.arg](int64_t t) { runAfter(after, arg, t); });
}

void VirtualEsp32::runAfter(After after, uint32_t arg, int64_t atUs) {
  switch (after) {
    case After::kNone:
      break;
    case After::kSwitchBaud:
      setChipBaud(arg, atUs);
      break;
    case After::kRomSwitchBaud:
      setChipBaud(arg, atUs);
      baudSwitchFromUs_ = atUs;
      baudSwitchEndUs_ = atUs + options_.timings.baudSwitchUs;
      scheduleChipTask(baudSwitchEndUs_, [this](int64_t t) {
        static const uint8_t kEmptyFrame[] = {0xC0, 0xC0};
        transmit(kEmptyFrame, t);
      });
      break;
    case After::kJump:
      jumpTo(arg, atUs);
      break;
    case After::kSoftReset:
      enterReset(atUs);
      bootLoader(atUs, kSoftReset);
      break;
    case After::kLeaveLoader:
      ++epoch_;
      decoder_.reset();
      bootFromFlash(atUs, false);
      break;
    case After::kStreamRead:
      stubPumpRead(atUs);
      break;
  }
}

void VirtualEsp32::jumpTo(uint32_t entry, int64_t atUs) {
  decoder_.reset();
  bool loaded = std::any_of(ram_.begin(), ram_.end(), [entry](const MemSegment& s) {
    return entry >= s.addr && entry - s.addr < s.bytes.size();
  });
  // A jump to memory that holds nothing, or a stub that hangs, leaves the chip dead until reset.
  if (!loaded || hasFault(SimFaultKind::kStubSilent)) {
    mode_ = Mode::kHalted;
    return;
  }
  mode_ = Mode::kStub;
  stubStart();
  const char* greeting = hasFault(SimFaultKind::kStubBadGreeting) ? "OHIA" : "OHAI";
  std::vector<uint8_t> frame;
  simSlipEncode({reinterpret_cast<const uint8_t*>(greeting), 4}, frame);
  transmit(frame, atUs + options_.timings.stubStartUs);
}

}  // namespace flintmoor
