// What the flash job and the connection procedure need of a front end: the status text, the MAC
// label, the progress bar, the two buttons, a point where pending window events run, the port
// chosen, and the message dialog. The Qt main window and the command-line tool implement it.
#pragma once

#include <string>

#include "log/MsgDlg.h"

namespace flintmoor {

class JobView {
 public:
  virtual ~JobView() = default;

  virtual std::string portName() = 0;  // the text of the port drop-down cbPort
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
};

}  // namespace flintmoor
