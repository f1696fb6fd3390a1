// The flash operations inside an open session: images written (plain blocks, or the changed
// regions as compressed streams) and verified, the flash or a region erased, flash read into a
// file.
#include "job/Operations.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <system_error>
#include <vector>

#include "base/Clock.h"
#include "base/Md5.h"
#include "base/Text.h"
#include "esp/Deflate.h"
#include "esp/PacketLink.h"
#include "job/FlashJob.h"
#include "job/Session.h"
#include "log/Log.h"

namespace flintmoor {

namespace {

// How often a stream with a block the chip received damaged is sent again from its begin before
// the line counts as failed.
constexpr int kStreamResends = 2;

std::string openError(const std::string& name, const std::string& reason) {
  return "Cannot open file \"" + name + "\". " + reason;
}

// Reads a whole image that must fit the flash from `address` on; a larger file is refused before
// it is read (its length would not even fit the write commands' 32-bit size).
// Raises "Image too large" when `size` bytes at `address` do not fit the flash.
void checkImageFits(const std::string& name, uintmax_t size, uint32_t address, uint32_t flashSize) {
  if (size > flashSize - std::min(address, flashSize)) {
    throw Exception("Image too large: \"" + name + "\" does not fit the " +
                    flashSizeText(flashSize) + " flash at " + hexText(address));
  }
}

std::vector<uint8_t> loadFile(const std::string& name, uint32_t address, uint32_t flashSize) {
  const std::filesystem::path path = pathOf(name);
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) throw Exception(openError(name, ec.message()));
  checkImageFits(name, size, address, flashSize);
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int err = errno;
    throw Exception(openError(name, err != 0 ? std::strerror(err) : "Access denied"));
  }
  std::vector<uint8_t> data(size);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size));
  if (static_cast<uintmax_t>(in.gcount()) != size) {
    throw Exception("Cannot read file \"" + name + "\"");
  }
  return data;
}

std::string hexDigest(std::span<const uint8_t> digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : digest) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0x0F]);
  }
  return text;
}

void event(OperationReport& report, JobEvent::Kind kind, const std::string& file = {},
           uint32_t address = 0, uint32_t size = 0, uint32_t done = 0) {
  report.event(JobEvent{kind, {}, file, address, size, done});
}

void verify(Session& session, OperationReport& report, const std::vector<uint8_t>& image,
            uint32_t address, const std::string& file) {
  report.status("Verify");
  event(report, JobEvent::Kind::kImageVerify, file, address, static_cast<uint32_t>(image.size()));
  report.pump();
  const std::array<uint8_t, 16> sent = md5(image);
  uint8_t flash[16];
  session.loader().md5(address, static_cast<uint32_t>(image.size()), flash);
  if (std::memcmp(sent.data(), flash, sent.size()) != 0) {
    session.log().F("Verify %x: flash %s, sent %s", {address, hexDigest(flash), hexDigest(sent)});
    throw VerifyError();
  }
}

// The image in plain blocks through the loader, with its pauses; returns the bytes written.
uint32_t writeBlocks(Session& session, OperationReport& report, const std::vector<uint8_t>& image,
                     uint32_t address, const std::string& file, bool eraseWholeBlocks) {
  Loader& loader = session.loader();
  const LoaderCaps caps = loader.caps();
  const auto size = static_cast<uint32_t>(image.size());
  loader.begin(address, size, eraseWholeBlocks);
  for (uint32_t written = 0; written < size;) {
    const uint32_t block = std::min(caps.blockSize, size - written);
    report.pump();
    loader.writeBlock(image.data() + written, block);
    event(report, JobEvent::Kind::kImageProgress, file, address, size, written + block);
    if (caps.pauseAfterBlockMs > 0) session.clock().sleepMs(caps.pauseAfterBlockMs);
    written += block;
  }
  return size;
}

// One zlib stream of `part`, the bytes at `offset` of the image of `size` bytes at `address`;
// progress counts the share of the stream that the blocks sent so far complete.
void sendStream(Session& session, OperationReport& report, std::span<const uint8_t> part,
                uint32_t address, uint32_t offset, const std::string& file, uint32_t size) {
  Loader& loader = session.loader();
  const uint32_t blockSize = loader.caps().blockSize;
  const auto length = static_cast<uint32_t>(part.size());
  const std::vector<uint8_t> packed = zlibCompress(part);
  const auto packedSize = static_cast<uint32_t>(packed.size());
  loader.beginCompressed(address + offset, length, packedSize);
  for (uint32_t sent = 0; sent < packedSize;) {
    const uint32_t block = std::min(blockSize, packedSize - sent);
    const uint64_t done = uint64_t{length} * (sent + block) / packedSize;
    report.pump();
    loader.writeCompressed(packed.data() + sent, block, length);
    event(report, JobEvent::Kind::kImageProgress, file, address, size,
          offset + static_cast<uint32_t>(done));
    sent += block;
  }
  loader.endCompressed();
}

// The stream sent again from its begin, up to two times, when the chip reports a block arrived
// damaged.
void writeStream(Session& session, OperationReport& report, std::span<const uint8_t> part,
                 uint32_t address, uint32_t offset, const std::string& file, uint32_t size) {
  for (int resend = 1;; ++resend) {
    try {
      sendStream(session, report, part, address, offset, file, size);
      return;
    } catch (const LineError& e) {
      if (e.fault() != TPacketFault::pfChecksum || resend > kStreamResends) throw;
      session.log().S(std::string(e.what()) + ": a block arrived damaged; writing " +
                      hexText(address + offset) + " again from its begin (" +
                      std::to_string(resend) + " of " + std::to_string(kStreamResends) + ")");
    }
  }
}

// The chip's MD5 of `wanted.size()` bytes at address equals the MD5 of `wanted`.
bool flashHolds(Loader& loader, uint32_t address, std::span<const uint8_t> wanted) {
  uint8_t flash[16];
  loader.md5(address, static_cast<uint32_t>(wanted.size()), flash);
  const std::array<uint8_t, 16> sum = md5(wanted);
  return std::memcmp(flash, sum.data(), sum.size()) == 0;
}

// Which regions of the image the chip already holds (all false when nothing is compared). A
// region's first sector is compared first: on a blank chip or over other data it differs, and the
// chip need not read the rest of the region to say so.
std::vector<bool> unchangedRegions(Session& session, OperationReport& report,
                                   std::span<const uint8_t> bytes, uint32_t address, bool compare) {
  Loader& loader = session.loader();
  const LoaderCaps caps = loader.caps();
  const uint32_t probe = session.flash().sector;
  const auto size = static_cast<uint32_t>(bytes.size());
  std::vector<bool> unchanged;
  for (uint32_t offset = 0; offset < size; offset += caps.regionSize) {
    const std::span<const uint8_t> region =
        bytes.subspan(offset, std::min(caps.regionSize, size - offset));
    bool same = false;
    if (compare && caps.skipByMd5) {
      same = region.size() <= probe || flashHolds(loader, address + offset, region.first(probe));
      same = same && flashHolds(loader, address + offset, region);
    }
    unchanged.push_back(same);
    report.checkStop();
  }
  return unchanged;
}

// The image's changed regions, each one compressed stream (or each run of them, where the loader
// joins them); returns the bytes written.
uint32_t writeRegions(Session& session, OperationReport& report, const std::vector<uint8_t>& image,
                      uint32_t address, const std::string& file, bool skipUnchanged) {
  const LoaderCaps caps = session.loader().caps();
  const uint32_t kRegionSize = caps.regionSize;
  const auto size = static_cast<uint32_t>(image.size());
  const std::span<const uint8_t> bytes(image);
  const std::vector<bool> unchanged =
      unchangedRegions(session, report, bytes, address, skipUnchanged);
  uint32_t skipped = 0;
  for (size_t region = 0; region < unchanged.size(); ++region) {
    if (unchanged[region]) skipped += std::min(kRegionSize, size - uint32_t(region) * kRegionSize);
  }
  if (skipped > 0) {
    const std::string text = displayFileName(file) + ": " + std::to_string(skipped) + " of " +
                             std::to_string(size) + " bytes unchanged, skipped";
    session.log().S(text);
    report.status(text);
    event(report, JobEvent::Kind::kImageSkip, file, address, size, skipped);
    report.pump();
  }

  const auto regions = static_cast<uint32_t>(unchanged.size());
  for (uint32_t region = 0; region < regions;) {
    const uint32_t offset = region * kRegionSize;
    if (unchanged[region]) {
      event(report, JobEvent::Kind::kImageUnchanged, file, address, size,
            std::min(size, offset + kRegionSize));
      report.pump();
      ++region;
      continue;
    }
    uint32_t last = region + 1;
    while (caps.joinRegions && last < regions && !unchanged[last]) ++last;
    const uint32_t end = std::min(size, last * kRegionSize);
    writeStream(session, report, bytes.subspan(offset, end - offset), address, offset, file, size);
    region = last;
  }
  return size - skipped;
}

}  // namespace

void writeImage(Session& session, OperationReport& report, const ImageToWrite& wanted,
                const WriteOptions& options) {
  const std::string& name = wanted.file;
  const uint32_t address = wanted.address;
  report.status(displayFileName(name));
  report.pump();

  std::vector<uint8_t> image = loadFile(name, address, session.flash().size);
  const auto size = static_cast<uint32_t>(image.size());
  event(report, JobEvent::Kind::kImageBegin, name, address, size);

  // The bootloader is written for DIO mode and a 4 MB flash at 40 MHz whatever its header says;
  // only this copy changes, never the file.
  if (wanted.patchHeader && size >= 4 && image[0] == 0xE9) {
    image[2] = 0x02;
    image[3] = 0x20;
    session.log().BUFF(image.data(), static_cast<int>(std::min<uint32_t>(size, 6)));
  }

  report.idle();

  const LoaderCaps caps = session.loader().caps();
  const uint32_t written =
      caps.compressedWrites
          ? writeRegions(session, report, image, address, name, options.skipUnchanged)
          : writeBlocks(session, report, image, address, name, options.eraseWholeBlocks);
  if (written > 0) verify(session, report, image, address, name);
  event(report, JobEvent::Kind::kImageDone, name, address, size, size);

  report.status("OK");
  report.idle();
  // A loader that answers each block once it is written needs no pause; the stub is given time
  // to settle.
  if (caps.pauseAfterImageMs > 0) session.clock().sleepMs(caps.pauseAfterImageMs);
}

void eraseFlash(Session& session, OperationReport& report) {
  const uint32_t size = session.flash().size;
  report.status("Erasing, please wait...");
  event(report, JobEvent::Kind::kEraseBegin, {}, 0, size);
  report.pump();
  session.loader().eraseAll(size);
  event(report, JobEvent::Kind::kEraseDone, {}, 0, size);
  report.status("OK");
  report.idle();
}

void eraseFlashRegion(Session& session, OperationReport& report, uint32_t address, uint32_t size) {
  checkInsideFlash(session.flash(), address, size);
  report.status("Erasing, please wait...");
  event(report, JobEvent::Kind::kEraseBegin, {}, address, size);
  report.pump();
  session.loader().eraseRegion(address, size);
  event(report, JobEvent::Kind::kEraseDone, {}, address, size);
  report.status("OK");
  report.idle();
}

void readFlashToFile(Session& session, OperationReport& report, uint32_t address, uint32_t size,
                     const std::string& outFile) {
  constexpr uint32_t kProgressStep = 1024;
  checkInsideFlash(session.flash(), address, size);
  report.status("Reading " + displayFileName(outFile));
  event(report, JobEvent::Kind::kReadBegin, outFile, address, size);
  report.pump();
  std::vector<uint8_t> data(size);
  uint32_t shownAt = 0;
  session.loader().read(address, size, data.data(), [&](uint32_t offset) {
    if (offset - shownAt >= kProgressStep || offset == size) {
      shownAt = offset;
      event(report, JobEvent::Kind::kReadProgress, outFile, address, size, offset);
      report.pump();
    } else {
      report.checkStop();
    }
  });
  verify(session, report, data, address, outFile);
  saveFileAtomically(outFile, data);
  session.log().S("Read " + std::to_string(size) + " bytes at " + hexText(address) + " into " +
                  outFile);
  event(report, JobEvent::Kind::kReadDone, outFile, address, size, size);
  report.idle();
}

void checkInsideFlash(const FlashGeometry& flash, uint32_t address, uint32_t size) {
  if (address < flash.size && size <= flash.size - address) return;
  throw Exception(hexText(address) + " + " + hexText(size) + " lies outside the " +
                  flashSizeText(flash.size) + " flash");
}

void checkImagesInsideFlash(const FlashGeometry& flash, const std::vector<ImageToWrite>& images) {
  for (const ImageToWrite& image : images) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(pathOf(image.file), ec);
    if (!ec) checkImageFits(image.file, size, image.address, flash.size);
  }
}

void saveFileAtomically(const std::string& path, const std::vector<uint8_t>& data) {
  const std::filesystem::path target = pathOf(path);
  std::filesystem::path part = target;
  part += ".part";
  std::error_code ec;
  {
    errno = 0;
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    if (out) {
      out.write(reinterpret_cast<const char*>(data.data()),
                static_cast<std::streamsize>(data.size()));
      out.close();
    }
    if (!out) {
      const int err = errno;
      std::filesystem::remove(part, ec);
      throw Exception("Cannot write file \"" + path + "\". " +
                      (err != 0 ? std::strerror(err) : "Write failed"));
    }
  }
  std::filesystem::rename(part, target, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(part, ignored);
    throw Exception("Cannot write file \"" + path + "\". " + ec.message());
  }
}

}  // namespace flintmoor
