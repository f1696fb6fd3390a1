// The command line of flintmoor-cli as data: the options, the command with its operands, and the
// checks that refuse bad usage before any port is opened.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "esp/Chip.h"
#include "job/FlashJob.h"
#include "sim/SimFaults.h"

namespace flintmoor {

// Bad usage: the tool prints the message and the usage and exits with status 2.
class UsageError : public std::exception {
 public:
  explicit UsageError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A fault of the virtual chip, for every virtual board ("NAME[:N]") or for one ("SIM:2=NAME[:N]").
struct BoardSimFault {
  std::string board;  // "" for every board, else the port name ("SIM", "SIM:2")
  SimFault fault;
};

// The serial monitor's options: the `monitor` command, or --monitor after a job.
struct MonitorArgs {
  bool afterJob = false;                 // --monitor
  std::optional<uint32_t> baud;          // --monitor-baud; else MonitorBaud of the settings
  bool noReset = false;                  // --no-reset
  bool timestamps = false;               // --timestamps
  std::string eol = "\r\n";              // --eol CRLF|CR|LF
  std::optional<std::string> elf;        // --elf FILE
  std::optional<std::string> addr2line;  // --addr2line PATH
};

struct CliOptions;
struct CliStreams;
struct CliPlatform;

// One command of flintmoor-cli: one row of cliCommands(). Adding a command is adding a row.
struct CliCommand {
  const char* name;
  const char* operands;  // as the usage shows them: "ADDR SIZE FILE"
  // Takes the operands into the options, checking what needs no chip (addresses against the
  // flash); raises UsageError.
  void (*parse)(CliOptions& o, const std::vector<std::string>& operands,
                const FlashGeometry& flash);
  // The job's plan for a command that runs the flash job on every board; nullptr otherwise.
  JobPlan (*plan)(const CliOptions& o);
  // A command that runs no flash job (ports): its whole run; returns the exit status.
  int (*run)(const CliOptions& o, const CliStreams& s, const CliPlatform& platform);
  bool confirms;           // erases after a question: --yes goes with it, several boards need it
  bool patchHeader;        // --patch-header goes with it
  bool checksUpdateFiles;  // its three files are checked before any port is touched
};

// The commands: ports, update, erase, write, erase-region, read, monitor.
std::span<const CliCommand> cliCommands();

struct CliOptions {
  // the command's name, and its row
  std::string command;
  const CliCommand* row = nullptr;
  std::vector<std::string> files;    // update: BOOT PART APP
  std::vector<ImageToWrite> images;  // write: in the order given
  uint32_t address = 0;              // erase-region, read
  uint32_t size = 0;                 // erase-region, read
  std::string outFile;               // read

  std::vector<std::string> ports;  // --port, in order; "usb:..." resolved later
  bool allPorts = false;
  std::optional<std::string> ini;
  std::optional<std::string> log;
  std::optional<std::string> simFlash;
  uint32_t simFlashSize = 0;  // bytes of the virtual chip's flash; 0 for its default (4 MB)
  std::vector<BoardSimFault> simFaults;
  bool realtime = false;
  bool romOnly = false;
  bool noSkip = false;
  bool patchHeader = false;
  bool json = false;
  std::optional<uint32_t> baud;
  bool yes = false;
  bool help = false;
  MonitorArgs monitor;
};

// Parses and checks the arguments (without the program name): numbers, alignment, the images of
// `write` (each file present and not empty, 4 KiB-aligned, inside the 4 MB flash, no two sharing
// a 4 KiB sector). Addresses are checked against `chip`'s flash. Raises UsageError.
CliOptions parseCliArgs(const std::vector<std::string>& args,
                        const ChipDescription& chip = defaultChip());

// A flash address or size: decimal, or hexadecimal after "0x"; a "K" or "M" suffix multiplies by
// 1024 or 1048576. Raises UsageError naming `what` and the text.
uint32_t parseFlashNumber(const std::string& text, const std::string& what);

// True for the virtual chip's port names: "SIM" and "SIM:N" (N from 1).
bool isSimPort(const std::string& name);

}  // namespace flintmoor
