#include "history/journal.h"

#include <pwd.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QSysInfo>
#include <QUuid>
#include <chrono>
#include <vector>

#include "history/server_sender.h"
#include "history/store.h"

namespace history {

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
    : program_(ProgramText(program)), station_(StationName(station)), operator_(OperatorName()) {
  const QString where = location.trimmed();
  if (where.compare("none", Qt::CaseInsensitive) == 0) {
    state_ = HistoryState::Off;
    return;
  }
  fileName_ = where.isEmpty() ? DefaultLocation() : where;
}

// The bench's file as the sender's outbox: a connection of the sender's own, opened on its
// thread when a round first asks and closed at the round's end.
class Journal::Outbox : public ServerOutbox {
 public:
  explicit Outbox(QString fileName) : fileName_(std::move(fileName)) {}
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
    if (store_->Open(fileName_, Store::Mode::Write)) return true;
    store_.reset();
    return false;
  }
  QString fileName_;
  std::unique_ptr<Store> store_;
};

Journal::~Journal() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  // The sender stops at once; what the server has not confirmed waits in the file.
  sender_.reset();
  outbox_.reset();
}

void Journal::SetServer(const QString &url, std::chrono::milliseconds retry) {
  if (url.trimmed().isEmpty()) return;
  hasServer_ = true;
  retry_ = retry;
  QString error;
  address_ = ParseServerUrl(url.trimmed(), &error);
  if (!address_) serverState_ = error;
}

QString Journal::ServerState() const {
  std::lock_guard lock(mutex_);
  return serverState_;
}

qint64 Journal::Waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

bool Journal::FlushServer(std::chrono::milliseconds timeout) {
  Flush();
  return sender_ && sender_->Flush(timeout);
}

void Journal::StartSender() {
  outbox_ = std::make_unique<Outbox>(fileName_);
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
  return StateText(state_, reason_);
}

HistoryState Journal::StateValue() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void Journal::SetState(HistoryState state, const QString &reason) {
  {
    std::lock_guard lock(mutex_);
    if (state_ == state && reason_ == reason) return;
    state_ = state;
    reason_ = reason;
  }
  if (StateChanged) StateChanged(StateText(state, reason));
}

void Journal::Start() {
  if (Off() || writer_.joinable()) return;
  writer_ = std::thread([this] { Run(); });
}

bool Journal::Flush() {
  std::unique_lock lock(mutex_);
  if (!Off() && writer_.joinable())
    done_.wait(lock, [this] { return opened_ && handled_ == queued_; });
  return state_ == HistoryState::Kept;
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
  Store store;
  bool kept = store.Open(fileName_, Store::Mode::Write);
  if (kept && store.InterruptOrphans(station_) < 0) kept = false;
  SetState(kept ? HistoryState::Kept : HistoryState::NotKept, kept ? QString() : store.Error());
  if (kept && address_) StartSender();
  {
    std::lock_guard lock(mutex_);
    opened_ = true;
  }
  done_.notify_all();
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty() && stopping_) return;
    std::vector<JobRecord> batch(queue_.begin(), queue_.end());
    queue_.clear();
    lock.unlock();
    // A record that cannot be written is given up; the next ones are tried again.
    if (kept) {
      bool written = store.Write(batch);
      // A moment's lock that SQLite did not wait for is waited for here.
      for (int i = 0; !written && i < 50 && store.Error().contains("locked"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        written = store.Write(batch);
      }
      SetState(written ? HistoryState::Kept : HistoryState::NotKept,
               written ? QString() : store.Error());
      if (written && sender_) sender_->Wake();
    }
    lock.lock();
    handled_ += batch.size();
    done_.notify_all();
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
