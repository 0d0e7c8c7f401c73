// The history of one process: the records of its jobs go to one writer thread, which opens the
// history file, marks this station's records of processes that are gone as interrupted, and
// commits each record as it comes (within 100 ms). No job and no window waits on it: a record is
// queued and the caller goes on. A history that cannot be opened or written leaves every job as it
// was; State() says why. A record that could not be committed (a full disk, a lock held long) is
// kept and tried again until the process ends; Finish says what could not be kept.
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
#include <vector>

#include "history/job_record.h"
#include "history/server_address.h"

namespace history {

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

// How long the end of a program waits for its records to reach the file.
inline constexpr std::chrono::seconds kEndWait{5};

class Journal {
 public:
  // `location`: the history file; empty for the default one, "none" for no history.
  Journal(const QString &program, const QString &location, const QString &station);
  // Finish with kEndWait, saying so on standard error; then the sender stops.
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
  // records there: at once, after each record written, and every `retry`. The URL is read by the
  // writer once started (libpq is loaded then, not before): one that is refused gives its reason
  // as the server's state.
  // `unaddressed`: the sender also takes the records made while no server was set (the server
  // is VERT.ini's).
  void SetServer(const QString &url, std::chrono::milliseconds retry = std::chrono::seconds(30),
                 bool unaddressed = true);
  bool HasServer() const { return hasServer_; }
  // kSharedState, the reason the records wait, or empty before the sender's first round ends.
  QString ServerState() const;
  // How many records waited for the server at the end of the sender's last round.
  qint64 Waiting() const;
  // After Flush, wakes the sender and waits at most `timeout` for its round, or until `stop`
  // says so (polled): whether nothing waits for the server any more.
  bool FlushServer(std::chrono::milliseconds timeout, const std::function<bool()> &stop = {});
  // Starts the writer, which opens the file.
  void Start();
  // Waits until everything queued so far has been tried once, and the file has been opened;
  // false when the history is not kept.
  bool Flush();
  // Ends the writer: waits at most `timeout` for the records that wait to be committed, telling
  // `say` why it waits; then what could not be kept, also told to `say`. Later records are not
  // written.
  std::vector<JobRecord> Finish(std::chrono::milliseconds timeout,
                                const std::function<void(const QString &line)> &say);

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
  void SetState(const QString &state);
  void ReadServerUrl();
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
  quint64 queued_ = 0;  // records queued so far
  quint64 tried_ = 0;   // of them, tried at least once
  quint64 kept_ = 0;    // of them, committed
  bool opened_ = false;
  bool stopping_ = false;
  bool finishing_ = false;  // Finish waits: the records are tried again at once and often
  bool hopeless_ = false;   // the file is refused or damaged: no record will be committed
  QString failure_;         // why records wait, while they do
  std::vector<JobRecord> lost_;
  QString state_;
  std::thread writer_;

  bool hasServer_ = false;
  bool unaddressed_ = true;
  QString serverUrl_;
  std::optional<ServerAddress> address_;  // read from serverUrl_ by the writer
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
