// The jobs of tolvane-cli on one unit, each over the exchange of its window: the settings write,
// the default command, the firmware download, the message recording and one command line. A job
// runs on its unit's thread, which runs an event loop, and drives its exchange with timers at its
// descriptor's tick (jobs/descriptor.h), as the window does. Every call into an exchange stands in
// jobs.cpp.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QJsonObject>

#include "console/send_reply.h"
#include "jobs/descriptor.h"
#include "session/user_prompt.h"

struct Session;

namespace cli {

// A unit that gave no reply in time.
inline constexpr std::string_view kNoReply = console::kNoReply;
// A download stopped after its start command: the unit waits in its loader.
inline constexpr std::string_view kInterruptedTransfer =
    "interrupted during the transfer: the unit stays in its loader until a download completes";

// The command line asks nothing: a question is answered Yes (running the command is the
// consent), and each text the window would show is kept; the last one is the job's message.
class KeptPrompt : public UserPrompt {
 public:
  void Inform(const std::string &text, const std::string &caption = {}) override;
  bool Ask(const std::string &question, const std::string &caption = {}) override;
  const std::vector<std::string> &Texts() const { return texts_; }
  std::string Last() const { return texts_.empty() ? std::string() : texts_.back(); }
  void Clear() { texts_.clear(); }

 private:
  std::vector<std::string> texts_;
};

using jobs::JobSpec;

// A job's progress: its state in words and, where it has one, its progress in percent.
struct Progress {
  std::string state;
  int percent = -1;
  bool operator==(const Progress &) const = default;
};

class UnitJob {
 public:
  virtual ~UnitJob() = default;
  // Starts the job on the session's open port. Progressed and Ended are called on the unit's
  // thread; Ended once, after which nothing more is sent.
  virtual void Begin() = 0;
  // Stops the job where it stands: nothing further is sent, its log is closed with what it
  // holds. Ended is not called.
  virtual void Interrupt() = 0;
  // What an interruption now leaves behind, told before Interrupt; empty: nothing but the
  // interruption itself.
  virtual std::string InterruptedMessage() const { return {}; }
  // The details of the job's history record known at its end (or where it stands).
  virtual QJsonObject EndDetails() const { return {}; }

  std::function<void(const Progress &)> Progressed;
  std::function<void(bool ok, const std::string &message)> Ended;
};

// The job of `spec.kind` on `session`.
std::unique_ptr<UnitJob> MakeJob(const JobSpec &spec, Session &session);

}  // namespace cli
