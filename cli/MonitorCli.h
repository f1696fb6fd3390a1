// flintmoor-cli's serial monitor: its options, the JSON output, the address decoder that runs the
// binutils' addr2line for Xtensa, and the run on one board's open (or closed) link.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliApp.h"
#include "cli/CliArgs.h"
#include "job/IniFile.h"
#include "job/Monitor.h"

namespace flintmoor {

class TComIo;

// Takes one of the monitor's options (--monitor, --monitor-baud, --no-reset, --timestamps, --eol,
// --elf, --addr2line) into `m`; false for any other option.
bool parseMonitorOption(const std::string& arg, const std::function<std::string()>& value,
                        const std::function<void(bool&)>& flag, MonitorArgs& m);
// Refuses monitor options where they mean nothing (no monitor, several boards are checked later).
void checkMonitorArgs(const CliOptions& o);
// The monitor's lines of the usage.
std::string monitorUsage();

// MonitorBaud of the settings' [CONFIG] section: 115200 when absent or out of 300..5000000.
uint32_t readMonitorBaud(const IniFile& ini);

// The name the binutils for Xtensa give their addr2line.
inline constexpr char kAddr2lineName[] = "xtensa-lx106-elf-addr2line";

// Runs `tool` -a -f -C -e `elf` ADDRESS... on a thread of its own, one request at a time.
std::unique_ptr<AddressDecoder> makeToolDecoder(std::string tool, std::string elf, ToolRunner run);

// The monitor's JSON lines: {port, event: "line", text, time}, {port, event: "backtrace", pc,
// function, file, line}, and {port, event, message, time} for its own messages.
std::unique_ptr<MonitorSink> makeJsonMonitorSink(std::ostream& out, std::string port,
                                                 std::function<std::string()> timeText);

// Host time of day, "HH:MM:SS.mmm".
std::string timeOfDayText();

// Runs the monitor on `com` (the port named `port`, open when a job left it so) with the options,
// until the user quits. Returns the exit status.
int runMonitor(TComIo& com, const std::string& port, const CliOptions& o, const CliStreams& s,
               const CliPlatform& platform, uint32_t baud, bool reset);

}  // namespace flintmoor
