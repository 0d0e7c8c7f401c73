// The run of one job on several units at once: each unit has a thread of its own with its own
// event loop, session (port, reply buffer, log) and job, so that a unit whose port blocks, falls
// silent or is unplugged never holds the others. Everything the runner reports reaches the
// thread that made it (the main thread) by queued calls.
#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/jobs.h"

namespace history {
class Journal;
}

namespace cli {

inline constexpr std::string_view kInterrupted = "interrupted";
// A unit chosen for the run whose job had not started when the run was interrupted.
inline constexpr std::string_view kNotStarted = "not started: the run was interrupted";
// A unit that is listed but cannot be opened.
std::string BusyMessage(const std::string &serial);

struct UnitResult {
  std::string serial;
  std::string job;
  bool ok = false;
  std::string message;
  double seconds = 0;
  bool interrupted = false;
  std::string id{};  // the unit's history record, empty for none
};

class Runner {
 public:
  // `serials` in the order to report them; `oneAfterAnother` runs the units in turn (the
  // recording, which has one sound output), the others run all at once.
  // Each unit's job has a record in `journal` (none without it) from its start.
  Runner(JobSpec spec, std::vector<std::string> serials, bool oneAfterAnother = false,
         history::Journal *journal = nullptr);
  ~Runner();
  Runner(const Runner &) = delete;
  Runner &operator=(const Runner &) = delete;

  // A unit that is known to have failed before it starts ("USB device X not connected"); it is
  // not run.
  void Fail(std::size_t index, const std::string &message);

  // Called on the main thread.
  std::function<void(std::size_t index, const Progress &)> Progressed;
  std::function<void(std::size_t index, const UnitResult &)> Ended;
  std::function<void()> Finished;  // every unit has its result

  void Start();
  // Stops every job where it stands: RTS set, logs closed, each unfinished unit interrupted.
  void Interrupt();

  const std::vector<UnitResult> &Results() const { return results_; }
  bool AllOk() const;

 private:
  struct Unit;
  void StartUnit(std::size_t index);
  void UnitEnded(std::size_t index, UnitResult result);
  void StartNext();

  JobSpec spec_;
  bool oneAfterAnother_;
  history::Journal *journal_;
  std::vector<UnitResult> results_;
  std::vector<std::unique_ptr<Unit>> units_;
  QObject context_;  // the main thread's end of the queued calls
  std::size_t ended_ = 0;
  std::atomic<bool> interrupted_ = false;
};

}  // namespace cli
