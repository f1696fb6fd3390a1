// The message dialog's four 32 x 32 icons, drawn in code so no image files are needed.
#pragma once

#include <QPixmap>

namespace flintmoor {

// 0 warning triangle, 1 red cross, 2 information, 3 question mark; any other index gives an empty
// (fully transparent) pixmap.
QPixmap msgIcon(int index);

}  // namespace flintmoor
