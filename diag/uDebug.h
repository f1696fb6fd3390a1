// TDebug: the debug log window. It is a Log whose lines live in a read-only memo; logging goes on
// whether the window is shown or not.
#pragma once

#include <QStringList>
#include <QWidget>

#include "log/Log.h"

class QPlainTextEdit;

namespace flintmoor {

class TDebug : public QWidget, public Log {
  Q_OBJECT

 public:
  explicit TDebug(QWidget* parent = nullptr);

  // Stands the window directly to the right of main (top edges level), shows it without making
  // it modal and hands the focus back to main.
  void placeRightOf(QWidget* main);

  QPlainTextEdit* memo() const { return Memo; }
  QStringList lines() const;

 public slots:
  void MemoDblClick();

 protected:
  void addLine(std::string line) override;
  void clearLines() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPlainTextEdit* Memo;
  bool hasLines_ = false;
};

}  // namespace flintmoor
