// The virtual ESP32 for the window tests, behind a small header of what those tests need.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comio/SerialDevice.h"

namespace flintmoor {
class VirtualClock;
class VirtualEsp32;
}  // namespace flintmoor

namespace flintmoor::testing {

class SimBoard {
 public:
  explicit SimBoard(VirtualClock& clock);
  ~SimBoard();

  // A serial device for the port "SIM".
  std::unique_ptr<SerialDevice> device();
  // A fault switch by name, "NAME" or "NAME:N".
  void addFault(const std::string& name);
  std::vector<uint8_t> flash(uint32_t address, size_t length) const;
  void program(uint32_t address, const std::vector<uint8_t>& bytes);
  bool flashIsBlank() const;
  bool bridgeIsOpen() const;
  static std::string portName();

 private:
  std::unique_ptr<VirtualEsp32> board_;
};

}  // namespace flintmoor::testing
