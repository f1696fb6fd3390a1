// Steady and virtual clocks.
#include "base/Clock.h"

#include <chrono>
#include <climits>
#include <thread>

namespace flintmoor {

namespace {
int64_t steadyNowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

int64_t SteadyClock::nowUs() const { return steadyNowUs(); }

void SteadyClock::sleepUs(int64_t us) {
  if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

VirtualClock::VirtualClock(int64_t startUs) : now_(startUs) {}

int64_t VirtualClock::nowUs() const {
  catchUpWithWall();
  return now_;
}

void VirtualClock::sleepUs(int64_t us) { advanceTo(nowUs() + (us > 0 ? us : 0)); }

VirtualClock::TaskId VirtualClock::schedule(int64_t atUs, std::function<void()> task) {
  TaskId id = nextId_++;
  tasks_.emplace(std::make_pair(atUs, id), std::move(task));
  return id;
}

bool VirtualClock::cancel(TaskId id) {
  for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
    if (it->first.second == id) {
      tasks_.erase(it);
      return true;
    }
  }
  return false;
}

void VirtualClock::advanceTo(int64_t atUs) {
  catchUpWithWall();
  while (!tasks_.empty() && tasks_.begin()->first.first <= atUs) {
    auto it = tasks_.begin();
    int64_t when = it->first.first;
    auto task = std::move(it->second);
    tasks_.erase(it);
    waitWallUntil(when);
    if (when > now_) now_ = when;
    task();
  }
  waitWallUntil(atUs);
  if (atUs > now_) now_ = atUs;
}

int64_t VirtualClock::nextTaskUs() const {
  return tasks_.empty() ? INT64_MAX : tasks_.begin()->first.first;
}

void VirtualClock::setRealTime(bool on) {
  realTime_ = on;
  if (on) wallOriginUs_ = steadyNowUs() - now_;
}

void VirtualClock::catchUpWithWall() const {
  if (!realTime_) return;
  int64_t wall = steadyNowUs() - wallOriginUs_;
  if (wall > now_) now_ = wall;
}

void VirtualClock::waitWallUntil(int64_t atUs) const {
  if (!realTime_) return;
  int64_t wait = atUs - (steadyNowUs() - wallOriginUs_);
  if (wait > 0) std::this_thread::sleep_for(std::chrono::microseconds(wait));
}

}  // namespace flintmoor
