// Time for the emulated unit: a clock that the unit asks, so that tests decide what "now" is.
#pragma once

#include <chrono>
#include <optional>

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

// Another clock's time, except while an event that happened earlier is being handled: then the
// time of that event. A transport that hands the unit a byte some time after it arrived sets
// the byte's time, so that the unit's answer starts when the byte came, not when it was handled.
class EventClock : public Clock {
 public:
  explicit EventClock(const Clock &base) : base_(base) {}
  Time Now() const override { return at_ ? *at_ : base_.Now(); }
  void Pin(Time at) { at_ = at; }
  void Unpin() { at_.reset(); }

 private:
  const Clock &base_;
  std::optional<Time> at_;
};

}  // namespace sim
