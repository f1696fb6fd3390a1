// A main window wired as start-up wires it, on a virtual clock, with the port list (and what is
// known of each port) the test chooses and the virtual ESP32 behind every port name, its settings
// file in a scratch directory, and the dialogs answered by the test.
#pragma once

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "SimBoard.h"
#include "app/MainWidgets.h"
#include "app/uMain.h"
#include "base/Clock.h"
#include "comio/PortInfo.h"
#include "comio/uComIo.h"
#include "diag/uDebug.h"
#include "diag/uMessageBox.h"
#include "tests/support/TempDir.h"

namespace flintmoor::testing {

// One dialog the job put to the user.
struct AskedDialog {
  std::string text;
  TMsgDlgType type;
  std::string caption;
  TMsgBut buttons;
  bool beep;
};

class MainWindowTest : public ::testing::Test {
 protected:
  // The executable's path: a file in the scratch directory, beside the settings file.
  std::string exePath() const { return dir.file("flintmoor"); }
  std::string iniPath() const { return dir.file("Flintmoor.ini"); }

  // Creates the window (its creation loads the settings file) and shows it.
  void start(const QStringList& args = {}) {
    writeBytes(exePath(), "program");
    main = std::make_unique<TMain>(exePath(), args);
    main->attach(debug, box, com);
    main->setPortInfoLister([this] { return portInfo; });
    main->setDialogHandler([this](const std::string& text, TMsgDlgType type,
                                  const std::string& caption, TMsgBut buttons, bool beep) {
      dialogs.push_back({text, type, caption, buttons, beep});
      if (onDialog) onDialog(dialogs.back());
      return answer;
    });
    main->show();
  }

  template <typename T = QWidget>
  T* control(const char* name) const {
    T* w = main->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  TFileEdit* field(const char* name) const { return control<TFileEdit>(name); }
  QPushButton* button(const char* name) const { return control<QPushButton>(name); }
  TPortComboBox* portList() const { return control<TPortComboBox>("cbPort"); }
  TStatusBar* statusBar() const { return control<TStatusBar>("sBar"); }
  TLed* led() const { return control<TLed>("LED1"); }

  QStringList portItems() const {
    QStringList items;
    for (int i = 0; i < portList()->count(); ++i) items << portList()->itemText(i);
    return items;
  }

  TempDir dir;
  VirtualClock clock;
  SimBoard board{clock};  // the only port that opens is "SIM"
  std::vector<std::string> ports = {"COM3"};
  std::vector<PortInfo> portInfo;   // for the tooltips; may name fewer ports than `ports`
  std::vector<std::string> opened;  // the names the serial link opened
  TComIo com{clock,
             [this](const std::string& name) {
               opened.push_back(name);
               return board.device();
             },
             [this] { return ports; }};
  TDebug debug;
  TMsgBox box;
  std::vector<AskedDialog> dialogs;
  int answer = mrYes;
  std::function<void(const AskedDialog&)> onDialog;
  std::unique_ptr<TMain> main;
};

}  // namespace flintmoor::testing
