// Start-up of the window program: the main window, the log window, the message dialog and the
// serial link module with its USB watcher, in this order; then the event loop; the settings go to
// disk at the end. Switches: "-d" (log window, copy into dist/), "--simulate" (the port "SIM",
// a virtual ESP32 in real time), "--screenshot FILE" (save a picture of the window and close).
// Two more serve pictures for the documentation only, with --screenshot: "--screenshot-ports"
// lists two made-up USB ports instead of the system's (they do not open), and
// "--screenshot-popup" opens the port list before the picture, which then covers the screen area
// of every window shown (needs a real display, such as Xvfb, since the pop-up is a window of its
// own); "--screenshot-tooltip" also shows the first item's tooltip.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QScreen>
#include <QStringList>
#include <QTimer>
#include <QToolTip>
#include <memory>
#include <vector>

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

namespace {

using flintmoor::PortInfo;

// The made-up ports of --screenshot-ports.
std::vector<PortInfo> pictureOnlyPorts() {
  const auto usb = [](const char* name, uint16_t vid, uint16_t pid, const char* serial,
                      const char* manufacturer, const char* product) {
    PortInfo port;
    port.name = name;
    port.usb = true;
    port.vid = vid;
    port.pid = pid;
    port.serial = serial;
    port.manufacturer = manufacturer;
    port.product = product;
    port.interfaceNumber = 0;
    return port;
  };
  return {usb("/dev/ttyUSB0", 0x10C4, 0xEA60, "0001", "Silicon Labs",
              "CP2102N USB to UART Bridge Controller"),
          usb("/dev/ttyACM0", 0x1209, 0x1001, "F4:12:FA:00:11:22", "Acme", "USB CDC serial port")};
}

// Saves the screen area that the visible windows (the main window, the pop-up, a tooltip) cover.
void saveScreenArea(QWidget& main, const QString& file) {
  QRect area = main.frameGeometry();
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible()) area = area.united(w->frameGeometry());
  }
  QScreen* screen = main.screen();
  screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(file);
}

// --screenshot FILE: once the start-up check has run, a picture of the window (or, with
// --screenshot-popup or --screenshot-tooltip, of the screen area the open port list covers), then
// the window closes.
void scheduleScreenshot(flintmoor::TMain& mainWindow, const QStringList& args) {
  const qsizetype shot = args.indexOf("--screenshot");
  if (shot < 0 || shot + 1 >= args.size()) return;
  const QString file = args[shot + 1];
  const bool tooltip = args.contains("--screenshot-tooltip");
  const bool popup = tooltip || args.contains("--screenshot-popup");
  // After the start-up check (100 ms) has coloured the fields.
  QTimer::singleShot(500, &mainWindow, [&mainWindow, file, popup, tooltip] {
    if (!popup) {
      mainWindow.grab().save(file);
      mainWindow.close();
      return;
    }
    auto* list = mainWindow.findChild<QComboBox*>("cbPort");
    list->showPopup();
    // Once the pop-up stands: the first item's tooltip, then the picture.
    QTimer::singleShot(300, &mainWindow, [&mainWindow, file, list, tooltip] {
      QAbstractItemView* view = list->view();
      const QRect first = view->visualRect(view->model()->index(0, 0));
      if (tooltip) {
        QToolTip::showText(view->viewport()->mapToGlobal(first.center() + QPoint(0, 4)),
                           list->itemData(0, Qt::ToolTipRole).toString(), view);
      }
      QTimer::singleShot(700, &mainWindow, [&mainWindow, file, list] {
        saveScreenArea(mainWindow, file);
        list->hidePopup();
        mainWindow.close();
      });
    });
  });
}

}  // namespace

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
  PortLister portLister = ports.lister();
  PortInfoLister portInfoLister = ports.infoLister();
  if (args.contains("--screenshot-ports")) {
    portInfoLister = pictureOnlyPorts;
    portLister = [] {
      std::vector<std::string> names;
      for (const PortInfo& port : pictureOnlyPorts()) names.push_back(port.name);
      return names;
    };
  }
  TComIo com(clock, ports.factory(), portLister);
  mainWindow.setPortInfoLister(portInfoLister);

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
  com.DeviceVendorId = [&usb](const std::string& path) { return usb.DeviceVendorId(path); };
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

  scheduleScreenshot(mainWindow, args);

  const int rc = app.exec();
  mainWindow.saveSettingsFile();
  // The serial link goes before the window (reverse order of creation).
  mainWindow.detach();
  return rc;
}
