// The chip protocol object TEsp: SLIP framing and command packets, the bootloader commands, and
// the upload of the flasher stub. All buffers are fields; sending and receiving allocate nothing.
// The packet layer reports through result codes; the commands raise Exception with short texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace flintmoor {

class TComIo;
class Log;

#pragma pack(push, 1)
struct TRequest {
  uint8_t Direction;
  uint8_t Command;
  uint16_t Size;
  uint32_t Chksum;
  uint8_t Data[16416];
};

struct TResponse {
  uint8_t Direction;
  uint8_t Command;
  uint16_t Size;
  uint32_t Value;
  uint8_t Data[16384];
};
#pragma pack(pop)

class TEsp {
 public:
  TEsp(TComIo& com, Log& log);

  // Packet layer.
  void sendPacket(const uint8_t* ptr, uint16_t cnt, uint8_t com);
  // Decoded byte count, -1 time-out (or the hunt bound), -2 direction, -3 frame longer than
  // Response, -7 invalid escape. Timeout bounds each byte, in milliseconds.
  int32_t getPacket(int32_t Timeout, bool ChkDir);

  // Bootloader commands.
  void changeBaud(uint32_t newBaud, uint32_t oldBaud);
  void readReg(uint32_t adr, uint32_t& value);
  void writeReg(uint32_t adr, uint32_t value);
  void spiAttach();
  void eraseChip();
  void flashStart(uint32_t Offset, uint32_t ImageSize, uint32_t BlockSize);
  void flashWrite(const uint8_t* ptr, uint32_t size);

  // Flasher stub upload from the built-in resources "STUB_ESP32" / "STUB_ESP32S2".
  void ESP32_InstallStub();
  void ESP32S2_InstallStub();

  uint8_t* StatusErr;
  TRequest Request;
  TResponse Response;

 private:
  void addOut(uint8_t kind, uint32_t value, uint16_t len, const void* mem = nullptr);

  TComIo& com_;
  Log& log_;
  int32_t Sequence = 0;
  int32_t OutPos = 0;
  uint8_t OutBuf[16416];
  uint8_t IoBuf[2 + 2 * (8 + 16416)];
};

}  // namespace flintmoor
