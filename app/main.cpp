// Start-up of the window program: the main window, the log window, the message dialog and the
// serial link module, in this order; then the event loop; the settings go to disk at the end.
#include <QApplication>
#include <QPixmap>
#include <QStringList>
#include <QTimer>

#include "app/uMain.h"
#include "base/Clock.h"
#include "comio/Platform.h"
#include "comio/uComIo.h"
#include "diag/uDebug.h"
#include "diag/uMessageBox.h"

int main(int argc, char** argv) {
  using namespace flintmoor;
  QApplication app(argc, argv);
  QStringList args = app.arguments();
  args.removeFirst();

  TMain mainWindow(QCoreApplication::applicationFilePath().toStdString(), args);
  TDebug debug;
  TMsgBox msgBox(&mainWindow);
  VirtualClock clock;
  clock.setRealTime(true);
  TComIo com(
      clock, [](const std::string&) { return makeOsSerialDevice(); }, [] { return listOsPorts(); });
  mainWindow.attach(debug, msgBox, com);

  QObject::connect(&mainWindow, &TMain::closed, &app, &QCoreApplication::quit);
  mainWindow.show();

  // --screenshot FILE: once the start-up check has run, save a picture of the window and close.
  const qsizetype shot = args.indexOf("--screenshot");
  if (shot >= 0 && shot + 1 < args.size()) {
    const QString file = args[shot + 1];
    QTimer::singleShot(500, &mainWindow, [&mainWindow, file] {
      mainWindow.grab().save(file);
      mainWindow.close();
    });
  }
  const int rc = app.exec();
  mainWindow.saveSettingsFile();
  return rc;
}
