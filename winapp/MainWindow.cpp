// The main window: its controls, start-up steps, the port list, the file check, the job's view
// operations, the window placement and the orderly close.
#include "winapp/MainWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>

#include "base/Error.h"
#include "comio/PortInfo.h"
#include "comio/uComIo.h"
#include "job/FlashJob.h"
#include "job/Flasher.h"
#include "job/IniFile.h"
#include "job/Startup.h"
#include "job/StrNatComp.h"
#include "winapp/ControlIds.h"
#include "winapp/DebugWindow.h"
#include "winapp/MsgBox.h"
#include "winapp/Pictures.h"
#include "winapp/WinText.h"
#include "winapp/WindowView.h"

namespace flintmoor::win {

namespace {

constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr int kClientWidth = 385;
constexpr int kClientHeight = 245;
constexpr int kMiddleTop = 139;  // the bands' tops
constexpr int kFooterTop = 171;
constexpr int kFooterHeight = 54;
constexpr int kStatusTop = 225;
constexpr COLORREF kFailColour = RGB(255, 192, 192);
constexpr COLORREF kNavy = RGB(0, 0, 128);
constexpr COLORREF kMaroon = RGB(128, 0, 0);
constexpr UINT_PTR kTimer1 = 1;
constexpr UINT kLedSet = WM_USER + 1;

// The controls' names, by which the settings keep the focused one.
struct NamedControl {
  int id;
  const char* name;
};
constexpr NamedControl kNames[] = {
    {kIdEdBoot, "edBoot"},     {kIdEdPart, "edPart"},         {kIdEdFirm, "edFirm"},
    {kIdCbPort, "cbPort"},     {kIdButErase, "butErase"},     {kIdButUpdate, "butUpdate"},
    {kIdBrowseBoot, "edBoot"}, {kIdBrowseBoot + 1, "edPart"}, {kIdBrowseBoot + 2, "edFirm"},
};

int fontHeight(HFONT font) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return tm.tmHeight;
}

std::string exeDirectory(const std::string& exePath) {
  const size_t cut = exePath.find_last_of("\\/");
  return cut == std::string::npos ? std::string(".\\") : exePath.substr(0, cut + 1);
}

}  // namespace

TMain::TMain(HINSTANCE instance, const std::string& exePath, std::vector<std::string> args)
    : instance_(instance), exePath_(exePath), args_(std::move(args)) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = windowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  appIcon_ = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hIcon = appIcon_;
  wc.lpszClassName = kMainClass;
  RegisterClassExW(&wc);
  WNDCLASSEXW led{};
  led.cbSize = sizeof(led);
  led.lpfnWndProc = ledProc;
  led.hInstance = instance;
  led.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  led.lpszClassName = kLedClass;
  RegisterClassExW(&led);

  RECT r{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&r, kStyle, FALSE, 0);
  window_ = CreateWindowExW(WS_EX_ACCEPTFILES | WS_EX_CONTROLPARENT, kMainClass, L"", kStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left, r.bottom - r.top,
                            nullptr, nullptr, instance, this);
  createControls();

  // FormCreate.
  ProgTitle = programTitle(buildVersion());
  ProgPath = exeDirectory(exePath_);
  // Beside the program when it may write there (portable use), else %APPDATA%\Flintmoor.
  ini_ =
      std::make_unique<IniFile>(settingsDirectory(ProgPath, processEnvironment), kSettingsFileName);
  setWindowText(window_, ProgTitle);
}

TMain::~TMain() {
  detach();
  flasher_.reset();
  if (window_ != nullptr) DestroyWindow(window_);
  for (HFONT f : {fontNormal_, fontCaption_, fontBold_, fontStatus_}) DeleteObject(f);
  for (HICON i : {eraseIcon_, updateIcon_, folderIcon_}) DestroyIcon(i);
  DeleteObject(failBrush_);
}

HWND TMain::control(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w,
                    int h, int id, HFONT font, DWORD exStyle) {
  HWND c = CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, window_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return c;
}

void TMain::createControls() {
  fontNormal_ = createFont(L"Calibri", 15, false);
  fontCaption_ = createFont(L"Calibri", 13, true);
  fontBold_ = createFont(L"Calibri", 15, true);
  fontStatus_ = createFont(L"Calibri", 16, true);
  failBrush_ = CreateSolidBrush(kFailColour);
  SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(fontNormal_), FALSE);

  // File band. A caption keeps its place but grows downwards to the height its font needs (its
  // field overlaps the spare room); the field's browse button sits at its right end.
  const wchar_t* captions[3] = {L"[0x0000] Bootloader", L"[0x8000] Partitions",
                                L"[0x10000] Firmware"};
  const int captionHeight = std::max(15, fontHeight(fontCaption_));
  folderIcon_ = createFolderIcon();
  for (int tag = 0; tag < 3; ++tag) {
    const int top = 44 * tag;
    edits_[tag] = control(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY, 16, top + 14,
                          355 - 26, 26, kIdEdBoot + tag, fontNormal_, WS_EX_CLIENTEDGE);
    browse_[tag] = control(L"BUTTON", L"", BS_PUSHBUTTON | BS_ICON, 16 + 355 - 26, top + 14, 26, 26,
                           kIdBrowseBoot + tag, fontNormal_);
    SendMessageW(browse_[tag], BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(folderIcon_));
    // Beneath the field, which lies over its spare room.
    HWND caption = control(L"STATIC", captions[tag], SS_LEFT | SS_NOPREFIX | WS_CLIPSIBLINGS, 16,
                           top, 146, captionHeight, kIdLabBoot + tag, fontCaption_);
    SetWindowPos(caption, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  // Middle band: labels grow about their middle.
  const int labelHeight = std::max(16, fontHeight(fontBold_));
  const int labelTop = kMiddleTop + 6 - (labelHeight - 16) / 2;
  control(L"STATIC", L"MAC:", SS_RIGHT | SS_NOPREFIX, 0, labelTop, 51, labelHeight,
          kIdLabMacCaption, fontBold_);
  labMac_ = control(L"STATIC", L"---", SS_LEFT | SS_NOPREFIX, 57, labelTop, 128, labelHeight,
                    kIdLabMac, fontBold_);
  pBar_ = control(PROGRESS_CLASSW, L"", 0, 215, kMiddleTop + 8, 156, 17, kIdProgress, fontNormal_);
  SendMessageW(pBar_, PBM_SETSTEP, 1, 0);
  ShowWindow(pBar_, SW_HIDE);

  // Footer (its raised bevel is painted by the window).
  const int comHeight = std::max(15, fontHeight(fontBold_));
  control(L"STATIC", L"COM-Port", SS_LEFT | SS_NOPREFIX, 16, kFooterTop + 6 - (comHeight - 15) / 2,
          80, comHeight, kIdLabComPort, fontBold_);
  cbPort_ = control(WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 16,
                    kFooterTop + 22, 80, 200, kIdCbPort, fontBold_);
  // The closed list is 26 high, as the field it stands for.
  RECT box;
  GetWindowRect(cbPort_, &box);
  const LRESULT itemHeight = SendMessageW(cbPort_, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
  SendMessageW(cbPort_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1),
               itemHeight + 26 - (box.bottom - box.top));
  led_ = control(kLedClass, L"", 0, 102, kFooterTop + 27, 17, 17, kIdLed, fontNormal_);
  butErase_ = control(L"BUTTON", L"Erase", WS_TABSTOP | BS_PUSHBUTTON, 215, kFooterTop + 11, 75, 33,
                      kIdButErase, fontBold_);
  butUpdate_ = control(L"BUTTON", L"Update", WS_TABSTOP | BS_PUSHBUTTON, 296, kFooterTop + 10, 75,
                       34, kIdButUpdate, fontBold_);
  eraseIcon_ = createEraseIcon();
  updateIcon_ = createUpdateIcon();
  SendMessageW(butErase_, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(eraseIcon_));
  SendMessageW(butUpdate_, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(updateIcon_));

  createStatusAndTips();
}

void TMain::createStatusAndTips() {
  // Status bar: panel 0, 250 wide and left-aligned; panel 1, 80 wide and centred.
  sBar_ = control(STATUSCLASSNAMEW, L"", CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER, 0,
                  kStatusTop, kClientWidth, 20, kIdStatusBar, fontStatus_);
  const int parts[2] = {250, 330};
  SendMessageW(sBar_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));

  // The fields' hints ("File not found", ...) and the selected port's device as tooltips; a width
  // limit lets a tip break at its line ends.
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_,
                             nullptr, instance_, nullptr);
  for (HWND edit : {edits_[0], edits_[1], edits_[2], cbPort_}) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(edit);
    tool.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 600);
}

void TMain::attach(TDebug& debug, TMsgBox& msgBox, TComIo& com) {
  debug_ = &debug;
  msgBox_ = &msgBox;
  com_ = &com;
  msgBox.setOwner(window_);
  com.cPortAfterOpen = [this] { setLed(true); };
  com.cPortAfterClose = [this] { setLed(false); };
}

void TMain::detach() {
  if (com_ == nullptr) return;
  com_->cPortAfterOpen = nullptr;
  com_->cPortAfterClose = nullptr;
  com_ = nullptr;
}

void TMain::show(int showCmd) {
  ShowWindow(window_, showCmd);
  UpdateWindow(window_);
  if (!shown_) {
    shown_ = true;
    FormShow();
  }
}

void TMain::FormShow() {
  Log& log = *debug_;
  // The log window exists only now; the settings file was chosen at creation.
  log.S("Settings: " + ini_->path());
  const Version version = buildVersion();
  const bool debugSwitch = hasDebugSwitch(args_);
  // A failed copy (no "dist" directory, for one) is of no concern to the user.
  if (debugSwitch) copyToDist(exePath_, version);

  ProgTitle = programTitle(version);
  setWindowText(window_, ProgTitle);

  Config = readConfigAsRead(*ini_, log);
  usedConfig_ = clampConfig(Config, &log);
  fillPortList(readComPort(*ini_));

  const std::array<std::string, 3> files = readFiles(*ini_);
  for (int tag = 0; tag < 3; ++tag) setWindowText(edits_[tag], files[static_cast<size_t>(tag)]);

  const std::optional<WindowState> state = restorePlacement();
  // The log window stands flush right of the window where the placement put it.
  if (debugSwitch) debug_->placeRightOf(window_);
  if (state == WindowState::Maximized) ShowWindow(window_, SW_MAXIMIZE);
  if (state == WindowState::Minimized) {
    // Minimising the main window minimises the whole application.
    if (IsWindowVisible(debug_->handle())) ShowWindow(debug_->handle(), SW_MINIMIZE);
    ShowWindow(window_, SW_MINIMIZE);
  }

  setStatusText("");
  UsedCpu = cESP32;
  SendMessageW(sBar_, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(L"\tESP32"));

  view_ = std::make_unique<WindowView>(*this);
  flasher_ = std::make_unique<Flasher>(*com_, log, *view_, usedConfig_);

  SetTimer(window_, kTimer1, 100, nullptr);
}

void TMain::Timer1Timer() {
  KillTimer(window_, kTimer1);
  // The window's own tag is 0: checked as a change of edBoot, which checks all three.
  edFilenameChange(0);
}

std::array<std::string, 3> TMain::fileNames() const {
  return {windowText(edits_[0]), windowText(edits_[1]), windowText(edits_[2])};
}

void TMain::edFilenameChange(int tag) {
  HWND edit = edits_[tag];
  const std::string text = windowText(edit);
  const std::string stripped = stripProgDir(text, ProgPath);
  // Changing the text runs this handler once more, which then finds nothing to strip.
  if (stripped != text) setWindowText(edit, stripped);
  CheckFiles();
}

void TMain::CheckFiles() {
  if (debug_ == nullptr) return;
  bool allPass = true;
  for (int tag = 0; tag < 3; ++tag) {
    const auto i = static_cast<size_t>(tag);
    const FileCheck check = checkImageFile(tag, windowText(edits_[tag]), *debug_);
    fileOk_[i] = check.ok;
    hints_[i] = wide(check.hint);
    setTip(edits_[tag], hints_[i]);
    InvalidateRect(edits_[tag], nullptr, TRUE);
    allPass = allPass && check.ok;
  }
  // While a job runs both buttons stay disabled; the job enables them when it ends.
  if (!jobRunning()) EnableWindow(butUpdate_, allPass);
}

void TMain::setTip(HWND control, std::wstring& text) {
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof(tool);
  tool.hwnd = window_;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = text.data();
  SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void TMain::showPortDetails() {
  const LRESULT i = SendMessageW(cbPort_, CB_GETCURSEL, 0, 0);
  portTip_ = i >= 0 && static_cast<size_t>(i) < portDetails_.size()
                 ? portDetails_[static_cast<size_t>(i)]
                 : std::wstring();
  setTip(cbPort_, portTip_);
}

void TMain::cbPortDropDown() {
  fillPortList(portName());
}

// Each item shows the port's short name; ports_ keeps the full name the port opens with.
void TMain::fillPortList(const std::string& keep) {
  std::vector<std::string> items = ports_;
  com_->ListComPorts(items);
  SortPorts(items);
  std::vector<PortInfo> known;
  if (portInfoLister_) {
    try {
      known = portInfoLister_();
    } catch (const Exception& e) {
      if (debug_ != nullptr) debug_->S(e.what());
    }
  }
  portDetails_.clear();
  for (const std::string& name : items) {
    PortInfo port;
    port.name = name;
    for (const PortInfo& info : known) {
      if (info.name == name) port = info;
    }
    portDetails_.push_back(wide(portDetails(port)));
  }
  SendMessageW(cbPort_, CB_RESETCONTENT, 0, 0);
  int match = -1;
  int widest = 0;
  HDC dc = GetDC(cbPort_);
  HGDIOBJ old = SelectObject(dc, fontBold_);
  for (size_t i = 0; i < items.size(); ++i) {
    const std::wstring shown = wide(shortPortName(items[i]));
    SendMessageW(cbPort_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    if (match < 0 && CompareStringOrdinal(wide(items[i]).c_str(), -1, wide(keep).c_str(), -1,
                                          TRUE) == CSTR_EQUAL) {
      match = static_cast<int>(i);
    }
    SIZE extent{};
    GetTextExtentPoint32W(dc, shown.c_str(), static_cast<int>(shown.size()), &extent);
    widest = std::max(widest, static_cast<int>(extent.cx));
  }
  SelectObject(dc, old);
  ReleaseDC(cbPort_, dc);
  ports_ = items;
  // The list is 80 wide; its pop-up widens to show longer names whole.
  SendMessageW(cbPort_, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(std::max(80, widest + 24)), 0);
  // The remembered port, or the first one when it is gone; an empty list selects nothing.
  const int select = match >= 0 ? match : (items.empty() ? -1 : 0);
  SendMessageW(cbPort_, CB_SETCURSEL, static_cast<WPARAM>(select), 0);
  showPortDetails();
}

void TMain::ButStartClick(int tag) {
  if (flasher_ == nullptr || flasher_->job.running()) return;
  // "SIM" is the virtual chip the program offers with --simulate.
  flasher_->job.VirtualChip = portName() == "SIM";
  flasher_->job.ButStartClick(tag, fileNames());
  UsedCpu = flasher_->job.UsedCpu;
  if (closePending_) {
    closePending_ = false;
    PostMessageW(window_, WM_CLOSE, 0, 0);
  }
}

bool TMain::jobRunning() const {
  return flasher_ != nullptr && flasher_->job.running();
}

void TMain::browse(int tag) {
  std::wstring current = wide(windowText(edits_[tag]));
  std::wstring dir;
  if (!current.empty()) {
    const size_t cut = current.find_last_of(L"\\/");
    if (cut != std::wstring::npos) dir = current.substr(0, cut);
    if (!dir.empty() && GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES) dir.clear();
  }
  wchar_t file[MAX_PATH * 4] = L"";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = window_;
  ofn.lpstrFilter = L"Binary Files (*.bin)\0*.bin\0";
  ofn.lpstrFile = file;
  ofn.nMaxFile = static_cast<DWORD>(std::size(file));
  // Without a directory of its own the dialog starts in the process's current directory.
  wchar_t cwd[MAX_PATH * 4] = L"";
  GetCurrentDirectoryW(static_cast<DWORD>(std::size(cwd)), cwd);
  ofn.lpstrInitialDir = dir.empty() ? cwd : dir.c_str();
  ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (GetOpenFileNameW(&ofn)) SetWindowTextW(edits_[tag], file);
}

void TMain::onDropFiles(WPARAM dropHandle) {
  auto* drop = reinterpret_cast<HDROP>(dropHandle);
  POINT at{};
  DragQueryPoint(drop, &at);
  wchar_t file[MAX_PATH * 4] = L"";
  const bool got = DragQueryFileW(drop, 0, file, static_cast<UINT>(std::size(file))) > 0;
  DragFinish(drop);
  if (!got) return;
  // The first file of the drop goes into the field it was dropped on.
  for (int tag = 0; tag < 3; ++tag) {
    RECT r;
    GetWindowRect(edits_[tag], &r);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
    if (PtInRect(&r, at)) SetWindowTextW(edits_[tag], file);
  }
}

void TMain::setLed(bool lit) {
  SendMessageW(led_, kLedSet, lit ? 1 : 0, 0);
}

void TMain::onCommand(int id, int code) {
  if (id >= kIdEdBoot && id <= kIdEdFirm && code == EN_CHANGE) {
    edFilenameChange(id - kIdEdBoot);
  } else if (id >= kIdBrowseBoot && id < kIdBrowseBoot + 3 && code == BN_CLICKED) {
    browse(id - kIdBrowseBoot);
  } else if (id == kIdCbPort && code == CBN_DROPDOWN) {
    cbPortDropDown();
  } else if (id == kIdCbPort && code == CBN_SELCHANGE) {
    showPortDetails();
  } else if (id == kIdButErase && code == BN_CLICKED) {
    ButStartClick(1);
  } else if (id == kIdButUpdate && code == BN_CLICKED) {
    ButStartClick(2);
  }
}

void TMain::onClose() {
  if (jobRunning()) {
    // Tearing down the port under the running job would leave the chip half written; the close
    // is carried out as soon as the job has reset the chip and closed the port.
    closePending_ = true;
    if (debug_ != nullptr) debug_->S("Close deferred until the job ends");
    return;
  }
  if (!formClosed_) {
    formClosed_ = true;
    FormClose();
  }
  ShowWindow(window_, SW_HIDE);
  PostQuitMessage(0);
}

void TMain::FormClose() {
  if (com_ != nullptr) {
    try {
      com_->DisConnect();
    } catch (const std::exception& e) {
      if (debug_ != nullptr) debug_->S(e.what());
    }
  }
  savePlacement();
  writeConfig(*ini_, Config, portName());
  writeFiles(*ini_, fileNames(), debug_);
}

bool TMain::saveSettingsFile() {
  return ini_->save(debug_);
}

ScreenInfo TMain::screenInfo() const {
  ScreenInfo info;
  info.desktopWidth = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  info.desktopHeight = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  HDC dc = GetDC(nullptr);
  info.pixelsPerInch = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  info.onMonitor = [](int x, int y) {
    return MonitorFromPoint(POINT{x, y}, MONITOR_DEFAULTTONULL) != nullptr;
  };
  return info;
}

std::optional<WindowState> TMain::restorePlacement() {
  RECT frame;
  GetWindowRect(window_, &frame);
  const PlacementRestore r =
      flintmoor::restorePlacement(*ini_, frame.left, frame.top, frame.right - frame.left,
                                  frame.bottom - frame.top, screenInfo(), debug_);
  placementRestored_ = true;
  if (r.move) SetWindowPos(window_, nullptr, r.left, r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  // The saved control, else the first field.
  HWND target = edits_[0];
  for (const NamedControl& c : kNames) {
    if (r.activeControl != c.name) continue;
    HWND saved = GetDlgItem(window_, c.id);
    if (saved != nullptr && IsWindowEnabled(saved)) target = saved;
    break;
  }
  lastFocus_ = target;
  SetFocus(target);
  return r.state;
}

void TMain::savePlacement() {
  if (!placementRestored_) return;
  WINDOWPLACEMENT wp{};
  wp.length = sizeof(wp);
  GetWindowPlacement(window_, &wp);
  WindowPlacement p;
  p.showCmd = showCmdOf(IsIconic(window_)   ? WindowState::Minimized
                        : IsZoomed(window_) ? WindowState::Maximized
                                            : WindowState::Normal);
  // The normal rectangle, in screen coordinates (the placement's are the work area's).
  RECT normal = wp.rcNormalPosition;
  if (!IsIconic(window_) && !IsZoomed(window_)) GetWindowRect(window_, &normal);
  p.left = normal.left;
  p.top = normal.top;
  p.right = normal.right;
  p.bottom = normal.bottom;
  // The focused control by its name (a field's browse button stands for its field).
  std::string active;
  HWND focused = GetFocus();
  if (focused == nullptr || GetParent(focused) != window_) focused = lastFocus_;
  const int id = focused != nullptr && GetParent(focused) == window_ ? GetDlgCtrlID(focused) : 0;
  for (const NamedControl& c : kNames) {
    if (c.id == id) active = c.name;
  }
  writePlacement(*ini_, p, screenInfo(), active);
}

std::string TMain::portName() const {
  const LRESULT i = SendMessageW(cbPort_, CB_GETCURSEL, 0, 0);
  if (i < 0 || static_cast<size_t>(i) >= ports_.size()) return std::string();
  return ports_[static_cast<size_t>(i)];
}

std::string TMain::statusText() const {
  const LRESULT length = SendMessageW(sBar_, SB_GETTEXTLENGTHW, 0, 0);
  std::wstring text(LOWORD(length) + 1, L'\0');
  SendMessageW(sBar_, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text.data()));
  text.resize(LOWORD(length));
  return utf8(text);
}

void TMain::setStatusText(const std::string& text) {
  SendMessageW(sBar_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(wide(text).c_str()));
}

void TMain::setMacText(const std::string& text) {
  setWindowText(labMac_, text);
}

void TMain::setProgressMax(int max) {
  SendMessageW(pBar_, PBM_SETRANGE32, 0, max);
}

void TMain::setProgressPos(int pos) {
  SendMessageW(pBar_, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void TMain::setProgressVisible(bool visible) {
  ShowWindow(pBar_, visible ? SW_SHOWNA : SW_HIDE);
}

void TMain::setUpdateEnabled(bool enabled) {
  EnableWindow(butUpdate_, enabled);
}

void TMain::setEraseEnabled(bool enabled) {
  EnableWindow(butErase_, enabled);
}

void TMain::processEvents() {
  MSG msg;
  while (!quitSeen_ && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // For the outer loop, which ends the program once the job is over.
      quitSeen_ = true;
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (!handleDialogMessage(msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

int TMain::showMessage(const std::string& text, int type, const std::string& caption, int buttons,
                       bool beep) {
  return msgBox_->Execute(text, static_cast<TMsgDlgType>(type), caption,
                          static_cast<TMsgBut>(buttons), beep);
}

LRESULT TMain::onCtlColor(HDC dc, HWND child) {
  const int id = GetDlgCtrlID(child);
  if (id >= kIdEdBoot && id <= kIdEdFirm) {
    // A read-only field keeps the look of an editable one; a failed check tints it.
    const bool ok = fileOk_[static_cast<size_t>(id - kIdEdBoot)];
    SetBkColor(dc, ok ? GetSysColor(COLOR_WINDOW) : kFailColour);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    return reinterpret_cast<LRESULT>(ok ? GetSysColorBrush(COLOR_WINDOW) : failBrush_);
  }
  SetBkMode(dc, TRANSPARENT);
  if (id == kIdLabMacCaption) SetTextColor(dc, kNavy);
  if (id == kIdLabMac) SetTextColor(dc, kMaroon);
  return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

LRESULT TMain::handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      onCommand(LOWORD(wp), HIWORD(wp));
      return 0;
    case WM_TIMER:
      if (wp == kTimer1) Timer1Timer();
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
      return onCtlColor(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
    case WM_DROPFILES:
      onDropFiles(wp);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window_, &ps);
      RECT footer{0, kFooterTop, kClientWidth, kFooterTop + kFooterHeight};
      DrawEdge(dc, &footer, BDR_RAISEDINNER, BF_RECT);
      EndPaint(window_, &ps);
      return 0;
    }
    case WM_CLOSE:
      onClose();
      return 0;
    case WM_ACTIVATE:
      // The focus leaves with the window and comes back to the same control.
      if (LOWORD(wp) == WA_INACTIVE) {
        HWND focused = GetFocus();
        if (focused != nullptr && GetParent(focused) == window_) lastFocus_ = focused;
      } else if (lastFocus_ != nullptr) {
        SetFocus(lastFocus_);
        return 0;
      }
      return DefWindowProcW(window_, msg, wp, lp);
    default:
      return DefWindowProcW(window_, msg, wp, lp);
  }
}

LRESULT CALLBACK TMain::windowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TMain*>(reinterpret_cast<const CREATESTRUCTW*>(lp)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  // Messages of the creation, before the controls exist, take the default course.
  if (self == nullptr || self->sBar_ == nullptr) return DefWindowProcW(window, msg, wp, lp);
  return self->handle(msg, wp, lp);
}

LRESULT CALLBACK TMain::ledProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case kLedSet:
      if (GetWindowLongPtrW(window, GWLP_USERDATA) != static_cast<LONG_PTR>(wp)) {
        SetWindowLongPtrW(window, GWLP_USERDATA, static_cast<LONG_PTR>(wp));
        InvalidateRect(window, nullptr, TRUE);
      }
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      RECT box;
      GetClientRect(window, &box);
      paintLed(dc, box, GetWindowLongPtrW(window, GWLP_USERDATA) != 0);
      EndPaint(window, &ps);
      return 0;
    }
    default:
      return DefWindowProcW(window, msg, wp, lp);
  }
}

}  // namespace flintmoor::win
