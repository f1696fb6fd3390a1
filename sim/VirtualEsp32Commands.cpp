// The virtual ESP32's request handling: the ROM loader's commands (with its quirks: sticky error
// byte, stale value word, unknown commands answered under the previous opcode) and the stub's.
#include <algorithm>
#include <cstdio>

#include "sim/SimBytes.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor {

namespace {

constexpr uint8_t kFlashBegin = 0x02;
constexpr uint8_t kFlashData = 0x03;
constexpr uint8_t kFlashEnd = 0x04;
constexpr uint8_t kMemBegin = 0x05;
constexpr uint8_t kMemEnd = 0x06;
constexpr uint8_t kMemData = 0x07;
constexpr uint8_t kSync = 0x08;
constexpr uint8_t kWriteReg = 0x09;
constexpr uint8_t kReadReg = 0x0A;
constexpr uint8_t kSpiSetParams = 0x0B;
constexpr uint8_t kSpiAttach = 0x0D;
constexpr uint8_t kReadFlashSlow = 0x0E;
constexpr uint8_t kChangeBaudrate = 0x0F;
constexpr uint8_t kFlashDeflBegin = 0x10;
constexpr uint8_t kFlashDeflData = 0x11;
constexpr uint8_t kFlashDeflEnd = 0x12;
constexpr uint8_t kSpiFlashMd5 = 0x13;
constexpr uint8_t kEraseFlash = 0xD0;
constexpr uint8_t kEraseRegion = 0xD1;

constexpr uint32_t kRomMaxFlashBlock = 4096;
constexpr uint32_t kStubMaxFlashBlock = 16384;

using simbytes::le16;
using simbytes::le32;

// The *_DATA commands carry 0xEF XOR their data bytes.
uint32_t dataChecksum(std::span<const uint8_t> data) {
  uint8_t sum = 0xEF;
  for (uint8_t b : data) sum ^= b;
  return sum;
}

bool isSyncPayload(std::span<const uint8_t> d) {
  static const uint8_t head[] = {0x07, 0x07, 0x12, 0x20};
  return d.size() == 36 && std::equal(std::begin(head), std::end(head), d.begin()) &&
         std::all_of(d.begin() + 4, d.end(), [](uint8_t b) { return b == 0x55; });
}

// Internal RAM a MEM_BEGIN may load: data RAM and instruction RAM.
bool inRam(uint32_t addr, uint32_t size) {
  auto within = [&](uint64_t lo, uint64_t hi) { return addr >= lo && uint64_t{addr} + size <= hi; };
  return within(0x3FFAE000, 0x40000000) || within(0x40070000, 0x400C0000);
}

// CRC-8 (polynomial 0x07) of the factory MAC, as kept beside it in eFuse.
uint8_t macCrc(const std::array<uint8_t, 6>& mac) {
  uint8_t crc = 0;
  for (uint8_t b : mac) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = static_cast<uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
  }
  return crc;
}

int64_t perKiB(uint32_t size, int64_t us) {
  return (int64_t{size} + 1023) / 1024 * us;
}

}  // namespace

void VirtualEsp32::onFrame(const std::vector<uint8_t>& frame, uint32_t baud, int64_t atUs) {
  if (frame.size() < 8 || frame[0] != 0x00) return;
  Packet p{frame[1], le16(frame, 2), le32(frame, 4), std::span(frame).subspan(8)};
  SimLoader loader = mode_ == Mode::kStub ? SimLoader::kStub : SimLoader::kRom;
  commands_.push_back(
      {atUs, loader, p.opcode, p.size, p.checksum, {p.payload.begin(), p.payload.end()}});

  bool dropAnswer = false;
  bool badEscape = false;
  if (p.opcode == kFlashData || p.opcode == kFlashDeflData) {
    uint32_t n = flashDataCount_++;
    if (faultAt(SimFaultKind::kUnplug, n)) {
      unplug();
      return;
    }
    // The block arrives damaged, so the loader itself reports the checksum failure.
    if (faultAt(SimFaultKind::kFlashFail, n)) p.checksum = ~p.checksum;
    dropAnswer = faultAt(SimFaultKind::kDropAnswer, n) != nullptr;
    badEscape = faultAt(SimFaultKind::kBadEscape, n) != nullptr;
    corruptBlock_ = faultAt(SimFaultKind::kFlashCorrupt, n) != nullptr;
    damageInflate_ = faultAt(SimFaultKind::kInflateFail, n) != nullptr;
  }

  int64_t start = std::max(atUs, busyUntilUs_);
  Reply r = mode_ == Mode::kLoader ? romHandle(p, baud, atUs) : stubHandle(p);
  corruptBlock_ = false;
  damageInflate_ = false;
  if (!r.answer || dropAnswer) {
    busyUntilUs_ = start + r.latencyUs + r.workUs;
    return;
  }
  sendReply(r, start, badEscape);
}

uint32_t VirtualEsp32::readRegister(uint32_t addr) const {
  if (auto it = writtenRegs_.find(addr); it != writtenRegs_.end()) return it->second;
  if (auto it = options_.registers.find(addr); it != options_.registers.end()) return it->second;
  bool s2 = hasFault(SimFaultKind::kS2);
  const auto& mac = options_.mac;
  if (addr == kRegChipId) {
    if (s2) return kChipIdEsp32S2;
    return hasFault(SimFaultKind::kUnknownChip) ? kChipIdUnknown : kChipIdEsp32;
  }
  if (addr == (s2 ? kRegMacLowS2 : kRegMacLow)) {
    return uint32_t{mac[2]} << 24 | mac[3] << 16 | mac[4] << 8 | mac[5];
  }
  if (addr == (s2 ? kRegMacHighS2 : kRegMacHigh)) {
    return uint32_t{macCrc(mac)} << 16 | mac[0] << 8 | mac[1];
  }
  return 0;
}

// ---- ROM loader ---------------------------------------------------------------------------

// Four status bytes: status, error, two leftovers. The error byte keeps the last failure's code
// and the value word the last READ_REG or SYNC value.
VirtualEsp32::Reply VirtualEsp32::romStatus(uint8_t opcode, uint8_t error) {
  if (error != 0) romLastError_ = error;
  Reply r;
  r.opcode = opcode;
  r.value = romLastValue_;
  r.data = {static_cast<uint8_t>(error != 0 ? 1 : 0), romLastError_, 0, 0};
  r.latencyUs = options_.timings.answerLatencyUs;
  return r;
}

VirtualEsp32::Reply VirtualEsp32::romHandle(const Packet& p, uint32_t frameBaud, int64_t atUs) {
  const SimTimings& tm = options_.timings;
  std::span<const uint8_t> d = p.payload;
  auto ok = [&] { return romStatus(p.opcode, 0); };
  auto fail = [&](uint8_t error) { return romStatus(p.opcode, error); };

  switch (p.opcode) {
    case kFlashBegin:
    case kFlashData:
    case kFlashEnd:
    case kMemBegin:
    case kMemEnd:
    case kMemData:
    case kSync:
    case kWriteReg:
    case kReadReg:
    case kSpiSetParams:
    case kSpiAttach:
    case kChangeBaudrate:
    case kFlashDeflBegin:
    case kFlashDeflData:
    case kFlashDeflEnd:
    case kSpiFlashMd5:
    case kReadFlashSlow:
      break;
    default:
      // Answered under the previous command's opcode, which the ROM never overwrote.
      return romStatus(romLastOpcode_, kRomInvalidMessage);
  }
  romLastOpcode_ = p.opcode;
  if (p.size != d.size()) return fail(kRomInvalidMessage);

  switch (p.opcode) {
    case kSync: {
      if (!isSyncPayload(d)) {
        Reply none;
        none.answer = false;
        return none;
      }
      if (autobaud_) {
        autobaud_ = false;
        setChipBaud(frameBaud, atUs);
      }
      romLastValue_ = le32(d, 0);
      Reply r = ok();
      r.copies = 8;
      r.latencyUs = tm.syncLatencyUs;
      return r;
    }
    case kReadReg:
      if (d.size() != 4) return fail(kRomInvalidMessage);
      romLastValue_ = readRegister(le32(d, 0));
      return ok();
    case kWriteReg: {
      if (d.size() != 16) return fail(kRomInvalidMessage);
      uint32_t addr = le32(d, 0);
      uint32_t mask = le32(d, 8);
      writtenRegs_[addr] = (readRegister(addr) & ~mask) | (le32(d, 4) & mask);
      Reply r = ok();
      r.workUs = le32(d, 12);
      return r;
    }
    case kSpiSetParams:
      return d.size() == 24 ? ok() : fail(kRomInvalidMessage);
    case kSpiAttach:
      return d.size() == 4 || d.size() == 8 ? ok() : fail(kRomInvalidMessage);
    case kChangeBaudrate: {
      if (d.size() != 8 || le32(d, 0) == 0 || hasFault(SimFaultKind::kNoBaud)) {
        return fail(kRomInvalidMessage);
      }
      Reply r = ok();
      r.after = After::kRomSwitchBaud;
      r.arg = le32(d, 0);
      return r;
    }
    case kMemBegin: {
      memActive_ = false;
      if (d.size() != 16) return fail(kRomInvalidMessage);
      uint32_t size = le32(d, 0);
      uint32_t addr = le32(d, 12);
      if (!inRam(addr, size)) return fail(kRomFailedToAct);
      memActive_ = true;
      memSize_ = size;
      memBlockSize_ = le32(d, 8);
      memNextSeq_ = 0;
      ram_.push_back({addr, {}});
      return ok();
    }
    case kMemData: {
      if (!memActive_) return fail(kRomFailedToAct);
      if (d.size() < 16) return fail(kRomInvalidMessage);
      uint32_t len = le32(d, 0);
      std::span<const uint8_t> data = d.subspan(16);
      std::vector<uint8_t>& seg = ram_.back().bytes;
      if (len != data.size() || len > memBlockSize_) return fail(kRomInvalidMessage);
      if (le32(d, 4) != memNextSeq_) return fail(kRomInvalidMessage);
      if (p.checksum != dataChecksum(data)) return fail(kRomChecksum);
      if (seg.size() + len > memSize_) return fail(kRomInvalidMessage);
      seg.insert(seg.end(), data.begin(), data.end());
      ++memNextSeq_;
      return ok();
    }
    case kMemEnd: {
      if (d.size() != 8) return fail(kRomInvalidMessage);
      memActive_ = false;
      Reply r = ok();
      if (le32(d, 0) == 0) {
        r.after = After::kJump;
        r.arg = le32(d, 4);
      }
      return r;
    }
    case kFlashBegin:
    case kFlashDeflBegin: {
      // The compressed write announces the uncompressed size, and erases for it.
      romStopWrite();
      if (d.size() != 16 && d.size() != 20) return fail(kRomInvalidMessage);
      uint32_t eraseSize = le32(d, 0);
      uint32_t blockSize = le32(d, 8);
      uint32_t offset = le32(d, 12);
      if (blockSize > kRomMaxFlashBlock) return fail(kRomInvalidMessage);
      if (offset % SimFlash::kSectorSize != 0 || !SimFlash::contains(offset, eraseSize)) {
        return fail(kRomFailedToAct);
      }
      // The ROM erases the whole region before it answers.
      Reply r = ok();
      r.workUs = eraseUs(offset, eraseSize);
      flash_.eraseSectors(offset, eraseSize);
      romFlashActive_ = true;
      romDeflate_ = p.opcode == kFlashDeflBegin;
      romFlashAddr_ = offset;
      romFlashEnd_ = offset + eraseSize;
      romBlockSize_ = blockSize;
      romNextSeq_ = 0;
      if (romDeflate_) inflater_.start();
      return r;
    }
    case kFlashData:
    case kFlashDeflData:
      return romFlashBlock(p, p.opcode == kFlashDeflData);
    case kFlashEnd:
    case kFlashDeflEnd: {
      if (d.size() != 4) return fail(kRomInvalidMessage);
      romStopWrite();
      Reply r = ok();
      r.after = le32(d, 0) == 0 ? After::kSoftReset : After::kLeaveLoader;
      return r;
    }
    case kSpiFlashMd5: {
      if (d.size() != 16) return fail(kRomInvalidMessage);
      uint32_t addr = le32(d, 0);
      uint32_t size = le32(d, 4);
      if (!SimFlash::contains(addr, size)) return fail(kRomFailedToAct);
      Reply r = ok();
      std::vector<uint8_t> text;
      for (uint8_t b : flash_.md5(addr, size)) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        text.push_back(static_cast<uint8_t>(hex[0]));
        text.push_back(static_cast<uint8_t>(hex[1]));
      }
      r.data.insert(r.data.begin(), text.begin(), text.end());
      r.workUs = perKiB(size, tm.romMd5UsPerKiB);
      return r;
    }
    case kReadFlashSlow: {
      // At most 64 bytes of flash, whatever larger length is asked, then the status bytes.
      if (d.size() != 8) return fail(kRomInvalidMessage);
      const uint32_t addr = le32(d, 0);
      const uint32_t size = std::min<uint32_t>(le32(d, 4), 64);
      if (size == 0 || !SimFlash::contains(addr, size)) return fail(kRomFailedToAct);
      Reply r = ok();
      const std::span<const uint8_t> bytes = flash_.bytes().subspan(addr, size);
      r.data.insert(r.data.begin(), bytes.begin(), bytes.end());
      r.workUs = tm.romReadSlowUs;
      return r;
    }
    default:
      return fail(kRomInvalidMessage);
  }
}

void VirtualEsp32::romStopWrite() {
  romFlashActive_ = false;
  romStreamGap_ = false;
  inflater_.stop();
}

// FLASH_DATA programs its block as it is; FLASH_DEFL_DATA inflates its slice of the stream and
// programs what that yields. Both share the ROM's checks and its habit of counting a failed block.
VirtualEsp32::Reply VirtualEsp32::romFlashBlock(const Packet& p, bool deflate) {
  std::span<const uint8_t> d = p.payload;
  auto fail = [&](uint8_t error) { return romStatus(p.opcode, error); };
  if (!romFlashActive_ || romDeflate_ != deflate) return fail(kRomFailedToAct);
  if (d.size() < 16) return fail(kRomInvalidMessage);
  uint32_t len = le32(d, 0);
  uint32_t seq = le32(d, 4);
  std::span<const uint8_t> data = d.subspan(16);
  // Whatever goes wrong, the ROM counts the block but does not move its write address, and a
  // compressed stream then misses that slice.
  uint32_t expected = romNextSeq_++;
  uint8_t error = 0;
  if (len != data.size() || len > romBlockSize_ || seq != expected) {
    error = kRomInvalidMessage;
  } else if (p.checksum != dataChecksum(data)) {
    error = kRomChecksum;
  }
  if (error != 0) {
    if (deflate) romStreamGap_ = true;
    return fail(error);
  }

  std::vector<uint8_t> inflated;
  std::span<const uint8_t> bytes = data;
  if (deflate) {
    if (romStreamGap_ || damageInflate_ ||
        !inflater_.feed(data, romFlashEnd_ - romFlashAddr_, inflated)) {
      romStopWrite();
      return fail(kRomInflate);
    }
    bytes = inflated;
  }
  auto size = static_cast<uint32_t>(bytes.size());
  if (!SimFlash::contains(romFlashAddr_, size)) return fail(kRomFlashWrite);
  flash_.program(romFlashAddr_, bytes);
  if (corruptBlock_ && size > 0) flash_.bytes()[romFlashAddr_ + size / 2] ^= 0x01;
  Reply r = romStatus(p.opcode, 0);
  r.workUs = SimFlash::pagesCovering(romFlashAddr_, size) * options_.timings.pageProgramUs;
  romFlashAddr_ += size;
  return r;
}

int64_t VirtualEsp32::eraseUs(uint32_t addr, uint32_t len) const {
  const SimTimings& tm = options_.timings;
  uint32_t blank = flash_.blankSectorsIn(addr, len);
  return blank * tm.blankSectorEraseUs +
         (SimFlash::sectorsCovering(addr, len) - blank) * tm.sectorEraseUs;
}

// ---- Flasher stub -------------------------------------------------------------------------

// Two status bytes: status and error code; the value word is 0 unless the command reads one.
VirtualEsp32::Reply VirtualEsp32::stubStatus(uint8_t opcode, uint8_t error, uint32_t value) {
  Reply r;
  r.opcode = opcode;
  r.value = value;
  r.data = {static_cast<uint8_t>(error != 0 ? 1 : 0), error};
  return r;
}

VirtualEsp32::Reply VirtualEsp32::stubHandle(const Packet& p) {
  const SimTimings& tm = options_.timings;
  std::span<const uint8_t> d = p.payload;
  auto status = [&](uint8_t error, uint32_t value = 0) {
    Reply r = stubStatus(p.opcode, error, value);
    r.latencyUs = tm.answerLatencyUs;
    return r;
  };
  if (p.size != d.size()) return status(kStubBadDataLen);

  switch (p.opcode) {
    case kSync:
      return status(0);
    case kReadReg:
      return d.size() == 4 ? status(0, readRegister(le32(d, 0))) : status(kStubBadDataLen);
    case kWriteReg: {
      if (d.size() != 16) return status(kStubBadDataLen);
      uint32_t addr = le32(d, 0);
      uint32_t mask = le32(d, 8);
      writtenRegs_[addr] = (readRegister(addr) & ~mask) | (le32(d, 4) & mask);
      Reply r = status(0);
      r.workUs = le32(d, 12);
      return r;
    }
    case kSpiSetParams:
      return status(d.size() == 24 ? 0 : kStubBadDataLen);
    case kSpiAttach:
      return status(d.size() == 4 || d.size() == 8 ? 0 : kStubBadDataLen);
    case kChangeBaudrate: {
      if (d.size() != 8) return status(kStubBadDataLen);
      if (le32(d, 0) == 0 || hasFault(SimFaultKind::kNoBaud)) return status(kStubInvalidCommand);
      Reply r = status(0);
      r.after = After::kSwitchBaud;
      r.arg = le32(d, 0);
      return r;
    }
    case kFlashBegin: {
      stubFlashActive_ = false;
      if (d.size() != 16 && d.size() != 20) return status(kStubBadDataLen);
      uint32_t eraseSize = le32(d, 0);
      uint32_t blockSize = le32(d, 8);
      uint32_t offset = le32(d, 12);
      if (blockSize == 0 || blockSize > kStubMaxFlashBlock) return status(kStubBadBlockSize);
      if (offset % SimFlash::kSectorSize != 0 || !SimFlash::contains(offset, eraseSize)) {
        return status(kStubFlashOpFailed);
      }
      // The stub erases the announced region as the blocks come in, so FLASH_BEGIN is quick.
      stubFlashActive_ = true;
      stubOffset_ = offset;
      stubEraseSize_ = eraseSize;
      stubBlockSize_ = blockSize;
      stubNextSeq_ = 0;
      std::fill(stubSectorErased_.begin(), stubSectorErased_.end(), false);
      return status(0);
    }
    case kFlashData: {
      if (!stubFlashActive_) return status(kStubNotInFlashMode);
      if (d.size() < 16) return status(kStubBadDataLen);
      uint32_t len = le32(d, 0);
      std::span<const uint8_t> data = d.subspan(16);
      if (len != data.size()) return status(kStubBadDataLen);
      if (len > stubBlockSize_) return status(kStubTooMuchData);
      if (le32(d, 4) != stubNextSeq_) return status(kStubBadSequence);
      if (p.checksum != dataChecksum(data)) return status(kStubChecksum);
      uint64_t blockStart = uint64_t{stubNextSeq_} * stubBlockSize_;
      if (blockStart + len > stubEraseSize_) return status(kStubTooMuchData);
      // Erase the sectors of this block's share of the region that are not erased yet.
      uint64_t spanEnd = std::min<uint64_t>(blockStart + stubBlockSize_, stubEraseSize_);
      uint32_t first = static_cast<uint32_t>((stubOffset_ + blockStart) / SimFlash::kSectorSize);
      uint32_t last = static_cast<uint32_t>((stubOffset_ + spanEnd + SimFlash::kSectorSize - 1) /
                                            SimFlash::kSectorSize);
      int64_t work = 0;
      for (uint32_t s = first; s < last; ++s) {
        if (stubSectorErased_[s]) continue;
        work += eraseUs(s * SimFlash::kSectorSize, SimFlash::kSectorSize);
        flash_.eraseSectors(s * SimFlash::kSectorSize, SimFlash::kSectorSize);
        stubSectorErased_[s] = true;
      }
      auto addr = static_cast<uint32_t>(stubOffset_ + blockStart);
      flash_.program(addr, data);
      if (corruptBlock_ && len > 0) flash_.bytes()[addr + len / 2] ^= 0x01;
      work += SimFlash::pagesCovering(addr, len) * tm.pageProgramUs;
      ++stubNextSeq_;
      Reply r = status(0);
      r.workUs = work;
      return r;
    }
    case kFlashEnd:
      if (d.size() != 4) return status(kStubBadDataLen);
      stubFlashActive_ = false;
      return status(0);
    case kSpiFlashMd5: {
      if (d.size() != 16) return status(kStubBadDataLen);
      uint32_t addr = le32(d, 0);
      uint32_t size = le32(d, 4);
      if (!SimFlash::contains(addr, size)) return status(kStubFlashOpFailed);
      Reply r = status(0);
      auto digest = flash_.md5(addr, size);
      r.data.insert(r.data.begin(), digest.begin(), digest.end());
      r.workUs = perKiB(size, tm.stubMd5UsPerKiB);
      return r;
    }
    case kEraseFlash: {
      if (!d.empty()) return status(kStubBadDataLen);
      Reply r = status(0);
      r.workUs = flash_.isBlank() ? tm.blankChipEraseUs : tm.chipEraseUs;
      flash_.eraseAll();
      return r;
    }
    case kEraseRegion: {
      if (d.size() != 8) return status(kStubBadDataLen);
      uint32_t addr = le32(d, 0);
      uint32_t size = le32(d, 4);
      if (addr % SimFlash::kSectorSize != 0 || size % SimFlash::kSectorSize != 0 ||
          !SimFlash::contains(addr, size)) {
        return status(kStubFlashOpFailed);
      }
      Reply r = status(0);
      r.workUs = eraseUs(addr, size);
      flash_.eraseSectors(addr, size);
      return r;
    }
    default:
      return status(kStubUnknownCommand);
  }
}

}  // namespace flintmoor
