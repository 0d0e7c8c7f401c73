// The units view and `summary` against a standard at a fleet's size: the history window's units
// view opened, sorted and filtered, and `tolvane-cli summary --profile --firmware --json` as a
// whole command, on the history of 1,000,000 jobs over 10,000 units that
// build/tests/history/history_benchmark makes ($TOLVANE_BENCH_HISTORY, else
// /tmp/tolvane-history-benchmark.sqlite). Prints figures; asserts nothing; not run by ctest.
//
//   build/tests/app/units_view_benchmark
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>

#include "app/history_window.h"
#include "app/units_view.h"
#include "settings/profile.h"
#include "tests/firmware/hex_records.h"

namespace {

QString BenchFile() {
  const QString file = qEnvironmentVariable("TOLVANE_BENCH_HISTORY");
  return file.isEmpty() ? QDir::tempPath() + "/tolvane-history-benchmark.sqlite" : file;
}

// The window once shown on the jobs view, for each case.
struct Shown {
  HistoryWindow window{BenchFile()};
  QTabWidget *tabs;
  QTableView *table;
  Shown() {
    window.show();
    QApplication::processEvents();
    tabs = window.findChild<QTabWidget *>("HistoryTabs");
    table = window.findChild<QTableView *>("UnitsTable");
  }
  void Paint() { table->viewport()->repaint(); }
};

void UnitsViewOpens(benchmark::State &state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto shown = std::make_unique<Shown>();
    state.ResumeTiming();
    shown->tabs->setCurrentIndex(1);
    // The summaries are read on a thread of their own.
    if (!QTest::qWaitFor([&] { return shown->table->model()->rowCount() > 0; }, 60000))
      return state.SkipWithError("no units shown");
    shown->Paint();
    state.PauseTiming();
    state.counters["units"] = shown->table->model()->rowCount();
    shown.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(UnitsViewOpens)->Unit(benchmark::kMillisecond)->Iterations(5);

// The view's own part of the opening: the rows made from summaries already read, and painted.
void UnitsViewShowsSummaries(benchmark::State &state) {
  Shown shown;
  history::Store store;
  if (!store.Open(BenchFile(), history::Store::Mode::Read)) return state.SkipWithError("no file");
  const std::vector<history::UnitSummary> summaries = store.Summaries({});
  auto *view = qobject_cast<UnitsView *>(shown.tabs->widget(1));
  shown.tabs->setCurrentIndex(1);
  for (auto _ : state) {
    view->SetUnits(summaries);
    shown.Paint();
  }
}
BENCHMARK(UnitsViewShowsSummaries)->Unit(benchmark::kMillisecond)->Iterations(5);

// The history's part: every unit's summary read.
void SummariesRead(benchmark::State &state) {
  for (auto _ : state) {
    history::Store store;
    if (!store.Open(BenchFile(), history::Store::Mode::Read)) return state.SkipWithError("no file");
    benchmark::DoNotOptimize(store.Summaries({}));
  }
}
BENCHMARK(SummariesRead)->Unit(benchmark::kMillisecond)->Iterations(5);

void UnitsViewSorts(benchmark::State &state) {
  Shown shown;
  shown.tabs->setCurrentIndex(1);
  int column = 0;
  for (auto _ : state) {
    column = column % 6 + 1;  // each column in turn, "Station" then "Unit" again
    shown.table->horizontalHeader()->setSortIndicator(column % 6, Qt::DescendingOrder);
    shown.Paint();
  }
}
BENCHMARK(UnitsViewSorts)->Unit(benchmark::kMillisecond)->Iterations(12);

void UnitsViewFilters(benchmark::State &state) {
  Shown shown;
  shown.tabs->setCurrentIndex(1);
  auto *filter = shown.window.findChild<QLineEdit *>("UnitsFilter");
  bool on = false;
  for (auto _ : state) {
    filter->setText((on = !on) ? "VRT0999" : "");
    shown.Paint();
  }
}
BENCHMARK(UnitsViewFilters)->Unit(benchmark::kMillisecond)->Iterations(6);

void SummaryAgainstAStandard(benchmark::State &state) {
  QTemporaryDir folder;
  const QString profile = folder.filePath("std.ini"), hex = folder.filePath("app.hex");
  settings::WriteProfile(profile.toStdString(), settings::ParameterValues());
  QFile file(hex);
  if (!file.open(QIODevice::WriteOnly)) return state.SkipWithError("cannot write app.hex");
  file.write(QByteArray::fromStdString(hexfile::FirmwareFile()));
  file.close();
  qint64 bytes = 0;
  for (auto _ : state) {
    QProcess cli;
    cli.start(TOLVANE_CLI_PROGRAM, {"summary", "--history", BenchFile(), "--profile", profile,
                                    "--firmware", hex, "--json"});
    cli.waitForFinished(60000);
    bytes = cli.readAllStandardOutput().size();
  }
  state.counters["output MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(SummaryAgainstAStandard)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char **argv) {
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  if (!QFile::exists(BenchFile())) {
    std::fprintf(stderr, "no history at %s: run build/tests/history/history_benchmark first\n",
                 qPrintable(BenchFile()));
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
