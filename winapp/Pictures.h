// The Win32 window's pictures, drawn with GDI so no image files are needed: the message dialog's
// four 32 x 32 icons, the 20 x 20 pictures of the two job buttons, and the connection LED.
#pragma once

#include <windows.h>

namespace flintmoor::win {

// 0 warning triangle, 1 red disc with a white cross, 2 blue disc with a white "i", 3 blue disc
// with a white question mark; nullptr for any other index. The caller destroys the icon.
HICON createMsgIcon(int index);
// A flash chip crossed out in red; a green arrow going down into a flash chip.
HICON createEraseIcon();
HICON createUpdateIcon();
// A 16 x 16 open yellow folder: the file fields' browse button.
HICON createFolderIcon();

// A round lamp filling `box`: bright green when lit, dark green when not.
void paintLed(HDC dc, const RECT& box, bool lit);

}  // namespace flintmoor::win
