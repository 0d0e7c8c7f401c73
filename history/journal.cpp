#include "history/journal.h"

#include <pwd.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QSysInfo>
#include <QUuid>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "history/server_sender.h"
#include "history/store.h"

namespace history {

namespace {

constexpr int kWriterBusyTimeoutMs = 1000;
constexpr std::chrono::milliseconds kFirstRetry{100}, kLastRetry{2000};

// The records not committed yet, oldest first, each job once: a newer record of a job replaces
// the older one where it stood, so that a job's start and end in one burst are written as its end
// alone.
struct Pending {
  std::vector<JobRecord> records;
  std::unordered_map<QString, std::size_t> at;  // a job's place in `records`
  quint64 queued = 0;                           // the queued records that they stand for

  void Take(std::deque<JobRecord> &queue) {
    for (JobRecord &record : queue) {
      const auto [place, added] = at.try_emplace(record.id, records.size());
      if (added)
        records.push_back(std::move(record));
      else
        records[place->second] = std::move(record);
    }
    queued += queue.size();
    queue.clear();
  }
  void Clear() {
    records.clear();
    at.clear();
    queued = 0;
  }
};

}  // namespace

QString NowText() {
  return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

QString NewId() {
  return QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
}

QString StationName(const QString &station) {
  const QString name = station.trimmed();
  return name.isEmpty() ? QSysInfo::machineHostName() : name;
}

QString OperatorName() {
  if (const passwd *entry = getpwuid(geteuid())) return QString::fromLocal8Bit(entry->pw_name);
  return QString::number(geteuid());
}

QString ProgramText(const QString &program) {
  return program + " " TOLVANE_VERSION_TEXT;
}

Journal::Journal(const QString &program, const QString &location, const QString &station)
    : program_(ProgramText(program)),
      station_(StationName(station)),
      operator_(OperatorName()),
      state_(StateText(HistoryState::Kept)) {
  const QString where = location.trimmed();
  if (where.compare("none", Qt::CaseInsensitive) == 0) {
    state_ = StateText(HistoryState::Off);
    return;
  }
  fileName_ = where.isEmpty() ? DefaultLocation() : where;
}

// The bench's file as the sender's outbox: a connection of the sender's own, opened on its
// thread when a round first asks and closed at the round's end.
class Journal::Outbox : public ServerOutbox {
 public:
  Outbox(QString fileName, QString server, bool unaddressed)
      : fileName_(std::move(fileName)), server_(std::move(server)), unaddressed_(unaddressed) {}
  std::vector<WaitingRecord> WaitingForServer(int limit) override {
    return Open() ? store_->WaitingForServer(limit) : std::vector<WaitingRecord>{};
  }
  void ConfirmedByServer(const std::vector<std::pair<QString, qint64>> &records) override {
    if (Open()) store_->ConfirmedByServer(records);
  }
  qint64 WaitingCount() override { return Open() ? store_->WaitingCount() : 0; }
  void Close() { store_.reset(); }

 private:
  bool Open() {
    if (store_) return true;
    store_ = std::make_unique<Store>();
    store_->SetServer(server_, unaddressed_);
    if (store_->Open(fileName_, Store::Mode::Write)) return true;
    store_.reset();
    return false;
  }
  QString fileName_, server_;
  bool unaddressed_;
  std::unique_ptr<Store> store_;
};

Journal::~Journal() {
  Finish(kEndWait, [this](const QString &line) {
    const QByteArray text = (program_.section(' ', 0, 0) + ": " + line + "\n").toLocal8Bit();
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
  });
  // The sender stops at once; what the server has not confirmed waits in the file.
  sender_.reset();
  outbox_.reset();
}

void Journal::SetServer(const QString &url, std::chrono::milliseconds retry, bool unaddressed) {
  if (url.trimmed().isEmpty()) return;
  hasServer_ = true;
  retry_ = retry;
  unaddressed_ = unaddressed;
  serverUrl_ = url.trimmed();
}

void Journal::ReadServerUrl() {
  if (!hasServer_) return;
  QString error;
  address_ = ParseServerUrl(serverUrl_, &error);
  if (address_) return;
  {
    std::lock_guard lock(mutex_);
    serverState_ = error;
  }
  if (StateChanged) StateChanged(State());
}

QString Journal::ServerState() const {
  std::lock_guard lock(mutex_);
  return serverState_;
}

qint64 Journal::Waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

bool Journal::FlushServer(std::chrono::milliseconds timeout, const std::function<bool()> &stop) {
  Flush();
  return sender_ && sender_->Flush(timeout, stop);
}

void Journal::StartSender() {
  outbox_ = std::make_unique<Outbox>(fileName_, address_->key, unaddressed_);
  ServerSender::Timing timing;
  timing.retry = retry_;
  sender_ = std::make_unique<ServerSender>(*address_, *outbox_, timing);
  sender_->RoundEnded = [this](const QString &state) {
    const qint64 waiting = outbox_->WaitingCount();
    outbox_->Close();
    bool changed = false;
    {
      std::lock_guard lock(mutex_);
      changed = state != serverState_ || waiting != waiting_;
      serverState_ = state;
      waiting_ = waiting;
    }
    if (changed && StateChanged) StateChanged(State());
  };
  sender_->Start();
}

QString StateText(HistoryState state, const QString &reason) {
  switch (state) {
    case HistoryState::Kept:
      return "kept";
    case HistoryState::Off:
      return "off";
    case HistoryState::NotKept:
      break;
  }
  return "not kept: " + reason;
}

QString Journal::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

HistoryState Journal::StateValue() const {
  std::lock_guard lock(mutex_);
  if (state_ == StateText(HistoryState::Kept)) return HistoryState::Kept;
  if (state_ == StateText(HistoryState::Off)) return HistoryState::Off;
  return HistoryState::NotKept;
}

void Journal::SetState(const QString &state) {
  {
    std::lock_guard lock(mutex_);
    if (state_ == state) return;
    state_ = state;
  }
  if (StateChanged) StateChanged(state);
}

void Journal::Start() {
  if (Off() || writer_.joinable()) return;
  writer_ = std::thread([this] { Run(); });
}

bool Journal::Flush() {
  std::unique_lock lock(mutex_);
  if (!Off() && writer_.joinable())
    done_.wait(lock, [this] { return (opened_ && tried_ == queued_) || lost_.size(); });
  return state_ == StateText(HistoryState::Kept);
}

std::vector<JobRecord> Journal::Finish(std::chrono::milliseconds timeout,
                                       const std::function<void(const QString &line)> &say) {
  if (Off() || !writer_.joinable()) return {};
  const auto until = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  finishing_ = true;
  wake_.notify_all();
  bool said = false;
  while (!(opened_ && kept_ == queued_) && !hopeless_) {
    if (!said && !failure_.isEmpty()) {
      said = true;
      const QString why = failure_;
      lock.unlock();
      say(QString("history: waiting at most %1 s for the history file (%2)")
              .arg(std::chrono::duration_cast<std::chrono::seconds>(timeout).count())
              .arg(why));
      lock.lock();
      continue;
    }
    if (done_.wait_until(lock, until) == std::cv_status::timeout) break;
  }
  stopping_ = true;
  lock.unlock();
  wake_.notify_all();
  writer_.join();
  lock.lock();
  if (!lost_.empty()) {
    QString lines = QString("history: %1 records could not be kept:").arg(lost_.size());
    for (const JobRecord &r : lost_)
      lines += QString("\n  %1 %2 %3 %4").arg(r.id, r.unit, r.job, r.outcome);
    lock.unlock();
    say(lines);
    lock.lock();
  }
  return lost_;
}

JobRecord Journal::Begin(const QString &unit, const QString &job, const QJsonObject &details) {
  JobRecord record{NewId(),
                   unit,
                   job,
                   NowText(),
                   std::nullopt,
                   TextOf(Outcome::Running),
                   QString(),
                   station_,
                   operator_,
                   program_,
                   QJsonDocument(details).toJson(QJsonDocument::Compact)};
  Queue(record);
  return record;
}

void Journal::End(JobRecord &record, const QString &outcome, const QString &message,
                  const QJsonObject &details) {
  record.ended = NowText();
  record.outcome = outcome;
  record.message = message;
  if (!details.isEmpty()) {
    QJsonObject merged = QJsonDocument::fromJson(record.details).object();
    for (auto it = details.begin(); it != details.end(); ++it) merged.insert(it.key(), it.value());
    record.details = QJsonDocument(merged).toJson(QJsonDocument::Compact);
  }
  Queue(record);
}

void Journal::Queue(const JobRecord &record) {
  if (Off()) return;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(record);
    ++queued_;
  }
  wake_.notify_one();
}

void Journal::Run() {
  using Clock = std::chrono::steady_clock;
  ReadServerUrl();
  Store store;
  // A lock held by another process is waited for in short steps, so that the end of the
  // program can say why it waits, and give up in time.
  store.SetBusyTimeout(kWriterBusyTimeoutMs);
  store.SetServer(address_ ? address_->key : QString(), unaddressed_);
  bool open = false, orphansDone = false, hopeless = false;
  Pending pending;
  auto retry = kFirstRetry;
  std::unique_lock lock(mutex_);
  for (;;) {
    const quint64 taken = queued_;
    pending.Take(queue_);
    lock.unlock();
    if (!open && !hopeless) {
      open = store.Open(fileName_, Store::Mode::Write);
      hopeless = !open && !store.Retriable();
      if (open && address_) StartSender();
    }
    if (open && !orphansDone) orphansDone = store.InterruptOrphans(station_) >= 0;
    const quint64 committed = pending.queued;
    bool written = open && orphansDone;
    if (written && !pending.records.empty()) written = store.Write(pending.records);
    if (open && !written && !store.Retriable()) hopeless = true;
    if (written && !pending.records.empty()) {
      pending.Clear();
      if (sender_) sender_->Wake();
    }
    SetState(written ? StateText(HistoryState::Kept)
                     : StateText(HistoryState::NotKept, store.Error()));
    lock.lock();
    opened_ = true;
    tried_ = taken;
    if (written) kept_ += committed;
    failure_ = written ? QString() : store.Error();
    hopeless_ = hopeless;
    done_.notify_all();
    if (stopping_) {
      lost_ = std::move(pending.records);
      lost_.insert(lost_.end(), queue_.begin(), queue_.end());
      return;
    }
    if (written || hopeless) {
      retry = kFirstRetry;
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    } else {
      // A full disk or a lock: the records are tried again, later each time, up to every 2 s;
      // every 0.1 s while the end of the program waits for them.
      const bool finishing = finishing_;
      wake_.wait_until(lock, Clock::now() + (finishing ? kFirstRetry : retry),
                       [&] { return stopping_ || finishing_ != finishing; });
      retry = std::min(retry * 2, kLastRetry);
    }
  }
}

void JobEntry::Start(Journal *journal, const QString &unit, JobKind job,
                     const QJsonObject &details) {
  End(Outcome::Interrupted, {});
  journal_ = journal;
  if (journal_) record_ = journal_->Begin(unit, TextOf(job), details);
}

void JobEntry::End(Outcome outcome, const QString &message, const QJsonObject &details) {
  if (!journal_) return;
  journal_->End(record_, TextOf(outcome), message, details);
  journal_ = nullptr;
}

}  // namespace history
