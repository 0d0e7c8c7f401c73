// The summaries read from a real PostgreSQL server of the test's own together with the bench's
// waiting records: the same as the bench file's own, and no transfer log on the wire.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "history/format.h"
#include "history/journal.h"
#include "history/server_store.h"
#include "history/store.h"
#include "history/summary_read.h"
#include "tests/history/private_postgres.h"
#include "tests/support/temp_folder.h"

namespace {

// A TCP relay on 127.0.0.1 to a port, counting the bytes that come back from it.
class CountingRelay {
 public:
  explicit CountingRelay(int target) : target_(target) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr *>(&address), size);
    listen(listener_, 8);
    getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CountingRelay() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  int Port() const { return port_; }
  long long BytesBack() const { return back_; }

 private:
  void Serve() {
    std::vector<std::pair<int, int>> pairs;  // client, server
    while (!stop_) {
      std::vector<pollfd> fds{{listener_, POLLIN, 0}};
      for (auto [client, server] : pairs) {
        fds.push_back({client, POLLIN, 0});
        fds.push_back({server, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int client = accept(listener_, nullptr, nullptr);
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(target_));
        connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address);
        pairs.emplace_back(client, server);
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        auto &[client, server] = pairs[(i - 1) / 2];
        const bool fromServer = (i - 1) % 2 == 1;
        char buffer[65536];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          close(client);
          close(server);
          client = server = -1;
          continue;
        }
        if (fromServer) back_ += n;
        [[maybe_unused]] const ssize_t written = write(fromServer ? client : server, buffer, n);
      }
      std::erase_if(pairs, [](const auto &p) { return p.first < 0; });
    }
    for (auto [client, server] : pairs) close(client), close(server);
  }

  int target_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long long> back_{0};
  std::thread thread_;
};

history::JobRecord Job(const QString &unit, const QString &job, int minute, const QString &outcome,
                       const QByteArray &details) {
  const QString at = QString("2026-12-08T07:%1:00.000Z").arg(minute, 2, 10, QChar('0'));
  return {history::NewId(),
          unit,
          job,
          at,
          at,
          outcome,
          outcome == "ok" ? "" : "E",
          "bench",
          "tech",
          "tolvane-cli 5.00.00.04",
          details};
}

}  // namespace

TEST(SharedSummary, TheServersSummaryWithTheWaitingRecordsIsTheBenchFilesAndCarriesNoLog) {
  PrivatePostgres server;
  ASSERT_TRUE(server.Ready() && server.Start()) << server.Error().toStdString();
  CountingRelay relay(server.Port());
  QString error;
  const auto address = history::ParseServerUrl(
      QString("postgresql://postgres@127.0.0.1:%1/tolvane").arg(relay.Port()), &error);
  ASSERT_TRUE(address) << error.toStdString();
  ASSERT_EQ(history::InitServer(*address, {}, &error), history::kServerSchemaVersion)
      << error.toStdString();

  // Downloads with a transfer log of 1 MB each, writes, a recording; some begun and not ok.
  const QByteArray log = "\"log\":\"" + QByteArray(1 << 20, 'w') + "\"";
  std::vector<history::JobRecord> records;
  for (int u = 1; u <= 4; ++u) {
    const QString unit = QString("VRT0000%1").arg(u);
    records.push_back(
        Job(unit, "firmware", 10, "ok", "{\"file\":\"a.hex\",\"sha256\":\"a\"," + log + "}"));
    records.push_back(
        Job(unit, "settings", 11, "ok", R"({"values":{"P01":"1"},"profile":"p.ini"})"));
    records.push_back(Job(unit, "record", 12, "ok", R"({"file":"m.wav","sha256":"m"})"));
    records.push_back(Job(unit, "firmware", 20 + u, u % 2 ? "failed" : "ok",
                          "{\"file\":\"b.hex\",\"sha256\":\"b\",\"changed\":true," + log + "}"));
    records.push_back(Job(unit, "defaults", 30 + u, u == 3 ? "interrupted" : "ok", "{}"));
    records.push_back(Job(unit, "send", 40 + u, "ok", R"({"line":"AT"})"));
  }
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("h.sqlite"));
  history::Store bench;
  bench.SetServer(address->key, true);
  ASSERT_TRUE(bench.Open(file, history::Store::Mode::Write));
  ASSERT_TRUE(bench.Write(records));
  // The server has the older half; the newer half still waits on the bench.
  std::vector<history::JobRecord> sent;
  std::vector<std::pair<QString, qint64>> confirmed;
  for (const history::WaitingRecord &w : bench.WaitingForServer(1000))
    if (w.record.started < "2026-12-08T07:30:00.000Z") {
      sent.push_back(w.record);
      confirmed.emplace_back(w.record.id, w.revision);
    }
  auto connection = history::ServerConnection::Open(*address, -1, &error);
  ASSERT_TRUE(connection) << error.toStdString();
  ASSERT_TRUE(history::SendRecords(*connection, sent).ok);
  bench.ConfirmedByServer(confirmed);
  ASSERT_EQ(bench.WaitingCount(), 8);

  const long long before = relay.BytesBack();
  std::vector<history::UnitSummary> shared;
  ASSERT_EQ(history::ReadSharedSummaries({*address, file, false, true}, {}, &shared), "");
  QStringList units;
  ASSERT_EQ(history::ReadSharedUnits({*address, file, false, true}, &units), "");
  EXPECT_LT(relay.BytesBack() - before, 100000) << "no transfer log of 1 MB came back";

  const auto own = bench.Summaries({});
  ASSERT_EQ(shared.size(), own.size());
  for (std::size_t i = 0; i < own.size(); ++i)
    EXPECT_EQ(history::SummaryJson(shared[i]), history::SummaryJson(own[i]));
  EXPECT_TRUE(shared[0].firmwareUnsettled);
  EXPECT_EQ(shared[1].firmware->file, "b.hex");
  EXPECT_TRUE(shared[2].parametersUnsettled) << "the waiting defaults of VRT00003";
  EXPECT_EQ(units, bench.Units());
  std::vector<history::UnitSummary> one;
  ASSERT_EQ(history::ReadSharedSummaries({*address, file, false, true}, {"VRT00002"}, &one), "");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(history::SummaryJson(one[0]), history::SummaryJson(own[1]));
}
