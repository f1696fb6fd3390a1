// The flash job: the image-file check and the erase and update jobs run against the chip through
// the connection, the protocol object and the serial link, reporting through JobView and the Log.
#include "job/FlashJob.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/Error.h"
#include "base/Md5.h"
#include "base/Text.h"
#include "comio/uComIo.h"
#include "esp/Deflate.h"
#include "esp/StubResource.h"
#include "esp/uEsp.h"
#include "job/ComEsp.h"
#include "job/JobView.h"
#include "log/Log.h"

namespace flintmoor {

namespace {

// The fast speeds tried, in order, after the line failed at a faster one.
constexpr uint32_t kFallbackBauds[] = {921600, 460800, 115200};
// How often a stream with a block the chip received damaged is sent again from its begin before
// the line counts as failed.
constexpr int kStreamResends = 2;

bool sizeFits(int index, uintmax_t size) {
  switch (index) {
    case 0:
      return size >= 10000 && size <= 32768;
    case 1:
      return size == 3072;
    case 2:
      return size >= 65536;
    default:
      return false;
  }
}

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

size_t lastSeparator(std::string_view text, std::string_view separators) {
  return text.find_last_of(separators);
}

// Failures that end a job with an outcome of their own.
class VerifyError : public Exception {
 public:
  VerifyError() : Exception("Error Verify") {}
};
class Interrupted : public Exception {
 public:
  Interrupted() : Exception("Interrupted") {}
};

}  // namespace

FileCheck checkImageFile(int index, const std::string& name, Log& log) {
  FileCheck check;
  if (name.empty()) {
    check.hint = "No Filename";
    return check;
  }
  std::error_code ec;
  const std::filesystem::path path = pathOf(name);
  if (!std::filesystem::is_regular_file(path, ec)) {
    check.hint = "File not found";
    return check;
  }
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    check.hint = "File not found";
    return check;
  }
  check.ok = sizeFits(index, size);
  check.hint = check.ok ? name : "Filesize Error";
  log.D(static_cast<int32_t>(
      std::min<uintmax_t>(size, static_cast<uintmax_t>(std::numeric_limits<int32_t>::max()))));
  return check;
}

std::string stripProgDir(const std::string& text, const std::string& progPath) {
  const size_t sep = lastSeparator(text, "/\\");
  if (sep == std::string::npos) return text;
  std::string progDir = progPath;
  while (!progDir.empty() && (progDir.back() == '/' || progDir.back() == '\\')) progDir.pop_back();
  // The directory part of a file right under the root keeps its separator, as a root does.
  std::string dir = text.substr(0, sep);
  if (dir.empty()) dir = text.substr(0, 1);
  if (dir != progDir) return text;
  return text.substr(sep + 1);
}

std::string displayFileName(const std::string& name) {
  const size_t sep = lastSeparator(name, "\\/:");
  return sep == std::string::npos ? name : name.substr(sep + 1);
}

JobPlan updatePlan(const std::array<std::string, 3>& files) {
  JobPlan plan;
  plan.kind = JobPlan::Kind::kWrite;
  for (size_t index = 0; index < files.size(); ++index) {
    plan.images.push_back({files[index], kImageAddress[index], index == 0});
  }
  return plan;
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

FlashJob::FlashJob(TComIo& com, TEsp& esp, TComEsp& comEsp, Log& log, JobView& view,
                   const TConfig& config)
    : com_(com), log_(log), view_(view), config_(config), session_(com, esp, comEsp, log) {}

bool FlashJob::ButStartClick(int tag, const std::array<std::string, 3>& files) {
  if (tag == 1) {
    JobPlan plan;
    plan.kind = JobPlan::Kind::kErase;
    return run(plan);
  }
  return run(updatePlan(files));
}

bool FlashJob::run(const JobPlan& plan) {
  running_ = true;
  eraseAnswer_.reset();
  outcome_ = JobOutcome::kOk;
  uint32_t fast = config_.FastBaud;
  bool ok = false;
  for (;;) {
    std::string message;
    bool lineFault = false;
    JobOutcome outcome = JobOutcome::kFailed;
    try {
      runJob(plan, fast);
      ok = true;
    } catch (const Interrupted& e) {
      message = e.what();
      outcome = JobOutcome::kInterrupted;
    } catch (const NoDeviceError& e) {
      message = e.what();
      outcome = JobOutcome::kNoDevice;
    } catch (const VerifyError& e) {
      message = e.what();
      outcome = JobOutcome::kVerifyFailed;
    } catch (const EComPort& e) {
      message = e.what();
    } catch (const LineError& e) {
      message = e.what();
      lineFault = session_.speedRaised();
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
      message = "Unknown error";
    }
    if (session_.identified()) UsedCpu = session_.cpu();
    if (ok) break;
    session_.closeAfterFailure();
    const uint32_t slower = lineFault ? slowerBaud(fast) : 0;
    if (slower == 0) {
      outcome_ = outcome;
      view_.setStatusText(outcome == JobOutcome::kInterrupted ? "Interrupted" : "Error");
      view_.execute(message, mtError, "Error", msgBut(mbClose), true);
      break;
    }
    // No answer, or a damaged packet, once the line ran faster: the bridge or the cable may not
    // carry that speed. Everything starts again from the connect, slower.
    log_.S(message);
    log_.S("Line failed at " + std::to_string(fast) + " bit/s: retrying at " +
           std::to_string(slower) + " bit/s");
    view_.setStatusText("Retrying at " + std::to_string(slower));
    view_.idle();
    fast = slower;
  }
  endSteps();
  running_ = false;
  return ok;
}

void FlashJob::checkStop() {
  if (StopRequested && StopRequested()) throw Interrupted();
}

void FlashJob::pump() {
  view_.idle();
  checkStop();
}

void FlashJob::event(JobEvent::Kind kind, const std::string& file, uint32_t address, uint32_t size,
                     uint32_t done, const std::string& text) {
  view_.jobEvent(JobEvent{kind, text, file, address, size, done});
}

uint32_t FlashJob::slowerBaud(uint32_t baud) {
  for (uint32_t b : kFallbackBauds) {
    if (b < baud) return b;
  }
  return 0;
}

void FlashJob::endSteps() {
  event(JobEvent::Kind::kJobEnd);
}

void FlashJob::sessionStatus(const std::string& text) {
  view_.setStatusText(text);
  pump();
}

void FlashJob::sessionEvent(const JobEvent& e) {
  view_.jobEvent(e);
}

void FlashJob::sessionMac(const std::string& mac) {
  event(JobEvent::Kind::kMac, {}, 0, 0, 0, mac);
  pump();
}

void FlashJob::runJob(const JobPlan& plan, uint32_t fastBaud) {
  using Kind = JobPlan::Kind;
  com_.Tag = plan.kind == Kind::kErase || plan.kind == Kind::kEraseRegion ? 1 : 2;
  event(JobEvent::Kind::kJobBegin);
  pump();

  SessionOptions options;
  options.port = view_.portName();
  options.fastBaud = fastBaud;
  options.romOnly = RomOnly;
  options.virtualChip = VirtualChip;
  options.fastCommands = plan.fastWrites;
  options.detectFlashSize = plan.fastWrites;
  options.needs.regionErase = plan.kind == Kind::kEraseRegion;
  options.needs.read = plan.kind == Kind::kRead;
  session_.open(options, *this);
  flash_ = session_.flash();

  switch (plan.kind) {
    case Kind::kErase:
      eraseJob();
      break;
    case Kind::kWrite:
      checkImagesInsideFlash(plan.images);
      for (const ImageToWrite& image : plan.images) FlashImage(image, plan.eraseWholeBlocks);
      break;
    case Kind::kEraseRegion:
      eraseRegionJob(plan.address, plan.size);
      break;
    case Kind::kRead:
      readJob(plan);
      break;
  }

  view_.setStatusText("OK");
  view_.idle();
  session_.close(KeepPortOpen);
}

void FlashJob::eraseJob() {
  // A retry at a slower speed does not ask again.
  if (!eraseAnswer_) {
    eraseAnswer_ = view_.execute("Erase Flash?", mtConfirmation, "ERASE",
                                 msgBut(mbYes) | msgBut(mbNo), config_.DoBeep);
  }
  if (*eraseAnswer_ != mrYes) return;
  view_.setStatusText("Erasing, please wait...");
  event(JobEvent::Kind::kEraseBegin, {}, 0, flash_.size);
  pump();
  session_.loader().eraseAll(flash_.size);
  event(JobEvent::Kind::kEraseDone, {}, 0, flash_.size);
  view_.setStatusText("OK");
  view_.idle();
}

void FlashJob::eraseRegionJob(uint32_t address, uint32_t size) {
  checkInsideFlash(address, size);
  if (!eraseAnswer_) {
    eraseAnswer_ =
        view_.execute("Erase " + std::to_string(size) + " bytes at " + hexText(address) + "?",
                      mtConfirmation, "ERASE", msgBut(mbYes) | msgBut(mbNo), config_.DoBeep);
  }
  if (*eraseAnswer_ != mrYes) return;
  view_.setStatusText("Erasing, please wait...");
  event(JobEvent::Kind::kEraseBegin, {}, address, size);
  pump();
  session_.loader().eraseRegion(address, size);
  event(JobEvent::Kind::kEraseDone, {}, address, size);
  view_.setStatusText("OK");
  view_.idle();
}

void FlashJob::checkInsideFlash(uint32_t address, uint32_t size) const {
  if (address < flash_.size && size <= flash_.size - address) return;
  throw Exception(hexText(address) + " + " + hexText(size) + " lies outside the " +
                  flashSizeText(flash_.size) + " flash");
}

// Every image against the flash's size as connected, before the first is written, with the
// message the image's own load would give. A file whose size cannot be read is left to that load.
void FlashJob::checkImagesInsideFlash(const std::vector<ImageToWrite>& images) const {
  for (const ImageToWrite& image : images) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(pathOf(image.file), ec);
    if (!ec) checkImageFits(image.file, size, image.address, flash_.size);
  }
}

void FlashJob::readJob(const JobPlan& plan) {
  constexpr uint32_t kProgressStep = 1024;
  checkInsideFlash(plan.address, plan.size);
  const std::string shown = displayFileName(plan.outFile);
  view_.setStatusText("Reading " + shown);
  event(JobEvent::Kind::kReadBegin, plan.outFile, plan.address, plan.size);
  pump();
  std::vector<uint8_t> data(plan.size);
  uint32_t shownAt = 0;
  session_.loader().read(plan.address, plan.size, data.data(), [&](uint32_t offset) {
    if (offset - shownAt >= kProgressStep || offset == plan.size) {
      shownAt = offset;
      event(JobEvent::Kind::kReadProgress, plan.outFile, plan.address, plan.size, offset);
      pump();
    } else {
      checkStop();
    }
  });
  verify(data, plan.address, plan.outFile);
  saveFileAtomically(plan.outFile, data);
  log_.S("Read " + std::to_string(plan.size) + " bytes at " + hexText(plan.address) + " into " +
         plan.outFile);
  event(JobEvent::Kind::kReadDone, plan.outFile, plan.address, plan.size, plan.size);
  view_.idle();
}

void FlashJob::FlashImage(const ImageToWrite& wanted, bool eraseWholeBlocks) {
  const std::string& name = wanted.file;
  const uint32_t address = wanted.address;
  view_.setStatusText(displayFileName(name));
  pump();

  std::vector<uint8_t> image = loadFile(name, address, flash_.size);
  const uint32_t size = static_cast<uint32_t>(image.size());
  event(JobEvent::Kind::kImageBegin, name, address, size);

  // The bootloader is written for DIO mode and a 4 MB flash at 40 MHz whatever its header says;
  // only this copy changes, never the file.
  if (wanted.patchHeader && size >= 4 && image[0] == 0xE9) {
    image[2] = 0x02;
    image[3] = 0x20;
    log_.BUFF(image.data(), static_cast<int>(std::min<uint32_t>(size, 6)));
  }

  view_.idle();

  const LoaderCaps caps = session_.loader().caps();
  const uint32_t written = caps.compressedWrites
                               ? writeRegions(image, address, name)
                               : writeBlocks(image, address, name, eraseWholeBlocks);
  if (written > 0) verify(image, address, name);
  event(JobEvent::Kind::kImageDone, name, address, size, size);

  view_.setStatusText("OK");
  view_.idle();
  // A loader that answers each block once it is written needs no pause; the stub is given time
  // to settle.
  if (caps.pauseAfterImageMs > 0) com_.clock().sleepMs(caps.pauseAfterImageMs);
}

uint32_t FlashJob::writeBlocks(const std::vector<uint8_t>& image, uint32_t address,
                               const std::string& file, bool eraseWholeBlocks) {
  Loader& loader = session_.loader();
  const LoaderCaps caps = loader.caps();
  const auto size = static_cast<uint32_t>(image.size());
  loader.begin(address, size, eraseWholeBlocks);
  for (uint32_t written = 0; written < size;) {
    const uint32_t block = std::min(caps.blockSize, size - written);
    pump();
    loader.writeBlock(image.data() + written, block);
    event(JobEvent::Kind::kImageProgress, file, address, size, written + block);
    if (caps.pauseAfterBlockMs > 0) com_.clock().sleepMs(caps.pauseAfterBlockMs);
    written += block;
  }
  return size;
}

uint32_t FlashJob::writeRegions(const std::vector<uint8_t>& image, uint32_t address,
                                const std::string& file) {
  Loader& loader = session_.loader();
  const LoaderCaps caps = loader.caps();
  const uint32_t kRegionSize = caps.regionSize;
  const std::string shown = displayFileName(file);
  const auto size = static_cast<uint32_t>(image.size());
  const std::span<const uint8_t> bytes(image);
  std::vector<bool> unchanged;
  uint32_t skipped = 0;
  for (uint32_t offset = 0; offset < size; offset += kRegionSize) {
    const uint32_t length = std::min(kRegionSize, size - offset);
    bool same = false;
    if (SkipUnchanged && caps.skipByMd5) {
      uint8_t flash[16];
      loader.md5(address + offset, length, flash);
      const std::array<uint8_t, 16> wanted = md5(bytes.subspan(offset, length));
      same = std::memcmp(flash, wanted.data(), wanted.size()) == 0;
    }
    unchanged.push_back(same);
    if (same) skipped += length;
    checkStop();
  }
  if (skipped > 0) {
    const std::string text = shown + ": " + std::to_string(skipped) + " of " +
                             std::to_string(size) + " bytes unchanged, skipped";
    log_.S(text);
    view_.setStatusText(text);
    event(JobEvent::Kind::kImageSkip, file, address, size, skipped);
    pump();
  }

  // Each changed region is one zlib stream (or each run of them, where the loader joins them);
  // progress counts the share of the stream that the blocks sent so far complete.
  const uint32_t regions = static_cast<uint32_t>(unchanged.size());
  for (uint32_t region = 0; region < regions;) {
    const uint32_t offset = region * kRegionSize;
    if (unchanged[region]) {
      event(JobEvent::Kind::kImageUnchanged, file, address, size,
            std::min(size, offset + kRegionSize));
      pump();
      ++region;
      continue;
    }
    uint32_t last = region + 1;
    while (caps.joinRegions && last < regions && !unchanged[last]) ++last;
    const uint32_t end = std::min(size, last * kRegionSize);
    writeStream(bytes.subspan(offset, end - offset), address, offset, file, size);
    region = last;
  }
  return size - skipped;
}

void FlashJob::writeStream(std::span<const uint8_t> part, uint32_t address, uint32_t offset,
                           const std::string& file, uint32_t size) {
  for (int resend = 1;; ++resend) {
    try {
      sendStream(part, address, offset, file, size);
      return;
    } catch (const LineError& e) {
      if (e.fault() != TPacketFault::pfChecksum || resend > kStreamResends) throw;
      log_.S(std::string(e.what()) + ": a block arrived damaged; writing " +
             hexText(address + offset) + " again from its begin (" + std::to_string(resend) +
             " of " + std::to_string(kStreamResends) + ")");
    }
  }
}

void FlashJob::sendStream(std::span<const uint8_t> part, uint32_t address, uint32_t offset,
                          const std::string& file, uint32_t size) {
  Loader& loader = session_.loader();
  const uint32_t blockSize = loader.caps().blockSize;
  const auto length = static_cast<uint32_t>(part.size());
  const std::vector<uint8_t> packed = zlibCompress(part);
  const auto packedSize = static_cast<uint32_t>(packed.size());
  loader.beginCompressed(address + offset, length, packedSize);
  for (uint32_t sent = 0; sent < packedSize;) {
    const uint32_t block = std::min(blockSize, packedSize - sent);
    const uint64_t done = uint64_t{length} * (sent + block) / packedSize;
    pump();
    loader.writeCompressed(packed.data() + sent, block, length);
    event(JobEvent::Kind::kImageProgress, file, address, size,
          offset + static_cast<uint32_t>(done));
    sent += block;
  }
  loader.endCompressed();
}

void FlashJob::verify(const std::vector<uint8_t>& image, uint32_t address,
                      const std::string& file) {
  view_.setStatusText("Verify");
  event(JobEvent::Kind::kImageVerify, file, address, static_cast<uint32_t>(image.size()));
  pump();
  const std::array<uint8_t, 16> sent = md5(image);
  uint8_t flash[16];
  session_.loader().md5(address, static_cast<uint32_t>(image.size()), flash);
  if (std::memcmp(sent.data(), flash, sent.size()) != 0) {
    log_.F("Verify %x: flash %s, sent %s", {address, hexDigest(flash), hexDigest(sent)});
    throw VerifyError();
  }
}

}  // namespace flintmoor
