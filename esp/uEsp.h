// The chip protocol object TEsp: the loader commands over the packet link (esp/PacketLink.h), each
// by its row of esp/Commands.h, and the upload of the flasher stub. All buffers are fields;
// sending and receiving allocate nothing. The packet layer reports through result codes; the
// commands raise LineError or ChipRefusal (both an Exception) with the system's short texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "esp/Chip.h"
#include "esp/Commands.h"
#include "esp/PacketLink.h"

namespace flintmoor {

class TComIo;
class Log;
class SkippedBytes;

// The five values of a flasher stub image. The spans point into the image that was read.
struct StubImage {
  std::span<const uint8_t> text;
  uint32_t textStart = 0;
  uint32_t entry = 0;
  std::span<const uint8_t> data;
  uint32_t dataStart = 0;
};

// Reads a stub image in the resource layout: a protocol-3 pickle of the dictionary {text,
// text_start, entry, data, data_start}, text as 32-bit-length bytes, data as one-byte-length
// bytes, the addresses as 4-byte integers; L + D + 102 bytes in all. The offsets follow from the
// text length L and the data length D. Every fixed byte (opcodes, memo indices, key names and
// their lengths) and the total length are checked; any mismatch raises Exception("Error Stub
// Image").
StubImage readStubImage(std::span<const uint8_t> image);

class TEsp {
 public:
  TEsp(TComIo& com, Log& log);

  // --- Packet layer (PacketLink): raises nothing but the serial port's EComPort, and
  // std::length_error for a payload larger than a request (sent nowhere).
  void sendPacket(const uint8_t* ptr, uint16_t cnt, uint8_t com) {
    link_.sendPacket(ptr, cnt, com);
  }
  int32_t getPacket(int32_t Timeout, bool ChkDir) { return link_.getPacket(Timeout, ChkDir); }
  PacketLink& link() { return link_; }
  const TResponse& response() const { return link_.response(); }
  // The line's part in the last exchange (PacketLink::lastFault).
  TPacketFault lastFault() const { return link_.lastFault(); }
  // getPacket's capture of the bytes its frame hunt skips: link().SkipCapture.

  // --- Bootloader commands. Each takes as its answer the first frame whose command byte is the
  // request's opcode; frames answering another command are skipped as stale (and logged as
  // "Stale answer %0.2x skipped, waiting for %0.2x" with a dump), within the command's time-out.
  // A reply too short to carry the status byte (and, where it is read, the error code) counts as
  // no reply. Time-outs and what counts as a good answer are the rows of esp/Commands.h. A
  // failure is a LineError when nothing (or a damaged frame) came or the chip saw a damaged
  // packet, a ChipRefusal otherwise; both carry the messages given here.

  // CHANGE_BAUDRATE, 200 ms. Only when the chip agreed does the port switch to newBaud; it then
  // waits 50 ms (the ROM's switch, and the END END it sends at the new speed) and drains the
  // input (ComFlush). Otherwise nothing happens and nothing is raised.
  void changeBaud(uint32_t newBaud, uint32_t oldBaud);
  // READ_REG, 300 ms; value receives the register only on success. "Read Reg: 0x%0.8x".
  void readReg(uint32_t adr, uint32_t& value);
  // WRITE_REG (mask all ones, delay 0), 300 ms. "Write Reg: 0x%0.8x".
  void writeReg(uint32_t adr, uint32_t value);
  // SPI_ATTACH with one zero word (the stub's form), 100 ms. "Error SPI_ATTACH".
  void spiAttach();
  // ERASE_FLASH, 20000 ms; always dumps Response. "Error ERASE_FLASH".
  void eraseChip();
  // FLASH_BEGIN for the stub, 5000 ms; logs BLK/ERA/ADR; any reply frame succeeds (the status is
  // not examined); Sequence := 0. "Error Flash Start" (also for a BlockSize of 0, sent nowhere).
  // With wholeBlocks false the erase size announced is ImageSize rounded up to 4 KiB sectors
  // instead of whole blocks, so that nothing past the image's last sector is erased.
  void flashStart(uint32_t Offset, uint32_t ImageSize, uint32_t BlockSize, bool wholeBlocks = true);
  // FLASH_DATA of one block of at most 16400 bytes, 2000 ms. "Error Flash Write" without a
  // reply (or for a larger block, sent nowhere); "Error Flash" after logging the sequence, status
  // and error code and dumping Request when the status is not 0. Sequence grows on success.
  void flashWrite(const uint8_t* ptr, uint32_t size);

  // --- Commands for writing through the ROM loader.

  // SPI_ATTACH with eight zero bytes (the ROM's form), 100 ms. "Error SPI_ATTACH".
  void romSpiAttach();
  // SPI_SET_PARAMS for the flash Flash describes (4 MiB: blocks 64 KiB, sectors 4 KiB, pages
  // 256), 100 ms.
  // "Error SPI_SET_PARAMS".
  void spiSetParams();
  // FLASH_BEGIN with 4096-byte blocks, logged like flashStart. The ROM erases the region before
  // it answers, so the time-out is 5000 ms plus 2000 ms per started 64 KiB of the erase size.
  // Needs a reply with status 0; "Error Flash Start". Sequence := 0.
  void romFlashStart(uint32_t Offset, uint32_t ImageSize);
  // FLASH_DEFL_BEGIN: ImageSize uncompressed bytes at Offset arrive as one zlib stream of
  // CompressedSize bytes in 4096-byte blocks. The ROM erases the sectors covering ImageSize before
  // it answers: time-out as romFlashStart's for that size. Logs BLK/ERA/ADR as flashStart, then
  // "ZIP: %d" with CompressedSize. Needs status 0; "Error Flash Start". Sequence := 0.
  void flashDeflStart(uint32_t Offset, uint32_t ImageSize, uint32_t CompressedSize);
  // FLASH_DEFL_DATA: the next slice (at most 4096 bytes) of the stream. The ROM inflates and
  // writes before it answers, and a slice may inflate to far more than its size: mayInflateTo
  // bounds the uncompressed bytes it can produce (the job passes the size of its region),
  // and the time-out is 2000 ms plus 10 ms per started KiB of it (flash programs at about 3 ms
  // per KiB). Errors as flashWrite; a stream the ROM cannot inflate is its status 1, error 0x0B:
  // "Error Flash".
  void flashDeflWrite(const uint8_t* ptr, uint32_t size, uint32_t mayInflateTo);
  // SPI_FLASH_MD5 of size bytes at addr; 5000 ms plus 2000 ms per started MiB. Takes the ROM's
  // reply (32 hex digits, then status) or the stub's (16 raw bytes, then status); digest is
  // written only on success. "Error SPI_FLASH_MD5".
  void flashMd5(uint32_t addr, uint32_t size, uint8_t digest[16]);
  // READ_FLASH_SLOW of `size` bytes (1 to kReadSlowChunk) at addr, 100 ms: the ROM answers those
  // bytes of flash (perhaps padded to 64), then its four status bytes. Writes `size` bytes to
  // out on success; "Error Read Flash" without a well-formed answer with status 0.
  static constexpr uint32_t kReadSlowChunk = 64;
  void readFlashSlow(uint32_t addr, uint32_t size, uint8_t* out);

  // --- The flasher stub's fast commands (esp/StubCommands.cpp).

  // FLASH_DEFL_BEGIN for the stub: ImageSize bytes at Offset as one zlib stream of CompressedSize
  // bytes in blocks of BlockSize; the stub erases as the blocks arrive. Logged as flashDeflStart;
  // needs status 0, "Error Flash Start". Sequence := 0.
  void stubDeflStart(uint32_t Offset, uint32_t ImageSize, uint32_t CompressedSize,
                     uint32_t BlockSize);
  // FLASH_DEFL_DATA of one slice of at most kStubBlock bytes; the stub answers once it has the
  // slice whole and inflates and writes it while the next ones come. The slice is sent at once
  // while the slices sent and not yet answered, this one included, take at most StubWindow bytes
  // on the line (the stub's receive ring); otherwise the oldest answers are awaited first. Each
  // answer is judged as flashWrite judges its own, with that slice's sequence in the log. After
  // a failed answer the answers to the slices behind it are awaited and dropped while the line
  // brings frames (no later purge then cuts a slice still leaving), and the window is empty; an
  // answer that still comes later is skipped as stale by the next command.
  // An answer may wait for the flash work of the slice before it and for every unanswered byte
  // to cross the line: its time-out is the slice's own (2000 ms plus 10 ms per started KiB of
  // mayInflateTo) plus the line time, at the port's speed, of the bytes unanswered when the wait
  // begins.
  static constexpr uint32_t kStubBlock = 0x4000;
  void stubDeflWrite(const uint8_t* ptr, uint32_t size, uint32_t mayInflateTo);
  // FLASH_DEFL_END staying in the stub, once every slice is answered: waits for the writes in
  // progress and reports theirs. "Error Flash End".
  void stubDeflEnd();
  // The escaped request bytes the host lets go unanswered in a compressed write: the stub's
  // receive ring (kStubRxRingSize). A slice alone always goes, whatever this says.
  uint32_t StubWindow;
  // The most slices unanswered at once, and how many there are now.
  static constexpr size_t kMaxInFlight = 64;
  size_t slicesInFlight() const { return inFlightCount_; }
  // ERASE_REGION of size bytes at address (both 4 KiB-aligned). "Error Erase Region".
  void eraseRegion(uint32_t address, uint32_t size);
  // READ_FLASH of size bytes at address into out: the data streams in packets of kReadPacket
  // bytes, each acknowledged with the bytes received so far, then the stub's MD5 of the range,
  // which must match what arrived. "Error Read Flash" for a refusal, a packet missing or too long,
  // or a digest that differs. onPacket(bytes so far) after each packet (it may raise).
  static constexpr uint32_t kReadPacket = 4096;
  static constexpr uint32_t kReadInFlight = 4;
  void readFlash(uint32_t address, uint32_t size, uint8_t* out,
                 const std::function<void(uint32_t)>& onPacket);

  // --- Flasher stub upload: MEM_BEGIN/MEM_DATA per segment, MEM_END, then the "OHAI" greeting.
  // The image is read (and checked) before anything is sent. The ESP32 variant uses 6144-byte
  // blocks and announces 0 blocks for a text that fits one; the ESP32-S2 variant 2048-byte blocks.

  // From the built-in resource "STUB_ESP32" / "STUB_ESP32S2"; an absent resource raises
  // "Resource STUB_ESP32S2 not found" (with its name).
  void ESP32_InstallStub();
  void ESP32S2_InstallStub();
  void ESP32_InstallStub(std::span<const uint8_t> image);
  void ESP32S2_InstallStub(std::span<const uint8_t> image);
  // The same for any chip's upload plan, from its resource or from `image`.
  void installStub(const StubUpload& plan);
  void installStub(const StubUpload& plan, std::span<const uint8_t> image);

  // The flash the commands address: its size bounds flashStart's erase and goes out with
  // spiSetParams. The ESP32's 4 MiB until the connection names another.
  FlashGeometry Flash = defaultChip().flash;

 private:
  void loadSegment(const StubUpload& plan, std::span<const uint8_t> seg, uint32_t addr, bool text);
  // One *_DATA packet of the flash writes with the Sequence number; the errors of flashWrite.
  void writeBlock(const CommandRule& rule, const uint8_t* ptr, uint32_t size, int32_t timeout);
  // Raises the failure an answer to data block `sequence` shows, if any (flashWrite's errors);
  // `dump` logs the request, which must be that block's.
  void judgeBlock(const Reply& r, int32_t sequence, bool dump);
  // Awaits and judges the oldest unanswered slice. On a failure the answers to the slices after
  // it are awaited and dropped while frames keep coming, then the window is empty.
  void awaitOldestSlice();
  // OutBuf sent as `rule`'s command; the reply judged by its rule.
  Reply exchange(const CommandRule& rule, int32_t timeout);
  // exchange, raising `message` unless the rule accepts the answer.
  void require(const CommandRule& rule, int32_t timeout, const std::string& message);
  void logFlashBegin(uint32_t Offset, uint32_t blocks, uint32_t eraseSize);

  TComIo& com_;
  Log& log_;

  int32_t Sequence = 0;
  // The compressed slices sent and not yet answered: a ring of kMaxInFlight, oldest at first.
  struct SliceInFlight {
    int32_t sequence;
    uint32_t lineBytes;
    int32_t timeoutMs;
  };
  SliceInFlight inFlight_[kMaxInFlight] = {};
  // Takes the oldest slice off the window; timeoutMs: how long its answer may take from now.
  SliceInFlight popOldestSlice(int32_t& timeoutMs);
  size_t inFlightFirst_ = 0;
  size_t inFlightCount_ = 0;
  uint64_t inFlightBytes_ = 0;
  Payload OutBuf;  // built with addOut (Payload::addOut, or its word and bytes forms)
  // Last: the response buffer ends the object.
  PacketLink link_;
};

}  // namespace flintmoor
