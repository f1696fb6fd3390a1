// The flasher stub's fast commands: compressed writes in 16 KiB slices, its region erase, and the
// streamed read with acknowledgements (stub/StubProtocol.h has the protocol).
#include <algorithm>
#include <array>
#include <cstring>
#include <exception>

#include "base/Error.h"
#include "base/Md5.h"
#include "base/Text.h"
#include "comio/uComIo.h"
#include "esp/uEsp.h"
#include "log/Log.h"
#include "stub/StubProtocol.h"

namespace flintmoor {

namespace {

static_assert(TEsp::kStubBlock == kStubMaxBlock);
static_assert(TEsp::kReadPacket <= kStubReadMaxPacket &&
              TEsp::kReadInFlight <= kStubReadMaxInFlight);

// The longest the stub may stay silent within a streamed read: a packet's bytes follow each other.
constexpr int32_t kReadPacketTimeoutMs = 1000;

// Milliseconds, rounded up, that `bytes` take on a line of `baud` bit/s (ten bits a byte).
int32_t lineMs(uint64_t bytes, uint32_t baud) {
  const uint64_t bitsPerMs = std::max<uint64_t>(baud / 1000, 1);
  return int32_t((bytes * 10 + bitsPerMs - 1) / bitsPerMs);
}

}  // namespace

void TEsp::stubDeflStart(uint32_t Offset, uint32_t ImageSize, uint32_t CompressedSize,
                         uint32_t BlockSize) {
  const uint32_t blocks = uint32_t((uint64_t(CompressedSize) + BlockSize - 1) / BlockSize);
  logFlashBegin(Offset, blocks, ImageSize);
  log_.F("ZIP: %d", {CompressedSize});
  OutBuf.clear().word(ImageSize).word(blocks).word(BlockSize).word(Offset);
  const CommandRule& rule = command::kFlashDeflBeginRule;
  // Slices of an earlier stream still unanswered are forgotten: their answers carry another
  // opcode than this request's and are skipped as stale.
  inFlightCount_ = 0;
  inFlightBytes_ = 0;
  require(rule, rule.timeoutMs(), "Error Flash Start");
  Sequence = 0;
}

void TEsp::stubDeflWrite(const uint8_t* ptr, uint32_t size, uint32_t mayInflateTo) {
  if (size > kStubBlock) throw Exception("Error Flash Write");
  const CommandRule& rule = command::kFlashDeflDataRule;
  OutBuf.clear().word(size).word(uint32_t(Sequence)).word(0).word(0).bytes(ptr, uint16_t(size));
  const size_t line = PacketLink::lineLength(rule, OutBuf.view());
  while (inFlightCount_ > 0 &&
         (inFlightBytes_ + line > StubWindow || inFlightCount_ == kMaxInFlight)) {
    awaitOldestSlice();
  }
  link_.send(rule, OutBuf.view());
  inFlight_[(inFlightFirst_ + inFlightCount_) % kMaxInFlight] = {Sequence, uint32_t(line),
                                                                 rule.timeoutMs(mayInflateTo)};
  ++inFlightCount_;
  inFlightBytes_ += line;
  ++Sequence;
}

TEsp::SliceInFlight TEsp::popOldestSlice(int32_t& timeoutMs) {
  const SliceInFlight slice = inFlight_[inFlightFirst_];
  timeoutMs = slice.timeoutMs + lineMs(inFlightBytes_, com_.cPort.customBaudRate());
  inFlightFirst_ = (inFlightFirst_ + 1) % kMaxInFlight;
  --inFlightCount_;
  inFlightBytes_ -= slice.lineBytes;
  return slice;
}

void TEsp::awaitOldestSlice() {
  int32_t timeout = 0;
  const SliceInFlight slice = popOldestSlice(timeout);
  const Reply r = link_.await(command::kFlashDeflDataRule, timeout);
  std::exception_ptr failure;
  try {
    // The request buffer holds the last slice sent: the dump shows it only when it failed.
    judgeBlock(r, slice.sequence, slice.sequence == Sequence - 1);
    return;
  } catch (const Exception&) {
    failure = std::current_exception();
  }
  // The slices after a failed one are not written. While the line works, their answers are
  // awaited and dropped, so that their requests have left the port (the next command's purge
  // would cut one still leaving in two) and none is taken for the next command's answer.
  bool lineWorks = r.count > 0;
  while (lineWorks && inFlightCount_ > 0) {
    popOldestSlice(timeout);
    lineWorks = link_.await(command::kFlashDeflDataRule, timeout).count > 0;
  }
  inFlightCount_ = 0;
  inFlightBytes_ = 0;
  std::rethrow_exception(failure);
}

void TEsp::stubDeflEnd() {
  while (inFlightCount_ > 0) awaitOldestSlice();
  OutBuf.clear().word(1);
  const CommandRule& rule = command::kFlashDeflEndRule;
  const Reply r = exchange(rule, rule.timeoutMs());
  if (!r.accepted) {
    if (r.hasError()) log_.F("END: %d = %02x", {r.status(), r.error()});
    link_.fail(r, "Error Flash End");
  }
}

void TEsp::eraseRegion(uint32_t address, uint32_t size) {
  OutBuf.clear().word(address).word(size);
  const CommandRule& rule = command::kEraseRegionRule;
  require(rule, rule.timeoutMs(size), "Error Erase Region");
}

void TEsp::readFlash(uint32_t address, uint32_t size, uint8_t* out,
                     const std::function<void(uint32_t)>& onPacket) {
  OutBuf.clear().word(address).word(size).word(kReadPacket).word(kReadInFlight);
  const CommandRule& rule = command::kReadFlashRule;
  require(rule, rule.timeoutMs(), "Error Read Flash");
  const auto* frame = reinterpret_cast<const uint8_t*>(&link_.response());
  for (uint32_t got = 0; got < size;) {
    const int32_t count = link_.getPacket(kReadPacketTimeoutMs, false);
    if (count <= 0) link_.fail(link_.reply(count), "Error Read Flash");
    const uint32_t want = std::min(kReadPacket, size - got);
    if (uint32_t(count) != want) throw LineError("Error Read Flash", TPacketFault::pfNoFrame);
    std::memcpy(out + got, frame, want);
    got += want;
    const std::array<uint8_t, 4> ack = {uint8_t(got), uint8_t(got >> 8), uint8_t(got >> 16),
                                        uint8_t(got >> 24)};
    link_.sendFrame(ack.data(), uint16_t(ack.size()));
    onPacket(got);
  }
  const int32_t count = link_.getPacket(kReadPacketTimeoutMs, false);
  if (count <= 0) link_.fail(link_.reply(count), "Error Read Flash");
  const std::array<uint8_t, 16> sum = md5(std::span<const uint8_t>(out, size));
  if (count != 16 || std::memcmp(frame, sum.data(), sum.size()) != 0) {
    log_.S("Read " + hexText(address) + ": the stub's digest differs from the bytes received");
    throw LineError("Error Read Flash", TPacketFault::pfChecksum);
  }
}

}  // namespace flintmoor
