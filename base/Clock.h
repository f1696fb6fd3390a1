// Time for the whole system: every wait goes through a Clock. SteadyClock is the wall clock;
// VirtualClock is a scheduler of instants that tests and the virtual chip drive, optionally paced
// by the wall clock (real-time mode) so the GUI and demos can run against the virtual chip.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace flintmoor {

class Clock {
 public:
  virtual ~Clock() = default;
  // Microseconds since an arbitrary, fixed origin; never goes backwards.
  virtual int64_t nowUs() const = 0;
  // Blocks (or advances virtual time) for `us` microseconds; negative counts as 0.
  virtual void sleepUs(int64_t us) = 0;

  int64_t nowMs() const { return nowUs() / 1000; }
  void sleepMs(int64_t ms) { sleepUs(ms * 1000); }
};

class SteadyClock final : public Clock {
 public:
  int64_t nowUs() const override;
  void sleepUs(int64_t us) override;
};

// Virtual time with scheduled tasks. sleepUs/advanceTo run every task that falls due, in order of
// its instant (ties in order of scheduling), with nowUs() equal to the task's instant while it runs.
// Tasks may schedule further tasks. In real-time mode every advance also waits on the wall clock
// until the virtual instant is reached, and virtual time never lags behind the wall clock.
class VirtualClock : public Clock {
 public:
  using TaskId = uint64_t;

  explicit VirtualClock(int64_t startUs = 0);

  int64_t nowUs() const override;
  void sleepUs(int64_t us) override;

  TaskId schedule(int64_t atUs, std::function<void()> task);
  TaskId scheduleIn(int64_t delayUs, std::function<void()> task) {
    return schedule(nowUs() + delayUs, std::move(task));
  }
  // Returns false when the task has already run or was cancelled.
  bool cancel(TaskId id);
  // Runs due tasks and moves time to `atUs` (never backwards).
  void advanceTo(int64_t atUs);
  // Instant of the earliest pending task, or INT64_MAX when none.
  int64_t nextTaskUs() const;

  void setRealTime(bool on);
  bool realTime() const { return realTime_; }

 private:
  void catchUpWithWall() const;
  void waitWallUntil(int64_t atUs) const;

  mutable int64_t now_;
  TaskId nextId_ = 1;
  std::map<std::pair<int64_t, TaskId>, std::function<void()>> tasks_;
  bool realTime_ = false;
  int64_t wallOriginUs_ = 0;  // steady time minus virtual time, fixed when real time starts
};

}  // namespace flintmoor
