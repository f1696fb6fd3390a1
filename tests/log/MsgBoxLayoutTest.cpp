// The message dialog's arithmetic: outer size from the text, the label's left edge, the centred
// button row in its fixed order, and the per-type captions and icons.
#include <gtest/gtest.h>

#include "log/MsgBoxLayout.h"

using namespace flintmoor;

namespace {

std::vector<int> lefts(const MsgBoxLayout& lay) {
  std::vector<int> v;
  for (const MsgBoxButton& b : lay.buttons) v.push_back(b.left);
  return v;
}

}  // namespace

TEST(MsgBoxLayout, OneLineOneButtonGivesTheMinimumDialog) {
  MsgBoxLayout lay = layoutMsgBox(mtError, 120, 18, msgBut(mbClose));
  EXPECT_EQ(lay.labelLeft, 68);
  EXPECT_EQ(lay.width, 280);
  EXPECT_EQ(lay.height, 150);
  EXPECT_EQ(lay.buttonTop, 70);
  ASSERT_EQ(lay.buttons.size(), 1u);
  EXPECT_EQ(lay.buttons[0].left, 100);
  EXPECT_EQ(lay.buttons[0].caption, "CLOSE");
  EXPECT_EQ(lay.buttons[0].result, 2);
  EXPECT_EQ(lay.buttons[0].name, "But1");
}

TEST(MsgBoxLayout, YesAndNoSitSideBySide) {
  MsgBoxLayout lay = layoutMsgBox(mtConfirmation, 90, 18, msgBut(mbNo) | msgBut(mbYes));
  ASSERT_EQ(lay.buttons.size(), 2u);
  EXPECT_EQ(lefts(lay), (std::vector<int>{55, 145}));
  EXPECT_EQ(lay.buttons[0].caption, "YES");
  EXPECT_EQ(lay.buttons[0].result, 6);
  EXPECT_EQ(lay.buttons[1].caption, "NO");
  EXPECT_EQ(lay.buttons[1].result, 7);
  EXPECT_EQ(lay.buttons[1].name, "But2");
}

TEST(MsgBoxLayout, AllSixButtonsInFixedOrderReachPastTheEdges) {
  MsgBoxLayout lay = layoutMsgBox(mtWarning, 50, 18, 0x3F);
  ASSERT_EQ(lay.buttons.size(), 6u);
  EXPECT_EQ(lay.width, 280);
  EXPECT_EQ(lefts(lay), (std::vector<int>{-125, -35, 55, 145, 235, 325}));
  const char* captions[] = {"CLOSE", "YES", "NO", "OK", "IGNORE", "CANCEL"};
  const int results[] = {2, 6, 7, 1, 5, 3};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(lay.buttons[i].caption, captions[i]);
    EXPECT_EQ(lay.buttons[i].result, results[i]);
    EXPECT_EQ(lay.buttons[i].name, "But" + std::to_string(i + 1));
  }
}

TEST(MsgBoxLayout, SizeFollowsTheText) {
  MsgBoxLayout wide = layoutMsgBox(mtInformation, 400, 18, msgBut(mbOK));
  EXPECT_EQ(wide.width, 488);
  EXPECT_EQ(wide.buttons[0].left, 204);

  // An odd width halves toward zero: 2 * 90 - 10 = 170 wide on 301 gives 150 - 85.
  MsgBoxLayout odd = layoutMsgBox(mtCustom, 261, 18, msgBut(mbYes) | msgBut(mbNo));
  EXPECT_EQ(odd.width, 301);
  EXPECT_EQ(lefts(odd), (std::vector<int>{65, 155}));

  MsgBoxLayout tall = layoutMsgBox(mtError, 100, 90, msgBut(mbClose));
  EXPECT_EQ(tall.height, 175);
  EXPECT_EQ(tall.buttonTop, 95);
}

TEST(MsgBoxLayout, CaptionsAndIconsPerType) {
  const TMsgDlgType types[] = {mtWarning, mtError, mtInformation, mtConfirmation, mtCustom};
  const char* captions[] = {"Warning", "Error", "Information", "Confirmation", "Message"};
  const int icons[] = {0, 1, 2, 3, -1};
  for (int i = 0; i < 5; ++i) {
    MsgBoxLayout lay = layoutMsgBox(types[i], 10, 10, msgBut(mbOK));
    EXPECT_EQ(lay.defaultCaption, captions[i]);
    EXPECT_EQ(lay.iconIndex, icons[i]);
    EXPECT_EQ(lay.labelLeft, icons[i] < 0 ? 20 : 68);
  }
}

TEST(MsgBoxLayout, AnEmptyButtonSetStillGivesAWayOut) {
  MsgBoxLayout lay = layoutMsgBox(mtError, 10, 10, 0xC0);
  ASSERT_EQ(lay.buttons.size(), 1u);
  EXPECT_EQ(lay.buttons[0].caption, "CLOSE");
  EXPECT_EQ(lay.buttons[0].result, 2);
}
