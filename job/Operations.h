// The flash operations that run inside an open session: write an image, erase the whole flash,
// erase a region, read flash into a file. Each takes the session (its loader, its flash, its
// clock and log) and a reporter for what the user sees; none asks the user anything (the job asks
// its confirmations before it calls them) and none knows which front end listens.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Error.h"
#include "esp/Chip.h"
#include "job/JobView.h"

namespace flintmoor {

class Session;

// Failures that end a job with an outcome of their own.
class VerifyError : public Exception {
 public:
  VerifyError() : Exception("Error Verify") {}
};
class Interrupted : public Exception {
 public:
  Interrupted() : Exception("Interrupted") {}
};

// What an operation tells the user as it goes.
class OperationReport {
 public:
  virtual ~OperationReport() = default;
  virtual void status(const std::string& text) = 0;
  virtual void event(const JobEvent& event) = 0;
  // Lets pending window events run.
  virtual void idle() = 0;
  // Raises Interrupted when the user asked the job to stop.
  virtual void checkStop() = 0;
  // Both: idle(), then checkStop().
  void pump() {
    idle();
    checkStop();
  }
};

// One image to write: its file, its flash address, and whether the copy sent gets the bootloader
// header patch (DIO mode, 4 MB flash, 40 MHz).
struct ImageToWrite {
  std::string file;
  uint32_t address = 0;
  bool patchHeader = false;
};

struct WriteOptions {
  // Through the plain stub path, FLASH_BEGIN announces whole 16 KiB blocks to erase (as the
  // update always has); false announces only the 4 KiB sectors the image covers.
  bool eraseWholeBlocks = true;
  // Where the loader compares MD5s: regions the chip already holds are not written again.
  bool skipUnchanged = true;
};

// Writes one image through the session's loader and verifies it by the chip's MD5 (raises
// VerifyError when it differs).
void writeImage(Session& session, OperationReport& report, const ImageToWrite& image,
                const WriteOptions& options);
// The whole flash, through the loader's chip erase.
void eraseFlash(Session& session, OperationReport& report);
// size bytes at address (4 KiB multiples inside the flash).
void eraseFlashRegion(Session& session, OperationReport& report, uint32_t address, uint32_t size);
// size bytes at address into outFile, saved only once the chip's MD5 of the region matched.
void readFlashToFile(Session& session, OperationReport& report, uint32_t address, uint32_t size,
                     const std::string& outFile);

// Raises unless size bytes at address lie inside `flash`.
void checkInsideFlash(const FlashGeometry& flash, uint32_t address, uint32_t size);
// Every image against the flash's size, before the first is written, with the message the image's
// own load would give. A file whose size cannot be read is left to that load.
void checkImagesInsideFlash(const FlashGeometry& flash, const std::vector<ImageToWrite>& images);

// Writes `data` to `path` through a temporary file beside it ("PATH.part") that is renamed over
// `path` only once it is complete; on failure no temporary file stays and `path` is untouched.
// Raises Exception with the reason.
void saveFileAtomically(const std::string& path, const std::vector<uint8_t>& data);

}  // namespace flintmoor
