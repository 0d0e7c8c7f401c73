// The shared history at a workshop's size: a private PostgreSQL server holding 300,000 jobs over
// 3,000 units (every fifth a download with a transfer log of 4 KB) and 2,000 downloads with a
// log of 150 KB, made by the server itself. Whole `tolvane-cli ... --server URL` commands (time
// and the child's peak memory), the history window's first page, and a jump to the middle on the
// interface thread, with the server and with a bench file of 1,000,000 jobs. Prints figures,
// asserts nothing; not part of the test run:
//
//   build/tests/history/history_server_benchmark
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>

#include "app/history_window.h"
#include "history/server_store.h"
#include "history/store.h"
#include "tests/history/private_postgres.h"

extern char **environ;

namespace {

std::unique_ptr<PrivatePostgres> server;
std::unique_ptr<QTemporaryDir> folder;
QString millionFile;  // a bench file of 1,000,000 jobs
QString emptyFile;    // the bench file beside the server: nothing waits

constexpr const char *kBigLogId = "f0000001-0000-4000-8000-000000000000";

bool MakeServer() {
  server = std::make_unique<PrivatePostgres>();
  if (!server->Ready() || !server->Start()) {
    std::fprintf(stderr, "no server: %s\n", qPrintable(server->Error()));
    return false;
  }
  QString error;
  if (history::InitServer(*history::ParseServerUrl(server->Url(), &error), {}, &error) != 2)
    return false;
  QElapsedTimer timer;
  timer.start();
  const QString jobs = QString(
      "INSERT INTO jobs (id, unit, job, started, ended, outcome, message, station, "
      "\"operator\", program, details) SELECT lpad(to_hex(i), 8, '0') || "
      "'-0000-4000-8000-000000000000', 'VRT' || lpad((i % 3000)::text, 5, '0'), CASE WHEN "
      "i % 5 = 0 THEN 'firmware' ELSE 'send' END, timestamptz '2026-01-01 00:00:00+00' + i "
      "* interval '97 s', timestamptz '2026-01-01 00:00:20+00' + i * interval '97 s', 'ok', "
      "'', 'bench 1', 'tech', 'tolvane-cli 5.00.00.04', CASE WHEN i % 5 = 0 THEN "
      "jsonb_build_object('file', '/home/tech/app.hex', 'sha256', md5(i::text), 'lines', "
      "1536, 'sent', 1536, 'fast', false, 'log', repeat(md5(i::text) || E'\\r\\n', 120)) "
      "ELSE jsonb_build_object('line', 'AT@NORM', 'replies', E'OK\\r\\n') END FROM "
      "generate_series(%1, %2) AS i");
  const QString downloads = QString(
      "INSERT INTO jobs (id, unit, job, started, ended, outcome, message, station, "
      "\"operator\", program, details) SELECT 'f' || lpad(to_hex(i), 7, '0') || "
      "'-0000-4000-8000-000000000000', 'VRT' || lpad((i % 3000)::text, 5, '0'), 'firmware', "
      "timestamptz '2026-01-01 00:00:00+00' + i * interval '4 h', timestamptz '2026-01-01 "
      "00:05:00+00' + i * interval '4 h', 'ok', '', 'bench 2', 'tech', 'tolvane 5.00.00.04', "
      "jsonb_build_object('file', '/home/tech/app.hex', 'sha256', md5(i::text), 'lines', "
      "1536, 'sent', 1536, 'fast', true, 'log', (SELECT string_agg(md5((i * 10000 + k)::text), "
      "E'\\r\\n') FROM generate_series(1, 4600) AS k)) FROM generate_series(%1, %2) AS i");
  // In parts, each within the statement's 10 s.
  QStringList statements;
  for (int i = 1; i <= 300000; i += 20000) statements << jobs.arg(i).arg(i + 19999);
  for (int i = 1; i <= 2000; i += 100) statements << downloads.arg(i).arg(i + 99);
  statements << "ANALYZE jobs";
  for (const QString &sql : statements) {
    const history::ServerResult r = server->Sql(sql);
    if (!r.ok) {
      std::fprintf(stderr, "%s\n", qPrintable(r.error));
      return false;
    }
  }
  std::printf("server: %s jobs, %s of details, made in %.1f s\n",
              qPrintable(server->Value("SELECT count(*) FROM jobs")),
              qPrintable(server->Value("SELECT pg_size_pretty(sum(pg_column_size(details))) "
                                       "FROM jobs")),
              timer.elapsed() / 1000.0);
  return true;
}

bool MakeMillion() {
  millionFile = qEnvironmentVariable("TOLVANE_BENCH_MILLION");
  if (millionFile.isEmpty()) millionFile = folder->filePath("million.sqlite");
  if (QFile::exists(millionFile)) return true;
  {
    history::Store store;
    if (!store.Open(millionFile, history::Store::Mode::Write)) return false;
  }
  QElapsedTimer timer;
  timer.start();
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "million");
    db.setDatabaseName(millionFile);
    if (!db.open()) return false;
    QSqlQuery fill(db);
    if (!fill.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                   "1000000) INSERT INTO jobs SELECT printf('%08x-0000-4000-8000-000000000000', "
                   "i), printf('VRT%05d', i % 10000), CASE WHEN i % 5 = 0 THEN 'firmware' ELSE "
                   "'send' END, strftime('%Y-%m-%dT%H:%M:%fZ', 1764547200 + i * 31, 'unixepoch'), "
                   "NULL, 'ok', '', 'bench', 'tech', 'tolvane-cli 5.00.00.04', '{}' FROM n"))
      return false;
  }
  QSqlDatabase::removeDatabase("million");
  std::printf("bench file of 1,000,000 jobs made in %.1f s\n", timer.elapsed() / 1000.0);
  return true;
}

// Runs tolvane-cli with `arguments`, its output to /dev/null; the child's peak memory in MB.
double RunCli(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TOLVANE_CLI_PROGRAM);
  arguments.push_back("--server");
  arguments.push_back(server->Url().toStdString());
  arguments.push_back("--history");
  arguments.push_back(emptyFile.toStdString());
  std::vector<char *> argv;
  for (std::string &a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return -1;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "status %d\n", status);
  return usage.ru_maxrss / 1024.0;
}

void Command(benchmark::State &state, std::vector<std::string> arguments) {
  double peak = 0;
  for (auto _ : state) peak = std::max(peak, RunCli(arguments));
  state.counters["peak_MB"] = peak;
}

void UnitHistory(benchmark::State &state) {
  Command(state, {"history", "--unit", "VRT01234"});
}
void Newest20(benchmark::State &state) {
  Command(state, {"history", "--limit", "20"});
}
void BigLog(benchmark::State &state) {
  Command(state, {"history", "--log", kBigLogId});
}
void EveryJob(benchmark::State &state) {
  Command(state, {"history"});
}
void EveryJobCsv(benchmark::State &state) {
  Command(state, {"history", "--csv"});
}

void Wait(const std::function<bool()> &done, int ms) {
  if (!QTest::qWaitFor(done, ms)) std::printf("  (not within %d ms)\n", ms);
}

// The window from its showing to its first page, and a jump to the middle: the interface
// thread's cost of the jump, then how long until its rows are there.
void Window(benchmark::State &state, bool withServer) {
  double jumpMs = 0, filledMs = 0, firstMs = 0, placedMs = 0;
  for (auto _ : state) {
    QElapsedTimer timer;
    timer.start();
    HistoryWindow window(withServer ? emptyFile : millionFile,
                         withServer ? server->Url() : QString());
    window.show();
    HistoryModel *model = window.Model();
    Wait([&] { return !model->Reading() && model->Record(0); }, 30000);
    firstMs = timer.nsecsElapsed() / 1e6;
    auto *table = window.findChild<QTableView *>("HistoryTable");
    table->viewport()->repaint();
    Wait([&] { return model->Placed(); }, 60000);
    placedMs = timer.nsecsElapsed() / 1e6;
    QScrollBar *bar = table->verticalScrollBar();
    timer.restart();
    bar->setValue(bar->maximum() / 2);
    table->viewport()->repaint();
    jumpMs = timer.nsecsElapsed() / 1e6;
    const int row = table->rowAt(table->viewport()->height() / 2);
    Wait([&] { return model->Record(row) != nullptr; }, 30000);
    filledMs = timer.nsecsElapsed() / 1e6;
    state.SetIterationTime(firstMs / 1000);
    std::printf(
        "  %s: %d rows, first page %.1f ms, every page's start %.1f ms, jump on the interface "
        "thread %.2f ms, rows there after %.1f ms\n",
        withServer ? "server" : "million-job file", model->rowCount(), firstMs, placedMs, jumpMs,
        filledMs);
  }
  state.counters["first_page_ms"] = firstMs;
  state.counters["jump_ui_ms"] = jumpMs;
  state.counters["pages_placed_ms"] = placedMs;
  state.counters["jump_filled_ms"] = filledMs;
}

}  // namespace

int main(int argc, char **argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  folder = std::make_unique<QTemporaryDir>();
  emptyFile = folder->filePath("bench.sqlite");
  if (!MakeServer() || !MakeMillion()) return 1;
  benchmark::RegisterBenchmark("history --unit (one unit)", UnitHistory)
      ->Iterations(5)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("history --limit 20", Newest20)
      ->Iterations(5)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("history --log ID (150 KB)", BigLog)
      ->Iterations(5)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("history (every job, text)", EveryJob)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("history --csv (every job)", EveryJobCsv)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("window with the server", Window, true)
      ->Iterations(3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("window on the million-job file", Window, false)
      ->Iterations(3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  server.reset();
  return 0;
}
