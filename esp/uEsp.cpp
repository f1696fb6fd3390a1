// TEsp: the loader commands over the packet link, the stub image reader and the flasher stub
// upload.
#include "esp/uEsp.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/Error.h"
#include "comio/uComIo.h"
#include "esp/StubResource.h"
#include "log/Log.h"
#include "stub/StubProtocol.h"

namespace flintmoor {

namespace {

constexpr uint32_t kFlashDataHeader = 16;

constexpr int kAfterSpeedChangeMs = 50;

// The ROM loader's flash blocks.
constexpr uint32_t kRomBlock = 4096;

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

TEsp::TEsp(TComIo& com, Log& log)
    : StubWindow(kStubRxRingSize), com_(com), log_(log), link_(com, log) {}

Reply TEsp::exchange(const CommandRule& rule, int32_t timeout) {
  return link_.exchange(rule, OutBuf.view(), timeout);
}

void TEsp::require(const CommandRule& rule, int32_t timeout, const std::string& message) {
  const Reply r = exchange(rule, timeout);
  if (!r.accepted) link_.fail(r, message);
}

void TEsp::changeBaud(uint32_t newBaud, uint32_t oldBaud) {
  OutBuf.clear().word(newBaud).word(oldBaud);
  if (!exchange(command::kChangeBaudRule, command::kChangeBaudRule.timeoutMs()).accepted) return;
  com_.cPort.setCustomBaudRate(newBaud);
  // The ROM sends END END at the new speed once it has switched, and what crosses the line during
  // its switch arrives garbled: let the switch pass, then drop whatever came.
  com_.clock().sleepMs(kAfterSpeedChangeMs);
  com_.ComFlush();
}

void TEsp::readReg(uint32_t adr, uint32_t& value) {
  OutBuf.clear().word(adr);
  const CommandRule& rule = command::kReadRegRule;
  const Reply r = exchange(rule, rule.timeoutMs());
  if (!r.accepted) link_.fail(r, formatLog("Read Reg: 0x%0.8x", {adr}));
  value = r.value;
}

void TEsp::writeReg(uint32_t adr, uint32_t value) {
  OutBuf.clear().word(adr).word(value).word(0xFFFFFFFF).word(0);
  const CommandRule& rule = command::kWriteRegRule;
  require(rule, rule.timeoutMs(), formatLog("Write Reg: 0x%0.8x", {adr}));
}

void TEsp::spiAttach() {
  OutBuf.clear().word(0);
  require(command::kSpiAttachStubRule, command::kSpiAttachStubRule.timeoutMs(), "Error SPI_ATTACH");
}

void TEsp::eraseChip() {
  OutBuf.clear();
  const CommandRule& rule = command::kEraseFlashRule;
  const Reply r = exchange(rule, rule.timeoutMs());
  link_.dumpResponse();
  if (!r.accepted) link_.fail(r, "Error ERASE_FLASH");
}

void TEsp::logFlashBegin(uint32_t Offset, uint32_t blocks, uint32_t eraseSize) {
  log_.L('=');
  log_.F("BLK: %d", {blocks});
  log_.F("ERA: %d", {eraseSize});
  log_.F("ADR: %x", {Offset});
}

void TEsp::flashStart(uint32_t Offset, uint32_t ImageSize, uint32_t BlockSize, bool wholeBlocks) {
  if (BlockSize == 0) throw Exception("Error Flash Start");
  const auto blocks = uint32_t((uint64_t(ImageSize) + BlockSize - 1) / BlockSize);
  const uint64_t sectors = (uint64_t(ImageSize) + kRomBlock - 1) / kRomBlock * kRomBlock;
  // Whole blocks, but never past the end of the flash (an image near its end would make the stub
  // refuse a region it cannot erase).
  const uint64_t room = Offset < Flash.size ? Flash.size - Offset : 0;
  const uint64_t whole = wholeBlocks ? uint64_t(BlockSize) * blocks : sectors;
  const auto eraseSize = uint32_t(std::min<uint64_t>(whole, std::max<uint64_t>(room, ImageSize)));
  logFlashBegin(Offset, blocks, eraseSize);
  OutBuf.clear().word(eraseSize).word(blocks).word(BlockSize).word(Offset);
  const CommandRule& rule = command::kFlashBeginStubRule;
  require(rule, rule.timeoutMs(), "Error Flash Start");
  Sequence = 0;
}

void TEsp::flashWrite(const uint8_t* ptr, uint32_t size) {
  writeBlock(command::kFlashDataRule, ptr, size, command::kFlashDataRule.timeoutMs());
}

void TEsp::writeBlock(const CommandRule& rule, const uint8_t* ptr, uint32_t size, int32_t timeout) {
  if (size > Payload::kCapacity - kFlashDataHeader) throw Exception("Error Flash Write");
  OutBuf.clear().word(size).word(uint32_t(Sequence)).word(0).word(0).bytes(ptr, uint16_t(size));
  judgeBlock(exchange(rule, timeout), Sequence, true);
  ++Sequence;
}

void TEsp::judgeBlock(const Reply& r, int32_t sequence, bool dump) {
  if (!r.hasStatus()) link_.fail(r, "Error Flash Write");
  if (r.accepted) return;
  if (!r.hasError()) link_.fail(r, "Error Flash Write");
  log_.F("%3d: %d = %02x", {sequence, r.status(), r.error()});
  if (dump) log_.BUFF(&link_.request(), 8 + link_.request().Size);
  link_.fail(r, "Error Flash");
}

// ---------------------------------------------------------------------------------------------
// Commands for writing through the ROM loader

void TEsp::romSpiAttach() {
  OutBuf.clear().word(0).word(0);
  require(command::kSpiAttachRomRule, command::kSpiAttachRomRule.timeoutMs(), "Error SPI_ATTACH");
}

void TEsp::spiSetParams() {
  // Flash id, total size, block, sector, page, status mask.
  OutBuf.clear().word(0).word(Flash.size).word(Flash.block).word(Flash.sector).word(Flash.page);
  OutBuf.word(0xFFFF);
  const CommandRule& rule = command::kSpiSetParamsRule;
  require(rule, rule.timeoutMs(), "Error SPI_SET_PARAMS");
}

void TEsp::romFlashStart(uint32_t Offset, uint32_t ImageSize) {
  const uint64_t blocks = (uint64_t(ImageSize) + kRomBlock - 1) / kRomBlock;
  const uint64_t eraseSize = blocks * kRomBlock;
  logFlashBegin(Offset, uint32_t(blocks), uint32_t(eraseSize));
  OutBuf.clear().word(uint32_t(eraseSize)).word(uint32_t(blocks)).word(kRomBlock).word(Offset);
  const CommandRule& rule = command::kFlashBeginRomRule;
  require(rule, rule.timeoutMs(eraseSize), "Error Flash Start");
  Sequence = 0;
}

void TEsp::flashDeflStart(uint32_t Offset, uint32_t ImageSize, uint32_t CompressedSize) {
  const uint32_t blocks = uint32_t((uint64_t(CompressedSize) + kRomBlock - 1) / kRomBlock);
  logFlashBegin(Offset, blocks, ImageSize);
  log_.F("ZIP: %d", {CompressedSize});
  OutBuf.clear().word(ImageSize).word(blocks).word(kRomBlock).word(Offset);
  const CommandRule& rule = command::kFlashDeflBeginRule;
  require(rule, rule.timeoutMs(ImageSize), "Error Flash Start");
  Sequence = 0;
}

void TEsp::flashDeflWrite(const uint8_t* ptr, uint32_t size, uint32_t mayInflateTo) {
  if (size > kRomBlock) throw Exception("Error Flash Write");
  const CommandRule& rule = command::kFlashDeflDataRule;
  writeBlock(rule, ptr, size, rule.timeoutMs(mayInflateTo));
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
  OutBuf.clear().word(addr).word(size).word(0).word(0);
  const CommandRule& rule = command::kFlashMd5Rule;
  const Reply r = exchange(rule, rule.timeoutMs(size));

  uint8_t sum[16];
  const uint8_t* d = r.data.data();
  if (r.size == 36 && r.count >= 8 + 33 && d[32] == 0) {  // ROM: hex digits
    for (int i = 0; i < 16; ++i) {
      const int hi = hexDigit(d[2 * i]);
      const int lo = hexDigit(d[2 * i + 1]);
      if (hi < 0 || lo < 0) link_.fail(r, "Error SPI_FLASH_MD5");
      sum[i] = uint8_t(hi << 4 | lo);
    }
  } else if (r.size == 18 && r.count >= 8 + 17 && d[16] == 0) {  // stub: raw bytes
    std::memcpy(sum, d, 16);
  } else {
    link_.fail(r, "Error SPI_FLASH_MD5");
  }
  std::memcpy(digest, sum, 16);
}

void TEsp::readFlashSlow(uint32_t addr, uint32_t size, uint8_t* out) {
  if (size == 0 || size > kReadSlowChunk) throw Exception("Error Read Flash");
  OutBuf.clear().word(addr).word(size);
  const CommandRule& rule = command::kReadFlashSlowRule;
  const Reply r = exchange(rule, rule.timeoutMs());
  // The bytes of flash (the ROM may pad them to 64), then status, error and two reserved bytes.
  const uint32_t length = r.size;
  if (length < size + 4 || length > kReadSlowChunk + 4 || r.count < int32_t(8 + length) ||
      r.data[length - 4] != 0) {
    link_.fail(r, "Error Read Flash");
  }
  std::memcpy(out, r.data.data(), size);
}

// ---------------------------------------------------------------------------------------------
// Flasher stub upload

void TEsp::loadSegment(const StubUpload& plan, std::span<const uint8_t> seg, uint32_t addr,
                       bool text) {
  const size_t size = seg.size();
  const size_t blocks = std::max<size_t>(1, (size + plan.blockSize - 1) / plan.blockSize);
  const size_t announced = text && blocks == 1 && plan.singleTextBlockAnnouncedAsZero ? 0 : blocks;

  OutBuf.clear().word(uint32_t(size)).word(uint32_t(announced)).word(plan.blockSize).word(addr);
  const Reply begun = exchange(command::kMemBeginRule, plan.beginTimeoutMs);
  if (!begun.accepted) link_.fail(begun, text ? plan.textBeginError : plan.dataBeginError);
  link_.dumpResponse();

  for (size_t seq = 0; seq < blocks; ++seq) {
    const size_t from = seq * plan.blockSize;
    const size_t len = std::min<size_t>(plan.blockSize, size - from);
    OutBuf.clear().word(uint32_t(len)).word(uint32_t(seq)).word(0).word(0);
    OutBuf.bytes(seg.data() + from, uint16_t(len));
    const Reply r = exchange(command::kMemDataRule, plan.dataTimeoutMs);
    if (!r.accepted) {
      std::string message = text ? plan.textDataError : plan.dataDataError;
      if (text && plan.textDataErrorWithResult) message += std::to_string(r.count);
      link_.fail(r, message);
    }
    link_.dumpResponse();
  }
}

void TEsp::installStub(const StubUpload& plan, std::span<const uint8_t> image) {
  const StubImage stub = readStubImage(image);

  loadSegment(plan, stub.text, stub.textStart, true);
  loadSegment(plan, stub.data, stub.dataStart, false);

  OutBuf.clear().word(0).word(stub.entry);
  const Reply ended = exchange(command::kMemEndRule, plan.endTimeoutMs);
  if (!ended.accepted) link_.fail(ended, "Error MEM_END");

  // The stub greets with a bare four-byte frame, "OHAI", in no direction of the protocol.
  const int32_t count = link_.getPacket(plan.greetTimeoutMs, false);
  if (count != 4) link_.fail(link_.reply(count), "Error ENTRY");
  log_.BUFF(&link_.response(), 4);
  const auto* greeting = reinterpret_cast<const uint8_t*>(&link_.response());
  if (std::memcmp(greeting, "OHAI", 4) != 0) link_.fail(link_.reply(count), "Error Entry-Code");
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
