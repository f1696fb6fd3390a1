// The flash job without any toolkit: the image-file check, the name stripping of a file field,
// and the jobs: a session with the chip (job/Session.h), the confirmations, the operations run in
// it (job/Operations.h), the fallback to slower speeds and the error path. It reaches the user
// only through JobView and the Log.
//
// For the front ends: checkImageFile, stripProgDir, and FlashJob with ButStartClick(tag, files)
// (the window's erase and update) or run(plan), running() and outcome() are the stable interface.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "job/Config.h"
#include "job/JobView.h"
#include "job/Operations.h"
#include "job/Session.h"

namespace flintmoor {

class TComIo;
class TEsp;
class TComEsp;
class Log;

// Flash addresses of the three images, by field index (0 bootloader, 1 partitions, 2 firmware).
constexpr std::array<uint32_t, 3> kImageAddress = {0x1000, 0x8000, 0x10000};

struct FileCheck {
  bool ok = false;
  std::string hint;  // "No Filename", "File not found", "Filesize Error", or the name on success
};

// Checks one image file against its field's size rule (index 0: 10000..32768 bytes, 1: exactly
// 3072, 2: 65536 or more). Logs the size with D when the size was read. Never raises; a file
// whose size cannot be read gives "File not found". Names are UTF-8 and used as they are.
FileCheck checkImageFile(int index, const std::string& name, Log& log);

// When the directory part of `text` equals progPath without its trailing separator, the bare file
// name; otherwise `text` unchanged.
std::string stripProgDir(const std::string& text, const std::string& progPath);

// The name shown while an image is written: the text after the last "\", "/" or ":".
std::string displayFileName(const std::string& name);

// What one job does.
struct JobPlan {
  enum class Kind {
    kErase,        // the whole flash, after the confirmation
    kWrite,        // `images`, in order (the update writes the three images this way)
    kEraseRegion,  // `size` bytes at `address`, after the confirmation
    kRead,         // `size` bytes at `address` into `outFile`
  };
  Kind kind = Kind::kWrite;
  std::vector<ImageToWrite> images;
  // Through the flasher stub, each image's FLASH_BEGIN announces whole 16 KiB blocks to erase, as
  // the update always has; false announces only the 4 KiB sectors the image covers, so that
  // images written next to other data leave it alone.
  bool eraseWholeBlocks = true;
  uint32_t address = 0;
  uint32_t size = 0;
  std::string outFile;
  // Through the flasher stub's fast commands (compressed writes answered as they arrive, its
  // region erase and streamed read); false keeps the update's and erase's plain stub path.
  bool fastWrites = false;
};

// How the last job ended.
enum class JobOutcome {
  kOk,
  kFailed,        // any other error
  kNoDevice,      // no chip answered the connection
  kVerifyFailed,  // the chip's MD5 of what was written or read differs
  kInterrupted,   // StopRequested said so
};

// The update job's plan: the three files at their addresses, the bootloader's header patched.
JobPlan updatePlan(const std::array<std::string, 3>& files);

class FlashJob : private SessionReport, private OperationReport {
 public:
  FlashJob(TComIo& com, TEsp& esp, TComEsp& comEsp, Log& log, JobView& view, const TConfig& config);

  // Runs one job; tag 1 erase, 2 update with the three file names. Never raises: failures end in
  // the error path (chip reset, port closed, "Error", the error dialog). True on success.
  // The front end keeps both buttons disabled while running() is true.
  // A job that fails once the line runs faster than the connect speed, with no answer or with
  // the chip reporting a damaged packet, starts again from the connect with the fast speed
  // lowered to the next of 921600, 460800 and 115200 bit/s below it (status "Retrying at N",
  // and a log line); only the last attempt's failure is shown. The erase question is asked once.
  bool ButStartClick(int tag, const std::array<std::string, 3>& files);
  // Runs any job, with the same error path and retries; true on success.
  bool run(const JobPlan& plan);

  bool running() const { return running_; }
  JobOutcome outcome() const { return outcome_; }
  // Asked at every packet boundary; true stops the job there: the chip is reset into its
  // application, the port closed, and the job ends with "Interrupted" (outcome kInterrupted).
  std::function<bool()> StopRequested;
  TController UsedCpu = cESP32;
  // The port leads to the virtual chip, which runs the placeholder stub as its stub. The front
  // end that opened it says so; the job never guesses from the port's name.
  bool VirtualChip = false;
  // Write through the chip's ROM loader instead of the flasher stub, on any port. Without it the
  // ROM loader is used only when the built-in stub is a placeholder and the chip a real one, and
  // for what the stub cannot do (erase a region, read).
  // The ROM loader path compares the chip's MD5 of each 64 KiB region of an image (and of its
  // tail; of its first sector first) with the image's, writes only the regions that differ, each as
  // one compressed stream (FLASH_DEFL_*), without pauses, and verifies the whole image when it
  // wrote anything.
  bool RomOnly = false;
  // After a job that went well the chip is reset into its application and the port stays open
  // (a serial monitor follows on it); after a failure it is closed as always.
  bool KeepPortOpen = false;
  // False writes every region through the ROM loader, changed or not.
  bool SkipUnchanged = true;

 private:
  void runJob(const JobPlan& plan, uint32_t fastBaud);
  // The confirmation (asked once per run), then the operation.
  void eraseJob();
  void eraseRegionJob(uint32_t address, uint32_t size);
  void FlashImage(const ImageToWrite& wanted, bool eraseWholeBlocks);
  void status(const std::string& text) override;
  void event(const JobEvent& event) override;
  void idle() override;
  void checkStop() override;
  void sessionStatus(const std::string& text) override;
  void sessionEvent(const JobEvent& event) override;
  void sessionMac(const std::string& mac) override;
  // The next fast speed to try after a line failure at `baud`; 0 when there is none.
  static uint32_t slowerBaud(uint32_t baud);
  void endSteps();

  TComIo& com_;
  Log& log_;
  JobView& view_;
  const TConfig& config_;
  Session session_;
  bool running_ = false;
  std::optional<int> eraseAnswer_;
  JobOutcome outcome_ = JobOutcome::kOk;
};

}  // namespace flintmoor
