// The history of one process: the records of its jobs go to one writer thread, which opens the
// history file, marks this station's records of processes that are gone as interrupted, and
// commits each record as it comes (within 100 ms). No job and no window waits on it: a record is
// queued and the caller goes on. A history that cannot be opened or written leaves every job as it
// was; State() says why.
#pragma once

#include <QJsonObject>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "history/job_record.h"
#include "history/server_address.h"

namespace history {

// The message of a record whose process stopped while the job ran.
inline constexpr char kStoppedMessage[] = "the program stopped during the job";

// The current UTC time in the records' form, "2026-12-08T07:15:02.123Z".
QString NowText();
// A new record id: a lower-case UUID of 36 characters.
QString NewId();
// The bench's name: `station`, or the host name when it is empty.
QString StationName(const QString &station);
// The effective user's name.
QString OperatorName();
// "tolvane 5.00.00.04": the program's name and the version built into this library.
QString ProgramText(const QString &program);

class ServerSender;

// Whether the history is kept: in its file, not at all ([History] Location=none), or not, for a
// reason.
enum class HistoryState { Kept, Off, NotKept };
// Its one text form: "kept", "off", "not kept: <reason>".
QString StateText(HistoryState state, const QString &reason = {});

class Journal {
 public:
  // `location`: the history file; empty for the default one, "none" for no history.
  Journal(const QString &program, const QString &location, const QString &station);
  // Commits what is queued, then ends the writer.
  ~Journal();
  Journal(const Journal &) = delete;
  Journal &operator=(const Journal &) = delete;

  // "kept", "off", or "not kept: <reason>". "kept" until the writer has found otherwise.
  QString State() const;
  HistoryState StateValue() const;
  // Called on the writer or the sender thread each time the state of the file or of the server
  // changes, with the file's state; set before Start.
  std::function<void(const QString &state)> StateChanged;
  // The workshop's server (VERT.ini's [History] Server, --server); empty for none; set before
  // Start. Once the file is open, a sender on a thread of its own takes the file's waiting
  // records there: at once, after each record written, and every `retry`. A URL that is refused
  // gives its reason as the server's state.
  void SetServer(const QString &url, std::chrono::milliseconds retry = std::chrono::seconds(30));
  bool HasServer() const { return hasServer_; }
  // kSharedState, the reason the records wait, or empty before the sender's first round ends.
  QString ServerState() const;
  // How many records waited for the server at the end of the sender's last round.
  qint64 Waiting() const;
  // After Flush, wakes the sender and waits at most `timeout` for its round: whether nothing
  // waits for the server any more.
  bool FlushServer(std::chrono::milliseconds timeout);
  // Starts the writer, which opens the file.
  void Start();
  // Waits until everything queued so far has been committed or given up, and the file has been
  // opened; false when the history is not kept.
  bool Flush();

  const QString &FileName() const { return fileName_; }
  bool Off() const { return fileName_.isEmpty(); }

  // A job's record from its start: outcome `running`, queued at once.
  JobRecord Begin(const QString &unit, const QString &job, const QJsonObject &details);
  // Its end: outcome, message and the details known at the end (merged into those of the
  // start), queued at once.
  void End(JobRecord &record, const QString &outcome, const QString &message,
           const QJsonObject &details = {});

 private:
  void Queue(const JobRecord &record);
  void Run();
  void SetState(HistoryState state, const QString &reason = {});
  void StartSender();
  class Outbox;

  QString program_;
  QString fileName_;
  QString station_;
  QString operator_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<JobRecord> queue_;
  quint64 queued_ = 0, handled_ = 0;
  bool opened_ = false;
  bool stopping_ = false;
  HistoryState state_ = HistoryState::Kept;
  QString reason_;  // why it is not kept
  std::thread writer_;

  bool hasServer_ = false;
  std::optional<ServerAddress> address_;
  std::chrono::milliseconds retry_{30000};
  QString serverState_;
  qint64 waiting_ = 0;
  // Made on the writer thread once the file is open; the sender reads the file through a
  // connection of its own, on its own thread.
  std::unique_ptr<Outbox> outbox_;
  std::unique_ptr<ServerSender> sender_;
};

// A job's record as a window or the command line holds it: Start and End, nothing when there is
// no journal. End after End does nothing.
class JobEntry {
 public:
  void Start(Journal *journal, const QString &unit, JobKind job, const QJsonObject &details);
  void End(Outcome outcome, const QString &message, const QJsonObject &details = {});
  void End(const JobEnd &end) { End(end.outcome, end.message, end.details); }
  bool Active() const { return journal_ != nullptr; }
  const QString &Id() const { return record_.id; }

 private:
  Journal *journal_ = nullptr;
  JobRecord record_;
};

}  // namespace history
