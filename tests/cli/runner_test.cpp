// The run of one job on several units: every unit chosen has its record, whatever the run's end.
#include "cli/runner.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include "history/journal.h"
#include "history/store.h"
#include "sim/in_process.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(Runner, ARunInterruptedDuringItsFirstUnitRecordsEveryUnitChosen) {
  sim::InstalledUnits units;
  units.Add({.serial = "VRT00071",
             .lineFaults = {{.kind = sim::LineFault::Kind::NoAnswer, .word = "NORM"}}});
  units.Add({.serial = "VRT00072"});
  TempFolder folder;
  const QString file = QString::fromStdString(folder.File("history.sqlite"));
  history::Journal journal("tolvane-cli", file, "bench");
  journal.Start();

  cli::JobSpec spec;
  spec.kind = history::JobKind::Send;
  spec.line = "AT@NORM";
  cli::Runner runner(spec, {"VRT00071", "VRT00072", "VRT00073"}, true, &journal);
  runner.Fail(2, "USB device VRT00073 not connected");
  QEventLoop loop;
  runner.Progressed = [&](std::size_t index, const cli::Progress &progress) {
    if (index == 0 && progress.state == "waiting for the reply") runner.Interrupt();
  };
  runner.Finished = [&] { QTimer::singleShot(0, &loop, &QEventLoop::quit); };
  QTimer::singleShot(10000, &loop, &QEventLoop::quit);
  runner.Start();
  loop.exec();
  ASSERT_TRUE(journal.Flush());

  history::Store store;
  ASSERT_TRUE(store.Open(file, history::Store::Mode::Read));
  std::map<QString, std::pair<QString, QString>> records;  // unit: outcome, message
  for (const history::JobRecord &r : store.Jobs({}, false))
    records[r.unit] = {r.outcome, r.message};
  EXPECT_EQ(records, (std::map<QString, std::pair<QString, QString>>{
                         {"VRT00071", {"interrupted", "interrupted"}},
                         {"VRT00072", {"interrupted", "not started: the run was interrupted"}},
                         {"VRT00073", {"failed", "USB device VRT00073 not connected"}}}));
  EXPECT_EQ(runner.Results()[1].message, "not started: the run was interrupted");
  EXPECT_FALSE(runner.Results()[1].id.empty());
}

}  // namespace
