// Board views and the reports that show several boards at once or write JSON lines.
#include "cli/BoardReport.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "cli/Json.h"

namespace flintmoor {

namespace {

const char* eventName(JobEvent::Kind kind) {
  using K = JobEvent::Kind;
  switch (kind) {
    case K::kConnected:
      return "connected";
    case K::kChip:
      return "chip";
    case K::kMac:
      return "mac";
    case K::kImageBegin:
      return "image-begin";
    case K::kImageSkip:
      return "image-skip";
    case K::kImageProgress:
      return "image-progress";
    case K::kImageVerify:
      return "image-verify";
    case K::kImageDone:
      return "image-done";
    case K::kEraseBegin:
      return "erase-begin";
    case K::kEraseDone:
      return "erase-done";
    case K::kReadBegin:
      return "read-begin";
    case K::kReadProgress:
      return "read-progress";
    case K::kReadDone:
      return "read-done";
    case K::kJobBegin:
    case K::kJobEnd:
    case K::kImageUnchanged:
      break;  // a window's signals, never reported
  }
  return "event";
}

bool isProgress(const JobEvent& e) {
  return e.kind == JobEvent::Kind::kImageProgress || e.kind == JobEvent::Kind::kReadProgress;
}

int percentOf(uint32_t done, uint32_t size) {
  return size == 0 ? 100 : static_cast<int>(uint64_t{done} * 100 / size);
}

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

class JsonReport final : public Report {
 public:
  explicit JsonReport(std::ostream& out) : out_(out) {}

  void changed(const BoardLine& line, const JobEvent* event) override {
    if (event == nullptr) return;
    if (isProgress(*event)) {
      // A line per percent is what a script needs; the job reports every block.
      int& last = lastPercent_[line.port];
      const int percent = percentOf(event->done, event->size);
      if (percent == last && event->done != event->size) return;
      last = percent;
    }
    JsonObject o;
    o.add("port", line.port).add("event", eventName(event->kind));
    switch (event->kind) {
      case JobEvent::Kind::kConnected:
        break;
      case JobEvent::Kind::kChip:
        o.add("chip", event->text);
        if (event->size != 0) o.add("flash_size", event->size);
        break;
      case JobEvent::Kind::kMac:
        o.add("mac", event->text);
        break;
      case JobEvent::Kind::kEraseBegin:
      case JobEvent::Kind::kEraseDone:
        o.add("address", event->address).add("size", event->size);
        break;
      default:
        o.add("file", event->file).add("address", event->address).add("size", event->size);
        if (event->kind == JobEvent::Kind::kImageSkip) o.add("skipped", event->done);
        if (isProgress(*event)) {
          o.add("done", event->done)
              .add("percent", percentOf(event->done, event->size))
              .addRaw("kib_per_s", fixed(line.kibPerSecond, 1));
        }
        break;
    }
    out_ << o.text() << '\n' << std::flush;
  }
  void message(const BoardLine& line, const std::string& kind, const std::string& text) override {
    JsonObject o;
    o.add("port", line.port).add("event", kind).add(kind == "error" ? "message" : "text", text);
    out_ << o.text() << '\n' << std::flush;
  }
  void finished(const BoardLine& line) override {
    JsonObject o;
    o.add("port", line.port)
        .add("event", "result")
        .add("result", outcomeName(line.outcome))
        .add("mac", line.mac)
        .addRaw("seconds", fixed(line.seconds, 3));
    if (line.outcome != JobOutcome::kOk) o.add("message", line.error);
    out_ << o.text() << '\n' << std::flush;
  }
  void close(const std::vector<const BoardLine*>&) override {}

 private:
  std::ostream& out_;
  std::map<std::string, int> lastPercent_;
};

std::string boardText(const BoardLine& line) {
  std::string text = line.port + "  " + (line.mac.empty() ? "--:--:--:--:--:--" : line.mac) + "  ";
  if (line.finished) {
    text += outcomeName(line.outcome);
    // One line per board, or the redraw loses its place: the first line of the message.
    if (!line.error.empty()) text += ": " + line.error.substr(0, line.error.find('\n'));
    return text;
  }
  text += line.phase;
  if (line.percent >= 0) {
    text += "  " + std::to_string(line.percent) + "%";
    if (line.kibPerSecond > 0) text += "  " + fixed(line.kibPerSecond, 1) + " KiB/s";
  }
  return text;
}

class LiveReport final : public Report {
 public:
  LiveReport(std::ostream& out, std::ostream& err, std::vector<const BoardLine*> lines)
      : out_(out), err_(err), lines_(std::move(lines)) {}

  void changed(const BoardLine&, const JobEvent*) override { draw(false); }
  void message(const BoardLine&, const std::string&, const std::string&) override {}
  void finished(const BoardLine&) override { draw(true); }
  void close(const std::vector<const BoardLine*>& lines) override {
    draw(true);
    out_ << resultTable(lines) << std::flush;
  }

 private:
  void draw(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    if (drawn_) err_ << "\x1b[" << lines_.size() << 'A';
    for (const BoardLine* line : lines_) err_ << '\r' << boardText(*line) << "\x1b[K\n";
    err_ << std::flush;
    drawn_ = true;
  }

  std::ostream& out_;
  std::ostream& err_;
  std::vector<const BoardLine*> lines_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_;
};

class PlainReport final : public Report {
 public:
  PlainReport(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  void changed(const BoardLine& line, const JobEvent* event) override {
    if (event == nullptr) return;
    if (isProgress(*event)) {
      // A quarter at a time is enough in a log.
      const int quarter = percentOf(event->done, event->size) / 25;
      int& last = lastQuarter_[line.port];
      if (quarter == last) return;
      last = quarter;
      err_ << line.port << ": " << event->done << '/' << event->size << " bytes " << quarter * 25
           << "%  " << fixed(line.kibPerSecond, 1) << " KiB/s\n";
    } else if (event->kind == JobEvent::Kind::kImageBegin ||
               event->kind == JobEvent::Kind::kReadBegin) {
      lastQuarter_[line.port] = 0;
      return;
    } else if (event->kind == JobEvent::Kind::kMac) {
      err_ << line.port << ": MAC " << event->text << '\n';
    } else {
      return;
    }
    err_ << std::flush;
  }
  void message(const BoardLine& line, const std::string& kind, const std::string& text) override {
    if (kind == "status") {
      // The connection adds one "#" per try: a line for the attempt, not for every try.
      if (!text.empty() && text.back() == '#') return;
      err_ << line.port << ": " << text << '\n' << std::flush;
    }
  }
  void finished(const BoardLine& line) override {
    err_ << line.port << ": " << outcomeName(line.outcome)
         << (line.error.empty() ? "" : ": " + line.error) << '\n'
         << std::flush;
  }
  void close(const std::vector<const BoardLine*>& lines) override {
    out_ << resultTable(lines) << std::flush;
  }

 private:
  std::ostream& out_;
  std::ostream& err_;
  std::map<std::string, int> lastQuarter_;  // of the transfer under way, per port
};

}  // namespace

const char* outcomeName(JobOutcome outcome) {
  switch (outcome) {
    case JobOutcome::kOk:
      return "ok";
    case JobOutcome::kFailed:
      return "failed";
    case JobOutcome::kNoDevice:
      return "no-device";
    case JobOutcome::kVerifyFailed:
      return "verify-failed";
    case JobOutcome::kInterrupted:
      return "interrupted";
  }
  return "failed";
}

std::unique_ptr<Report> makeJsonReport(std::ostream& out) {
  return std::make_unique<JsonReport>(out);
}

std::unique_ptr<Report> makeLiveReport(std::ostream& out, std::ostream& err,
                                       std::vector<const BoardLine*> lines) {
  return std::make_unique<LiveReport>(out, err, std::move(lines));
}

std::unique_ptr<Report> makePlainReport(std::ostream& out, std::ostream& err) {
  return std::make_unique<PlainReport>(out, err);
}

std::string resultTable(const std::vector<const BoardLine*>& lines) {
  size_t portWidth = 4;
  for (const BoardLine* line : lines) portWidth = std::max(portWidth, line->port.size());
  auto pad = [](std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
  };
  std::string table =
      pad("PORT", portWidth) + "  " + pad("MAC", 17) + "  " + pad("RESULT", 13) + "  SECONDS\n";
  for (const BoardLine* line : lines) {
    table += pad(line->port, portWidth) + "  " + pad(line->mac.empty() ? "-" : line->mac, 17) +
             "  " + pad(outcomeName(line->outcome), 13) + "  " + fixed(line->seconds, 3);
    if (!line->error.empty()) {
      // The whole message on the board's row: its lines joined.
      std::string message = line->error;
      std::replace(message.begin(), message.end(), '\n', ' ');
      table += "  " + message;
    }
    table += '\n';
  }
  return table;
}

BoardView::BoardView(BoardLine& line, Report& report, const Clock& clock, bool assumeYes,
                     std::function<int(const std::string&)> ask)
    : line_(line), report_(report), clock_(clock), assumeYes_(assumeYes), ask_(std::move(ask)) {}

void BoardView::setStatusText(const std::string& text) {
  const auto lock = report_.lock();
  if (text == line_.phase) return;
  line_.phase = text;
  report_.message(line_, "status", text);
  report_.changed(line_, nullptr);
}

int BoardView::execute(const std::string& msgText, TMsgDlgType dlgType, const std::string&,
                       TMsgBut buttons, bool) {
  if (dlgType == mtError) {
    const auto lock = report_.lock();
    line_.error = msgText;
    report_.message(line_, "error", msgText);
    return mrClose;
  }
  if ((buttons & msgBut(mbYes)) == 0) return mrOk;
  if (assumeYes_) return mrYes;
  return ask_ ? ask_(msgText) : mrNo;
}

void BoardView::jobEvent(const JobEvent& event) {
  using K = JobEvent::Kind;
  // One line per board has no buttons and no bar of its own to steer.
  if (isWindowSignal(event)) return;
  const auto lock = report_.lock();
  rate_.onEvent(event, clock_.nowUs());
  switch (event.kind) {
    case K::kMac:
      line_.mac = event.text;
      break;
    case K::kImageBegin:
    case K::kReadBegin:
      line_.percent = 0;
      line_.kibPerSecond = 0;
      break;
    case K::kImageProgress:
    case K::kReadProgress:
      line_.percent = percentOf(event.done, event.size);
      line_.kibPerSecond = rate_.kibPerSecond();
      break;
    case K::kImageDone:
    case K::kReadDone:
      line_.percent = -1;
      break;
    default:
      break;
  }
  report_.changed(line_, &event);
}

}  // namespace flintmoor
