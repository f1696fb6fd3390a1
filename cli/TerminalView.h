// The command-line tool's face of the flash job: status texts and progress on the error stream
// (a one-line progress bar on a terminal, plain lines otherwise), the MAC on the output stream,
// the erase question asked on the input stream, and the error dialog kept for the final line.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

#include "base/Clock.h"
#include "job/JobView.h"

namespace flintmoor {

// Asks "CAPTION: QUESTION [y/N] " on `err` and reads the answer from `in`: mrYes for "y" or "yes"
// in any case, mrNo for anything else or no answer.
int askYesNo(std::istream& in, std::ostream& err, const std::string& caption,
             const std::string& question);

class TerminalView : public JobView {
 public:
  // `terminal` selects the redrawn progress bar and the audible beep; `assumeYes` answers the
  // erase question without asking. The clock measures the speed shown with the progress.
  TerminalView(std::istream& in, std::ostream& out, std::ostream& err, bool terminal,
               bool assumeYes, std::string portName, const Clock& clock);

  std::string portName() override { return portName_; }
  void setStatusText(const std::string& text) override;
  int execute(const std::string& msgText, TMsgDlgType dlgType, const std::string& captionTitle,
              TMsgBut buttons, bool msgBeep) override;
  // The MAC, the progress with its speed, and the end of the progress line.
  void jobEvent(const JobEvent& event) override;

  // The message of the last error dialog; empty when none was shown.
  const std::string& errorMessage() const { return error_; }
  // Ends an open status or progress line so that the next output starts on a line of its own.
  void finishLine();

 private:
  void showMac(const std::string& text);
  void setProgressMax(int max);
  void setProgressPos(int pos);
  void setProgressVisible(bool visible);
  void drawProgress();

  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  bool terminal_;
  bool assumeYes_;
  std::string portName_;
  const Clock& clock_;

  std::string status_;
  bool lineOpen_ = false;   // the error stream's current line is unfinished
  bool barOnLine_ = false;  // and it is the redrawn progress bar
  int progressMax_ = 0;
  int progressPos_ = 0;
  bool progressVisible_ = false;
  TransferRate rate_;
  std::string error_;
};

}  // namespace flintmoor
