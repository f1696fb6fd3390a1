// TMsgBox: the system's own modal message dialog. It shows an icon chosen by the message type, the
// text, and a row of the caller's buttons, and answers the code of the button pressed.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "log/MsgDlg.h"

class QLabel;
class QPushButton;

namespace flintmoor {

class TMsgBox : public QDialog {
  Q_OBJECT

 public:
  // parent is the window the dialog centres over; without one it centres over the active window.
  explicit TMsgBox(QWidget* parent = nullptr);

  // Shows the dialog modally and returns the result code of the button pressed (TMsgResult), or
  // mrClose when the window system closes it. An empty caption takes the type's default.
  int Execute(const std::string& MsgText, TMsgDlgType DlgType, const std::string& CaptionTitle,
              TMsgBut Buttons, bool MsgBeep);

  // The error beep; tests replace it to observe it.
  void setBeeper(std::function<void()> beeper) { beeper_ = std::move(beeper); }

 public slots:
  // Escape and other cancel requests do nothing: only a button ends the dialog.
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void FormShow();
  void centreOverOwner();
  void destroyButtons();

  QLabel* Img;
  QLabel* InfoLabel;
  std::vector<QPushButton*> But;
  int ButCnt = 0;
  bool running_ = false;
  std::function<void()> beeper_;
};

}  // namespace flintmoor
