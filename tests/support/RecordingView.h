// A window that records what the user would have seen: every status text, the MAC label, the
// progress bar, the buttons (all driven through WindowAdapter, as in the real windows) and the
// dialogs (answered as the test says), and the job's events.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "job/WindowAdapter.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor::test {

struct Dialog {
  std::string text;
  TMsgDlgType type;
  std::string caption;
  TMsgBut buttons;
  bool beep;
};

class RecordingView : public WindowAdapter {
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
  std::vector<JobEvent> events;  // the job's record (the window's own signals left out)
  std::function<void(const std::string&)> onMacText;  // the user acting while the job runs

  std::string portName() override { return port; }
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
  void jobEvent(const JobEvent& event) override {
    if (!isWindowSignal(event)) events.push_back(event);
    WindowAdapter::jobEvent(event);
  }
};

}  // namespace flintmoor::test
