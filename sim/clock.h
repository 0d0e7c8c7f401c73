// Time for the emulated unit: a clock that the unit asks, so that tests decide what "now" is.
#pragma once

#include <chrono>

namespace sim {

// A point in time, counted from the clock's own start.
using Time = std::chrono::nanoseconds;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Time Now() const = 0;
};

// The machine's monotonic clock: for units served over the device link.
class SystemClock : public Clock {
 public:
  Time Now() const override {
    return std::chrono::duration_cast<Time>(std::chrono::steady_clock::now().time_since_epoch());
  }
};

// A clock that moves only when told to: for tests that step the unit.
class ManualClock : public Clock {
 public:
  Time Now() const override { return now_; }
  void Advance(Time by) { now_ += by; }
  void Set(Time to) { now_ = to; }

 private:
  Time now_{};
};

}  // namespace sim
