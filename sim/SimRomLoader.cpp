// The virtual ESP32's ROM loader: a handler per command, with the ROM's quirks (sticky error byte,
// stale value word, unknown commands answered under the previous opcode, the whole region erased
// at FLASH_BEGIN).
#include <algorithm>
#include <cstdio>

#include "sim/SimBytes.h"
#include "sim/SimOpcodes.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor {

namespace {

using simbytes::le32;

constexpr uint32_t kRomMaxFlashBlock = 4096;

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

}  // namespace

const VirtualEsp32::HandlerTable& VirtualEsp32::romTable() {
  static const HandlerTable table = [] {
    HandlerTable t{};
    t[simop::kSync] = &VirtualEsp32::romSync;
    t[simop::kReadReg] = &VirtualEsp32::romReadReg;
    t[simop::kWriteReg] = &VirtualEsp32::romWriteReg;
    t[simop::kSpiSetParams] = &VirtualEsp32::romSpiSetParams;
    t[simop::kSpiAttach] = &VirtualEsp32::romSpiAttach;
    t[simop::kChangeBaudrate] = &VirtualEsp32::romChangeBaudrate;
    t[simop::kMemBegin] = &VirtualEsp32::romMemBegin;
    t[simop::kMemData] = &VirtualEsp32::romMemData;
    t[simop::kMemEnd] = &VirtualEsp32::romMemEnd;
    t[simop::kFlashBegin] = &VirtualEsp32::romFlashBegin;
    t[simop::kFlashDeflBegin] = &VirtualEsp32::romFlashBegin;
    t[simop::kFlashData] = &VirtualEsp32::romFlashBlock;
    t[simop::kFlashDeflData] = &VirtualEsp32::romFlashBlock;
    t[simop::kFlashEnd] = &VirtualEsp32::romFlashEnd;
    t[simop::kFlashDeflEnd] = &VirtualEsp32::romFlashEnd;
    t[simop::kSpiFlashMd5] = &VirtualEsp32::romSpiFlashMd5;
    t[simop::kReadFlashSlow] = &VirtualEsp32::romReadFlashSlow;
    return t;
  }();
  return table;
}

VirtualEsp32::Reply VirtualEsp32::romHandle(const Packet& p) {
  Handler handler = romTable()[p.opcode];
  // Answered under the previous command's opcode, which the ROM never overwrote.
  if (handler == nullptr) return romStatus(romLastOpcode_, kRomInvalidMessage);
  romLastOpcode_ = p.opcode;
  if (p.size != p.payload.size()) return romStatus(p.opcode, kRomInvalidMessage);
  return (this->*handler)(p);
}

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

VirtualEsp32::Reply VirtualEsp32::romSync(const Packet& p) {
  if (!isSyncPayload(p.payload)) {
    Reply none;
    none.answer = false;
    return none;
  }
  if (autobaud_) {
    autobaud_ = false;
    setChipBaud(p.baud, p.atUs);
  }
  romLastValue_ = le32(p.payload, 0);
  Reply r = romStatus(p.opcode, 0);
  r.copies = 8;
  r.latencyUs = options_.timings.syncLatencyUs;
  return r;
}

VirtualEsp32::Reply VirtualEsp32::romReadReg(const Packet& p) {
  if (p.payload.size() != 4) return romStatus(p.opcode, kRomInvalidMessage);
  romLastValue_ = readRegister(le32(p.payload, 0));
  return romStatus(p.opcode, 0);
}

VirtualEsp32::Reply VirtualEsp32::romWriteReg(const Packet& p) {
  int64_t delayUs = 0;
  if (!writeRegRequest(p, delayUs)) return romStatus(p.opcode, kRomInvalidMessage);
  Reply r = romStatus(p.opcode, 0);
  r.workUs = delayUs;
  return r;
}

VirtualEsp32::Reply VirtualEsp32::romSpiSetParams(const Packet& p) {
  return romStatus(p.opcode, p.payload.size() == 24 ? 0 : kRomInvalidMessage);
}

VirtualEsp32::Reply VirtualEsp32::romSpiAttach(const Packet& p) {
  size_t n = p.payload.size();
  return romStatus(p.opcode, n == 4 || n == 8 ? 0 : kRomInvalidMessage);
}

VirtualEsp32::Reply VirtualEsp32::romChangeBaudrate(const Packet& p) {
  std::span<const uint8_t> d = p.payload;
  if (d.size() != 8 || le32(d, 0) == 0 || hasFault(SimFaultKind::kNoBaud)) {
    return romStatus(p.opcode, kRomInvalidMessage);
  }
  Reply r = romStatus(p.opcode, 0);
  r.after = After::kRomSwitchBaud;
  r.arg = le32(d, 0);
  return r;
}

VirtualEsp32::Reply VirtualEsp32::romMemBegin(const Packet& p) {
  std::span<const uint8_t> d = p.payload;
  memActive_ = false;
  if (d.size() != 16) return romStatus(p.opcode, kRomInvalidMessage);
  uint32_t size = le32(d, 0);
  uint32_t addr = le32(d, 12);
  if (!inRam(addr, size)) return romStatus(p.opcode, kRomFailedToAct);
  memActive_ = true;
  memSize_ = size;
  memBlockSize_ = le32(d, 8);
  memNextSeq_ = 0;
  ram_.push_back({addr, {}});
  return romStatus(p.opcode, 0);
}

VirtualEsp32::Reply VirtualEsp32::romMemData(const Packet& p) {
  auto fail = [&](uint8_t error) { return romStatus(p.opcode, error); };
  if (!memActive_) return fail(kRomFailedToAct);
  std::optional<DataBlock> b = parseDataBlock(p);
  if (!b) return fail(kRomInvalidMessage);
  std::vector<uint8_t>& seg = ram_.back().bytes;
  if (b->length != b->data.size() || b->length > memBlockSize_) return fail(kRomInvalidMessage);
  if (b->sequence != memNextSeq_) return fail(kRomInvalidMessage);
  if (!b->checksumOk) return fail(kRomChecksum);
  if (seg.size() + b->length > memSize_) return fail(kRomInvalidMessage);
  seg.insert(seg.end(), b->data.begin(), b->data.end());
  ++memNextSeq_;
  return romStatus(p.opcode, 0);
}

VirtualEsp32::Reply VirtualEsp32::romMemEnd(const Packet& p) {
  if (p.payload.size() != 8) return romStatus(p.opcode, kRomInvalidMessage);
  memActive_ = false;
  Reply r = romStatus(p.opcode, 0);
  if (le32(p.payload, 0) == 0) {
    r.after = After::kJump;
    r.arg = le32(p.payload, 4);
  }
  return r;
}

// The compressed write announces the uncompressed size, and erases for it: the ROM erases the
// whole region before it answers.
VirtualEsp32::Reply VirtualEsp32::romFlashBegin(const Packet& p) {
  romStopWrite();
  std::optional<FlashBegin> b = parseFlashBegin(p);
  if (!b) return romStatus(p.opcode, kRomInvalidMessage);
  if (b->blockSize > kRomMaxFlashBlock) return romStatus(p.opcode, kRomInvalidMessage);
  if (b->offset % SimFlash::kSectorSize != 0 || !flash_.holds(b->offset, b->eraseSize)) {
    return romStatus(p.opcode, kRomFailedToAct);
  }
  Reply r = romStatus(p.opcode, 0);
  r.workUs = eraseUs(b->offset, b->eraseSize);
  flash_.eraseSectors(b->offset, b->eraseSize);
  romFlashActive_ = true;
  romDeflate_ = p.opcode == simop::kFlashDeflBegin;
  romFlashAddr_ = b->offset;
  romFlashEnd_ = b->offset + b->eraseSize;
  romBlockSize_ = b->blockSize;
  romNextSeq_ = 0;
  if (romDeflate_) inflater_.start();
  return r;
}

void VirtualEsp32::romStopWrite() {
  romFlashActive_ = false;
  romStreamGap_ = false;
  inflater_.stop();
}

// FLASH_DATA programs its block as it is; FLASH_DEFL_DATA inflates its slice of the stream and
// programs what that yields. Both share the ROM's checks and its habit of counting a failed block.
VirtualEsp32::Reply VirtualEsp32::romFlashBlock(const Packet& p) {
  bool deflate = p.opcode == simop::kFlashDeflData;
  auto fail = [&](uint8_t error) { return romStatus(p.opcode, error); };
  if (!romFlashActive_ || romDeflate_ != deflate) return fail(kRomFailedToAct);
  std::optional<DataBlock> b = parseDataBlock(p);
  if (!b) return fail(kRomInvalidMessage);
  // Whatever goes wrong, the ROM counts the block but does not move its write address, and a
  // compressed stream then misses that slice.
  uint32_t expected = romNextSeq_++;
  uint8_t error = 0;
  if (b->length != b->data.size() || b->length > romBlockSize_ || b->sequence != expected) {
    error = kRomInvalidMessage;
  } else if (!b->checksumOk) {
    error = kRomChecksum;
  }
  if (error != 0) {
    if (deflate) romStreamGap_ = true;
    return fail(error);
  }

  std::vector<uint8_t> inflated;
  std::span<const uint8_t> bytes = b->data;
  if (deflate) {
    if (romStreamGap_ || damageInflate_ ||
        !inflater_.feed(b->data, romFlashEnd_ - romFlashAddr_, inflated)) {
      romStopWrite();
      return fail(kRomInflate);
    }
    bytes = inflated;
  }
  auto size = static_cast<uint32_t>(bytes.size());
  if (!flash_.holds(romFlashAddr_, size)) return fail(kRomFlashWrite);
  flash_.program(romFlashAddr_, bytes);
  if (corruptBlock_ && size > 0) flash_.bytes()[romFlashAddr_ + size / 2] ^= 0x01;
  Reply r = romStatus(p.opcode, 0);
  r.workUs = SimFlash::pagesCovering(romFlashAddr_, size) * options_.timings.pageProgramUs;
  romFlashAddr_ += size;
  return r;
}

VirtualEsp32::Reply VirtualEsp32::romFlashEnd(const Packet& p) {
  if (p.payload.size() != 4) return romStatus(p.opcode, kRomInvalidMessage);
  romStopWrite();
  Reply r = romStatus(p.opcode, 0);
  r.after = le32(p.payload, 0) == 0 ? After::kSoftReset : After::kLeaveLoader;
  return r;
}

// The digest as 32 lower-case hex digits before the status bytes.
VirtualEsp32::Reply VirtualEsp32::romSpiFlashMd5(const Packet& p) {
  auto region = md5Request(p);
  if (!region) return romStatus(p.opcode, kRomInvalidMessage);
  auto [addr, size] = *region;
  if (!flash_.holds(addr, size)) return romStatus(p.opcode, kRomFailedToAct);
  Reply r = romStatus(p.opcode, 0);
  std::vector<uint8_t> text;
  for (uint8_t b : flash_.md5(addr, size)) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    text.push_back(static_cast<uint8_t>(hex[0]));
    text.push_back(static_cast<uint8_t>(hex[1]));
  }
  r.data.insert(r.data.begin(), text.begin(), text.end());
  r.workUs = simop::perKiB(size, options_.timings.romMd5UsPerKiB);
  return r;
}

// At most 64 bytes of flash, whatever larger length is asked, then the status bytes.
VirtualEsp32::Reply VirtualEsp32::romReadFlashSlow(const Packet& p) {
  if (p.payload.size() != 8) return romStatus(p.opcode, kRomInvalidMessage);
  const uint32_t addr = le32(p.payload, 0);
  const uint32_t size = std::min<uint32_t>(le32(p.payload, 4), 64);
  if (size == 0 || !flash_.holds(addr, size)) return romStatus(p.opcode, kRomFailedToAct);
  Reply r = romStatus(p.opcode, 0);
  const std::span<const uint8_t> bytes = flash_.bytes().subspan(addr, size);
  r.data.insert(r.data.begin(), bytes.begin(), bytes.end());
  r.workUs = options_.timings.romReadSlowUs;
  return r;
}

}  // namespace flintmoor
