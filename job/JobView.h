// What the flash job and the connection procedure need of a front end: the status text, the MAC
// label, the progress bar, the two buttons, a point where pending window events run, the port
// chosen, and the message dialog. The Qt main window and the command-line tool implement it.
#pragma once

#include <cstdint>
#include <string>

#include "log/MsgDlg.h"

namespace flintmoor {

// What the job reports as it goes, for front ends that keep a record of it (machine-readable
// output, one line per board). The window shows the same through the status and the bar.
struct JobEvent {
  enum class Kind {
    kConnected,      // the loader answered SYNC
    kChip,           // text: the chip's name
    kMac,            // text: the MAC address
    kImageBegin,     // file, address, size: an image is about to be written
    kImageSkip,      // file, address, size, done: done bytes of it the chip already held
    kImageProgress,  // file, address, size, done: bytes sent so far
    kImageVerify,    // file, address, size: comparing the chip's MD5 with the image's
    kImageDone,      // file, address, size: written and verified
    kEraseBegin,     // address, size (the whole flash for a chip erase)
    kEraseDone,      // address, size
    kReadBegin,      // file, address, size
    kReadProgress,   // file, address, size, done
    kReadDone,       // file, address, size: read, checked against the chip's MD5 and saved
  };
  Kind kind;
  std::string text;  // the chip's name, the MAC
  std::string file;
  uint32_t address = 0;
  uint32_t size = 0;
  uint32_t done = 0;
};

// The speed of the transfer under way (an image written, flash read), in KiB/s, from the job's
// events: the bytes that crossed the line since its begin event over the time since then. Bytes
// the chip already held (kImageSkip) count neither as sent nor as time. The one definition every
// front end shows.
class TransferRate {
 public:
  void onEvent(const JobEvent& event, int64_t nowUs) {
    switch (event.kind) {
      case JobEvent::Kind::kImageBegin:
      case JobEvent::Kind::kReadBegin:
        startUs_ = nowUs;
        skipped_ = 0;
        kibPerSecond_ = 0;
        break;
      case JobEvent::Kind::kImageSkip:
        skipped_ = event.done;
        break;
      case JobEvent::Kind::kImageProgress:
      case JobEvent::Kind::kReadProgress:
        if (nowUs > startUs_ && event.done > skipped_) {
          kibPerSecond_ = static_cast<double>(event.done - skipped_) * 1e6 / 1024.0 /
                          static_cast<double>(nowUs - startUs_);
        }
        break;
      default:
        break;
    }
  }
  // 0 until bytes crossed the line.
  double kibPerSecond() const { return kibPerSecond_; }

 private:
  int64_t startUs_ = 0;
  uint32_t skipped_ = 0;
  double kibPerSecond_ = 0;
};

class JobView {
 public:
  virtual ~JobView() = default;

  virtual std::string portName() = 0;    // the text of the port drop-down cbPort
  virtual std::string statusText() = 0;  // status panel 0
  virtual void setStatusText(const std::string& text) = 0;
  virtual void setMacText(const std::string& text) = 0;  // LabMac
  virtual void setProgressMax(int max) = 0;
  virtual void setProgressPos(int pos) = 0;
  virtual void setProgressVisible(bool visible) = 0;
  virtual void setUpdateEnabled(bool enabled) = 0;
  virtual void setEraseEnabled(bool enabled) = 0;
  virtual void processEvents() = 0;  // let pending window events run
  // The message dialog's Execute: returns the result code of the button pressed.
  virtual int execute(const std::string& msgText, TMsgDlgType dlgType,
                      const std::string& captionTitle, TMsgBut buttons, bool msgBeep) = 0;
  // Each step of the job as it happens; the window has no use for it.
  virtual void jobEvent(const JobEvent&) {}
};

}  // namespace flintmoor
