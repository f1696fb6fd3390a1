// The speed every front end shows: what crossed the line over the time since the transfer began.
#include <gtest/gtest.h>

#include "job/JobView.h"

namespace flintmoor {
namespace {

JobEvent at(JobEvent::Kind kind, uint32_t done) {
  JobEvent e{.kind = kind, .text = {}, .file = "app.bin"};
  e.size = 0x30000;
  e.done = done;
  return e;
}

TEST(TransferRate, CountsOnlyTheBytesSentAndRestartsWithEachTransfer) {
  using K = JobEvent::Kind;
  TransferRate rate;
  EXPECT_EQ(rate.kibPerSecond(), 0.0);
  rate.onEvent(at(K::kImageBegin, 0), 1'000'000);
  rate.onEvent(at(K::kImageProgress, 0x10000), 2'000'000);
  EXPECT_DOUBLE_EQ(rate.kibPerSecond(), 64.0);

  // 128 KiB the chip already held cost no time and are no speed.
  rate.onEvent(at(K::kImageBegin, 0), 10'000'000);
  rate.onEvent(at(K::kImageSkip, 0x20000), 10'000'000);
  rate.onEvent(at(K::kImageProgress, 0x28000), 10'500'000);
  EXPECT_DOUBLE_EQ(rate.kibPerSecond(), 64.0);

  // A read starts afresh; no progress yet shows no speed.
  rate.onEvent(at(K::kReadBegin, 0), 20'000'000);
  EXPECT_EQ(rate.kibPerSecond(), 0.0);
  rate.onEvent(at(K::kReadProgress, 0x400), 22'000'000);
  EXPECT_DOUBLE_EQ(rate.kibPerSecond(), 0.5);
}

}  // namespace
}  // namespace flintmoor
