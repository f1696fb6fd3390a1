// The main window: its controls, start-up steps, port list, file check, LED, debug switch,
// placement and the settings it writes when it closes.
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QScreen>
#include <QUrl>

#include "MainWindowFixture.h"
#include "app/IniFile.h"

namespace flintmoor::testing {
namespace {

struct Placed {
  const char* name;
  int x, y, width, height;
};

TEST_F(MainWindowTest, ControlsStandAtTheirPlacesWithTheirTexts) {
  start();
  EXPECT_EQ(main->size(), QSize(385, 245));
  EXPECT_EQ(main->minimumSize(), main->maximumSize());
  // Window coordinates: the file band starts at 0, the middle band at 139, the footer at 171.
  for (const Placed& p : {Placed{"edBoot", 16, 14, 355, 26}, Placed{"edPart", 16, 58, 355, 26},
                          Placed{"edFirm", 16, 102, 355, 26}, Placed{"LabMac", 57, -1, 128, -1},
                          Placed{"pBar", 215, 147, 156, 17}, Placed{"cbPort", 16, 193, 80, 26},
                          Placed{"LED1", 102, 198, -1, -1}, Placed{"butErase", 215, 182, 75, 33},
                          Placed{"butUpdate", 296, 181, 75, 34}, Placed{"sBar", 0, 225, 385, 20},
                          Placed{"labBoot", 16, -1, 146, -1}, Placed{"labComPort", 16, -1, 80, -1},
                          Placed{"labMac", 0, -1, 51, -1}}) {
    QWidget* w = control(p.name);
    ASSERT_NE(w, nullptr);
    const QPoint at = w->mapTo(main.get(), QPoint(0, 0));
    EXPECT_EQ(at.x(), p.x) << p.name;
    if (p.y >= 0) {
      EXPECT_EQ(at.y(), p.y) << p.name;
    }
    if (p.width >= 0) {
      EXPECT_EQ(w->width(), p.width) << p.name;
    }
    if (p.height >= 0) {
      EXPECT_EQ(w->height(), p.height) << p.name;
    }
  }
  EXPECT_EQ(control<QLabel>("labBoot")->text(), "[0x0000] Bootloader");
  EXPECT_EQ(control<QLabel>("labPart")->text(), "[0x8000] Partitions");
  EXPECT_EQ(control<QLabel>("labFirm")->text(), "[0x10000] Firmware");
  EXPECT_EQ(control<QLabel>("labMac")->text(), "MAC:");
  EXPECT_EQ(control<QLabel>("LabMac")->text(), "---");
  EXPECT_EQ(control<QLabel>("labComPort")->text(), "COM-Port");
  EXPECT_EQ(button("butErase")->text(), "Erase");
  EXPECT_EQ(button("butUpdate")->text(), "Update");
  EXPECT_FALSE(button("butErase")->icon().isNull());
  EXPECT_FALSE(button("butUpdate")->icon().isNull());
  EXPECT_EQ(field("edBoot")->property("tag").toInt(), 0);
  EXPECT_EQ(field("edPart")->property("tag").toInt(), 1);
  EXPECT_EQ(field("edFirm")->property("tag").toInt(), 2);
  EXPECT_EQ(button("butErase")->property("tag").toInt(), 1);
  EXPECT_EQ(button("butUpdate")->property("tag").toInt(), 2);
  EXPECT_TRUE(field("edBoot")->isReadOnly());
  EXPECT_FALSE(portList()->isEditable());
  EXPECT_TRUE(control<QProgressBar>("pBar")->isHidden());
  EXPECT_FALSE(led()->isLit());

  EXPECT_EQ(main->font().family(), "Calibri");
  EXPECT_EQ(main->font().pixelSize(), 15);
  EXPECT_EQ(control<QLabel>("labBoot")->font().pixelSize(), 13);
  EXPECT_TRUE(control<QLabel>("labBoot")->font().bold());
  EXPECT_TRUE(button("butUpdate")->font().bold());
  EXPECT_EQ(statusBar()->font().pixelSize(), 16);
  EXPECT_TRUE(statusBar()->font().bold());
  EXPECT_EQ(control<QLabel>("labMac")->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_EQ(control<QLabel>("LabMac")->palette().color(QPalette::WindowText), QColor(128, 0, 0));

  EXPECT_EQ(statusBar()->panel(0)->width(), 250);
  EXPECT_EQ(statusBar()->panel(1)->width(), 80);
  EXPECT_TRUE(statusBar()->panel(0)->alignment() & Qt::AlignLeft);
  EXPECT_TRUE(statusBar()->panel(1)->alignment() & Qt::AlignHCenter);
}

TEST_F(MainWindowTest, StartUpShowsTitleStatusAndArmsTheOneShotCheck) {
  start();
  const QString title = QString("Flintmoor v%1.%2.%3")
                            .arg(FLINTMOOR_VERSION_MAJOR)
                            .arg(FLINTMOOR_VERSION_MINOR)
                            .arg(FLINTMOOR_VERSION_PATCH);
  EXPECT_EQ(main->windowTitle(), title);
  EXPECT_EQ(main->ProgTitle, title.toStdString());
  EXPECT_EQ(main->ProgPath, dir.str() + "/");
  EXPECT_EQ(statusBar()->panelText(0), "");
  EXPECT_EQ(statusBar()->panelText(1), "ESP32");
  EXPECT_EQ(main->UsedCpu, cESP32);
  auto* timer = main->findChild<QTimer*>("Timer1");
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->isActive());
  EXPECT_TRUE(timer->isSingleShot());
  EXPECT_EQ(timer->interval(), 100);

  main->Timer1Timer();
  EXPECT_FALSE(timer->isActive());
}

TEST_F(MainWindowTest, WithoutFilesAllFieldsFailAndOnlyEraseIsAvailable) {
  start();
  main->Timer1Timer();
  for (const char* name : {"edBoot", "edPart", "edFirm"}) {
    EXPECT_EQ(field(name)->palette().color(QPalette::Base), QColor(255, 192, 192)) << name;
    EXPECT_EQ(field(name)->toolTip(), "No Filename") << name;
  }
  EXPECT_FALSE(button("butUpdate")->isEnabled());
  EXPECT_TRUE(button("butErase")->isEnabled());
}

TEST_F(MainWindowTest, FileCheckColoursEachFieldAndGatesUpdate) {
  const std::string boot = dir.file("sub/boot.bin");
  const std::string part = dir.file("sub/part.bin");
  const std::string app = dir.file("sub/app.bin");
  std::filesystem::create_directory(dir.file("sub"));
  writeBytes(boot, std::string(10000, '\xE9'));
  writeBytes(part, std::string(3072, '\0'));
  writeBytes(app, std::string(65536, '\0'));
  start();
  field("edBoot")->setText(QString::fromStdString(boot));
  field("edPart")->setText(QString::fromStdString(part));
  EXPECT_FALSE(button("butUpdate")->isEnabled());
  field("edFirm")->setText(QString::fromStdString(app));

  const QColor normal = QApplication::palette(field("edBoot")).color(QPalette::Base);
  for (const char* name : {"edBoot", "edPart", "edFirm"}) {
    EXPECT_EQ(field(name)->palette().color(QPalette::Base), normal) << name;
    EXPECT_EQ(field(name)->toolTip(), field(name)->text()) << name;
  }
  EXPECT_TRUE(button("butUpdate")->isEnabled());

  writeBytes(dir.file("sub/short.bin"), std::string(3071, '\0'));
  field("edPart")->setText(QString::fromStdString(dir.file("sub/short.bin")));
  EXPECT_EQ(field("edPart")->palette().color(QPalette::Base), QColor(255, 192, 192));
  EXPECT_EQ(field("edPart")->toolTip(), "Filesize Error");
  EXPECT_EQ(field("edBoot")->palette().color(QPalette::Base), normal);
  EXPECT_FALSE(button("butUpdate")->isEnabled());

  field("edPart")->setText(QString::fromStdString(dir.file("sub/none.bin")));
  EXPECT_EQ(field("edPart")->toolTip(), "File not found");
}

TEST_F(MainWindowTest, AFileBesideTheProgramIsShownByNameOnly) {
  start();
  field("edFirm")->setText(QString::fromStdString(dir.file("app.bin")));
  EXPECT_EQ(field("edFirm")->text(), "app.bin");
  const QString elsewhere = QDir::toNativeSeparators(QDir::tempPath() + "/other/app.bin");
  field("edFirm")->setText(elsewhere);
  EXPECT_EQ(field("edFirm")->text(), elsewhere);
}

TEST_F(MainWindowTest, FileNamesComeFromTheBrowseDialogAndFromDrops) {
  start();
  field("edPart")->chooseFile = [this](TFileEdit*) {
    return QString::fromStdString(dir.file("chosen.bin"));
  };
  field("edPart")->browse();
  EXPECT_EQ(field("edPart")->text(), "chosen.bin");  // beside the program: the bare name
  EXPECT_EQ(field("edPart")->toolTip(), "File not found");

  field("edPart")->chooseFile = [](TFileEdit*) { return QString(); };  // cancelled
  field("edPart")->browse();
  EXPECT_EQ(field("edPart")->text(), "chosen.bin");

  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile("/srv/images/first.bin"),
                QUrl::fromLocalFile("/srv/images/second.bin")});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(field("edBoot"), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(field("edBoot"), &drop);
  EXPECT_EQ(field("edBoot")->text(), QDir::toNativeSeparators("/srv/images/first.bin"));
}

TEST_F(MainWindowTest, PortListIsSortedNaturallyAndSelectsTheSavedPortIgnoringCase) {
  writeBytes(iniPath(), "[CONFIG]\r\nComPort=com4\r\n");
  ports = {"COM3", "COM10", "COM4", "COM2"};
  start();
  EXPECT_EQ(portItems(), (QStringList{"COM2", "COM3", "COM4", "COM10"}));
  EXPECT_EQ(portList()->currentText(), "COM4");
  EXPECT_EQ(main->portName(), "COM4");
}

TEST_F(MainWindowTest, AVanishedSavedPortSelectsTheFirstPort) {
  writeBytes(iniPath(), "[CONFIG]\r\nComPort=COM7\r\n");
  ports = {"COM4", "COM3"};
  start();
  EXPECT_EQ(portList()->currentText(), "COM3");
}

TEST_F(MainWindowTest, NoPortsLeaveTheListEmptyWithoutSelection) {
  ports = {};
  start();
  EXPECT_EQ(portList()->count(), 0);
  EXPECT_EQ(portList()->currentIndex(), -1);
}

TEST_F(MainWindowTest, OpeningTheListRefreshesItAndKeepsTheSelection) {
  ports = {"COM3", "COM4"};
  start();
  portList()->setCurrentIndex(1);
  ASSERT_EQ(portList()->currentText(), "COM4");

  ports = {"COM4", "COM12", "COM1"};
  portList()->showPopup();
  portList()->hidePopup();
  EXPECT_EQ(portItems(), (QStringList{"COM1", "COM4", "COM12"}));
  EXPECT_EQ(portList()->currentText(), "COM4");

  ports = {"COM12", "COM9"};
  portList()->showPopup();
  portList()->hidePopup();
  EXPECT_EQ(portList()->currentText(), "COM9");
}

TEST_F(MainWindowTest, LedIsLitExactlyWhileThePortIsOpen) {
  start();
  EXPECT_FALSE(led()->isLit());
  com.cPort.setPort("COM3");
  com.cPort.Open();
  EXPECT_TRUE(led()->isLit());
  com.DisConnect();
  EXPECT_FALSE(led()->isLit());
}

TEST_F(MainWindowTest, ClosingWritesPlacementConnectionSettingsAndFiles) {
  writeBytes(iniPath(),
             "; kept by hand\r\n[CONFIG]\r\nFastFirst=no\r\nDoBeep=Y\r\nMyNote=blue\r\n"
             "[FILES]\r\nFirmware=app.bin\r\n");
  ports = {"COM5"};
  start();
  EXPECT_FALSE(main->Config.FastFirst);
  main->close();
  EXPECT_FALSE(main->isVisible());
  ASSERT_TRUE(main->saveSettingsFile());

  IniFile saved(dir.str(), "Flintmoor.ini");
  EXPECT_EQ(saved.value("CONFIG", "ComPort"), "COM5");
  EXPECT_EQ(saved.value("CONFIG", "FastFirst"), "FALSE");
  EXPECT_EQ(saved.value("CONFIG", "DoBeep"), "TRUE");
  EXPECT_EQ(saved.value("CONFIG", "MyNote"), "blue");
  EXPECT_EQ(saved.value("FILES", "Firmware"), "app.bin");
  EXPECT_EQ(saved.value("FILES", "Bootloader"), "");
  EXPECT_EQ(saved.value("Main", "FormVersion"), "0");
  const QScreen* screen = main->screen();
  const std::string desktop = "(" + std::to_string(screen->virtualGeometry().width()) + "x" +
                              std::to_string(screen->virtualGeometry().height()) + ")";
  const QRect frame = main->frameGeometry();
  const std::string norm = std::to_string(frame.left()) + "," + std::to_string(frame.top()) + "," +
                           std::to_string(frame.left() + frame.width()) + "," +
                           std::to_string(frame.top() + frame.height());
  EXPECT_EQ(saved.value("Main", "NormPos" + desktop), norm);
  EXPECT_EQ(saved.value("Main", "NormPos"), norm);
  EXPECT_TRUE(readBytes(iniPath()).starts_with("[CONFIG]\r\nFastFirst=FALSE\r\nDoBeep=TRUE\r\n"));
}

TEST_F(MainWindowTest, PlacementIsRestoredOnTheMonitorAndFocusGoesToTheSavedControl) {
  writeBytes(iniPath(), "[Main]\r\nNormPos=40,30,425,275\r\nActiveControl=cbPort\r\n");
  start();
  EXPECT_EQ(main->frameGeometry().topLeft(), QPoint(40, 30));
  main->activateWindow();
  EXPECT_EQ(main->focusWidget(), portList());
}

TEST_F(MainWindowTest, PlacementOffEveryMonitorIsIgnored) {
  writeBytes(iniPath(), "[Main]\r\nNormPos=-5000,-5000,-4615,-4755\r\n");
  start();
  EXPECT_NE(main->frameGeometry().topLeft(), QPoint(-5000, -5000));
}

TEST_F(MainWindowTest, DebugSwitchShowsTheLogRightOfTheWindowAndCopiesTheProgram) {
  const QString before = QDir::currentPath();
  std::filesystem::create_directory(dir.file("dist"));
  ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.str())));
  writeBytes(iniPath(), "[Main]\r\nNormPos=20,10,405,255\r\n");
  start({"-Dx"});
  QDir::setCurrent(before);
  EXPECT_TRUE(debug.isVisible());
  EXPECT_EQ(debug.frameGeometry().topLeft(),
            QPoint(main->frameGeometry().left() + main->frameGeometry().width(),
                   main->frameGeometry().top()));
  const std::string copy =
      dir.file("dist/flintmoor" + std::to_string(FLINTMOOR_VERSION_MAJOR) +
               std::to_string(FLINTMOOR_VERSION_MINOR) + std::to_string(FLINTMOOR_VERSION_PATCH));
  EXPECT_EQ(readBytes(copy), "program");
}

TEST_F(MainWindowTest, WithoutTheDebugSwitchTheLogStaysHidden) {
  start({"--simulate", "-x"});
  EXPECT_FALSE(debug.isVisible());
}

}  // namespace
}  // namespace flintmoor::testing
