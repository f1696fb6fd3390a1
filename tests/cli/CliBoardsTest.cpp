// flintmoor-cli beyond the window's jobs: images at any address, erasing a region, reading flash
// back, ports known by their USB identity, several boards at once, and the JSON lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "base/Error.h"
#include "sim/SimFlash.h"
#include "tests/cli/CliFixture.h"
#include "tests/support/UsbPort.h"

namespace flintmoor::test {
namespace {

// One flat JSON object as the tool writes it: string, number and boolean values. Raises on
// anything else, so a line that is not JSON fails the test that reads it.
using JsonFields = std::map<std::string, std::string>;

JsonFields parseJsonLine(const std::string& line) {
  JsonFields fields;
  size_t i = 0;
  auto fail = [&](const std::string& why) {
    throw std::runtime_error(why + " at " + std::to_string(i) + " in " + line);
  };
  auto skipSpace = [&] {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
  };
  auto expect = [&](char c) {
    skipSpace();
    if (i >= line.size() || line[i] != c) fail(std::string("expected ") + c);
    ++i;
  };
  auto string = [&] {
    expect('"');
    std::string text;
    while (i < line.size() && line[i] != '"') {
      if (line[i] == '\\') {
        ++i;
        if (i >= line.size()) fail("cut escape");
        const char e = line[i];
        if (e == 'n') {
          text += '\n';
        } else if (e == 'u') {
          if (i + 4 >= line.size()) fail("cut \\u");
          text += static_cast<char>(std::stoi(line.substr(i + 1, 4), nullptr, 16));
          i += 4;
        } else if (e == '"' || e == '\\' || e == '/') {
          text += e;
        } else if (e == 'r' || e == 't') {
          text += e == 'r' ? '\r' : '\t';
        } else {
          fail("bad escape");
        }
      } else if (static_cast<unsigned char>(line[i]) < 0x20) {
        fail("control character in a string");
      } else {
        text += line[i];
      }
      ++i;
    }
    if (i >= line.size()) fail("unterminated string");
    ++i;
    return text;
  };
  expect('{');
  skipSpace();
  if (i < line.size() && line[i] == '}') return fields;
  for (;;) {
    const std::string key = string();
    expect(':');
    skipSpace();
    std::string value;
    if (i < line.size() && line[i] == '"') {
      value = string();
    } else {
      const size_t start = i;
      while (i < line.size() && line[i] != ',' && line[i] != '}') ++i;
      value = line.substr(start, i - start);
      const bool number =
          !value.empty() && value.find_first_not_of("-0123456789.") == std::string::npos;
      if (!number && value != "true" && value != "false") fail("bad value " + value);
    }
    if (!fields.emplace(key, value).second) fail("key twice: " + key);
    skipSpace();
    if (i < line.size() && line[i] == ',') {
      ++i;
      continue;
    }
    expect('}');
    skipSpace();
    if (i != line.size()) fail("text after the object");
    return fields;
  }
}

std::vector<JsonFields> parseJsonLines(const std::string& text) {
  std::vector<JsonFields> events;
  for (const std::string& line : linesOf(text)) events.push_back(parseJsonLine(line));
  return events;
}

// A real port that is not there: records the name it was opened under and fails.
class AbsentDevice final : public SerialDevice {
 public:
  explicit AbsentDevice(std::function<void(const std::string&)> onOpen)
      : onOpen_(std::move(onOpen)) {}
  void open(const std::string& name, uint32_t) override {
    onOpen_(name);
    throw EComPort("Unable to open com port", oserr::kErrNoDevice);
  }
  void close() noexcept override {}
  void setBaudRate(uint32_t) override {}
  void setDTR(bool) override {}
  void setRTS(bool) override {}
  void purge() noexcept override {}
  size_t write(const uint8_t*, size_t count) override { return count; }
  int readByte(int) override { return -1; }

 private:
  std::function<void(const std::string&)> onOpen_;
};

class CliBoards : public Cli {
 protected:
  std::vector<uint8_t> flashOf(const std::string& file) const {
    const std::vector<uint8_t> flash = read(file);
    EXPECT_EQ(flash.size(), SimFlash::kSize) << file;
    return flash;
  }
  static bool holds(const std::vector<uint8_t>& flash, uint32_t address,
                    const std::vector<uint8_t>& bytes) {
    return flash.size() >= address + bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), flash.begin() + address);
  }
};

TEST_F(CliBoards, WriteLandsFourImagesAtTheirAddressesWithoutTouchingTheRest) {
  std::vector<uint8_t> merged = pattern(40000, 4);
  merged[0x1000] = 0xE9;  // a bootloader inside a merged image is not patched
  const std::vector<uint8_t> extra = pattern(3000, 5);
  const std::vector<uint8_t> app = pattern(70000, 6);
  const std::vector<uint8_t> data = pattern(4096, 7);
  std::vector<uint8_t> before(SimFlash::kSize, 0x33);
  write("flash.bin", before);
  for (const char* way : {"stub", "rom"}) {
    std::vector<std::string> args = {"--port", "SIM", "--sim-flash", flashFile()};
    if (std::string(way) == "rom") args.push_back("--rom-only");
    args.insert(args.end(),
                {"write", "0x0", write("merged.bin", merged), "0xE000", write("extra.bin", extra),
                 "0x20000", write("app.bin", app), "0x3FF000", write("data.bin", data)});
    ASSERT_EQ(run(args), kExitOk) << way << '\n' << err.str() << out.str();
    EXPECT_EQ(linesOf(out.str()).back(), "OK");
    const std::vector<uint8_t> flash = flashOf(flashFile());
    EXPECT_TRUE(holds(flash, 0x0, merged)) << way;
    EXPECT_TRUE(holds(flash, 0xE000, extra)) << way;
    EXPECT_TRUE(holds(flash, 0x20000, app)) << way;
    EXPECT_TRUE(holds(flash, 0x3FF000, data)) << way;
    EXPECT_EQ(flash[0x10000], 0x33) << way << ": between the images nothing changed";
    EXPECT_EQ(flash[0x3FE000], 0x33) << way;
  }
}

TEST_F(CliBoards, PatchHeaderPatchesOnlyTheImageAt0x1000) {
  std::vector<uint8_t> boot = pattern(20000, 8);
  boot[0] = 0xE9;
  std::vector<uint8_t> other = pattern(5000, 9);
  other[0] = 0xE9;
  ASSERT_EQ(run({"--port", "SIM", "--sim-flash", flashFile(), "--patch-header", "write", "0x1000",
                 write("boot.bin", boot), "0x9000", write("other.bin", other)}),
            kExitOk)
      << err.str();
  const std::vector<uint8_t> flash = flashOf(flashFile());
  EXPECT_EQ(flash[0x1002], 0x02);
  EXPECT_EQ(flash[0x1003], 0x20);
  EXPECT_TRUE(holds(flash, 0x9000, other));
  EXPECT_EQ(read(write("check.bin", boot)), boot) << "the file stays as it was";
}

TEST_F(CliBoards, BadImagesAndRegionsAreRefusedBeforeAnythingIsSent) {
  const std::string a = write("a.bin", pattern(5000, 1));  // ends inside the sector 0x1000
  const std::string b = write("b.bin", pattern(100, 2));
  const std::string empty = write("empty.bin", {});
  const std::string big = write("big.bin", pattern(8192, 3));
  const std::string missing = (dir / "missing.bin").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"write", "0x0", a, "0x1000", b}, "images overlap: " + a + " at 0x0 reaches 0x2000"},
      {{"write", "0x1000", b, "0x0", a}, "images overlap"},
      {{"write", "0x800", b}, "multiple of 4 KiB"},
      {{"write", "0xFFF000", big}, "do not fit the 16 MB flash"},
      {{"write", "0x1000000", b}, "do not fit the 16 MB flash"},
      {{"write", "0x0", missing}, missing + ": file not found"},
      {{"write", "0x0", empty}, "the file is empty"},
      {{"write", "zero", a}, "ADDR must be a number"},
      {{"write", "0x0"}, "pairs of ADDR FILE"},
      {{"erase-region", "0x1000", "0x800", "--yes"}, "multiples of 4 KiB"},
      {{"erase-region", "0xFFF000", "0x2000", "--yes"}, "outside the 16 MB flash"},
      {{"read", "0x0", "0", (dir / "r.bin").string()}, "SIZE must not be 0"},
      {{"read", "0x0", "16", (dir / "no" / "r.bin").string()}, "no such folder"},
      {{"--yes", "write", "0x0", a}, "--yes goes with erase"},
      {{"--patch-header", "read", "0", "16", (dir / "r.bin").string()}, "--patch-header goes"},
  };
  for (const auto& [operands, message] : bad) {
    std::vector<std::string> args = {"--port", "SIM", "--sim-flash", flashFile()};
    args.insert(args.end(), operands.begin(), operands.end());
    EXPECT_EQ(run(args), kExitUsage) << ::testing::PrintToString(operands);
    EXPECT_NE(err.str().find(message), std::string::npos) << message << '\n' << err.str();
    EXPECT_FALSE(std::filesystem::exists(flashFile())) << "the virtual chip was run";
    EXPECT_EQ(out.str(), "");
  }
}

TEST_F(CliBoards, PastTheDetectedFlashSizeTheJobRefusesBeforeWritingOrErasing) {
  // The virtual chip's flash is 4 MB: the command line lets 0x3FF000 + 8 KiB through (a 16 MB
  // board may hold it), the job refuses it once the flash's id has told the size.
  write("flash.bin", std::vector<uint8_t>(SimFlash::kSize, 0x00));
  const std::string big = write("big.bin", pattern(8192, 3));
  const std::string b = write("b.bin", pattern(100, 2));
  const std::vector<std::vector<std::string>> past = {
      {"write", "0x0", b, "0x3FF000", big},
      {"erase-region", "0x3FF000", "0x2000", "--yes"},
  };
  for (const auto& operands : past) {
    std::vector<std::string> args = {"--port", "SIM", "--sim-flash", flashFile()};
    args.insert(args.end(), operands.begin(), operands.end());
    EXPECT_EQ(run(args), kExitJobFailed) << ::testing::PrintToString(operands);
    const std::string said = out.str() + err.str();
    EXPECT_TRUE(said.find("does not fit the 4 MB flash at 0x3FF000") != std::string::npos ||
                said.find("0x3FF000 + 0x2000 lies outside the 4 MB flash") != std::string::npos)
        << said;
    const std::vector<uint8_t> flash = flashOf(flashFile());
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t v) { return v == 0x00; }))
        << "nothing written or erased: " << ::testing::PrintToString(operands);
  }
}

TEST_F(CliBoards, EraseRegionAsksLikeEraseAndErasesItsSectorsOnly) {
  write("flash.bin", std::vector<uint8_t>(SimFlash::kSize, 0x00));
  const std::vector<std::string> args = {"--port",       "SIM", "--sim-flash", flashFile(),
                                         "erase-region", "64K", "0x2000"};
  EXPECT_EQ(run(args, "n\n"), kExitOk);
  EXPECT_NE(err.str().find("ERASE: Erase 8192 bytes at 0x10000? [y/N] "), std::string::npos)
      << err.str();
  EXPECT_EQ(flashOf(flashFile())[0x10000], 0x00);

  std::vector<std::string> yes = args;
  yes.push_back("--yes");
  EXPECT_EQ(run(yes), kExitOk) << err.str();
  const std::vector<uint8_t> flash = flashOf(flashFile());
  EXPECT_TRUE(std::all_of(flash.begin() + 0x10000, flash.begin() + 0x12000,
                          [](uint8_t v) { return v == 0xFF; }));
  EXPECT_EQ(flash[0xFFFF], 0x00);
  EXPECT_EQ(flash[0x12000], 0x00);
}

TEST_F(CliBoards, ReadSavesTheRegionAsTheFlashHoldsIt) {
  std::vector<uint8_t> flash = pattern(SimFlash::kSize, 11);
  write("flash.bin", flash);
  const std::string backup = (dir / "backup.bin").string();
  const std::string logFile = (dir / "debug.log").string();
  ASSERT_EQ(run({"--port", "SIM", "--sim-flash", flashFile(), "--log", logFile, "read", "0x8000",
                 "0x1800", backup}),
            kExitOk)
      << err.str() << out.str();
  EXPECT_EQ(read(backup), std::vector<uint8_t>(flash.begin() + 0x8000, flash.begin() + 0x9800));
  EXPECT_FALSE(std::filesystem::exists(backup + ".part"));
  EXPECT_NE(err.str().find("6144/6144 bytes 100%"), std::string::npos) << err.str();
  // The chip's MD5 of the region was asked for and matched.
  const std::string log = [&] {
    std::ifstream in(logFile);
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }();
  EXPECT_NE(log.find("Read 6144 bytes at 0x8000 into " + backup), std::string::npos);
}

TEST_F(CliBoards, AnInterruptedOrFailedReadLeavesNoFile) {
  write("flash.bin", pattern(SimFlash::kSize, 12));
  const std::string backup = (dir / "backup.bin").string();
  std::atomic<int> asked{0};
  platform.interrupted = [&] { return ++asked > 50; };
  // The stub streams 4 KiB packets, each a point where the read may stop: 64 of them.
  EXPECT_EQ(run({"--port", "SIM", "--sim-flash", flashFile(), "read", "0", "0x40000", backup}),
            kExitInterrupted);
  EXPECT_EQ(linesOf(out.str()).back(), "Interrupted");
  EXPECT_FALSE(std::filesystem::exists(backup));
  EXPECT_FALSE(std::filesystem::exists(backup + ".part"));

  platform.interrupted = nullptr;
  EXPECT_EQ(run({"--port", "SIM", "--sim-fault", "silent", "read", "0", "0x100", backup}),
            kExitNoDevice);
  EXPECT_FALSE(std::filesystem::exists(backup));
}

TEST_F(CliBoards, FourBoardsAtOnceWithOneFaultedGiveThreeOkAndExit1) {
  const auto files = images();
  std::vector<std::string> args;
  for (int n = 1; n <= 4; ++n) args.insert(args.end(), {"--port", "SIM:" + std::to_string(n)});
  args.insert(args.end(), {"--sim-flash", flashFile(), "--sim-fault", "SIM:3=flash-fail:2",
                           "--baud", "115200", "update", files[0], files[1], files[2]});
  EXPECT_EQ(run(args), kExitJobFailed) << err.str();

  const std::vector<std::string> table = linesOf(out.str());
  ASSERT_EQ(table.size(), 5u) << out.str();
  EXPECT_EQ(table[0].rfind("PORT ", 0), 0u);
  for (int n = 1; n <= 4; ++n) {
    const std::string& row = table[static_cast<size_t>(n)];
    EXPECT_EQ(row.rfind("SIM:" + std::to_string(n) + "  02:00:5E:10:20:30  ", 0), 0u) << row;
    if (n == 3) {
      EXPECT_NE(row.find("  failed  "), std::string::npos) << row;
      EXPECT_NE(row.find("Error Flash"), std::string::npos) << row;
    } else {
      EXPECT_NE(row.find("  ok  "), std::string::npos) << row;
      // Each virtual board keeps its own flash file.
      const std::vector<uint8_t> flash = flashOf(flashFile() + "." + std::to_string(n));
      EXPECT_TRUE(holds(flash, 0x10000, read(files[2]))) << n;
    }
  }
  // Plain progress lines (no terminal) name their board.
  EXPECT_NE(err.str().find("SIM:4: MAC 02:00:5E:10:20:30\n"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("SIM:3: failed: Error Flash\n"), std::string::npos) << err.str();
}

TEST_F(CliBoards, EachBoardsLogGoesToItsOwnFileOrIsTagged) {
  const std::string logFile = (dir / "debug.log").string();
  EXPECT_EQ(run({"--port", "SIM:1", "--port", "SIM:2", "--log", logFile, "erase", "--yes"}),
            kExitOk)
      << err.str();
  for (const char* tag : {"SIM-1", "SIM-2"}) {
    std::ifstream in(logFile + "." + tag);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("Virtual chip: running its application"), std::string::npos) << tag;
  }
  EXPECT_EQ(run({"--port", "SIM:1", "--port", "SIM:2", "--log", "-", "erase", "--yes"}), kExitOk);
  EXPECT_NE(err.str().find("[SIM:2] Writing through the flasher stub\n"), std::string::npos);

  EXPECT_EQ(run({"--port", "SIM:1", "--port", "SIM:2", "erase"}), kExitUsage);
  EXPECT_NE(err.str().find("erase on several boards needs --yes"), std::string::npos);
  EXPECT_EQ(run({"--port", "SIM:1", "--port", "SIM:1", "erase", "--yes"}), kExitUsage);
  EXPECT_EQ(run({"--port", "SIM:1", "--sim-fault", "SIM:2=silent", "erase", "--yes"}), kExitUsage);
}

TEST_F(CliBoards, OnATerminalEachBoardHasOneLineRedrawnInPlace) {
  const auto files = images();
  EXPECT_EQ(
      run({"--port", "SIM:1", "--port", "SIM:2", "update", files[0], files[1], files[2]}, "", true),
      kExitOk);
  const std::string text = err.str();
  EXPECT_NE(text.find("\x1b[2A"), std::string::npos) << "the two lines are redrawn";
  EXPECT_NE(text.find("\rSIM:1  02:00:5E:10:20:30  ok\x1b[K\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\rSIM:2  02:00:5E:10:20:30  ok\x1b[K\n"), std::string::npos) << text;

  // A message of two lines keeps to the board's one line.
  EXPECT_EQ(
      run({"--port", "SIM:1", "--port", "SIM:2", "--sim-fault", "SIM:1=silent", "erase", "--yes"},
          "", true),
      kExitJobFailed);
  EXPECT_NE(err.str().find("\rSIM:1  --:--:--:--:--:--  no-device: No Device Found!\x1b[K\n"),
            std::string::npos)
      << err.str();
  // The table, printed once, has room for the whole message.
  EXPECT_NE(out.str().find("No Device Found! Nothing came from the chip"), std::string::npos)
      << out.str();

  // NO_COLOR asks for plain output on a terminal too.
  platform.exeDir = dir.string();
  std::istringstream in;
  out.str("");
  err.str("");
  const CliStreams plain{in, out, err, true, true};
  EXPECT_EQ(runCli({"--port", "SIM:1", "--port", "SIM:2", "erase", "--yes"}, plain, platform),
            kExitOk);
  EXPECT_EQ(err.str().find('\x1b'), std::string::npos) << err.str();
}

TEST_F(CliBoards, TheChipEventCarriesTheFlashSizeReadFromItsId) {
  const std::string out8 = (dir / "r.bin").string();
  ASSERT_EQ(run({"--json", "--port", "SIM", "--sim-flash-size", "8M", "read", "0", "16", out8}),
            kExitOk)
      << err.str();
  const std::vector<JsonFields> events = parseJsonLines(out.str());
  const auto chip = std::find_if(events.begin(), events.end(),
                                 [](const JsonFields& e) { return e.at("event") == "chip"; });
  ASSERT_NE(chip, events.end());
  EXPECT_EQ(chip->at("flash_size"), "8388608");
  EXPECT_EQ(run({"--port", "SIM", "--sim-flash-size", "3M", "read", "0", "16", out8}), kExitUsage);
  EXPECT_NE(err.str().find("4M, 8M or 16M"), std::string::npos) << err.str();
}

TEST_F(CliBoards, JsonLinesCarryEveryEventWithThePortAndNothingElse) {
  const auto files = images();
  auto args = updateArgs(files);
  args.insert(args.begin(), {"--json", "--rom-only"});
  ASSERT_EQ(run(args), kExitOk) << err.str();
  const std::vector<JsonFields> events = parseJsonLines(out.str());
  std::vector<std::string> kinds;
  for (const JsonFields& e : events) {
    EXPECT_EQ(e.at("port"), "SIM");
    kinds.push_back(e.at("event"));
  }
  for (const char* kind : {"connected", "chip", "mac", "image-begin", "image-progress",
                           "image-verify", "image-done", "result"}) {
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end()) << kind;
  }
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "image-done"), 3);
  EXPECT_EQ(kinds.back(), "result");
  EXPECT_EQ(events.back().at("result"), "ok");
  EXPECT_EQ(events.back().at("mac"), "02:00:5E:10:20:30");
  const auto chip = std::find(kinds.begin(), kinds.end(), "chip") - kinds.begin();
  EXPECT_EQ(events[static_cast<size_t>(chip)].at("chip"), "ESP32");

  // Again: every region is there already, and the skip is an event.
  ASSERT_EQ(run(args), kExitOk);
  const std::vector<JsonFields> again = parseJsonLines(out.str());
  const auto skip = std::find_if(again.begin(), again.end(),
                                 [](const JsonFields& e) { return e.at("event") == "image-skip"; });
  ASSERT_NE(skip, again.end());
  EXPECT_EQ(skip->at("skipped"), skip->at("size"));
  // Nothing crossed the line: no progress, and the regions passed over are no events of their own.
  const std::set<std::string> known = {"status",       "connected",   "chip",
                                       "mac",          "image-begin", "image-skip",
                                       "image-verify", "image-done",  "result"};
  for (const JsonFields& e : again) EXPECT_TRUE(known.count(e.at("event"))) << e.at("event");
}

TEST_F(CliBoards, JsonReportsErrorsAndResultsOfEveryBoardAndTheExitCodesSayWhy) {
  const auto files = images();
  ASSERT_EQ(run({"--json", "--port", "SIM:1", "--port", "SIM:2", "--sim-fault", "SIM:2=silent",
                 "update", files[0], files[1], files[2]}),
            kExitJobFailed);
  std::map<std::string, JsonFields> results;
  std::set<std::string> errors;
  for (const JsonFields& e : parseJsonLines(out.str())) {
    if (e.at("event") == "result") results[e.at("port")] = e;
    if (e.at("event") == "error") errors.insert(e.at("port") + ": " + e.at("message"));
  }
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results["SIM:1"].at("result"), "ok");
  EXPECT_EQ(results["SIM:2"].at("result"), "no-device");
  EXPECT_EQ(results["SIM:2"].at("message").rfind("No Device Found!\n", 0), 0u);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors.begin()->rfind("SIM:2: No Device Found!", 0), 0u);

  // A file refused before the job is an error line too.
  EXPECT_EQ(run({"--json", "--port", "SIM", "update", files[0], files[0], files[2]}),
            kExitJobFailed);
  EXPECT_EQ(parseJsonLines(out.str()).front().at("message"), "Partitions: Filesize Error");

  EXPECT_EQ(run({"--json", "--port", "SIM", "--sim-fault", "silent", "erase", "--yes"}),
            kExitNoDevice);
  EXPECT_EQ(parseJsonLines(out.str()).back().at("result"), "no-device");
  auto corrupt = updateArgs(files);
  corrupt.insert(corrupt.begin(), {"--json", "--sim-fault", "flash-corrupt:0"});
  EXPECT_EQ(run(corrupt), kExitVerify);
  EXPECT_EQ(parseJsonLines(out.str()).back().at("result"), "verify-failed");
}

TEST_F(CliBoards, PortsShowTheirUsbIdentityAndUsbChoosesByIt) {
  using flintmoor::testing::usbPort;
  const PortInfo cp210x = usbPort("/dev/ttyUSB1", 0x10C4, 0xEA60, "0001", "Silicon Labs",
                                  "CP2102N USB to UART Bridge Controller");
  const PortInfo ch340 = usbPort("/dev/ttyUSB0", 0x1A86, 0x7523, "", "", "USB Serial");
  PortInfo twin = cp210x;
  twin.name = "/dev/ttyUSB2";
  twin.serial = "0002";
  PortInfo uart;
  uart.name = "/dev/ttyS0";
  platform.osPortInfo = [&] { return std::vector<PortInfo>{cp210x, uart, twin, ch340}; };

  EXPECT_EQ(run({"ports"}), kExitOk);
  EXPECT_EQ(linesOf(out.str()),
            (std::vector<std::string>{
                "/dev/ttyS0",
                "/dev/ttyUSB0  1A86:7523  -  USB Serial",
                "/dev/ttyUSB1  10C4:EA60  0001  Silicon Labs CP2102N USB to UART Bridge Controller",
                "/dev/ttyUSB2  10C4:EA60  0002  Silicon Labs CP2102N USB to UART Bridge Controller",
            }));
  EXPECT_EQ(run({"--json", "ports"}), kExitOk);
  const std::vector<JsonFields> listed = parseJsonLines(out.str());
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0].at("usb"), "false");
  EXPECT_EQ(listed[2].at("vid"), "10C4");
  EXPECT_EQ(listed[2].at("serial"), "0001");

  std::vector<std::string> opened;
  std::mutex openedMutex;  // --all-ports opens from the boards' threads
  platform.osDevice = [&](const std::string&) -> std::unique_ptr<SerialDevice> {
    return std::make_unique<AbsentDevice>([&](const std::string& name) {
      const std::lock_guard<std::mutex> lock(openedMutex);
      opened.push_back(name);
    });
  };
  EXPECT_EQ(run({"--port", "usb:10c4:ea60:0002", "erase", "--yes"}), kExitJobFailed);
  EXPECT_EQ(opened, (std::vector<std::string>{"/dev/ttyUSB2"}));

  EXPECT_EQ(run({"--port", "usb:10C4:EA60", "erase", "--yes"}), kExitUsage);
  EXPECT_NE(err.str().find("several ports match usb:10C4:EA60:\n  /dev/ttyUSB1  10C4:EA60  0001"),
            std::string::npos)
      << err.str();
  EXPECT_EQ(run({"--port", "usb:0403:6001", "erase", "--yes"}), kExitUsage);
  EXPECT_NE(err.str().find("no port matches usb:0403:6001; the USB serial ports:\n  /dev/ttyUSB0"),
            std::string::npos)
      << err.str();
  EXPECT_EQ(run({"--port", "usb:nope", "erase", "--yes"}), kExitUsage);

  // --all-ports: the three USB ports, each a board of its own; the UART is left out.
  opened.clear();
  EXPECT_EQ(run({"--all-ports", "erase", "--yes"}), kExitJobFailed);
  std::sort(opened.begin(), opened.end());
  EXPECT_EQ(opened, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"}));
  platform.osPortInfo = [] { return std::vector<PortInfo>{}; };
  EXPECT_EQ(run({"--all-ports", "erase", "--yes"}), kExitNoDevice);
}

}  // namespace
}  // namespace flintmoor::test
