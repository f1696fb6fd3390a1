// The virtual ESP32 board: the USB bridge whose DTR and RTS drive EN and IO0 through the usual
// two-transistor circuit, the chip's UART, its ROM loader and flasher stub, and 4, 8 or 16 MiB of
// flash.
// Everything happens on a VirtualClock: bytes take ten bit times on the line, flash work takes the
// time real parts take, and the bridge calls (SimSerialDevice) advance the clock while they wait.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/Clock.h"
#include "sim/SimApplication.h"
#include "sim/SimFaults.h"
#include "sim/SimFlash.h"
#include "sim/SimInflater.h"
#include "sim/Slip.h"

namespace flintmoor {

// Durations in microseconds of virtual time.
struct SimTimings {
  int64_t enRiseUs = 10'000;             // EN's RC delay after the transistor lets go
  int64_t slowEnRiseUs = 250'000;        // the same with the slow-en fault
  int64_t answerLatencyUs = 100;         // from the end of a request to its answer
  int64_t syncLatencyUs = 2'000;         // from the end of a SYNC to the first of its answers
  int64_t stubStartUs = 2'000;           // from the jump to the entry to the stub's greeting
  int64_t sectorEraseUs = 45'000;        // one 4 KiB sector
  int64_t blankSectorEraseUs = 8'400;    // one 4 KiB sector that is already blank
  int64_t blockEraseUs = 150'000;        // one 64 KiB block (the stub's erases)
  int64_t blankBlockEraseUs = 28'000;    // one 64 KiB block that is already blank
  int64_t pageProgramUs = 700;           // one 256-byte page
  int64_t chipEraseUs = 8'000'000;       // 4 MiB of flash; larger parts take proportionally longer
  int64_t blankChipEraseUs = 1'500'000;  // the same when the flash is already blank
  int64_t romMd5UsPerKiB = 1'000;        // the ROM's MD5 of flash contents
  int64_t stubMd5UsPerKiB = 250;         // the stub's
  int64_t baudSwitchUs = 1'000;          // the ROM's UART switch after CHANGE_BAUDRATE
  int64_t romReadSlowUs = 150;           // the ROM's READ_FLASH_SLOW of up to 64 bytes
  // The USB bridge's turnaround: the first byte of what the chip sends after a request reaches
  // the port no sooner than this after the request's last byte (one full-speed USB frame; bridges
  // with a long latency timer take 16 ms).
  int64_t bridgeLatencyUs = 1'000;
};

struct VirtualEsp32Options {
  std::array<uint8_t, 6> mac = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
  // Registers READ_REG answers with these values before the built-in ones (another chip's
  // identification, say); a WRITE_REG still takes precedence.
  std::map<uint32_t, uint32_t> registers;
  SimTimings timings;
  uint32_t flashSize = SimFlash::kSize;  // bytes: 4, 8 or 16 MiB (1 MiB to 16 MiB accepted)
  // The id the flash answers to its read-id command (manufacturer, memory type, capacity code in
  // bits 7..0, 15..8, 23..16); 0 for the flash's own (capacity code log2(flashSize)).
  uint32_t flashJedecId = 0;
  // The stub's receive ring: bytes wait there from their arrival until the stub decodes them,
  // which it does only between its flash work (a frame is decoded up to its end, then answered
  // and written while the next bytes wait). A byte that finds it full is lost.
  size_t stubRxBufferSize = 65536;
  // The program in flash talks (SimApplication): ticks, echo, the panic and replug faults. Off, a
  // booted program stays silent after the ROM's boot text.
  bool application = false;
};

// What ran the command: the ROM loader or the uploaded stub.
enum class SimLoader : uint8_t { kRom, kStub };
enum class SimLine : uint8_t { kDtr, kRts };
enum class SimSide : uint8_t { kPort, kChip };

// A request packet the chip decoded (direction 0, at least the 8 header bytes).
struct SimCommand {
  int64_t atUs;  // arrival of the frame's closing END
  SimLoader loader;
  uint8_t opcode;
  uint16_t size;  // the header's length field, whatever the payload's real length
  uint32_t checksum;
  std::vector<uint8_t> payload;
};

// One setDTR/setRTS call (opening and closing drop both lines without an entry; a speed change
// leaves them as they are).
struct SimLineChange {
  int64_t atUs;
  SimLine line;
  bool asserted;
};

// The port's speed (open, setBaudRate) or the chip's (reset, speed detection, CHANGE_BAUDRATE).
struct SimBaudChange {
  int64_t atUs;
  SimSide side;
  uint32_t baud;
};

// One board, driven from one thread. The clock outlives the board, the board its SimSerialDevice.
// The ROM loader knows SYNC, READ_REG, WRITE_REG, CHANGE_BAUDRATE, SPI_ATTACH, SPI_SET_PARAMS, the
// MEM_* commands, the uncompressed FLASH_* and the compressed FLASH_DEFL_* commands,
// SPI_FLASH_MD5 and READ_FLASH_SLOW. The flasher stub knows the same flash commands (not MEM_* nor
// READ_FLASH_SLOW) and adds ERASE_FLASH, ERASE_REGION and the streamed READ_FLASH; it erases as
// the blocks arrive and answers a data block before it writes it (see SimStub.cpp).
//
// The SPI1 controller's user command runs the flash's read-id command (0x9F) when a WRITE_REG
// starts it (CMD bit 18) with the command in USER2 and USR_COMMAND and USR_MISO set in USER: W0
// then holds as many id bytes as MISO_DLEN asks, stale bits above them, and CMD reads back idle.
//
// The ROM's CHANGE_BAUDRATE: the answer goes out at the old speed; once it has left, the UART
// switches for SimTimings::baudSwitchUs, garbling every host byte that arrives meanwhile whatever
// its speed, and then sends C0 C0 (an empty frame) at the new speed. The stub switches at once
// after its answer and sends nothing more.
//
// The ROM's compressed write: FLASH_DEFL_BEGIN (uncompressed size, blocks, block size <= 4096,
// offset) erases the sectors covering the uncompressed size before it answers; each
// FLASH_DEFL_DATA carries the next slice of one zlib stream, checked as FLASH_DATA is, inflated
// and programmed at the next address; its answer waits for the pages programmed. A broken stream,
// output beyond the announced size, or a block after a failed one (the stream has a gap) is
// answered with kRomInflate and ends the write until the next FLASH_DEFL_BEGIN.
//
// Erasing a sector takes SimTimings::blankSectorEraseUs when it is already blank, sectorEraseUs
// otherwise, in both loaders; the stub's 64 KiB block erases take blankBlockEraseUs or
// blockEraseUs, its chip erase chipEraseUs (blankChipEraseUs) per 4 MiB of flash.
//
// The stub answers a FLASH_DATA or FLASH_DEFL_DATA block as soon as it is whole and checked and
// then erases and programs it; every later answer waits until that is done. What arrives meanwhile
// goes into its receive ring (VirtualEsp32Options::stubRxBufferSize) until the stub decodes it;
// bytes that find the ring full are lost, and the frame they belonged to is answered with
// kStubRxOverflow. Its flash bound
// is kStubDefaultFlashSize until SPI_SET_PARAMS sets another; an address inside the bound but past
// the chip's end fails as the flash does (kStubFlashFailed, for a write on the next data, end or
// MD5 answer; a READ_FLASH stream stops there).
//
// Everything the chip sends reaches the port no sooner than SimTimings::bridgeLatencyUs after the
// last request's closing END (READ_FLASH acknowledgements are no requests: a stream is not held).
class VirtualEsp32 {
 public:
  enum class Mode { kAbsent, kReset, kLoader, kStub, kApplication, kHalted };

  struct Boot {
    int64_t atUs;
    Mode mode;  // kLoader (download boot) or kApplication (boot from flash)
  };

  static constexpr const char* kPortName = "SIM";
  static constexpr uint32_t kBootBaud = 115200;

  static constexpr uint32_t kRegChipId = 0x40001000;
  static constexpr uint32_t kRegMacLow = 0x3FF5A004;
  static constexpr uint32_t kRegMacHigh = 0x3FF5A008;
  static constexpr uint32_t kRegMacLowS2 = 0x3F41A044;
  static constexpr uint32_t kRegMacHighS2 = 0x3F41A048;
  static constexpr uint32_t kChipIdEsp32 = 0x00F01D83;
  static constexpr uint32_t kChipIdEsp32S2 = 0x000007C6;
  static constexpr uint32_t kChipIdUnknown = 0x0BADC0DE;

  // The ROM loader's error codes.
  static constexpr uint8_t kRomInvalidMessage = 0x05;
  static constexpr uint8_t kRomFailedToAct = 0x06;
  static constexpr uint8_t kRomChecksum = 0x07;
  static constexpr uint8_t kRomFlashWrite = 0x08;
  static constexpr uint8_t kRomInflate = 0x0B;
  // The stub's error codes.
  static constexpr uint8_t kStubBadDataLen = 0xC0;
  static constexpr uint8_t kStubChecksum = 0xC1;
  static constexpr uint8_t kStubBadBlockSize = 0xC2;
  static constexpr uint8_t kStubInvalidArg = 0xC3;
  static constexpr uint8_t kStubFlashFailed = 0xC4;
  static constexpr uint8_t kStubBadSequence = 0xC5;
  static constexpr uint8_t kStubNotInFlashMode = 0xC6;
  static constexpr uint8_t kStubTooMuchData = 0xC7;
  static constexpr uint8_t kStubInflate = 0xC8;
  static constexpr uint8_t kStubRxOverflow = 0xC9;
  static constexpr uint8_t kStubUnknownCommand = 0xFF;
  // The stub's flash bound until SPI_SET_PARAMS sets another: the largest ESP32 flash.
  static constexpr uint32_t kStubDefaultFlashSize = 16u << 20;

  // The SPI1 controller's registers that read the flash's id.
  static constexpr uint32_t kRegSpi1Cmd = 0x3FF42000;
  static constexpr uint32_t kRegSpi1Ctrl = 0x3FF42008;
  static constexpr uint32_t kRegSpi1User = 0x3FF4201C;
  static constexpr uint32_t kRegSpi1User2 = 0x3FF42024;
  static constexpr uint32_t kRegSpi1MisoDlen = 0x3FF4202C;
  static constexpr uint32_t kRegSpi1W0 = 0x3FF42080;

  // The largest frame the chip takes: header, FLASH_DATA data header and a 16 KiB block.
  static constexpr size_t kMaxFrame = 8 + 16 + 16384;
  // The fastest line the bridge keeps with the bridge-limit fault; above it the line runs at 97 %
  // of the speed set, which neither end can hear.
  static constexpr uint32_t kBridgeLimitBaud = 460800;
  // The bridge driver's queues.
  static constexpr size_t kRxQueueSize = 1024;
  static constexpr size_t kTxQueueSize = 1024;

  // The board starts powered, running whatever the flash holds; the bridge is closed.
  explicit VirtualEsp32(VirtualClock& clock, VirtualEsp32Options options = {});
  ~VirtualEsp32();
  VirtualEsp32(const VirtualEsp32&) = delete;
  VirtualEsp32& operator=(const VirtualEsp32&) = delete;

  // Switches take effect from the next opportunity; "silent" removes the chip at once.
  void addFault(SimFault fault);
  bool hasFault(SimFaultKind kind) const;

  SimFlash& flash() { return flash_; }
  const SimFlash& flash() const { return flash_; }

  Mode mode() const { return mode_; }
  uint32_t chipBaud() const { return chipBaud_; }
  uint32_t portBaud() const { return portBaud_; }
  bool bridgeIsOpen() const { return portOpen_; }
  bool unplugged() const { return unplugged_; }
  // The bridge vanishes now: the board loses power and every port call but close() and purge()
  // raises EComPort as for a removed device (oserr::kErrGone; open() oserr::kErrNoDevice).
  void unplug();
  // The bridge vanishes now and comes back `forUs` later, the board booting again; a port still
  // open on the vanished bridge keeps failing until it is closed.
  void unplugFor(int64_t forUs);
  // The board loses power and starts again: it boots whatever the flash holds now.
  void powerCycle();

  // What the chip received and when.
  const std::vector<SimCommand>& commands() const { return commands_; }
  const std::vector<SimLineChange>& lineChanges() const { return lineChanges_; }
  const std::vector<SimBaudChange>& baudChanges() const { return baudChanges_; }
  const std::vector<Boot>& boots() const { return boots_; }
  void clearRecord();

  // The USB bridge, as SimSerialDevice drives it; semantics and errors of SerialDevice, with the
  // codes (oserr) of the platform the build targets: a second open oserr::kErrBusy, a speed of 0
  // oserr::kErrInvalid.
  void bridgeOpen(uint32_t baud);
  void bridgeClose() noexcept;
  void bridgeSetBaudRate(uint32_t baud);
  void bridgeSetDTR(bool on);
  void bridgeSetRTS(bool on);
  void bridgePurge() noexcept;
  size_t bridgeWrite(const uint8_t* data, size_t count);
  int bridgeReadByte(int timeoutMs);

 private:
  struct LineByte {
    int64_t atUs;  // arrival at the other end
    uint8_t byte;
    uint32_t baud;  // speed it was sent at
  };

  struct Packet {
    uint8_t opcode;
    uint16_t size;
    uint32_t checksum;
    std::span<const uint8_t> payload;
    uint32_t baud;  // the speed the frame came at
    int64_t atUs;   // arrival of its closing END
  };

  enum class After {
    kNone,
    kSwitchBaud,
    kRomSwitchBaud,
    kJump,
    kSoftReset,
    kLeaveLoader,
    kStreamRead
  };

  // What a loader does with one request.
  struct Reply {
    bool answer = true;
    uint8_t opcode = 0;
    uint32_t value = 0;
    std::vector<uint8_t> data;
    int copies = 1;
    int64_t latencyUs = 0;
    int64_t workUs = 0;         // before the answer
    int64_t afterAnswerUs = 0;  // after it: the chip is busy, the next answer waits
    After after = After::kNone;
    uint32_t arg = 0;
  };

  struct MemSegment {
    uint32_t addr;
    std::vector<uint8_t> bytes;  // what MEM_DATA delivered so far
  };

  // Time.
  void catchUp();
  void runUntil(int64_t atUs);
  uint64_t scheduleChipTask(int64_t atUs, std::function<void(int64_t)> task);
  void cancelTask(uint64_t key);

  // Chip to port.
  void transmit(std::span<const uint8_t> bytes, int64_t atUs);
  void transmitText(const std::string& text, int64_t atUs);
  void settleRx();
  int64_t nextChipByteUs() const;
  void runChatter(int64_t untilUs, bool keep);

  // Port to chip.
  void deliverToChip(const LineByte& b);

  // Board and boot.
  bool enPulledLow() const { return portOpen_ && rts_ && !dtr_; }
  bool io0Low() const { return portOpen_ && dtr_ && !rts_; }
  void updateEn(int64_t atUs);
  void enterReset(int64_t atUs);
  void bootLoader(int64_t atUs, const std::string& resetLine);
  void bootFromFlash(int64_t atUs, bool banner);
  void setChipBaud(uint32_t baud, int64_t atUs);
  // The speed the bridge's line really runs at (the port's, unless bridge-limit bites).
  uint32_t lineBaud() const;
  int64_t enRiseUs() const;

  // One loader's commands: a handler per opcode, none for the opcodes it does not serve.
  using Handler = Reply (VirtualEsp32::*)(const Packet&);
  using HandlerTable = std::array<Handler, 256>;

  // A FLASH_BEGIN or FLASH_DEFL_BEGIN request, as both loaders read it.
  struct FlashBegin {
    uint32_t eraseSize;
    uint32_t blocks;
    uint32_t blockSize;
    uint32_t offset;
  };
  // A FLASH_DATA, FLASH_DEFL_DATA or MEM_DATA request.
  struct DataBlock {
    uint32_t length;  // the length field
    uint32_t sequence;
    std::span<const uint8_t> data;
    bool checksumOk;
  };

  // Requests and what both loaders share (VirtualEsp32Commands.cpp).
  void onFrame(const std::vector<uint8_t>& frame, uint32_t baud, int64_t atUs);
  void applyBlockFaults(Packet& p, bool& dropAnswer, bool& badEscape);
  static std::optional<FlashBegin> parseFlashBegin(const Packet& p);
  static std::optional<DataBlock> parseDataBlock(const Packet& p);
  // WRITE_REG's address, value, mask and delay: false when the payload is not 16 bytes.
  bool writeRegRequest(const Packet& p, int64_t& delayUs);
  void writeRegister(uint32_t addr, uint32_t value, uint32_t mask);
  uint32_t readRegister(uint32_t addr) const;
  void runSpiUserCommand();
  // SPI_FLASH_MD5's address and size: nullopt when the payload is not 16 bytes.
  static std::optional<std::pair<uint32_t, uint32_t>> md5Request(const Packet& p);
  // Time to erase the sectors touched by [addr, addr + len) as they are now.
  int64_t eraseUs(uint32_t addr, uint32_t len) const;

  // The ROM loader (SimRomLoader.cpp).
  static const HandlerTable& romTable();
  Reply romHandle(const Packet& p);
  Reply romStatus(uint8_t opcode, uint8_t error);
  Reply romSync(const Packet& p);
  Reply romReadReg(const Packet& p);
  Reply romWriteReg(const Packet& p);
  Reply romSpiSetParams(const Packet& p);
  Reply romSpiAttach(const Packet& p);
  Reply romChangeBaudrate(const Packet& p);
  Reply romMemBegin(const Packet& p);
  Reply romMemData(const Packet& p);
  Reply romMemEnd(const Packet& p);
  Reply romFlashBegin(const Packet& p);
  Reply romFlashBlock(const Packet& p);
  Reply romFlashEnd(const Packet& p);
  Reply romSpiFlashMd5(const Packet& p);
  Reply romReadFlashSlow(const Packet& p);
  void romStopWrite();

  // The flasher stub (SimStub.cpp).
  static const HandlerTable& stubTable();
  Reply stubHandle(const Packet& p);
  Reply stubStatus(uint8_t opcode, uint8_t error, uint32_t value = 0) const;
  Reply stubSync(const Packet& p);
  Reply stubReadReg(const Packet& p);
  Reply stubWriteReg(const Packet& p);
  Reply stubSpiSetParams(const Packet& p);
  Reply stubSpiAttach(const Packet& p);
  Reply stubChangeBaudrate(const Packet& p);
  Reply stubFlashBegin(const Packet& p);
  Reply stubFlashBlock(const Packet& p);
  Reply stubFlashEnd(const Packet& p);
  Reply stubSpiFlashMd5(const Packet& p);
  Reply stubEraseFlash(const Packet& p);
  Reply stubEraseRegion(const Packet& p);
  Reply stubReadFlash(const Packet& p);
  bool stubInBounds(uint32_t addr, uint32_t len) const;
  // Erases what of the write region lies below `end` and is not erased yet; returns the time.
  int64_t stubEraseUpTo(uint64_t end);
  // Erases [addr, addr + len) (4 KiB-aligned) as 64 KiB blocks where they fit, sectors elsewhere.
  int64_t stubErase(uint32_t addr, uint32_t len);
  void stubProgram(uint32_t addr, std::span<const uint8_t> bytes, int64_t& workUs);
  void stubOnAck(const std::vector<uint8_t>& frame, int64_t atUs);
  void stubPumpRead(int64_t atUs);
  void stubStart();
  // A frame the stub dropped (too long, or bytes lost to an overflow) is answered at its end.
  void stubAnswerDropped(uint8_t opcode, uint8_t error, int64_t atUs);
  void stubCountRxByte(int64_t atUs);
  void stubFrameEnded(int64_t atUs);
  // Answer, boot-text noise and follow-up work (VirtualEsp32.cpp).
  void sendReply(const Reply& r, int64_t startUs, bool badEscape);
  void runAfter(After after, uint32_t arg, int64_t atUs);
  void jumpTo(uint32_t entry, int64_t atUs);
  const SimFault* faultAt(SimFaultKind kind, uint32_t position) const;

  VirtualClock& clock_;
  VirtualEsp32Options options_;
  SimFlash flash_;
  std::vector<SimFault> faults_;

  // Bridge and UART.
  bool portOpen_ = false;
  bool unplugged_ = false;
  uint32_t portBaud_ = 9600;
  bool dtr_ = false;
  bool rts_ = false;
  std::deque<uint8_t> rx_;       // arrived at the port, waiting to be read
  std::deque<LineByte> toPort_;  // sent by the chip, still on the line
  std::deque<LineByte> toChip_;  // written by the host, still on the line
  int64_t chipTxFreeNs_ = 0;     // the chip's transmitter is busy until then
  int64_t hostTxFreeNs_ = 0;     // the bridge's transmitter is busy until then
  std::string chatter_;          // repeated without pause while not empty
  size_t chatterPos_ = 0;

  // Board.
  bool enHigh_ = true;
  uint64_t enRiseTask_ = 0;
  std::map<uint64_t, VirtualClock::TaskId> tasks_;
  uint64_t nextTaskKey_ = 1;
  uint64_t epoch_ = 0;  // bumped by every reset; chip tasks of an older epoch do nothing

  // Chip.
  Mode mode_ = Mode::kApplication;
  uint32_t chipBaud_ = kBootBaud;
  bool autobaud_ = false;
  SimSlipDecoder decoder_{kMaxFrame};
  int64_t busyUntilUs_ = 0;
  std::map<uint32_t, uint32_t> writtenRegs_;
  uint32_t flashDataCount_ = 0;  // FLASH_DATA and FLASH_DEFL_DATA, for the positional faults
  uint32_t memDataCount_ = 0;    // MEM_DATA, for mem-fail
  uint32_t readAckCount_ = 0;    // READ_FLASH acknowledgements, for drop-ack
  bool corruptBlock_ = false;
  bool damageInflate_ = false;
  bool loseBlock_ = false;        // the rx-overflow fault hits this block
  int64_t baudSwitchFromUs_ = 0;  // host bytes arriving in [from, end) are garbled
  int64_t baudSwitchEndUs_ = 0;

  // ROM loader state.
  uint8_t romLastOpcode_ = 0;
  uint32_t romLastValue_ = 0;
  uint8_t romLastError_ = 0;
  bool memActive_ = false;
  uint32_t memSize_ = 0;
  uint32_t memBlockSize_ = 0;
  uint32_t memNextSeq_ = 0;
  std::vector<MemSegment> ram_;
  bool romFlashActive_ = false;
  bool romDeflate_ = false;    // the write in progress is a compressed one
  bool romStreamGap_ = false;  // a compressed block failed, so the stream misses a slice
  uint32_t romFlashAddr_ = 0;
  uint32_t romFlashEnd_ = 0;  // end of the announced uncompressed region
  uint32_t romBlockSize_ = 0;
  uint32_t romNextSeq_ = 0;
  SimInflater inflater_;

  // Stub state.
  uint32_t stubFlashBound_ = kStubDefaultFlashSize;
  bool stubFlashActive_ = false;
  bool stubDeflate_ = false;
  uint32_t stubOffset_ = 0;
  uint32_t stubEraseSize_ = 0;
  uint32_t stubBlockSize_ = 0;
  uint32_t stubNextSeq_ = 0;
  uint32_t stubWriteAddr_ = 0;    // where the next inflated bytes go
  uint32_t stubErasedTo_ = 0;     // the region is erased from its offset up to here
  uint8_t stubPendingError_ = 0;  // a write that failed after its block was answered
  bool stubReading_ = false;
  uint32_t stubReadAddr_ = 0;
  uint32_t stubReadLen_ = 0;
  uint32_t stubReadPacket_ = 0;
  uint32_t stubReadInFlight_ = 0;
  uint32_t stubReadSent_ = 0;
  uint32_t stubReadAcked_ = 0;
  bool stubTooLong_ = false;  // a frame over the limit is being skipped
  uint8_t stubTooLongOpcode_ = 0;
  bool stubRxOverflow_ = false;  // the frame being received lost bytes
  uint64_t stubRxArrived_ = 0;   // bytes the ring took since the stub started
  uint64_t stubRxDecoded_ = 0;   // of them, those the stub has decoded (freed)
  // Frames that ended: when the stub decodes its way to their end, and that end's byte count.
  std::deque<std::pair<int64_t, uint64_t>> stubRxDecodes_;
  int64_t requestEndUs_ = INT64_MIN / 2;  // the last request's closing END, for the bridge

  // Record.
  std::vector<SimCommand> commands_;
  std::vector<SimLineChange> lineChanges_;
  std::vector<SimBaudChange> baudChanges_;
  std::vector<Boot> boots_;

  // The program in flash, once it runs (last: it refers to faults_).
  bool replugPending_ = false;  // back while the host still held the vanished port
  SimApplication app_;
  void plugIn();
};

}  // namespace flintmoor
