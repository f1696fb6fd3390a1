// The message dialog: per-call icon, text, size and buttons from the layout arithmetic, shown
// modally; the buttons live only for the call.
#include "diag/uMessageBox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "diag/Icons.h"
#include "log/MsgBoxLayout.h"

namespace flintmoor {

TMsgBox::TMsgBox(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      beeper_([] { QApplication::beep(); }) {
  setObjectName("MsgBox");
  setAttribute(Qt::WA_QuitOnClose, false);
  resize(299, 127);

  using M = MsgBoxMetrics;
  Img = new QLabel(this);
  Img->setObjectName("Img");
  Img->setGeometry(M::kImgLeft, M::kImgTop, M::kImgSize, M::kImgSize);

  InfoLabel = new QLabel(this);
  InfoLabel->setObjectName("InfoLabel");
  InfoLabel->setTextFormat(Qt::PlainText);  // the message is shown as is, never as markup
  InfoLabel->setWordWrap(false);
  QFont font("Calibri");
  font.setPixelSize(15);
  font.setWeight(QFont::Normal);
  InfoLabel->setFont(font);
  InfoLabel->move(M::kImgLeft, M::kLabelTop);
}

int TMsgBox::Execute(const std::string& MsgText, TMsgDlgType DlgType,
                     const std::string& CaptionTitle, TMsgBut Buttons, bool MsgBeep) {
  // A second call while one is waiting would tear down the first call's buttons; it gets the
  // answer of a dialog closed without a choice.
  if (running_) return mrClose;

  InfoLabel->setText(QString::fromStdString(MsgText));
  InfoLabel->adjustSize();
  const MsgBoxLayout lay = layoutMsgBox(DlgType, InfoLabel->width(), InfoLabel->height(), Buttons);

  Img->setVisible(lay.iconIndex >= 0);
  Img->setPixmap(msgIcon(lay.iconIndex));
  InfoLabel->move(lay.labelLeft, MsgBoxMetrics::kLabelTop);
  setWindowTitle(QString::fromStdString(CaptionTitle.empty() ? lay.defaultCaption : CaptionTitle));
  setFixedSize(lay.width, lay.height);

  QFont butFont("Calibri", 12, QFont::Bold);
  ButCnt = 0;
  for (const MsgBoxButton& b : lay.buttons) {
    auto* button = new QPushButton(QString::fromStdString(b.caption), this);
    button->setObjectName(QString::fromStdString(b.name));
    button->setFont(butFont);
    button->setGeometry(b.left, lay.buttonTop, MsgBoxMetrics::kButtonWidth,
                        button->sizeHint().height());
    const int code = b.result;
    connect(button, &QPushButton::clicked, this, [this, code] { done(code); });
    But.push_back(button);
    ++ButCnt;
  }

  centreOverOwner();
  if (MsgBeep && beeper_) beeper_();

  running_ = true;
  const int result = exec();
  running_ = false;
  destroyButtons();
  return result;
}

void TMsgBox::reject() {}

void TMsgBox::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
}

void TMsgBox::FormShow() {
  if (auto* first = findChild<QPushButton*>("But1")) first->setFocus();
}

void TMsgBox::closeEvent(QCloseEvent* event) {
  // The window system's close command is the one way out without a button; it answers CLOSE.
  if (running_) done(mrClose);
  event->accept();
}

void TMsgBox::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TMsgBox::centreOverOwner() {
  QRect owner;
  if (QWidget* p = parentWidget()) {
    owner = p->window()->frameGeometry();
  } else if (QWidget* active = QApplication::activeWindow(); active && active != this) {
    owner = active->frameGeometry();
  } else if (QScreen* screen = QApplication::primaryScreen()) {
    owner = screen->availableGeometry();
  } else {
    return;
  }
  move(owner.left() + (owner.width() - width()) / 2, owner.top() + (owner.height() - height()) / 2);
}

void TMsgBox::destroyButtons() {
  for (QPushButton* b : But) delete b;
  But.clear();
  ButCnt = 0;
}

}  // namespace flintmoor
