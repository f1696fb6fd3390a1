// What the flash job and the connection procedure need of a front end: the port chosen, the
// status text, the job's events, the message dialog (errors and the erase question), and the
// fixed points where a window runs its pending events. A window drives its progress bar, MAC label
// and buttons from the events through WindowAdapter (job/WindowAdapter.h); the command line and
// the bench implement only this.
#pragma once

#include <cstdint>
#include <string>

#include "log/MsgDlg.h"

namespace flintmoor {

// What the job reports as it goes: the window's bar, MAC label and buttons follow it, and front
// ends that keep a record of it (machine-readable output, one line per board) write it out.
struct JobEvent {
  enum class Kind {
    kJobBegin,        // the job, or its retry at a slower speed, starts (a window's signal)
    kJobEnd,          // the job ended, however (a window's signal)
    kConnected,       // the loader answered SYNC
    kChip,            // text: the chip's name
    kMac,             // text: the MAC address
    kImageBegin,      // file, address, size: an image is about to be written
    kImageSkip,       // file, address, size, done: done bytes of it the chip already held
    kImageProgress,   // file, address, size, done: bytes sent so far
    kImageUnchanged,  // file, address, size, done: a region the chip held passed (a bar's signal)
    kImageVerify,     // file, address, size: comparing the chip's MD5 with the image's
    kImageDone,       // file, address, size: written and verified
    kEraseBegin,      // address, size (the whole flash for a chip erase)
    kEraseDone,       // address, size
    kReadBegin,       // file, address, size
    kReadProgress,    // file, address, size, done
    kReadDone,        // file, address, size: read, checked against the chip's MD5 and saved
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
// The kinds that only steer a window (its buttons and bar): a record of the job leaves them out.
inline bool isWindowSignal(const JobEvent& event) {
  using K = JobEvent::Kind;
  return event.kind == K::kJobBegin || event.kind == K::kJobEnd || event.kind == K::kImageUnchanged;
}

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

  virtual std::string portName() = 0;  // the port chosen (the window's drop-down cbPort)
  virtual void setStatusText(const std::string& text) = 0;  // status panel 0
  // The message dialog's Execute: returns the result code of the button pressed.
  virtual int execute(const std::string& msgText, TMsgDlgType dlgType,
                      const std::string& captionTitle, TMsgBut buttons, bool msgBeep) = 0;
  // Each step of the job as it happens.
  virtual void jobEvent(const JobEvent& event) = 0;
  // A fixed point of the job: after a status text, before each connection attempt and sync try,
  // before each flash block. A window lets its pending events run; nothing else needs it.
  virtual void idle() {}
};

}  // namespace flintmoor
