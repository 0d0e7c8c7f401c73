// The shared history against a real PostgreSQL server of the test's own: the URL, the tables,
// the records' way there and back, and the sender through a server that stops, refuses or says
// nothing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonDocument>
#include <chrono>
#include <thread>

#include "history/server_sender.h"
#include "history/server_store.h"
#include "tests/history/memory_outbox.h"
#include "tests/history/private_postgres.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

history::ServerAddress Address(const QString &url) {
  QString error;
  const auto address = history::ParseServerUrl(url, &error);
  EXPECT_TRUE(address) << error.toStdString();
  return address.value_or(history::ServerAddress{});
}

// A started server with the history's tables.
#define START_SERVER(server)                                                     \
  PrivatePostgres server;                                                        \
  ASSERT_TRUE(server.Ready() && server.Start()) << server.Error().toStdString(); \
  QString initError;                                                             \
  ASSERT_EQ(history::InitServer(Address(server.Url()), {}, &initError), 2)       \
      << initError.toStdString()

int Count(const PrivatePostgres &server, const QString &where = "true") {
  return server.Value("SELECT count(*) FROM jobs WHERE " + where).toInt();
}

bool Eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = 20s) {
  const auto until = Clock::now() + limit;
  while (!done() && Clock::now() < until) std::this_thread::sleep_for(10ms);
  return done();
}

}  // namespace

TEST(ServerUrl, TakesLibpqParametersButNoPassword) {
  QString error;
  const auto address = history::ParseServerUrl(
      "postgresql://bench@db.workshop:5433/history?sslmode=verify-full&sslrootcert=/etc/ca.pem",
      &error);
  ASSERT_TRUE(address) << error.toStdString();
  EXPECT_EQ(address->shown, "db.workshop:5433/history");
  EXPECT_EQ(address->parameters.back().second, address->url.toUtf8());  // the URL has the say
  for (const char *url :
       {"postgresql://bench:secret@db/history", "postgresql://bench@db/history?password=secret"}) {
    EXPECT_FALSE(history::ParseServerUrl(url, &error)) << url;
    EXPECT_TRUE(error.contains("password file") && error.contains("~/.pgpass")) << url;
  }
  EXPECT_FALSE(history::ParseServerUrl("postgresql://db", &error));
  EXPECT_FALSE(history::ParseServerUrl("postgresql://db/history?colour=red", &error));
  EXPECT_FALSE(history::ParseServerUrl("mysql://db/history", &error));
  // The shorter scheme libpq takes as well.
  const auto shorter = history::ParseServerUrl("postgres://bench@db.workshop/history", &error);
  ASSERT_TRUE(shorter) << error.toStdString();
  EXPECT_EQ(shorter->shown, "db.workshop/history");
}

TEST(ServerConnection, VerifyFullTakesTheCaOfSslrootcert) {
  PrivatePostgres server;
  ASSERT_TRUE(server.Ready() && server.EnableTls() && server.Start())
      << server.Error().toStdString();
  const QString url = QString(
                          "postgresql://postgres@localhost:%1/tolvane?sslmode=verify-full&"
                          "sslrootcert=")
                          .arg(server.Port());
  QString error;
  auto connection =
      history::ServerConnection::Open(Address(url + server.File("ca.pem")), -1, &error);
  ASSERT_TRUE(connection) << error.toStdString();
  EXPECT_EQ(connection->Run("SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()").rows,
            std::vector<history::ServerRow>{{QByteArray("t")}});
  EXPECT_FALSE(
      history::ServerConnection::Open(Address(url + server.File("other.pem")), -1, &error));
  EXPECT_TRUE(error.contains("certificate")) << error.toStdString();
}

TEST(ServerStore, TimesTravelAsUtcAndEndedRecordsWin) {
  START_SERVER(server);
  EXPECT_EQ(history::InitServer(Address(server.Url()), {}, &initError), 2);  // again: no change
  EXPECT_EQ(server.Value("SHOW timezone"), "Pacific/Chatham");
  QString error;
  auto connection = history::ServerConnection::Open(
      Address(server.Url().replace("postgresql://", "postgres://")), -1, &error);
  ASSERT_TRUE(connection) << error.toStdString();
  history::JobRecord running = Running("VRT00002", "2026-12-08T07:15:02.123Z");
  history::JobRecord ended = Ended(running);
  ended.ended = "2026-12-08T07:15:09.870Z";
  // The ended record overtakes the running one, in one batch or later, and the running one sent
  // late changes nothing.
  ASSERT_TRUE(history::SendRecords(*connection, {running, ended, running}).ok);
  ASSERT_TRUE(history::SendRecords(*connection, {running}).ok);
  EXPECT_EQ(server.Value("SELECT started = '2026-12-08 07:15:02.123+00' FROM jobs"), "t");
  std::vector<history::JobRecord> jobs;
  ASSERT_TRUE(history::ReadJobs(*connection, {}, &jobs).ok);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].started, "2026-12-08T07:15:02.123Z");
  EXPECT_EQ(jobs[0].ended, "2026-12-08T07:15:09.870Z");
  EXPECT_EQ(jobs[0].outcome, "ok");
  EXPECT_EQ(jobs[0].operator_, "service");
  // The details come back in the one form a bench writes, whatever jsonb made of them.
  EXPECT_EQ(jobs[0].details, R"({"profile":null,"values":{"P01":"3"}})");
}

TEST(ServerStore, ReadsByQueryNewestFirstThenUnitThenId) {
  START_SERVER(server);
  QString error;
  auto connection = history::ServerConnection::Open(Address(server.Url()), -1, &error);
  ASSERT_TRUE(connection) << error.toStdString();
  std::vector<history::JobRecord> records = {Running("VRT00002", "2026-12-08T07:00:00.000Z"),
                                             Running("VRT00001", "2026-12-08T07:00:00.000Z"),
                                             Running("VRT00001", "2026-12-08T07:00:00.000Z"),
                                             Running("VRT00003", "2026-12-07T23:00:00.000Z"),
                                             Running("VRT00001", "2026-12-08T08:00:00.000Z")};
  records[3].job = "firmware";
  ASSERT_TRUE(history::SendRecords(*connection, records).ok);
  const auto ids = [&](const history::JobQuery &query) {
    std::vector<history::JobRecord> jobs;
    EXPECT_TRUE(history::ReadServerJobs(Address(server.Url()), query, &jobs, &error));
    QStringList ids;
    for (const auto &job : jobs) ids << job.id;
    return ids;
  };
  const auto [low, high] = std::minmax(records[1].id, records[2].id);
  EXPECT_EQ(ids({}), QStringList({records[4].id, low, high, records[0].id, records[3].id}));
  EXPECT_EQ(ids({{"VRT00001", "VRT00003"}, "", "", "2026-12-08T07:00:00Z", 2}),
            QStringList({records[4].id, low}));
  EXPECT_EQ(ids({{}, "firmware", "running", {}, -1}), QStringList({records[3].id}));
}

TEST(ServerSender, EveryRecordOnceThoughTheServerStopsMidStream) {
  START_SERVER(server);
  MemoryOutbox outbox;
  history::ServerSender sender(Address(server.Url()), outbox, {30s, 5});
  sender.Start();
  std::vector<history::JobRecord> jobs;
  for (int i = 0; i < 120; ++i) {
    jobs.push_back(Running(QString("VRT%1").arg(i % 6, 5, 10, QChar('0'))));
    outbox.Put(jobs.back());
    sender.Wake();
    if (i >= 2) {  // the job two before ends
      outbox.Put(Ended(jobs[i - 2]));
      sender.Wake();
    }
    if (i == 60) {
      ASSERT_TRUE(server.Stop(true));
    }
    if (i == 90) {
      ASSERT_TRUE(server.Start());
    }
    std::this_thread::sleep_for(2ms);
  }
  outbox.Put(Ended(jobs[118]));
  outbox.Put(Ended(jobs[119]));
  EXPECT_TRUE(Eventually([&] { return sender.Flush(10s); }));
  EXPECT_EQ(outbox.WaitingCount(), 0);
  EXPECT_EQ(Count(server), 120);
  EXPECT_EQ(Count(server, "ended IS NOT NULL AND outcome = 'ok'"), 120);
  EXPECT_EQ(sender.State(), history::kSharedState);
}

// The calls of the sender's user, timed while the server refuses or says nothing.
struct CallTimer {
  std::chrono::nanoseconds longest{0};
  template <class F>
  auto operator()(F call) {
    const auto start = Clock::now();
    struct Take {
      CallTimer &timer;
      Clock::time_point start;
      ~Take() { timer.longest = std::max(timer.longest, Clock::now() - start); }
    } take{*this, start};
    return call();
  }
};

TEST(ServerSender, RefusedLoginSaysWhyOnceAndRecordsArriveLater) {
  START_SERVER(server);
  MemoryOutbox outbox;
  std::vector<QString> states;
  std::mutex statesMutex;
  CallTimer timed;
  auto sender = std::make_unique<history::ServerSender>(Address(server.Url("bench")), outbox,
                                                        history::ServerSender::Timing{50ms, 1000});
  sender->StateChanged = [&](const QString &state) {
    std::lock_guard lock(statesMutex);
    states.push_back(state);
  };
  timed([&] { sender->Start(); });
  for (int i = 0; i < 8; ++i) {
    outbox.Put(Running("VRT00001"));
    timed([&] { sender->Wake(); });
    std::this_thread::sleep_for(100ms);
    timed([&] { return sender->State(); });
  }
  {
    std::lock_guard lock(statesMutex);
    ASSERT_EQ(states.size(), 1u);  // many rounds, one reason
    EXPECT_TRUE(states[0].contains("\"bench\"")) << states[0].toStdString();
  }
  EXPECT_EQ(outbox.WaitingCount(), 8);
  ASSERT_TRUE(server.Sql("CREATE ROLE bench LOGIN").ok);
  ASSERT_EQ(history::InitServer(Address(server.Url()), {"bench"}, &initError), 2);
  EXPECT_TRUE(Eventually([&] { return timed([&] { return sender->State(); }) == "shared"; }));
  EXPECT_EQ(Count(server), 8);
  timed([&] { sender.reset(); });
  std::printf("the longest call of the sender's user took %lld us\n",
              static_cast<long long>(timed.longest.count() / 1000));
  EXPECT_LT(timed.longest, 16ms);
}

TEST(ServerSender, PortThatSaysNothingNeverHoldsTheCaller) {
  const int silentPort = PrivatePostgres::FreePort();
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(silentPort));
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 16), 0);  // the kernel accepts; nobody answers

  MemoryOutbox outbox;
  const QString url = QString("postgresql://postgres@127.0.0.1:%1/tolvane").arg(silentPort);
  CallTimer timed;
  auto sender = std::make_unique<history::ServerSender>(Address(url + "?connect_timeout=2"), outbox,
                                                        history::ServerSender::Timing{30s, 1000});
  timed([&] { sender->Start(); });
  for (int i = 0; i < 4; ++i) {
    outbox.Put(Running("VRT00001"));
    timed([&] { sender->Wake(); });
    timed([&] { return sender->State(); });
  }
  EXPECT_TRUE(Eventually([&] { return timed([&] { return sender->State(); }).contains("2 s"); }))
      << sender->State().toStdString();
  // A sender stopped in the middle of a connection stops at once.
  auto other = std::make_unique<history::ServerSender>(Address(url), outbox);
  other->Start();
  std::this_thread::sleep_for(200ms);
  timed([&] { other.reset(); });
  std::printf("the longest call of the sender's user took %lld us\n",
              static_cast<long long>(timed.longest.count() / 1000));
  EXPECT_LT(timed.longest, 16ms);

  close(listener);
  PrivatePostgres server(silentPort);
  ASSERT_TRUE(server.Ready() && server.Start()) << server.Error().toStdString();
  QString error;
  ASSERT_EQ(history::InitServer(Address(server.Url()), {}, &error), 2) << error.toStdString();
  EXPECT_TRUE(Eventually([&] { return sender->Flush(10s); }));
  EXPECT_EQ(Count(server), 4);
}

TEST(ServerSender, EightSendersAtOnceEachRecordOnce) {
  START_SERVER(server);
  std::vector<std::unique_ptr<MemoryOutbox>> outboxes;
  std::vector<std::unique_ptr<history::ServerSender>> senders;
  for (int s = 0; s < 8; ++s) {
    outboxes.push_back(std::make_unique<MemoryOutbox>());
    for (int u = 0; u < 8; ++u) {
      const auto r = Running(QString("VRT%1").arg(s * 8 + u, 5, 10, QChar('0')));
      outboxes.back()->Put(r);
      outboxes.back()->Put(Ended(r));
    }
    senders.push_back(std::make_unique<history::ServerSender>(Address(server.Url()), *outboxes[s]));
  }
  for (auto &sender : senders) sender->Start();
  for (auto &sender : senders) EXPECT_TRUE(sender->Flush(10s));
  EXPECT_EQ(Count(server, "outcome = 'ok'"), 64);
  EXPECT_EQ(server.Value("SELECT count(DISTINCT unit) FROM jobs"), "64");
}

TEST(ServerSender, BacklogOfTenThousandReachesAReturningServerWithin10s) {
  START_SERVER(server);
  ASSERT_TRUE(server.Stop());
  MemoryOutbox outbox;
  for (int i = 0; i < 10000; ++i) outbox.Put(Ended(Running(QString("VRT%1").arg(i % 100))));
  history::ServerSender sender(Address(server.Url()), outbox);
  sender.Start();
  EXPECT_FALSE(sender.Flush(10s));
  EXPECT_NE(sender.State(), history::kSharedState);
  ASSERT_TRUE(server.Start());
  const auto start = Clock::now();
  EXPECT_TRUE(sender.Flush(10s));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("10,000 waiting records reached the server in %lld ms\n",
              static_cast<long long>(took.count()));
  EXPECT_LT(took, 10s);
  EXPECT_EQ(Count(server), 10000);
}

TEST(ServerSender, TablesMissingOrNewerOrARecordRefusedKeepTheRecords) {
  PrivatePostgres server;
  ASSERT_TRUE(server.Ready() && server.Start()) << server.Error().toStdString();
  MemoryOutbox outbox;
  history::JobRecord bad = Running("VRT00001");
  bad.details = "not json";
  outbox.Put(bad);
  outbox.Put(Running("VRT00002"));
  history::ServerSender sender(Address(server.Url()), outbox);
  sender.Start();
  EXPECT_FALSE(sender.Flush(10s));
  EXPECT_TRUE(sender.State().contains("server-init")) << sender.State().toStdString();
  QString error;
  ASSERT_EQ(history::InitServer(Address(server.Url()), {}, &error), 2) << error.toStdString();
  ASSERT_TRUE(server.Sql("UPDATE schema_version SET version = 3").ok);
  EXPECT_FALSE(sender.Flush(10s));
  EXPECT_TRUE(sender.State().contains("version 3, newer")) << sender.State().toStdString();
  ASSERT_TRUE(server.Sql("UPDATE schema_version SET version = 2").ok);
  EXPECT_FALSE(sender.Flush(10s));
  EXPECT_TRUE(sender.State().contains(bad.id)) << sender.State().toStdString();
  EXPECT_EQ(outbox.WaitingCount(), 1);
  EXPECT_EQ(Count(server, "unit = 'VRT00002'"), 1);
}

// A bench's login with what server-init --grant gives it: it adds records and ends its running
// ones through the function, and can change no ended record nor write a row the rules refuse.
TEST(ServerSender, ABenchLoginAddsAndEndsRecordsAndChangesNoEndedOne) {
  START_SERVER(server);
  ASSERT_TRUE(server.Sql("CREATE ROLE bench LOGIN").ok);
  ASSERT_EQ(history::InitServer(Address(server.Url()), {"bench"}, &initError), 2);
  QString error;
  auto connection = history::ServerConnection::Open(Address(server.Url("bench")), -1, &error);
  ASSERT_TRUE(connection) << error.toStdString();
  const history::JobRecord job = Running("VRT00001"), failed = Ended(job, "failed");
  for (const auto &record : {job, failed, failed, job})  // an ended one again changes nothing
    EXPECT_TRUE(history::SendRecords(*connection, {record}).ok);
  EXPECT_EQ(history::SendRecords(*connection, {Ended(job, "ok")}).sqlState, "23000");
  for (const char *sql : {"UPDATE jobs SET outcome = 'ok'", "DELETE FROM jobs",
                          "INSERT INTO jobs SELECT * FROM jobs", "CREATE TABLE other (x integer)"})
    EXPECT_EQ(connection->Run(sql).sqlState, "42501") << sql;
  history::JobRecord bogus = Running("VRT00002"), list = bogus, badId = bogus;
  bogus.outcome = "bogus";
  list.details = "[1,2,3]";
  badId.id = "not-a-uuid";
  for (const auto &record : {bogus, list, badId})
    EXPECT_EQ(history::SendRecords(*connection, {record}).sqlState.left(2), "23");
  EXPECT_EQ(server.Value("SELECT outcome || ' ' || login FROM jobs"), "failed bench");
}

namespace {

// `count` jobs made by the server on 7 units, two by two at the same start, every third a
// download with a transfer log of `logBytes`.
void MakeJobs(const PrivatePostgres &server, int count, int logBytes) {
  const auto made = server.Sql(
      QString(
          "INSERT INTO jobs (id, unit, job, started, ended, outcome, message, station, "
          "\"operator\", "
          "program, details) SELECT lpad(to_hex(i), 8, '0') || '-0000-4000-8000-000000000000', "
          "'VRT' || lpad((i % 7)::text, 5, '0'), CASE WHEN i % 3 = 0 THEN 'firmware' ELSE 'send' "
          "END, timestamptz '2026-12-01 00:00:00+00' + (i / 2) * interval '1 minute', NULL, "
          "CASE WHEN i % 5 = 0 THEN 'failed' ELSE 'ok' END, '', 'bench', 'tech', 'tolvane-cli', "
          "CASE WHEN i % 3 = 0 THEN jsonb_build_object('sent', i, 'log', repeat('w', %2)) ELSE "
          "'{}'::jsonb END FROM generate_series(1, %1) AS i")
          .arg(count)
          .arg(logBytes));
  ASSERT_TRUE(made.ok) << made.error.toStdString();
}

}  // namespace

TEST(ServerStore, ReadsAPartFromItsKeyAndNoTransferLogButTheOneAskedFor) {
  START_SERVER(server);
  MakeJobs(server, 600, 4000);
  QString error;
  auto connection = history::ServerConnection::Open(Address(server.Url()), -1, &error);
  ASSERT_TRUE(connection) << error.toStdString();
  history::ServerJobs jobs(*connection);
  for (const QString order : {"", "unit", "outcome"}) {
    history::JobQuery query;
    query.orderBy = order;
    query.ascending = order == "unit";
    std::vector<history::JobRecord> all;
    qint64 bytes = 0;
    ASSERT_TRUE(jobs.Read(query, {}, [&](const history::JobRecord &r) {
      all.push_back(r);
      bytes += r.details.size();
      return true;
    }));
    ASSERT_EQ(all.size(), 600u);
    EXPECT_LT(bytes, 600 * 20) << "no transfer log among the rows";
    for (std::size_t i = 1; i < all.size(); ++i)
      ASSERT_TRUE(
          history::Before(query, history::KeyOf(query, all[i - 1]), history::KeyOf(query, all[i])))
          << "the server's order is the readers' " << i;
    // Every 256th row's key, and the rows from one of them as from that row.
    const auto keys = jobs.Keys(query, {}, 256);
    ASSERT_TRUE(keys && keys->size() == 3u) << jobs.Error().toStdString();
    EXPECT_EQ(keys->at(2), history::KeyOf(query, all[512]));
    query.limit = 256;
    std::vector<QString> part;
    ASSERT_TRUE(jobs.Read(query, {keys->at(1), {}}, [&](const history::JobRecord &r) {
      part.push_back(r.id);
      return true;
    }));
    ASSERT_EQ(part.size(), 256u);
    EXPECT_EQ(part.front(), all[256].id);
    EXPECT_EQ(part.back(), all[511].id);
  }
  // The download asked for comes whole; its start finds it.
  const auto download = jobs.Job("00000003-0000-4000-8000-000000000000");
  ASSERT_TRUE(download);
  EXPECT_EQ(QJsonDocument::fromJson(download->details)["log"].toString().size(), 4000);
  EXPECT_EQ(jobs.IdsBeginningWith("0000000", 20)->size(), 15);
}

TEST(ServerStore, NewerRecordsStandInTheirPlaceInEveryPartAndTheConnectionStaysUsable) {
  START_SERVER(server);
  MakeJobs(server, 600, 10);
  QString error;
  auto connection = history::ServerConnection::Open(Address(server.Url()), -1, &error);
  ASSERT_TRUE(connection) << error.toStdString();
  history::ServerJobs jobs(*connection);
  const history::JobQuery query;
  const auto read = [&](history::JobReader &reader, const history::JobQuery &asked,
                        const history::JobRange &range = {}) {
    std::vector<history::JobRecord> rows;
    EXPECT_TRUE(reader.Read(asked, range, [&](const history::JobRecord &r) {
      rows.push_back(r);
      return true;
    })) << reader.Error().toStdString();
    return rows;
  };
  // The end of a running job, a job of its own among the newest, and one of a kind the
  // download query below leaves out.
  history::JobRecord ended = *jobs.Job("0000012c-0000-4000-8000-000000000000");
  ended.outcome = "interrupted";
  history::JobRecord between = ended;
  between.id = "feedbead-0000-4000-8000-000000000001";
  between.started = "2026-12-01T04:09:30.000Z";
  history::JobRecord other = between;
  other.id = "feedbead-0000-4000-8000-000000000002";
  other.job = "defaults";
  std::vector<history::JobRecord> expected = read(jobs, query);
  std::erase_if(expected, [&](const history::JobRecord &r) { return r.id == ended.id; });
  expected.insert(expected.end(), {ended, between, other});
  std::sort(expected.begin(), expected.end(), [&](const auto &a, const auto &b) {
    return history::Before(query, history::KeyOf(query, a), history::KeyOf(query, b));
  });
  const auto ids = [](const std::vector<history::JobRecord> &rows) {
    QStringList ids;
    for (const auto &r : rows) ids << r.id + "/" + r.outcome;
    return ids;
  };

  history::MergedJobs merged(jobs, {ended, between, other});
  history::JobQuery downloads;
  downloads.job = "firmware";
  EXPECT_EQ(merged.Count(downloads, {}), 201) << "200 downloads and the one between";
  EXPECT_EQ(merged.Count(query, {}), 602);
  EXPECT_EQ(ids(read(merged, query)), ids(expected));
  // The parts from their anchors, each with the next one's row as its limit, make the whole.
  const auto anchors = merged.Anchors(query, 256);
  ASSERT_TRUE(anchors && anchors->size() == 3u) << merged.Error().toStdString();
  std::vector<history::JobRecord> parts;
  for (std::size_t i = 0; i < anchors->size(); ++i) {
    if (i > 0) {
      EXPECT_EQ(expected[static_cast<std::size_t>(anchors->at(i).row)].id, anchors->at(i).key->id);
    }
    history::JobQuery part = query;
    part.limit = (i + 1 < anchors->size() ? anchors->at(i + 1).row : 602) - anchors->at(i).row;
    for (const auto &r : read(merged, part, {anchors->at(i).key, {}})) parts.push_back(r);
  }
  EXPECT_EQ(ids(parts), ids(expected));
  EXPECT_FALSE(connection->Broken()) << "a part's limit never breaks the statement off";
}
