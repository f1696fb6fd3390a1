// The port object TComPort and the serial link module TComIo: name and speed rules, the
// "Port Not Open" guard, the after-open/after-close callbacks, byte reads, the input drain, the raw
// text write, the reset into the application and the sorted port list.
#include "comio/uComIo.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/Error.h"

namespace flintmoor {

namespace {

constexpr int kFlushSilenceMs = 10;
// A drain that never meets 10 ms of silence (a chip printing endlessly, a line full of noise)
// would block the job for ever; past either bound the rest is left for the packet layer to skip.
constexpr size_t kFlushMaxBytes = 64 * 1024;
constexpr int64_t kFlushMaxUs = 2'000'000;

constexpr uint32_t kApplicationBaud = 115200;
constexpr int64_t kResetSettleMs = 20;
constexpr int64_t kResetHoldMs = 50;

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive text order; names equal but for case fall back to the plain order so that the
// result does not depend on the order in which the system lists them.
bool portNameLess(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char ca = lowerAscii(a[i]);
    char cb = lowerAscii(b[i]);
    if (ca != cb) return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TComPort

TComPort::TComPort(SerialDeviceFactory factory) : factory_(std::move(factory)) {}

// The device is released without the after-close callback: at destruction the objects that the
// callback reaches (the LED, the module's own callback members) may already be gone.
TComPort::~TComPort() {
  if (device_) device_->close();
}

void TComPort::setPort(const std::string& name) {
  if (name == port_) return;
  port_ = name;
  if (Connected()) {
    Close();
    Open();
  }
}

void TComPort::setCustomBaudRate(uint32_t baud) {
  if (baud == baud_) return;
  baud_ = baud;
  if (Connected()) device_->setBaudRate(baud_);
}

void TComPort::Open() {
  if (Connected()) return;
  std::unique_ptr<SerialDevice> device = factory_ ? factory_(port_) : nullptr;
  // No backend knows the name: the system's answer to a name without a device.
  if (!device) throw EComPort("Unable to open com port", oserr::kErrNoDevice);
  device->open(port_, baud_);
  device_ = std::move(device);
  if (OnAfterOpen) OnAfterOpen();
}

void TComPort::Close() {
  if (!Connected()) return;
  device_->close();
  device_.reset();
  if (OnAfterClose) OnAfterClose();
}

namespace {
[[noreturn]] void throwNotOpen() {
  throw EComPort("Port Not Open", 0);
}
}  // namespace

void TComPort::SetDTR(bool on) {
  if (!Connected()) throwNotOpen();
  device_->setDTR(on);
}

void TComPort::SetRTS(bool on) {
  if (!Connected()) throwNotOpen();
  device_->setRTS(on);
}

// Devices only purge both queues together, which is what every caller asks for.
void TComPort::ClearBuffer(bool input, bool output) {
  if (!Connected() || (!input && !output)) return;
  device_->purge();
}

size_t TComPort::Write(const uint8_t* data, size_t count) {
  if (!Connected()) throwNotOpen();
  return device_->write(data, count);
}

int TComPort::ReadByte(int timeoutMs) {
  if (!Connected()) throwNotOpen();
  return device_->readByte(timeoutMs);
}

// ---------------------------------------------------------------------------------------------
// TComIo

TComIo::TComIo(Clock& clock, SerialDeviceFactory factory, PortLister lister)
    : cPort(std::move(factory)), clock_(clock), lister_(std::move(lister)) {
  cPort.OnAfterOpen = [this] {
    if (cPortAfterOpen) cPortAfterOpen();
  };
  cPort.OnAfterClose = [this] {
    if (cPortAfterClose) cPortAfterClose();
  };
}

int TComIo::ComGetSer(int timeOut) {
  return cPort.ReadByte(timeOut);
}

void TComIo::ComFlush() {
  const int64_t startUs = clock_.nowUs();
  size_t drained = 0;
  while (ComGetSer(kFlushSilenceMs) >= 0) {
    ++drained;
    if (drained >= kFlushMaxBytes || clock_.nowUs() - startUs >= kFlushMaxUs) return;
  }
}

void TComIo::ComWriteStr(std::u16string_view s) {
  cPort.ClearBuffer(true, true);
  textOut_.clear();
  textOut_.reserve(s.size());
  for (char16_t c : s) textOut_.push_back(static_cast<uint8_t>(c & 0xFF));
  cPort.Write(textOut_.data(), textOut_.size());
}

void TComIo::DoReset() {
  cPort.setCustomBaudRate(kApplicationBaud);
  if (!cPort.Connected()) return;
  clock_.sleepMs(kResetSettleMs);
  cPort.ClearBuffer(true, true);
  // RTS asserted with DTR released holds the chip in reset with the flash-boot strap; releasing
  // RTS lets it start from flash.
  cPort.SetRTS(true);
  cPort.SetDTR(false);
  clock_.sleepMs(kResetHoldMs);
  cPort.SetRTS(false);
  cPort.SetDTR(false);
}

void TComIo::DisConnect() {
  cPort.Close();
}

void TComIo::ListComPorts(std::vector<std::string>& list) {
  if (!lister_) return;
  std::vector<std::string> names;
  try {
    names = lister_();
  } catch (const Exception&) {
    // The system keeps no port list (no serial driver registered one): the list stays as it was.
    return;
  }
  std::sort(names.begin(), names.end(), portNameLess);
  list = std::move(names);
}

}  // namespace flintmoor
