// The port object and the serial link module against a scripted line on the virtual clock: the
// closed-port guard, open/close and their callbacks, the name and speed rules, the byte reads, the
// bounded drain, the raw text write, the reset into the application and the port list.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Error.h"
#include "comio/uComIo.h"

using namespace flintmoor;
using Events = std::vector<std::string>;

namespace {

// The far end of the line and the record of what the port did to it, each event stamped with the
// virtual time in ms. Bytes arrive at given instants, or endlessly one per `streamPeriodUs`.
struct Line {
  explicit Line(VirtualClock& c) : clock(c) {}

  VirtualClock& clock;
  Events events;
  std::deque<std::pair<int64_t, uint8_t>> arrivals;  // (instant in us, byte)
  int64_t streamPeriodUs = -1;                       // >= 0: a byte every period, for ever
  int64_t lastStreamUs = 0;
  size_t bytesRead = 0;
  bool failOpen = false;
  int factoryCalls = 0;

  void note(const std::string& what) {
    events.push_back(std::to_string(clock.nowUs() / 1000) + " " + what);
  }
  void arriveIn(int64_t delayUs, uint8_t byte) {
    arrivals.emplace_back(clock.nowUs() + delayUs, byte);
  }
};

class ScriptedDevice : public SerialDevice {
 public:
  explicit ScriptedDevice(Line& line) : line_(line) {}
  ~ScriptedDevice() override { line_.note("destroyed"); }

  void open(const std::string& name, uint32_t baud) override {
    line_.note("open " + name + " " + std::to_string(baud));
    if (line_.failOpen) throw EComPort("Unable to open com port", oserr::kErrBusy);
  }
  void close() noexcept override { line_.note("close"); }
  void setBaudRate(uint32_t baud) override { line_.note("baud " + std::to_string(baud)); }
  void setDTR(bool on) override { line_.note(std::string("dtr ") + (on ? "1" : "0")); }
  void setRTS(bool on) override { line_.note(std::string("rts ") + (on ? "1" : "0")); }
  void purge() noexcept override { line_.note("purge"); }
  size_t write(const uint8_t* data, size_t count) override {
    std::string hex = "write";
    for (size_t i = 0; i < count; ++i) {
      char b[4];
      std::snprintf(b, sizeof b, " %02X", data[i]);
      hex += b;
    }
    line_.note(hex);
    return count;
  }
  int readByte(int timeoutMs) override {
    const int64_t deadline = line_.clock.nowUs() + int64_t{timeoutMs} * 1000;
    int64_t at = INT64_MAX;
    uint8_t byte = 0;
    if (line_.streamPeriodUs >= 0) {
      at = line_.lastStreamUs + line_.streamPeriodUs;
      byte = 0x55;
    } else if (!line_.arrivals.empty()) {
      at = line_.arrivals.front().first;
      byte = line_.arrivals.front().second;
    }
    if (at > deadline) {
      line_.clock.advanceTo(deadline);
      return -1;
    }
    line_.clock.advanceTo(at);
    if (line_.streamPeriodUs >= 0) {
      line_.lastStreamUs = at;
    } else {
      line_.arrivals.pop_front();
    }
    ++line_.bytesRead;
    return byte;
  }

 private:
  Line& line_;
};

SerialDeviceFactory factoryFor(Line& line) {
  return [&line](const std::string&) -> std::unique_ptr<SerialDevice> {
    ++line.factoryCalls;
    return std::make_unique<ScriptedDevice>(line);
  };
}

template <typename F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const EComPort& e) {
    return std::string(e.what()) + " | code " + std::to_string(e.code());
  }
  return "no error";
}

class ComIoTest : public ::testing::Test {
 protected:
  VirtualClock clock;
  Line line{clock};
  std::vector<std::string> systemPorts;
  TComIo com{clock, factoryFor(line), [this] { return systemPorts; }};
  int ledOn = 0;
  int ledOff = 0;

  void SetUp() override {
    com.cPortAfterOpen = [this] { ++ledOn; };
    com.cPortAfterClose = [this] { ++ledOff; };
  }
  void openAt(const std::string& name, uint32_t baud) {
    com.cPort.setPort(name);
    com.cPort.setCustomBaudRate(baud);
    com.cPort.Open();
    line.events.clear();
  }
};

}  // namespace

TEST_F(ComIoTest, ClosedPortRefusesTransfersAndLinesWithoutAnErrorCode) {
  const std::string notOpen = "Port Not Open | code 0";
  uint8_t byte = 0x55;
  EXPECT_EQ(errorOf([&] { com.cPort.Write(&byte, 1); }), notOpen);
  EXPECT_EQ(errorOf([&] { com.cPort.ReadByte(10); }), notOpen);
  EXPECT_EQ(errorOf([&] { com.cPort.SetDTR(true); }), notOpen);
  EXPECT_EQ(errorOf([&] { com.cPort.SetRTS(false); }), notOpen);
  EXPECT_EQ(errorOf([&] { com.ComGetSer(200); }), notOpen);
  EXPECT_EQ(errorOf([&] { com.ComWriteStr(u"abc"); }), notOpen);
  EXPECT_EQ(errorOf([&] { com.ComFlush(); }), notOpen);
  EXPECT_EQ(errorOf([&] { com.cPort.ClearBuffer(true, true); }), "no error");
  EXPECT_EQ(errorOf([&] { com.DisConnect(); }), "no error");
  EXPECT_EQ(line.factoryCalls, 0);
  EXPECT_EQ(ledOn + ledOff, 0);
}

TEST_F(ComIoTest, OpenAndCloseRunOnceEachAndLightTheLed) {
  EXPECT_EQ(com.cPort.port(), "COM1");
  EXPECT_EQ(com.cPort.customBaudRate(), 9600u);
  com.cPort.Open();
  com.cPort.Open();
  EXPECT_TRUE(com.cPort.Connected());
  EXPECT_EQ(ledOn, 1);
  com.DisConnect();
  com.DisConnect();
  EXPECT_FALSE(com.cPort.Connected());
  EXPECT_EQ(ledOff, 1);
  EXPECT_EQ(line.events, (Events{"0 open COM1 9600", "0 close", "0 destroyed"}));
}

TEST_F(ComIoTest, FailedOpenLeavesThePortClosedAndTheLedDark) {
  line.failOpen = true;
  const std::string busy = std::to_string(oserr::kErrBusy);
  EXPECT_EQ(errorOf([&] { com.cPort.Open(); }),
            "Unable to open com port (Error: " + busy + ") | code " + busy);
  EXPECT_FALSE(com.cPort.Connected());
  EXPECT_EQ(ledOn, 0);

  TComPort orphan([](const std::string&) { return std::unique_ptr<SerialDevice>(); });
  // No device for the name: the code of a missing device on this platform.
  const std::string missing = std::to_string(oserr::kErrNoDevice);
  EXPECT_EQ(errorOf([&] { orphan.Open(); }),
            "Unable to open com port (Error: " + missing + ") | code " + missing);
  EXPECT_FALSE(orphan.Connected());
}

TEST_F(ComIoTest, NameAndSpeedSettersActOnAnOpenPortOnlyWhenTheValueChanges) {
  com.cPort.setPort("COM4");
  com.cPort.setCustomBaudRate(460800);
  EXPECT_EQ(line.factoryCalls, 0);
  openAt("COM4", 460800);
  com.cPort.setPort("COM4");
  com.cPort.setCustomBaudRate(460800);
  EXPECT_TRUE(line.events.empty());
  com.cPort.setCustomBaudRate(921600);
  com.cPort.setPort("COM7");
  EXPECT_EQ(line.events, (Events{"0 baud 921600", "0 close", "0 destroyed", "0 open COM7 921600"}));
  EXPECT_EQ(ledOn, 2);
  EXPECT_EQ(ledOff, 1);
}

TEST_F(ComIoTest, DestructionReleasesAnOpenDeviceWithoutTheCallback) {
  int closed = 0;
  {
    TComPort port(factoryFor(line));
    port.OnAfterClose = [&] { ++closed; };
    port.Open();
  }
  EXPECT_EQ(line.events, (Events{"0 open COM1 9600", "0 close", "0 destroyed"}));
  EXPECT_EQ(closed, 0);
}

TEST_F(ComIoTest, GetSerDeliversBytesUnchangedOrMinusOneAfterTheTimeOut) {
  openAt("COM3", 115200);
  line.arriveIn(0, 0xC0);
  line.arriveIn(0, 0x80);
  line.arriveIn(150'000, 0x00);
  EXPECT_EQ(com.ComGetSer(200), 192);
  EXPECT_EQ(com.ComGetSer(200), 128);
  EXPECT_EQ(clock.nowUs(), 0);
  EXPECT_EQ(com.ComGetSer(200), 0);
  EXPECT_EQ(clock.nowUs(), 150'000);
  EXPECT_EQ(com.ComGetSer(200), -1);
  EXPECT_EQ(clock.nowUs(), 350'000);
}

TEST_F(ComIoTest, FlushKeepsReadingWhileBytesComeLessThanTenMillisecondsApart) {
  openAt("COM3", 115200);
  for (int i = 1; i <= 5; ++i) line.arriveIn(i * 9'000, static_cast<uint8_t>(i));
  line.arriveIn(45'000 + 11'000, 0xEE);  // after 11 ms of silence: left for the next reader
  com.ComFlush();
  EXPECT_EQ(line.bytesRead, 5u);
  EXPECT_EQ(clock.nowUs(), 55'000);
  EXPECT_EQ(com.ComGetSer(100), 0xEE);
}

TEST_F(ComIoTest, FlushOfAnEndlessStreamStopsAfter64KiB) {
  openAt("COM3", 115200);
  line.streamPeriodUs = 0;
  EXPECT_EQ(errorOf([&] { com.ComFlush(); }), "no error");
  EXPECT_EQ(line.bytesRead, 64u * 1024u);
}

TEST_F(ComIoTest, FlushOfAnEndlessSlowStreamStopsAfterTwoSeconds) {
  openAt("COM3", 115200);
  line.streamPeriodUs = 1'000;
  EXPECT_EQ(errorOf([&] { com.ComFlush(); }), "no error");
  EXPECT_GE(clock.nowUs(), 2'000'000);
  EXPECT_LT(clock.nowUs(), 2'010'000);
  EXPECT_LT(line.bytesRead, 64u * 1024u);
}

TEST_F(ComIoTest, WriteStrPurgesThenSendsTheLowByteOfEachCharacterInOneWrite) {
  openAt("COM3", 115200);
  // The synchronisation frame as text: 46 characters.
  std::vector<uint8_t> frame{0xC0, 0x00, 0x08, 0x24, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x07, 0x07, 0x12, 0x20};
  frame.insert(frame.end(), 32, 0x55);
  frame.push_back(0xC0);
  const std::u16string sync(frame.begin(), frame.end());
  ASSERT_EQ(sync.size(), 46u);
  com.ComWriteStr(sync);
  com.ComWriteStr(u"\u0107\u01C0A\u00FF\u2055");
  EXPECT_EQ(line.events, (Events{"0 purge",
                                 "0 write C0 00 08 24 00 00 00 00 00 07 07 12 20 "
                                 "55 55 55 55 55 55 55 55 55 55 55 55 55 55 55 55 "
                                 "55 55 55 55 55 55 55 55 55 55 55 55 55 55 55 55 C0",
                                 "0 purge", "0 write 07 C0 41 FF 55"}));
}

TEST_F(ComIoTest, ResetOnAClosedPortOnlyStoresTheApplicationSpeed) {
  com.cPort.setCustomBaudRate(921600);
  com.DoReset();
  EXPECT_EQ(com.cPort.customBaudRate(), 115200u);
  EXPECT_EQ(line.factoryCalls, 0);
  EXPECT_EQ(clock.nowUs(), 0);
  com.cPort.Open();
  EXPECT_EQ(line.events, Events{"0 open COM1 115200"});
}

TEST_F(ComIoTest, ResetOnAnOpenPortHoldsRtsForFiftyMillisecondsWithDtrDropped) {
  openAt("COM3", 921600);
  com.DoReset();
  EXPECT_EQ(line.events,
            (Events{"0 baud 115200", "20 purge", "20 rts 1", "20 dtr 0", "70 rts 0", "70 dtr 0"}));
  EXPECT_TRUE(com.cPort.Connected());
}

TEST_F(ComIoTest, PortListIsReplacedSortedCaseInsensitivelyOrKeptWhenTheSystemHasNone) {
  systemPorts = {"COM3", "com2", "COM10", "COM1", "/dev/ttyUSB0", "/dev/ttyACM0"};
  std::vector<std::string> list{"stale"};
  com.ListComPorts(list);
  EXPECT_EQ(list, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyUSB0", "COM1", "COM10", "com2",
                                            "COM3"}));

  TComIo noList(clock, factoryFor(line),
                []() -> std::vector<std::string> { throw Exception("No serial port list"); });
  noList.ListComPorts(list);
  EXPECT_EQ(list.size(), 6u);
  systemPorts.clear();
  com.ListComPorts(list);
  EXPECT_TRUE(list.empty());
}
