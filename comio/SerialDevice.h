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

// The operating system's error codes that a device raises on its own account, with the values of
// the platform the build targets: the codes a backend decides itself (rather than passes on from
// the system), and those the virtual chip raises in place of the system, so that every message
// reads as the real port of the same platform would make it. Codes the system reports are passed
// on as they come. Literals, so that this header needs no OS header; each backend checks them
// against the system's names at compile time.
namespace oserr {
#ifdef _WIN32
// Win32 error codes (GetLastError).
constexpr int kErrNoDevice = 2;  // ERROR_FILE_NOT_FOUND: no device under that name
constexpr int kErrBusy = 5;      // ERROR_ACCESS_DENIED: what CreateFile gives a second opener
// The device vanished while open (the USB bridge was pulled out). ERROR_BAD_COMMAND is what the
// common USB bridge drivers answer every later ReadFile, WriteFile and comm-state call on the
// handle of a removed device: the request reaches a device that is no longer in a working state.
// Some drivers answer ERROR_ACCESS_DENIED (5) or ERROR_GEN_FAILURE (31) instead; the Win32
// backend passes on whichever it gets.
constexpr int kErrGone = 22;
constexpr int kErrAccess = 5;    // ERROR_ACCESS_DENIED: no right to open the device
constexpr int kErrInvalid = 87;  // ERROR_INVALID_PARAMETER: a setting the device cannot take
#else
// errno values (Linux).
constexpr int kErrNoDevice = 2;  // ENOENT: no device node under that name
constexpr int kErrBusy = 16;     // EBUSY: the tty is in exclusive use
// EIO: once a USB serial device is gone its tty is hung up: writes and ioctls fail with EIO and
// reads report end of file, which the POSIX backend raises as EIO too.
constexpr int kErrGone = 5;
constexpr int kErrAccess = 13;   // EACCES: no permission on the device node
constexpr int kErrInvalid = 22;  // EINVAL: a setting the device cannot take
#endif
}  // namespace oserr

// Contract shared by every backend:
// - open(): exclusive open of the named device, raw binary 8N1, no flow control, DTR and RTS
//   dropped, driver queues of 1024 bytes, the modem status read once. Raises
//   EComPort("Unable to open com port", os code): oserr::kErrNoDevice for a name without a
//   device, oserr::kErrBusy when the device is already open (in this process or another); a
//   speed of 0 raises as setBaudRate() does, and the device stays closed. Also raises the other
//   texts of the port object. Calls other than open() and close() are made only while open
//   (TComPort guards this).
// - close() and purge() never raise.
// - write() blocks until the driver took the bytes or 1000 ms + 100 ms per byte have passed and
//   returns the count written; raises EComPort("WriteFile function failed", code).
// - readByte(timeoutMs) returns the next byte 0..255 at once when one is queued, else waits for
//   the first byte at most timeoutMs milliseconds and returns -1 without one;
//   raises EComPort("ReadFile function failed", code) when the system refuses the read.
// - setBaudRate() applies any integer rate above 0; 0 raises
//   EComPort("SetCommState function failed", oserr::kErrInvalid) and changes nothing. It leaves
//   DTR and RTS as they are: on a board whose reset circuit hangs on them, a speed change must
//   never be a reset pulse.
// - setDTR()/setRTS() assert (true) or drop the line ("EscapeCommFunction function failed"); the
//   line keeps that state until the next call for it, close() or the next open().
// - Once the device is gone (the USB bridge pulled out), every call but close() and purge()
//   raises its text with oserr::kErrGone (the Win32 backend passes on the driver's code, which a
//   few drivers choose otherwise), and open() raises oserr::kErrNoDevice until it is back.
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
