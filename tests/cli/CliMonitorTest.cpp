// flintmoor-cli's serial monitor run in-process on the virtual ESP32 in virtual time: the keys come
// from a script that types when the output shows a given text, so every run ends by itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "base/Error.h"
#include "cli/MonitorCli.h"
#include "cli/MonitorConsole.h"
#include "tests/cli/CliFixture.h"

namespace flintmoor::test {
namespace {

// Types `keys` once the output holds `after` (past what the previous step matched).
struct KeyStep {
  std::string after;
  std::string keys;
};

class ScriptedKeyboard : public MonitorKeyboard {
 public:
  ScriptedKeyboard(const std::ostringstream& out, std::vector<KeyStep> script, bool& open)
      : out_(out), script_(std::move(script)), open_(open) {
    open_ = true;
  }
  ~ScriptedKeyboard() override { open_ = false; }

  std::string poll() override {
    // A monitor that never shows what the script waits for still ends (and the test fails).
    if (++polls_ > kMaxPolls) {
      ADD_FAILURE() << "the script waited in vain for \"" << script_[next_].after << "\"";
      return "\x1d";
    }
    if (next_ >= script_.size()) return {};
    const std::string text = out_.str();
    const size_t at = text.find(script_[next_].after, from_);
    if (at == std::string::npos) return {};
    from_ = at + script_[next_].after.size();
    return script_[next_++].keys;
  }

 private:
  static constexpr int kMaxPolls = 20000;  // about 1000 s of virtual time when idle
  const std::ostringstream& out_;
  std::vector<KeyStep> script_;
  bool& open_;
  size_t next_ = 0;
  size_t from_ = 0;
  int polls_ = 0;
};

class CliMonitor : public Cli {
 protected:
  CliMonitor() {
    platform.openKeyboard = [this]() -> std::unique_ptr<MonitorKeyboard> {
      return std::make_unique<ScriptedKeyboard>(out, script, keyboardOpen);
    };
    platform.timeOfDay = [] { return std::string("12:34:56.789"); };
  }

  // A flash file holding the three images, so that the chip boots a program.
  void flashImages() {
    const auto files = images();
    ASSERT_EQ(run(updateArgs(files)), kExitOk) << out.str() << err.str();
  }
  std::vector<std::string> monitorArgs(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {"--port", "SIM", "--sim-flash", flashFile()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("monitor");
    return args;
  }
  // The output's lines from the first that starts with `from`.
  std::vector<std::string> linesFrom(const std::string& from) const {
    const std::vector<std::string> all = linesOf(out.str());
    const auto it = std::find_if(all.begin(), all.end(),
                                 [&](const std::string& l) { return l.rfind(from, 0) == 0; });
    return {it, all.end()};
  }
  size_t count(const std::string& text) const {
    const std::string s = out.str();
    size_t n = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++n;
    return n;
  }

  std::vector<KeyStep> script;
  bool keyboardOpen = false;
};

TEST_F(CliMonitor, ResetsTheChipAndShowsItsBootTextAndTicksUntilCtrlRightBracket) {
  flashImages();
  script = {{"tick 3\n", "\x1d"}};
  ASSERT_EQ(run(monitorArgs()), kExitOk) << out.str() << err.str();
  EXPECT_FALSE(keyboardOpen) << "raw mode ends with the monitor";
  const std::vector<std::string> lines =
      linesFrom("rst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)");
  ASSERT_FALSE(lines.empty()) << "the reset's boot text: " << out.str();
  const auto tick0 = std::find(lines.begin(), lines.end(), "tick 0");
  ASSERT_NE(tick0, lines.end());
  ASSERT_GE(lines.end() - tick0, 4);
  EXPECT_EQ(std::vector<std::string>(tick0, tick0 + 4),
            (std::vector<std::string>{"tick 0", "tick 1", "tick 2", "tick 3"}));

  // Without the reset the program goes on where it is: ticks, but no boot text.
  script = {{"tick 2\n", "\x03"}};
  ASSERT_EQ(run(monitorArgs({"--no-reset"})), kExitOk) << "Ctrl-C quits with 0";
  EXPECT_EQ(count("rst:0x1"), 0u) << out.str();
  EXPECT_GE(count("tick "), 1u);
}

TEST_F(CliMonitor, UpdateWithMonitorShowsTheProgramsFirstLinesAfterTheJobsOk) {
  const auto files = images();
  script = {{"tick 1\n", "\x1d"}};
  std::vector<std::string> args = updateArgs(files);
  args.insert(args.begin(), "--monitor");
  ASSERT_EQ(run(args), kExitOk) << out.str() << err.str();
  const std::vector<std::string> lines = linesFrom("OK");
  ASSERT_GE(lines.size(), 3u) << out.str();
  // Nothing lost between the job's reset and the monitor: the ROM's first line onwards.
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "ets Jun  8 2016 00:22:57");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "tick 0"), lines.end());
}

TEST_F(CliMonitor, KeysReachTheChipWithEnterAsTheChosenEndOfLine) {
  flashImages();
  script = {{"tick 1\n", "hello\r"}, {"tick 3\n", "\x14R"}, {"tick 1\n", "\x1d"}};
  ASSERT_EQ(run(monitorArgs()), kExitOk) << out.str();
  const std::vector<std::string> lines = linesOf(out.str());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "hello"), lines.end())
      << "the echo of hello CR LF: " << out.str();
  EXPECT_EQ(count("rst:0x1 (POWERON_RESET)"), 2u) << "Ctrl-T R reset the chip once more";

  // With CR alone the echo ends no line: the next tick follows on the same one.
  script = {{"tick 1\n", "x\r"}, {"tick 3\n", "\x1d"}};
  ASSERT_EQ(run(monitorArgs({"--eol", "CR"})), kExitOk);
  EXPECT_EQ(count("xtick 2\n"), 1u) << out.str();
}

TEST_F(CliMonitor, HelpListsTheKeysAndASignalQuitsWithZero) {
  flashImages();
  script = {{"tick 0\n", "\x14h"}};
  int polls = 0;
  platform.interrupted = [&polls] { return ++polls > 200; };
  ASSERT_EQ(run(monitorArgs()), kExitOk);
  EXPECT_EQ(count("Ctrl-T R resets the chip"), 1u) << out.str();
}

TEST_F(CliMonitor, TimestampsStandInFrontOfEveryLine) {
  flashImages();
  script = {{"tick 1\n", "\x1d"}};
  ASSERT_EQ(run(monitorArgs({"--timestamps"})), kExitOk);
  const std::vector<std::string> lines = linesFrom("12:34:56.789 tick 0");
  ASSERT_GE(lines.size(), 2u) << out.str();
  EXPECT_EQ(lines[1], "12:34:56.789 tick 1");
  for (const std::string& l : linesOf(out.str())) EXPECT_EQ(l.rfind("12:34:56.789 ", 0), 0u) << l;
}

TEST_F(CliMonitor, UnplugAndReplugShowDisconnectedAndReconnectedAndTheMonitorGoesOn) {
  flashImages();
  script = {{"Reconnected\n", ""}, {"tick 2\n", "\x1d"}};
  ASSERT_EQ(run(monitorArgs({"--sim-fault", "replug:2"})), kExitOk) << out.str() << err.str();
  const std::vector<std::string> lines = linesFrom("Disconnected");
  ASSERT_FALSE(lines.empty()) << out.str();
  const auto back = std::find(lines.begin(), lines.end(), "Reconnected");
  ASSERT_NE(back, lines.end());
  EXPECT_NE(std::find(back, lines.end(), "tick 2"), lines.end());
  EXPECT_EQ(count("Disconnected"), 1u);
}

TEST_F(CliMonitor, JsonGivesOneObjectPerLineWithTheBoardsLinesAndEvents) {
  flashImages();
  script = {{"Reconnected", ""}, {"\"tick 1\"", "\x1d"}};
  ASSERT_EQ(run(monitorArgs({"--json", "--sim-fault", "replug:1"})), kExitOk) << err.str();
  const std::vector<std::string> lines = linesOf(out.str());
  ASSERT_FALSE(lines.empty());
  for (const std::string& l : lines) {
    EXPECT_EQ(l.front(), '{') << l;
    EXPECT_EQ(l.back(), '}') << l;
    EXPECT_EQ(l.rfind("{\"port\":\"SIM\",\"event\":\"", 0), 0u) << l;
  }
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      R"({"port":"SIM","event":"line","text":"tick 0","time":"12:34:56.789"})"),
            lines.end());
  EXPECT_NE(
      std::find(
          lines.begin(), lines.end(),
          R"({"port":"SIM","event":"disconnected","message":"Disconnected","time":"12:34:56.789"})"),
      lines.end());
}

TEST_F(CliMonitor, MonitorOptionsAreRefusedWhereTheyMeanNothing) {
  const auto files = images();
  const std::string elf = write("app.elf", {0x7F, 'E', 'L', 'F'});
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "SIM", "--elf", elf, "update", files[0], files[1], files[2]},
      {"--port", "SIM", "--monitor", "read", "0", "4096", (dir / "r.bin").string()},
      {"--port", "SIM", "--eol", "CRCR", "monitor"},
      {"--port", "SIM", "--monitor-baud", "12x", "monitor"},
      {"--port", "SIM", "--port", "SIM:2", "monitor"},
      {"--port", "SIM", "--no-reset", "--monitor", "erase", "--yes"},
      {"--port", "SIM", "--elf", (dir / "missing.elf").string(), "monitor"},
      {"--port", "SIM", "monitor", "extra"},
  };
  for (const auto& args : bad) {
    EXPECT_EQ(run(args), kExitUsage) << args[2];
    EXPECT_EQ(out.str(), "") << args[2];
  }
}

TEST_F(CliMonitor, APortThatCannotBeOpenedEndsTheMonitorWith1) {
  struct Refusing : SerialDevice {
    void open(const std::string&, uint32_t) override {
      throw EComPort("Unable to open com port", oserr::kErrNoDevice);
    }
    void close() noexcept override {}
    void setBaudRate(uint32_t) override {}
    void setDTR(bool) override {}
    void setRTS(bool) override {}
    void purge() noexcept override {}
    size_t write(const uint8_t*, size_t) override { return 0; }
    int readByte(int) override { return -1; }
  };
  platform.osDevice = [](const std::string&) { return std::make_unique<Refusing>(); };
  EXPECT_EQ(run({"--port", "/dev/ttyNONE", "monitor"}), kExitJobFailed);
  EXPECT_NE(out.str().find("Unable to open com port"), std::string::npos) << out.str();
  EXPECT_FALSE(keyboardOpen);
}

#ifndef _WIN32
// The crash: a real Xtensa ELF whose three functions lie where the virtual chip's backtrace points.
class CliMonitorElf : public CliMonitor {
 protected:
  void SetUp() override {
    gcc = findOnPath("xtensa-lx106-elf-gcc");
    addr2line = findOnPath(kAddr2lineName);
    if (gcc.empty() || addr2line.empty()) {
      GTEST_SKIP() << "xtensa-lx106-elf-gcc or " << kAddr2lineName
                   << " not on the PATH (Debian: gcc-xtensa-lx106, binutils-xtensa-lx106)";
    }
    const std::string source =
        "volatile int *target;\n"        // 1
        "int crash_here(int n) {\n"      // 2
        "  *target = n;\n"               // 3
        "  return n + 1;\n"              // 4
        "}\n"                            // 5
        "int call_crash(int n) {\n"      // 6
        "  return crash_here(n) + 1;\n"  // 7
        "}\n"                            // 8
        "void app_main(void) {\n"        // 9
        "  call_crash(3);\n"             // 10
        "  for (;;) {\n"
        "  }\n"
        "}\n";
    // Each function 0x30 bytes into a section of its own, after its literals: the backtrace's
    // PCs (0x400d1234, 0x400d1334, 0x400d1434) fall inside them.
    const std::string script =
        "ENTRY(app_main)\nSECTIONS {\n"
        "  .a 0x400d1200 : { *(.literal.crash_here) . = 0x30; *(.text.crash_here) }\n"
        "  .b 0x400d1300 : { *(.literal.call_crash) . = 0x30; *(.text.call_crash) }\n"
        "  .c 0x400d1400 : { *(.literal.app_main) . = 0x30; *(.text.app_main) }\n"
        "  .bss 0x3ffb0000 : { *(.bss) *(COMMON) }\n}\n";
    sourcePath = write("crash.c", {source.begin(), source.end()});
    const std::string ld = write("crash.ld", {script.begin(), script.end()});
    elf = (dir / "crash.elf").string();
    ASSERT_TRUE(runToolOutput({gcc, "-g", "-O0", "-nostdlib", "-ffunction-sections", "-T", ld, "-o",
                               elf, sourcePath})
                    .has_value());
    platform.runTool = runToolOutput;
    platform.findTool = findOnPath;
  }
  std::string gcc, addr2line, sourcePath, elf;
};

TEST_F(CliMonitorElf, PanicBacktraceIsDecodedIntoFunctionsFilesAndLines) {
  flashImages();
  script = {{"Rebooting...\n", "\x1d"}};
  ASSERT_EQ(run(monitorArgs({"--sim-fault", "panic:1", "--elf", elf})), kExitOk) << err.str();
  // From the crash on: decoding runs beside the reading, so the PC's decoded line may come before
  // or after the backtrace line, whichever addr2line answers first.
  const std::vector<std::string> lines = linesFrom("Core  0 panic'ed");
  ASSERT_FALSE(lines.empty()) << out.str();
  // Each address of the backtrace decoded; crash_here twice, as the register dump's PC too.
  const std::pair<std::string, long> expected[] = {
      {"  0x400d1234: crash_here at " + sourcePath + ":2", 2},
      {"  0x400d1334: call_crash at " + sourcePath + ":6", 1},
      {"  0x400d1434: app_main at " + sourcePath + ":9", 1},
      {"  0x00000010: ??", 1}};  // EXCVADDR, no code address
  for (const auto& [text, times] : expected) {
    EXPECT_EQ(std::count(lines.begin(), lines.end(), text), times) << text << "\n" << out.str();
  }

  script = {{"Rebooting...", "\x1d"}};
  ASSERT_EQ(run(monitorArgs({"--sim-fault", "panic:1", "--elf", elf, "--json"})), kExitOk);
  EXPECT_EQ(
      count(
          R"({"port":"SIM","event":"backtrace","pc":"0x400d1334","function":"call_crash","file":")" +
          sourcePath + R"(","line":6})"),
      1u)
      << out.str();
}

TEST_F(CliMonitorElf, AMissingAddr2lineIsSaidOnceAndTheBacktraceStillShows) {
  flashImages();
  script = {{"Rebooting...\n", ""}, {"Rebooting...\n", "\x1d"}};
  ASSERT_EQ(run(monitorArgs({"--sim-fault", "panic:1", "--elf", elf, "--addr2line",
                             (dir / "no-such-addr2line").string()})),
            kExitOk);
  EXPECT_EQ(count("Backtraces are not decoded"), 1u) << out.str();
  EXPECT_EQ(count("Backtrace: 0x400d1234"), 2u);
  EXPECT_EQ(count(": crash_here"), 0u);
}
#endif

}  // namespace
}  // namespace flintmoor::test
