// Start-up of the window program: the main window, the log window, the message dialog and the
// serial link module with its USB watcher, in this order; then the event loop; the settings go to
// disk at the end. Switches: "-d" (log window, copy into dist/), "--simulate" (the port "SIM",
// a virtual ESP32 in real time), "--screenshot FILE" (save a picture of the window and close).
#include <QApplication>
#include <QPixmap>
#include <QStringList>
#include <QTimer>
#include <memory>

#include "app/ProgramPorts.h"
#include "app/uMain.h"
#include "base/Clock.h"
#include "comio/U_Usb.h"
#include "comio/uComIo.h"
#include "diag/uDebug.h"
#include "diag/uMessageBox.h"

#if defined(__linux__)
#include <QSocketNotifier>
#endif

int main(int argc, char** argv) {
  using namespace flintmoor;
  QApplication app(argc, argv);
  QStringList args = app.arguments();
  args.removeFirst();
  const bool simulate = args.contains("--simulate");

  TMain mainWindow(QCoreApplication::applicationFilePath().toStdString(), args);
  TDebug debug;
  TMsgBox msgBox(&mainWindow);

  // One clock for everything: in real-time mode it paces the virtual chip by the wall clock and
  // behaves as a steady clock for real ports.
  VirtualClock clock;
  clock.setRealTime(true);
  ProgramPorts ports(clock, simulate);
  TComIo com(clock, ports.factory(), ports.lister());

  // USB hot-plug tracing.
  TComponentUSB usb;
  usb.OnUSBArrival = [&com](const std::string& path) { com.UsbArrival(path); };
  usb.OnUSBRemove = [&com](const std::string& path) { com.UsbRemove(path); };
  usb.OnException = [&msgBox](const std::string& message) {
    msgBox.Execute(message, mtError, "Error", msgBut(mbOK), true);
  };
  com.UsbLog = &debug;
  com.CurrentPortText = [&mainWindow] { return mainWindow.portName(); };
  com.DevicePortName = [&usb](const std::string& path) { return usb.DevicePortName(path); };
#if defined(__linux__)
  std::unique_ptr<QSocketNotifier> usbWatch;
  if (usb.fd() >= 0) {
    usbWatch = std::make_unique<QSocketNotifier>(usb.fd(), QSocketNotifier::Read);
    QObject::connect(usbWatch.get(), &QSocketNotifier::activated, [&usb] { usb.dispatch(); });
  }
#endif

  mainWindow.attach(debug, msgBox, com);
  QObject::connect(&mainWindow, &TMain::closed, &app, &QCoreApplication::quit);
  mainWindow.show();

  const qsizetype shot = args.indexOf("--screenshot");
  if (shot >= 0 && shot + 1 < args.size()) {
    const QString file = args[shot + 1];
    // After the start-up check (100 ms) has coloured the fields.
    QTimer::singleShot(500, &mainWindow, [&mainWindow, file] {
      mainWindow.grab().save(file);
      mainWindow.close();
    });
  }

  const int rc = app.exec();
  mainWindow.saveSettingsFile();
  // The serial link goes before the window (reverse order of creation).
  mainWindow.detach();
  return rc;
}
