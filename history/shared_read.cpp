#include "history/shared_read.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "history/server_connection.h"
#include "history/server_sender.h"
#include "history/server_store.h"
#include "history/store.h"

namespace history {

QString ReadSharedHistory(const ServerAddress &server, const QString &benchFile,
                          const JobQuery &query, const QString &merged, int stopFd,
                          BenchRecords benchRecords) {
  Store bench;
  bench.SetServer(server.key, benchRecords.unaddressed);
  // The bench's file is written (the records the server confirms) only when they are sent.
  const bool benchOpen = !benchFile.isEmpty() &&
                         ((benchRecords.sendFirst && bench.Open(benchFile, Store::Mode::Write)) ||
                          bench.Open(benchFile, Store::Mode::Read));
  QString error;
  std::vector<JobRecord> jobs;
  {
    const auto connection = ServerConnection::Open(server, stopFd, &error);
    if (!connection) return error;
    if (const QString reason = CheckServerSchema(*connection); !reason.isEmpty()) return reason;
    if (benchOpen && benchRecords.sendFirst) {
      bool allSent = false;
      // What the server refuses waits in the bench's file, as the sender leaves it.
      const QString failure = SendWaiting(*connection, bench, 1000, &allSent);
      if (!failure.isEmpty() && connection->Broken()) return failure;
    }
    const ServerResult read = ReadJobs(*connection, query, &jobs);
    if (!read.ok) return read.error;
  }
  Store out;
  if (!out.Open(merged, Store::Mode::Write) || !out.Write(jobs)) return out.Error();
  if (!benchOpen) return {};
  std::vector<JobRecord> waiting;
  for (WaitingRecord &w : bench.WaitingForServer(INT_MAX)) waiting.push_back(std::move(w.record));
  if (!out.Write(waiting)) return out.Error();
  return {};
}

SharedReader::SharedReader() : stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SharedReader::~SharedReader() {
  if (stopFd_ >= 0) {
    const quint64 one = 1;
    [[maybe_unused]] const auto n = write(stopFd_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  if (stopFd_ >= 0) close(stopFd_);
}

void SharedReader::Start(const ServerAddress &server, const QString &benchFile,
                         const JobQuery &query, const QString &merged,
                         std::function<void(const QString &reason)> done) {
  if (thread_.joinable()) thread_.join();
  thread_ = std::thread([=, stop = stopFd_, done = std::move(done)] {
    done(ReadSharedHistory(server, benchFile, query, merged, stop));
  });
}

}  // namespace history
