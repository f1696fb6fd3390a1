// TDebug on Windows: the debug log window. It is a Log whose lines live in a read-only, wrapping
// multi-line edit control; logging goes on whether the window is shown or not.
#pragma once

#include <windows.h>

#include <string>

#include "log/Log.h"

namespace flintmoor::win {

class TDebug : public Log {
 public:
  // Creates the window hidden (client area 703 x 531, caption "Debug").
  explicit TDebug(HINSTANCE instance);
  ~TDebug() override;
  TDebug(const TDebug&) = delete;
  TDebug& operator=(const TDebug&) = delete;

  HWND handle() const { return window_; }
  // Stands the window directly to the right of main (top edges level), shows it without
  // activating it, so the focus stays with main.
  void placeRightOf(HWND main);
  // The memo's double-click: removes every line, as C does.
  void MemoDblClick() { C(); }

 protected:
  void addLine(std::string line) override;
  void clearLines() override;

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK memoProc(HWND memo, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                   DWORD_PTR self);

  HWND window_ = nullptr;
  HWND memo_ = nullptr;
  HFONT font_ = nullptr;
  bool hasLines_ = false;
};

}  // namespace flintmoor::win
