// The debug log window: a fixed-size top-level window filled by a read-only, wrapping memo.
#include "diag/uDebug.h"

#include <QEvent>
#include <QFont>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

namespace flintmoor {

TDebug::TDebug(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("Debug");
  setWindowTitle("Debug");
  // Closing only hides the window, and it must not keep the program alive once the main window
  // has gone.
  setAttribute(Qt::WA_QuitOnClose, false);
  setFixedSize(703, 531);

  Memo = new QPlainTextEdit(this);
  Memo->setObjectName("Memo");
  Memo->setReadOnly(true);
  Memo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  Memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QFont font("Lucida Console");
  font.setStyleHint(QFont::Monospace);
  font.setPixelSize(13);
  Memo->setFont(font);
  // The double-click reaches the viewport, where the memo would otherwise select a word.
  Memo->viewport()->installEventFilter(this);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Memo);
}

void TDebug::placeRightOf(QWidget* main) {
  const QRect frame = main->frameGeometry();
  move(frame.left() + frame.width(), frame.top());
  show();
  main->activateWindow();
}

QStringList TDebug::lines() const {
  QStringList out;
  if (!hasLines_) return out;
  for (QTextBlock b = Memo->document()->begin(); b.isValid(); b = b.next()) out << b.text();
  return out;
}

void TDebug::MemoDblClick() {
  C();
}

void TDebug::addLine(std::string line) {
  // The document's first block exists even when the log is empty, so the first line goes into it;
  // tracking that ourselves keeps an empty first line as a line of its own.
  QTextCursor cursor(Memo->document());
  cursor.movePosition(QTextCursor::End);
  if (hasLines_) cursor.insertBlock();
  cursor.insertText(QString::fromStdString(line));
  hasLines_ = true;
  QScrollBar* bar = Memo->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void TDebug::clearLines() {
  Memo->clear();
  hasLines_ = false;
}

bool TDebug::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Memo->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    MemoDblClick();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace flintmoor
