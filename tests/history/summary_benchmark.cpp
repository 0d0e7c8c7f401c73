// `tolvane-cli summary --json` as a whole command, as a workshop runs it after some years. Prints
// each run's time and the command's peak memory (its maximum resident set); asserts nothing.
//
//   SummaryFromServer   --server on a private PostgreSQL server of 300,000 jobs over 3,000
//                       units, every fifth a download with a 4 KB transfer log, and 2,000 newer
//                       downloads with a 150 KB log (targets: 2 s, 100 MB)
//   SummaryFromFile     --history on a bench file of 1,000,000 jobs over 10,000 units (target 2 s)
//
//   build/tests/history/summary_benchmark
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>
#include <vector>

#include "history/server_store.h"
#include "history/store.h"
#include "tests/history/private_postgres.h"

extern char **environ;

namespace {

// The kinds of job in turn: job g is of kind g % 5.
constexpr const char *kKinds =
    "CASE g % 5 WHEN 0 THEN 'settings' WHEN 1 THEN 'defaults' WHEN 2 THEN 'firmware' WHEN 3 THEN "
    "'record' ELSE 'send' END";

// The server's jobs: 300,000 over 3,000 units, then 2,000 downloads with a 150 KB log, 100 by
// statement (%2: the first).
constexpr const char *kServerJobs = R"(
  INSERT INTO jobs (id, unit, job, started, ended, outcome, message, station, "operator", program,
                    details)
  SELECT md5(g::text)::uuid::text, 'VRT' || lpad((g / 5 % 3000)::text, 5, '0'), %1,
         timestamptz '2025-01-01' + g * interval '97 seconds',
         timestamptz '2025-01-01' + g * interval '97 seconds' + interval '20 seconds',
         CASE WHEN g % 17 = 0 THEN 'failed' ELSE 'ok' END,
         CASE WHEN g % 17 = 0 THEN 'No reply' ELSE '' END, 'bench ' || g % 7, 'tech',
         'tolvane-cli 5.00.00.04',
         CASE g % 5
           WHEN 0 THEN jsonb_build_object('values', (SELECT jsonb_object_agg('P' || lpad(p::text, 2,
             '0'), '12') FROM generate_series(1, 26) p), 'profile', '/home/tech/bench.ini',
             'changed', true)
           WHEN 1 THEN '{"changed": true}'::jsonb
           WHEN 2 THEN jsonb_build_object('file', '/home/tech/app.hex', 'sha256', md5(g::text),
             'lines', 1536, 'sent', 1536, 'fast', false, 'changed', true,
             'log', repeat(md5(g::text) || E'\r\n', 4096 / 34))
           WHEN 3 THEN jsonb_build_object('file', '/home/tech/msg.wav', 'sha256', md5(g::text),
             'seconds', 6.5, 'output', 'Built-in', 'changed', true)
           ELSE '{"line": "AT@NORM", "replies": "OK\r\n"}'::jsonb
         END
  FROM generate_series(0, 299999) g;
--
  INSERT INTO jobs (id, unit, job, started, ended, outcome, message, station, "operator", program,
                    details)
  SELECT md5('full' || g)::uuid::text, 'VRT' || lpad((g * 7 % 3000)::text, 5, '0'), 'firmware',
         timestamptz '2026-06-01' + g * interval '1 minute',
         timestamptz '2026-06-01' + g * interval '1 minute' + interval '10 minutes', 'ok', '',
         'bench 1', 'tech', 'tolvane 5.00.00.04',
         jsonb_build_object('file', '/home/tech/full.hex', 'sha256', md5(g::text), 'lines', 1536,
           'sent', 1536, 'fast', true, 'changed', true,
           'log', (SELECT string_agg(md5(g::text || ':' || l), E'\r\n') FROM
                   generate_series(1, 150000 / 34) l))
  FROM generate_series(%2, %2 + 99) g
)";

// The bench file's jobs: 1,000,000 over 10,000 units, made by SQLite in one statement.
constexpr const char *kFileJobs = R"(
  WITH RECURSIVE n(g) AS (SELECT 0 UNION ALL SELECT g + 1 FROM n WHERE g < 999999)
  INSERT INTO jobs SELECT lower(hex(randomblob(4)) || '-' || hex(randomblob(2)) || '-4' ||
           substr(hex(randomblob(2)), 2) || '-a' || substr(hex(randomblob(2)), 2) || '-' ||
           hex(randomblob(6))),
         'VRT' || substr('0000' || (g / 5 % 10000), -5), %1,
         strftime('%Y-%m-%dT%H:%M:%fZ', 1735689600 + g * 31, 'unixepoch'),
         strftime('%Y-%m-%dT%H:%M:%fZ', 1735689600 + g * 31 + 20, 'unixepoch'),
         CASE WHEN g % 17 = 0 THEN 'failed' ELSE 'ok' END, '', 'bench 1', 'tech',
         'tolvane-cli 5.00.00.04',
         CASE g % 5
           WHEN 0 THEN '{"changed":true,"profile":"/home/tech/bench.ini","values":{"P01":"12"}}'
           WHEN 1 THEN '{"changed":true}'
           WHEN 2 THEN '{"changed":true,"file":"/home/tech/app.hex","lines":1536,"log":"' ||
                       hex(zeroblob(1024)) || '","sha256":"aa","sent":1536}'
           WHEN 3 THEN '{"changed":true,"file":"/home/tech/msg.wav","seconds":6.5,"sha256":"bb"}'
           ELSE '{"line":"AT@NORM","replies":"OK\r\n"}'
         END
  FROM n
)";

// Runs tolvane-cli with these arguments, its output thrown away: its peak memory in MB, or -1.
double RunCli(const QStringList &arguments, const QString &home) {
  std::vector<QByteArray> texts{QByteArray(TOLVANE_CLI_PROGRAM)};
  for (const QString &a : arguments) texts.push_back(a.toLocal8Bit());
  std::vector<char *> argv;
  for (QByteArray &t : texts) argv.push_back(t.data());
  argv.push_back(nullptr);
  // A home of its own: no VERT.ini's server and no bench records of the user's.
  QByteArray homeVar = "HOME=" + home.toLocal8Bit();
  QByteArray dataVar = "XDG_DATA_HOME=" + home.toLocal8Bit() + "/data";
  std::vector<char *> env{homeVar.data(), dataVar.data()};
  for (char **e = environ; *e; ++e)
    if (qstrncmp(*e, "HOME=", 5) != 0 && qstrncmp(*e, "XDG_DATA_HOME=", 14) != 0) env.push_back(*e);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  return usage.ru_maxrss / 1024.0;
}

struct Server {
  PrivatePostgres postgres;
  QTemporaryDir home;
  bool ready = false;
};

Server &TheServer() {
  static const std::unique_ptr<Server> server = [] {
    auto s = std::make_unique<Server>();
    QString error;
    const auto address = history::ParseServerUrl(s->postgres.Url(), &error);
    if (!s->postgres.Ready() || !s->postgres.Start() || !address ||
        history::InitServer(*address, {}, &error) != history::kServerSchemaVersion) {
      std::fprintf(stderr, "no server: %s %s\n", qPrintable(s->postgres.Error()),
                   qPrintable(error));
      return s;
    }
    QElapsedTimer timer;
    timer.start();
    const QStringList parts = QString(kServerJobs).split("\n--\n");
    QStringList statements{parts[0].arg(kKinds)};
    for (int first = 1; first <= 2000; first += 100) statements << parts[1].arg(first);
    statements << "ANALYZE jobs";
    history::ServerResult made;
    for (const QString &statement : statements) {
      made = s->postgres.Sql(statement);
      if (!made.ok) {
        std::fprintf(stderr, "%s\n", qPrintable(made.error));
        break;
      }
    }
    std::printf(
        "server: %s jobs, %s of table, made in %.1f s\n",
        qPrintable(s->postgres.Value("SELECT count(*) FROM jobs")),
        qPrintable(s->postgres.Value("SELECT pg_size_pretty(pg_total_relation_size('jobs'))")),
        timer.elapsed() / 1000.0);
    s->ready = made.ok;
    return s;
  }();
  return *server;
}

void SummaryFromServer(benchmark::State &state) {
  Server &server = TheServer();
  if (!server.ready) return state.SkipWithError("no server");
  double peak = 0;
  for (auto _ : state) {
    const double mb =
        RunCli({"summary", "--server", server.postgres.Url(), "--json"}, server.home.path());
    if (mb < 0) return state.SkipWithError("tolvane-cli failed");
    peak = std::max(peak, mb);
  }
  state.counters["peak_MB"] = peak;
  // The server stays for a look at it (psql), as long as asked.
  if (const int hold = qEnvironmentVariableIntValue("TOLVANE_BENCH_HOLD_SECONDS"); hold > 0) {
    std::printf("\nholding %s for %d s\n", qPrintable(server.postgres.Url()), hold);
    std::fflush(stdout);
    sleep(static_cast<unsigned>(hold));
  }
}

void SummaryFromFile(benchmark::State &state) {
  static QTemporaryDir folder;
  const QString file = folder.filePath("history.sqlite");
  static bool made = false;
  if (!made) {
    QElapsedTimer timer;
    timer.start();
    {
      history::Store store;
      if (!store.Open(file, history::Store::Mode::Write)) return state.SkipWithError("no file");
    }
    {
      QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "make");
      db.setDatabaseName(file);
      db.open();
      QSqlQuery q(db);
      made = q.exec(QString(kFileJobs).arg(kKinds));
      if (!made) std::fprintf(stderr, "%s\n", qPrintable(q.lastError().text()));
    }
    QSqlDatabase::removeDatabase("make");
    if (!made) return state.SkipWithError("the bench file could not be made");
    std::printf("bench file: 1,000,000 jobs, %.0f MB, made in %.1f s\n", QFile(file).size() / 1e6,
                timer.elapsed() / 1000.0);
  }
  double peak = 0;
  for (auto _ : state) {
    const double mb = RunCli({"summary", "--history", file, "--json"}, folder.path());
    if (mb < 0) return state.SkipWithError("tolvane-cli failed");
    peak = std::max(peak, mb);
  }
  state.counters["peak_MB"] = peak;
}

}  // namespace

BENCHMARK(SummaryFromServer)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(SummaryFromFile)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
