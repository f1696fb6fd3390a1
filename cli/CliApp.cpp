// flintmoor-cli: parses the command line, reads the connection settings, wires the serial link
// (a real port, or the virtual ESP32 on "SIM") and runs the erase or update job on the terminal.
#include "cli/CliApp.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <system_error>

#include "base/Clock.h"
#include "base/Error.h"
#include "cli/TerminalView.h"
#include "comio/uComIo.h"
#include "job/Flasher.h"
#include "job/IniFile.h"
#include "job/Settings.h"
#include "job/StrNatComp.h"
#include "log/Log.h"
#include "sim/SimFaults.h"
#include "sim/SimSerialDevice.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor {

namespace {

constexpr const char* kFieldNames[3] = {"Bootloader", "Partitions", "Firmware"};

class UsageError : public std::exception {
 public:
  explicit UsageError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Keeps no lines: the debug log when --log is not given.
class NullLog : public Log {
 protected:
  void addLine(std::string) override {}
  void clearLines() override {}
};

struct Options {
  std::string command;  // "ports", "update", "erase"
  std::vector<std::string> files;
  std::optional<std::string> port;
  std::optional<std::string> ini;
  std::optional<std::string> log;
  std::optional<std::string> simFlash;
  std::vector<SimFault> simFaults;
  bool realtime = false;
  bool romOnly = false;
  bool noSkip = false;
  std::optional<uint32_t> baud;
  bool yes = false;
  bool help = false;
};

// A line speed in bit/s, decimal, from 9600 to 5000000.
uint32_t parseBaud(const std::string& text) {
  constexpr uint32_t kMin = 9600;
  constexpr uint32_t kMax = 5000000;
  uint32_t baud = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), baud);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || baud < kMin ||
      baud > kMax) {
    throw UsageError("--baud needs a speed from " + std::to_string(kMin) + " to " +
                     std::to_string(kMax) + " bit/s, not \"" + text + "\"");
  }
  return baud;
}

Options parseArgs(const std::vector<std::string>& args) {
  Options o;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg.resize(eq);
      }
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
      return args[++i];
    };
    auto flag = [&]() {
      if (inlineValue) throw UsageError(arg + " takes no value");
    };
    if (arg == "--port") {
      o.port = value();
    } else if (arg == "--ini") {
      o.ini = value();
    } else if (arg == "--log") {
      o.log = value();
    } else if (arg == "--sim-flash") {
      o.simFlash = value();
    } else if (arg == "--sim-fault") {
      const std::string text = value();
      try {
        o.simFaults.push_back(parseSimFault(text));
      } catch (const Exception& e) {
        throw UsageError(e.what());
      }
    } else if (arg == "--realtime") {
      flag();
      o.realtime = true;
    } else if (arg == "--rom-only") {
      flag();
      o.romOnly = true;
    } else if (arg == "--no-skip") {
      flag();
      o.noSkip = true;
    } else if (arg == "--baud") {
      o.baud = parseBaud(value());
    } else if (arg == "--yes") {
      flag();
      o.yes = true;
    } else if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (o.help) return o;
  if (positional.empty()) throw UsageError("no command given");
  o.command = positional[0];
  o.files.assign(positional.begin() + 1, positional.end());
  if (o.command == "ports") {
    if (!o.files.empty()) throw UsageError("ports takes no arguments");
  } else if (o.command == "update") {
    if (o.files.size() != 3) throw UsageError("update needs three files: BOOT PART APP");
  } else if (o.command == "erase") {
    if (!o.files.empty()) throw UsageError("erase takes no files");
  } else {
    throw UsageError("unknown command " + o.command);
  }
  if (o.yes && o.command != "erase") throw UsageError("--yes goes with erase");
  return o;
}

int listPorts(const CliStreams& s, const CliPlatform& platform) {
  std::vector<std::string> ports;
  if (platform.osPorts) {
    try {
      ports = platform.osPorts();
    } catch (const std::exception&) {
      // The system keeps no port list: there is nothing to show.
    }
  }
  std::stable_sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
    return NaturalCompare(a, b) < 0;
  });
  for (const std::string& p : ports) s.out << p << '\n';
  s.out.flush();
  return kExitOk;
}

// The settings file: --ini, or the window's Flintmoor.ini (beside the executable, or in the user's
// configuration folder for an installed program). Only read, never written.
std::unique_ptr<IniFile> openSettings(const Options& o, const CliPlatform& platform) {
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

int runJob(const Options& o, const CliStreams& s, const CliPlatform& platform) {
  // The debug log.
  std::ofstream logFile;
  std::unique_ptr<Log> log;
  if (!o.log) {
    log = std::make_unique<NullLog>();
  } else if (*o.log == "-") {
    log = std::make_unique<StreamLog>(s.err);
  } else {
    logFile.open(*o.log, std::ios::out | std::ios::trunc);
    if (!logFile) throw UsageError("cannot write the log file " + *o.log);
    log = std::make_unique<StreamLog>(logFile);
  }

  std::unique_ptr<IniFile> ini = openSettings(o, platform);
  if (!ini->loadError().empty()) {
    s.err << "Settings not read (" << ini->loadError() << "); using the defaults\n";
  }
  TConfig config = readConfig(*ini, *log);
  if (o.baud) config.FastBaud = *o.baud;
  const std::string port = o.port ? *o.port : readComPort(*ini);
  if (port.empty()) throw UsageError("no port: give --port NAME or set ComPort in the settings");

  const bool sim = port == VirtualEsp32::kPortName;
  if (!sim && (o.simFlash || !o.simFaults.empty() || o.realtime)) {
    throw UsageError("--sim-flash, --sim-fault and --realtime go with --port SIM");
  }
  if (!sim && !platform.osDevice) throw UsageError("no serial ports on this system");

  // Images first: a file that fails its check stops the job before the port is touched.
  std::array<std::string, 3> files;
  if (o.command == "update") {
    bool allOk = true;
    for (int i = 0; i < 3; ++i) {
      files[i] = o.files[i];
      const FileCheck check = checkImageFile(i, files[i], *log);
      if (!check.ok) {
        s.out << kFieldNames[i] << ": " << check.hint << '\n';
        allOk = false;
      }
    }
    if (!allOk) {
      s.out.flush();
      return kExitJobFailed;
    }
  }

  VirtualClock virtualClock;
  SteadyClock steadyClock;
  std::unique_ptr<VirtualEsp32> chip;
  if (sim) {
    virtualClock.setRealTime(o.realtime);
    chip = std::make_unique<VirtualEsp32>(virtualClock);
    std::error_code ec;
    if (o.simFlash && std::filesystem::exists(*o.simFlash, ec)) {
      try {
        chip->flash().load(*o.simFlash);
      } catch (const std::exception& e) {
        throw UsageError(e.what());
      }
    }
    for (const SimFault& f : o.simFaults) chip->addFault(f);
  }
  Clock& clock = sim ? static_cast<Clock&>(virtualClock) : static_cast<Clock&>(steadyClock);

  SerialDeviceFactory factory = [&](const std::string& name) -> std::unique_ptr<SerialDevice> {
    if (name == VirtualEsp32::kPortName && chip) return std::make_unique<SimSerialDevice>(*chip);
    return platform.osDevice(name);
  };
  TComIo com(clock, factory, platform.osPorts ? platform.osPorts : PortLister{});
  TerminalView view(s.in, s.out, s.err, s.errIsTerminal, o.yes, port, clock);
  Flasher flasher(com, *log, view, config);
  FlashJob& job = flasher.job;
  job.RomOnly = o.romOnly;
  job.SkipUnchanged = !o.noSkip;

  const int64_t startUs = clock.nowUs();
  const bool ok = job.ButStartClick(o.command == "erase" ? 1 : 2, files);
  const int64_t tookUs = clock.nowUs() - startUs;
  view.finishLine();

  int status = ok ? kExitOk : kExitJobFailed;
  // A flash file that cannot be saved fails a job that went well: its last line says why.
  std::string saveError;
  if (sim && o.simFlash) {
    try {
      chip->flash().save(*o.simFlash);
    } catch (const std::exception& e) {
      saveError = e.what();
      status = kExitJobFailed;
    }
  }
  if (sim && !o.realtime) {
    char text[64];
    std::snprintf(text, sizeof text, "Virtual time: %.3f s", static_cast<double>(tookUs) / 1e6);
    s.err << text << '\n';
  }
  if (!ok && !saveError.empty()) s.err << saveError << '\n';
  s.err.flush();
  const std::string last = !ok ? view.errorMessage() : !saveError.empty() ? saveError : "OK";
  s.out << last << '\n' << std::flush;
  return status;
}

}  // namespace

std::string cliUsage() {
  return "usage: flintmoor-cli ports\n"
         "       flintmoor-cli [options] update BOOT PART APP\n"
         "       flintmoor-cli [options] erase [--yes]\n"
         "\n"
         "Writes BOOT at 0x1000, PART at 0x8000 and APP at 0x10000 of an ESP32's flash,\n"
         "or erases the whole flash, over a serial port.\n"
         "\n"
         "options:\n"
         "  --port NAME        serial port (default: ComPort of the settings file);\n"
         "                     SIM is the virtual ESP32\n"
         "  --ini FILE         settings file (default: the window's Flintmoor.ini, beside\n"
         "                     the program or in the user's configuration folder)\n"
         "  --log FILE         write the debug log to FILE (- for the error stream)\n"
         "  --yes              erase without asking\n"
         "  --rom-only         write through the chip's ROM loader, without the flasher stub\n"
         "  --no-skip          through the ROM loader, write every 64 KiB region, also those\n"
         "                     the chip already holds\n"
         "  --baud N           the fast line speed for this run (default: FastBaud of the\n"
         "                     settings); when the line fails there, the job starts again at\n"
         "                     460800, then 115200 bit/s\n"
         "  --sim-flash FILE   with SIM: load the flash from FILE if it exists, save it there\n"
         "  --sim-fault NAME[:N]  with SIM: switch on a fault (" +
         [] {
           std::string names;
           for (std::string_view n : simFaultNames()) {
             if (!names.empty()) names += ", ";
             names += n;
           }
           return names;
         }() +
         ")\n"
         "  --realtime         with SIM: run at the pace of real hardware\n"
         "\n"
         "exit status: 0 success, 1 the job failed, 2 bad usage\n";
}

int runCli(const std::vector<std::string>& args, const CliStreams& streams,
           const CliPlatform& platform) {
  try {
    const Options o = parseArgs(args);
    if (o.help) {
      streams.out << cliUsage() << std::flush;
      return kExitOk;
    }
    if (o.command == "ports") return listPorts(streams, platform);
    return runJob(o, streams, platform);
  } catch (const UsageError& e) {
    streams.err << "flintmoor-cli: " << e.what() << "\n\n" << cliUsage() << std::flush;
    return kExitUsage;
  } catch (const std::exception& e) {
    // Whatever else fails around the job ends the tool with its message, not with an abort.
    streams.out << e.what() << '\n' << std::flush;
    return kExitJobFailed;
  }
}

}  // namespace flintmoor
