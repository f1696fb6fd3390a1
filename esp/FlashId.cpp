// The flash chip's JEDEC id through the SPI1 controller's registers.
#include "esp/FlashId.h"

#include "esp/uEsp.h"

namespace flintmoor {

namespace {

constexpr uint32_t kSpi1Cmd = 0x3FF42000;
constexpr uint32_t kSpi1Ctrl = 0x3FF42008;
constexpr uint32_t kSpi1User = 0x3FF4201C;
constexpr uint32_t kSpi1User2 = 0x3FF42024;
constexpr uint32_t kSpi1MisoDlen = 0x3FF4202C;
constexpr uint32_t kSpi1W0 = 0x3FF42080;

constexpr uint32_t kCmdUsr = 1u << 18;
// USER: keep what the ROM set except the address, dummy, MOSI, high-part, SIO and DOUTDIN phases;
// set the command and MISO phases.
constexpr uint32_t kUserKeep = 0x00FEFFFE;
constexpr uint32_t kUserReadId = 0x90000000;
// USER2: an 8-bit command (length less one in bits 31..28), 0x9F.
constexpr uint32_t kUser2ReadId = 0x7000009F;
constexpr uint32_t kMisoBits24 = 24 - 1;
constexpr int kPollLimit = 10;

}  // namespace

uint32_t readFlashJedecId(TEsp& esp) {
  uint32_t user = 0, user2 = 0, misoDlen = 0, ctrl = 0;
  esp.readReg(kSpi1User, user);
  esp.readReg(kSpi1User2, user2);
  esp.readReg(kSpi1MisoDlen, misoDlen);
  esp.readReg(kSpi1Ctrl, ctrl);

  esp.writeReg(kSpi1Ctrl, 0);  // a one-line read
  esp.writeReg(kSpi1User, (user & kUserKeep) | kUserReadId);
  esp.writeReg(kSpi1User2, kUser2ReadId);
  esp.writeReg(kSpi1MisoDlen, kMisoBits24);
  esp.writeReg(kSpi1W0, 0);
  esp.writeReg(kSpi1Cmd, kCmdUsr);
  bool done = false;
  for (int i = 0; i < kPollLimit && !done; ++i) {
    uint32_t cmd = 0;
    esp.readReg(kSpi1Cmd, cmd);
    done = (cmd & kCmdUsr) == 0;
  }
  uint32_t w0 = 0;
  if (done) esp.readReg(kSpi1W0, w0);

  esp.writeReg(kSpi1User, user);
  esp.writeReg(kSpi1User2, user2);
  esp.writeReg(kSpi1MisoDlen, misoDlen);
  esp.writeReg(kSpi1Ctrl, ctrl);
  // Bits 31..24 hold whatever W0 held before: only three bytes come.
  return done ? w0 & 0x00FFFFFF : 0x00FFFFFF;
}

uint32_t flashSizeOfJedecId(uint32_t id) {
  if (id == 0 || id == 0x00FFFFFF) return 0;
  const uint32_t capacity = (id >> 16) & 0xFF;
  if (capacity < 0x12 || capacity > 0x18) return 0;
  return 1u << capacity;
}

}  // namespace flintmoor
