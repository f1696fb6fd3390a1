// TMain: the main window. Three image-file fields, the MAC line with the progress bar, the port
// list with the connection LED and the two job buttons, and the status bar. It reads and writes
// the settings file, fills the port list, checks the files, and is the flash job's view.
#pragma once

#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "comio/PortInfo.h"
#include "job/Config.h"
#include "job/Settings.h"
#include "job/WindowAdapter.h"

class QTimer;

namespace flintmoor {

class Flasher;
class IniFile;
class Log;
class TComIo;
class TDebug;
class TFileEdit;
class TMsgBox;
class Ui_TMain;

class TMain : public QWidget, public WindowAdapter {
  Q_OBJECT

 public:
  // Answers a message dialog: the text, type, caption, buttons and beep of TMsgBox::Execute.
  using DialogHandler =
      std::function<int(const std::string&, TMsgDlgType, const std::string&, TMsgBut, bool)>;

  // The window's creation (FormCreate): title, program path, and the settings store bound to
  // "Flintmoor.ini" in settingsDirectory() of the executable at exePath (beside it, or the
  // user's configuration folder). args is the command line without the program name.
  TMain(const std::string& exePath, const QStringList& args, QWidget* parent = nullptr);
  ~TMain() override;

  // The objects that start-up creates after the window: the log window, the message dialog and
  // the serial link module. They must outlive the window's use; FormShow needs them.
  void attach(TDebug& debug, TMsgBox& msgBox, TComIo& com);
  // Unhooks the window from the serial link, which start-up destroys before the window.
  void detach();
  // What is known of each port (the device behind it), for the port list's tooltips; set before
  // the window is shown. Without it, or when it raises, the items carry their names alone.
  void setPortInfoLister(PortInfoLister lister) { portInfoLister_ = std::move(lister); }
  // Replaces the message dialog (tests answer the dialogs themselves).
  void setDialogHandler(DialogHandler handler) { dialogHandler_ = std::move(handler); }

  // Puts the settings on disk: called once at program end. A failure goes to the log.
  bool saveSettingsFile();
  bool jobRunning() const;
  IniFile& iniFile() { return *ini_; }
  // The connection settings as the job uses them (Config held to the sane ranges).
  const TConfig& usedConfig() const { return usedConfig_; }

  TController UsedCpu = cESP32;
  std::string ProgPath;  // the executable's directory, with a trailing separator
  std::string ProgTitle;
  TConfig Config;  // as the settings file holds it, and as it is written back

  std::string statusText();
  // The job's view (through WindowAdapter, which drives the bar, the MAC label and the buttons
  // from the job's events). The port's full name ("/dev/ttyUSB0"), though the list shows
  // "ttyUSB0".
  std::string portName() override;
  void setStatusText(const std::string& text) override;
  void setMacText(const std::string& text) override;
  void setProgressMax(int max) override;
  void setProgressPos(int pos) override;
  void setProgressVisible(bool visible) override;
  void setUpdateEnabled(bool enabled) override;
  void setEraseEnabled(bool enabled) override;
  void processEvents() override;
  int execute(const std::string& msgText, TMsgDlgType dlgType, const std::string& captionTitle,
              TMsgBut buttons, bool msgBeep) override;

 public slots:
  void Timer1Timer();
  void cbPortDropDown();
  // A file name changed; the sender's tag names the field (the window itself has tag 0).
  void edFilenameChange(QObject* sender);
  // Runs the job of the sender's tag (1 erase, 2 update).
  void ButStartClick(QObject* sender);

 signals:
  // The window has closed for good (FormClose ran): the program ends.
  void closed();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormShow();
  void FormClose();
  void CheckFiles();
  void fillPortList(const QString& keep);
  // Moves the window and sets the focus as saved; returns the saved window state, if any.
  std::optional<WindowState> restorePlacement();
  void savePlacement();
  void applyLook();
  TFileEdit* field(int tag) const;
  std::array<std::string, 3> fileNames() const;

  std::unique_ptr<Ui_TMain> ui;
  QTimer* Timer1;
  std::unique_ptr<IniFile> ini_;
  std::string exePath_;
  QStringList args_;
  TConfig usedConfig_;

  TDebug* debug_ = nullptr;
  TMsgBox* msgBox_ = nullptr;
  TComIo* com_ = nullptr;
  std::unique_ptr<Flasher> flasher_;
  DialogHandler dialogHandler_;
  PortInfoLister portInfoLister_;

  bool shown_ = false;
  bool placementRestored_ = false;
  bool formClosed_ = false;
  bool closePending_ = false;  // the user closed the window while a job ran
};

}  // namespace flintmoor
