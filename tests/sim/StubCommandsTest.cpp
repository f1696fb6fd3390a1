// The stub model's fast commands, as our firmware serves them: pipelined writes with erasing as the
// blocks arrive, compressed writes, region and chip erase, the streamed READ_FLASH, dropped and
// overflowing frames; and the board around them: flash size, the flash's id through the SPI1
// registers with either loader, and the USB bridge's turnaround.
#include <gtest/gtest.h>

#include "SimHarness.h"
#include "base/Md5.h"

namespace flintmoor::simtest {
namespace {

using testing::cat;

VirtualEsp32Options withFlash(uint32_t size) {
  VirtualEsp32Options o;
  o.flashSize = size;
  return o;
}

// Line time in microseconds of `bytes` at `baud`.
int64_t lineUs(size_t bytes, uint32_t baud) {
  return static_cast<int64_t>(bytes) * 10'000'000 / baud;
}

Bytes dataPayload(uint32_t seq, const Bytes& data) {
  return cat(words({static_cast<uint32_t>(data.size()), seq, 0, 0}), data);
}

class StubCommands : public SimBench {
 protected:
  explicit StubCommands(VirtualEsp32Options o = {}) : SimBench(o) {}
  void SetUp() override {
    connect();
    startStub();
  }
  void fast(uint32_t baud = 921600) {
    ASSERT_EQ(command(0x0F, words({baud, 115200})).data, (Bytes{0, 0}));
    port.setBaudRate(baud);
  }
  void fill(uint32_t from, uint32_t to, uint8_t value) {
    auto f = board.flash().bytes();
    std::fill(f.begin() + from, f.begin() + to, value);
  }
  Bytes flashAt(uint32_t addr, size_t n) {
    auto f = board.flash().bytes();
    return Bytes(f.begin() + addr, f.begin() + addr + n);
  }
  // Sends a data block and returns the virtual time its answer's last byte arrived.
  int64_t sendBlockAndWait(uint8_t opcode, uint32_t seq, const Bytes& data, Bytes expect = {0, 0}) {
    send(opcode, dataPayload(seq, data), xorSum(data));
    auto a = readAnswer(2000);
    EXPECT_TRUE(a.has_value());
    EXPECT_EQ(a.value_or(Answer{}).data, expect) << "block " << seq;
    return clock.nowUs();
  }
};

TEST_F(StubCommands, AnswersABlockBeforeWritingItAndWritesItWhileTheNextArrives) {
  // At 2 Mbit/s a block's 92 ms on the line are shorter than a block erase.
  fast(2'000'000);
  fill(0x100000, 0x110000, 0x00);
  ASSERT_EQ(command(0x02, words({65536, 4, 16384, 0x100000})).data, (Bytes{0, 0}));
  Bytes block = imageBytes(16384, 5);
  int64_t wire = lineUs(requestFrame(0x03, dataPayload(0, block), xorSum(block)).size(), 2'000'000);
  ASSERT_LT(wire, 100'000);
  int64_t answer = lineUs(12, 2'000'000);
  int64_t start = clock.nowUs();
  int64_t t0 = sendBlockAndWait(0x03, 0, block);
  EXPECT_LT(t0 - start, wire + answer + 1500) << "answered as soon as it was whole";
  // Block 0 erases the whole 64 KiB block (150 ms, not 16 sectors) and programs 64 pages; block 1
  // arrives meanwhile and is answered when that is done.
  int64_t t1 = sendBlockAndWait(0x03, 1, block);
  EXPECT_GE(t1 - start, wire + 150'000 + 64 * 700 + answer);
  EXPECT_LT(t1 - start, wire + 150'000 + 64 * 700 + answer + 1500);
  // Block 1 only programs (its sectors were erased with the block): the line is slower.
  int64_t t2 = sendBlockAndWait(0x03, 2, block);
  EXPECT_GE(t2 - t1, wire + answer);
  EXPECT_LT(t2 - t1, wire + answer + 1500);
  EXPECT_EQ(command(0x04, words({1})).data, (Bytes{0, 0}));
  EXPECT_EQ(flashAt(0x100000 + 16384, 16384), block);
  EXPECT_EQ(flashAt(0x10C000, 16), Bytes(16, 0xFF)) << "erased ahead of the data";
}

TEST_F(StubCommands, AShortBlockErasesOnlyTheSectorsItsDataReaches) {
  fill(0x8000, 0x10000, 0x00);
  command(0x02, words({32768, 2, 16384, 0x8000}));
  EXPECT_EQ(dataCommand(0x03, 0, Bytes(100, 0xA5)).data, (Bytes{0, 0}));
  EXPECT_EQ(command(0x04, words({1})).data, (Bytes{0, 0}));
  EXPECT_EQ(flashAt(0x8000, 101), cat(Bytes(100, 0xA5), {0xFF}));
  EXPECT_EQ(flashAt(0x9000, 1), Bytes{0x00}) << "the block's unused share is left alone";
}

TEST_F(StubCommands, EraseRegionUsesBlocksWhereAlignedAndSectorsElsewhere) {
  fill(0x0F000, 0x33000, 0x00);
  int64_t wire = lineUs(8 + 8 + 2 + 12, 115200);
  int64_t start = clock.nowUs();
  EXPECT_EQ(command(0xD1, words({0x0F000, 0x23000})).data, (Bytes{0, 0}));
  int64_t work = 2 * 150'000 + 3 * 45'000;  // a sector, two blocks, two sectors
  EXPECT_GE(clock.nowUs() - start, work + wire);
  EXPECT_LT(clock.nowUs() - start, work + wire + 2000);
  EXPECT_EQ(flashAt(0x0F000, 0x23000), Bytes(0x23000, 0xFF));
  EXPECT_EQ(flashAt(0x32000, 1), Bytes{0x00});
  start = clock.nowUs();
  command(0xD1, words({0x0F000, 0x23000}));
  EXPECT_LT(clock.nowUs() - start, 2 * 28'000 + 3 * 8'400 + wire + 2000) << "blank is faster";
  EXPECT_EQ(command(0xD1, words({0x0F000, 0x800})).data, (Bytes{1, 0xC3})) << "unaligned size";
  EXPECT_EQ(command(0xD1, words({0xFFF000, 0x2000})).data, (Bytes{1, 0xC3})) << "past 16 MiB";
}

TEST_F(StubCommands, CompressedWriteInflatesOneStreamSliceBySlice) {
  Bytes image = imageBytes(100'000, 7);
  Bytes stream = zlibStream(image);
  uint32_t n = sliceCount(stream, 16384);
  ASSERT_EQ(command(0x10, words({100'000, n, 16384, 0x20000})).data, (Bytes{0, 0}));
  EXPECT_EQ(dataCommand(0x03, 0, Bytes(16, 1)).data, (Bytes{1, 0xC6})) << "a compressed write";
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(dataCommand(0x11, i, slice(stream, i, 16384)).data, (Bytes{0, 0})) << i;
  }
  EXPECT_EQ(command(0x12, words({1})).data, (Bytes{0, 0}));
  EXPECT_EQ(flashAt(0x20000, image.size()), image);
  Answer md5 = command(0x13, words({0x20000, 100'000, 0, 0}));
  auto digest = flintmoor::md5(image);
  EXPECT_EQ(md5.data, cat(Bytes(digest.begin(), digest.end()), {0, 0}));
  EXPECT_EQ(command(0x12, words({1})).data, (Bytes{1, 0xC6})) << "nothing left to end";

  // A slice is answered before it is inflated: a stream that inflates past the announced size,
  // or is no zlib stream at all, fails on the answers after it, up to the END, and writes nothing
  // more.
  command(0x10, words({1000, 1, 16384, 0x40000}));
  EXPECT_EQ(dataCommand(0x11, 0, zlibStream(Bytes(2000, 0x11))).data, (Bytes{0, 0}));
  EXPECT_EQ(command(0x13, words({0x40000, 16, 0, 0})).data, (Bytes{1, 0xC8}));
  EXPECT_EQ(command(0x12, words({1})).data, (Bytes{1, 0xC8}));
  EXPECT_EQ(command(0x12, words({1})).data, (Bytes{1, 0xC6})) << "the END cleared it";
  Bytes raw = zlibStream(imageBytes(40'000, 4), true);
  command(0x10, words({40'000, 2, 16384, 0x40000}));
  EXPECT_EQ(dataCommand(0x11, 0, slice(raw, 0, 16384)).data, (Bytes{0, 0}));
  EXPECT_EQ(dataCommand(0x11, 1, slice(raw, 1, 16384)).data, (Bytes{1, 0xC8}));
  EXPECT_EQ(command(0x12, words({1})).data, (Bytes{1, 0xC8}));
  EXPECT_EQ(flashAt(0x40000, 16), Bytes(16, 0xFF));
}

TEST_F(StubCommands, ReadFlashKeepsToItsWindowAndEndsWithTheDigest) {
  Bytes content = imageBytes(10'000, 3);
  std::copy(content.begin(), content.end(), board.flash().bytes().begin() + 0x3000);
  EXPECT_EQ(command(0xD2, words({0x3000, 10'000, 0, 3})).data, (Bytes{1, 0xC3}));
  EXPECT_EQ(command(0xD2, words({0x3000, 10'000, 4097, 3})).data, (Bytes{1, 0xC3}));
  EXPECT_EQ(command(0xD2, words({0x3000, 10'000, 1024, 65})).data, (Bytes{1, 0xC3}));
  EXPECT_EQ(command(0xD2, words({0x3000, 0, 1024, 3})).data, (Bytes{1, 0xC3}));
  EXPECT_EQ(command(0xD2, words({0xFFF000, 0x2000, 1024, 3})).data, (Bytes{1, 0xC3}));

  EXPECT_EQ(command(0xD2, words({0x3000, 10'000, 1024, 3})).data, (Bytes{0, 0}));
  Bytes got;
  auto take = [&](size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
      auto f = readFrame(200);
      ASSERT_TRUE(f.has_value()) << "frame " << i;
      got.insert(got.end(), f->begin(), f->end());
    }
    EXPECT_FALSE(readFrame(50).has_value()) << "more than the window";
  };
  auto ack = [&](uint32_t n) { send(testing::slip(words({n}))); };
  take(3);
  ack(1024);
  take(1);
  ack(4096);
  take(3);
  ack(7168);
  take(3);
  EXPECT_EQ(got.size(), 10'000u) << "the last frame is shorter";
  EXPECT_EQ(got, content);
  ack(10'000);
  auto digest = readFrame(200);
  ASSERT_TRUE(digest.has_value());
  auto expected = flintmoor::md5(content);
  EXPECT_EQ(*digest, Bytes(expected.begin(), expected.end()));
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x00F01D83u) << "commands again";

  // A request instead of an acknowledgement ends the stream: served, no digest follows.
  EXPECT_EQ(command(0xD2, words({0x3000, 10'000, 4096, 1})).data, (Bytes{0, 0}));
  ASSERT_TRUE(readFrame(200).has_value());
  Answer id = command(0x0A, words({0x40001000}));
  EXPECT_EQ(id.value, 0x00F01D83u);
  ack(4096);
  EXPECT_TRUE(drain().empty());
}

TEST_F(StubCommands, OversizedAndDamagedFramesAreAnsweredUnderTheirOpcode) {
  command(0x02, words({32768, 2, 16384, 0x50000}));
  Bytes tooLong = requestFrame(0x03, dataPayload(0, Bytes(16400, 0x22)), 0);
  port.purge();
  send(tooLong);
  auto a = readAnswer();
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->opcode, 0x03);
  EXPECT_EQ(a->data, (Bytes{1, 0xC7}));

  board.addFault(parseSimFault("rx-overflow:0"));  // the too-long frame is no block
  Bytes block = imageBytes(16384, 9);
  EXPECT_EQ(dataCommand(0x03, 0, block).data, (Bytes{1, 0xC9})) << "bytes lost: send it again";
  EXPECT_EQ(flashAt(0x50000, 16), Bytes(16, 0xFF));
  EXPECT_EQ(dataCommand(0x03, 0, block).data, (Bytes{0, 0}));
  EXPECT_EQ(flashAt(0x50000, 16384), block);
}

class SmallRing : public StubCommands {
 protected:
  SmallRing()
      : StubCommands([] {
          VirtualEsp32Options o;
          o.stubRxBufferSize = 4096;
          return o;
        }()) {}
};

TEST_F(SmallRing, MoreThanTheRingHoldsDuringAWriteOverflowsIt) {
  fast();
  fill(0x60000, 0x70000, 0x00);
  command(0x02, words({65536, 4, 16384, 0x60000}));
  Bytes block = imageBytes(16384, 4);
  sendBlockAndWait(0x03, 0, block);
  // 16 KiB arrive during block 0's 195 ms of erasing and programming: the ring holds 4 KiB.
  sendBlockAndWait(0x03, 1, block, {1, 0xC9});
  sendBlockAndWait(0x03, 1, block);
  EXPECT_EQ(command(0x04, words({1})).data, (Bytes{0, 0}));
  EXPECT_EQ(flashAt(0x64000, 16384), block);
}

TEST_F(StubCommands, AWritePastTheChipsEndFailsOnTheNextAnswer) {
  // Inside the stub's 16 MiB bound, past the 4 MiB chip: the block is answered, then the flash
  // refuses it.
  ASSERT_EQ(command(0x02, words({4096, 1, 4096, 0xF00000})).data, (Bytes{0, 0}));
  EXPECT_EQ(dataCommand(0x03, 0, Bytes(4096, 0x12)).data, (Bytes{0, 0}));
  EXPECT_EQ(command(0x04, words({1})).data, (Bytes{1, 0xC4}));
}

class BigFlash : public StubCommands {
 protected:
  BigFlash() : StubCommands(withFlash(16u << 20)) {}
};

TEST_F(BigFlash, IsWrittenAndReadAt15MiBAndErasesInProportion) {
  EXPECT_EQ(board.flash().size(), 16u << 20);
  Bytes data = imageBytes(4096, 2);
  ASSERT_EQ(command(0x02, words({4096, 1, 4096, 0xF00000})).data, (Bytes{0, 0}));
  EXPECT_EQ(dataCommand(0x03, 0, data).data, (Bytes{0, 0}));
  EXPECT_EQ(command(0x04, words({1})).data, (Bytes{0, 0}));
  auto digest = flintmoor::md5(data);
  EXPECT_EQ(command(0x13, words({0xF00000, 4096, 0, 0})).data,
            cat(Bytes(digest.begin(), digest.end()), {0, 0}));
  int64_t start = clock.nowUs();
  EXPECT_EQ(command(0xD0, {}, 0, 60'000).data, (Bytes{0, 0}));
  EXPECT_GE(clock.nowUs() - start, 4 * 8'000'000) << "four times the 4 MiB part's erase";
  EXPECT_LT(clock.nowUs() - start, 4 * 8'000'000 + 100'000);
}

// The flash's id through READ_REG and WRITE_REG on SPI1, as the tool reads it with either loader:
// the saved registers restored, W0's low three bytes returned.
class FlashId : public SimBench {
 protected:
  explicit FlashId(VirtualEsp32Options o = {}) : SimBench(o) {}
  uint32_t reg(uint32_t addr) { return command(0x0A, words({addr})).value; }
  void set(uint32_t addr, uint32_t value) { command(0x09, words({addr, value, 0xFFFFFFFF, 0})); }
  uint32_t readId() {
    command(0x0D, words({0, 0}));
    uint32_t user = reg(0x3FF4201C), user2 = reg(0x3FF42024), dlen = reg(0x3FF4202C),
             ctrl = reg(0x3FF42008);
    set(0x3FF42008, 0);
    set(0x3FF4201C, (user & 0x00FEFFFE) | 0x90000000);
    set(0x3FF42024, 0x7000009F);
    set(0x3FF4202C, 0x17);
    set(0x3FF42080, 0);
    set(0x3FF42000, 0x00040000);
    EXPECT_EQ(reg(0x3FF42000) & 0x00040000, 0u) << "the command is done";
    uint32_t w0 = reg(0x3FF42080);
    set(0x3FF4201C, user);
    set(0x3FF42024, user2);
    set(0x3FF4202C, dlen);
    set(0x3FF42008, ctrl);
    return w0;
  }
};

TEST_F(FlashId, ReadsTheSameIdThroughTheRomAndTheStub) {
  connect();
  uint32_t w0 = readId();
  EXPECT_EQ(w0 & 0xFFFFFF, 0x1640C8u) << "C8 40, capacity code 22 for 4 MiB";
  EXPECT_NE(w0 >> 24, 0u) << "the top byte is stale";
  startStub();
  EXPECT_EQ(readId() & 0xFFFFFF, 0x1640C8u);
  // Without the read phase nothing is read: W0 keeps what was written.
  set(0x3FF42080, 0x12345678);
  set(0x3FF4201C, 0x80000000);
  set(0x3FF42000, 0x00040000);
  EXPECT_EQ(reg(0x3FF42080), 0x12345678u);
}

TEST_F(FlashId, AbsentFlashReadsAllOnes) {
  board.addFault(parseSimFault("no-flash-id"));
  connect();
  EXPECT_EQ(readId() & 0xFFFFFF, 0xFFFFFFu);
}

class SixteenMiBId : public FlashId {
 protected:
  SixteenMiBId() : FlashId(withFlash(16u << 20)) {}
};

TEST_F(SixteenMiBId, CapacityCodeFollowsTheSize) {
  connect();
  EXPECT_EQ(readId() & 0xFFFFFF, 0x1840C8u);
}

class UnknownId : public FlashId {
 protected:
  UnknownId()
      : FlashId([] {
          VirtualEsp32Options o;
          o.flashJedecId = 0x3412AB;
          return o;
        }()) {}
};

TEST_F(UnknownId, AnsweredAsChosen) {
  connect();
  EXPECT_EQ(readId() & 0xFFFFFF, 0x3412ABu);
}

// The first byte of an answer reaches the port no sooner than the turnaround after the request.
class Turnaround : public SimBench {
 protected:
  explicit Turnaround(int64_t us)
      : SimBench([us] {
          VirtualEsp32Options o;
          o.timings.bridgeLatencyUs = us;
          return o;
        }()) {}
  int64_t firstByteAfterRequestUs() {
    port.purge();
    Bytes frame = requestFrame(0x0A, words({0x40001000}));
    int64_t lastByte = clock.nowUs() + lineUs(frame.size(), 115200);
    send(frame);
    EXPECT_GE(port.readByte(100), 0);
    int64_t took = clock.nowUs() - lastByte;
    drain();
    return took;
  }
};

struct DefaultTurnaround : Turnaround {
  DefaultTurnaround() : Turnaround(SimTimings{}.bridgeLatencyUs) {}
};
struct LongTurnaround : Turnaround {
  LongTurnaround() : Turnaround(16'000) {}
};
struct NoTurnaround : Turnaround {
  NoTurnaround() : Turnaround(0) {}
};

TEST_F(DefaultTurnaround, IsOneUsbFrameForBothLoaders) {
  EXPECT_EQ(SimTimings{}.bridgeLatencyUs, 1000);
  connect();
  int64_t rom = firstByteAfterRequestUs();
  EXPECT_GE(rom, 1000);
  EXPECT_LE(rom, 1000 + 200);
  startStub();
  int64_t stub = firstByteAfterRequestUs();
  EXPECT_GE(stub, 1000);
  EXPECT_LE(stub, 1000 + 200);
}

TEST_F(LongTurnaround, DelaysEveryAnswer) {
  connect();
  EXPECT_GE(firstByteAfterRequestUs(), 16'000);
}

TEST_F(NoTurnaround, LeavesOnlyTheChipsOwnLatency) {
  connect();
  EXPECT_LE(firstByteAfterRequestUs(), 300);
}

}  // namespace
}  // namespace flintmoor::simtest
