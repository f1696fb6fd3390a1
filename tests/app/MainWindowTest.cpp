// The main window: its controls, start-up steps, port list, file check, LED, debug switch,
// placement and the settings it writes when it closes.
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QScreen>
#include <QUrl>

#include "MainWindowFixture.h"
#include "job/IniFile.h"

namespace flintmoor::testing {
namespace {

const QColor kFail(255, 192, 192);

TEST_F(MainWindowTest, ControlsStandAtTheirPlacesWithTheirTextsAndLook) {
  start();
  EXPECT_EQ(main->size(), QSize(385, 245));
  EXPECT_EQ(main->minimumSize(), main->maximumSize());
  struct Placed {
    const char* name;
    QRect rect;  // in window coordinates: the middle band starts at 139, the footer at 171
  };
  for (const Placed& p :
       {Placed{"edBoot", {16, 14, 355, 26}}, Placed{"edPart", {16, 58, 355, 26}},
        Placed{"edFirm", {16, 102, 355, 26}}, Placed{"pBar", {215, 147, 156, 17}},
        Placed{"cbPort", {16, 193, 80, 26}}, Placed{"butErase", {215, 182, 75, 33}},
        Placed{"butUpdate", {296, 181, 75, 34}}, Placed{"sBar", {0, 225, 385, 20}}}) {
    QWidget* w = control(p.name);
    EXPECT_EQ(QRect(w->mapTo(main.get(), QPoint(0, 0)), w->size()), p.rect) << p.name;
  }
  EXPECT_EQ(led()->mapTo(main.get(), QPoint(0, 0)), QPoint(102, 198));
  const std::pair<const char*, const char*> texts[] = {{"labBoot", "[0x0000] Bootloader"},
                                                       {"labPart", "[0x8000] Partitions"},
                                                       {"labFirm", "[0x10000] Firmware"},
                                                       {"labMac", "MAC:"},
                                                       {"LabMac", "---"},
                                                       {"labComPort", "COM-Port"}};
  for (const auto& [name, text] : texts) EXPECT_EQ(control<QLabel>(name)->text(), text) << name;
  EXPECT_EQ(button("butErase")->text(), "Erase");
  EXPECT_EQ(button("butUpdate")->text(), "Update");
  for (const auto& [name, tag] :
       {std::pair{"edBoot", 0}, {"edPart", 1}, {"edFirm", 2}, {"butErase", 1}, {"butUpdate", 2}}) {
    EXPECT_EQ(control(name)->property("tag").toInt(), tag) << name;
  }
  EXPECT_TRUE(field("edBoot")->isReadOnly());
  EXPECT_FALSE(portList()->isEditable());
  EXPECT_TRUE(control<QProgressBar>("pBar")->isHidden());
  EXPECT_FALSE(led()->isLit());

  EXPECT_EQ(main->font().family(), "Calibri");
  EXPECT_EQ(main->font().pixelSize(), 15);
  EXPECT_EQ(control<QLabel>("labBoot")->font().pixelSize(), 13);
  EXPECT_TRUE(control<QLabel>("labBoot")->font().bold());
  EXPECT_EQ(statusBar()->font().pixelSize(), 16);
  EXPECT_EQ(control<QLabel>("labMac")->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_EQ(control<QLabel>("LabMac")->palette().color(QPalette::WindowText), QColor(128, 0, 0));
  EXPECT_EQ(statusBar()->panel(0)->width(), 250);
  EXPECT_EQ(statusBar()->panel(1)->width(), 80);
  EXPECT_TRUE(statusBar()->panel(1)->alignment() & Qt::AlignHCenter);
}

TEST_F(MainWindowTest, StartUpWithoutFilesShowsTitleStatusAndFailsAllThreeFields) {
  start();
  EXPECT_EQ(main->windowTitle(), QString("Flintmoor v%1.%2.%3")
                                     .arg(FLINTMOOR_VERSION_MAJOR)
                                     .arg(FLINTMOOR_VERSION_MINOR)
                                     .arg(FLINTMOOR_VERSION_PATCH));
  EXPECT_EQ(main->ProgPath,
            QDir::toNativeSeparators(QString::fromStdString(dir.str() + "/")).toStdString());
  EXPECT_EQ(statusBar()->panelText(0), "");
  EXPECT_EQ(statusBar()->panelText(1), "ESP32");
  auto* timer = main->findChild<QTimer*>("Timer1");
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->isActive() && timer->isSingleShot() && timer->interval() == 100);

  main->Timer1Timer();
  EXPECT_FALSE(timer->isActive());
  for (const char* name : {"edBoot", "edPart", "edFirm"}) {
    EXPECT_EQ(field(name)->palette().color(QPalette::Base), kFail) << name;
    EXPECT_EQ(field(name)->toolTip(), "No Filename") << name;
  }
  EXPECT_FALSE(button("butUpdate")->isEnabled());
  EXPECT_TRUE(button("butErase")->isEnabled());
}

TEST_F(MainWindowTest, FileCheckColoursEachFieldAndGatesUpdate) {
  std::filesystem::create_directory(dir.file("sub"));
  const std::pair<const char*, size_t> files[] = {
      {"edBoot", 10000}, {"edPart", 3072}, {"edFirm", 65536}};
  start();
  main->Timer1Timer();
  for (const auto& [name, size] : files) {
    EXPECT_FALSE(button("butUpdate")->isEnabled());
    writeBytes(dir.file(std::string("sub/") + name), std::string(size, '\0'));
    field(name)->setText(QString::fromStdString(dir.file(std::string("sub/") + name)));
  }
  const QColor normal = QApplication::palette(field("edBoot")).color(QPalette::Base);
  for (const auto& [name, size] : files) {
    EXPECT_EQ(field(name)->palette().color(QPalette::Base), normal) << name;
    EXPECT_EQ(field(name)->toolTip(), field(name)->text()) << name;
  }
  EXPECT_TRUE(button("butUpdate")->isEnabled());

  writeBytes(dir.file("sub/short"), std::string(3071, '\0'));
  field("edPart")->setText(QString::fromStdString(dir.file("sub/short")));
  EXPECT_EQ(field("edPart")->palette().color(QPalette::Base), kFail);
  EXPECT_EQ(field("edPart")->toolTip(), "Filesize Error");
  EXPECT_FALSE(button("butUpdate")->isEnabled());
}

TEST_F(MainWindowTest, NamesFromBrowseAndDropBesideTheProgramAreShownBare) {
  start();
  field("edPart")->chooseFile = [this](TFileEdit*) {
    return QString::fromStdString(dir.file("chosen.bin"));
  };
  field("edPart")->browse();
  EXPECT_EQ(field("edPart")->text(), "chosen.bin");
  EXPECT_EQ(field("edPart")->toolTip(), "File not found");

  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile("/srv/img/first.bin"), QUrl::fromLocalFile("/srv/second.bin")});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(field("edBoot"), &enter);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(field("edBoot"), &drop);
  EXPECT_EQ(field("edBoot")->text(), QDir::toNativeSeparators("/srv/img/first.bin"));
}

TEST_F(MainWindowTest, PortListIsSortedNaturallyAndSelectsTheSavedPortIgnoringCase) {
  writeBytes(iniPath(), "[CONFIG]\r\nComPort=com4\r\n");
  ports = {"COM3", "COM10", "COM4", "COM2"};
  start();
  EXPECT_EQ(portItems(), (QStringList{"COM2", "COM3", "COM4", "COM10"}));
  EXPECT_EQ(main->portName(), "COM4");

  // Opening the list refreshes it and keeps the selection, or takes the first port.
  ports = {"COM4", "COM12", "COM1"};
  portList()->showPopup();
  portList()->hidePopup();
  EXPECT_EQ(portItems(), (QStringList{"COM1", "COM4", "COM12"}));
  EXPECT_EQ(main->portName(), "COM4");
  ports = {"COM12", "COM9"};
  portList()->showPopup();
  portList()->hidePopup();
  EXPECT_EQ(main->portName(), "COM9");
}

TEST_F(MainWindowTest, AMissingSavedPortSelectsTheFirstAndNoPortsSelectNothing) {
  writeBytes(iniPath(), "[CONFIG]\r\nComPort=COM7\r\n");
  ports = {"COM4", "COM3"};
  start();
  EXPECT_EQ(main->portName(), "COM3");
  main.reset();
  ports = {};
  start();
  EXPECT_EQ(portList()->currentIndex(), -1);
}

TEST_F(MainWindowTest, LedIsLitExactlyWhileThePortIsOpen) {
  start();
  com.cPort.setPort(SimBoard::portName());
  com.cPort.Open();
  EXPECT_TRUE(led()->isLit());
  com.DisConnect();
  EXPECT_FALSE(led()->isLit());

  // Detached at program end, before the serial link goes: the link no longer reaches the window.
  main->detach();
  EXPECT_FALSE(com.cPortAfterOpen);
  EXPECT_FALSE(com.cPortAfterClose);
  com.cPort.Open();
  EXPECT_FALSE(led()->isLit());
  com.DisConnect();
}

TEST_F(MainWindowTest, ClosingWritesPlacementConnectionSettingsAndFiles) {
  writeBytes(iniPath(), "[CONFIG]\r\nFastFirst=no\r\nMyNote=blue\r\n[FILES]\r\nFirmware=a.bin\r\n");
  ports = {"COM5"};
  start();
  main->close();
  EXPECT_FALSE(main->isVisible());
  ASSERT_TRUE(main->saveSettingsFile());

  IniFile saved(dir.str(), "Flintmoor.ini");
  EXPECT_EQ(saved.value("CONFIG", "ComPort"), "COM5");
  EXPECT_EQ(saved.value("CONFIG", "FastFirst"), "FALSE");
  EXPECT_EQ(saved.value("CONFIG", "MyNote"), "blue");
  EXPECT_EQ(saved.value("FILES", "Firmware"), "a.bin");
  const QRect desktop = main->screen()->virtualGeometry();
  const QRect f = main->frameGeometry();
  const QString norm = QString("%1,%2,%3,%4")
                           .arg(f.left())
                           .arg(f.top())
                           .arg(f.left() + f.width())
                           .arg(f.top() + f.height());
  EXPECT_EQ(saved.value(
                "Main",
                QString("NormPos(%1x%2)").arg(desktop.width()).arg(desktop.height()).toStdString()),
            norm.toStdString());
  EXPECT_EQ(saved.value("Main", "NormPos"), norm.toStdString());
}

TEST_F(MainWindowTest, AFileNameThatWouldNotReadBackIsKeptInItsFieldButNotStored) {
  writeBytes(iniPath(), "[FILES]\r\nBootloader=b.bin\r\nFirmware=a.bin\r\n");
  start();
  // Legal file names on Linux, which the settings file cannot hold as they are.
  field("edFirm")->setText(" app.bin");
  field("edPart")->setText("part\n.bin");
  main->close();
  ASSERT_TRUE(main->saveSettingsFile());
  IniFile saved(dir.str(), "Flintmoor.ini");
  EXPECT_EQ(saved.value("FILES", "Firmware"), "a.bin");
  EXPECT_FALSE(saved.valueExists("FILES", "Partitions"));
  EXPECT_EQ(saved.value("FILES", "Bootloader"), "b.bin");
  EXPECT_EQ(field("edFirm")->text(), " app.bin");
  EXPECT_TRUE(debug.lines().contains(
      "Settings: Firmware not stored: the file name \" app.bin\" would not read back (blanks or "
      "control characters at an end, a line break, or bytes that are not UTF-8)"));
}

TEST_F(MainWindowTest, PlacementIsRestoredAndDebugSwitchPutsTheLogRightOfItAndCopiesTheProgram) {
  const QString before = QDir::currentPath();
  std::filesystem::create_directory(dir.file("dist"));
  ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.str())));
  writeBytes(iniPath(), "[Main]\r\nNormPos=40,30,425,275\r\nActiveControl=cbPort\r\n");
  start({"-Dx"});
  QDir::setCurrent(before);
  const QRect f = main->frameGeometry();
  EXPECT_EQ(f.topLeft(), QPoint(40, 30));
  EXPECT_EQ(main->focusWidget(), portList());
  EXPECT_TRUE(debug.isVisible());
  EXPECT_EQ(debug.frameGeometry().topLeft(), QPoint(f.left() + f.width(), f.top()));
  const std::string copy =
      dir.file("dist/flintmoor" + std::to_string(FLINTMOOR_VERSION_MAJOR) +
               std::to_string(FLINTMOOR_VERSION_MINOR) + std::to_string(FLINTMOOR_VERSION_PATCH));
  EXPECT_EQ(readBytes(copy), "program");
}

}  // namespace
}  // namespace flintmoor::testing
