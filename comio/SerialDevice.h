// A serial port as the operating system (or the virtual chip) offers it: the narrow interface
// that the port object TComPort drives. One implementation per OS, one for the virtual ESP32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace flintmoor {

// Contract shared by every backend:
// - open(): exclusive open of the named device (a second opener fails), raw binary 8N1, no flow
//   control, DTR and RTS dropped, driver queues of 1024 bytes, the modem status read once.
//   Raises EComPort("Unable to open com port", os code) and the other texts of the port object.
//   Calls other than open() and close() are made only while open (TComPort guards this).
// - close() and purge() never raise.
// - write() blocks until the driver took the bytes or 1000 ms + 100 ms per byte have passed and
//   returns the count written; raises EComPort("WriteFile function failed", code).
// - readByte(timeoutMs) returns the next byte 0..255 at once when one is queued, else waits for
//   the first byte at most timeoutMs milliseconds and returns -1 without one;
//   raises EComPort("ReadFile function failed", code) when the system refuses the read.
// - setBaudRate() applies any integer rate ("SetCommState function failed");
//   setDTR()/setRTS() assert (true) or drop the line ("EscapeCommFunction function failed").
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  virtual void open(const std::string& name, uint32_t baud) = 0;
  virtual void close() noexcept = 0;
  virtual void setBaudRate(uint32_t baud) = 0;
  virtual void setDTR(bool on) = 0;
  virtual void setRTS(bool on) = 0;
  virtual void purge() noexcept = 0;
  virtual size_t write(const uint8_t* data, size_t count) = 0;
  virtual int readByte(int timeoutMs) = 0;
};

// Makes the device for a port name (the front ends map "SIM" to the virtual chip).
using SerialDeviceFactory = std::function<std::unique_ptr<SerialDevice>(const std::string& name)>;

// Lists the system's serial port names, in no particular order.
using PortLister = std::function<std::vector<std::string>()>;

}  // namespace flintmoor
