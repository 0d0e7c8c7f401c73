#include "sim/recording_sound.h"

#include <algorithm>
#include <thread>

namespace sim {

namespace {
long Milliseconds(Time span) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(span).count());
}
}  // namespace

RecordingSounds::RecordingSounds(const SoundCapture &capture, std::string file, const Clock &clock)
    : capture_(capture), file_(std::move(file)), clock_(clock) {}

std::vector<std::string> RecordingSounds::Collect(const std::vector<Unit *> &units, bool final) {
  for (Unit *unit : units) {
    if (unit == nullptr) continue;
    const std::vector<Recording> &recordings = unit->GetRecord().recordings;
    std::size_t &seen = seen_[unit];
    if (seen > recordings.size()) seen = 0;  // the record was cleared
    while (seen < recordings.size()) {
      const Recording &r = recordings[seen];
      if (!r.stop && !final) break;
      jobs_.push_back({unit, seen, r.start, r.stop.value_or(clock_.Now()), r.stop.has_value()});
      ++seen;
    }
  }
  std::vector<std::string> report;
  auto ready = [&](const Job &job) {
    const std::optional<Time> until = capture_.CapturedUntil();
    return (until && *until >= job.stop) || clock_.Now() >= job.stop + kGrace;
  };
  if (final) {
    // At the end the sound still on its way is waited for, a little.
    const auto deadline = std::chrono::steady_clock::now() + kGrace;
    while (std::chrono::steady_clock::now() < deadline &&
           !std::all_of(jobs_.begin(), jobs_.end(), ready))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if (!final && !ready(*it)) {
      ++it;
      continue;
    }
    report.push_back(Write(*it));
    it = jobs_.erase(it);
  }
  return report;
}

std::string RecordingSounds::Write(const Job &job) {
  const std::string name = NumberedFileName(file_, written_ + 1);
  const Sound sound = capture_.Cut(job.start, job.stop);
  std::string error;
  const std::string serial = job.unit->Serial();
  if (!WriteWav(name, sound, &error))
    return serial + " record: cannot write " + name + ": " + error;
  ++written_;
  job.unit->SetRecordingSound(job.index, name);
  return serial + " record: " + std::to_string(Milliseconds(job.stop - job.start)) +
         " ms of sound kept in " + name + (job.stopped ? "" : " (no stop signal came)");
}

}  // namespace sim
