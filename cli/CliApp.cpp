// flintmoor-cli: reads the connection settings, picks the boards (real ports, USB identities, the
// virtual ESP32 on "SIM" and "SIM:N"), and runs the job on each: one board on the terminal as
// the window would, several at once each on a thread of its own, or any number as JSON lines.
#include "cli/CliApp.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "base/Clock.h"
#include "base/Error.h"
#include "cli/BoardReport.h"
#include "cli/CliArgs.h"
#include "cli/Json.h"
#include "cli/MonitorCli.h"
#include "cli/TerminalView.h"
#include "comio/uComIo.h"
#include "esp/Chip.h"
#include "job/Flasher.h"
#include "job/IniFile.h"
#include "job/Settings.h"
#include "job/StrNatComp.h"
#include "log/Log.h"
#include "sim/SimSerialDevice.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor {

namespace {

constexpr const char* kFieldNames[3] = {"Bootloader", "Partitions", "Firmware"};

// Keeps no lines: the debug log when --log is not given.
class NullLog : public Log {
 protected:
  void addLine(std::string) override {}
  void clearLines() override {}
};

// One board's debug log on a stream that several boards share: each line tagged with the port.
class TaggedLog : public Log {
 public:
  TaggedLog(std::ostream& out, std::mutex& mutex, std::string tag)
      : out_(out), mutex_(mutex), tag_(std::move(tag)) {}

 protected:
  void addLine(std::string line) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    out_ << '[' << tag_ << "] " << line << '\n' << std::flush;
  }
  void clearLines() override {}

 private:
  std::ostream& out_;
  std::mutex& mutex_;
  std::string tag_;
};

// A port name as part of a file name: "/dev/ttyUSB0" gives "ttyUSB0", "SIM:2" gives "SIM-2".
std::string fileTag(const std::string& port) {
  std::string tag = shortPortName(port);
  for (char& c : tag) {
    if (c == ':' || c == '/' || c == '\\') c = '-';
  }
  return tag;
}

int exitFor(JobOutcome outcome) {
  switch (outcome) {
    case JobOutcome::kOk:
      return kExitOk;
    case JobOutcome::kNoDevice:
      return kExitNoDevice;
    case JobOutcome::kVerifyFailed:
      return kExitVerify;
    case JobOutcome::kInterrupted:
      return kExitInterrupted;
    case JobOutcome::kFailed:
      break;
  }
  return kExitJobFailed;
}

// The ports with what the system knows of them; names alone when that is all it tells.
std::vector<PortInfo> portInfos(const CliPlatform& platform) {
  std::vector<PortInfo> ports;
  try {
    if (platform.osPortInfo) {
      ports = platform.osPortInfo();
    } else if (platform.osPorts) {
      for (const std::string& name : platform.osPorts()) {
        PortInfo port;
        port.name = name;
        ports.push_back(port);
      }
    }
  } catch (const std::exception&) {
    // The system keeps no port list: there is nothing to show.
  }
  std::stable_sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
    return NaturalCompare(a.name, b.name) < 0;
  });
  return ports;
}

}  // namespace

int listPorts(const CliOptions& o, const CliStreams& s, const CliPlatform& platform) {
  const std::vector<PortInfo> ports = portInfos(platform);
  size_t width = 0;
  for (const PortInfo& p : ports) width = std::max(width, p.name.size());
  for (const PortInfo& p : ports) {
    if (o.json) {
      JsonObject j;
      j.add("port", p.name).add("usb", p.usb);
      if (p.usb) {
        char id[8];
        std::snprintf(id, sizeof id, "%04X", p.vid);
        j.add("vid", id);
        std::snprintf(id, sizeof id, "%04X", p.pid);
        j.add("pid", id)
            .add("serial", p.serial)
            .add("manufacturer", p.manufacturer)
            .add("product", p.product)
            .add("description", p.description())
            .add("interface", p.interfaceNumber);
      }
      s.out << j.text() << '\n';
    } else if (!p.usb) {
      s.out << p.name << '\n';
    } else {
      std::string line = p.name + std::string(width - p.name.size(), ' ') + "  " + formatVidPid(p) +
                         "  " + (p.serial.empty() ? "-" : p.serial);
      const std::string description = p.description();
      if (!description.empty()) line += "  " + description;
      s.out << line << '\n';
    }
  }
  s.out.flush();
  return kExitOk;
}

namespace {

// The settings file: --ini, or the window's Flintmoor.ini (beside the executable, or in the user's
// configuration folder for an installed program). Only read, never written.
std::unique_ptr<IniFile> openSettings(const CliOptions& o, const CliPlatform& platform) {
  if (!o.ini) {
    return std::make_unique<IniFile>(settingsDirectory(platform.exeDir, processEnvironment),
                                     kSettingsFileName);
  }
  const std::filesystem::path path(*o.ini);
  // A name the system cannot even look up (too long, say) is as absent as a missing file.
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) throw UsageError("settings file not found: " + *o.ini);
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
  return std::make_unique<IniFile>(dir.string(), path.filename().string());
}

// No board to run on: exit 3 with the message alone.
class NoBoard : public UsageError {
 public:
  using UsageError::UsageError;
};

// The boards: --port names (a USB identity resolved to its one port), --all-ports, or the
// settings' port.
std::vector<std::string> resolvePorts(const CliOptions& o, const CliPlatform& platform,
                                      const IniFile& ini) {
  std::vector<std::string> ports;
  if (o.allPorts) {
    for (const PortInfo& p : portInfos(platform)) {
      if (p.usb) ports.push_back(p.name);
    }
    if (ports.empty()) throw NoBoard("No USB serial port found");
    return ports;
  }
  std::optional<std::vector<PortInfo>> infos;
  for (const std::string& given : o.ports) {
    std::optional<UsbPortId> wanted;
    try {
      wanted = parseUsbPortId(given);
    } catch (const Exception& e) {
      throw UsageError(e.what());
    }
    if (!wanted) {
      ports.push_back(given);
      continue;
    }
    if (!infos) infos = portInfos(platform);
    const std::vector<PortInfo> found = matchUsbPort(*wanted, *infos);
    if (found.size() == 1) {
      ports.push_back(found[0].name);
      continue;
    }
    std::string candidates;
    for (const PortInfo& p : found.empty() ? *infos : found) {
      if (!p.usb) continue;
      candidates += "\n  " + p.name + "  " + formatVidPid(p) + "  " +
                    (p.serial.empty() ? "-" : p.serial) + "  " + p.description();
    }
    if (candidates.empty()) candidates = "\n  (no USB serial port)";
    throw UsageError((found.empty() ? "no port matches " : "several ports match ") + given +
                     (found.empty() ? "; the USB serial ports:" : ":") + candidates);
  }
  if (ports.empty()) {
    const std::string port = readComPort(ini);
    if (port.empty()) throw UsageError("no port: give --port NAME or set ComPort in the settings");
    ports.push_back(port);
  }
  std::set<std::string> seen;
  for (const std::string& p : ports) {
    if (!seen.insert(p).second) throw UsageError("the port " + p + " is given twice");
  }
  return ports;
}

JobPlan planOf(const CliOptions& o) {
  return o.row->plan(o);
}

// Everything one board needs besides its view: its clock, and on a virtual port its own chip.
class BoardRig {
 public:
  BoardRig(std::string port, const CliOptions& o, const CliPlatform& platform)
      : port_(std::move(port)), platform_(platform) {
    if (!isSimPort(port_)) return;
    virtualClock_.setRealTime(o.realtime);
    VirtualEsp32Options options;
    options.flashSize = defaultChip().flash.size;  // the chip table's, as the job assumes
    options.application = o.command == "monitor" || o.monitor.afterJob;  // its program talks
    if (o.simFlashSize != 0) options.flashSize = o.simFlashSize;
    chip_ = std::make_unique<VirtualEsp32>(virtualClock_, options);
    if (o.simFlash) {
      flashFile_ = *o.simFlash;
      if (port_ != VirtualEsp32::kPortName) flashFile_ += "." + port_.substr(4);
      std::error_code ec;
      if (std::filesystem::exists(flashFile_, ec)) {
        try {
          chip_->flash().load(flashFile_);
        } catch (const std::exception& e) {
          throw UsageError(e.what());
        }
      }
    }
    for (const BoardSimFault& f : o.simFaults) {
      if (f.board.empty() || f.board == port_) chip_->addFault(f.fault);
    }
    // The board has been running what its flash holds (loaded just now) for a while when the
    // tool attaches: its boot text is over.
    if (options.application) {
      chip_->powerCycle();
      virtualClock_.sleepMs(300);
    }
  }

  const std::string& port() const { return port_; }
  bool simulated() const { return chip_ != nullptr; }
  Clock& clock() {
    return chip_ ? static_cast<Clock&>(virtualClock_) : static_cast<Clock&>(steadyClock_);
  }

  // Runs the plan; afterwards tookUs() is the time it took on the board's clock, and a virtual
  // chip's flash is saved (saveError() tells why it could not be).
  bool run(const JobPlan& plan, const CliOptions& o, const TConfig& config, Log& log,
           JobView& view) {
    std::unique_ptr<TComIo> com = makeCom();
    Flasher flasher(*com, log, view, config);
    FlashJob& job = flasher.job;
    job.KeepPortOpen = o.monitor.afterJob;
    job.RomOnly = o.romOnly;
    job.SkipUnchanged = !o.noSkip;
    job.VirtualChip = simulated();
    job.StopRequested = platform_.interrupted;

    const int64_t startUs = clock().nowUs();
    const bool ok = job.run(plan);
    tookUs_ = clock().nowUs() - startUs;
    outcome_ = job.outcome();
    if (com->cPort.Connected()) keptCom_ = std::move(com);
    if (chip_) {
      // Let the reset pulse take effect, and say what the chip does now.
      virtualClock_.sleepMs(50);
      log.S(std::string("Virtual chip: ") + (chip_->mode() == VirtualEsp32::Mode::kApplication
                                                 ? "running its application"
                                                 : "not running its application"));
      if (!flashFile_.empty()) {
        try {
          chip_->flash().save(flashFile_);
        } catch (const std::exception& e) {
          saveError_ = e.what();
        }
      }
    }
    return ok && saveError_.empty();
  }

  // The serial monitor on this board: on the port the job left open (its reset done), else on
  // the port opened now.
  int monitor(const CliOptions& o, const CliStreams& s) {
    const bool afterJob = keptCom_ != nullptr;
    std::unique_ptr<TComIo> com = afterJob ? std::move(keptCom_) : makeCom();
    return runMonitor(*com, port_, o, s, platform_, monitorBaud, !afterJob && !o.monitor.noReset);
  }

  uint32_t monitorBaud = 115200;

  int64_t tookUs() const { return tookUs_; }
  JobOutcome outcome() const { return outcome_; }
  const std::string& saveError() const { return saveError_; }

 private:
  std::unique_ptr<TComIo> makeCom() {
    SerialDeviceFactory factory = [this](const std::string& name) -> std::unique_ptr<SerialDevice> {
      if (chip_ && name == port_) {
        return std::make_unique<SimSerialDevice>(*chip_, port_);
      }
      return platform_.osDevice(name);
    };
    return std::make_unique<TComIo>(clock(), factory, PortLister{});
  }

  std::string port_;
  const CliPlatform& platform_;
  VirtualClock virtualClock_;
  SteadyClock steadyClock_;
  std::unique_ptr<VirtualEsp32> chip_;
  std::string flashFile_;
  int64_t tookUs_ = 0;
  JobOutcome outcome_ = JobOutcome::kOk;
  std::string saveError_;
  std::unique_ptr<TComIo> keptCom_;  // the port a job left open for the monitor
};

// The debug log of one board: none, the error stream (tagged when boards share it), or a file
// (FILE.PORT when there are several boards).
std::unique_ptr<Log> makeLog(const CliOptions& o, const CliStreams& s, const std::string& port,
                             bool several, std::mutex& errMutex, std::ofstream& file) {
  if (!o.log) return std::make_unique<NullLog>();
  if (*o.log == "-") {
    if (several) return std::make_unique<TaggedLog>(s.err, errMutex, port);
    return std::make_unique<StreamLog>(s.err);
  }
  const std::string name = several ? *o.log + "." + fileTag(port) : *o.log;
  file.open(name, std::ios::out | std::ios::trunc);
  if (!file) throw UsageError("cannot write the log file " + name);
  return std::make_unique<StreamLog>(file);
}

// The lines the image check logged before any board's log was open (update: each file's size).
struct CheckLines {
  MemoryLog log;
};

// A board's log, starting with what the image check logged.
std::unique_ptr<Log> openLog(const CliOptions& o, const CliStreams& s, const std::string& port,
                             bool several, std::mutex& errMutex, std::ofstream& file,
                             const CheckLines& checked) {
  std::unique_ptr<Log> log = makeLog(o, s, port, several, errMutex, file);
  for (const std::string& line : checked.log.lines()) log->S(line);
  return log;
}

std::string virtualTimeText(int64_t us) {
  char text[64];
  std::snprintf(text, sizeof text, "Virtual time: %.3f s", static_cast<double>(us) / 1e6);
  return text;
}

// One board on the terminal: status and progress on the error stream, the MAC and the last line
// ("OK" or the error) on the output, as the window shows them.
int runOnTerminal(const CliOptions& o, const CliStreams& s, const TConfig& config, BoardRig& rig,
                  const CheckLines& checked) {
  std::mutex errMutex;
  std::ofstream logFile;
  const std::unique_ptr<Log> log = openLog(o, s, rig.port(), false, errMutex, logFile, checked);
  TerminalView view(s.in, s.out, s.err, s.errIsTerminal && !s.noColor, o.yes, rig.port(),
                    rig.clock());
  const bool ok = rig.run(planOf(o), o, config, *log, view);
  view.finishLine();

  if (rig.simulated() && !o.realtime) s.err << virtualTimeText(rig.tookUs()) << '\n';
  const std::string& saveError = rig.saveError();
  if (!view.errorMessage().empty() && !saveError.empty()) s.err << saveError << '\n';
  s.err.flush();
  // A flash file that cannot be saved fails a job that went well: its last line says why.
  const std::string last = !view.errorMessage().empty() ? view.errorMessage()
                           : !saveError.empty()         ? saveError
                                                        : "OK";
  s.out << last << '\n' << std::flush;
  if (ok && o.monitor.afterJob) return rig.monitor(o, s);
  if (ok) return kExitOk;
  return rig.outcome() == JobOutcome::kOk ? kExitJobFailed : exitFor(rig.outcome());
}

// Every board at once, each on its own thread with its own link, protocol and job; or one board
// reporting in JSON.
int runBoards(const CliOptions& o, const CliStreams& s, const TConfig& config,
              std::vector<std::unique_ptr<BoardRig>>& rigs, const CheckLines& checked) {
  const bool several = rigs.size() > 1;
  std::vector<BoardLine> lines(rigs.size());
  std::vector<const BoardLine*> linePtrs;
  for (size_t i = 0; i < rigs.size(); ++i) {
    lines[i].port = rigs[i]->port();
    linePtrs.push_back(&lines[i]);
  }
  std::unique_ptr<Report> report = o.json ? makeJsonReport(s.out)
                                   : (s.errIsTerminal && !s.noColor)
                                       ? makeLiveReport(s.out, s.err, linePtrs)
                                       : makePlainReport(s.out, s.err);
  std::mutex errMutex;
  std::vector<std::ofstream> logFiles(rigs.size());
  std::vector<std::unique_ptr<Log>> logs;
  for (size_t i = 0; i < rigs.size(); ++i) {
    logs.push_back(openLog(o, s, rigs[i]->port(), several, errMutex, logFiles[i], checked));
  }
  // Only a single board may ask its question; several need --yes (checked before).
  std::function<int(const std::string&)> ask;
  if (!several) {
    ask = [&s](const std::string& question) { return askYesNo(s.in, s.err, "ERASE", question); };
  }
  const JobPlan plan = planOf(o);

  auto runOne = [&](size_t i) {
    BoardRig& rig = *rigs[i];
    BoardView view(lines[i], *report, rig.clock(), o.yes, ask);
    bool ok = false;
    std::string failure;
    try {
      ok = rig.run(plan, o, config, *logs[i], view);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    const auto lock = report->lock();
    BoardLine& line = lines[i];
    line.finished = true;
    line.seconds = static_cast<double>(rig.tookUs()) / 1e6;
    line.outcome = ok ? JobOutcome::kOk : rig.outcome();
    if (!ok && line.outcome == JobOutcome::kOk) {
      line.outcome = JobOutcome::kFailed;
      line.error = !failure.empty() ? failure : rig.saveError();
    }
    report->finished(line);
  };
  if (several) {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < rigs.size(); ++i) threads.emplace_back(runOne, i);
    for (std::thread& t : threads) t.join();
  } else {
    runOne(0);
  }
  {
    const auto lock = report->lock();
    report->close(linePtrs);
  }

  if (!several && lines[0].outcome == JobOutcome::kOk && o.monitor.afterJob) {
    return rigs[0]->monitor(o, s);
  }
  if (!several) return exitFor(lines[0].outcome);
  bool allOk = true;
  bool interrupted = false;
  for (const BoardLine& line : lines) {
    allOk = allOk && line.outcome == JobOutcome::kOk;
    interrupted = interrupted || line.outcome == JobOutcome::kInterrupted;
  }
  return allOk ? kExitOk : interrupted ? kExitInterrupted : kExitJobFailed;
}

int runJobs(const CliOptions& o, const CliStreams& s, const CliPlatform& platform) {
  std::unique_ptr<IniFile> ini = openSettings(o, platform);
  if (!ini->loadError().empty()) {
    s.err << "Settings not read (" << ini->loadError() << "); using the defaults\n";
  }
  NullLog settingsLog;
  TConfig config = readConfig(*ini, settingsLog);
  if (o.baud) config.FastBaud = *o.baud;

  const std::vector<std::string> ports = resolvePorts(o, platform, *ini);
  const bool anySim = std::any_of(ports.begin(), ports.end(), isSimPort);
  if (!anySim && (o.simFlash || o.simFlashSize != 0 || !o.simFaults.empty() || o.realtime)) {
    throw UsageError(
        "--sim-flash, --sim-flash-size, --sim-fault and --realtime go with --port SIM");
  }
  for (const BoardSimFault& f : o.simFaults) {
    if (!f.board.empty() && std::find(ports.begin(), ports.end(), f.board) == ports.end()) {
      throw UsageError("--sim-fault names " + f.board + ", which is not among the ports");
    }
  }
  const bool allSim = std::all_of(ports.begin(), ports.end(), isSimPort);
  if (!allSim && !platform.osDevice) throw UsageError("no serial ports on this system");
  const bool several = ports.size() > 1 || o.allPorts;
  if (several && o.row->confirms && !o.yes) {
    throw UsageError(o.command + " on several boards needs --yes");
  }

  // Images first: a file that fails its check stops the job before the port is touched.
  CheckLines checked;
  if (o.row->checksUpdateFiles) {
    bool allOk = true;
    for (int i = 0; i < 3; ++i) {
      const FileCheck check = checkImageFile(i, o.files[i], checked.log);
      if (!check.ok) {
        const std::string text = std::string(kFieldNames[i]) + ": " + check.hint;
        s.out << (o.json ? JsonObject().add("event", "error").add("message", text).text() : text)
              << '\n';
        allOk = false;
      }
    }
    if (!allOk) {
      s.out.flush();
      return kExitJobFailed;
    }
  }

  std::vector<std::unique_ptr<BoardRig>> rigs;
  for (const std::string& port : ports) {
    rigs.push_back(std::make_unique<BoardRig>(port, o, platform));
    rigs.back()->monitorBaud = o.monitor.baud.value_or(readMonitorBaud(*ini));
  }
  if (o.command == "monitor") return rigs[0]->monitor(o, s);
  if (!several && !o.json) return runOnTerminal(o, s, config, *rigs[0], checked);
  return runBoards(o, s, config, rigs, checked);
}

}  // namespace

int runCli(const std::vector<std::string>& args, const CliStreams& streams,
           const CliPlatform& platform) {
  bool json = false;
  try {
    const CliOptions o = parseCliArgs(args);
    json = o.json;
    if (o.help) {
      streams.out << cliUsage() << std::flush;
      return kExitOk;
    }
    if (o.row->run != nullptr) return o.row->run(o, streams, platform);
    return runJobs(o, streams, platform);
  } catch (const NoBoard& e) {
    streams.err << e.what() << '\n' << std::flush;
    return kExitNoDevice;
  } catch (const UsageError& e) {
    streams.err << "flintmoor-cli: " << e.what() << "\n\n" << cliUsage() << std::flush;
    return kExitUsage;
  } catch (const std::exception& e) {
    // Whatever else fails around the job ends the tool with its message, not with an abort.
    if (json) {
      streams.out << JsonObject().add("event", "error").add("message", e.what()).text() << '\n'
                  << std::flush;
    } else {
      streams.out << e.what() << '\n' << std::flush;
    }
    return kExitJobFailed;
  }
}

}  // namespace flintmoor
