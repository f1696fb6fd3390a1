// The Win32 window as the flash job's view: the one place where the window meets the job's
// front-end interface. Every call goes to the matching operation of TMain; the window itself
// knows nothing of the interface.
#pragma once

#include <string>

#include "job/JobView.h"

namespace flintmoor::win {

class TMain;

class WindowView final : public JobView {
 public:
  explicit WindowView(TMain& window) : window_(window) {}

  std::string portName() override;
  std::string statusText() override;
  void setStatusText(const std::string& text) override;
  void setMacText(const std::string& text) override;
  void setProgressMax(int max) override;
  void setProgressPos(int pos) override;
  void setProgressVisible(bool visible) override;
  void setUpdateEnabled(bool enabled) override;
  void setEraseEnabled(bool enabled) override;
  void processEvents() override;
  int execute(const std::string& msgText, TMsgDlgType dlgType, const std::string& captionTitle,
              TMsgBut buttons, bool msgBeep) override;

 private:
  TMain& window_;
};

}  // namespace flintmoor::win
