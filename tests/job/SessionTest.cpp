// The session with one chip: the loader it chooses for what the job needs, and its end after a
// failure, against the virtual ESP32.
#include <string>
#include <vector>

#include "esp/StubResource.h"
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
