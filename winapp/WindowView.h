// The Win32 window as the flash job's view: the one place where the window meets the job's
// front-end interface. WindowAdapter turns the job's events into the window's bar, MAC label and
// buttons; every operation goes to the matching one of TMain, which knows nothing of the job.
#pragma once

#include <string>

#include "job/WindowAdapter.h"

namespace flintmoor::win {

class TMain;

class WindowView final : public WindowAdapter {
 public:
  explicit WindowView(TMain& window) : window_(window) {}

  std::string portName() override;
  void setStatusText(const std::string& text) override;
  int execute(const std::string& msgText, TMsgDlgType dlgType, const std::string& captionTitle,
              TMsgBut buttons, bool msgBeep) override;

 protected:
  void setMacText(const std::string& text) override;
  void setProgressMax(int max) override;
  void setProgressPos(int pos) override;
  void setProgressVisible(bool visible) override;
  void setUpdateEnabled(bool enabled) override;
  void setEraseEnabled(bool enabled) override;
  void processEvents() override;

 private:
  TMain& window_;
};

}  // namespace flintmoor::win
