// The Win32 serial backend through the serial link module, against a pseudo-terminal that the
// Linux-side peer (PtyPeer.cpp) maps as COM5 and answers on its master side. Runs under Wine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/Error.h"
#include "comio/Platform.h"
#include "comio/SerialDevice.h"
#include "comio/uComIo.h"

namespace flintmoor {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::MatchesRegex;

constexpr char kPort[] = "COM5";

std::unique_ptr<SerialDevice> osDevice(const std::string&) {
  return makeOsSerialDevice();
}

class SerialPty : public ::testing::Test {
 protected:
  SerialPty() : com(clock, osDevice, listOsPorts) {}

  void open(uint32_t baud) {
    com.cPort.setPort(kPort);
    com.cPort.setCustomBaudRate(baud);
    com.cPort.Open();
  }

  void send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(com.cPort.Write(bytes.data(), bytes.size()), bytes.size());
  }

  // The peer's echo command around `payload`.
  static std::vector<uint8_t> echo(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out = {'E', static_cast<uint8_t>(payload.size()),
                                static_cast<uint8_t>(payload.size() >> 8)};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  }

  std::vector<int> receive(size_t count, int timeoutMs = 2000) {
    std::vector<int> got;
    for (size_t i = 0; i < count; ++i) got.push_back(com.ComGetSer(timeoutMs));
    return got;
  }

  // The line speed that the peer sees on its end of the device.
  uint32_t peerSpeed() {
    send({'S'});
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) {
      int byte = com.ComGetSer(2000);
      EXPECT_GE(byte, 0) << "speed byte " << i << " missing";
      bits |= static_cast<uint32_t>(byte & 0xFF) << (8 * i);
    }
    return bits;
  }

  SteadyClock clock;
  TComIo com;
};

TEST_F(SerialPty, EveryByteValuePassesUnchangedBothWays) {
  open(115200);
  std::vector<uint8_t> payload(256);
  for (int i = 0; i < 256; ++i) payload[i] = static_cast<uint8_t>(i);
  send(echo(payload));
  std::vector<int> expected(payload.begin(), payload.end());
  EXPECT_THAT(receive(payload.size()), ElementsAreArray(expected));
}

TEST_F(SerialPty, TextWriteSendsTheLowByteOfEachCharacter) {
  open(115200);
  // Characters above 0xFF keep only their low byte on the line: U+01C0 goes out as 0xC0.
  const std::u16string_view text(u"E\u0003\u0000A\u01C0\u0280", 6);
  com.ComWriteStr(text);
  EXPECT_THAT(receive(3), ElementsAre('A', 0xC0, 0x80));
}

TEST_F(SerialPty, ReadTimesOutWithoutAByte_AndReturnsAQueuedByteAtOnce) {
  open(115200);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(com.ComGetSer(200), -1);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150));

  EXPECT_EQ(com.ComGetSer(10), -1);

  send({'P', 3});
  EXPECT_THAT(receive(3, 200), ElementsAre('a', 'b', 'c'));
  EXPECT_EQ(com.ComGetSer(10), -1);
}

TEST_F(SerialPty, PurgeDiscardsWhatWaitsInTheReceiveQueue) {
  open(115200);
  send({'P', 5});
  // The five bytes left the peer in one write: once the first is here, the rest are queued.
  ASSERT_EQ(com.ComGetSer(2000), 'a');
  com.cPort.ClearBuffer(true, true);
  EXPECT_EQ(com.ComGetSer(100), -1);
  // The line still works after the purge.
  send(echo({0x55}));
  EXPECT_EQ(com.ComGetSer(2000), 0x55);
}

TEST_F(SerialPty, SpeedIsAppliedAtOpenAndChangedOnTheOpenPort) {
  open(115200);
  EXPECT_EQ(peerSpeed(), 115200u);
  com.cPort.setCustomBaudRate(921600);
  EXPECT_EQ(peerSpeed(), 921600u);
  com.cPort.setCustomBaudRate(230400);
  EXPECT_EQ(peerSpeed(), 230400u);
}

TEST_F(SerialPty, ModemLinesOnADeviceWithoutThemRaiseTheEscapeTextWithTheSystemCode) {
  open(115200);
  try {
    com.cPort.SetDTR(true);
    FAIL() << "SetDTR on a pseudo-terminal succeeded";
  } catch (const EComPort& e) {
    EXPECT_THAT(e.what(), MatchesRegex("EscapeCommFunction function failed \\(Error: \\d+\\)"));
    EXPECT_NE(e.code(), 0);
  }
  EXPECT_THROW(com.cPort.SetRTS(false), EComPort);
  EXPECT_TRUE(com.cPort.Connected());
}

TEST_F(SerialPty, ClosedPortRaisesPortNotOpen) {
  uint8_t byte = 0x41;
  try {
    com.cPort.Write(&byte, 1);
    FAIL() << "Write on a closed port succeeded";
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "Port Not Open");
  }
  EXPECT_THROW(com.ComGetSer(10), EComPort);

  open(115200);
  com.DisConnect();
  EXPECT_FALSE(com.cPort.Connected());
  EXPECT_THROW(com.cPort.Write(&byte, 1), EComPort);
}

TEST_F(SerialPty, OpeningAMissingPortReportsErrorTwo) {
  com.cPort.setPort("COM99");
  try {
    com.cPort.Open();
    FAIL() << "COM99 opened";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.what(),
              "Unable to open com port (Error: " + std::to_string(oserr::kErrNoDevice) + ")");
  }
  EXPECT_FALSE(com.cPort.Connected());
}

TEST_F(SerialPty, ReopeningAfterCloseWorks) {
  open(115200);
  com.DisConnect();
  com.cPort.Open();
  send(echo({0x01, 0x02}));
  EXPECT_THAT(receive(2), ElementsAre(0x01, 0x02));
}

}  // namespace
}  // namespace flintmoor
