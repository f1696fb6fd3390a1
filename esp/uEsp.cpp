// TEsp: the packet layer (addOut, sendPacket, getPacket), the bootloader commands, the stub image
// reader and the flasher stub upload.
#include "esp/uEsp.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string>

#include "base/Error.h"
#include "comio/uComIo.h"
#include "esp/SkippedBytes.h"
#include "esp/SlipReader.h"
#include "esp/StubResource.h"
#include "log/Log.h"

namespace flintmoor {

// Request and Response are the wire images of the packets; their numbers are little-endian.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(TRequest) == 8 + 16416 && sizeof(TResponse) == 8 + 16384);

namespace {

constexpr uint8_t kEnd = SlipReader::kEnd;
constexpr uint8_t kEsc = SlipReader::kEsc;
constexpr uint8_t kEscEnd = SlipReader::kEscEnd;
constexpr uint8_t kEscEsc = SlipReader::kEscEsc;

// A peer that chatters without ever sending END must not keep the reader forever.
constexpr uint32_t kHuntByteLimit = 65536;

// The smallest reply that carries the status byte, and the one that also carries the error code.
constexpr int32_t kWithStatus = 9;
constexpr int32_t kWithError = 10;

constexpr uint32_t kFlashDataHeader = 16;

constexpr int kAfterSpeedChangeMs = 50;

// The ROM loader's flash blocks, and the time-outs of its flash commands (see uEsp.h).
constexpr uint32_t kRomBlock = 4096;
constexpr int64_t kEraseBaseMs = 5000;
constexpr int64_t kEraseMsPer64KiB = 2000;
constexpr int64_t kDeflBlockBaseMs = 2000;
constexpr int64_t kDeflBlockMsPerKiB = 10;

// The answer time-out of a command that erases eraseSize bytes before it answers.
int32_t eraseTimeout(uint64_t eraseSize) {
  return int32_t(kEraseBaseMs + kEraseMsPer64KiB * int64_t((eraseSize + 0xFFFF) / 0x10000));
}

// The error codes of an answer that says the chip received a damaged packet.
constexpr uint8_t kRomChecksumError = 0x07;
constexpr uint8_t kStubChecksumError = 0xC1;

uint32_t readLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The fixed pieces of the stub image layout, in the order they appear.
constexpr uint8_t kStubPrologue[] = {0x80, 0x03, 0x7D, 0x71, 0x00, 0x28, 0x58, 0x04, 0x00,
                                     0x00, 0x00, 't',  'e',  'x',  't',  0x71, 0x01, 0x42};
constexpr uint8_t kStubTextStartKey[] = {0x71, 0x02, 0x58, 0x0A, 0x00, 0x00, 0x00,
                                         't',  'e',  'x',  't',  '_',  's',  't',
                                         'a',  'r',  't',  0x71, 0x03, 0x4A};
constexpr uint8_t kStubEntryKey[] = {0x58, 0x05, 0x00, 0x00, 0x00, 'e', 'n',
                                     't',  'r',  'y',  0x71, 0x04, 0x4A};
constexpr uint8_t kStubDataKey[] = {0x58, 0x04, 0x00, 0x00, 0x00, 'd',
                                    'a',  't',  'a',  0x71, 0x05, 0x43};
constexpr uint8_t kStubDataStartKey[] = {0x71, 0x06, 0x58, 0x0A, 0x00, 0x00, 0x00,
                                         'd',  'a',  't',  'a',  '_',  's',  't',
                                         'a',  'r',  't',  0x71, 0x07, 0x4A};
constexpr uint8_t kStubTrailer[] = {0x75, 0x2E};

// Walks the image front to back; every read is bounds-checked.
class StubCursor {
 public:
  explicit StubCursor(std::span<const uint8_t> image) : image_(image) {}

  template <size_t N>
  void expect(const uint8_t (&fixed)[N]) {
    if (std::memcmp(take(N).data(), fixed, N) != 0) fail();
  }
  uint32_t word() { return readLe32(take(4).data()); }
  uint8_t byte() { return take(1)[0]; }
  std::span<const uint8_t> take(size_t n) {
    if (n > image_.size() - pos_) fail();
    auto part = image_.subspan(pos_, n);
    pos_ += n;
    return part;
  }
  void expectEnd() {
    if (pos_ != image_.size()) fail();
  }

 private:
  [[noreturn]] static void fail() { throw Exception("Error Stub Image"); }

  std::span<const uint8_t> image_;
  size_t pos_ = 0;
};

}  // namespace

StubImage readStubImage(std::span<const uint8_t> image) {
  StubCursor in(image);
  StubImage stub;
  in.expect(kStubPrologue);
  const uint32_t textLength = in.word();
  stub.text = in.take(textLength);
  in.expect(kStubTextStartKey);
  stub.textStart = in.word();
  in.expect(kStubEntryKey);
  stub.entry = in.word();
  in.expect(kStubDataKey);
  stub.data = in.take(in.byte());
  in.expect(kStubDataStartKey);
  stub.dataStart = in.word();
  in.expect(kStubTrailer);
  in.expectEnd();
  return stub;
}

TEsp::TEsp(TComIo& com, Log& log) : com_(com), log_(log), StatusErr(&Response.Data[0]) {}

// ---------------------------------------------------------------------------------------------
// Packet layer

void TEsp::addOut(uint8_t kind, uint32_t value, uint16_t len, const void* mem) {
  const auto room = [&](size_t n) { return size_t(OutPos) + n <= sizeof(OutBuf); };
  switch (kind) {
    case 0:
      OutPos = 0;
      break;
    case 1:
    case 2:
    case 3: {
      const size_t n = kind == 3 ? 4 : kind;
      if (!room(n)) return;
      for (size_t i = 0; i < n; ++i) OutBuf[OutPos++] = uint8_t(value >> (8 * i));
      break;
    }
    case 4:
      if (len == 0 || mem == nullptr || !room(len)) return;
      std::memcpy(OutBuf + OutPos, mem, len);
      OutPos += len;
      break;
    default:
      break;
  }
}

void TEsp::sendPacket(const uint8_t* ptr, uint16_t cnt, uint8_t com) {
  if (cnt > sizeof(Request.Data)) return;
  Request.Direction = 0;
  Request.Command = com;
  Request.Size = cnt;
  Request.Chksum = 0;
  for (uint16_t i = 0; i < cnt; ++i) {
    if (i == 16) Request.Chksum = 0xEF;
    if (i >= 16) Request.Chksum ^= ptr[i];
    Request.Data[i] = ptr[i];
  }

  const auto* raw = reinterpret_cast<const uint8_t*>(&Request);
  size_t n = 0;
  IoBuf[n++] = kEnd;
  for (size_t i = 0; i < size_t(cnt) + 8; ++i) {
    const uint8_t b = raw[i];
    if (b == kEnd) {
      IoBuf[n++] = kEsc;
      IoBuf[n++] = kEscEnd;
    } else if (b == kEsc) {
      IoBuf[n++] = kEsc;
      IoBuf[n++] = kEscEsc;
    } else {
      IoBuf[n++] = b;
    }
  }
  IoBuf[n++] = kEnd;

  LastFault = TPacketFault::pfNone;
  com_.cPort.ClearBuffer(true, true);
  com_.cPort.Write(IoBuf, n);
}

namespace {

// The bounds of one read: at most kHuntByteLimit bytes outside frames (chatter, and the END
// bytes of empty frames) and less than twice the per-byte time-out without a frame.
class HuntBound {
 public:
  HuntBound(Clock& clock, int32_t timeout)
      : clock_(clock), start_(clock.nowUs()), limitUs_(2 * int64_t(timeout) * 1000) {}
  // Counts one byte that belongs to no frame; false once a bound is reached.
  bool skip() { return ++skipped_ < kHuntByteLimit && clock_.nowUs() - start_ < limitUs_; }

 private:
  Clock& clock_;
  int64_t start_;
  int64_t limitUs_;
  uint32_t skipped_ = 0;
};

}  // namespace

int32_t TEsp::getPacket(int32_t Timeout, bool ChkDir) {
  LastFault = TPacketFault::pfNoFrame;
  SlipReader reader({reinterpret_cast<uint8_t*>(&Response), sizeof(Response)});
  HuntBound outside(com_.clock(), Timeout);
  std::optional<HuntBound> pastEnd;  // a frame too long for Response is read to its END
  for (;;) {
    const int b = com_.ComGetSer(Timeout);
    if (b < 0) return -1;
    const size_t skipped = reader.skipped();
    switch (reader.feed(uint8_t(b))) {
      case SlipReader::Result::kMore:
        if (reader.skipped() != skipped) {
          if (SkipCapture != nullptr) SkipCapture->add(uint8_t(b));
          if (!outside.skip()) return -1;
        }
        if (reader.overflowing()) {
          if (!pastEnd) pastEnd.emplace(com_.clock(), Timeout);
          if (!pastEnd->skip()) return -1;
        }
        continue;
      case SlipReader::Result::kBadEscape:
        return -7;
      case SlipReader::Result::kTooLong:
        return -3;
      case SlipReader::Result::kFrame:
        break;
    }
    break;
  }
  const auto count = int32_t(reader.size());
  if (ChkDir && Response.Direction != 1) return -2;
  LastFault = answerFault(count);
  return count;
}

int32_t TEsp::readAnswer(int32_t timeout) {
  const uint8_t command = Request.Command;
  HuntBound bound(com_.clock(), timeout);
  for (;;) {
    const int32_t result = getPacket(timeout, true);
    if (result < 2 || Response.Command == command) return result;
    // An answer to an earlier request (a further SYNC answer, one that came after its time-out,
    // or the ROM's answer to a command it does not know, which carries the previous opcode).
    log_.F("Stale answer %0.2x skipped, waiting for %0.2x", {Response.Command, command});
    log_.BUFF(&Response, result);
    if (!bound.skip()) return -1;
  }
}

TPacketFault TEsp::answerFault(int32_t count) const {
  // Status answers carry status and error code first: four bytes from the ROM, two from a stub.
  const bool statusOnly = Response.Size == 2 || Response.Size == 4;
  if (!statusOnly || count < kWithError || Response.Data[0] == 0) return TPacketFault::pfNone;
  const uint8_t error = Response.Data[1];
  return error == kRomChecksumError || error == kStubChecksumError ? TPacketFault::pfChecksum
                                                                   : TPacketFault::pfNone;
}

// ---------------------------------------------------------------------------------------------
// Bootloader commands

bool TEsp::exchange(uint8_t com, int32_t timeout) {
  StatusErr = &Response.Data[0];
  sendPacket(OutBuf, uint16_t(OutPos), com);
  return readAnswer(timeout) >= kWithStatus && *StatusErr == 0;
}

void TEsp::dumpResponse() {
  // The length field comes from the wire; the dump must stay inside Response.
  const size_t n = std::min<size_t>(8 + size_t(Response.Size), sizeof(Response));
  log_.BUFF(&Response, int(n));
}

void TEsp::changeBaud(uint32_t newBaud, uint32_t oldBaud) {
  addOut(0, 0, 0);
  addOut(3, newBaud, 0);
  addOut(3, oldBaud, 0);
  if (!exchange(kChangeBaudrate, 200)) return;
  com_.cPort.setCustomBaudRate(newBaud);
  // The ROM sends END END at the new speed once it has switched, and what crosses the line during
  // its switch arrives garbled: let the switch pass, then drop whatever came.
  com_.clock().sleepMs(kAfterSpeedChangeMs);
  com_.ComFlush();
}

void TEsp::readReg(uint32_t adr, uint32_t& value) {
  addOut(0, 0, 0);
  addOut(3, adr, 0);
  if (!exchange(kReadReg, 300)) throw Exception(formatLog("Read Reg: 0x%0.8x", {adr}));
  value = Response.Value;
}

void TEsp::writeReg(uint32_t adr, uint32_t value) {
  addOut(0, 0, 0);
  addOut(3, adr, 0);
  addOut(3, value, 0);
  addOut(3, 0xFFFFFFFF, 0);
  addOut(3, 0, 0);
  if (!exchange(kWriteReg, 300)) throw Exception(formatLog("Write Reg: 0x%0.8x", {adr}));
}

void TEsp::spiAttach() {
  addOut(0, 0, 0);
  addOut(3, 0, 0);
  if (!exchange(kSpiAttach, 100)) throw Exception("Error SPI_ATTACH");
}

void TEsp::eraseChip() {
  addOut(0, 0, 0);
  StatusErr = &Response.Data[0];
  sendPacket(OutBuf, 0, kEraseFlash);
  const int32_t result = readAnswer(20000);
  dumpResponse();
  if (result < kWithStatus || *StatusErr != 0) throw Exception("Error ERASE_FLASH");
}

void TEsp::logFlashBegin(uint32_t Offset, uint32_t blocks, uint32_t eraseSize) {
  log_.L('=');
  log_.F("BLK: %d", {blocks});
  log_.F("ERA: %d", {eraseSize});
  log_.F("ADR: %x", {Offset});
}

void TEsp::flashStart(uint32_t Offset, uint32_t ImageSize, uint32_t BlockSize,
                      bool wholeBlocks) {
  if (BlockSize == 0) throw Exception("Error Flash Start");
  const auto blocks = uint32_t((uint64_t(ImageSize) + BlockSize - 1) / BlockSize);
  const uint64_t sectors = (uint64_t(ImageSize) + kRomBlock - 1) / kRomBlock * kRomBlock;
  // Whole blocks, but never past the end of the flash (an image near its end would make the stub
  // refuse a region it cannot erase).
  const uint64_t room = Offset < Flash.size ? Flash.size - Offset : 0;
  const uint64_t whole = wholeBlocks ? uint64_t(BlockSize) * blocks : sectors;
  const auto eraseSize = uint32_t(std::min<uint64_t>(whole, std::max<uint64_t>(room, ImageSize)));
  logFlashBegin(Offset, blocks, eraseSize);
  addOut(0, 0, 0);
  addOut(3, eraseSize, 0);
  addOut(3, blocks, 0);
  addOut(3, BlockSize, 0);
  addOut(3, Offset, 0);
  sendPacket(OutBuf, uint16_t(OutPos), kFlashBegin);
  if (readAnswer(5000) <= 0) throw Exception("Error Flash Start");
  Sequence = 0;
}

void TEsp::flashWrite(const uint8_t* ptr, uint32_t size) {
  writeBlock(kFlashData, ptr, size, 2000);
}

void TEsp::writeBlock(uint8_t com, const uint8_t* ptr, uint32_t size, int32_t timeout) {
  if (size > sizeof(OutBuf) - kFlashDataHeader) throw Exception("Error Flash Write");
  addOut(0, 0, 0);
  addOut(3, size, 0);
  addOut(3, uint32_t(Sequence), 0);
  addOut(3, 0, 0);
  addOut(3, 0, 0);
  addOut(4, 0, uint16_t(size), ptr);
  sendPacket(OutBuf, uint16_t(OutPos), com);
  const int32_t result = readAnswer(timeout);
  if (result < kWithStatus) throw Exception("Error Flash Write");
  if (Response.Data[0] != 0) {
    if (result < kWithError) throw Exception("Error Flash Write");
    log_.F("%3d: %d = %02x", {Sequence, Response.Data[0], Response.Data[1]});
    log_.BUFF(&Request, 8 + Request.Size);
    throw Exception("Error Flash");
  }
  ++Sequence;
}

// ---------------------------------------------------------------------------------------------
// Commands for writing through the ROM loader

void TEsp::romSpiAttach() {
  addOut(0, 0, 0);
  addOut(3, 0, 0);
  addOut(3, 0, 0);
  if (!exchange(kSpiAttach, 100)) throw Exception("Error SPI_ATTACH");
}

void TEsp::spiSetParams() {
  addOut(0, 0, 0);
  addOut(3, 0, 0);         // flash id
  addOut(3, Flash.size, 0);    // total size
  addOut(3, Flash.block, 0);   // block
  addOut(3, Flash.sector, 0);  // sector
  addOut(3, Flash.page, 0);    // page
  addOut(3, 0xFFFF, 0);    // status mask
  if (!exchange(kSpiSetParams, 100)) throw Exception("Error SPI_SET_PARAMS");
}

void TEsp::romFlashStart(uint32_t Offset, uint32_t ImageSize) {
  const uint64_t blocks = (uint64_t(ImageSize) + kRomBlock - 1) / kRomBlock;
  const uint64_t eraseSize = blocks * kRomBlock;
  logFlashBegin(Offset, uint32_t(blocks), uint32_t(eraseSize));
  addOut(0, 0, 0);
  addOut(3, uint32_t(eraseSize), 0);
  addOut(3, uint32_t(blocks), 0);
  addOut(3, kRomBlock, 0);
  addOut(3, Offset, 0);
  if (!exchange(kFlashBegin, eraseTimeout(eraseSize))) throw Exception("Error Flash Start");
  Sequence = 0;
}

void TEsp::flashDeflStart(uint32_t Offset, uint32_t ImageSize, uint32_t CompressedSize) {
  const uint32_t blocks = uint32_t((uint64_t(CompressedSize) + kRomBlock - 1) / kRomBlock);
  logFlashBegin(Offset, blocks, ImageSize);
  log_.F("ZIP: %d", {CompressedSize});
  addOut(0, 0, 0);
  addOut(3, ImageSize, 0);
  addOut(3, blocks, 0);
  addOut(3, kRomBlock, 0);
  addOut(3, Offset, 0);
  if (!exchange(kFlashDeflBegin, eraseTimeout(ImageSize))) throw Exception("Error Flash Start");
  Sequence = 0;
}

void TEsp::flashDeflWrite(const uint8_t* ptr, uint32_t size, uint32_t mayInflateTo) {
  if (size > kRomBlock) throw Exception("Error Flash Write");
  const int64_t kib = (int64_t(mayInflateTo) + 1023) / 1024;
  writeBlock(kFlashDeflData, ptr, size, int32_t(kDeflBlockBaseMs + kDeflBlockMsPerKiB * kib));
}

namespace {

int hexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

void TEsp::flashMd5(uint32_t addr, uint32_t size, uint8_t digest[16]) {
  constexpr uint64_t kMiB = 0x100000;
  const auto timeout = int32_t(5000 + 2000 * ((uint64_t(size) + kMiB - 1) / kMiB));
  addOut(0, 0, 0);
  addOut(3, addr, 0);
  addOut(3, size, 0);
  addOut(3, 0, 0);
  addOut(3, 0, 0);
  sendPacket(OutBuf, uint16_t(OutPos), kSpiFlashMd5);
  const int32_t result = readAnswer(timeout);

  uint8_t sum[16];
  const uint8_t* d = Response.Data;
  if (Response.Size == 36 && result >= 8 + 33 && d[32] == 0) {  // ROM: hex digits
    for (int i = 0; i < 16; ++i) {
      const int hi = hexDigit(d[2 * i]);
      const int lo = hexDigit(d[2 * i + 1]);
      if (hi < 0 || lo < 0) throw Exception("Error SPI_FLASH_MD5");
      sum[i] = uint8_t(hi << 4 | lo);
    }
  } else if (Response.Size == 18 && result >= 8 + 17 && d[16] == 0) {  // stub: raw bytes
    std::memcpy(sum, d, 16);
  } else {
    throw Exception("Error SPI_FLASH_MD5");
  }
  std::memcpy(digest, sum, 16);
}

void TEsp::readFlashSlow(uint32_t addr, uint32_t size, uint8_t* out) {
  if (size == 0 || size > kReadSlowChunk) throw Exception("Error Read Flash");
  addOut(0, 0, 0);
  addOut(3, addr, 0);
  addOut(3, size, 0);
  sendPacket(OutBuf, uint16_t(OutPos), kReadFlashSlow);
  const int32_t result = readAnswer(100);
  // The bytes of flash (the ROM may pad them to 64), then status, error and two reserved bytes.
  const uint32_t length = Response.Size;
  if (length < size + 4 || length > kReadSlowChunk + 4 || result < int32_t(8 + length) ||
      Response.Data[length - 4] != 0) {
    throw Exception("Error Read Flash");
  }
  std::memcpy(out, Response.Data, size);
}

// ---------------------------------------------------------------------------------------------
// Flasher stub upload

void TEsp::loadSegment(const StubUpload& plan, std::span<const uint8_t> seg, uint32_t addr,
                       bool text) {
  const size_t size = seg.size();
  const size_t blocks = std::max<size_t>(1, (size + plan.blockSize - 1) / plan.blockSize);
  const size_t announced = text && blocks == 1 && plan.singleTextBlockAnnouncedAsZero ? 0 : blocks;

  addOut(0, 0, 0);
  addOut(3, uint32_t(size), 0);
  addOut(3, uint32_t(announced), 0);
  addOut(3, plan.blockSize, 0);
  addOut(3, addr, 0);
  sendPacket(OutBuf, uint16_t(OutPos), kMemBegin);
  if (readAnswer(plan.beginTimeoutMs) <= 0) {
    throw Exception(text ? plan.textBeginError : plan.dataBeginError);
  }
  dumpResponse();

  for (size_t seq = 0; seq < blocks; ++seq) {
    const size_t from = seq * plan.blockSize;
    const size_t len = std::min<size_t>(plan.blockSize, size - from);
    addOut(0, 0, 0);
    addOut(3, uint32_t(len), 0);
    addOut(3, uint32_t(seq), 0);
    addOut(3, 0, 0);
    addOut(3, 0, 0);
    addOut(4, 0, uint16_t(len), seg.data() + from);
    sendPacket(OutBuf, uint16_t(OutPos), kMemData);
    const int32_t result = readAnswer(plan.dataTimeoutMs);
    if (result <= 0) {
      std::string message = text ? plan.textDataError : plan.dataDataError;
      if (text && plan.textDataErrorWithResult) message += std::to_string(result);
      throw Exception(message);
    }
    dumpResponse();
  }
}

void TEsp::installStub(const StubUpload& plan, std::span<const uint8_t> image) {
  const StubImage stub = readStubImage(image);

  loadSegment(plan, stub.text, stub.textStart, true);
  loadSegment(plan, stub.data, stub.dataStart, false);

  addOut(0, 0, 0);
  addOut(3, 0, 0);
  addOut(3, stub.entry, 0);
  sendPacket(OutBuf, uint16_t(OutPos), kMemEnd);
  if (readAnswer(plan.endTimeoutMs) <= 0) throw Exception("Error MEM_END");

  if (getPacket(plan.greetTimeoutMs, false) != 4) throw Exception("Error ENTRY");
  log_.BUFF(&Response, 4);
  const auto* greeting = reinterpret_cast<const uint8_t*>(&Response);
  if (std::memcmp(greeting, "OHAI", 4) != 0) throw Exception("Error Entry-Code");
}

namespace {

std::span<const uint8_t> resourceOrThrow(const char* name) {
  const auto image = stubResource(name);
  if (image.empty()) throw Exception(std::string("Resource ") + name + " not found");
  return image;
}

}  // namespace

void TEsp::installStub(const StubUpload& plan) {
  installStub(plan, resourceOrThrow(plan.resource));
}

void TEsp::ESP32_InstallStub() {
  installStub(chipDescription(cESP32).stub);
}

void TEsp::ESP32S2_InstallStub() {
  installStub(chipDescription(cESP32S2).stub);
}

void TEsp::ESP32_InstallStub(std::span<const uint8_t> image) {
  installStub(chipDescription(cESP32).stub, image);
}

void TEsp::ESP32S2_InstallStub(std::span<const uint8_t> image) {
  installStub(chipDescription(cESP32S2).stub, image);
}

}  // namespace flintmoor
