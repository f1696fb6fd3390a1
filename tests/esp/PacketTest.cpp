// The packet layer: request frames byte for byte, and the frame reader on well-formed, malformed,
// oversized and endless input.
#include <cstring>
#include <string>

#include "esp/SkippedBytes.h"
#include "tests/esp/EspFixture.h"

namespace flintmoor {
namespace {

using Bytes = std::vector<uint8_t>;

class PacketTest : public EspTest {};

TEST_F(PacketTest, EmptyPayloadGivesTheTenByteFrame) {
  esp->sendPacket(nullptr, 0, 0xD0);
  ASSERT_EQ(line.writes().size(), 1u);
  EXPECT_EQ(line.writes()[0], (Bytes{0xC0, 0x00, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0}));
}

TEST_F(PacketTest, ChecksumCoversPayloadBytesFromSixteenOn) {
  Bytes payload(17, 0x11);
  payload[16] = 0x5A;
  esp->sendPacket(payload.data(), 16, 0x0A);
  esp->sendPacket(payload.data(), 17, 0x0A);
  EXPECT_EQ(Bytes(line.writes()[0].begin() + 1, line.writes()[0].begin() + 9),
            (Bytes{0x00, 0x0A, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00}));
  // 0xEF ^ 0x5A
  EXPECT_EQ(Bytes(line.writes()[1].begin() + 1, line.writes()[1].begin() + 9),
            (Bytes{0x00, 0x0A, 0x11, 0x00, 0xB5, 0x00, 0x00, 0x00}));
}

TEST_F(PacketTest, EndAndEscapeBytesAreEscapedInHeaderAndPayload) {
  const Bytes payload = {0xC0, 0xDB, 0x01};
  esp->sendPacket(payload.data(), 3, 0x0A);
  EXPECT_EQ(line.writes()[0], (Bytes{0xC0, 0x00, 0x0A, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0xDB,
                                     0xDC, 0xDB, 0xDD, 0x01, 0xC0}));

  const Bytes zeros(192, 0x00);  // length 0x00C0; 0xEF XOR nothing but zeros
  esp->sendPacket(zeros.data(), 192, 0x0A);
  Bytes expected = {0xC0, 0x00, 0x0A, 0xDB, 0xDC, 0x00, 0xEF, 0x00, 0x00, 0x00};
  expected.insert(expected.end(), 192, 0x00);
  expected.push_back(0xC0);
  EXPECT_EQ(line.writes()[1], expected);
}

TEST_F(PacketTest, PayloadLargerThanTheRequestIsNotSent) {
  const Bytes big(sizeof(TRequest::Data) + 1, 0x00);
  // A programming error, raised at once rather than looking like a time-out later.
  EXPECT_THROW(esp->sendPacket(big.data(), uint16_t(big.size()), 0x03), std::length_error);
  EXPECT_TRUE(line.writes().empty());
}

TEST_F(PacketTest, SendingDiscardsUnreadInputButLaterBytesStay) {
  // Two SYNC-style answers back to back: the reader takes the first, the second waits.
  const Bytes twice = {0xC0, 0x01, 0x08, 0x00, 0x00, 0x07, 0x07, 0x12, 0x20, 0xC0,
                       0xC0, 0x01, 0x08, 0x00, 0x00, 0x07, 0x07, 0x12, 0x20, 0xC0};
  line.feed(twice);
  EXPECT_EQ(esp->getPacket(100, true), 8);
  EXPECT_EQ(line.pending(), 10u);
  esp->sendPacket(nullptr, 0, 0x0A);
  EXPECT_EQ(line.pending(), 0u);
  EXPECT_EQ(esp->getPacket(100, true), -1);
}

TEST_F(PacketTest, ReadsAFrameAfterChatterAndSlowBytes) {
  const Bytes text = {'w', 'a', 'i', 't', 'i', 'n', 'g', '\r', '\n'};
  line.feed(text);
  // 0xDB 0xDD decodes to 0xDB, 0xDB 0xDC to 0xC0.
  const Bytes frame = {0xC0, 0x01, 0x0A, 0x04, 0x00, 0x83, 0x1D, 0xDB,
                       0xDD, 0x00, 0xDB, 0xDC, 0x00, 0x00, 0x00, 0xC0};
  line.feed(frame, 200'000, 200'000);  // each byte exactly one time-out after the previous
  EXPECT_EQ(esp->getPacket(200, true), 12);
  EXPECT_EQ(esp->response().Command, 0x0A);
  EXPECT_EQ(esp->response().Size, 4);
  EXPECT_EQ(esp->response().Value, 0x00DB1D83u);
  EXPECT_EQ(esp->response().Data[0], 0xC0);
  EXPECT_EQ(line.pending(), 0u);
}

TEST_F(PacketTest, TheCaptureKeepsWhatTheHuntSkipsButNoFrameBytes) {
  const Bytes frame = {0xC0, 0x01, 0x08, 0x00, 0x00, 0x07, 0x07, 0x12, 0x20, 0xC0};
  line.feed(Bytes{'o', 'f', 'f'});
  line.feed(frame);
  EXPECT_EQ(esp->getPacket(100, true), 8);  // no capture set: nothing kept anywhere

  SkippedBytes kept;
  esp->link().SkipCapture = &kept;
  line.feed(Bytes{'b', 'o', 'o', 't', '\r', '\n'});
  line.feed(frame);
  line.feed(Bytes{'e', 'n', 't', 'r', 'y'});
  EXPECT_EQ(esp->getPacket(100, true), 8);
  EXPECT_EQ(esp->getPacket(100, true), -1);
  EXPECT_EQ(kept.text(), "boot\r\nentry");
}

TEST(SkippedBytes, KeepsTheLastFourKibInArrivalOrder) {
  SkippedBytes kept;
  EXPECT_EQ(kept.text(), "");
  for (int i = 0; i < 5000; ++i) kept.add(uint8_t(i % 251));
  ASSERT_EQ(kept.size(), SkippedBytes::kCapacity);
  const std::string text = kept.text();
  EXPECT_EQ(uint8_t(text.front()), (5000 - 4096) % 251);
  EXPECT_EQ(uint8_t(text.back()), 4999 % 251);
  for (size_t i = 1; i < text.size(); ++i) {
    ASSERT_EQ((uint8_t(text[i - 1]) + 1) % 251, uint8_t(text[i])) << i;
  }
  kept.clear();
  kept.add('x');
  EXPECT_EQ(kept.text(), "x");
}

TEST_F(PacketTest, TimeOutWhileHuntingOrInsideAFrame) {
  EXPECT_EQ(esp->getPacket(100, true), -1);
  const Bytes partial = {0xC0, 0x01, 0x0A};
  line.feed(partial);
  EXPECT_EQ(esp->getPacket(100, true), -1);
  const Bytes escapeThenSilence = {0xC0, 0x01, 0xDB};
  line.feed(escapeThenSilence);
  EXPECT_EQ(esp->getPacket(100, true), -1);
}

TEST_F(PacketTest, EmptyFramesAreSkippedAndTheNextFrameIsRead) {
  // The ROM's END END after a speed change, then the answer of the next command.
  const Bytes emptyThenAnswer = {0xC0, 0xC0, 0xC0, 0x01, 0x0A, 0x00,
                                 0x00, 0x44, 0x33, 0x22, 0x11, 0xC0};
  line.feed(emptyThenAnswer);
  EXPECT_EQ(esp->getPacket(100, true), 8);
  EXPECT_EQ(esp->response().Command, 0x0A);
  EXPECT_EQ(esp->response().Value, 0x11223344u);
  EXPECT_EQ(esp->lastFault(), TPacketFault::pfNone);

  // Several empty frames and slow bytes in between, and without direction check.
  const Bytes empties = {0xC0, 0xC0, 0xC0, 0xC0};
  line.feed(empties, 0, 40'000);
  const Bytes greeting = {0xC0, 'O', 'H', 'A', 'I', 0xC0};
  line.feed(greeting);
  EXPECT_EQ(esp->getPacket(100, false), 4);
  EXPECT_EQ(std::memcmp(&esp->response(), "OHAI", 4), 0);

  // Empty frames alone are no answer.
  line.feed(Bytes{0xC0, 0xC0});
  EXPECT_EQ(esp->getPacket(100, true), -1);
  EXPECT_EQ(esp->lastFault(), TPacketFault::pfNoFrame);
}

TEST_F(PacketTest, EndlessEmptyFramesAreBoundedLikeChatter) {
  line.chatter(0xC0, 50'000);  // never silent for 200 ms, never a frame
  const int64_t start = clock.nowUs();
  EXPECT_EQ(esp->getPacket(200, true), -1);
  EXPECT_GE(clock.nowUs() - start, 400'000);
  EXPECT_LT(line.bytesRead(), 20u);

  line.feed(Bytes(65536, 0xC0));
  EXPECT_EQ(esp->getPacket(100, true), -1);
}

TEST_F(PacketTest, InvalidEscapeEndsTheReadAtOnce) {
  const Bytes frame = {0xC0, 0x01, 0xDB, 0x41, 0x05, 0x06, 0xC0};
  line.feed(frame);
  EXPECT_EQ(esp->getPacket(100, true), -7);
  EXPECT_EQ(line.pending(), 3u);
  // The rest of that frame is no frame: the next read skips it and takes the frame after it.
  const Bytes next = {0xC0, 0x01, 0x0A, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11, 0xC0};
  line.feed(next);
  EXPECT_EQ(esp->getPacket(100, true), 8);
  EXPECT_EQ(esp->response().Value, 0x11223344u);
}

// TEsp followed by guard bytes: whatever the reader writes past Response lands in them (or in
// the padding before them, which is filled the same way).
struct GuardedEsp {
  GuardedEsp(TComIo& com, Log& log) : esp(com, log) {
    uint8_t* end = reinterpret_cast<uint8_t*>(this) + responseEnd();
    std::memset(end, kGuard, reinterpret_cast<uint8_t*>(guard + sizeof(guard)) - end);
  }
  // Where the response buffer ends, from the start of this object.
  ptrdiff_t responseEnd() const {
    return reinterpret_cast<const uint8_t*>(&esp.response() + 1) -
           reinterpret_cast<const uint8_t*>(this);
  }
  bool guardIntact() const {
    const auto* end = reinterpret_cast<const uint8_t*>(this) + responseEnd();
    for (const uint8_t* p = end; p < guard + sizeof(guard); ++p) {
      if (*p != kGuard) return false;
    }
    return true;
  }
  static constexpr uint8_t kGuard = 0xA5;
  TEsp esp;
  uint8_t guard[256];
};

TEST_F(PacketTest, OversizedFrameStaysInsideResponseAndIsSkippedToItsEnd) {
  auto guarded = std::make_unique<GuardedEsp>(com, log);
  Bytes frame = {0xC0, 0x01, 0x03};
  frame.insert(frame.end(), 20000 - 2, 0x5C);
  frame.push_back(0xC0);
  line.feed(frame);
  const Bytes next = {0xC0, 0x01, 0x0A, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11, 0xC0};
  line.feed(next);

  EXPECT_EQ(guarded->esp.getPacket(100, true), -3);
  EXPECT_TRUE(guarded->guardIntact());
  EXPECT_EQ(guarded->esp.response().Data[sizeof(TResponse::Data) - 1], 0x5C);
  EXPECT_EQ(guarded->esp.getPacket(100, true), 8);
  EXPECT_EQ(guarded->esp.response().Value, 0x11223344u);
}

TEST_F(PacketTest, OversizedFrameWithoutEndIsBounded) {
  auto guarded = std::make_unique<GuardedEsp>(com, log);
  const Bytes frame(1 + sizeof(TResponse) + 100, 0x01);
  line.feed(Bytes{0xC0});
  line.feed(frame);
  line.chatter(0x55, 50'000);
  EXPECT_EQ(guarded->esp.getPacket(200, true), -1);
  EXPECT_TRUE(guarded->guardIntact());
}

TEST_F(PacketTest, HuntGivesUpAfter65536BytesWithoutEnd) {
  const Bytes frame = {0xC0, 0x01, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0};
  line.feed(Bytes(65535, 'x'));
  line.feed(frame);
  EXPECT_EQ(esp->getPacket(100, true), 8);

  line.feed(Bytes(65536, 'x'));
  line.feed(frame);
  EXPECT_EQ(esp->getPacket(100, true), -1);
  EXPECT_EQ(line.pending(), frame.size());
}

TEST_F(PacketTest, HuntGivesUpAfterTwiceTheTimeOutOfChatter) {
  line.chatter('.', 50'000);  // never silent for 200 ms, never an END
  const int64_t start = clock.nowUs();
  EXPECT_EQ(esp->getPacket(200, true), -1);
  EXPECT_GE(clock.nowUs() - start, 400'000);
  EXPECT_LT(line.bytesRead(), 20u);
}

}  // namespace
}  // namespace flintmoor
