// The command-line front end as a function, so that tests run it in-process: argument parsing,
// the settings, the virtual chip on the port "SIM", and the erase and update jobs.
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "comio/PortInfo.h"
#include "comio/SerialDevice.h"
#include "job/Monitor.h"

namespace flintmoor {

// Exit statuses of flintmoor-cli.
enum CliExit {
  kExitOk = 0,
  kExitJobFailed = 1,    // the job failed (with several boards: any board did not succeed)
  kExitUsage = 2,        // bad usage: nothing was sent
  kExitNoDevice = 3,     // no chip answered
  kExitVerify = 4,       // what the chip holds differs from what was written or read
  kExitInterrupted = 5,  // stopped by SIGINT or SIGTERM (Ctrl-C, a console close on Windows)
};

struct CliStreams {
  std::istream& in;   // answers the erase question
  std::ostream& out;  // MAC, file-check refusals, the final "OK" or error message, port list
  std::ostream& err;  // status texts, progress, the virtual time, usage
  bool errIsTerminal = false;  // redraw the progress bar in place and beep
  bool noColor = false;        // NO_COLOR is set: plain output even on a terminal
  bool outIsTerminal = false;  // the monitor passes the program's colours on
};

// Runs a program (argv[0] a path) and returns what it wrote on its output; nullopt when it could
// not be started or failed.
using ToolRunner = std::function<std::optional<std::string>(const std::vector<std::string>& argv)>;

// What the operating system gives the tool: the executable's directory (where the default
// settings file lives), the device for real port names, the port list (with the identity of the
// devices behind the ports when the system tells it), and whether the user asked the tool to stop.
// osDevice and interrupted are called from the boards' threads at once.
struct CliPlatform {
  std::string exeDir;
  SerialDeviceFactory osDevice;
  PortLister osPorts;
  PortInfoLister osPortInfo;          // preferred to osPorts when set
  std::function<bool()> interrupted;  // true once SIGINT/SIGTERM arrived; checked per packet
  // The monitor's keyboard in raw mode, null when standard input is no terminal.
  std::function<std::unique_ptr<MonitorKeyboard>()> openKeyboard;
  ToolRunner runTool;                                       // addr2line for the monitor
  std::function<std::string(const std::string&)> findTool;  // a program's path on the PATH, or ""
  std::function<std::string()> timeOfDay;                   // "HH:MM:SS.mmm"; unset: the host's
};

// Runs flintmoor-cli with its arguments (without the program name) and returns the exit status.
int runCli(const std::vector<std::string>& args, const CliStreams& streams,
           const CliPlatform& platform);

std::string cliUsage();

struct CliOptions;
// The ports command: the serial ports with what the system knows of their devices.
int listPorts(const CliOptions& o, const CliStreams& s, const CliPlatform& platform);

}  // namespace flintmoor
