#pragma once
// The sender of the workshop's shared history: a thread of its own that takes the records the
// bench's own history holds for the server (the outbox), sends them, and tells the outbox which
// the server took, so that each record reaches the server exactly once whatever was cut when.
// It tries again every 30 s, at once when woken (at each job), and says whether the history is
// shared or why the records wait. Nothing a caller does on it waits on the server.

#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "history/job_record.h"
#include "history/server_address.h"

namespace history {

class ServerConnection;

// The records that wait for the server, as the bench's own history keeps them. The sender calls
// it on its own thread.
class ServerOutbox {
 public:
  virtual ~ServerOutbox() = default;
  // At most `limit` records the server has not confirmed, the oldest first.
  virtual std::vector<WaitingRecord> WaitingForServer(int limit) = 0;
  // The server holds these records (id, revision): a record written again since waits on. The
  // next WaitingForServer() no longer gives the others.
  virtual void ConfirmedByServer(const std::vector<std::pair<QString, qint64>> &records) = 0;
  // How many records wait.
  virtual qint64 WaitingCount() = 0;
};

// The state of a sender whose server takes the records.
inline constexpr const char *kSharedState = "shared";

class ServerSender {
 public:
  struct Timing {
    std::chrono::milliseconds retry{30000};  // between rounds when nothing wakes the sender
    int batch = 1000;                        // records per statement
  };

  ServerSender(ServerAddress address, ServerOutbox &outbox, Timing timing);
  ServerSender(ServerAddress address, ServerOutbox &outbox)
      : ServerSender(std::move(address), outbox, Timing{}) {}
  // Stops the thread at once: a connection or a statement under way is dropped, and what the
  // server has not confirmed waits in the outbox.
  ~ServerSender();
  ServerSender(const ServerSender &) = delete;
  ServerSender &operator=(const ServerSender &) = delete;

  // Called on the sender's thread when the state changes; set it before Start().
  std::function<void(const QString &state)> StateChanged;
  // Called on the sender's thread at the end of each round, stopped or not, with its state; set
  // it before Start(). The outbox may be closed there: the next round asks it anew.
  std::function<void(const QString &state)> RoundEnded;

  // Starts the thread, whose first round begins at once.
  void Start();
  // Sends what waits now rather than at the next retry.
  void Wake();
  // kSharedState while the server takes the records, else the reason they wait.
  QString State() const;
  // Wakes the sender and waits, at most `timeout` or until `stop` (polled every 20 ms) says so,
  // for the end of its round: whether the round left nothing waiting.
  bool Flush(std::chrono::milliseconds timeout, const std::function<bool()> &stop = {});

 private:
  void Loop();
  QString Round(std::unique_ptr<ServerConnection> &connection, bool *allSent);

  const ServerAddress address_;
  ServerOutbox &outbox_;
  const Timing timing_;
  int stopFd_ = -1;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool woken_ = false;
  quint64 wakes_ = 0;     // Wake() calls so far
  quint64 finished_ = 0;  // the wakes_ that the last finished round had seen when it began
  bool allSent_ = false;  // whether the last finished round left nothing waiting
  QString state_ = "connecting to the server";
  std::thread thread_;
};

// Sends the outbox's waiting records on the connection in batches of `batch` and confirms what
// the server took; a record the server refuses for what it holds waits on and holds back no
// other. Empty when done (`allSent` then says whether nothing waits), else why the records wait.
QString SendWaiting(ServerConnection &connection, ServerOutbox &outbox, int batch, bool *allSent);

}  // namespace history
