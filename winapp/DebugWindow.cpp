// The debug log window: a fixed-size top-level window filled by a read-only, wrapping edit control.
#include "winapp/DebugWindow.h"

#include <commctrl.h>

#include "winapp/ControlIds.h"
#include "winapp/WinText.h"

namespace flintmoor::win {

namespace {

constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;

void registerClass(HINSTANCE instance, WNDPROC proc) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.lpszClassName = kDebugClass;
  RegisterClassExW(&wc);
}

}  // namespace

TDebug::TDebug(HINSTANCE instance) {
  registerClass(instance, windowProc);
  RECT r{0, 0, 703, 531};
  AdjustWindowRectEx(&r, kStyle, FALSE, 0);
  window_ = CreateWindowExW(0, kDebugClass, L"Debug", kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                            r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance, this);
  memo_ =
      CreateWindowExW(0, L"EDIT", L"",
                      WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
                          ES_AUTOVSCROLL | ES_NOHIDESEL,
                      0, 0, 703, 531, window_,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdMemo)), instance, nullptr);
  // No limit of its own: the control's capacity is the only bound.
  SendMessageW(memo_, EM_SETLIMITTEXT, 0, 0);
  font_ = createFont(L"Lucida Console", 13, false);
  SendMessageW(memo_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  SetWindowSubclass(memo_, memoProc, 1, reinterpret_cast<DWORD_PTR>(this));
}

TDebug::~TDebug() {
  if (memo_ != nullptr) RemoveWindowSubclass(memo_, memoProc, 1);
  if (window_ != nullptr) DestroyWindow(window_);
  if (font_ != nullptr) DeleteObject(font_);
}

void TDebug::placeRightOf(HWND main) {
  RECT frame;
  GetWindowRect(main, &frame);
  SetWindowPos(window_, nullptr, frame.right, frame.top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(window_, SW_SHOWNOACTIVATE);
  SetForegroundWindow(main);
}

void TDebug::addLine(std::string line) {
  std::wstring text = wide(line);
  if (hasLines_) text.insert(0, L"\r\n");
  const LRESULT end = GetWindowTextLengthW(memo_);
  SendMessageW(memo_, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(memo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageW(memo_, EM_SCROLLCARET, 0, 0);
  hasLines_ = true;
}

void TDebug::clearLines() {
  SetWindowTextW(memo_, L"");
  hasLines_ = false;
}

LRESULT CALLBACK TDebug::windowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CLOSE:
      // Closing only hides the window; logging goes on.
      ShowWindow(window, SW_HIDE);
      return 0;
    case WM_CTLCOLORSTATIC:
      // A read-only edit asks for the static colours; the memo stays white like an editable one.
      SetBkColor(reinterpret_cast<HDC>(wp), GetSysColor(COLOR_WINDOW));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    default:
      return DefWindowProcW(window, msg, wp, lp);
  }
}

LRESULT CALLBACK TDebug::memoProc(HWND memo, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                  DWORD_PTR self) {
  if (msg == WM_LBUTTONDBLCLK) {
    reinterpret_cast<TDebug*>(self)->MemoDblClick();
    return 0;
  }
  return DefSubclassProc(memo, msg, wp, lp);
}

}  // namespace flintmoor::win
