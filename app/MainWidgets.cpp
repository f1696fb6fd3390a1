// The main window's own controls and the button pictures.
#include "app/MainWidgets.h"

#include <QAction>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>
#include <QStyle>
#include <QUrl>

namespace flintmoor {

namespace {

QString firstLocalFile(const QMimeData* mime) {
  if (mime == nullptr || !mime->hasUrls()) return {};
  const QList<QUrl> urls = mime->urls();
  if (urls.isEmpty() || !urls.first().isLocalFile()) return {};
  return QDir::toNativeSeparators(urls.first().toLocalFile());
}

QPixmap canvas() {
  QPixmap pm(20, 20);
  pm.fill(Qt::transparent);
  return pm;
}

}  // namespace

TFileEdit::TFileEdit(QWidget* parent) : QLineEdit(parent) {
  setReadOnly(true);
  setAcceptDrops(true);
  chooseFile = [](TFileEdit* edit) {
    QString dir = QDir::currentPath();
    if (!edit->text().isEmpty()) {
      QFileInfo current(edit->text());
      if (current.absoluteDir().exists()) dir = current.absolutePath();
    }
    return QFileDialog::getOpenFileName(edit, QString(), dir, "Binary Files (*.bin)");
  };
  QAction* browseAction =
      addAction(style()->standardIcon(QStyle::SP_DirOpenIcon), QLineEdit::TrailingPosition);
  browseAction->setObjectName("browse");
  connect(browseAction, &QAction::triggered, this, &TFileEdit::browse);
}

void TFileEdit::browse() {
  const QString name = chooseFile ? chooseFile(this) : QString();
  if (!name.isEmpty()) setText(QDir::toNativeSeparators(name));
}

void TFileEdit::dragEnterEvent(QDragEnterEvent* event) {
  if (!firstLocalFile(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TFileEdit::dragMoveEvent(QDragMoveEvent* event) {
  if (!firstLocalFile(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TFileEdit::dropEvent(QDropEvent* event) {
  const QString name = firstLocalFile(event->mimeData());
  if (name.isEmpty()) {
    event->ignore();
    return;
  }
  setText(name);
  event->acceptProposedAction();
}

void TPortComboBox::showPopup() {
  emit dropDown();
  QComboBox::showPopup();
}

void TLed::setLit(bool lit) {
  if (lit == lit_) return;
  lit_ = lit;
  update();
}

void TLed::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
  QRadialGradient glow(r.center() - QPointF(r.width() / 6, r.height() / 6), r.width() * 0.7);
  if (lit_) {
    glow.setColorAt(0, QColor(200, 255, 200));
    glow.setColorAt(0.5, QColor(40, 220, 40));
    glow.setColorAt(1, QColor(0, 120, 0));
  } else {
    glow.setColorAt(0, QColor(90, 120, 90));
    glow.setColorAt(1, QColor(20, 50, 20));
  }
  p.setBrush(glow);
  p.setPen(QPen(QColor(60, 60, 60), 1));
  p.drawEllipse(r);
}

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent) {
  const int widths[2] = {250, 80};
  const Qt::Alignment aligns[2] = {Qt::AlignLeft | Qt::AlignVCenter, Qt::AlignCenter};
  int left = 0;
  for (int i = 0; i < 2; ++i) {
    auto* label = new QLabel(this);
    label->setObjectName(QString("sBarPanel%1").arg(i));
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(aligns[i]);
    label->setIndent(3);
    label->setGeometry(left, 0, widths[i], 20);
    left += widths[i];
    panels_[i] = label;
  }
}

QString TStatusBar::panelText(int index) const {
  return panels_[index]->text();
}

void TStatusBar::setPanelText(int index, const QString& text) {
  panels_[index]->setText(text);
}

QIcon eraseIcon() {
  // A flash chip crossed out in red.
  QPixmap pm = canvas();
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(40, 40, 40), 1));
  p.setBrush(QColor(70, 70, 80));
  p.drawRect(QRectF(4.5, 3.5, 11, 13));
  p.setPen(QPen(QColor(40, 40, 40), 1.5));
  for (int y = 6; y <= 14; y += 4) {
    p.drawLine(QPointF(1.5, y), QPointF(4.5, y));
    p.drawLine(QPointF(15.5, y), QPointF(18.5, y));
  }
  p.setPen(QPen(QColor(210, 20, 20), 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(3, 3), QPointF(17, 17));
  p.drawLine(QPointF(17, 3), QPointF(3, 17));
  return QIcon(pm);
}

QIcon updateIcon() {
  // A green arrow going down into a flash chip.
  QPixmap pm = canvas();
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(40, 40, 40), 1));
  p.setBrush(QColor(70, 70, 80));
  p.drawRect(QRectF(4.5, 12.5, 11, 6));
  QPainterPath arrow;
  arrow.moveTo(8, 1);
  arrow.lineTo(12, 1);
  arrow.lineTo(12, 7);
  arrow.lineTo(15.5, 7);
  arrow.lineTo(10, 12.5);
  arrow.lineTo(4.5, 7);
  arrow.lineTo(8, 7);
  arrow.closeSubpath();
  p.setPen(QPen(QColor(0, 90, 0), 1));
  p.setBrush(QColor(30, 170, 30));
  p.drawPath(arrow);
  return QIcon(pm);
}

}  // namespace flintmoor
