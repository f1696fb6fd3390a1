// The packet link: SLIP framing of requests, the frame reader, and the exchange of one command
// with its answer judged by the command's rule.
#include "esp/PacketLink.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "comio/uComIo.h"
#include "esp/SkippedBytes.h"
#include "esp/SlipReader.h"
#include "log/Log.h"
#include "stub/StubProtocol.h"

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

// The error codes of an answer that says the chip received a damaged packet.
constexpr uint8_t kRomChecksumError = 0x07;
constexpr uint8_t kStubChecksumError = kStubErrChecksum;

// 0xEF XOR the payload bytes from index 16 on; 0 for a payload of 16 bytes or fewer.
uint32_t dataChecksum(const uint8_t* ptr, size_t cnt) {
  if (cnt <= 16) return 0;
  uint32_t sum = 0xEF;
  for (size_t i = 16; i < cnt; ++i) sum ^= ptr[i];
  return sum;
}

// What SLIP makes of `cnt` bytes: END and ESC take two bytes each.
size_t escapedLength(const uint8_t* raw, size_t cnt) {
  size_t n = cnt;
  for (size_t i = 0; i < cnt; ++i) n += raw[i] == kEnd || raw[i] == kEsc ? 1 : 0;
  return n;
}

}  // namespace

void Payload::addOut(TOutKind kind, uint32_t value, uint16_t len, const void* mem) {
  const auto fit = [&](size_t n) {
    if (size_t(pos_) + n > sizeof(buf_)) throw std::length_error("payload larger than a request");
  };
  switch (kind) {
    case okClear:
      pos_ = 0;
      break;
    case okByte:
    case okHalf:
    case okWord: {
      const size_t n = kind == okWord ? 4 : kind;
      fit(n);
      for (size_t i = 0; i < n; ++i) buf_[pos_++] = uint8_t(value >> (8 * i));
      break;
    }
    case okBytes:
      if (len == 0 || mem == nullptr) return;
      fit(len);
      std::memcpy(buf_ + pos_, mem, len);
      pos_ += len;
      break;
  }
}

PacketLink::PacketLink(TComIo& com, Log& log) : com_(com), log_(log) {}

void PacketLink::sendPacket(const uint8_t* ptr, uint16_t cnt, uint8_t com,
                            std::optional<uint32_t> checksum) {
  buildRequest(ptr, cnt, com, checksum);
  com_.cPort.ClearBuffer(true, true);
  writeFrame(reinterpret_cast<const uint8_t*>(&Request), size_t(cnt) + 8);
}

void PacketLink::buildRequest(const uint8_t* ptr, uint16_t cnt, uint8_t com,
                              std::optional<uint32_t> checksum) {
  if (cnt > sizeof(Request.Data)) throw std::length_error("payload larger than a request");
  Request.Direction = 0;
  Request.Command = com;
  Request.Size = cnt;
  Request.Chksum = 0;
  if (cnt > 0) std::memcpy(Request.Data, ptr, cnt);
  Request.Chksum = checksum ? *checksum : dataChecksum(ptr, cnt);
  LastFault = TPacketFault::pfNone;
}

void PacketLink::sendFrame(const uint8_t* ptr, uint16_t cnt) {
  if (cnt > sizeof(Request)) throw std::length_error("frame larger than a request");
  writeFrame(ptr, cnt);
}

size_t PacketLink::writeFrame(const uint8_t* raw, size_t cnt) {
  size_t n = 0;
  IoBuf[n++] = kEnd;
  for (size_t i = 0; i < cnt; ++i) {
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
  com_.cPort.Write(IoBuf, n);
  return n;
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

int32_t PacketLink::getPacket(int32_t Timeout, bool ChkDir) {
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

int32_t PacketLink::readAnswer(uint8_t command, int32_t timeout) {
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

TPacketFault PacketLink::answerFault(int32_t count) const {
  // Status answers carry status and error code first: four bytes from the ROM, two from a stub.
  const bool statusOnly = Response.Size == 2 || Response.Size == 4;
  if (!statusOnly || count < kWithError || Response.Data[0] == 0) return TPacketFault::pfNone;
  const uint8_t error = Response.Data[1];
  return error == kRomChecksumError || error == kStubChecksumError ? TPacketFault::pfChecksum
                                                                   : TPacketFault::pfNone;
}

Reply PacketLink::reply(int32_t count) const {
  Reply r;
  r.count = count;
  if (count < 8) return r;
  r.opcode = Response.Command;
  r.value = Response.Value;
  r.size = Response.Size;
  const size_t received = std::min<size_t>(size_t(count) - 8, sizeof(Response.Data));
  r.data = {Response.Data, received};
  return r;
}

void PacketLink::checkLayout(const CommandRule& rule, std::span<const uint8_t> payload) const {
  const size_t fixed = size_t(rule.words) * 4;
  if (rule.data ? payload.size() < fixed : payload.size() != fixed) {
    throw std::invalid_argument(std::string("payload not laid out as ") + rule.name + " takes it");
  }
}

Reply PacketLink::exchange(const CommandRule& rule, std::span<const uint8_t> payload,
                           int32_t timeoutMs) {
  checkLayout(rule, payload);
  sendPacket(payload.data(), uint16_t(payload.size()), rule.opcode);
  return await(rule, timeoutMs);
}

size_t PacketLink::send(const CommandRule& rule, std::span<const uint8_t> payload) {
  checkLayout(rule, payload);
  if (payload.size() > sizeof(Request.Data))
    throw std::length_error("payload larger than a request");
  buildRequest(payload.data(), uint16_t(payload.size()), rule.opcode, {});
  return writeFrame(reinterpret_cast<const uint8_t*>(&Request), payload.size() + 8);
}

size_t PacketLink::lineLength(const CommandRule& rule, std::span<const uint8_t> payload) {
  const uint32_t sum = dataChecksum(payload.data(), payload.size());
  const auto size = uint16_t(payload.size());
  const uint8_t header[8] = {0,
                             rule.opcode,
                             uint8_t(size),
                             uint8_t(size >> 8),
                             uint8_t(sum),
                             uint8_t(sum >> 8),
                             uint8_t(sum >> 16),
                             uint8_t(sum >> 24)};
  return 2 + escapedLength(header, sizeof(header)) + escapedLength(payload.data(), payload.size());
}

Reply PacketLink::await(const CommandRule& rule, int32_t timeoutMs) {
  LastFault = TPacketFault::pfNone;
  Reply r = reply(readAnswer(rule.opcode, timeoutMs));
  switch (rule.accept) {
    case Accept::kStatusZero:
      r.accepted = r.count >= kWithStatus && r.status() == 0;
      break;
    case Accept::kAnyFrame:
      r.accepted = r.count > 0;
      break;
  }
  return r;
}

void PacketLink::fail(const Reply& reply, const std::string& message) const {
  if (LastFault != TPacketFault::pfNone) throw LineError(message, LastFault);
  throw ChipRefusal(message, Request.Command, reply.status(), reply.error());
}

void PacketLink::dumpResponse() {
  // The length field comes from the wire; the dump must stay inside Response.
  const size_t n = std::min<size_t>(8 + size_t(Response.Size), sizeof(Response));
  log_.BUFF(&Response, int(n));
}

}  // namespace flintmoor
