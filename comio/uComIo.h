// The serial link: the port object TComPort (name, speed, lines, purge, write, byte reads, the
// after-open/after-close callbacks) and the module TComIo with its helpers and port list.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "comio/SerialDevice.h"

namespace flintmoor {

class Log;

// The one port object. It starts closed, named "COM1", at 9600 bit/s. Every operation but the
// setters, Open, Close, Connected and ClearBuffer raises EComPort("Port Not Open", 0) while closed.
class TComPort {
 public:
  explicit TComPort(SerialDeviceFactory factory);
  ~TComPort();

  // Sets the device name; an open port under another name is closed and opened again.
  void setPort(const std::string& name);
  const std::string& port() const { return port_; }
  // The rate in force; applied at once on an open port when it changed.
  void setCustomBaudRate(uint32_t baud);
  uint32_t customBaudRate() const { return baud_; }

  void Open();   // no-op when open; runs OnAfterOpen on success
  void Close();  // no-op when closed; runs OnAfterClose
  bool Connected() const { return device_ != nullptr; }
  void SetDTR(bool on);
  void SetRTS(bool on);
  void ClearBuffer(bool input, bool output);  // never raises
  size_t Write(const uint8_t* data, size_t count);
  int ReadByte(int timeoutMs);  // 0..255, or -1 after timeoutMs without a byte

  std::function<void()> OnAfterOpen;
  std::function<void()> OnAfterClose;

 private:
  SerialDeviceFactory factory_;
  std::unique_ptr<SerialDevice> device_;
  std::string port_ = "COM1";
  uint32_t baud_ = 9600;
};

// The serial link module.
class TComIo {
 public:
  TComIo(Clock& clock, SerialDeviceFactory factory, PortLister lister);

  TComPort cPort;
  int Tag = 0;  // job kind: 1 an erase (whole or region), 2 any other (update, write, read)

  int ComGetSer(int timeOut);
  // Discards input until the line has been silent for 10 ms; stops without error after 64 KiB or
  // 2 s of continuous input.
  void ComFlush();
  // Purges both queues, then sends the low byte of each character.
  void ComWriteStr(std::u16string_view s);
  // 115200 bit/s, then (open port only) 20 ms, purge, RTS on, DTR off, 50 ms, RTS off, DTR off.
  void DoReset();
  void DisConnect();
  // Replaces the list with the system's port names, sorted case-insensitively as text. A lister
  // that raises Exception (the system keeps no port list) leaves the list as it was.
  void ListComPorts(std::vector<std::string>& list);

  // Run after every open and close (the LED hangs on them).
  std::function<void()> cPortAfterOpen;
  std::function<void()> cPortAfterClose;

  Clock& clock() { return clock_; }

  // USB hot-plug tracing (see U_Usb): log "ARRIVE: "/"REMOVE: " with the device path, and
  // "CLOSE COM" when the removed device provided the port shown in the port drop-down.
  void UsbArrival(const std::string& path);
  void UsbRemove(const std::string& path);
  // Set by the wiring: the log, the text of the port drop-down, and the port-name lookup of the
  // platform's USB component (empty text when the device provided no serial port).
  Log* UsbLog = nullptr;
  std::function<std::string()> CurrentPortText;
  std::function<std::string(const std::string& path)> DevicePortName;
  // The USB vendor id of an arrived device (0 when unknown), where a system service is known to
  // claim serial adapters as they arrive: a CH34x or CP210x adapter that is removed within
  // kVanishMs of its arrival then adds a line naming that service (brltty) to the trace.
  std::function<uint16_t(const std::string& path)> DeviceVendorId;
  static constexpr int64_t kVanishMs = 3000;

 private:
  Clock& clock_;
  PortLister lister_;
  std::map<std::string, int64_t> adapterArrivals_;  // CH34x/CP210x paths and their arrival (ms)
  std::vector<uint8_t> textOut_;  // ComWriteStr's bytes, kept to avoid an allocation per frame
};

}  // namespace flintmoor
