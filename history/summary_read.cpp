#include "history/summary_read.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "history/server_connection.h"
#include "history/server_sender.h"
#include "history/server_store.h"
#include "history/server_summary.h"

namespace history {

namespace {

// Connects, checks the tables, opens the bench's file and sends its waiting records where asked,
// then runs `read`: empty when done, else why the server could not be read.
QString WithServer(const SummarySource &source, int stopFd, Store &bench,
                   const std::function<ServerResult(ServerConnection &)> &read) {
  bench.SetServer(source.server.key, source.unaddressed);
  // The bench's file is written (the records the server confirms) only when they are sent.
  const bool benchOpen = !source.benchFile.isEmpty() &&
                         ((source.sendFirst && bench.Open(source.benchFile, Store::Mode::Write)) ||
                          bench.Open(source.benchFile, Store::Mode::Read));
  QString error;
  const auto connection = ServerConnection::Open(source.server, stopFd, &error);
  if (!connection) return error;
  if (const QString reason = CheckServerSchema(*connection); !reason.isEmpty()) return reason;
  if (benchOpen && source.sendFirst) {
    bool allSent = false;
    // What the server refuses waits in the bench's file, as the sender leaves it.
    const QString failure = SendWaiting(*connection, bench, 1000, &allSent);
    if (!failure.isEmpty() && connection->Broken()) return failure;
  }
  const ServerResult result = read(*connection);
  return result.ok ? QString() : result.error;
}

}  // namespace

QString ReadSharedSummaries(const SummarySource &source, const QStringList &units,
                            std::vector<UnitSummary> *summaries, int stopFd) {
  Store bench;
  std::vector<SummaryRow> rows;
  const QString reason = WithServer(source, stopFd, bench, [&](ServerConnection &connection) {
    return ReadSummaryRows(connection, units, &rows);
  });
  if (!reason.isEmpty()) return reason;
  // The bench's waiting records after the server's rows: the newer wins, the bench's on a tie.
  for (SummaryRow &row : bench.WaitingSummaryRows(units)) rows.push_back(std::move(row));
  *summaries = SummariesOf(rows);
  return {};
}

QString ReadSharedUnits(const SummarySource &source, QStringList *units, int stopFd) {
  Store bench;
  QStringList read;
  const QString reason = WithServer(source, stopFd, bench, [&](ServerConnection &connection) {
    return ReadUnits(connection, &read);
  });
  if (!reason.isEmpty()) return reason;
  for (const SummaryRow &row : bench.WaitingSummaryRows({}))
    if (row.newest) read << row.unit;
  std::sort(read.begin(), read.end());
  read.erase(std::unique(read.begin(), read.end()), read.end());
  *units = read;
  return {};
}

BackgroundRead::BackgroundRead() : stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

BackgroundRead::~BackgroundRead() {
  Stop();
  if (stopFd_ >= 0) close(stopFd_);
}

void BackgroundRead::Stop() {
  if (!thread_.joinable()) return;
  quint64 one = 1;
  if (stopFd_ >= 0 && write(stopFd_, &one, sizeof one) < 0) one = 0;
  thread_.join();
  // Taken back, so that the next read does not stop at once.
  if (stopFd_ >= 0 && read(stopFd_, &one, sizeof one) < 0) one = 0;
}

void BackgroundRead::Start(std::function<void(int stopFd)> read) {
  Stop();
  thread_ = std::thread([stop = stopFd_, read = std::move(read)] { read(stop); });
}

}  // namespace history
