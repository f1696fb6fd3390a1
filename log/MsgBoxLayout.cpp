// The message dialog's layout arithmetic: label position, outer size and the centred button row.
#include "log/MsgBoxLayout.h"

#include <algorithm>

namespace flintmoor {

namespace {

struct ButtonKind {
  TMsgDlgBtn member;
  const char* caption;
  TMsgResult result;
};

// The order in which present buttons are placed, left to right.
constexpr ButtonKind kButtonOrder[] = {
    {mbClose, "CLOSE", mrClose}, {mbYes, "YES", mrYes},          {mbNo, "NO", mrNo},
    {mbOK, "OK", mrOk},          {mbIgnore, "IGNORE", mrIgnore}, {mbAbort, "CANCEL", mrCancel},
};

}  // namespace

std::string defaultCaption(TMsgDlgType type) {
  switch (type) {
    case mtWarning:
      return "Warning";
    case mtError:
      return "Error";
    case mtInformation:
      return "Information";
    case mtConfirmation:
      return "Confirmation";
    case mtCustom:
      break;
  }
  return "Message";
}

int iconIndex(TMsgDlgType type) {
  switch (type) {
    case mtWarning:
      return 0;
    case mtError:
      return 1;
    case mtInformation:
      return 2;
    case mtConfirmation:
      return 3;
    case mtCustom:
      break;
  }
  return -1;
}

MsgBoxLayout layoutMsgBox(TMsgDlgType type, int labelWidth, int labelHeight, TMsgBut buttons) {
  using M = MsgBoxMetrics;
  MsgBoxLayout lay;
  lay.defaultCaption = defaultCaption(type);
  lay.iconIndex = iconIndex(type);
  lay.labelLeft = lay.iconIndex >= 0 ? M::kImgLeft + M::kImgSize + M::kTextMargin : M::kTextMargin;
  lay.width = std::max(labelWidth + lay.labelLeft + M::kTextMargin, M::kMinWidth);
  lay.height = std::max(labelHeight + M::kHeightExtra, M::kMinHeight);
  lay.buttonTop = lay.height - M::kButtonRise;

  if ((buttons & 0x3F) == 0) buttons = msgBut(mbClose);
  for (const ButtonKind& kind : kButtonOrder) {
    if ((buttons & msgBut(kind.member)) == 0) continue;
    const int n = static_cast<int>(lay.buttons.size()) + 1;
    lay.buttons.push_back({kind.member, kind.caption, kind.result, "But" + std::to_string(n), 0});
  }
  const int count = static_cast<int>(lay.buttons.size());
  const int rowWidth = count * M::kButtonStep - (M::kButtonStep - M::kButtonWidth);
  const int rowLeft = lay.width / 2 - rowWidth / 2;
  for (int k = 0; k < count; ++k) lay.buttons[k].left = rowLeft + k * M::kButtonStep;
  return lay;
}

}  // namespace flintmoor
