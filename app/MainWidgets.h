// The main window's own controls: the file-name field with its browse button, the port drop-down
// that refreshes when opened, the connection LED, the two-panel status bar, and the pictures of
// the two job buttons.
#pragma once

#include <QComboBox>
#include <QIcon>
#include <QLineEdit>
#include <QWidget>
#include <functional>

class QLabel;

namespace flintmoor {

// A file name that the user cannot type: it comes from the browse dialog (filter
// "Binary Files (*.bin)"), from the first file dropped onto the field, or from the program.
class TFileEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit TFileEdit(QWidget* parent = nullptr);

  // Opens the browse dialog and takes the chosen file.
  void browse();
  // What browse() asks for a file name; replaceable so tests need no modal dialog. The default
  // opens the file dialog in the field's file's directory, or the current directory.
  std::function<QString(TFileEdit*)> chooseFile;

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

// The choice-only port list; opening it emits dropDown first, so the list can be refilled.
class TPortComboBox : public QComboBox {
  Q_OBJECT

 public:
  explicit TPortComboBox(QWidget* parent = nullptr) : QComboBox(parent) {}
  void showPopup() override;

 signals:
  void dropDown();
};

// A round two-state lamp.
class TLed : public QWidget {
  Q_OBJECT

 public:
  explicit TLed(QWidget* parent = nullptr) : QWidget(parent) {}
  bool isLit() const { return lit_; }
  void setLit(bool lit);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool lit_ = false;
};

// The status bar: panel 0, 250 wide and left-aligned; panel 1, 80 wide and centred.
class TStatusBar : public QWidget {
  Q_OBJECT

 public:
  explicit TStatusBar(QWidget* parent = nullptr);
  QString panelText(int index) const;
  void setPanelText(int index, const QString& text);
  QLabel* panel(int index) const { return panels_[index]; }

 private:
  QLabel* panels_[2];
};

// The pictures of the job buttons, drawn by us.
QIcon eraseIcon();
QIcon updateIcon();

}  // namespace flintmoor
