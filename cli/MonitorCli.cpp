// The command line's serial monitor (see MonitorCli.h).
#include "cli/MonitorCli.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "cli/Json.h"
#include "comio/uComIo.h"
#include "job/Settings.h"

namespace flintmoor {

bool parseMonitorOption(const std::string& arg, const std::function<std::string()>& value,
                        const std::function<void(bool&)>& flag, MonitorArgs& m) {
  if (arg == "--monitor") {
    flag(m.afterJob);
  } else if (arg == "--monitor-baud") {
    const std::string text = value();
    uint32_t baud = 0;
    try {
      baud = parseFlashNumber(text, "--monitor-baud");
    } catch (const UsageError&) {
    }
    if (baud < 300 || baud > 5000000 || text.find_first_not_of("0123456789") != std::string::npos) {
      throw UsageError("--monitor-baud needs a speed from 300 to 5000000 bit/s, not \"" + text +
                       "\"");
    }
    m.baud = baud;
  } else if (arg == "--no-reset") {
    flag(m.noReset);
  } else if (arg == "--timestamps") {
    flag(m.timestamps);
  } else if (arg == "--eol") {
    const std::string text = value();
    const std::optional<std::string> eol = parseEol(text);
    if (!eol) throw UsageError("--eol takes CRLF, CR or LF, not \"" + text + "\"");
    m.eol = *eol;
  } else if (arg == "--elf") {
    m.elf = value();
  } else if (arg == "--addr2line") {
    m.addr2line = value();
  } else {
    return false;
  }
  return true;
}

void checkMonitorArgs(const CliOptions& o) {
  const MonitorArgs& m = o.monitor;
  const bool monitoring = o.command == "monitor" || m.afterJob;
  if (m.afterJob && o.command != "update" && o.command != "write" && o.command != "erase" &&
      o.command != "erase-region") {
    throw UsageError("--monitor goes with update, write, erase and erase-region");
  }
  if (!monitoring &&
      (m.baud || m.noReset || m.timestamps || m.eol != "\r\n" || m.elf || m.addr2line)) {
    throw UsageError(
        "--monitor-baud, --no-reset, --timestamps, --eol, --elf and --addr2line go with monitor "
        "or --monitor");
  }
  if (m.noReset && m.afterJob) throw UsageError("--no-reset goes with monitor");
  if (m.addr2line && !m.elf) throw UsageError("--addr2line goes with --elf");
  if (monitoring && o.allPorts) throw UsageError("the monitor watches one board, not --all-ports");
  if (monitoring && o.ports.size() > 1) throw UsageError("the monitor watches one board");
  if (m.elf) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::path(*m.elf), ec)) {
      throw UsageError("--elf " + *m.elf + ": file not found");
    }
  }
}

std::string monitorUsage() {
  return "monitor (the command, or --monitor after update, write, erase or erase-region, which\n"
         "leads from the job's reset straight into it on the same port):\n"
         "  --monitor-baud N   the program's line speed (default: MonitorBaud of the settings,\n"
         "                     115200)\n"
         "  --no-reset         monitor: attach without the reset into the program\n"
         "  --timestamps       the host time in front of each line\n"
         "  --eol CRLF|CR|LF   what Enter sends (default CRLF)\n"
         "  --elf FILE         the program's ELF: crash backtraces are decoded (function, file,\n"
         "                     line) through xtensa-lx106-elf-addr2line\n"
         "  --addr2line PATH   the addr2line to use instead of the one on the PATH\n"
         "  keys on a terminal: Ctrl-] or Ctrl-C quit, Ctrl-T R resets the chip, Ctrl-T H help\n";
}

uint32_t readMonitorBaud(const IniFile& ini) {
  constexpr int32_t kDefault = 115200;
  const int32_t baud = ini.readInteger(kSectionConfig, "MonitorBaud", kDefault);
  return baud >= 300 && baud <= 5000000 ? static_cast<uint32_t>(baud) : kDefault;
}

std::string timeOfDayText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  if (const std::tm* local = std::localtime(&t)) tm = *local;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms));
  return text;
}

// ---- The decoder ------------------------------------------------------------------------

namespace {

class ToolDecoder : public AddressDecoder {
 public:
  ToolDecoder(std::string tool, std::string elf, ToolRunner run)
      : tool_(std::move(tool)),
        elf_(std::move(elf)),
        run_(std::move(run)),
        worker_([this] { work(); }) {}
  ~ToolDecoder() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }

  void request(std::vector<uint32_t> addresses) override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(addresses));
    }
    changed_.notify_all();
  }

  std::vector<DecodedAddress> take() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DecodedAddress> ready = std::move(ready_);
    ready_.clear();
    return ready;
  }

  bool drain(int ms) override {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [this] { return queue_.empty() && !busy_; });
  }

 private:
  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      const std::vector<uint32_t> addresses = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
      lock.unlock();
      std::vector<DecodedAddress> decoded = decode(addresses);
      lock.lock();
      ready_.insert(ready_.end(), decoded.begin(), decoded.end());
      busy_ = false;
      changed_.notify_all();
    }
  }

  std::vector<DecodedAddress> decode(const std::vector<uint32_t>& addresses) const {
    std::vector<std::string> argv = {tool_, "-a", "-f", "-C", "-e", elf_};
    for (uint32_t a : addresses) argv.push_back(hexAddress(a));
    const std::optional<std::string> output = run_(argv);
    std::vector<DecodedAddress> decoded =
        output ? parseAddr2line(*output) : std::vector<DecodedAddress>{};
    // Every address gets its line, decoded or not.
    if (decoded.size() != addresses.size()) {
      decoded.clear();
      for (uint32_t a : addresses) decoded.push_back({a, "??", "??", 0});
    }
    return decoded;
  }

  const std::string tool_;
  const std::string elf_;
  const ToolRunner run_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint32_t>> queue_;
  std::vector<DecodedAddress> ready_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread worker_;  // last: starts once everything above is built
};

class JsonSink : public MonitorSink {
 public:
  JsonSink(std::ostream& out, std::string port, std::function<std::string()> timeText)
      : out_(out), port_(std::move(port)), timeText_(std::move(timeText)) {}
  void shown(std::string_view) override {}
  void line(const std::string& text) override {
    emit(JsonObject()
             .add("port", port_)
             .add("event", "line")
             .add("text", text)
             .add("time", timeText_()));
  }
  void decoded(const DecodedAddress& a) override {
    emit(JsonObject()
             .add("port", port_)
             .add("event", "backtrace")
             .add("pc", hexAddress(a.address))
             .add("function", a.function)
             .add("file", a.file)
             .add("line", a.line));
  }
  void event(const std::string& name, const std::string& text) override {
    emit(JsonObject()
             .add("port", port_)
             .add("event", name)
             .add("message", text)
             .add("time", timeText_()));
  }

 private:
  void emit(const JsonObject& j) { out_ << j.text() << '\n' << std::flush; }
  std::ostream& out_;
  std::string port_;
  std::function<std::string()> timeText_;
};

}  // namespace

std::unique_ptr<AddressDecoder> makeToolDecoder(std::string tool, std::string elf, ToolRunner run) {
  return std::make_unique<ToolDecoder>(std::move(tool), std::move(elf), std::move(run));
}

std::unique_ptr<MonitorSink> makeJsonMonitorSink(std::ostream& out, std::string port,
                                                 std::function<std::string()> timeText) {
  return std::make_unique<JsonSink>(out, std::move(port), std::move(timeText));
}

// ---- The run ----------------------------------------------------------------------------

namespace {

// The decoder for --elf, or none (with a note once when addr2line cannot be found).
std::unique_ptr<AddressDecoder> openDecoder(const MonitorArgs& m, const CliPlatform& platform,
                                            MonitorSink& sink) {
  if (!m.elf) return nullptr;
  std::string tool = m.addr2line.value_or("");
  if (tool.empty() && platform.findTool) tool = platform.findTool(kAddr2lineName);
  std::error_code ec;
  if (tool.empty() || !platform.runTool ||
      (m.addr2line && !std::filesystem::exists(std::filesystem::path(tool), ec))) {
    sink.event("note", std::string("Backtraces are not decoded: ") +
                           (m.addr2line ? *m.addr2line : std::string(kAddr2lineName)) +
                           " was not found (binutils for Xtensa; --addr2line PATH names it)");
    return nullptr;
  }
  return makeToolDecoder(tool, *m.elf, platform.runTool);
}

// The port's identity as the system knows it now, for finding it again after an unplug.
PortInfo identify(const std::string& port, const CliPlatform& platform) {
  PortInfo info;
  info.name = port;
  if (!platform.osPortInfo) return info;
  try {
    for (const PortInfo& p : platform.osPortInfo()) {
      if (p.name == port) return p;
    }
  } catch (const std::exception&) {
  }
  return info;
}

}  // namespace

int runMonitor(TComIo& com, const std::string& port, const CliOptions& o, const CliStreams& s,
               const CliPlatform& platform, uint32_t baud, bool reset) {
  const std::function<std::string()> timeText =
      platform.timeOfDay ? platform.timeOfDay : std::function<std::string()>(timeOfDayText);
  std::unique_ptr<MonitorSink> sink =
      o.json ? makeJsonMonitorSink(s.out, port, timeText)
             : std::make_unique<MonitorTextSink>(
                   s.out, o.monitor.timestamps ? timeText : std::function<std::string()>());
  std::unique_ptr<AddressDecoder> decoder = openDecoder(o.monitor, platform, *sink);

  MonitorOptions options;
  options.baud = baud;
  options.reset = reset;
  options.eol = o.monitor.eol;
  // Raw mode from here to the end of the monitor, whatever way it ends.
  std::unique_ptr<MonitorKeyboard> keyboard =
      platform.openKeyboard ? platform.openKeyboard() : nullptr;
  MonitorHooks hooks;
  if (keyboard) hooks.keys = [&keyboard] { return keyboard->poll(); };
  hooks.interrupted = platform.interrupted;
  hooks.decoder = decoder.get();
  if (platform.osPortInfo) {
    hooks.find = [&platform](const PortInfo& lost) {
      std::vector<PortInfo> now;
      try {
        now = platform.osPortInfo();
      } catch (const std::exception&) {
      }
      return reconnectPort(lost, now);
    };
  }
  if (!o.json && keyboard) s.err << "Monitor on " << port << " (Ctrl-] quits, Ctrl-T H help)\n";
  s.err.flush();
  MonitorSession session(com, identify(port, platform), options, hooks, *sink,
                         !o.json && s.outIsTerminal && !s.noColor);
  const int status = session.run();
  return status;
}

}  // namespace flintmoor
