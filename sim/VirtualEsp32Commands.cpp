// The virtual ESP32's requests: decoding a frame into a packet, the positional faults of the flash
// data blocks, and what the ROM loader and the stub share (the FLASH_BEGIN and data block layouts,
// registers with the SPI1 controller's read-id command, the MD5 request). Each loader's commands
// are in SimRomLoader.cpp and SimStub.cpp.
#include <algorithm>

#include "sim/SimBytes.h"
#include "sim/SimOpcodes.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor {

namespace {

using simbytes::le16;
using simbytes::le32;

// CRC-8 (polynomial 0x07) of the factory MAC, as kept beside it in eFuse.
uint8_t macCrc(const std::array<uint8_t, 6>& mac) {
  uint8_t crc = 0;
  for (uint8_t b : mac) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = static_cast<uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
  }
  return crc;
}

constexpr uint32_t kSpiUsr = 1u << 18;            // CMD: run the user command
constexpr uint32_t kUsrCommand = 1u << 31;        // USER: a command phase
constexpr uint32_t kUsrMiso = 1u << 28;           // USER: a read phase
constexpr uint32_t kMultiLineRead = 0x01916000u;  // CTRL: QIO, DIO, QUAD, DUAL, FASTRD_MODE
constexpr uint32_t kReadId = 0x9F;
constexpr uint32_t kStaleW0 = 0x5A000000u;  // what W0's top byte holds from earlier transfers

}  // namespace

void VirtualEsp32::onFrame(const std::vector<uint8_t>& frame, uint32_t baud, int64_t atUs) {
  if (mode_ == Mode::kStub) {
    stubFrameEnded(atUs);
    if (stubRxOverflow_) {
      stubRxOverflow_ = false;
      stubAnswerDropped(frame.size() >= 2 ? frame[1] : 0, kStubRxOverflow, atUs);
      return;
    }
    if (stubReading_ && frame.size() == 4) {
      if (!faultAt(SimFaultKind::kDropAck, readAckCount_++)) stubOnAck(frame, atUs);
      return;
    }
  }
  if (frame.size() < 8 || frame[0] != 0x00) return;
  // A request instead of an acknowledgement ends a stream, without its digest, and is served.
  stubReading_ = false;
  requestEndUs_ = atUs;
  Packet p{frame[1], le16(frame, 2), le32(frame, 4), std::span(frame).subspan(8), baud, atUs};
  SimLoader loader = mode_ == Mode::kStub ? SimLoader::kStub : SimLoader::kRom;
  commands_.push_back(
      {atUs, loader, p.opcode, p.size, p.checksum, {p.payload.begin(), p.payload.end()}});

  bool dropAnswer = false;
  bool badEscape = false;
  if (p.opcode == simop::kFlashData || p.opcode == simop::kFlashDeflData) {
    applyBlockFaults(p, dropAnswer, badEscape);
    if (unplugged_) return;
  }
  // The image block arrives damaged, so the ROM reports the checksum failure.
  if (p.opcode == simop::kMemData && faultAt(SimFaultKind::kMemFail, memDataCount_++)) {
    p.checksum = ~p.checksum;
  }
  int64_t start = std::max(atUs, busyUntilUs_);
  Reply r = mode_ == Mode::kLoader ? romHandle(p) : stubHandle(p);
  corruptBlock_ = false;
  damageInflate_ = false;
  loseBlock_ = false;
  if (!r.answer || dropAnswer) {
    busyUntilUs_ = start + r.latencyUs + r.workUs + r.afterAnswerUs;
    return;
  }
  sendReply(r, start, badEscape);
}

void VirtualEsp32::applyBlockFaults(Packet& p, bool& dropAnswer, bool& badEscape) {
  uint32_t n = flashDataCount_++;
  if (faultAt(SimFaultKind::kUnplug, n)) {
    unplug();
    return;
  }
  // The stub's ring overflows and loses part of the block; the ROM, which has no ring, receives
  // it damaged.
  loseBlock_ = mode_ == Mode::kStub && faultAt(SimFaultKind::kRxOverflow, n) != nullptr;
  bool damaged = faultAt(SimFaultKind::kFlashFail, n) != nullptr ||
                 (mode_ != Mode::kStub && faultAt(SimFaultKind::kRxOverflow, n) != nullptr);
  // The block arrives damaged, so the loader itself reports the checksum failure.
  if (damaged) p.checksum = ~p.checksum;
  dropAnswer = faultAt(SimFaultKind::kDropAnswer, n) != nullptr;
  badEscape = faultAt(SimFaultKind::kBadEscape, n) != nullptr;
  corruptBlock_ = faultAt(SimFaultKind::kFlashCorrupt, n) != nullptr;
  damageInflate_ = faultAt(SimFaultKind::kInflateFail, n) != nullptr;
}

std::optional<VirtualEsp32::FlashBegin> VirtualEsp32::parseFlashBegin(const Packet& p) {
  // Sixteen bytes, or twenty with the encrypted-write flag, which neither loader uses.
  std::span<const uint8_t> d = p.payload;
  if (d.size() != 16 && d.size() != 20) return std::nullopt;
  return FlashBegin{le32(d, 0), le32(d, 4), le32(d, 8), le32(d, 12)};
}

std::optional<VirtualEsp32::DataBlock> VirtualEsp32::parseDataBlock(const Packet& p) {
  std::span<const uint8_t> d = p.payload;
  if (d.size() < 16) return std::nullopt;
  std::span<const uint8_t> data = d.subspan(16);
  return DataBlock{le32(d, 0), le32(d, 4), data, p.checksum == simop::dataChecksum(data)};
}

bool VirtualEsp32::writeRegRequest(const Packet& p, int64_t& delayUs) {
  std::span<const uint8_t> d = p.payload;
  if (d.size() != 16) return false;
  writeRegister(le32(d, 0), le32(d, 4), le32(d, 8));
  delayUs = le32(d, 12);
  return true;
}

void VirtualEsp32::writeRegister(uint32_t addr, uint32_t value, uint32_t mask) {
  uint32_t v = (readRegister(addr) & ~mask) | (value & mask);
  if (addr == kRegSpi1Cmd && (v & kSpiUsr) != 0) {
    runSpiUserCommand();
    v &= ~kSpiUsr;  // the controller is done before anyone can look
  }
  writtenRegs_[addr] = v;
}

// The user command the SPI1 controller runs: only the flash's read-id is modelled; other commands
// leave W0 as it was.
void VirtualEsp32::runSpiUserCommand() {
  uint32_t user = readRegister(kRegSpi1User);
  if ((user & kUsrCommand) == 0 || (user & kUsrMiso) == 0) return;
  if ((readRegister(kRegSpi1User2) & 0xFFFF) != kReadId) return;
  uint32_t id = options_.flashJedecId != 0 ? options_.flashJedecId & 0xFFFFFF : flash_.jedecId();
  if (hasFault(SimFaultKind::kNoFlashId)) id = 0xFFFFFF;  // nothing drives the data line
  uint32_t bits = (readRegister(kRegSpi1MisoDlen) & 0xFFFFFF) + 1;
  uint32_t mask = bits >= 32 ? 0xFFFFFFFF : (1u << bits) - 1;
  uint32_t received = (id | 0xFF000000u) & mask;  // a fourth byte reads the idle line
  // A multi-line read of a one-line answer samples the wrong pins.
  if ((readRegister(kRegSpi1Ctrl) & kMultiLineRead) != 0)
    received = (received * 0x9E3779B1u) & mask;
  uint32_t old = (readRegister(kRegSpi1W0) & 0x00FFFFFF) | kStaleW0;
  writtenRegs_[kRegSpi1W0] = received | (old & ~mask);
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

std::optional<std::pair<uint32_t, uint32_t>> VirtualEsp32::md5Request(const Packet& p) {
  if (p.payload.size() != 16) return std::nullopt;
  return std::pair{le32(p.payload, 0), le32(p.payload, 4)};
}

int64_t VirtualEsp32::eraseUs(uint32_t addr, uint32_t len) const {
  const SimTimings& tm = options_.timings;
  uint32_t blank = flash_.blankSectorsIn(addr, len);
  return blank * tm.blankSectorEraseUs +
         (SimFlash::sectorsCovering(addr, len) - blank) * tm.sectorEraseUs;
}

}  // namespace flintmoor
