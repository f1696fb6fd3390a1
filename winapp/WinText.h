// Text and font helpers of the Win32 window: UTF-8 (the core's text) to UTF-16 (the window
// system's) and back, a window's text, and the fonts by pixel height with a stand-in family where
// the system lacks the named one.
#pragma once

#include <windows.h>

#include <string>

namespace flintmoor::win {

std::wstring wide(const std::string& utf8);
std::string utf8(const std::wstring& text);
std::string windowText(HWND window);
void setWindowText(HWND window, const std::string& utf8Text);

// A font of `pixels` character height (the em height, as a negative LOGFONT height). "Calibri"
// falls back to its metric twin "Carlito", and "Lucida Console" to any fixed-pitch font, when
// the system has no such family.
HFONT createFont(const wchar_t* family, int pixels, bool bold);

}  // namespace flintmoor::win
