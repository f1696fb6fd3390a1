// The log window and the message dialog as widgets: lines kept while hidden, double-click clears,
// placement beside the main window; Execute answers the clicked button, builds and destroys its
// buttons per call, defaults its caption, and treats a window-system close as CLOSE.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <functional>
#include <ostream>

#include "diag/Icons.h"
#include "diag/uDebug.h"
#include "diag/uMessageBox.h"

// Readable failure messages for Qt's strings.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

using namespace flintmoor;

namespace {

// Runs `during` once the dialog's modal loop is running.
void whileShown(TMsgBox& box, std::function<void()> during) {
  QTimer::singleShot(0, &box, std::move(during));
}

void click(TMsgBox& box, const char* name) {
  QPushButton* b = box.findChild<QPushButton*>(name);
  ASSERT_NE(b, nullptr) << name;
  b->click();
}

}  // namespace

TEST(DebugWindow, KeepsLinesWhileHiddenAndDoubleClickClears) {
  TDebug debug;
  EXPECT_FALSE(debug.isVisible());
  debug.S("first");
  debug.F("ADR: %x", {0x10000});
  debug.S("");
  EXPECT_EQ(debug.lines(), (QStringList{"first", "ADR: 10000", ""}));

  debug.show();
  EXPECT_EQ(debug.memo()->toPlainText(), "first\nADR: 10000\n");
  debug.close();
  EXPECT_FALSE(debug.isVisible());
  debug.S("after close");
  EXPECT_EQ(debug.lines().size(), 4);

  QTest::mouseDClick(debug.memo()->viewport(), Qt::LeftButton);
  EXPECT_TRUE(debug.lines().isEmpty());
  QTest::mouseDClick(debug.memo()->viewport(), Qt::LeftButton);
  EXPECT_TRUE(debug.lines().isEmpty());
  debug.S("top again");
  EXPECT_EQ(debug.lines(), QStringList{"top again"});
  EXPECT_EQ(debug.memo()->toPlainText(), "top again");
}

TEST(DebugWindow, WindowShapeAndNewestLineInView) {
  TDebug debug;
  EXPECT_EQ(debug.windowTitle(), "Debug");
  EXPECT_EQ(debug.size(), QSize(703, 531));
  EXPECT_EQ(debug.minimumSize(), debug.maximumSize());
  EXPECT_TRUE(debug.memo()->isReadOnly());
  EXPECT_EQ(debug.memo()->font().pixelSize(), 13);
  debug.show();
  for (int i = 0; i < 300; ++i) debug.D(i);
  QApplication::processEvents();
  const QScrollBar* bar = debug.memo()->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
}

TEST(DebugWindow, StandsRightOfTheMainWindow) {
  QWidget main;
  main.setGeometry(100, 80, 400, 300);
  main.show();
  TDebug debug;
  debug.placeRightOf(&main);
  EXPECT_TRUE(debug.isVisible());
  EXPECT_EQ(debug.frameGeometry().left(),
            main.frameGeometry().left() + main.frameGeometry().width());
  EXPECT_EQ(debug.frameGeometry().top(), main.frameGeometry().top());
}

TEST(MessageBox, AnswersTheClickedButtonAndDestroysTheButtons) {
  TMsgBox box;
  int beeps = 0;
  box.setBeeper([&] { ++beeps; });
  QStringList seen;
  QString focused;
  whileShown(box, [&] {
    for (QPushButton* b : box.findChildren<QPushButton*>())
      seen << b->objectName() + "=" + b->text();
    if (QWidget* f = box.focusWidget()) focused = f->objectName();
    click(box, "But2");
  });
  const int result =
      box.Execute("Erase Flash?", mtConfirmation, "ERASE", msgBut(mbYes) | msgBut(mbNo), false);
  EXPECT_EQ(result, 7);
  seen.sort();
  EXPECT_EQ(seen, (QStringList{"But1=YES", "But2=NO"}));
  EXPECT_EQ(focused, "But1");
  EXPECT_EQ(box.windowTitle(), "ERASE");
  EXPECT_EQ(beeps, 0);
  EXPECT_TRUE(box.findChildren<QPushButton*>().isEmpty());
  EXPECT_FALSE(box.isVisible());
}

TEST(MessageBox, ErrorDialogBeepsDefaultsItsCaptionAndSizesItself) {
  TMsgBox box;
  int beeps = 0;
  box.setBeeper([&] { ++beeps; });
  QSize size;
  QRect button;
  int labelLeft = -1;
  bool iconShown = false;
  whileShown(box, [&] {
    size = box.size();
    button = box.findChild<QPushButton*>("But1")->geometry();
    labelLeft = box.findChild<QLabel*>("InfoLabel")->x();
    iconShown = box.findChild<QLabel*>("Img")->isVisible();
    click(box, "But1");
  });
  EXPECT_EQ(box.Execute("No Device Found!", mtError, "", msgBut(mbClose), true), 2);
  EXPECT_EQ(beeps, 1);
  EXPECT_EQ(box.windowTitle(), "Error");
  EXPECT_EQ(size, QSize(280, 150));
  EXPECT_EQ(button.topLeft(), QPoint(100, 70));
  EXPECT_EQ(button.width(), 80);
  EXPECT_EQ(labelLeft, 68);
  EXPECT_TRUE(iconShown);

  // Each call starts afresh: a custom message hides the icon and has its own caption.
  whileShown(box, [&] {
    labelLeft = box.findChild<QLabel*>("InfoLabel")->x();
    iconShown = box.findChild<QLabel*>("Img")->isVisible();
    click(box, "But1");
  });
  EXPECT_EQ(box.Execute("<b>as is</b>", mtCustom, "", msgBut(mbOK), false), 1);
  EXPECT_EQ(box.windowTitle(), "Message");
  EXPECT_EQ(labelLeft, 20);
  EXPECT_FALSE(iconShown);
  EXPECT_EQ(box.findChild<QLabel*>("InfoLabel")->text(), "<b>as is</b>");
}

TEST(MessageBox, EscapeDoesNothingAndAWindowCloseAnswersClose) {
  TMsgBox box;
  bool stillOpenAfterEscape = false;
  whileShown(box, [&] {
    QTest::keyClick(&box, Qt::Key_Escape);
    box.reject();
    stillOpenAfterEscape = box.isVisible();
    box.close();
  });
  EXPECT_EQ(box.Execute("Question", mtConfirmation, "", msgBut(mbYes) | msgBut(mbNo), false), 2);
  EXPECT_TRUE(stillOpenAfterEscape);
  EXPECT_TRUE(box.findChildren<QPushButton*>().isEmpty());
}

TEST(MessageIcons, FourIconsOnTransparentGround) {
  for (int i = 0; i < 4; ++i) {
    const QImage img = msgIcon(i).toImage();
    ASSERT_EQ(img.size(), QSize(32, 32));
    EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0) << i;      // corner stays transparent
    EXPECT_EQ(qAlpha(img.pixel(16, 20)), 255) << i;  // the shape covers the middle
  }
  const QImage none = msgIcon(-1).toImage();
  EXPECT_EQ(qAlpha(none.pixel(16, 16)), 0);
}
