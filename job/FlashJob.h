// The flash job without any toolkit: the image-file check, the name stripping of a file field,
// and the erase and update jobs (connect, identify, MAC, speed, stub or ROM loader, erase or write
// and verify, reset). It reaches the user only through JobView and the Log.
//
// For the front ends (main window, command line): checkImageFile, stripProgDir, and FlashJob with
// ButStartClick(tag, files) and running() are the stable interface; keep to them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "job/Config.h"

namespace flintmoor {

class TComIo;
class TEsp;
class TComEsp;
class Log;
class JobView;

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

class FlashJob {
 public:
  FlashJob(TComIo& com, TEsp& esp, TComEsp& comEsp, Log& log, JobView& view, const TConfig& config);

  // Runs one job; tag 1 erase, 2 update with the three file names. Never raises: failures end in
  // the error path (chip reset, port closed, "Error", the error dialog). True on success.
  // The front end keeps both buttons disabled while running() is true.
  // A job that fails once the line runs faster than the connect speed, with no answer or with
  // the chip reporting a damaged packet, starts again from the connect with the fast speed
  // lowered to 460800, then 115200 bit/s (status "Retrying at N", and a log line); only the
  // last attempt's failure is shown. The erase question is asked once.
  bool ButStartClick(int tag, const std::array<std::string, 3>& files);

  bool running() const { return running_; }
  TController UsedCpu = cESP32;
  // Write through the chip's ROM loader instead of the flasher stub, on any port. Without it the
  // ROM loader is used only when the built-in stub is a placeholder and the port is a real one.
  // The ROM loader path compares the chip's MD5 of each 64 KiB region of an image (and of its
  // tail) with the image's, writes only the regions that differ, each as one compressed stream
  // (FLASH_DEFL_*), without pauses, and verifies the whole image when it wrote anything.
  bool RomOnly = false;
  // False writes every region through the ROM loader, changed or not.
  bool SkipUnchanged = true;

 private:
  void runJob(int tag, const std::array<std::string, 3>& files, uint32_t fastBaud);
  void eraseJob();
  bool FlashImage(const std::string& name, uint32_t address, int index);
  // The image's changed regions through the ROM loader; returns the bytes written.
  uint32_t writeThroughRom(const std::vector<uint8_t>& image, uint32_t address,
                           const std::string& shown);
  // The next fast speed to try after a line failure at `baud`; 0 when there is none.
  static uint32_t slowerBaud(uint32_t baud);
  void endSteps();
  void verify(const std::vector<uint8_t>& image, uint32_t address);

  TComIo& com_;
  TEsp& esp_;
  TComEsp& comEsp_;
  Log& log_;
  JobView& view_;
  const TConfig& config_;
  bool running_ = false;
  bool viaRom_ = false;       // this job writes through the ROM loader
  bool speedRaised_ = false;  // the line runs faster than the connect speed
  std::optional<int> eraseAnswer_;
};

}  // namespace flintmoor
