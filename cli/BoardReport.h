// The command line's face of jobs that run on several boards at once, or that report in JSON:
// each board's job talks to a BoardView of its own (on the board's thread), which keeps the
// board's line (port, MAC, phase, percent, speed) and hands every change to one Report shared by
// all boards. The reports: JSON lines, a table redrawn in place on a terminal, plain lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "job/FlashJob.h"
#include "job/JobView.h"

namespace flintmoor {

// What is known of one board; the report reads it under its lock.
struct BoardLine {
  std::string port;
  std::string mac;
  std::string phase;        // the last status text
  int percent = -1;         // of the image being written or the region being read; -1: none
  double kibPerSecond = 0;  // of that transfer so far
  bool finished = false;
  JobOutcome outcome = JobOutcome::kOk;
  std::string error;  // the failure's message
  double seconds = 0;
};

// The result word of an outcome: "ok", "failed", "no-device", "verify-failed", "interrupted".
const char* outcomeName(JobOutcome outcome);

// Shared by every board's thread. A board changes its line and calls the report only while it
// holds lock(), so that a report may read every board's line.
class Report {
 public:
  virtual ~Report() = default;
  std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }

  // The board's line changed; `event` is the job's event that changed it, if any.
  virtual void changed(const BoardLine& line, const JobEvent* event) = 0;
  // A message from the job: an error (kind "error") or a status text (kind "status").
  virtual void message(const BoardLine&, const std::string& kind, const std::string& text) = 0;
  // The board's job ended (line.finished, outcome, seconds and error are set).
  virtual void finished(const BoardLine& line) = 0;
  // Every board has ended: the closing output.
  virtual void close(const std::vector<const BoardLine*>& lines) = 0;

 private:
  std::mutex mutex_;
};

// One JSON object per line on `out` for every event, each naming its port; nothing else.
std::unique_ptr<Report> makeJsonReport(std::ostream& out);
// One line per board on `err`, redrawn in place (at most ten times a second); at the end the
// table of results on `out`.
std::unique_ptr<Report> makeLiveReport(std::ostream& out, std::ostream& err,
                                       std::vector<const BoardLine*> lines);
// Plain lines "PORT: text" on `err` as things happen; at the end the table of results on `out`.
std::unique_ptr<Report> makePlainReport(std::ostream& out, std::ostream& err);

// The table of results: port, MAC, result, seconds, and the error message of a failed board.
std::string resultTable(const std::vector<const BoardLine*>& lines);

// The JobView of one board. `ask` answers the erase question when --yes was not given (only with
// a single board); without it the answer is no.
class BoardView : public JobView {
 public:
  BoardView(BoardLine& line, Report& report, const Clock& clock, bool assumeYes,
            std::function<int(const std::string& question)> ask = {});

  std::string portName() override { return line_.port; }
  void setStatusText(const std::string& text) override;
  int execute(const std::string& msgText, TMsgDlgType dlgType, const std::string& captionTitle,
              TMsgBut buttons, bool msgBeep) override;
  void jobEvent(const JobEvent& event) override;

 private:
  BoardLine& line_;
  Report& report_;
  const Clock& clock_;
  bool assumeYes_;
  std::function<int(const std::string&)> ask_;
  TransferRate rate_;
};

}  // namespace flintmoor
