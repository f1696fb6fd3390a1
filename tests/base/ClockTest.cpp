// The virtual clock: sleeping advances time at once and runs scheduled work in order.
#include <gtest/gtest.h>

#include <vector>

#include "base/Clock.h"
#include "base/Error.h"

using namespace flintmoor;

TEST(VirtualClock, SleepAdvancesTimeAtOnce) {
  VirtualClock clock;
  clock.sleepMs(1500);
  EXPECT_EQ(clock.nowMs(), 1500);
  clock.sleepUs(-5);
  EXPECT_EQ(clock.nowUs(), 1'500'000);
}

TEST(VirtualClock, RunsDueTasksInInstantOrderWithTheirOwnTime) {
  VirtualClock clock;
  std::vector<std::pair<int, int64_t>> ran;
  clock.schedule(3000, [&] { ran.push_back({3, clock.nowUs()}); });
  clock.schedule(1000, [&] {
    ran.push_back({1, clock.nowUs()});
    clock.scheduleIn(500, [&] { ran.push_back({2, clock.nowUs()}); });
  });
  clock.schedule(9000, [&] { ran.push_back({9, clock.nowUs()}); });
  clock.advanceTo(5000);
  ASSERT_EQ(ran.size(), 3u);
  EXPECT_EQ(ran[0], (std::pair<int, int64_t>{1, 1000}));
  EXPECT_EQ(ran[1], (std::pair<int, int64_t>{2, 1500}));
  EXPECT_EQ(ran[2], (std::pair<int, int64_t>{3, 3000}));
  EXPECT_EQ(clock.nowUs(), 5000);
  EXPECT_EQ(clock.nextTaskUs(), 9000);
}

TEST(VirtualClock, CancelledTaskNeverRunsAndTimeNeverGoesBack) {
  VirtualClock clock(100);
  bool ran = false;
  auto id = clock.schedule(200, [&] { ran = true; });
  EXPECT_TRUE(clock.cancel(id));
  EXPECT_FALSE(clock.cancel(id));
  clock.advanceTo(50);
  clock.advanceTo(300);
  EXPECT_FALSE(ran);
  EXPECT_EQ(clock.nowUs(), 300);
}

TEST(EComPort, MessageCarriesTheOsCodeUnlessZero) {
  EXPECT_STREQ(EComPort("Unable to open com port", 5).what(), "Unable to open com port (Error: 5)");
  EXPECT_STREQ(EComPort("Port Not Open", 0).what(), "Port Not Open");
}
