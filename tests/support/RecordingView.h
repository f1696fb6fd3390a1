// A JobView that records what the user would have seen: every status text, the MAC label, the
// progress bar, the buttons and the dialogs (answered as the test says).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "job/JobView.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor::test {

struct Dialog {
  std::string text;
  TMsgDlgType type;
  std::string caption;
  TMsgBut buttons;
  bool beep;
};

class RecordingView : public JobView {
 public:
  std::string port = VirtualEsp32::kPortName;
  int answer = mrYes;  // what the confirmation dialog returns

  std::string status;
  std::vector<std::string> statusHistory;
  std::string mac = "---";
  std::vector<std::string> macHistory;
  int progressMax = 0;
  int progressPos = 0;
  std::vector<int> progressPositions;  // every non-zero position set
  bool progressVisible = false;
  bool updateEnabled = true;
  bool eraseEnabled = true;
  std::vector<Dialog> dialogs;
  std::vector<JobEvent> events;
  std::function<void(const std::string&)> onMacText;  // the user acting while the job runs

  std::string portName() override { return port; }
  std::string statusText() override { return status; }
  void setStatusText(const std::string& text) override {
    status = text;
    statusHistory.push_back(text);
  }
  void setMacText(const std::string& text) override {
    mac = text;
    macHistory.push_back(text);
    if (onMacText) onMacText(text);
  }
  void setProgressMax(int max) override { progressMax = max; }
  void setProgressPos(int pos) override {
    progressPos = pos;
    if (pos != 0) progressPositions.push_back(pos);
  }
  void setProgressVisible(bool visible) override { progressVisible = visible; }
  void setUpdateEnabled(bool enabled) override { updateEnabled = enabled; }
  void setEraseEnabled(bool enabled) override { eraseEnabled = enabled; }
  void processEvents() override {}
  int execute(const std::string& msgText, TMsgDlgType dlgType, const std::string& captionTitle,
              TMsgBut buttons, bool msgBeep) override {
    dialogs.push_back({msgText, dlgType, captionTitle, buttons, msgBeep});
    return dlgType == mtConfirmation ? answer : mrClose;
  }
  void jobEvent(const JobEvent& event) override { events.push_back(event); }
};

}  // namespace flintmoor::test
