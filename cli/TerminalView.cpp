// The command-line tool's JobView: status and progress on the error stream, results on the
// output stream, the erase question on the input stream.
#include "cli/TerminalView.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

namespace flintmoor {

namespace {

constexpr int kBarWidth = 30;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

}  // namespace

TerminalView::TerminalView(std::istream& in, std::ostream& out, std::ostream& err, bool terminal,
                           bool assumeYes, std::string portName, const Clock& clock)
    : in_(in),
      out_(out),
      err_(err),
      terminal_(terminal),
      assumeYes_(assumeYes),
      portName_(std::move(portName)),
      clock_(clock) {}

void TerminalView::finishLine() {
  if (lineOpen_) {
    err_ << '\n';
    lineOpen_ = false;
  }
  barOnLine_ = false;
  err_.flush();
}

void TerminalView::setStatusText(const std::string& text) {
  // The connection grows its text by one "#" per try: show only what was added.
  if (lineOpen_ && !status_.empty() && text.size() > status_.size() &&
      text.compare(0, status_.size(), status_) == 0) {
    err_ << text.substr(status_.size());
  } else {
    finishLine();
    err_ << text;
    lineOpen_ = true;
  }
  err_.flush();
  status_ = text;
}

void TerminalView::showMac(const std::string& text) {
  finishLine();
  out_ << "MAC: " << text << '\n' << std::flush;
}

void TerminalView::jobEvent(const JobEvent& event) {
  using K = JobEvent::Kind;
  rate_.onEvent(event, clock_.nowUs());
  switch (event.kind) {
    case K::kMac:
      showMac(event.text);
      break;
    case K::kImageBegin:
    case K::kReadBegin:
      setProgressMax(static_cast<int>(event.size));
      setProgressVisible(true);
      break;
    case K::kImageProgress:
    case K::kImageUnchanged:
    case K::kReadProgress:
      setProgressPos(static_cast<int>(event.done));
      break;
    case K::kImageDone:
    case K::kReadDone:
    case K::kJobEnd:
      setProgressPos(0);
      setProgressVisible(false);
      break;
    default:
      break;
  }
}

void TerminalView::setProgressMax(int max) {
  progressMax_ = max;
}

void TerminalView::setProgressPos(int pos) {
  progressPos_ = pos;
  if (progressVisible_ && pos > 0) drawProgress();
}

void TerminalView::setProgressVisible(bool visible) {
  if (visible && !progressVisible_) {
    finishLine();
    progressPos_ = 0;
  } else if (!visible && progressVisible_) {
    finishLine();
  }
  progressVisible_ = visible;
}

void TerminalView::drawProgress() {
  const int max = std::max(progressMax_, 1);
  const int pos = std::clamp(progressPos_, 0, max);
  const int percent = static_cast<int>(int64_t{pos} * 100 / max);
  char text[128];
  std::snprintf(text, sizeof text, "%d/%d bytes %3d%%", pos, progressMax_, percent);
  std::string line = text;
  // The bar and the speed count the bytes sent (the bar also the regions the chip held).
  if (rate_.kibPerSecond() > 0) {
    std::snprintf(text, sizeof text, "  %.1f KiB/s", rate_.kibPerSecond());
    line += text;
  }
  // A status text shown while the bar is up keeps its own line.
  if (lineOpen_ && !barOnLine_) finishLine();
  if (terminal_) {
    const int filled = static_cast<int>(int64_t{pos} * kBarWidth / max);
    err_ << "\r[" << std::string(filled, '#') << std::string(kBarWidth - filled, ' ') << "] "
         << line << "\x1b[K";
    lineOpen_ = true;
    barOnLine_ = true;
  } else {
    err_ << line << '\n';
  }
  err_.flush();
}

int TerminalView::execute(const std::string& msgText, TMsgDlgType dlgType,
                          const std::string& captionTitle, TMsgBut buttons, bool msgBeep) {
  finishLine();
  if (msgBeep && terminal_) err_ << '\a' << std::flush;
  if (dlgType == mtError) {
    error_ = msgText;
    return mrClose;
  }
  if ((buttons & msgBut(mbYes)) == 0) return mrOk;
  if (assumeYes_) return mrYes;
  return askYesNo(in_, err_, captionTitle, msgText);
}

int askYesNo(std::istream& in, std::ostream& err, const std::string& caption,
             const std::string& question) {
  err << caption << ": " << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(in, answer)) {
    err << '\n' << std::flush;
    return mrNo;
  }
  const std::string word = lower(trim(answer));
  return (word == "y" || word == "yes") ? mrYes : mrNo;
}

}  // namespace flintmoor
