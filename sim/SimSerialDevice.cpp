// The serial port "SIM" on the virtual ESP32's bridge.
#include "sim/SimSerialDevice.h"

#include "base/Error.h"

namespace flintmoor {

void SimSerialDevice::open(const std::string& name, uint32_t baud) {
  if (open_) return;
  if (name != name_) throw EComPort("Unable to open com port", oserr::kErrNoDevice);
  board_.bridgeOpen(baud);
  open_ = true;
}

void SimSerialDevice::close() noexcept {
  if (!open_) return;
  open_ = false;
  board_.bridgeClose();
}

void SimSerialDevice::requireOpen() const {
  if (!open_) throw EComPort("Port Not Open", 0);
}

void SimSerialDevice::setBaudRate(uint32_t baud) {
  requireOpen();
  board_.bridgeSetBaudRate(baud);
}

void SimSerialDevice::setDTR(bool on) {
  requireOpen();
  board_.bridgeSetDTR(on);
}

void SimSerialDevice::setRTS(bool on) {
  requireOpen();
  board_.bridgeSetRTS(on);
}

void SimSerialDevice::purge() noexcept {
  if (open_) board_.bridgePurge();
}

size_t SimSerialDevice::write(const uint8_t* data, size_t count) {
  requireOpen();
  return board_.bridgeWrite(data, count);
}

int SimSerialDevice::readByte(int timeoutMs) {
  requireOpen();
  return board_.bridgeReadByte(timeoutMs);
}

}  // namespace flintmoor
