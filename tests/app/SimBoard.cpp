// The virtual ESP32 for the window tests.
#include "SimBoard.h"

#include "sim/SimFaults.h"
#include "sim/SimSerialDevice.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor::testing {

SimBoard::SimBoard(VirtualClock& clock) : board_(std::make_unique<VirtualEsp32>(clock)) {}

SimBoard::~SimBoard() = default;

std::unique_ptr<SerialDevice> SimBoard::device() {
  return std::make_unique<SimSerialDevice>(*board_);
}

void SimBoard::addFault(const std::string& name) {
  board_->addFault(parseSimFault(name));
}

std::vector<uint8_t> SimBoard::flash(uint32_t address, size_t length) const {
  auto bytes = board_->flash().bytes().subspan(address, length);
  return {bytes.begin(), bytes.end()};
}

void SimBoard::program(uint32_t address, const std::vector<uint8_t>& bytes) {
  board_->flash().program(address, bytes);
}

bool SimBoard::flashIsBlank() const {
  return board_->flash().isBlank();
}

bool SimBoard::bridgeIsOpen() const {
  return board_->bridgeIsOpen();
}

std::string SimBoard::portName() {
  return VirtualEsp32::kPortName;
}

}  // namespace flintmoor::testing
