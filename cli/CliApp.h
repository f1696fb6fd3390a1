// The command-line front end as a function, so that tests run it in-process: argument parsing,
// the settings, the virtual chip on the port "SIM", and the erase and update jobs.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "comio/SerialDevice.h"

namespace flintmoor {

// Exit statuses of flintmoor-cli.
enum CliExit { kExitOk = 0, kExitJobFailed = 1, kExitUsage = 2 };

struct CliStreams {
  std::istream& in;   // answers the erase question
  std::ostream& out;  // MAC, file-check refusals, the final "OK" or error message, port list
  std::ostream& err;  // status texts, progress, the virtual time, usage
  bool errIsTerminal = false;  // redraw the progress bar in place and beep
};

// What the operating system gives the tool: the executable's directory (where the default
// settings file lives), the device for real port names and the port list.
struct CliPlatform {
  std::string exeDir;
  SerialDeviceFactory osDevice;
  PortLister osPorts;
};

// Runs flintmoor-cli with its arguments (without the program name) and returns the exit status.
int runCli(const std::vector<std::string>& args, const CliStreams& streams,
           const CliPlatform& platform);

std::string cliUsage();

}  // namespace flintmoor
