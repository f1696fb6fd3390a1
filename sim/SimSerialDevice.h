// The serial port "SIM": a SerialDevice backed by the USB bridge of a VirtualEsp32, so the serial
// link opens, drives and reads the virtual chip exactly as it would a real port.
#pragma once

#include <string>
#include <utility>

#include "comio/SerialDevice.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor {

// Opens only under its name, VirtualEsp32::kPortName unless given ("Unable to open com port" with
// oserr::kErrNoDevice otherwise) and only once at a time per board (the same text with
// oserr::kErrBusy), the codes of the platform it runs on, as its real backend raises them. The
// board must outlive the device. Reads and writes advance the board's VirtualClock while they wait.
class SimSerialDevice final : public SerialDevice {
 public:
  explicit SimSerialDevice(VirtualEsp32& board, std::string name = VirtualEsp32::kPortName)
      : board_(board), name_(std::move(name)) {}
  ~SimSerialDevice() override { close(); }

  void open(const std::string& name, uint32_t baud) override;
  void close() noexcept override;
  void setBaudRate(uint32_t baud) override;
  void setDTR(bool on) override;
  void setRTS(bool on) override;
  void purge() noexcept override;
  size_t write(const uint8_t* data, size_t count) override;
  int readByte(int timeoutMs) override;

 private:
  void requireOpen() const;

  VirtualEsp32& board_;
  std::string name_;
  bool open_ = false;
};

}  // namespace flintmoor
