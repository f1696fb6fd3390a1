// The main window: start-up steps, the port list, the file check, the job's view, the window
// placement and the orderly close.
#include "app/uMain.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <vector>

#include "app/MainWidgets.h"
#include "base/Error.h"
#include "comio/uComIo.h"
#include "diag/uDebug.h"
#include "diag/uMessageBox.h"
#include "job/Flasher.h"
#include "job/IniFile.h"
#include "job/Settings.h"
#include "job/Startup.h"
#include "job/StrNatComp.h"
#include "ui_uMain.h"

namespace flintmoor {

namespace {

const QColor kFailColour(255, 192, 192);
const QColor kNavy(0, 0, 128);
const QColor kMaroon(128, 0, 0);

QFont pixelFont(int pixels, bool bold) {
  QFont f("Calibri");
  f.setPixelSize(pixels);
  f.setBold(bold);
  return f;
}

// In the system's own separators: the browse dialog and a drop give names in them, and a name
// beside the executable is shown bare only when its directory matches this character for character.
std::string exeDirectory(const std::string& exePath) {
  QString dir = QDir::toNativeSeparators(QFileInfo(QString::fromStdString(exePath)).absolutePath());
  if (!dir.endsWith(QDir::separator())) dir += QDir::separator();
  return dir.toStdString();
}

std::vector<std::string> toStd(const QStringList& list) {
  std::vector<std::string> out;
  for (const QString& s : list) out.push_back(s.toStdString());
  return out;
}

// What the placement rules need of the screens.
ScreenInfo screenInfo(const QWidget* window) {
  ScreenInfo info;
  QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  if (screen != nullptr) {
    const QRect desktop = screen->virtualGeometry();
    info.desktopWidth = desktop.width();
    info.desktopHeight = desktop.height();
    info.pixelsPerInch = qRound(screen->logicalDotsPerInch());
  }
  info.onMonitor = [](int x, int y) { return QGuiApplication::screenAt(QPoint(x, y)) != nullptr; };
  return info;
}

}  // namespace

TMain::TMain(const std::string& exePath, const QStringList& args, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui_TMain>()), exePath_(exePath), args_(args) {
  ui->setupUi(this);
  setFixedSize(385, 245);
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  applyLook();

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setSingleShot(true);
  connect(Timer1, &QTimer::timeout, this, &TMain::Timer1Timer);

  for (TFileEdit* edit : {ui->edBoot, ui->edPart, ui->edFirm}) {
    connect(edit, &QLineEdit::textChanged, this, [this, edit] { edFilenameChange(edit); });
  }
  for (QPushButton* button : {ui->butErase, ui->butUpdate}) {
    connect(button, &QPushButton::clicked, this, [this, button] { ButStartClick(button); });
  }
  connect(ui->cbPort, &TPortComboBox::dropDown, this, &TMain::cbPortDropDown);

  // FormCreate.
  ProgTitle = programTitle(buildVersion());
  ProgPath = exeDirectory(exePath_);
  // Beside the program when it may write there (portable use), else the user's configuration
  // folder (an installed program).
  ini_ =
      std::make_unique<IniFile>(settingsDirectory(ProgPath, processEnvironment), kSettingsFileName);
  // The taskbar shows the main window's caption. The application's display name stays unset:
  // the window system would append it to the caption of every other window and dialog.
  setWindowTitle(QString::fromStdString(ProgTitle));
}

TMain::~TMain() {
  // The serial link may outlive the window: its callbacks must not reach the LED any more.
  detach();
}

void TMain::detach() {
  if (com_ == nullptr) return;
  com_->cPortAfterOpen = nullptr;
  com_->cPortAfterClose = nullptr;
  com_ = nullptr;
}

void TMain::applyLook() {
  setFont(pixelFont(15, false));
  for (QLabel* caption : {ui->labBoot, ui->labPart, ui->labFirm}) {
    caption->setFont(pixelFont(13, true));
  }
  for (QWidget* w : std::initializer_list<QWidget*>{ui->labMac, ui->LabMac, ui->labComPort,
                                                    ui->cbPort, ui->butErase, ui->butUpdate}) {
    w->setFont(pixelFont(15, true));
  }
  ui->sBar->setFont(pixelFont(16, true));
  QPalette navy = ui->labMac->palette();
  navy.setColor(QPalette::WindowText, kNavy);
  ui->labMac->setPalette(navy);
  QPalette maroon = ui->LabMac->palette();
  maroon.setColor(QPalette::WindowText, kMaroon);
  ui->LabMac->setPalette(maroon);
  // A label keeps its place but grows to the height its font needs, so no text is clipped: the
  // field captions downwards (their field overlaps the spare room), the others about their middle.
  for (QLabel* label :
       {ui->labBoot, ui->labPart, ui->labFirm, ui->labMac, ui->LabMac, ui->labComPort}) {
    const int needed = QFontMetrics(label->font()).height();
    if (label->height() >= needed) continue;
    const bool caption = label->parentWidget() == ui->fileBand;
    const int top = caption ? label->y() : label->y() - (needed - label->height()) / 2;
    if (caption) label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(label->x(), top, label->width(), needed);
    label->lower();
  }
  ui->butErase->setIcon(eraseIcon());
  ui->butUpdate->setIcon(updateIcon());
  ui->butErase->setIconSize(QSize(20, 20));
  ui->butUpdate->setIconSize(QSize(20, 20));
  ui->pBar->setMinimum(0);
  ui->pBar->setVisible(false);
}

void TMain::attach(TDebug& debug, TMsgBox& msgBox, TComIo& com) {
  debug_ = &debug;
  msgBox_ = &msgBox;
  com_ = &com;
  com.cPortAfterOpen = [this] { ui->LED1->setLit(true); };
  com.cPortAfterClose = [this] { ui->LED1->setLit(false); };
}

void TMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
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
  const bool debugSwitch = hasDebugSwitch(toStd(args_));
  // A failed copy (no "dist" directory, for one) is of no concern to the user.
  if (debugSwitch) copyToDist(exePath_, version);

  ProgTitle = programTitle(version);
  setWindowTitle(QString::fromStdString(ProgTitle));

  Config = readConfigAsRead(*ini_, log);
  usedConfig_ = clampConfig(Config, &log);
  fillPortList(QString::fromStdString(readComPort(*ini_)));

  const std::array<std::string, 3> files = readFiles(*ini_);
  for (int tag = 0; tag < 3; ++tag) field(tag)->setText(QString::fromStdString(files[tag]));

  const std::optional<WindowState> state = restorePlacement();
  // The log window stands flush right of the window where the placement put it.
  if (debugSwitch) debug_->placeRightOf(this);
  if (state) {
    if (state == WindowState::Maximized) setWindowState(windowState() | Qt::WindowMaximized);
    if (state == WindowState::Minimized) {
      // Minimising the main window minimises the whole application.
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() || w == this) w->setWindowState(w->windowState() | Qt::WindowMinimized);
      }
    }
  }

  ui->sBar->setPanelText(0, QString());
  UsedCpu = cESP32;
  ui->sBar->setPanelText(1, "ESP32");

  flasher_ = std::make_unique<Flasher>(*com_, log, *this, usedConfig_);

  Timer1->setInterval(100);
  Timer1->start();
}

void TMain::Timer1Timer() {
  Timer1->stop();
  edFilenameChange(this);
}

TFileEdit* TMain::field(int tag) const {
  switch (tag) {
    case 1:
      return ui->edPart;
    case 2:
      return ui->edFirm;
    default:
      return ui->edBoot;
  }
}

std::array<std::string, 3> TMain::fileNames() const {
  return {ui->edBoot->text().toStdString(), ui->edPart->text().toStdString(),
          ui->edFirm->text().toStdString()};
}

void TMain::edFilenameChange(QObject* sender) {
  TFileEdit* edit = field(sender->property("tag").toInt());
  const std::string text = edit->text().toStdString();
  const std::string stripped = stripProgDir(text, ProgPath);
  // Changing the text runs this handler once more, which then finds nothing to strip.
  if (stripped != text) edit->setText(QString::fromStdString(stripped));
  CheckFiles();
}

void TMain::CheckFiles() {
  if (debug_ == nullptr) return;
  bool allPass = true;
  for (int tag = 0; tag < 3; ++tag) {
    TFileEdit* edit = field(tag);
    const FileCheck check = checkImageFile(tag, edit->text().toStdString(), *debug_);
    QPalette pal = QApplication::palette(edit);
    if (!check.ok) pal.setColor(QPalette::Base, kFailColour);
    edit->setPalette(pal);
    edit->setToolTip(QString::fromStdString(check.hint));
    allPass = allPass && check.ok;
  }
  // While a job runs both buttons stay disabled; the job enables them when it ends.
  if (!jobRunning()) ui->butUpdate->setEnabled(allPass);
}

void TMain::cbPortDropDown() {
  fillPortList(QString::fromStdString(portName()));
}

// Each item shows the port's short name ("ttyUSB0"); its data is the full name the port opens
// with and the settings keep, its tooltip the full name with the device's description and ids.
void TMain::fillPortList(const QString& keep) {
  std::vector<std::string> items;
  for (int i = 0; i < ui->cbPort->count(); ++i)
    items.push_back(ui->cbPort->itemData(i).toString().toStdString());
  com_->ListComPorts(items);
  flintmoor::SortPorts(items);
  std::vector<PortInfo> known;
  if (portInfoLister_) {
    try {
      known = portInfoLister_();
    } catch (const Exception& e) {
      if (debug_ != nullptr) debug_->S(e.what());
    }
  }
  QSignalBlocker quiet(ui->cbPort);
  ui->cbPort->clear();
  int match = -1;
  int popupWidth = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    PortInfo port;
    port.name = items[i];
    for (const PortInfo& info : known) {
      if (info.name == items[i]) port = info;
    }
    const QString name = QString::fromStdString(items[i]);
    const QString shown = QString::fromStdString(shortPortName(items[i]));
    ui->cbPort->addItem(shown, name);
    ui->cbPort->setItemData(static_cast<int>(i), QString::fromStdString(portDetails(port)),
                            Qt::ToolTipRole);
    if (match < 0 && name.compare(keep, Qt::CaseInsensitive) == 0) match = static_cast<int>(i);
    popupWidth = std::max(popupWidth, ui->cbPort->fontMetrics().horizontalAdvance(shown));
  }
  // The list is 80 wide; its pop-up widens to show longer names whole.
  ui->cbPort->view()->setMinimumWidth(popupWidth + 24);
  // The remembered port, or the first one when it is gone; an empty list selects nothing.
  const int select = match >= 0 ? match : (items.empty() ? -1 : 0);
  ui->cbPort->setCurrentIndex(select);
}

void TMain::ButStartClick(QObject* sender) {
  if (flasher_ == nullptr || flasher_->job.running()) return;
  // "SIM" is the virtual chip the program offers with --simulate.
  flasher_->job.VirtualChip = portName() == "SIM";
  flasher_->job.ButStartClick(sender->property("tag").toInt(), fileNames());
  UsedCpu = flasher_->job.UsedCpu;
  if (closePending_) {
    closePending_ = false;
    close();
  }
}

bool TMain::jobRunning() const {
  return flasher_ != nullptr && flasher_->job.running();
}

void TMain::closeEvent(QCloseEvent* event) {
  if (jobRunning()) {
    // Tearing down the port under the running job would leave the chip half written; the close
    // is carried out as soon as the job has reset the chip and closed the port.
    closePending_ = true;
    if (debug_ != nullptr) debug_->S("Close deferred until the job ends");
    event->ignore();
    return;
  }
  if (!formClosed_) {
    formClosed_ = true;
    FormClose();
  }
  event->accept();
  emit closed();
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

std::optional<WindowState> TMain::restorePlacement() {
  const ScreenInfo screen = screenInfo(this);
  const QRect frame = frameGeometry();
  const PlacementRestore r = flintmoor::restorePlacement(
      *ini_, frame.left(), frame.top(), frame.width(), frame.height(), screen, debug_);
  placementRestored_ = true;
  if (r.move) move(r.left, r.top);
  if (!r.activeControl.empty()) {
    QWidget* target = findChild<QWidget*>(QString::fromStdString(r.activeControl));
    if (target != nullptr && target->isEnabled() && target->focusPolicy() != Qt::NoFocus) {
      target->setFocus();
    }
  }
  return r.state;
}

void TMain::savePlacement() {
  if (!placementRestored_) return;
  WindowPlacement p;
  const Qt::WindowStates state = windowState();
  p.showCmd = showCmdOf(state & Qt::WindowMinimized   ? WindowState::Minimized
                        : state & Qt::WindowMaximized ? WindowState::Maximized
                                                      : WindowState::Normal);
  // The normal rectangle: the frame's, also while minimised or maximised.
  QRect normal = frameGeometry();
  if (state & (Qt::WindowMinimized | Qt::WindowMaximized)) {
    const QRect client = normalGeometry();
    const QPoint frameOffset = geometry().topLeft() - frameGeometry().topLeft();
    normal = QRect(client.topLeft() - frameOffset, frameGeometry().size());
  }
  p.left = normal.left();
  p.top = normal.top();
  p.right = normal.left() + normal.width();
  p.bottom = normal.top() + normal.height();
  // The focused control, named by the nearest named widget (a field's browse button has none).
  QWidget* focused = focusWidget();
  while (focused != nullptr && focused != this && focused->objectName().isEmpty()) {
    focused = focused->parentWidget();
  }
  const std::string active =
      focused != nullptr && focused != this ? focused->objectName().toStdString() : "";
  writePlacement(*ini_, p, screenInfo(this), active);
}

std::string TMain::portName() {
  if (ui->cbPort->currentIndex() < 0) return std::string();
  return ui->cbPort->currentData().toString().toStdString();
}

std::string TMain::statusText() {
  return ui->sBar->panelText(0).toStdString();
}

void TMain::setStatusText(const std::string& text) {
  ui->sBar->setPanelText(0, QString::fromStdString(text));
}

void TMain::setMacText(const std::string& text) {
  ui->LabMac->setText(QString::fromStdString(text));
}

void TMain::setProgressMax(int max) {
  ui->pBar->setMaximum(max);
}

void TMain::setProgressPos(int pos) {
  ui->pBar->setValue(pos);
}

void TMain::setProgressVisible(bool visible) {
  ui->pBar->setVisible(visible);
}

void TMain::setUpdateEnabled(bool enabled) {
  ui->butUpdate->setEnabled(enabled);
}

void TMain::setEraseEnabled(bool enabled) {
  ui->butErase->setEnabled(enabled);
}

void TMain::processEvents() {
  QCoreApplication::processEvents();
}

int TMain::execute(const std::string& msgText, TMsgDlgType dlgType, const std::string& captionTitle,
                   TMsgBut buttons, bool msgBeep) {
  if (dialogHandler_) return dialogHandler_(msgText, dlgType, captionTitle, buttons, msgBeep);
  return msgBox_->Execute(msgText, dlgType, captionTitle, buttons, msgBeep);
}

}  // namespace flintmoor
