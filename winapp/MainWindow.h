// TMain on Windows: the main window. Three image-file fields with browse buttons, the MAC line
// with the progress bar, the port list with the connection LED and the two job buttons, and the
// status bar. It reads and writes the settings file, fills the port list and checks the files;
// the flash job reaches it through its view adapter (WindowView).
#pragma once

#include <windows.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comio/PortInfo.h"
#include "job/Config.h"
#include "job/Settings.h"

namespace flintmoor {
class Flasher;
class IniFile;
class TComIo;
}  // namespace flintmoor

namespace flintmoor::win {

class TDebug;
class TMsgBox;
class WindowView;

class TMain {
 public:
  // The window's creation (FormCreate): the controls, title, program path, and the settings store
  // bound to "Flintmoor.ini" in settingsDirectory() of the executable at exePath. args is the
  // command line without the program name.
  TMain(HINSTANCE instance, const std::string& exePath, std::vector<std::string> args);
  ~TMain();
  TMain(const TMain&) = delete;
  TMain& operator=(const TMain&) = delete;

  // The objects that start-up creates after the window; they must outlive the window's use.
  void attach(TDebug& debug, TMsgBox& msgBox, TComIo& com);
  // Unhooks the window from the serial link, which start-up destroys before the window.
  void detach();
  // What is known of each port (the device behind it), for the port list's tooltip, which names
  // the selected port's device; set before the window is shown. Without it, or when it raises,
  // the tooltip holds the port's name alone.
  void setPortInfoLister(PortInfoLister lister) { portInfoLister_ = std::move(lister); }
  // Shows the window; the first time runs FormShow.
  void show(int showCmd);
  // Puts the settings on disk: called once at program end. A failure goes to the log.
  bool saveSettingsFile();
  bool jobRunning() const;
  HWND handle() const { return window_; }
  // The message loop's keyboard step (tab moves between the controls).
  bool handleDialogMessage(MSG& msg) { return IsDialogMessageW(window_, &msg) != 0; }

  TController UsedCpu = cESP32;
  std::string ProgPath;  // the executable's directory, with a trailing separator
  std::string ProgTitle;
  TConfig Config;  // as the settings file holds it, and as it is written back

  // What the job's view does to the window (see WindowView).
  std::string portName() const;  // the full name of the selected port, empty without one
  std::string statusText() const;
  void setStatusText(const std::string& text);
  void setMacText(const std::string& text);
  void setProgressMax(int max);
  void setProgressPos(int pos);
  void setProgressVisible(bool visible);
  void setUpdateEnabled(bool enabled);
  void setEraseEnabled(bool enabled);
  // Lets pending window events run (the job's fixed points).
  void processEvents();
  int showMessage(const std::string& text, int type, const std::string& caption, int buttons,
                  bool beep);

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK ledProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT handle(UINT msg, WPARAM wp, LPARAM lp);
  void createControls();
  void createStatusAndTips();
  HWND control(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h,
               int id, HFONT font, DWORD exStyle = 0);
  void FormShow();
  void Timer1Timer();
  void FormClose();
  void onCommand(int id, int code);
  void onClose();
  void onDropFiles(WPARAM drop);  // an HDROP
  LRESULT onCtlColor(HDC dc, HWND child);
  void edFilenameChange(int tag);
  void CheckFiles();
  void cbPortDropDown();
  void fillPortList(const std::string& keep);
  void ButStartClick(int tag);
  void browse(int tag);
  void setLed(bool lit);
  void setTip(HWND control, std::wstring& text);
  void showPortDetails();
  std::array<std::string, 3> fileNames() const;
  std::optional<WindowState> restorePlacement();
  void savePlacement();
  ScreenInfo screenInfo() const;

  HINSTANCE instance_;
  HWND window_ = nullptr;
  HWND edits_[3] = {};
  HWND browse_[3] = {};
  HWND labMac_ = nullptr;
  HWND pBar_ = nullptr;
  HWND cbPort_ = nullptr;
  HWND led_ = nullptr;
  HWND butErase_ = nullptr;
  HWND butUpdate_ = nullptr;
  HWND sBar_ = nullptr;
  HWND tooltip_ = nullptr;
  HFONT fontNormal_ = nullptr;
  HFONT fontCaption_ = nullptr;
  HFONT fontBold_ = nullptr;
  HFONT fontStatus_ = nullptr;
  HICON eraseIcon_ = nullptr;
  HICON updateIcon_ = nullptr;
  HICON folderIcon_ = nullptr;
  HICON appIcon_ = nullptr;
  HBRUSH failBrush_ = nullptr;
  std::vector<std::string> ports_;         // the full names of the port list's items, in its order
  std::vector<std::wstring> portDetails_;  // what is known of each, for the tooltip
  std::wstring portTip_;
  PortInfoLister portInfoLister_;
  std::array<bool, 3> fileOk_ = {true, true, true};
  std::array<std::wstring, 3> hints_;

  std::unique_ptr<IniFile> ini_;
  std::string exePath_;
  std::vector<std::string> args_;
  TConfig usedConfig_;
  TDebug* debug_ = nullptr;
  TMsgBox* msgBox_ = nullptr;
  TComIo* com_ = nullptr;
  std::unique_ptr<WindowView> view_;
  std::unique_ptr<Flasher> flasher_;

  bool shown_ = false;
  bool placementRestored_ = false;
  bool formClosed_ = false;
  bool closePending_ = false;  // the user closed the window while a job ran
  bool quitSeen_ = false;      // processEvents met the end of the message loop
  HWND lastFocus_ = nullptr;   // the focused control when the window was last deactivated
};

}  // namespace flintmoor::win
