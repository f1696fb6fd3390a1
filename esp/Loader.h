// The program on the chip that takes the flash commands: its ROM loader, or the flasher stub the
// tool uploads. Each says what it can do; the flash job asks it instead of telling them apart.
// New capabilities (a loader's faster commands) are new fields and methods here, not new branches
// in the job.
#pragma once

#include <cstdint>
#include <functional>

#include "esp/Chip.h"

namespace flintmoor {

class TEsp;
class Clock;

struct LoaderCaps {
  bool compressedWrites = false;  // beginCompressed/writeCompressed: one zlib stream per region
  bool skipByMd5 = false;         // writes only the regions whose MD5 differs (the job compares)
  bool regionErase = false;       // eraseRegion
  bool chipErase = false;         // eraseAll is the chip's own erase, not a write announced
  bool read = false;              // readBlock
  uint32_t blockSize = 0;         // bytes per write block (plain or compressed)
  uint32_t readBlockSize = 0;     // bytes per readBlock at most
  uint32_t regionSize = 0;        // bytes compared by MD5 (and, alone, compressed as one stream)
  bool joinRegions = false;   // neighbouring changed regions go as one stream, ended by endWrite
  int pauseAfterBlockMs = 0;  // waits the loader needs after each plain block
  int pauseAfterImageMs = 0;  // and after each image
};

class Loader {
 public:
  explicit Loader(TEsp& esp) : esp_(esp) {}
  virtual ~Loader() = default;
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  // "ROM loader", "flasher stub": for the log's "Writing through the ..." line.
  virtual const char* name() const = 0;
  virtual LoaderCaps caps() const = 0;
  // Makes it ready for flash commands on `chip` (attach the flash; upload and start the stub).
  virtual void start(const ChipDescription& chip) = 0;

  // A plain write: size bytes at address in blocks of caps().blockSize; wholeBlocks false erases
  // only the sectors the image covers where the loader lets the tool choose.
  virtual void begin(uint32_t address, uint32_t size, bool wholeBlocks) = 0;
  virtual void writeBlock(const uint8_t* data, uint32_t size) = 0;
  // A compressed write (caps().compressedWrites): size bytes at address as one zlib stream of
  // packedSize bytes; each block may inflate to at most mayInflateTo bytes.
  virtual void beginCompressed(uint32_t address, uint32_t size, uint32_t packedSize);
  virtual void writeCompressed(const uint8_t* data, uint32_t size, uint32_t mayInflateTo);
  // Ends a compressed write once its blocks are all sent: waits for the loader's writes in
  // progress and raises their failure. Nothing for a loader that writes before it answers.
  virtual void endCompressed() {}

  // The chip's MD5 of size bytes at address.
  virtual void md5(uint32_t address, uint32_t size, uint8_t digest[16]);
  virtual void eraseRegion(uint32_t address, uint32_t size);
  // The whole flash of flashSize bytes.
  virtual void eraseAll(uint32_t flashSize) = 0;
  // size bytes (at most caps().readBlockSize) at address into out.
  virtual void readBlock(uint32_t address, uint32_t size, uint8_t* out);
  // size bytes at address into out, any amount; progress(bytes so far) after each piece that
  // arrived (it may raise to stop the read). readBlock after readBlock unless the loader streams.
  using ReadProgress = std::function<void(uint32_t)>;
  virtual void read(uint32_t address, uint32_t size, uint8_t* out, const ReadProgress& progress);
  // Both ends switch to newBaud when the chip agrees (TEsp::changeBaud).
  virtual void changeSpeed(uint32_t newBaud, uint32_t oldBaud);

 protected:
  // What a loader without the capability raises: a programming error.
  [[noreturn]] static void unsupported(const char* what);
  TEsp& esp_;
};

// The chip's ROM loader: 4 KiB blocks, compressed writes, regions skipped by MD5, erasing by
// announcing a write (it knows no erase of its own), reading 64 bytes at a time.
class RomLoader final : public Loader {
 public:
  using Loader::Loader;
  const char* name() const override { return "ROM loader"; }
  LoaderCaps caps() const override;
  void start(const ChipDescription& chip) override;
  void begin(uint32_t address, uint32_t size, bool wholeBlocks) override;
  void writeBlock(const uint8_t* data, uint32_t size) override;
  void beginCompressed(uint32_t address, uint32_t size, uint32_t packedSize) override;
  void writeCompressed(const uint8_t* data, uint32_t size, uint32_t mayInflateTo) override;
  void eraseRegion(uint32_t address, uint32_t size) override;
  void eraseAll(uint32_t flashSize) override;
  void readBlock(uint32_t address, uint32_t size, uint8_t* out) override;
};

// The flasher stub, uploaded from the chip's row. Plain, as the window's update and erase have
// always used it: 16 KiB plain blocks with the pauses (50 ms after a block, 200 ms after an
// image), its own chip erase. Fast, as the command line's write, read and erase-region use it:
// compressed writes in 16 KiB slices answered as they arrive, regions skipped by MD5, its region
// erase and its streamed read.
class StubLoader final : public Loader {
 public:
  explicit StubLoader(TEsp& esp, bool fast = false) : Loader(esp), fast_(fast) {}
  const char* name() const override { return "flasher stub"; }
  LoaderCaps caps() const override;
  void start(const ChipDescription& chip) override;
  void begin(uint32_t address, uint32_t size, bool wholeBlocks) override;
  void writeBlock(const uint8_t* data, uint32_t size) override;
  void beginCompressed(uint32_t address, uint32_t size, uint32_t packedSize) override;
  void writeCompressed(const uint8_t* data, uint32_t size, uint32_t mayInflateTo) override;
  void endCompressed() override;
  void eraseRegion(uint32_t address, uint32_t size) override;
  void eraseAll(uint32_t flashSize) override;
  void readBlock(uint32_t address, uint32_t size, uint8_t* out) override;
  void read(uint32_t address, uint32_t size, uint8_t* out, const ReadProgress& progress) override;

 private:
  bool fast_;
};

}  // namespace flintmoor
