// The journal's writer under a burst: 2,000 jobs' start and end records queued at once by one
// thread, into a new history file and into one that already holds 100,000 jobs. Prints how long
// the caller's calls took and how long after the last of them everything was committed (the
// journal's promise: within 100 ms); asserts nothing.
//
//   build/tests/history/journal_benchmark [rounds]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "history/format.h"
#include "history/journal.h"
#include "history/store.h"

namespace {

constexpr int kBurst = 2000;

double Ms(const QElapsedTimer &timer) {
  return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// Fills `file` with `jobs` ended jobs over 1,000 units.
void Fill(const QString &file, int jobs) {
  history::Store store;
  store.Open(file, history::Store::Mode::Write);
  std::vector<history::JobRecord> batch;
  for (int i = 0; i < jobs; ++i)
    batch.push_back({history::NewId(), QString("VRT%1").arg(i % 1000, 5, 10, QChar('0')), "send",
                     "2026-01-01T00:00:00.000Z", "2026-01-01T00:00:01.000Z", "ok", "", "bench",
                     "tech", "tolvane 5.00.00.04", R"({"line":"AT@NORM"})"});
  store.Write(batch);
}

// One burst: the calls' time and the time from the last call until all is committed.
std::pair<double, double> Burst(const QString &file) {
  history::Journal journal("tolvane", file, "bench");
  journal.Start();
  journal.Flush();
  QElapsedTimer calls;
  calls.start();
  for (int i = 0; i < kBurst; ++i) {
    history::JobRecord r = journal.Begin("VRT00001", "send", history::SendDetails("AT@NORM"));
    journal.End(r, "ok", "OK", {{"replies", "OK\r\n"}});
  }
  const double called = Ms(calls);
  QElapsedTimer committed;
  committed.start();
  journal.Flush();
  return {called, Ms(committed)};
}

void Report(const char *what, std::vector<std::pair<double, double>> runs) {
  std::sort(runs.begin(), runs.end(),
            [](const auto &a, const auto &b) { return a.second < b.second; });
  std::vector<double> calls;
  for (const auto &run : runs) calls.push_back(run.first);
  std::sort(calls.begin(), calls.end());
  std::printf(
      "%s: %d jobs (%d records) queued in %.1f ms (median); committed %.1f ms after the "
      "last (median; min %.1f, max %.1f; limit 100 ms)\n",
      what, kBurst, 2 * kBurst, calls[calls.size() / 2], runs[runs.size() / 2].second,
      runs.front().second, runs.back().second);
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  QTemporaryDir temp;
  std::vector<std::pair<double, double>> fresh, full;
  const QString big = temp.path() + "/full.sqlite";
  Fill(big, 100000);
  for (int round = 0; round < rounds; ++round) {
    fresh.push_back(Burst(temp.path() + QString("/new%1.sqlite").arg(round)));
    full.push_back(Burst(big));
  }
  Report("a new history file", fresh);
  Report("a file of 100,000 jobs", full);
  return 0;
}
