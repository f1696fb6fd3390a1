// The two loaders over the protocol object's commands.
#include "esp/Loader.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "esp/uEsp.h"

namespace flintmoor {

void Loader::unsupported(const char* what) {
  throw std::logic_error(std::string("the loader has no ") + what);
}

void Loader::beginCompressed(uint32_t, uint32_t, uint32_t) {
  unsupported("compressed write");
}
void Loader::writeCompressed(const uint8_t*, uint32_t, uint32_t) {
  unsupported("compressed write");
}
void Loader::md5(uint32_t address, uint32_t size, uint8_t digest[16]) {
  esp_.flashMd5(address, size, digest);
}
void Loader::eraseRegion(uint32_t, uint32_t) {
  unsupported("region erase");
}
void Loader::readBlock(uint32_t, uint32_t, uint8_t*) {
  unsupported("flash read");
}
void Loader::read(uint32_t address, uint32_t size, uint8_t* out, const ReadProgress& progress) {
  const uint32_t chunk = caps().readBlockSize;
  for (uint32_t offset = 0; offset < size;) {
    const uint32_t length = std::min(chunk, size - offset);
    readBlock(address + offset, length, out + offset);
    offset += length;
    progress(offset);
  }
}
void Loader::changeSpeed(uint32_t newBaud, uint32_t oldBaud) {
  esp_.changeBaud(newBaud, oldBaud);
}

// ---------------------------------------------------------------------------------------------
// ROM loader

LoaderCaps RomLoader::caps() const {
  return {.compressedWrites = true,
          .skipByMd5 = true,
          .regionErase = true,
          .chipErase = false,
          .read = true,
          .blockSize = 0x1000,
          .readBlockSize = TEsp::kReadSlowChunk,
          .regionSize = 0x10000};
}

void RomLoader::start(const ChipDescription& chip) {
  esp_.Flash = chip.flash;
  esp_.romSpiAttach();
  esp_.spiSetParams();
}

void RomLoader::begin(uint32_t address, uint32_t size, bool) {
  esp_.romFlashStart(address, size);
}

void RomLoader::writeBlock(const uint8_t* data, uint32_t size) {
  esp_.flashWrite(data, size);
}

void RomLoader::beginCompressed(uint32_t address, uint32_t size, uint32_t packedSize) {
  esp_.flashDeflStart(address, size, packedSize);
}

void RomLoader::writeCompressed(const uint8_t* data, uint32_t size, uint32_t mayInflateTo) {
  esp_.flashDeflWrite(data, size, mayInflateTo);
}

// The ROM erases the sectors an announced write covers before it answers.
void RomLoader::eraseRegion(uint32_t address, uint32_t size) {
  esp_.romFlashStart(address, size);
}

// The ROM loader knows no chip erase: announcing a write of the whole flash erases it.
void RomLoader::eraseAll(uint32_t flashSize) {
  esp_.romFlashStart(0, flashSize);
}

void RomLoader::readBlock(uint32_t address, uint32_t size, uint8_t* out) {
  esp_.readFlashSlow(address, size, out);
}

// ---------------------------------------------------------------------------------------------
// Flasher stub

LoaderCaps StubLoader::caps() const {
  if (fast_) {
    return {.compressedWrites = true,
            .skipByMd5 = true,
            .regionErase = true,
            .chipErase = true,
            .read = true,
            .blockSize = TEsp::kStubBlock,
            .readBlockSize = 0x10000,
            .regionSize = 0x10000,
            .joinRegions = true};
  }
  return {
      .chipErase = true, .blockSize = 0x4000, .pauseAfterBlockMs = 50, .pauseAfterImageMs = 200};
}

void StubLoader::start(const ChipDescription& chip) {
  esp_.Flash = chip.flash;
  esp_.installStub(chip.stub);
  // The stub bounds every flash address by the size it is told.
  if (fast_) esp_.spiSetParams();
}

void StubLoader::beginCompressed(uint32_t address, uint32_t size, uint32_t packedSize) {
  if (!fast_) unsupported("compressed write");
  esp_.stubDeflStart(address, size, packedSize, TEsp::kStubBlock);
}

void StubLoader::writeCompressed(const uint8_t* data, uint32_t size, uint32_t mayInflateTo) {
  esp_.stubDeflWrite(data, size, mayInflateTo);
}

void StubLoader::endCompressed() {
  esp_.stubDeflEnd();
}

void StubLoader::eraseRegion(uint32_t address, uint32_t size) {
  if (!fast_) unsupported("region erase");
  esp_.eraseRegion(address, size);
}

void StubLoader::readBlock(uint32_t address, uint32_t size, uint8_t* out) {
  read(address, size, out, [](uint32_t) {});
}

// One stream for the whole range.
void StubLoader::read(uint32_t address, uint32_t size, uint8_t* out, const ReadProgress& progress) {
  if (!fast_) unsupported("flash read");
  esp_.readFlash(address, size, out, progress);
}

void StubLoader::begin(uint32_t address, uint32_t size, bool wholeBlocks) {
  esp_.flashStart(address, size, caps().blockSize, wholeBlocks);
}

void StubLoader::writeBlock(const uint8_t* data, uint32_t size) {
  esp_.flashWrite(data, size);
}

void StubLoader::eraseAll(uint32_t) {
  esp_.eraseChip();
}

}  // namespace flintmoor
