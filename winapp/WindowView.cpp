// The job's view calls and the adapter's window operations, forwarded to the window.
#include "winapp/WindowView.h"

#include "winapp/MainWindow.h"

namespace flintmoor::win {

std::string WindowView::portName() {
  return window_.portName();
}

void WindowView::setStatusText(const std::string& text) {
  window_.setStatusText(text);
}

void WindowView::setMacText(const std::string& text) {
  window_.setMacText(text);
}

void WindowView::setProgressMax(int max) {
  window_.setProgressMax(max);
}

void WindowView::setProgressPos(int pos) {
  window_.setProgressPos(pos);
}

void WindowView::setProgressVisible(bool visible) {
  window_.setProgressVisible(visible);
}

void WindowView::setUpdateEnabled(bool enabled) {
  window_.setUpdateEnabled(enabled);
}

void WindowView::setEraseEnabled(bool enabled) {
  window_.setEraseEnabled(enabled);
}

void WindowView::processEvents() {
  window_.processEvents();
}

int WindowView::execute(const std::string& msgText, TMsgDlgType dlgType,
                        const std::string& captionTitle, TMsgBut buttons, bool msgBeep) {
  return window_.showMessage(msgText, dlgType, captionTitle, buttons, msgBeep);
}

}  // namespace flintmoor::win
