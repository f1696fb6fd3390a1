// The virtual ESP32's flasher stub, as our firmware behaves: a handler per command, erasing as
// the blocks arrive (64 KiB blocks where a whole aligned block of the region remains, 4 KiB
// sectors elsewhere), a data block answered as soon as it is whole and checked and written while
// the next one arrives, compressed writes through the chip's inflater, region and chip erase, the
// streamed READ_FLASH with acknowledgements, and the receive ring that overflows when more arrives
// than it holds before the stub, busy with the flash, decodes it.
#include <algorithm>

#include "sim/SimBytes.h"
#include "sim/SimOpcodes.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor {

namespace {

using simbytes::le32;

constexpr uint32_t kMaxBlock = 16384;
constexpr uint32_t kReadMaxPacket = 4096;
constexpr uint32_t kReadMaxInFlight = 64;

uint64_t sectorCeil(uint64_t n) {
  return (n + SimFlash::kSectorSize - 1) / SimFlash::kSectorSize * SimFlash::kSectorSize;
}

}  // namespace

const VirtualEsp32::HandlerTable& VirtualEsp32::stubTable() {
  static const HandlerTable table = [] {
    HandlerTable t{};
    t[simop::kSync] = &VirtualEsp32::stubSync;
    t[simop::kReadReg] = &VirtualEsp32::stubReadReg;
    t[simop::kWriteReg] = &VirtualEsp32::stubWriteReg;
    t[simop::kSpiSetParams] = &VirtualEsp32::stubSpiSetParams;
    t[simop::kSpiAttach] = &VirtualEsp32::stubSpiAttach;
    t[simop::kChangeBaudrate] = &VirtualEsp32::stubChangeBaudrate;
    t[simop::kFlashBegin] = &VirtualEsp32::stubFlashBegin;
    t[simop::kFlashDeflBegin] = &VirtualEsp32::stubFlashBegin;
    t[simop::kFlashData] = &VirtualEsp32::stubFlashBlock;
    t[simop::kFlashDeflData] = &VirtualEsp32::stubFlashBlock;
    t[simop::kFlashEnd] = &VirtualEsp32::stubFlashEnd;
    t[simop::kFlashDeflEnd] = &VirtualEsp32::stubFlashEnd;
    t[simop::kSpiFlashMd5] = &VirtualEsp32::stubSpiFlashMd5;
    t[simop::kEraseFlash] = &VirtualEsp32::stubEraseFlash;
    t[simop::kEraseRegion] = &VirtualEsp32::stubEraseRegion;
    t[simop::kReadFlash] = &VirtualEsp32::stubReadFlash;
    return t;
  }();
  return table;
}

void VirtualEsp32::stubStart() {
  stubFlashBound_ = kStubDefaultFlashSize;
  stubFlashActive_ = false;
  stubPendingError_ = 0;
  stubReading_ = false;
  stubTooLong_ = false;
  stubRxOverflow_ = false;
  stubRxArrived_ = 0;
  stubRxDecoded_ = 0;
  stubRxDecodes_.clear();
  inflater_.stop();
}

VirtualEsp32::Reply VirtualEsp32::stubHandle(const Packet& p) {
  if (p.size != p.payload.size()) return stubStatus(p.opcode, kStubBadDataLen);
  Handler handler = stubTable()[p.opcode];
  if (handler == nullptr) return stubStatus(p.opcode, kStubUnknownCommand);
  return (this->*handler)(p);
}

// Two status bytes: status and error code; the value word is 0 unless the command reads one.
VirtualEsp32::Reply VirtualEsp32::stubStatus(uint8_t opcode, uint8_t error, uint32_t value) const {
  Reply r;
  r.opcode = opcode;
  r.value = value;
  r.data = {static_cast<uint8_t>(error != 0 ? 1 : 0), error};
  r.latencyUs = options_.timings.answerLatencyUs;
  return r;
}

bool VirtualEsp32::stubInBounds(uint32_t addr, uint32_t len) const {
  return addr <= stubFlashBound_ && len <= stubFlashBound_ - addr;
}

VirtualEsp32::Reply VirtualEsp32::stubSync(const Packet& p) {
  return stubStatus(p.opcode, 0);
}

VirtualEsp32::Reply VirtualEsp32::stubReadReg(const Packet& p) {
  if (p.payload.size() != 4) return stubStatus(p.opcode, kStubBadDataLen);
  return stubStatus(p.opcode, 0, readRegister(le32(p.payload, 0)));
}

VirtualEsp32::Reply VirtualEsp32::stubWriteReg(const Packet& p) {
  int64_t delayUs = 0;
  if (!writeRegRequest(p, delayUs)) return stubStatus(p.opcode, kStubBadDataLen);
  Reply r = stubStatus(p.opcode, 0);
  r.workUs = delayUs;
  return r;
}

// id, total size, block size, sector size, page size, status mask: the total size bounds every
// later flash address.
VirtualEsp32::Reply VirtualEsp32::stubSpiSetParams(const Packet& p) {
  if (p.payload.size() != 24) return stubStatus(p.opcode, kStubBadDataLen);
  stubFlashBound_ = le32(p.payload, 4);
  return stubStatus(p.opcode, 0);
}

VirtualEsp32::Reply VirtualEsp32::stubSpiAttach(const Packet& p) {
  size_t n = p.payload.size();
  return stubStatus(p.opcode, n == 4 || n == 8 ? 0 : kStubBadDataLen);
}

// Answered at the old speed; the stub then switches and sends nothing more.
VirtualEsp32::Reply VirtualEsp32::stubChangeBaudrate(const Packet& p) {
  if (p.payload.size() != 8) return stubStatus(p.opcode, kStubBadDataLen);
  uint32_t baud = le32(p.payload, 0);
  if (baud == 0 || hasFault(SimFaultKind::kNoBaud)) return stubStatus(p.opcode, kStubInvalidArg);
  Reply r = stubStatus(p.opcode, 0);
  r.after = After::kSwitchBaud;
  r.arg = baud;
  return r;
}

// Quick: nothing is erased until the blocks arrive. A refused FLASH_BEGIN leaves an open write
// as it was.
VirtualEsp32::Reply VirtualEsp32::stubFlashBegin(const Packet& p) {
  std::optional<FlashBegin> b = parseFlashBegin(p);
  // Sixteen bytes only: the stub takes no encrypted-write flag.
  if (!b || p.payload.size() != 16) return stubStatus(p.opcode, kStubBadDataLen);
  if (b->blockSize == 0 || b->blockSize > kMaxBlock) return stubStatus(p.opcode, kStubBadBlockSize);
  if (b->offset % SimFlash::kSectorSize != 0 || !stubInBounds(b->offset, b->eraseSize)) {
    return stubStatus(p.opcode, kStubInvalidArg);
  }
  inflater_.stop();
  stubFlashActive_ = true;
  stubDeflate_ = p.opcode == simop::kFlashDeflBegin;
  stubOffset_ = b->offset;
  stubEraseSize_ = b->eraseSize;
  stubBlockSize_ = b->blockSize;
  stubNextSeq_ = 0;
  stubWriteAddr_ = b->offset;
  stubErasedTo_ = b->offset;
  stubPendingError_ = 0;
  if (stubDeflate_) inflater_.start();
  return stubStatus(p.opcode, 0);
}

// FLASH_DATA's block goes to offset + sequence * block size; FLASH_DEFL_DATA's slice inflates to
// the next bytes of the region. The answer leaves before the inflating, erasing and programming,
// which keep the stub busy after it, so their failure shows on the answers that follow: on each
// data block (which is then not written) up to the END.
VirtualEsp32::Reply VirtualEsp32::stubFlashBlock(const Packet& p) {
  bool deflate = p.opcode == simop::kFlashDeflData;
  auto status = [&](uint8_t error) { return stubStatus(p.opcode, error); };
  if (loseBlock_) return status(kStubRxOverflow);
  std::optional<DataBlock> b = parseDataBlock(p);
  if (!b || b->length != b->data.size()) return status(kStubBadDataLen);
  if (!stubFlashActive_ || stubDeflate_ != deflate) return status(kStubNotInFlashMode);
  uint64_t blockStart = uint64_t{stubNextSeq_} * stubBlockSize_;
  if (b->length > stubBlockSize_ || (!deflate && blockStart + b->length > stubEraseSize_)) {
    return status(kStubTooMuchData);
  }
  if (b->sequence != stubNextSeq_) return status(kStubBadSequence);
  if (!b->checksumOk) return status(kStubChecksum);
  if (stubPendingError_ != 0) return status(stubPendingError_);
  ++stubNextSeq_;
  int64_t work = 0;
  if (deflate) {
    std::vector<uint8_t> out;
    uint32_t room = stubOffset_ + stubEraseSize_ - stubWriteAddr_;
    if (damageInflate_ || !inflater_.feed(b->data, room, out)) {
      stubPendingError_ = kStubInflate;
      return status(0);
    }
    work += stubEraseUpTo(uint64_t{stubWriteAddr_} + out.size());
    stubProgram(stubWriteAddr_, out, work);
    stubWriteAddr_ += static_cast<uint32_t>(out.size());
  } else {
    work += stubEraseUpTo(stubOffset_ + blockStart + b->length);
    stubProgram(static_cast<uint32_t>(stubOffset_ + blockStart), b->data, work);
  }
  Reply r = status(0);
  r.afterAnswerUs = work;
  return r;
}

int64_t VirtualEsp32::stubEraseUpTo(uint64_t end) {
  uint64_t regionEnd = stubOffset_ + sectorCeil(stubEraseSize_);
  end = std::min(sectorCeil(end), regionEnd);
  if (stubErasedTo_ >= end) return 0;
  // A 64 KiB block is erased whole when it lies inside the region, even if the data reaches only
  // part of it yet.
  uint64_t to = stubErasedTo_;
  while (to < end) {
    bool block = to % SimFlash::kBlockSize == 0 && to + SimFlash::kBlockSize <= regionEnd;
    to += block ? SimFlash::kBlockSize : SimFlash::kSectorSize;
  }
  int64_t us = stubErase(stubErasedTo_, static_cast<uint32_t>(to - stubErasedTo_));
  stubErasedTo_ = static_cast<uint32_t>(to);
  return us;
}

int64_t VirtualEsp32::stubErase(uint32_t addr, uint32_t len) {
  const SimTimings& tm = options_.timings;
  int64_t us = 0;
  for (uint64_t a = addr, end = uint64_t{addr} + len; a < end;) {
    bool block = a % SimFlash::kBlockSize == 0 && a + SimFlash::kBlockSize <= end;
    uint32_t n = block ? SimFlash::kBlockSize : SimFlash::kSectorSize;
    auto at = static_cast<uint32_t>(a);
    if (!flash_.holds(at, n)) {
      stubPendingError_ = kStubFlashFailed;  // past the chip's end: the flash does not answer
      return us;
    }
    if (block) {
      us += flash_.blockIsBlank(at) ? tm.blankBlockEraseUs : tm.blockEraseUs;
    } else {
      us += eraseUs(at, n);
    }
    flash_.eraseSectors(at, n);
    a += n;
  }
  return us;
}

void VirtualEsp32::stubProgram(uint32_t addr, std::span<const uint8_t> bytes, int64_t& workUs) {
  auto size = static_cast<uint32_t>(bytes.size());
  if (!flash_.holds(addr, size)) {
    stubPendingError_ = kStubFlashFailed;
    return;
  }
  flash_.program(addr, bytes);
  if (corruptBlock_ && size > 0) flash_.bytes()[addr + size / 2] ^= 0x01;
  workUs += SimFlash::pagesCovering(addr, size) * options_.timings.pageProgramUs;
}

// Waits for the writes in progress (every answer does), reports a write that failed, and with
// flag 0 reboots into the application after the answer.
VirtualEsp32::Reply VirtualEsp32::stubFlashEnd(const Packet& p) {
  if (p.payload.size() != 4) return stubStatus(p.opcode, kStubBadDataLen);
  bool deflate = p.opcode == simop::kFlashDeflEnd;
  if (!stubFlashActive_ || stubDeflate_ != deflate)
    return stubStatus(p.opcode, kStubNotInFlashMode);
  stubFlashActive_ = false;
  inflater_.stop();
  Reply r = stubStatus(p.opcode, std::exchange(stubPendingError_, 0));
  if (le32(p.payload, 0) == 0) r.after = After::kLeaveLoader;
  return r;
}

VirtualEsp32::Reply VirtualEsp32::stubSpiFlashMd5(const Packet& p) {
  auto region = md5Request(p);
  if (!region) return stubStatus(p.opcode, kStubBadDataLen);
  auto [addr, size] = *region;
  if (!stubInBounds(addr, size)) return stubStatus(p.opcode, kStubInvalidArg);
  if (stubPendingError_ != 0) return stubStatus(p.opcode, stubPendingError_);
  if (!flash_.holds(addr, size)) return stubStatus(p.opcode, kStubFlashFailed);
  Reply r = stubStatus(p.opcode, 0);
  auto digest = flash_.md5(addr, size);
  r.data.insert(r.data.begin(), digest.begin(), digest.end());
  r.workUs = simop::perKiB(size, options_.timings.stubMd5UsPerKiB);
  return r;
}

// The flash chip's own chip erase, answered when done; its time grows with the chip's size.
VirtualEsp32::Reply VirtualEsp32::stubEraseFlash(const Packet& p) {
  if (!p.payload.empty()) return stubStatus(p.opcode, kStubBadDataLen);
  const SimTimings& tm = options_.timings;
  int64_t us = flash_.isBlank() ? tm.blankChipEraseUs : tm.chipEraseUs;
  Reply r = stubStatus(p.opcode, 0);
  r.workUs = us * flash_.size() / SimFlash::kSize;
  flash_.eraseAll();
  return r;
}

VirtualEsp32::Reply VirtualEsp32::stubEraseRegion(const Packet& p) {
  if (p.payload.size() != 8) return stubStatus(p.opcode, kStubBadDataLen);
  uint32_t addr = le32(p.payload, 0);
  uint32_t size = le32(p.payload, 4);
  if (addr % SimFlash::kSectorSize != 0 || size % SimFlash::kSectorSize != 0 ||
      !stubInBounds(addr, size)) {
    return stubStatus(p.opcode, kStubInvalidArg);
  }
  uint8_t before = std::exchange(stubPendingError_, 0);
  int64_t us = stubErase(addr, size);
  Reply r = stubStatus(p.opcode, std::exchange(stubPendingError_, before));
  r.workUs = us;
  return r;
}

// address, length, packet size, in flight: answered, then the data streams as acknowledged.
VirtualEsp32::Reply VirtualEsp32::stubReadFlash(const Packet& p) {
  if (p.payload.size() != 16) return stubStatus(p.opcode, kStubBadDataLen);
  uint32_t addr = le32(p.payload, 0);
  uint32_t len = le32(p.payload, 4);
  uint32_t packet = le32(p.payload, 8);
  uint32_t inFlight = le32(p.payload, 12);
  if (len == 0 || packet == 0 || packet > kReadMaxPacket || inFlight == 0 ||
      inFlight > kReadMaxInFlight || !stubInBounds(addr, len)) {
    return stubStatus(p.opcode, kStubInvalidArg);
  }
  stubReading_ = true;
  stubReadAddr_ = addr;
  stubReadLen_ = len;
  stubReadPacket_ = packet;
  stubReadInFlight_ = inFlight;
  stubReadSent_ = 0;
  stubReadAcked_ = 0;
  Reply r = stubStatus(p.opcode, 0);
  r.after = After::kStreamRead;
  return r;
}

// An acknowledgement: four bytes, the data bytes the host has so far (one that claims more than
// was sent, or less than before, changes nothing).
void VirtualEsp32::stubOnAck(const std::vector<uint8_t>& frame, int64_t atUs) {
  uint32_t total = le32(frame, 0);
  if (total > stubReadAcked_ && total <= stubReadSent_) stubReadAcked_ = total;
  stubPumpRead(std::max(atUs, busyUntilUs_));
}

// Sends while fewer than `in flight` packets' worth of bytes are unacknowledged. A read past the
// chip's end (inside the stub's bound) stops the stream: the host's wait for data times out.
void VirtualEsp32::stubPumpRead(int64_t atUs) {
  while (stubReading_ && stubReadSent_ < stubReadLen_) {
    if (stubReadSent_ - stubReadAcked_ >= stubReadInFlight_ * stubReadPacket_) return;
    uint32_t n = std::min(stubReadPacket_, stubReadLen_ - stubReadSent_);
    if (!flash_.holds(stubReadAddr_ + stubReadSent_, n)) {
      stubReading_ = false;
      return;
    }
    std::vector<uint8_t> frame;
    simSlipEncode(flash_.bytes().subspan(stubReadAddr_ + stubReadSent_, n), frame);
    transmit(frame, atUs);
    stubReadSent_ += n;
  }
  if (!stubReading_ || stubReadAcked_ < stubReadLen_) return;
  // The digest is computed as the data goes out, so it follows at once.
  stubReading_ = false;
  auto digest = flash_.md5(stubReadAddr_, stubReadLen_);
  std::vector<uint8_t> frame;
  simSlipEncode(digest, frame);
  transmit(frame, atUs);
}

void VirtualEsp32::stubAnswerDropped(uint8_t opcode, uint8_t error, int64_t atUs) {
  sendReply(stubStatus(opcode, error), std::max(atUs, busyUntilUs_), false);
}

// A byte goes into the ring unless it is full. The stub frees what it decodes: a frame that ended
// is decoded up to its end once the work before it is done; while the stub is idle it decodes
// every byte as it comes.
void VirtualEsp32::stubCountRxByte(int64_t atUs) {
  while (!stubRxDecodes_.empty() && stubRxDecodes_.front().first <= atUs) {
    stubRxDecoded_ = stubRxDecodes_.front().second;
    stubRxDecodes_.pop_front();
  }
  if (atUs >= busyUntilUs_) stubRxDecoded_ = stubRxArrived_;
  if (stubRxArrived_ - stubRxDecoded_ >= options_.stubRxBufferSize) {
    stubRxOverflow_ = true;
    return;
  }
  ++stubRxArrived_;
}

// A frame has ended: the stub decodes up to its end when it is done with the work before it.
void VirtualEsp32::stubFrameEnded(int64_t atUs) {
  stubRxDecodes_.emplace_back(std::max(atUs, busyUntilUs_), stubRxArrived_);
}

}  // namespace flintmoor
