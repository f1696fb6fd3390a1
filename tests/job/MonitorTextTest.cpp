// The monitor's text handling: bytes into lines and terminal text, crash addresses, addr2line's
// answers, the keys, the port to reopen, and the terminal's line discipline for timestamps and
// decoded lines.
#include <gtest/gtest.h>

#include <sstream>

#include "job/Monitor.h"

namespace flintmoor {
namespace {

using namespace std::string_view_literals;

struct Fed {
  std::string show;
  std::vector<std::string> lines;
};

Fed feedAll(MonitorText& t, std::initializer_list<std::string_view> chunks) {
  Fed f;
  for (std::string_view c : chunks) t.feed(c, f.show, f.lines);
  return f;
}

TEST(MonitorText, LinesEndAtLfWithCrDroppedAndSurviveAnySplit) {
  const std::string text = "ets Jun  8\r\ntick 0\r\n\r\nhalf";
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    MonitorText t(false);
    const Fed f =
        feedAll(t, {std::string_view(text).substr(0, cut), std::string_view(text).substr(cut)});
    EXPECT_EQ(f.lines, (std::vector<std::string>{"ets Jun  8", "tick 0", ""})) << cut;
    EXPECT_EQ(f.show, "ets Jun  8\ntick 0\n\nhalf") << cut;
    EXPECT_TRUE(t.midLine());
    EXPECT_EQ(t.finish(), std::optional<std::string>("half"));
    EXPECT_FALSE(t.finish().has_value()) << "the rest is given once";
  }
}

TEST(MonitorText, Utf8PassesWholeEvenSplitWhileBrokenBytesAndControlsAreEscaped) {
  MonitorText t(false);
  // "é" and "€" split across chunks; a lone continuation byte, a lead byte cut by an ASCII byte,
  // a byte that never starts UTF-8; BEL, NUL and DEL; a tab passes.
  const Fed f =
      feedAll(t, {"caf\xC3", "\xA9 \xE2\x82", "\xAC|\x80|\xC3x|\xFF|\x07\x00\x7F|\t\n"sv});
  ASSERT_EQ(f.lines.size(), 1u);
  EXPECT_EQ(f.lines[0], "caf\xC3\xA9 \xE2\x82\xAC|\\x80|\\xC3x|\\xFF|\\x07\\x00\\x7F|\t");
  EXPECT_EQ(f.show, f.lines[0] + "\n");
}

TEST(MonitorText, ColoursReachOnlyATerminalThatShowsThemOtherSequencesNever) {
  const std::string in =
      "\x1b[0;32mI (31) boot: ok\x1b[0m\x1b[2K\x1b"
      "7x\r\n";
  for (bool colours : {false, true}) {
    MonitorText t(colours);
    Fed f;
    for (char c : in) t.feed(std::string_view(&c, 1), f.show, f.lines);  // byte by byte
    ASSERT_EQ(f.lines, std::vector<std::string>{"I (31) boot: okx"}) << colours;
    EXPECT_EQ(f.show, colours ? "\x1b[0;32mI (31) boot: ok\x1b[0mx\n" : "I (31) boot: okx\n");
  }
  // An escape byte that starts no sequence is shown escaped; a broken sequence is dropped, the
  // byte that broke it kept.
  MonitorText t(true);
  const Fed f = feedAll(t, {"a\x1b\x01"
                            "b\x1b[1\x05"
                            "c\n"});
  EXPECT_EQ(f.lines, std::vector<std::string>{"a\\x1B\\x01b\\x05c"});
}

TEST(MonitorText, AnEndlessLineIsCutSoNothingGrowsWithoutBound) {
  MonitorText t(false);
  Fed f;
  const std::string chunk(1000, 'a');
  for (int i = 0; i < 10; ++i) t.feed(chunk, f.show, f.lines);
  ASSERT_EQ(f.lines.size(), 2u);
  EXPECT_EQ(f.lines[0].size(), MonitorText::kMaxLine);
  EXPECT_EQ(t.finish()->size(), 10000 - 2 * MonitorText::kMaxLine);
}

TEST(CrashAddresses, BacktraceAndRegisterDumpGiveTheirCodeAddresses) {
  EXPECT_EQ(crashAddresses("Backtrace: 0x400d1234:0x3ffb1f00 0x400D1334:0x3ffb1f20 "
                           "0x400d1434:0x3ffb1f40"),
            (std::vector<uint32_t>{0x400d1234, 0x400d1334, 0x400d1434}));
  EXPECT_EQ(crashAddresses("Backtrace:0x40081234:0x3ffb1f00 0x00000000:0x00000000 "
                           "0x400d1434:0x3ffb1f40 |<-CORRUPTED"),
            (std::vector<uint32_t>{0x40081234, 0x400d1434}));
  EXPECT_EQ(crashAddresses("Backtrace: 0x400d1234:0x3ffb1f00 0x400d13|<-CORRUPTED 0x400d1434:0x1"),
            (std::vector<uint32_t>{0x400d1234}));
  EXPECT_EQ(crashAddresses("PC      : 0x400d1234  PS      : 0x00060330  A0      : 0x800d1334"),
            (std::vector<uint32_t>{0x400d1234}));
  EXPECT_EQ(crashAddresses("EXCVADDR: 0x00000010  LBEG    : 0x400014fd  LEND    : 0x4000150d"),
            (std::vector<uint32_t>{0x00000010}));
  EXPECT_EQ(crashAddresses("EXCVADDR: 0x00000000  LBEG    : 0x400014fd"), std::vector<uint32_t>{});
  for (const char* plain : {"tick 3", "EPC1    : 0x400d1234", "PCNT: 0x1", "PC : 0xzz",
                            "Backtrace: none", "entry 0x40080404"}) {
    EXPECT_TRUE(crashAddresses(plain).empty()) << plain;
  }
}

TEST(Addr2line, ParsesFunctionFileAndLinePerAddress) {
  const auto d = parseAddr2line(
      "0x400d1234\ncrash_here\n/src/main/crash.c:12\n"
      "0x400d1334\nns::call_crash(int)\nC:/src/main/crash.cpp:7 (discriminator 2)\r\n"
      "0x00000010\n??\n??:0\n"
      "0x400d1434\ntruncated\n");
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[0].address, 0x400d1234u);
  EXPECT_EQ(d[0].function, "crash_here");
  EXPECT_EQ(d[0].file, "/src/main/crash.c");
  EXPECT_EQ(d[0].line, 12);
  EXPECT_EQ(d[1].function, "ns::call_crash(int)");
  EXPECT_EQ(d[1].file, "C:/src/main/crash.cpp");
  EXPECT_EQ(d[1].line, 7);
  EXPECT_FALSE(d[2].known());
  EXPECT_EQ(decodedText(d[0]), "  0x400d1234: crash_here at /src/main/crash.c:12");
  EXPECT_EQ(decodedText(d[2]), "  0x00000010: ??");
}

TEST(MonitorKeys, EnterSendsTheEndOfLineAndCtrlTCommandsActInOrder) {
  MonitorKeys keys;
  auto steps = keys.feed("ab\rc\r");
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].bytes, "ab\r\nc\r\n");
  // CR LF from a terminal that sends both is one Enter, even split over two reads.
  EXPECT_EQ(keys.feed("\n").size(), 0u);
  EXPECT_EQ(keys.feed("\n")[0].bytes, "\r\n");

  MonitorKeys lf("\n");
  steps = lf.feed("x\x14rY\x14H\x14\x14\x14q\x1dnot sent");
  ASSERT_EQ(steps.size(), 6u);
  EXPECT_EQ(steps[0].bytes, "x");
  EXPECT_EQ(steps[1].action, MonitorAction::kReset);
  EXPECT_EQ(steps[2].bytes, "Y");
  EXPECT_EQ(steps[3].action, MonitorAction::kHelp);
  EXPECT_EQ(steps[4].action, MonitorAction::kSend);
  EXPECT_EQ(steps[4].bytes, "\x14");  // Ctrl-T twice sends it; Ctrl-T q is nothing
  EXPECT_EQ(steps[5].action, MonitorAction::kQuit) << "and nothing after it is sent";
  steps = lf.feed("\x1d");
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].action, MonitorAction::kQuit);
  // Ctrl-T split from its command still pairs with it.
  MonitorKeys split;
  EXPECT_TRUE(split.feed("\x14").empty());
  EXPECT_EQ(split.feed("r")[0].action, MonitorAction::kReset);
  EXPECT_EQ(split.feed("\x03")[0].action, MonitorAction::kQuit);

  EXPECT_EQ(parseEol("crlf"), std::optional<std::string>("\r\n"));
  EXPECT_EQ(parseEol("CR"), std::optional<std::string>("\r"));
  EXPECT_EQ(parseEol("Lf"), std::optional<std::string>("\n"));
  EXPECT_FALSE(parseEol("\\n").has_value());
}

TEST(ReconnectPort, FollowsTheUsbIdentityToWhateverNameItNowHas) {
  PortInfo lost;
  lost.name = "/dev/ttyACM0";
  lost.usb = true;
  lost.vid = 0x303A;
  lost.pid = 0x1001;
  lost.serial = "AA:BB";
  PortInfo other = lost;
  other.name = "/dev/ttyACM0";
  other.serial = "CC:DD";
  PortInfo back = lost;
  back.name = "/dev/ttyACM1";
  EXPECT_EQ(reconnectPort(lost, {}), "");
  EXPECT_EQ(reconnectPort(lost, {other}), "") << "another board of the same kind is not ours";
  EXPECT_EQ(reconnectPort(lost, {other, back}), "/dev/ttyACM1");
  // Without a serial number only the same name is the same board.
  lost.serial.clear();
  back.serial.clear();
  EXPECT_EQ(reconnectPort(lost, {back}), "");
  back.name = lost.name;
  EXPECT_EQ(reconnectPort(lost, {back}), "/dev/ttyACM0");
  // A port without USB identity (the virtual board, a fixed UART) is tried under its name.
  PortInfo sim;
  sim.name = "SIM";
  EXPECT_EQ(reconnectPort(sim, {}), "SIM");
}

TEST(MonitorTextSink, TimestampsStartLinesAndOwnLinesWaitForTheBoardsLineToEnd) {
  std::ostringstream out;
  int n = 0;
  MonitorTextSink sink(out, [&n] { return "T" + std::to_string(++n); });
  sink.shown("tick 0\nBack");
  sink.decoded({0x400d1234, "f", "a.c", 3});  // the board's line is unfinished: held
  sink.shown("trace\n\n");
  sink.shown("par");
  sink.event("disconnected", "Disconnected");  // at once, on a line of its own
  EXPECT_EQ(out.str(),
            "T1 tick 0\nT2 Backtrace\n  0x400d1234: f at a.c:3\nT3 \nT4 par\nDisconnected\n");
}

}  // namespace
}  // namespace flintmoor
