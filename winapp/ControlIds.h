// The window classes and control ids of the Win32 window program: what an assistive tool (and the
// window's own test driver) finds the windows and controls by.
#pragma once

namespace flintmoor::win {

inline constexpr wchar_t kMainClass[] = L"FlintmoorMain";
inline constexpr wchar_t kDebugClass[] = L"FlintmoorDebug";
inline constexpr wchar_t kMsgBoxClass[] = L"FlintmoorMsgBox";
inline constexpr wchar_t kLedClass[] = L"FlintmoorLed";

// Controls of the main window.
enum ControlId : int {
  kIdLabBoot = 101,
  kIdLabPart = 102,
  kIdLabFirm = 103,
  kIdEdBoot = 110,  // the three file fields: kIdEdBoot + tag
  kIdEdPart = 111,
  kIdEdFirm = 112,
  kIdBrowseBoot = 120,  // their browse buttons: kIdBrowseBoot + tag
  kIdLabMacCaption = 130,
  kIdLabMac = 131,
  kIdProgress = 132,
  kIdLabComPort = 140,
  kIdCbPort = 141,
  kIdLed = 142,
  kIdButErase = 150,
  kIdButUpdate = 151,
  kIdStatusBar = 160,
  kIdTooltip = 170,
};

// The log window's memo.
inline constexpr int kIdMemo = 201;

// The message dialog: the text, and button k (from 1, left to right) is kIdMsgButton + k.
inline constexpr int kIdMsgText = 301;
inline constexpr int kIdMsgButton = 310;

}  // namespace flintmoor::win
