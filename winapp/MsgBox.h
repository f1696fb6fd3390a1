// TMsgBox on Windows: the system's own modal message dialog. A tool window without close box
// holding an icon chosen by the message type, the text, and a row of the caller's buttons; it
// answers the code of the button pressed. The arithmetic of its layout is layoutMsgBox (log/).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "log/MsgDlg.h"

namespace flintmoor::win {

class TMsgBox {
 public:
  explicit TMsgBox(HINSTANCE instance);
  ~TMsgBox();
  TMsgBox(const TMsgBox&) = delete;
  TMsgBox& operator=(const TMsgBox&) = delete;

  // The window the dialog centres over and disables while it waits (the main window).
  void setOwner(HWND owner);

  // Shows the dialog modally and returns the result code of the button pressed (TMsgResult), or
  // mrClose when the window system closes it. An empty caption takes the type's default.
  int Execute(const std::string& MsgText, TMsgDlgType DlgType, const std::string& CaptionTitle,
              TMsgBut Buttons, bool MsgBeep);

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  void layOut(const std::string& text, TMsgDlgType type, const std::string& caption,
              TMsgBut buttons);
  int runModal();
  void destroyButtons();

  HINSTANCE instance_;
  HWND window_ = nullptr;
  HWND owner_ = nullptr;
  HWND img_ = nullptr;
  HWND info_ = nullptr;
  HICON icon_ = nullptr;
  HFONT textFont_ = nullptr;
  HFONT buttonFont_ = nullptr;
  std::vector<HWND> But;
  std::vector<int> results_;
  int ButCnt = 0;
  bool running_ = false;
  int result_ = 0;
  bool answered_ = false;
};

}  // namespace flintmoor::win
