// A window as the flash job's view: it keeps its progress bar, MAC label, two buttons and event
// loop to itself, and this adapter drives them from the job's events. The Qt and the Win32
// window implement the window operations; the job sees only JobView.
#pragma once

#include <string>

#include "job/JobView.h"

namespace flintmoor {

class WindowAdapter : public JobView {
 public:
  // Shows the event on the bar, the MAC label and the buttons.
  void jobEvent(const JobEvent& event) override {
    using K = JobEvent::Kind;
    switch (event.kind) {
      case K::kJobBegin:
        setUpdateEnabled(false);
        setEraseEnabled(false);
        setMacText("---");
        break;
      case K::kMac:
        setMacText(event.text);
        break;
      case K::kImageBegin:
      case K::kReadBegin:
        setProgressMax(static_cast<int>(event.size));
        setProgressVisible(true);
        break;
      case K::kImageProgress:
      case K::kImageUnchanged:
      case K::kReadProgress:
        setProgressPos(static_cast<int>(event.done));
        break;
      case K::kImageDone:
      case K::kReadDone:
        setProgressPos(0);
        setProgressVisible(false);
        break;
      case K::kJobEnd:
        setProgressVisible(false);
        setUpdateEnabled(true);
        setEraseEnabled(true);
        break;
      default:
        break;
    }
  }
  void idle() override { processEvents(); }

 protected:
  virtual void setMacText(const std::string& text) = 0;  // LabMac
  virtual void setProgressMax(int max) = 0;
  virtual void setProgressPos(int pos) = 0;
  virtual void setProgressVisible(bool visible) = 0;
  virtual void setUpdateEnabled(bool enabled) = 0;
  virtual void setEraseEnabled(bool enabled) = 0;
  virtual void processEvents() = 0;  // let pending window events run
};

}  // namespace flintmoor
