// Whole jobs through the window against the virtual ESP32 on the virtual clock: what reached the
// flash, what the window showed, the dialogs, and a close while a job runs.
#include <QSignalSpy>

#include "MainWindowFixture.h"
#include "job/IniFile.h"

namespace flintmoor::testing {
namespace {

class MainWindowJobTest : public MainWindowTest {
 protected:
  MainWindowJobTest() { ports = {"COM1", SimBoard::portName()}; }

  void startOnSim() {
    writeBytes(iniPath(), "[CONFIG]\r\nComPort=" + SimBoard::portName() + "\r\n" + extraConfig);
    start();
    main->Timer1Timer();
    ASSERT_EQ(main->portName(), SimBoard::portName());
  }

  // Three valid images in a directory of their own; the bootloader begins E9 03 00 4F.
  void chooseImages() {
    std::filesystem::create_directory(dir.file("img"));
    boot.assign(16384, 0x11);
    boot[0] = 0xE9, boot[1] = 0x03, boot[2] = 0x00, boot[3] = 0x4F;
    part.assign(3072, 0x22);
    app.resize(70000);
    for (size_t i = 0; i < app.size(); ++i) app[i] = static_cast<uint8_t>(i * 7);
    const std::pair<const char*, const std::vector<uint8_t>*> images[] = {
        {"edBoot", &boot}, {"edPart", &part}, {"edFirm", &app}};
    for (const auto& [name, bytes] : images) {
      const std::string path = dir.file(std::string("img/") + name + ".bin");
      writeBytes(path, std::string(bytes->begin(), bytes->end()));
      field(name)->setText(QString::fromStdString(path));
    }
  }

  std::string extraConfig;
  std::vector<uint8_t> boot, part, app;
};

TEST_F(MainWindowJobTest, UpdateWritesTheThreeImagesAndTheWindowEndsIdle) {
  startOnSim();
  chooseImages();
  ASSERT_TRUE(button("butUpdate")->isEnabled());
  button("butUpdate")->click();

  std::vector<uint8_t> patched = boot;
  patched[2] = 0x02, patched[3] = 0x20;
  EXPECT_EQ(board.flash(0x1000, boot.size()), patched);
  EXPECT_EQ(board.flash(0x8000, part.size()), part);
  EXPECT_EQ(board.flash(0x10000, app.size()), app);
  EXPECT_TRUE(dialogs.empty());
  EXPECT_EQ(statusBar()->panelText(0), "OK");
  EXPECT_EQ(control<QLabel>("LabMac")->text(), "02:00:5E:10:20:30");
  EXPECT_TRUE(button("butUpdate")->isEnabled() && button("butErase")->isEnabled());
  EXPECT_TRUE(control<QProgressBar>("pBar")->isHidden());
  EXPECT_FALSE(led()->isLit());
}

TEST_F(MainWindowJobTest, EraseAsksFirstAndErasesOnYes) {
  extraConfig = "DoBeep=FALSE\r\n";
  board.program(0x10000, {1, 2, 3, 4});
  startOnSim();
  answer = mrYes;
  bool ledLitWhileAsked = false;
  onDialog = [&](const AskedDialog&) { ledLitWhileAsked = led()->isLit(); };
  button("butErase")->click();

  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0].text, "Erase Flash?");
  EXPECT_EQ(dialogs[0].type, mtConfirmation);
  EXPECT_EQ(dialogs[0].caption, "ERASE");
  EXPECT_EQ(dialogs[0].buttons, msgBut(mbYes) | msgBut(mbNo));
  EXPECT_FALSE(dialogs[0].beep);  // DoBeep is off
  EXPECT_TRUE(ledLitWhileAsked);
  EXPECT_TRUE(board.flashIsBlank());
  EXPECT_EQ(statusBar()->panelText(0), "OK");
  EXPECT_FALSE(led()->isLit());
}

TEST_F(MainWindowJobTest, ABridgeThatCannotCarryTheFastSpeedIsRetriedSlowerAndEndsOk) {
  board.addFault("bridge-limit");
  startOnSim();
  chooseImages();
  button("butUpdate")->click();
  EXPECT_TRUE(dialogs.empty());
  EXPECT_EQ(statusBar()->panelText(0), "OK");
  EXPECT_EQ(board.flash(0x10000, app.size()), app);
  EXPECT_TRUE(debug.lines().contains("Line failed at 921600 bit/s: retrying at 460800 bit/s"));
}

TEST_F(MainWindowJobTest, AnotherChipIsRefusedAndPanelOneStillReadsEsp32) {
  board.addFault("s2");
  startOnSim();
  button("butErase")->click();
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0].text, "Controller Error: ESP32-S2");
  EXPECT_EQ(dialogs[0].type, mtError);
  EXPECT_EQ(dialogs[0].caption, "Error");
  EXPECT_EQ(dialogs[0].buttons, msgBut(mbClose));
  EXPECT_TRUE(dialogs[0].beep);
  EXPECT_EQ(statusBar()->panelText(0), "Error");
  EXPECT_EQ(statusBar()->panelText(1), "ESP32");
  EXPECT_EQ(control<QLabel>("LabMac")->text(), "---");
  EXPECT_EQ(main->UsedCpu, cESP32S2);
  EXPECT_FALSE(led()->isLit());
}

TEST_F(MainWindowJobTest, AFileCheckDuringAJobEnablesNoButton) {
  startOnSim();
  bool updateEnabledInJob = true;
  bool eraseEnabledInJob = true;
  onDialog = [&](const AskedDialog&) {
    chooseImages();  // three valid files: the check passes them all
    updateEnabledInJob = button("butUpdate")->isEnabled();
    eraseEnabledInJob = button("butErase")->isEnabled();
  };
  answer = mrNo;
  button("butErase")->click();
  EXPECT_FALSE(updateEnabledInJob);
  EXPECT_FALSE(eraseEnabledInJob);
  EXPECT_TRUE(button("butUpdate")->isEnabled());
}

TEST_F(MainWindowJobTest, ClosingDuringAJobWaitsForItsEndThenSavesTheSettings) {
  startOnSim();
  QSignalSpy closed(main.get(), &TMain::closed);
  bool visibleAfterClose = false;
  onDialog = [&](const AskedDialog&) {
    main->close();
    visibleAfterClose = main->isVisible();
  };
  answer = mrYes;
  button("butErase")->click();

  EXPECT_TRUE(visibleAfterClose);
  EXPECT_TRUE(board.flashIsBlank());  // the job ran to its end
  EXPECT_FALSE(board.bridgeIsOpen());
  EXPECT_FALSE(main->isVisible());
  EXPECT_EQ(closed.count(), 1);
  ASSERT_TRUE(main->saveSettingsFile());
  IniFile saved(dir.str(), "Flintmoor.ini");
  EXPECT_EQ(saved.value("CONFIG", "ComPort"), SimBoard::portName());
  EXPECT_TRUE(saved.valueExists("Main", "NormPos"));
}

}  // namespace
}  // namespace flintmoor::testing
