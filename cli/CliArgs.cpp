// flintmoor-cli's arguments: parsing, the checks made before any port is opened, and the usage.
#include "cli/CliArgs.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/Error.h"
#include "base/Text.h"
#include "cli/CliApp.h"
#include "cli/MonitorCli.h"

namespace flintmoor {

namespace {

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

BoardSimFault parseBoardSimFault(const std::string& text) {
  BoardSimFault f;
  std::string name = text;
  const size_t eq = text.find('=');
  if (eq != std::string::npos) {
    f.board = text.substr(0, eq);
    name = text.substr(eq + 1);
    if (!isSimPort(f.board)) {
      throw UsageError("--sim-fault " + text + ": \"" + f.board +
                       "\" is no virtual board (SIM, SIM:N)");
    }
  }
  try {
    f.fault = parseSimFault(name);
  } catch (const Exception& e) {
    throw UsageError(e.what());
  }
  return f;
}

std::string sectorText(const FlashGeometry& flash) {
  return std::to_string(flash.sector / 1024) + " KiB (" + hexText(flash.sector) + ")";
}

std::string flashText(const FlashGeometry& flash) {
  return "the " + flashSizeText(flash.size) + " flash (it ends at " + hexText(flash.size) + ")";
}

// The images of `write`: every check that needs no chip.
void checkImages(std::vector<ImageToWrite>& images, const FlashGeometry& flash) {
  const uint32_t kSectorSize = flash.sector;
  struct Extent {
    uint64_t begin, end;  // whole sectors: the loader erases each sector a write touches
    size_t index;
  };
  std::vector<Extent> extents;
  for (size_t i = 0; i < images.size(); ++i) {
    const ImageToWrite& image = images[i];
    const std::string at = image.file + " at " + hexText(image.address);
    if (image.address % kSectorSize != 0) {
      throw UsageError(at + ": the address must be a multiple of " + sectorText(flash));
    }
    std::error_code ec;
    const std::filesystem::path path = pathOf(image.file);
    if (!std::filesystem::is_regular_file(path, ec)) {
      throw UsageError(image.file + ": file not found");
    }
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) throw UsageError(image.file + ": " + ec.message());
    if (size == 0) throw UsageError(image.file + ": the file is empty");
    if (image.address >= flash.size || size > flash.size - image.address) {
      throw UsageError(at + ": " + std::to_string(size) + " bytes do not fit " + flashText(flash));
    }
    const uint64_t end = (image.address + size + kSectorSize - 1) / kSectorSize * kSectorSize;
    extents.push_back({image.address, end, i});
  }
  std::sort(extents.begin(), extents.end(),
            [](const Extent& a, const Extent& b) { return a.begin < b.begin; });
  for (size_t i = 1; i < extents.size(); ++i) {
    if (extents[i].begin < extents[i - 1].end) {
      const ImageToWrite& a = images[extents[i - 1].index];
      const ImageToWrite& b = images[extents[i].index];
      throw UsageError("images overlap: " + a.file + " at " + hexText(a.address) + " reaches " +
                       hexText(extents[i - 1].end) + " (whole 4 KiB sectors), past " + b.file +
                       " at " + hexText(b.address));
    }
  }
}

void checkRegion(const std::string& command, uint32_t address, uint32_t size,
                 const FlashGeometry& flash) {
  if (size == 0) throw UsageError(command + ": SIZE must not be 0");
  if (address >= flash.size || size > flash.size - address) {
    throw UsageError(command + ": " + hexText(address) + " + " + hexText(size) + " lies outside " +
                     flashText(flash));
  }
}

void parsePorts(CliOptions&, const std::vector<std::string>& operands, const FlashGeometry&) {
  if (!operands.empty()) throw UsageError("ports takes no arguments");
}

void parseUpdate(CliOptions& o, const std::vector<std::string>& operands, const FlashGeometry&) {
  if (operands.size() != 3) throw UsageError("update needs three files: BOOT PART APP");
  o.files = operands;
}

void parseErase(CliOptions&, const std::vector<std::string>& operands, const FlashGeometry&) {
  if (!operands.empty()) throw UsageError("erase takes no files");
}

void parseWrite(CliOptions& o, const std::vector<std::string>& operands,
                const FlashGeometry& flash) {
  if (operands.empty() || operands.size() % 2 != 0) {
    throw UsageError("write needs pairs of ADDR FILE");
  }
  for (size_t i = 0; i < operands.size(); i += 2) {
    const uint32_t address = parseFlashNumber(operands[i], "write: ADDR");
    o.images.push_back({operands[i + 1], address, o.patchHeader && address == 0x1000});
  }
  checkImages(o.images, flash);
}

void parseEraseRegion(CliOptions& o, const std::vector<std::string>& operands,
                      const FlashGeometry& flash) {
  if (operands.size() != 2) throw UsageError("erase-region needs ADDR SIZE");
  o.address = parseFlashNumber(operands[0], "erase-region: ADDR");
  o.size = parseFlashNumber(operands[1], "erase-region: SIZE");
  checkRegion(o.command, o.address, o.size, flash);
  if (o.address % flash.sector != 0 || o.size % flash.sector != 0) {
    throw UsageError("erase-region: ADDR and SIZE must be multiples of " + sectorText(flash));
  }
}

void parseRead(CliOptions& o, const std::vector<std::string>& operands,
               const FlashGeometry& flash) {
  if (operands.size() != 3) throw UsageError("read needs ADDR SIZE FILE");
  o.address = parseFlashNumber(operands[0], "read: ADDR");
  o.size = parseFlashNumber(operands[1], "read: SIZE");
  o.outFile = operands[2];
  checkRegion(o.command, o.address, o.size, flash);
  std::error_code ec;
  const std::filesystem::path out = pathOf(o.outFile);
  const std::filesystem::path dir = out.has_parent_path() ? out.parent_path() : ".";
  if (o.outFile.empty() || !std::filesystem::is_directory(dir, ec)) {
    throw UsageError("read: cannot write " + o.outFile + ": no such folder");
  }
  if (std::filesystem::is_directory(out, ec)) {
    throw UsageError("read: " + o.outFile + " is a folder");
  }
}

void parseMonitor(CliOptions&, const std::vector<std::string>& operands, const FlashGeometry&) {
  if (!operands.empty()) throw UsageError("monitor takes no arguments");
}

JobPlan planUpdate(const CliOptions& o) {
  std::array<std::string, 3> files;
  std::copy(o.files.begin(), o.files.end(), files.begin());
  return updatePlan(files);
}

JobPlan planErase(const CliOptions&) {
  JobPlan plan;
  plan.kind = JobPlan::Kind::kErase;
  return plan;
}

JobPlan planWrite(const CliOptions& o) {
  JobPlan plan;
  plan.images = o.images;
  plan.eraseWholeBlocks = false;
  plan.fastWrites = true;
  return plan;
}

JobPlan planEraseRegion(const CliOptions& o) {
  JobPlan plan;
  plan.kind = JobPlan::Kind::kEraseRegion;
  plan.address = o.address;
  plan.size = o.size;
  plan.fastWrites = true;
  return plan;
}

JobPlan planRead(const CliOptions& o) {
  JobPlan plan;
  plan.kind = JobPlan::Kind::kRead;
  plan.address = o.address;
  plan.size = o.size;
  plan.outFile = o.outFile;
  plan.fastWrites = true;
  return plan;
}

// name, operands, parse, plan, run, confirms, patchHeader, checksUpdateFiles
constexpr CliCommand kCommands[] = {
    {"ports", "", parsePorts, nullptr, listPorts, false, false, false},
    {"update", "BOOT PART APP", parseUpdate, planUpdate, nullptr, false, false, true},
    {"write", "ADDR FILE [ADDR FILE...]", parseWrite, planWrite, nullptr, false, true, false},
    {"erase", "", parseErase, planErase, nullptr, true, false, false},
    {"erase-region", "ADDR SIZE", parseEraseRegion, planEraseRegion, nullptr, true, false, false},
    {"read", "ADDR SIZE FILE", parseRead, planRead, nullptr, false, false, false},
    {"monitor", "", parseMonitor, nullptr, nullptr, false, false, false},
};

}  // namespace

std::span<const CliCommand> cliCommands() {
  return kCommands;
}

bool isSimPort(const std::string& name) {
  if (name == "SIM") return true;
  if (name.rfind("SIM:", 0) != 0 || name.size() == 4) return false;
  const std::string digits = name.substr(4);
  return digits[0] != '0' &&
         std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
         digits.size() <= 6;
}

uint32_t parseSimFlashSize(const std::string& text) {
  if (text == "4M") return 4u << 20;
  if (text == "8M") return 8u << 20;
  if (text == "16M") return 16u << 20;
  throw UsageError("--sim-flash-size must be 4M, 8M or 16M");
}

uint32_t parseFlashNumber(const std::string& text, const std::string& what) {
  std::string digits = text;
  uint64_t scale = 1;
  if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) {
    scale = 1024;
    digits.pop_back();
  } else if (!digits.empty() && digits.back() == 'M') {
    scale = 1024 * 1024;
    digits.pop_back();
  }
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.erase(0, 2);
  }
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
      value * scale > 0xFFFFFFFFull || value > 0xFFFFFFFFull) {
    throw UsageError(what + " must be a number (decimal, 0x hexadecimal, K or M suffix), not \"" +
                     text + "\"");
  }
  return static_cast<uint32_t>(value * scale);
}

CliOptions parseCliArgs(const std::vector<std::string>& args, const ChipDescription& chip) {
  CliOptions o;
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
    auto flag = [&](bool& target) {
      if (inlineValue) throw UsageError(arg + " takes no value");
      target = true;
    };
    if (arg == "--port") {
      o.ports.push_back(value());
    } else if (arg == "--all-ports") {
      flag(o.allPorts);
    } else if (arg == "--ini") {
      o.ini = value();
    } else if (arg == "--log") {
      o.log = value();
    } else if (arg == "--sim-flash") {
      o.simFlash = value();
    } else if (arg == "--sim-flash-size") {
      o.simFlashSize = parseSimFlashSize(value());
    } else if (arg == "--sim-fault") {
      o.simFaults.push_back(parseBoardSimFault(value()));
    } else if (arg == "--realtime") {
      flag(o.realtime);
    } else if (arg == "--rom-only") {
      flag(o.romOnly);
    } else if (arg == "--no-skip") {
      flag(o.noSkip);
    } else if (arg == "--patch-header") {
      flag(o.patchHeader);
    } else if (arg == "--json") {
      flag(o.json);
    } else if (arg == "--baud") {
      o.baud = parseBaud(value());
    } else if (arg == "--yes") {
      flag(o.yes);
    } else if (parseMonitorOption(arg, value, flag, o.monitor)) {
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
  const std::vector<std::string> operands(positional.begin() + 1, positional.end());
  const auto rows = cliCommands();
  const auto row = std::find_if(rows.begin(), rows.end(),
                                [&](const CliCommand& r) { return o.command == r.name; });
  if (row == rows.end()) throw UsageError("unknown command " + o.command);
  o.row = &*row;
  // The flash's own size is known only once connected: until then, the largest the chip addresses.
  FlashGeometry bound = chip.flash;
  bound.size = chip.largestFlash;
  row->parse(o, operands, bound);
  checkMonitorArgs(o);
  if (o.yes && !row->confirms) throw UsageError("--yes goes with erase and erase-region");
  if (o.patchHeader && !row->patchHeader) throw UsageError("--patch-header goes with write");
  if (o.allPorts && !o.ports.empty()) throw UsageError("give --port or --all-ports, not both");
  return o;
}

std::string cliUsage() {
  std::string faults;
  for (std::string_view n : simFaultNames()) {
    if (!faults.empty()) faults += ", ";
    faults += n;
  }
  return "usage: flintmoor-cli [--json] ports\n"
         "       flintmoor-cli [options] update BOOT PART APP\n"
         "       flintmoor-cli [options] write ADDR FILE [ADDR FILE...]\n"
         "       flintmoor-cli [options] erase [--yes]\n"
         "       flintmoor-cli [options] erase-region ADDR SIZE [--yes]\n"
         "       flintmoor-cli [options] read ADDR SIZE FILE\n"
         "       flintmoor-cli [options] monitor\n"
         "\n"
         "update writes BOOT at 0x1000, PART at 0x8000 and APP at 0x10000 of an ESP32's flash;\n"
         "write writes any images at 4 KiB-aligned addresses (checked before anything is sent:\n"
         "alignment, the 4 MB flash, overlaps, missing files); erase erases the whole flash,\n"
         "erase-region SIZE bytes at ADDR (both multiples of 4 KiB); read saves SIZE bytes of\n"
         "flash at ADDR into FILE once the chip's MD5 of the region matched; monitor resets the\n"
         "chip into its program and shows what it prints. Numbers are decimal, or hexadecimal\n"
         "after 0x, with an optional K or M suffix.\n"
         "\n"
         "options:\n"
         "  --port NAME        serial port (default: ComPort of the settings file); SIM is the\n"
         "                     virtual ESP32; usb:VID:PID[:SERIAL] picks the port of that USB\n"
         "                     device. Give it several times to flash several boards at once\n"
         "  --all-ports        every USB serial port found, each a board of its own\n"
         "  --json             one JSON object per line on the output for every event\n"
         "  --ini FILE         settings file (default: the window's Flintmoor.ini, beside\n"
         "                     the program or in the user's configuration folder)\n"
         "  --log FILE         write the debug log to FILE (- for the error stream); with\n"
         "                     several boards FILE.PORT each (lines tagged with the port on -)\n"
         "  --yes              erase without asking (needed for several boards)\n"
         "  --patch-header     write: the copy of the image at 0x1000 gets the bootloader\n"
         "                     header patch of update (DIO mode, 4 MB flash, 40 MHz); the file\n"
         "                     stays as it is\n"
         "  --rom-only         write through the chip's ROM loader, without the flasher stub\n"
         "  --no-skip          through the ROM loader, write every 64 KiB region, also those\n"
         "                     the chip already holds\n"
         "  --baud N           the fast line speed for this run, up to 5000000 where the port\n"
         "                     can set it (default: FastBaud of the settings); when the line\n"
         "                     fails there, the job starts again at the next of 921600,\n"
         "                     460800 and 115200 bit/s below it\n"
         "  --sim-flash FILE   with SIM: load the flash from FILE if it exists, save it there\n"
         "                     (SIM:N uses FILE.N)\n"
         "  --sim-flash-size 4M|8M|16M  with SIM: the virtual chip's flash size (default 4M)\n"
         "  --sim-fault [SIM:N=]NAME[:N]  with SIM: switch on a fault, for every virtual board\n"
         "                     or for one (" +
         faults +
         ")\n"
         "  --realtime         with SIM: run at the pace of real hardware\n" +
         monitorUsage() +
         "\n"
         "exit status: 0 success, 1 the job failed (several boards: any board did not succeed),\n"
         "2 bad usage, 3 no device answered, 4 verify failed, 5 interrupted (Ctrl-C)\n";
}

}  // namespace flintmoor
