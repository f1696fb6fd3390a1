// The flash job: the image-file check, and the jobs: a session with the chip, the confirmations,
// the operations run inside it, the fallback to slower speeds, the error path.
#include "job/FlashJob.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string_view>
#include <system_error>

#include "base/Error.h"
#include "base/Text.h"
#include "comio/uComIo.h"
#include "esp/PacketLink.h"
#include "job/JobView.h"
#include "log/Log.h"

namespace flintmoor {

namespace {

// The fast speeds tried, in order, after the line failed at a faster one.
constexpr uint32_t kFallbackBauds[] = {921600, 460800, 115200};
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

size_t lastSeparator(std::string_view text, std::string_view separators) {
  return text.find_last_of(separators);
}

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

void FlashJob::idle() {
  view_.idle();
}

void FlashJob::status(const std::string& text) {
  view_.setStatusText(text);
}

void FlashJob::event(const JobEvent& e) {
  view_.jobEvent(e);
}

uint32_t FlashJob::slowerBaud(uint32_t baud) {
  for (uint32_t b : kFallbackBauds) {
    if (b < baud) return b;
  }
  return 0;
}

void FlashJob::endSteps() {
  event(JobEvent{.kind = JobEvent::Kind::kJobEnd, .text = {}, .file = {}});
}

void FlashJob::sessionStatus(const std::string& text) {
  view_.setStatusText(text);
  pump();
}

void FlashJob::sessionEvent(const JobEvent& e) {
  view_.jobEvent(e);
}

void FlashJob::sessionMac(const std::string& mac) {
  event(JobEvent{.kind = JobEvent::Kind::kMac, .text = mac, .file = {}});
  pump();
}

void FlashJob::runJob(const JobPlan& plan, uint32_t fastBaud) {
  using Kind = JobPlan::Kind;
  com_.Tag = plan.kind == Kind::kErase || plan.kind == Kind::kEraseRegion ? 1 : 2;
  event(JobEvent{.kind = JobEvent::Kind::kJobBegin, .text = {}, .file = {}});
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

  switch (plan.kind) {
    case Kind::kErase:
      eraseJob();
      break;
    case Kind::kWrite:
      checkImagesInsideFlash(session_.flash(), plan.images);
      for (const ImageToWrite& image : plan.images) FlashImage(image, plan.eraseWholeBlocks);
      break;
    case Kind::kEraseRegion:
      eraseRegionJob(plan.address, plan.size);
      break;
    case Kind::kRead:
      readFlashToFile(session_, *this, plan.address, plan.size, plan.outFile);
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
  if (*eraseAnswer_ == mrYes) eraseFlash(session_, *this);
}

void FlashJob::eraseRegionJob(uint32_t address, uint32_t size) {
  checkInsideFlash(session_.flash(), address, size);
  if (!eraseAnswer_) {
    eraseAnswer_ =
        view_.execute("Erase " + std::to_string(size) + " bytes at " + hexText(address) + "?",
                      mtConfirmation, "ERASE", msgBut(mbYes) | msgBut(mbNo), config_.DoBeep);
  }
  if (*eraseAnswer_ == mrYes) eraseFlashRegion(session_, *this, address, size);
}

void FlashJob::FlashImage(const ImageToWrite& wanted, bool eraseWholeBlocks) {
  writeImage(session_, *this, wanted,
             WriteOptions{.eraseWholeBlocks = eraseWholeBlocks, .skipUnchanged = SkipUnchanged});
}

}  // namespace flintmoor
