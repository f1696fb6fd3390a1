// The message dialog's size and placement arithmetic, free of any window toolkit: where the text
// starts, how large the dialog is, and where each requested button stands.
#pragma once

#include <string>
#include <vector>

#include "log/MsgDlg.h"

namespace flintmoor {

// Fixed geometry of the dialog, in pixels.
struct MsgBoxMetrics {
  static constexpr int kImgLeft = 16;
  static constexpr int kImgTop = 16;
  static constexpr int kImgSize = 32;
  static constexpr int kLabelTop = 8;
  static constexpr int kTextMargin = 20;  // left of the text without an icon, and right of it
  static constexpr int kMinWidth = 280;
  static constexpr int kMinHeight = 150;
  static constexpr int kHeightExtra = 85;  // below-and-above room for the button row
  static constexpr int kButtonRise = 80;   // button top = height - this
  static constexpr int kButtonWidth = 80;
  static constexpr int kButtonStep = 90;  // width plus the gap to the next button
};

struct MsgBoxButton {
  TMsgDlgBtn member;
  std::string caption;  // "CLOSE", "YES", ...
  int result;           // TMsgResult code
  std::string name;     // "But1" is the leftmost
  int left;
};

struct MsgBoxLayout {
  std::string defaultCaption;
  int iconIndex;  // -1: no icon, the icon area is hidden
  int labelLeft;
  int width;  // outer size of the dialog
  int height;
  int buttonTop;
  std::vector<MsgBoxButton> buttons;  // left to right
};

// The caption used when the caller gives none, and the icon index (-1 for mtCustom).
std::string defaultCaption(TMsgDlgType type);
int iconIndex(TMsgDlgType type);

// Lays out a dialog of the given type around a label of labelWidth x labelHeight pixels. Buttons
// are placed in the fixed order CLOSE, YES, NO, OK, IGNORE, CANCEL as one row centred on the
// dialog; the width follows the text only, so a long row may reach past both edges. An empty set
// gets a CLOSE button, because a dialog without a button could never be left.
MsgBoxLayout layoutMsgBox(TMsgDlgType type, int labelWidth, int labelHeight, TMsgBut buttons);

}  // namespace flintmoor
