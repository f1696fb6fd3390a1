// The stub image reader and the flasher stub upload: exact MEM_BEGIN/MEM_DATA/MEM_END exchanges,
// the greeting, and every failure text.
#include <string>

#include "base/Error.h"
#include "esp/StubResource.h"
#include "tests/esp/EspFixture.h"
#include "tests/esp/StubLayout.h"

namespace flintmoor {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kTextStart = 0x400BE000;
constexpr uint32_t kEntry = 0x400BE598;
constexpr uint32_t kDataStart = 0x3FFDEBA8;

uint32_t le32At(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

class StubTest : public EspTest {
 protected:
  static Bytes header(uint8_t op, uint16_t size, uint8_t chk = 0) {
    return {0x00, op, uint8_t(size), uint8_t(size >> 8), chk, 0x00, 0x00, 0x00};
  }
  static Bytes greeting(const std::string& text) {
    return ScriptedLine::slip(Bytes(text.begin(), text.end()));
  }
  // The opcode of memory command i of an upload of `count`: MEM_BEGIN and the text's MEM_DATA
  // blocks, MEM_BEGIN and the data's one block, MEM_END.
  static uint8_t uploadOp(size_t i, size_t count) {
    if (i + 1 == count) return 0x06;
    return i == 0 || i + 3 == count ? 0x05 : 0x07;
  }
  // Answers `count` memory commands with success; the MEM_END answer is followed by `hello`.
  void answerAll(size_t count, const Bytes& hello) {
    for (size_t i = 0; i + 1 < count; ++i) line.answerNext(ok(uploadOp(i, count)));
    line.answerNext(cat(ok(0x06), hello));
  }
  std::string uploadMessage(const Bytes& image, bool s2 = false) {
    try {
      s2 ? esp->ESP32S2_InstallStub(image) : esp->ESP32_InstallStub(image);
    } catch (const Exception& e) {
      return e.what();
    }
    return "(nothing raised)";
  }

  // A text of 3288 bytes whose checksum is 0xEF ^ 0x13 ^ 0x42 = 0xBE.
  Bytes text_ = [] {
    Bytes t(3288, 0x00);
    t.front() = 0x13;
    t.back() = 0x42;
    return t;
  }();
  Bytes data_ = {0xA1, 0xA2, 0xA3, 0xA4};
  Bytes image_ = stubLayout(text_, kTextStart, kEntry, data_, kDataStart);
};

TEST_F(StubTest, ReaderFindsTheValuesAtTheDocumentedOffsets) {
  ASSERT_EQ(image_.size(), 3394u);
  EXPECT_EQ(le32At(image_, 18), 3288u);
  EXPECT_EQ(le32At(image_, 3330), kTextStart);
  EXPECT_EQ(le32At(image_, 3347), kEntry);
  EXPECT_EQ(image_[3363], 4);
  EXPECT_EQ(le32At(image_, 3388), kDataStart);

  const StubImage stub = readStubImage(image_);
  EXPECT_EQ(stub.text.data(), image_.data() + 22);
  EXPECT_EQ(stub.text.size(), 3288u);
  EXPECT_EQ(stub.data.data(), image_.data() + 3364);
  EXPECT_EQ(stub.data.size(), 4u);
  EXPECT_EQ(stub.textStart, kTextStart);
  EXPECT_EQ(stub.entry, kEntry);
  EXPECT_EQ(stub.dataStart, kDataStart);
}

TEST_F(StubTest, OtherLengthsAreReadAndEveryFixedByteIsChecked) {
  const Bytes text = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const Bytes data = {0xEE, 0xFF};
  const Bytes image = stubLayout(text, 0x11111111, 0x22222222, data, 0x33333333);
  const StubImage stub = readStubImage(image);
  EXPECT_EQ(Bytes(stub.text.begin(), stub.text.end()), text);
  EXPECT_EQ(Bytes(stub.data.begin(), stub.data.end()), data);
  EXPECT_EQ(stub.textStart, 0x11111111u);
  EXPECT_EQ(stub.entry, 0x22222222u);
  EXPECT_EQ(stub.dataStart, 0x33333333u);

  const size_t L = text.size(), D = data.size();
  // The free bytes: text, text_start, entry, data, data_start; everything else is fixed.
  const auto isFree = [&](size_t i) {
    return (i >= 22 && i < 22 + L) || (i >= L + 42 && i < L + 46) || (i >= L + 59 && i < L + 63) ||
           (i >= L + 76 && i < L + 76 + D) || (i >= L + D + 96 && i < L + D + 100);
  };
  for (size_t i = 0; i < image.size(); ++i) {
    if (isFree(i)) continue;
    Bytes damaged = image;
    damaged[i] ^= 0x01;
    EXPECT_EQ(uploadMessage(damaged), "Error Stub Image") << "byte " << i;
  }
  EXPECT_EQ(uploadMessage(Bytes(image.begin(), image.end() - 1)), "Error Stub Image");
  EXPECT_EQ(uploadMessage(cat(image, {0x00})), "Error Stub Image");
  EXPECT_EQ(uploadMessage({}), "Error Stub Image");
  EXPECT_TRUE(line.writes().empty());
}

TEST_F(StubTest, UploadsTheEsp32StubExactly) {
  line.answerNext(ok(0x05));
  line.answerNext(ok(0x07));
  line.answerNext(ok(0x05));
  line.answerNext(ok(0x07));
  const Bytes stray = {'x', 'y', 0x00};
  line.answerNext(cat(cat(ok(0x06), stray), greeting("OHAI")));
  esp->ESP32_InstallStub(image_);

  const auto packets = line.packets();
  ASSERT_EQ(packets.size(), 5u);
  EXPECT_EQ(packets[0], cat(header(0x05, 16), words({3288, 0, 6144, kTextStart})));
  EXPECT_EQ(packets[1], cat(cat(header(0x07, 3304, 0xBE), words({3288, 0, 0, 0})), text_));
  EXPECT_EQ(packets[2], cat(header(0x05, 16), words({4, 1, 6144, kDataStart})));
  // 0xEF ^ 0xA1 ^ 0xA2 ^ 0xA3 ^ 0xA4
  EXPECT_EQ(packets[3], cat(cat(header(0x07, 20, 0xEB), words({4, 0, 0, 0})), data_));
  EXPECT_EQ(packets[4], cat(header(0x06, 8), words({0, kEntry})));

  // Four replies dumped (not the one to MEM_END), then the greeting.
  ASSERT_EQ(log.lines().size(), 5u);
  EXPECT_EQ(log.lines()[0], "0000:  01 05 04 00 00 00 00 00 00 00 00 00 .. .. .. ..  ............");
  EXPECT_EQ(log.lines()[4], "0000:  4F 48 41 49 .. .. .. .. .. .. .. .. .. .. .. ..  OHAI");
}

TEST_F(StubTest, GreetingMustBeFourBytesOfOhai) {
  answerAll(5, greeting("OHAIO"));
  EXPECT_EQ(uploadMessage(image_), "Error ENTRY");
  answerAll(5, greeting("OHAX"));
  EXPECT_EQ(uploadMessage(image_), "Error Entry-Code");
  answerAll(5, {});
  EXPECT_EQ(uploadMessage(image_), "Error ENTRY");
  const Bytes badEscape = {0xC0, 'O', 0xDB, 'H', 'A', 'I', 0xC0};
  answerAll(5, badEscape);
  EXPECT_EQ(uploadMessage(image_), "Error ENTRY");
}

// A block the chip did not take must never be followed by the jump: the upload stops at the first
// failing status with that command's text, and MEM_END is never sent.
TEST_F(StubTest, AFailingStatusStopsTheUploadBeforeTheJump) {
  const char* expected[] = {"Error MEM_BEGIN", "Error MEM_DATA", "Error MEM_BEGIN",
                            "Error MEM_DATA", "Error MEM_END"};
  for (size_t failing = 0; failing < 5; ++failing) {
    const size_t before = line.packets().size();
    for (size_t i = 0; i < failing; ++i) line.answerNext(ok(uploadOp(i, 5)));
    line.answerNext(cat(failed(uploadOp(failing, 5), 0x05), greeting("OHAI")));
    EXPECT_EQ(uploadMessage(image_), expected[failing]);
    EXPECT_EQ(line.packets().size() - before, failing + 1) << "nothing sent after the failure";
    clock.sleepMs(1000);
  }
}

TEST_F(StubTest, EachMissingReplyHasItsText) {
  const char* expected[] = {"Error MEM_BEGIN", "Error MEM_DATA", "Error MEM_BEGIN",
                            "Error MEM_DATA", "Error MEM_END"};
  for (size_t silent = 0; silent < 5; ++silent) {
    for (size_t i = 0; i < silent; ++i) line.answerNext(ok(uploadOp(i, 5)));
    // A frame from the host side (direction 0) is no reply either.
    line.answerNext(silent % 2 ? Bytes{} : ScriptedLine::slip(header(0x05, 0)));
    EXPECT_EQ(uploadMessage(image_), expected[silent]);
    clock.sleepMs(1000);
  }
}

TEST_F(StubTest, Esp32UploadWaits200MsForMemoryBeginAndEnd500MsForData) {
  const int64_t waitMs[] = {200, 500, 200, 500, 200};
  const char* expected[] = {"Error MEM_BEGIN", "Error MEM_DATA", "Error MEM_BEGIN",
                            "Error MEM_DATA", "Error MEM_END"};
  for (size_t i = 0; i < 4; ++i) line.answerNext(ok(uploadOp(i, 5)), (waitMs[i] - 10) * 1000);
  line.answerNext(cat(ok(0x06), greeting("OHAI")), (waitMs[4] - 10) * 1000);
  EXPECT_EQ(uploadMessage(image_), "(nothing raised)");

  for (size_t late = 0; late < 5; ++late) {
    clock.sleepMs(1000);
    for (size_t i = 0; i < late; ++i) line.answerNext(ok(uploadOp(i, 5)));
    line.answerNext(ok(uploadOp(late, 5)), (waitMs[late] + 10) * 1000);
    EXPECT_EQ(uploadMessage(image_), expected[late]);
  }
}

TEST_F(StubTest, LongTextGoesOutInNumberedBlocks) {
  const Bytes text(6145, 0x11);
  answerAll(6, greeting("OHAI"));
  esp->ESP32_InstallStub(stubLayout(text, kTextStart, kEntry, data_, kDataStart));
  const auto packets = line.packets();
  ASSERT_EQ(packets.size(), 6u);
  EXPECT_EQ(packets[0], cat(header(0x05, 16), words({6145, 2, 6144, kTextStart})));
  EXPECT_EQ(Bytes(packets[1].begin(), packets[1].begin() + 24),
            cat(header(0x07, 16 + 6144, 0xEF), words({6144, 0, 0, 0})));
  EXPECT_EQ(packets[1].size(), 8u + 16 + 6144);
  EXPECT_EQ(packets[2], cat(cat(header(0x07, 17, 0xEF ^ 0x11), words({1, 1, 0, 0})), {0x11}));
  EXPECT_EQ(packets[3], cat(header(0x05, 16), words({4, 1, 6144, kDataStart})));
}

TEST_F(StubTest, Esp32S2UploadUses2048ByteBlocksAndItsOwnTexts) {
  const Bytes text(3000, 0x00);
  const Bytes image = stubLayout(text, kTextStart, kEntry, data_, kDataStart);
  answerAll(6, greeting("OHAI"));
  esp->ESP32S2_InstallStub(image);
  const auto packets = line.packets();
  ASSERT_EQ(packets.size(), 6u);
  EXPECT_EQ(packets[0], cat(header(0x05, 16), words({3000, 2, 2048, kTextStart})));
  EXPECT_EQ(Bytes(packets[1].begin() + 8, packets[1].begin() + 24), words({2048, 0, 0, 0}));
  EXPECT_EQ(Bytes(packets[2].begin() + 8, packets[2].begin() + 24), words({952, 1, 0, 0}));
  EXPECT_EQ(packets[3], cat(header(0x05, 16), words({4, 1, 2048, kDataStart})));
  EXPECT_EQ(packets[5], cat(header(0x06, 8), words({0, kEntry})));

  const char* expected[] = {"Error MEM_BEGIN-TEXT",   "Error MEM_DATA-TEXT -1",
                            "Error MEM_DATA-TEXT -1", "Error MEM_BEGIN-DATA",
                            "Error MEM_DATA-DATA",    "Error MEM_END"};
  for (size_t silent = 0; silent < 6; ++silent) {
    for (size_t i = 0; i < silent; ++i) line.answerNext(ok(uploadOp(i, 6)));
    // MEM_BEGIN and MEM_END wait 100 ms, MEM_DATA 500 ms.
    const bool memData = silent == 1 || silent == 2 || silent == 4;
    line.answerNext(memData ? Bytes{} : ok(uploadOp(silent, 6)), 150'000);
    EXPECT_EQ(uploadMessage(image, true), expected[silent]);
    clock.sleepMs(1000);
  }
}

TEST_F(StubTest, BuiltInResources) {
  try {
    esp->ESP32S2_InstallStub();
    ADD_FAILURE() << "the ESP32-S2 stub is not built in";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Resource STUB_ESP32S2 not found");
  }

  const StubImage stub = readStubImage(stubResource("STUB_ESP32"));
  if (stubIsPlaceholder()) {
    EXPECT_EQ(stub.text.size(), 3288u);
    EXPECT_EQ(stub.data.size(), 4u);
    EXPECT_EQ(stub.textStart, kTextStart);
    EXPECT_EQ(stub.entry, kEntry);
    EXPECT_EQ(stub.dataStart, kDataStart);
  }
  answerAll(5, greeting("OHAI"));
  esp->ESP32_InstallStub();
  EXPECT_EQ(line.packets()[0],
            cat(header(0x05, 16), words({uint32_t(stub.text.size()), 0, 6144, stub.textStart})));
}

}  // namespace
}  // namespace flintmoor
