#include "history/server_sender.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "history/server_connection.h"
#include "history/server_store.h"

namespace history {

namespace {

using Clock = std::chrono::steady_clock;

// A data error (class 22) or a refused constraint (class 23): the server refuses a record for
// what it holds, not because it is away.
bool RefusedForItsData(const QByteArray &sqlState) {
  return sqlState.startsWith("22") || sqlState.startsWith("23");
}

}  // namespace

ServerSender::ServerSender(ServerAddress address, ServerOutbox &outbox, Timing timing)
    : address_(std::move(address)),
      outbox_(outbox),
      timing_(timing),
      stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ServerSender::~ServerSender() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  const quint64 one = 1;
  if (stopFd_ >= 0) [[maybe_unused]]
    const auto n = write(stopFd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  if (stopFd_ >= 0) close(stopFd_);
}

void ServerSender::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void ServerSender::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
    ++wakes_;
  }
  changed_.notify_all();
}

QString ServerSender::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool ServerSender::Flush(std::chrono::milliseconds timeout, const std::function<bool()> &stop) {
  std::unique_lock lock(mutex_);
  woken_ = true;
  const quint64 wake = ++wakes_;
  changed_.notify_all();
  const auto until = Clock::now() + timeout;
  const auto ended = [&] { return finished_ >= wake || stopping_; };
  while (!ended() && Clock::now() < until && !(stop && stop()))
    changed_.wait_until(lock, std::min(until, Clock::now() + std::chrono::milliseconds(20)), ended);
  return finished_ >= wake && allSent_;
}

void ServerSender::Loop() {
  std::unique_ptr<ServerConnection> connection;
  std::unique_lock lock(mutex_);
  auto next = Clock::now();
  while (!stopping_) {
    changed_.wait_until(lock, next, [&] { return stopping_ || woken_; });
    if (stopping_) break;
    woken_ = false;
    const quint64 seen = wakes_;
    lock.unlock();
    bool allSent = false;
    const QString state = Round(connection, &allSent);
    if (RoundEnded) RoundEnded(state);
    lock.lock();
    if (stopping_) break;
    finished_ = seen;
    allSent_ = allSent;
    next = Clock::now() + timing_.retry;
    const bool stateChanged = state != state_;
    state_ = state;
    changed_.notify_all();
    if (stateChanged && StateChanged) {
      lock.unlock();
      StateChanged(state);
      lock.lock();
    }
  }
}

QString ServerSender::Round(std::unique_ptr<ServerConnection> &connection, bool *allSent) {
  // A connection kept from an earlier round may have broken meanwhile (the server restarted):
  // then once more on a new one.
  for (bool kept = connection != nullptr;; kept = false) {
    if (!connection) {
      QString error;
      connection = ServerConnection::Open(address_, stopFd_, &error);
      if (!connection) return error;
      if (const QString reason = CheckServerSchema(*connection); !reason.isEmpty()) {
        connection.reset();
        return reason;
      }
    }
    const QString failure = SendWaiting(*connection, outbox_, timing_.batch, allSent);
    if (failure.isEmpty()) return kSharedState;
    if (connection->Broken()) connection.reset();
    if (connection || !kept) return failure;
  }
}

QString SendWaiting(ServerConnection &connection, ServerOutbox &outbox, int batch, bool *allSent) {
  for (;;) {
    const std::vector<WaitingRecord> waiting = outbox.WaitingForServer(batch);
    if (waiting.empty()) {
      *allSent = true;
      return {};
    }
    std::vector<JobRecord> records;
    std::vector<std::pair<QString, qint64>> sent;
    for (const WaitingRecord &w : waiting) {
      records.push_back(w.record);
      sent.emplace_back(w.record.id, w.revision);
    }
    const ServerResult result = SendRecords(connection, records);
    if (result.ok) {
      outbox.ConfirmedByServer(sent);
      continue;
    }
    if (!RefusedForItsData(result.sqlState)) return result.error;
    // One record the server refuses holds back no other: each on its own, and the refused
    // ones wait (for a program that mends them) while the others are confirmed.
    QString refused;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const ServerResult one = SendRecords(connection, {records[i]});
      if (one.ok)
        outbox.ConfirmedByServer({sent[i]});
      else if (!RefusedForItsData(one.sqlState))
        return one.error;
      else if (refused.isEmpty())
        refused = QString("the server refuses record %1: %2").arg(records[i].id, one.error);
    }
    if (!refused.isEmpty()) return refused;
  }
}

}  // namespace history
