// UTF-8/UTF-16 conversion, window texts and fonts.
#include "winapp/WinText.h"

#include <cwchar>
#include <vector>

namespace flintmoor::win {

namespace {

int CALLBACK familyFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool hasFamily(const wchar_t* family) {
  LOGFONTW lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  wcsncpy(lf.lfFaceName, family, LF_FACESIZE - 1);
  bool found = false;
  HDC dc = GetDC(nullptr);
  EnumFontFamiliesExW(dc, &lf, familyFound, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

}  // namespace

std::wstring wide(const std::string& utf8Text) {
  if (utf8Text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8Text.data(), static_cast<int>(utf8Text.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8Text.data(), static_cast<int>(utf8Text.size()), out.data(),
                      n);
  return out;
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string windowText(HWND window) {
  const int n = GetWindowTextLengthW(window);
  std::vector<wchar_t> buf(static_cast<size_t>(n) + 1);
  const int got = GetWindowTextW(window, buf.data(), n + 1);
  return utf8(std::wstring(buf.data(), static_cast<size_t>(got)));
}

void setWindowText(HWND window, const std::string& utf8Text) {
  SetWindowTextW(window, wide(utf8Text).c_str());
}

HFONT createFont(const wchar_t* family, int pixels, bool bold) {
  const wchar_t* face = family;
  BYTE pitch = DEFAULT_PITCH | FF_DONTCARE;
  if (!hasFamily(family)) {
    if (wcscmp(family, L"Calibri") == 0 && hasFamily(L"Carlito")) face = L"Carlito";
    if (wcscmp(family, L"Lucida Console") == 0) {
      face = hasFamily(L"Courier New") ? L"Courier New" : L"";
      pitch = FIXED_PITCH | FF_MODERN;
    }
  }
  return CreateFontW(-pixels, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     pitch, face);
}

}  // namespace flintmoor::win
