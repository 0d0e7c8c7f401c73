// The sound of the emulated units' recordings: each recording (from RTS cleared after "WAIT RTS"
// to RTS set again) is cut from the sound capture and kept as a WAV file, whose name goes into
// the unit's record beside the times of the two RTS changes.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/sound_capture.h"
#include "sim/unit.h"

namespace sim {

class RecordingSounds {
 public:
  // The capture must have the units' clock; recordings are written to `file`, then to the
  // numbered names of NumberedFileName.
  RecordingSounds(const SoundCapture &capture, std::string file, const Clock &clock);

  // The sound at the output arrives at the capture a little after it was played: a recording is
  // written once the capture holds its end, or this long after its end at the latest.
  static constexpr std::chrono::milliseconds kGrace{1000};

  // Looks at the units' records and writes the recordings that have ended and whose sound is in;
  // with `final`, also those still waiting for their sound and those that never got their stop
  // signal (cut up to now). Returns a line to report for each file written or not written.
  std::vector<std::string> Collect(const std::vector<Unit *> &units, bool final = false);
  // Recordings that have ended but are not written yet.
  bool Pending() const { return !jobs_.empty(); }
  int Written() const { return written_; }

 private:
  struct Job {
    Unit *unit;
    std::size_t index;
    Time start;
    Time stop;
    bool stopped;  // false: cut at the end of the program, no stop signal came
  };
  std::string Write(const Job &job);

  const SoundCapture &capture_;
  std::string file_;
  const Clock &clock_;
  std::map<const Unit *, std::size_t> seen_;  // recordings of each unit taken into jobs
  std::vector<Job> jobs_;
  int written_ = 0;
};

}  // namespace sim
