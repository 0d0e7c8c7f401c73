// The service history at size: a history of 1,000,000 jobs over 10,000 units, each unit with
// every kind of job (made once, then kept at $TOLVANE_BENCH_HISTORY or in the temporary folder).
// Prints what a job's records cost its thread, one unit's history, the summary of every unit, the
// CSV export of everything, and the history window opened and scrolled; asserts nothing.
//
//   build/tests/history/history_benchmark            (QT_QPA_PLATFORM=offscreen by default)
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/history_window.h"
#include "history/format.h"
#include "history/journal.h"
#include "history/store.h"

namespace {

constexpr int kUnits = 10000;
constexpr int kJobsPerUnit = 100;

QString Serial(int unit) {
  return QStringLiteral("VRT%1").arg(unit, 5, 10, QChar('0'));
}

QString Time(qint64 second, int ms) {
  return QDateTime::fromSecsSinceEpoch(1764547200 + second, Qt::UTC)
      .addMSecs(ms)
      .toString("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'");
}

// Makes the history: each unit gets 20 jobs of each kind, spread over a year.
bool Make(const QString &file) {
  history::Store store;
  if (!store.Open(file, history::Store::Mode::Write)) {
    std::fprintf(stderr, "%s\n", qPrintable(store.Error()));
    return false;
  }
  QJsonObject values;
  for (int p = 1; p <= 26; ++p) values[QStringLiteral("P%1").arg(p, 2, 10, QChar('0'))] = "12";
  const QByteArray settings =
      QJsonDocument(QJsonObject{{"values", values}, {"profile", "/home/tech/bench.ini"}})
          .toJson(QJsonDocument::Compact);
  const QByteArray firmware = QJsonDocument(QJsonObject{{"file", "/home/tech/app.hex"},
                                                        {"sha256", QString(64, 'a')},
                                                        {"lines", 1536},
                                                        {"sent", 1536},
                                                        {"fast", false},
                                                        {"log", QString("w<=>Y\r\n").repeated(30)}})
                                  .toJson(QJsonDocument::Compact);
  const QByteArray record =
      R"({"file":"/home/tech/msg.wav","sha256":"bb","seconds":6.5,"output":"Built-in"})";
  const QByteArray send = R"({"line":"AT@NORM","replies":"OK\r\n"})";
  const char *jobs[] = {"settings", "defaults", "firmware", "record", "send"};
  const QByteArray details[] = {settings, "{}", firmware, record, send};
  QElapsedTimer timer;
  timer.start();
  std::vector<history::JobRecord> batch;
  qint64 n = 0;
  for (int unit = 0; unit < kUnits; ++unit) {
    for (int j = 0; j < kJobsPerUnit; ++j, ++n) {
      const int kind = j % 5;
      const qint64 second = (n * 31) % (365 * 86400);
      batch.push_back({history::NewId(), Serial(unit), jobs[kind], Time(second, j),
                       Time(second + 20, j), j % 17 == 0 ? "failed" : "ok", "", "bench 1", "tech",
                       "tolvane-cli 5.00.00.04", details[kind]});
    }
    if (batch.size() >= 20000 || unit + 1 == kUnits) {
      if (!store.Write(batch)) {
        std::fprintf(stderr, "%s\n", qPrintable(store.Error()));
        return false;
      }
      batch.clear();
    }
  }
  std::printf("made %lld jobs over %d units in %.1f s\n", n, kUnits, timer.elapsed() / 1000.0);
  return true;
}

double Ms(QElapsedTimer &timer) {
  return timer.nsecsElapsed() / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QTemporaryDir temp;
  QString file = qEnvironmentVariable("TOLVANE_BENCH_HISTORY");
  if (file.isEmpty()) file = QDir::tempPath() + "/tolvane-history-benchmark.sqlite";
  history::Store store;
  if (!QFile::exists(file) && !Make(file)) return 1;
  if (!store.Open(file, history::Store::Mode::Read)) return 1;
  std::printf("history %s: %lld jobs, %.0f MB\n", qPrintable(file), store.Count({}),
              QFile(file).size() / 1e6);

  // A job's records on its own thread: the start and end calls, with the writer committing.
  {
    history::Journal journal("tolvane", temp.path() + "/journal.sqlite", "bench");
    journal.Start();
    journal.Flush();
    std::vector<double> costs;
    for (int i = 0; i < 2000; ++i) {
      QElapsedTimer timer;
      timer.start();
      history::JobRecord r = journal.Begin("VRT00001", "send", history::SendDetails("AT@NORM"));
      journal.End(r, "ok", "OK", {{"replies", "OK\r\n"}});
      costs.push_back(Ms(timer));
    }
    QElapsedTimer timer;
    timer.start();
    journal.Flush();
    std::sort(costs.begin(), costs.end());
    std::printf(
        "a job's two records on its thread: median %.3f ms, max %.3f ms "
        "(limit 2 ms); 2000 jobs committed %.1f ms after the last\n",
        costs[costs.size() / 2], costs.back(), Ms(timer));
  }

  // One unit's history, newest first.
  std::vector<double> unitTimes;
  for (int i = 0; i < 50; ++i) {
    history::JobQuery query;
    query.units = {Serial(static_cast<int>(QRandomGenerator::global()->bounded(kUnits)))};
    QElapsedTimer timer;
    timer.start();
    const auto jobs = store.Jobs(query);
    unitTimes.push_back(Ms(timer));
    if (jobs.size() != kJobsPerUnit) std::printf("  (a unit with %zu jobs)\n", jobs.size());
  }
  std::sort(unitTimes.begin(), unitTimes.end());
  std::printf("one unit's history (100 jobs): median %.2f ms, max %.2f ms (limit 20 ms)\n",
              unitTimes[unitTimes.size() / 2], unitTimes.back());

  {
    QElapsedTimer timer;
    timer.start();
    const auto summaries = store.Summaries({});
    std::printf("summary of every unit (%zu): %.0f ms (limit 1000 ms)\n", summaries.size(),
                Ms(timer));
  }
  {
    QElapsedTimer timer;
    timer.start();
    QFile csv(temp.path() + "/all.csv");
    csv.open(QIODevice::WriteOnly);
    QByteArray buffer = history::CsvHeader();
    qint64 rows = 0;
    store.CsvRows({}, [&](const QByteArray &row) {
      buffer += row;
      ++rows;
      if (buffer.size() > (1 << 20)) {
        csv.write(buffer);
        buffer.clear();
      }
      return true;
    });
    csv.write(buffer);
    csv.close();
    std::printf("CSV export of everything (%lld rows, %.0f MB): %.0f ms (limit 5000 ms)\n", rows,
                csv.size() / 1e6, Ms(timer));
  }

  // The history window: open with every unit, then scrolled to the middle and to the end.
  {
    QElapsedTimer timer;
    timer.start();
    HistoryWindow window(file);
    window.show();
    QCoreApplication::processEvents();
    auto *table = window.findChild<QTableView *>("HistoryTable");
    table->viewport()->repaint();
    std::printf("history window open, %d rows, first page painted: %.0f ms\n",
                table->model()->rowCount(), Ms(timer));
    QScrollBar *bar = table->verticalScrollBar();
    for (const int share : {1, 50, 99, 100}) {
      timer.restart();
      bar->setValue(bar->maximum() / 100 * share);
      table->viewport()->repaint();
      std::printf("  scrolled to %d%%: %.1f ms\n", share, Ms(timer));
    }
    timer.restart();
    bar->setValue(bar->value() - bar->pageStep());
    table->viewport()->repaint();
    std::printf("  a page up: %.1f ms\n", Ms(timer));
  }
  return 0;
}
