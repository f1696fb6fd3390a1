// The Win32 serial backend: an exclusive overlapped handle on "\\.\<name>", 1024-byte driver
// queues, a binary 8N1 DCB without flow control (a speed change keeps DTR and RTS), the time-out
// record that makes a one-byte read return at once or after its time-out, and DTR and RTS
// through EscapeCommFunction.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/Error.h"
#include "comio/Platform.h"
#include "comio/SerialDevice.h"

namespace flintmoor {

static_assert(oserr::kErrNoDevice == ERROR_FILE_NOT_FOUND &&
              oserr::kErrBusy == ERROR_ACCESS_DENIED && oserr::kErrGone == ERROR_BAD_COMMAND &&
              oserr::kErrAccess == ERROR_ACCESS_DENIED &&
              oserr::kErrInvalid == ERROR_INVALID_PARAMETER);

namespace {

constexpr DWORD kQueueSize = 1024;

[[noreturn]] void fail(const char* text) {
  throw EComPort(text, static_cast<int>(GetLastError()));
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  }
  return wide;
}

class WinSerialDevice final : public SerialDevice {
 public:
  ~WinSerialDevice() override { close(); }

  void open(const std::string& name, uint32_t baud) override {
    close();
    const std::wstring path = L"\\\\.\\" + widen(name);
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) fail("Unable to open com port");
    handle_ = handle;
    dtr_ = rts_ = false;  // the DCB of the open drops both
    try {
      // Manual-reset events, one per direction, for the overlapped transfers.
      readEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      writeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (readEvent_ == nullptr || writeEvent_ == nullptr) fail("Unable to open com port");
      if (!SetupComm(handle_, kQueueSize, kQueueSize)) fail("SetupComm function failed");
      applyLineSettings(baud);
      sendTimeouts();
      DWORD modemStatus = 0;
      // A device without modem lines (a pseudo-terminal under Wine, some virtual ports) cannot
      // report them. As on POSIX, that does not fail the open; DTR and RTS on it still raise.
      if (!GetCommModemStatus(handle_, &modemStatus)) {
        const DWORD code = GetLastError();
        if (code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION) {
          throw EComPort("GetCommModemStatus function failed", static_cast<int>(code));
        }
      }
    } catch (...) {
      close();
      throw;
    }
  }

  void close() noexcept override {
    if (handle_ != INVALID_HANDLE_VALUE) {
      PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT);
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
    if (readEvent_ != nullptr) CloseHandle(readEvent_);
    if (writeEvent_ != nullptr) CloseHandle(writeEvent_);
    readEvent_ = nullptr;
    writeEvent_ = nullptr;
  }

  void setBaudRate(uint32_t baud) override { applyLineSettings(baud); }

  void setDTR(bool on) override {
    if (!EscapeCommFunction(handle_, on ? SETDTR : CLRDTR)) {
      fail("EscapeCommFunction function failed");
    }
    dtr_ = on;
  }

  void setRTS(bool on) override {
    if (!EscapeCommFunction(handle_, on ? SETRTS : CLRRTS)) {
      fail("EscapeCommFunction function failed");
    }
    rts_ = on;
  }

  void purge() noexcept override {
    if (handle_ != INVALID_HANDLE_VALUE) PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }

  // The device's write time-outs (1000 ms + 100 ms per byte) end the transfer, so the wait for it
  // needs no limit of its own.
  size_t write(const uint8_t* data, size_t count) override {
    OVERLAPPED ov{};
    ov.hEvent = writeEvent_;
    ResetEvent(writeEvent_);
    DWORD done = 0;
    if (!WriteFile(handle_, data, static_cast<DWORD>(count), &done, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) fail("WriteFile function failed");
      if (WaitForSingleObject(writeEvent_, INFINITE) != WAIT_OBJECT_0) {
        fail("WriteFile function failed");
      }
      if (!GetOverlappedResult(handle_, &ov, &done, FALSE)) fail("WriteFile function failed");
    }
    return done;
  }

  // With ReadIntervalTimeout and ReadTotalTimeoutMultiplier at MAXDWORD and the constant between
  // 1 and MAXDWORD-1, a read returns a queued byte at once, else the first byte to arrive, else
  // nothing after the constant's milliseconds.
  int readByte(int timeoutMs) override {
    const DWORD timeout = static_cast<DWORD>(timeoutMs > 0 ? timeoutMs : 0);
    setReadTotalMultiplier(MAXDWORD);
    setReadTotalConstant(timeout);

    OVERLAPPED ov{};
    ov.hEvent = readEvent_;
    ResetEvent(readEvent_);
    uint8_t byte = 0;
    DWORD done = 0;
    if (!ReadFile(handle_, &byte, 1, &done, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) fail("ReadFile function failed");
      // The device's time-out ends the read. The wait is bounded by it too, since not every
      // driver knows that combination of time-outs (Wine takes MAXDWORD as ~49 days per byte);
      // a read still pending then is cancelled, and nothing arrived.
      const DWORD wait = WaitForSingleObject(readEvent_, timeout);
      DWORD waitError = wait == WAIT_FAILED ? GetLastError() : 0;
      if (wait != WAIT_OBJECT_0) CancelIoEx(handle_, &ov);
      // The read must be over before `ov` and `byte` go out of scope, whatever happened.
      if (!GetOverlappedResult(handle_, &ov, &done, TRUE)) {
        if (GetLastError() != ERROR_OPERATION_ABORTED) fail("ReadFile function failed");
        done = 0;
      }
      if (wait == WAIT_FAILED)
        throw EComPort("ReadFile function failed", static_cast<int>(waitError));
    }
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handle_, &errors, &stat)) fail("ClearCommError function failed");
    return done == 1 ? byte : -1;
  }

 private:
  // SetCommState puts DTR and RTS into the state the DCB's control modes name, and
  // EscapeCommFunction does not change those modes: the DCB carries the lines as the program last
  // set them, so that a speed change leaves them as they are.
  void applyLineSettings(uint32_t baud) {
    if (baud == 0) throw EComPort("SetCommState function failed", oserr::kErrInvalid);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = dtr_ ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = rts_ ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    dcb.XonLim = 256;  // a quarter of the input queue
    dcb.XoffLim = 256;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (!SetCommState(handle_, &dcb)) fail("SetCommState function failed");
  }

  // Each setter hands the record to the device only when its own value changed, so a run of reads
  // with the same time-out costs no settings call.
  void setReadTotalMultiplier(DWORD value) {
    if (timeouts_.ReadTotalTimeoutMultiplier == value) return;
    timeouts_.ReadTotalTimeoutMultiplier = value;
    sendTimeouts();
  }

  void setReadTotalConstant(DWORD value) {
    if (timeouts_.ReadTotalTimeoutConstant == value) return;
    timeouts_.ReadTotalTimeoutConstant = value;
    sendTimeouts();
  }

  void sendTimeouts() {
    if (!SetCommTimeouts(handle_, &timeouts_)) fail("SetCommTimeouts failed");
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE readEvent_ = nullptr;
  HANDLE writeEvent_ = nullptr;
  bool dtr_ = false;  // the lines as last set, for the DCB
  bool rts_ = false;
  // The record the device gets at open and after a read's time-out changed; it outlives a close.
  // ReadTotal* start at 0 and every read sets them; writes may take 1000 ms + 100 ms per byte.
  COMMTIMEOUTS timeouts_{MAXDWORD, 0, 0, 100, 1000};
};

}  // namespace

std::unique_ptr<SerialDevice> makeOsSerialDevice() {
  return std::make_unique<WinSerialDevice>();
}

}  // namespace flintmoor
