// The message dialog: per-call icon, text, size and buttons from the layout arithmetic, shown
// modally with its owner disabled; the buttons live only for the call.
#include "winapp/MsgBox.h"

#include "log/MsgBoxLayout.h"
#include "winapp/ControlIds.h"
#include "winapp/Pictures.h"
#include "winapp/WinText.h"

namespace flintmoor::win {

namespace {

// A tool window's small caption, no border icons: no close box and no system menu.
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_TOOLWINDOW | WS_EX_DLGMODALFRAME;
constexpr int kButtonHeight = 25;  // the toolkit's default button height

}  // namespace

TMsgBox::TMsgBox(HINSTANCE instance) : instance_(instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = windowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.lpszClassName = kMsgBoxClass;
  RegisterClassExW(&wc);
  window_ = CreateWindowExW(kExStyle, kMsgBoxClass, L"", kStyle, 0, 0, 299, 127, nullptr, nullptr,
                            instance, this);
  using M = MsgBoxMetrics;
  img_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | SS_ICON | SS_REALSIZEIMAGE, M::kImgLeft,
                         M::kImgTop, M::kImgSize, M::kImgSize, window_, nullptr, instance, nullptr);
  info_ =
      CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, M::kImgLeft,
                      M::kLabelTop, 10, 10, window_,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdMsgText)), instance, nullptr);
  textFont_ = createFont(L"Calibri", 15, false);
  // 12 points at 96 dots per inch.
  buttonFont_ = createFont(L"Calibri", 16, true);
  SendMessageW(info_, WM_SETFONT, reinterpret_cast<WPARAM>(textFont_), FALSE);
}

TMsgBox::~TMsgBox() {
  if (window_ != nullptr) DestroyWindow(window_);
  if (icon_ != nullptr) DestroyIcon(icon_);
  DeleteObject(textFont_);
  DeleteObject(buttonFont_);
}

void TMsgBox::setOwner(HWND owner) {
  owner_ = owner;
  // Owned by it, the dialog stays above it.
  SetWindowLongPtrW(window_, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
}

int TMsgBox::Execute(const std::string& MsgText, TMsgDlgType DlgType,
                     const std::string& CaptionTitle, TMsgBut Buttons, bool MsgBeep) {
  // A second call while one is waiting would tear down the first call's buttons; it gets the
  // answer of a dialog closed without a choice.
  if (running_) return mrClose;
  layOut(MsgText, DlgType, CaptionTitle, Buttons);
  if (MsgBeep) MessageBeep(MB_ICONHAND);
  running_ = true;
  const int result = runModal();
  running_ = false;
  destroyButtons();
  return result;
}

void TMsgBox::layOut(const std::string& text, TMsgDlgType type, const std::string& caption,
                     TMsgBut buttons) {
  const std::wstring wtext = wide(text);
  HDC dc = GetDC(info_);
  HGDIOBJ old = SelectObject(dc, textFont_);
  RECT extent{0, 0, 0, 0};
  DrawTextW(dc, wtext.c_str(), -1, &extent, DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(info_, dc);
  const MsgBoxLayout lay = layoutMsgBox(type, extent.right, extent.bottom, buttons);

  if (icon_ != nullptr) DestroyIcon(icon_);
  icon_ = createMsgIcon(lay.iconIndex);
  SendMessageW(img_, STM_SETICON, reinterpret_cast<WPARAM>(icon_), 0);
  ShowWindow(img_, lay.iconIndex >= 0 ? SW_SHOW : SW_HIDE);
  SetWindowTextW(info_, wtext.c_str());
  MoveWindow(info_, lay.labelLeft, MsgBoxMetrics::kLabelTop, extent.right, extent.bottom, FALSE);
  setWindowText(window_, caption.empty() ? lay.defaultCaption : caption);

  // The layout's width and height are the dialog's outer size; the positions of the text and the
  // buttons are within its client area, measured from its top-left corner.
  RECT owner{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (owner_ != nullptr) GetWindowRect(owner_, &owner);
  const int left = owner.left + (owner.right - owner.left - lay.width) / 2;
  const int top = owner.top + (owner.bottom - owner.top - lay.height) / 2;
  SetWindowPos(window_, HWND_TOP, left, top, lay.width, lay.height, SWP_NOACTIVATE);
  ButCnt = 0;
  for (const MsgBoxButton& b : lay.buttons) {
    ++ButCnt;
    HWND button = CreateWindowExW(
        0, L"BUTTON", wide(b.caption).c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
        b.left, lay.buttonTop, MsgBoxMetrics::kButtonWidth, kButtonHeight, window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdMsgButton + ButCnt)), instance_, nullptr);
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(buttonFont_), FALSE);
    But.push_back(button);
    results_.push_back(b.result);
  }
}

int TMsgBox::runModal() {
  // The rest of the application takes no input until a button is pressed.
  std::vector<HWND> disabled;
  for (HWND w = GetTopWindow(nullptr); w != nullptr; w = GetNextWindow(w, GW_HWNDNEXT)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (w != window_ && pid == GetCurrentProcessId() && IsWindowVisible(w) && IsWindowEnabled(w)) {
      EnableWindow(w, FALSE);
      disabled.push_back(w);
    }
  }
  answered_ = false;
  result_ = mrClose;
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
  // FormShow: the focus starts on But1.
  if (!But.empty()) SetFocus(But.front());
  MSG msg;
  while (!answered_) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      // The program is ending: hand the quit on to the outer loop.
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    // Escape does nothing: no button is the cancel button.
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) continue;
    if (!IsDialogMessageW(window_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  for (HWND w : disabled) EnableWindow(w, TRUE);
  ShowWindow(window_, SW_HIDE);
  if (owner_ != nullptr) SetForegroundWindow(owner_);
  return result_;
}

void TMsgBox::destroyButtons() {
  for (HWND b : But) DestroyWindow(b);
  But.clear();
  results_.clear();
  ButCnt = 0;
}

LRESULT CALLBACK TMsgBox::windowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<TMsgBox*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (msg) {
    case WM_COMMAND: {
      const int k = LOWORD(wp) - kIdMsgButton;
      if (self != nullptr && HIWORD(wp) == BN_CLICKED && k >= 1 && k <= self->ButCnt) {
        self->result_ = self->results_[static_cast<size_t>(k - 1)];
        self->answered_ = true;
        return 0;
      }
      break;
    }
    case WM_CLOSE:
      // The window system's close command is the one way out without a button: CLOSE.
      if (self != nullptr && self->running_) {
        self->result_ = mrClose;
        self->answered_ = true;
      }
      return 0;
    case WM_CTLCOLORSTATIC:
      SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    default:
      break;
  }
  return DefWindowProcW(window, msg, wp, lp);
}

}  // namespace flintmoor::win
