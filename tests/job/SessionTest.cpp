// The session with one chip: the loader it chooses for what the job needs, and its end after a
// failure, against the virtual ESP32.
#include <string>
#include <vector>

#include "esp/StubResource.h"
#include "job/Operations.h"
#include "job/Session.h"
#include "tests/job/JobHarness.h"

namespace flintmoor::test {
namespace {

class RecordingReport : public SessionReport {
 public:
  void sessionStatus(const std::string& text) override { statuses.push_back(text); }
  void sessionEvent(const JobEvent& event) override { events.push_back(event.kind); }
  void sessionMac(const std::string& text) override { mac = text; }

  std::vector<std::string> statuses;
  std::vector<JobEvent::Kind> events;
  std::string mac;
};

// What an operation reported, and a stop asked for at the n-th check.
class RecordingOperationReport : public OperationReport {
 public:
  void status(const std::string& text) override { statuses.push_back(text); }
  void event(const JobEvent& event) override { events.push_back(event.kind); }
  void idle() override {}
  void checkStop() override {
    if (++checks == stopAtCheck) throw Interrupted();
  }

  std::vector<std::string> statuses;
  std::vector<JobEvent::Kind> events;
  int checks = 0;
  int stopAtCheck = 0;
};

class SessionTest : public JobHarness {
 protected:
  bool logStartsALine(const std::string& start) const {
    for (const std::string& line : log.lines()) {
      if (line.rfind(start, 0) == 0) return true;
    }
    return false;
  }

  // Opens a session on the virtual chip at the connect speed and returns its loader's name.
  std::string loaderFor(SessionOptions options) {
    options.port = VirtualEsp32::kPortName;
    options.fastBaud = config.ConnBaud;
    session.open(options, report);
    const std::string name = session.loader().name();
    session.close();
    return name;
  }

  Session session{com, esp, comEsp, log};
  RecordingReport report;
};

TEST_F(SessionTest, ChoosesTheStubUnlessTheJobNeedsWhatOnlyTheRomLoaderDoes) {
  SessionOptions plain;
  plain.virtualChip = true;
  EXPECT_EQ(loaderFor(plain), "flasher stub");
  EXPECT_EQ(report.mac, "02:00:5E:10:20:30");
  EXPECT_EQ(session.cpu(), cESP32);
  EXPECT_EQ(report.events,
            (std::vector<JobEvent::Kind>{JobEvent::Kind::kConnected, JobEvent::Kind::kChip}));

  SessionOptions region = plain;
  region.needs.regionErase = true;
  EXPECT_EQ(loaderFor(region), "ROM loader");
  SessionOptions read = plain;
  read.needs.read = true;
  EXPECT_EQ(loaderFor(read), "ROM loader");
  SessionOptions romOnly = plain;
  romOnly.romOnly = true;
  EXPECT_EQ(loaderFor(romOnly), "ROM loader");
  SessionOptions realPort = plain;
  realPort.virtualChip = false;
  EXPECT_EQ(loaderFor(realPort), stubIsPlaceholder() ? "ROM loader" : "flasher stub");
}

TEST_F(SessionTest, AFailedEndIsLoggedNotSwallowed) {
  SessionOptions options;
  options.port = VirtualEsp32::kPortName;
  options.fastBaud = config.ConnBaud;
  options.virtualChip = true;
  session.open(options, report);
  chip.unplug();
  session.closeAfterFailure();
  EXPECT_TRUE(logStartsALine("Reset after the failure: ")) << "the reset's own failure is kept";
  EXPECT_FALSE(com.cPort.Connected());
}

}  // namespace
}  // namespace flintmoor::test

namespace flintmoor::test {
namespace {

// The operations need only a session and a reporter: no flash job, no view.
TEST_F(SessionTest, OperationsRunInsideASessionWithAReporterOfTheirOwn) {
  SessionOptions options;
  options.port = VirtualEsp32::kPortName;
  options.fastBaud = config.ConnBaud;
  options.virtualChip = true;
  options.fastCommands = true;
  session.open(options, report);
  ASSERT_STREQ(session.loader().name(), "flasher stub");

  const std::vector<uint8_t> image = patternBytes(0x12345, 7);
  RecordingOperationReport ops;
  writeImage(session, ops, ImageToWrite{writeFile("op.bin", image), 0x20000, false},
             WriteOptions{});
  EXPECT_EQ(flashAt(0x20000, image.size()), image);
  ASSERT_GE(ops.events.size(), 4u);
  EXPECT_EQ(ops.events.front(), JobEvent::Kind::kImageBegin);
  EXPECT_EQ(ops.events[ops.events.size() - 2], JobEvent::Kind::kImageVerify);
  EXPECT_EQ(ops.events.back(), JobEvent::Kind::kImageDone);
  EXPECT_EQ(ops.statuses.back(), "OK");

  const std::string readBack = (dir / "back.bin").string();
  readFlashToFile(session, ops, 0x20000, 0x3000, readBack);
  EXPECT_EQ(readFile(readBack), std::vector<uint8_t>(image.begin(), image.begin() + 0x3000));

  eraseFlashRegion(session, ops, 0x21000, 0x1000);
  EXPECT_EQ(flashAt(0x21000, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
  EXPECT_EQ(flashAt(0x20000, 0x1000), std::vector<uint8_t>(image.begin(), image.begin() + 0x1000));

  // Outside the flash: refused before anything is sent.
  const size_t sent = chip.commands().size();
  EXPECT_THROW(eraseFlashRegion(session, ops, 0x3FF000, 0x2000), Exception);
  EXPECT_EQ(chip.commands().size(), sent);

  // A stop asked for mid-read ends the read with Interrupted and leaves no file.
  const std::string stopped = (dir / "stopped.bin").string();
  ops.stopAtCheck = ops.checks + 3;
  EXPECT_THROW(readFlashToFile(session, ops, 0x20000, 0x10000, stopped), Interrupted);
  EXPECT_FALSE(std::filesystem::exists(stopped));
  session.closeAfterFailure();
}

}  // namespace
}  // namespace flintmoor::test
