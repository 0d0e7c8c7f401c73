// The service history in the windows: the main window's button and label, the records of the
// windows' jobs, and the history window on a real history file.
#include "app/history_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QIcon>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/main_window.h"
#include "app/startup.h"
#include "console/console_window.h"
#include "history/format.h"
#include "history/journal.h"
#include "history/server_store.h"
#include "history/store.h"
#include "session/config.h"
#include "session/shared_state.h"
#include "settings/settings_window.h"
#include "tests/history/private_postgres.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/modal_script.h"
#include "tests/support/temp_folder.h"
#include "ui/window_fit.h"

namespace {

template <class T>
T *Child(QWidget *window, const char *name) {
  T *found = window->findChild<T *>(name);
  EXPECT_NE(found, nullptr) << name;
  return found;
}

// Waits until the table's query has its count and every row it shows is read.
bool Read(QTableView *table) {
  auto *model = qobject_cast<HistoryModel *>(table->model());
  return QTest::qWaitFor(
      [&] {
        if (model->Reading()) return false;
        for (int row = 0; row < model->rowCount(); ++row)
          if (!model->Record(row)) return false;
        return true;
      },
      10000);
}

std::vector<history::JobRecord> Jobs(const QString &file) {
  history::Store store;
  EXPECT_TRUE(store.Open(file, history::Store::Mode::Read));
  return store.Jobs({}, true);
}

TEST(HistoryInTheMainWindow, TheButtonOpensTheHistoryAndTheLabelSaysItsState) {
  QApplication::setQuitOnLastWindowClosed(false);
  TempFolder folder;
  std::unique_ptr<TForm3> kept(CreateWindows(folder.Folder(), {}));
  QPushButton *button = Child<QPushButton>(kept.get(), "ButtonHistory");
  EXPECT_EQ(ShownText(button->text()), "History");
  EXPECT_TRUE(button->isEnabled());
  QLabel *label = Child<QLabel>(kept.get(), "LabelHistory");
  EXPECT_TRUE(QTest::qWaitFor([&] { return label->text() == "History: kept"; }, 5000))
      << label->text().toStdString();
  EXPECT_EQ(Child<QLabel>(kept.get(), "Label1")->text(), "- - - - - -");

  // A folder in the history file's place: the label says why, and the folder stays as it was.
  TempFolder other;
  const std::string place = other.File("history.sqlite");
  QDir().mkpath(QString::fromStdString(place));
  ConfigFile(ConfigFileName(other.Folder())).Write("History", "Location", place);
  std::unique_ptr<TForm3> refused(CreateWindows(other.Folder(), {}));
  QLabel *why = Child<QLabel>(refused.get(), "LabelHistory");
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return why->text() == "History not kept: " + QString::fromStdString(place) + " is a folder";
      },
      5000))
      << why->text().toStdString();
  EXPECT_TRUE(QDir(QString::fromStdString(place)).isEmpty());

  ConfigFile(ConfigFileName(other.Folder())).Write("History", "Location", "none");
  std::unique_ptr<TForm3> off(CreateWindows(other.Folder(), {}));
  EXPECT_EQ(Child<QLabel>(off.get(), "LabelHistory")->text(), "History: off");

  ModalScript script;
  script.Then([](QWidget *modal) {
    EXPECT_EQ(modal->objectName(), "HistoryWindow");
    EXPECT_NE(modal->findChild<QTableView *>("HistoryTable"), nullptr);
    static_cast<QDialog *>(modal)->reject();
  });
  button->click();
  EXPECT_TRUE(script.Done());
}

TEST(HistoryInTheMainWindow, TheLabelSaysWhetherTheHistoryIsSharedOrHowManyRecordsWait) {
  QApplication::setQuitOnLastWindowClosed(false);
  PrivatePostgres server;
  ASSERT_TRUE(server.Ready() && server.Start()) << server.Error().toStdString();
  QString error;
  ASSERT_EQ(history::InitServer(*history::ParseServerUrl(server.Url(), &error), {}, &error), 2);

  // Two records made before the bench had a server wait in its file.
  TempFolder folder;
  const std::string file = folder.File("history.sqlite");
  {
    history::Journal journal("tolvane", QString::fromStdString(file), "bench");
    journal.Start();
    history::JobRecord record = journal.Begin("VRT00001", "defaults", {});
    journal.End(record, "ok", {});
    history::JobRecord cut = journal.Begin("VRT00002", "defaults", {});
    journal.End(cut, "interrupted", {}, {{history::kChangedMember, true}});
    ASSERT_TRUE(journal.Flush());
  }
  ConfigFile config(ConfigFileName(folder.Folder()));
  config.Write("History", "Location", file);
  const QString away =
      QString("postgresql://postgres@127.0.0.1:%1/tolvane").arg(PrivatePostgres::FreePort());
  config.Write("History", "Server", away.toStdString());
  std::unique_ptr<TForm3> waiting(CreateWindows(folder.Folder(), {}));
  QLabel *label = Child<QLabel>(waiting.get(), "LabelHistory");
  const QString prefix = "History: on this bench, 2 records wait for the server (";
  EXPECT_TRUE(QTest::qWaitFor([&] { return label->text().startsWith(prefix); }, 15000))
      << label->text().toStdString();
  EXPECT_TRUE(label->text().endsWith(")"));
  waiting.reset();

  config.Write("History", "Server", server.Url().toStdString());
  std::unique_ptr<TForm3> shared(CreateWindows(folder.Folder(), {}));
  label = Child<QLabel>(shared.get(), "LabelHistory");
  EXPECT_TRUE(QTest::qWaitFor([&] { return label->text() == "History: shared"; }, 15000))
      << label->text().toStdString();
  EXPECT_EQ(server.Value("SELECT count(*) FROM jobs"), "2");
  // The history window reads the server's jobs on a thread of its own, and then shows them.
  HistoryWindow window(QString::fromStdString(file), server.Url());
  window.show();
  QLabel *state = Child<QLabel>(&window, "LabelState");
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return state->text().startsWith("The workshop's history on "); }, 15000))
      << state->text().toStdString();
  ASSERT_TRUE(Read(Child<QTableView>(&window, "HistoryTable")));
  EXPECT_EQ(Child<QTableView>(&window, "HistoryTable")->model()->rowCount(), 2);
  // The unit list and a unit's summary come from the server too, read off the interface thread:
  // the defaults cut short after they were sent leave the parameters unsettled.
  auto *unit = Child<QComboBox>(&window, "HistoryUnit");
  EXPECT_TRUE(QTest::qWaitFor([&] { return unit->count() == 3; }, 15000)) << unit->count();
  unit->setEditText("VRT00002");
  QMetaObject::invokeMethod(unit->lineEdit(), "editingFinished");
  QLabel *summary = Child<QLabel>(&window, "HistorySummary");
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return summary->text().contains("\nparameters: none, the write of "); }, 15000))
      << summary->text().toStdString();
  EXPECT_TRUE(
      summary->text().contains(" ended interrupted: the unit may hold some of the new "
                               "values until a write completes\n"));
}

// The windows' jobs against the driver stand-in, each with its record.
class WindowRecords : public ::testing::Test {
 protected:
  WindowRecords() : state(folder.Folder()) {
    fake->add("VRT00042");
    state.SerialList[0] = "VRT00042";
    state.UnitCount = 1;
    state.DeviceChosen = true;
    state.Port = std::make_unique<TFT232>("VRT00042");
    journal.Start();
  }
  void Reply(std::string_view bytes) {
    auto &rx = fake->devices[0].rx;
    rx.insert(rx.end(), bytes.begin(), bytes.end());
  }
  static void Tick(QWidget *window, const char *timer) {
    QMetaObject::invokeMethod(Child<QTimer>(window, timer), "timeout", Qt::DirectConnection);
  }

  TempFolder folder;
  fake::Installed fake;
  SharedState state;
  const QString file = QString::fromStdString(folder.File("history.sqlite"));
  history::Journal journal{"tolvane", file, "bench 7"};
  ModalScript boxes{ModalScript::kAnswerBoxes};
};

TEST_F(WindowRecords, ARefusedWriteFailsWithItsMessageAndAClosedOneIsInterrupted) {
  TForm6 window(state, nullptr);
  window.History = &journal;
  window.show();
  auto *write = Child<QPushButton>(&window, "Button2");
  write->click();
  for (int step = 1; step <= 9; ++step) {
    Reply("OK\r\n");
    Tick(&window, "Timer1");
  }
  Reply("ERR\r\n");
  Tick(&window, "Timer1");
  write->click();
  Reply("OK\r\n");
  Tick(&window, "Timer1");
  window.close();
  ASSERT_TRUE(journal.Flush());

  const auto jobs = Jobs(file);
  ASSERT_EQ(jobs.size(), 2u);
  const history::JobRecord &refused = jobs[1].outcome == "failed" ? jobs[1] : jobs[0];
  const history::JobRecord &closed = jobs[1].outcome == "failed" ? jobs[0] : jobs[1];
  EXPECT_EQ(refused.outcome, "failed");
  EXPECT_EQ(refused.message, "Error value - P17");
  EXPECT_EQ(refused.job, "settings");
  EXPECT_EQ(refused.unit, "VRT00042");
  EXPECT_EQ(refused.station, "bench 7");
  EXPECT_EQ(refused.program, "tolvane " TOLVANE_VERSION_TEXT);
  const QJsonObject details = QJsonDocument::fromJson(refused.details).object();
  EXPECT_EQ(details["values"].toObject().size(), 26);
  EXPECT_TRUE(details["profile"].isNull());
  EXPECT_EQ(closed.outcome, "interrupted");
  EXPECT_TRUE(closed.ended);
}

TEST_F(WindowRecords, EachSendHasARecordWithWhatCameInItsSecond) {
  TForm1 window(state, nullptr);
  window.History = &journal;
  window.show();
  Child<QLineEdit>(&window, "Edit1")->setText("AT@NORM");
  Child<QPushButton>(&window, "Button3")->click();
  Reply("OK\r\n");
  for (int tick = 0; tick < 12; ++tick) Tick(&window, "Timer1");
  Reply("LATE\r\n");
  Tick(&window, "Timer1");
  window.close();
  ASSERT_TRUE(journal.Flush());
  const auto jobs = Jobs(file);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].job, "send");
  EXPECT_EQ(jobs[0].outcome, "ok");
  EXPECT_EQ(jobs[0].details, R"({"line":"AT@NORM","replies":"OK\r\n"})");
}

TEST(HistoryWindowTest, ShowsAUnitsJobsItsSummaryAndDetailsAndExportsThemAsTheCommandLineDoes) {
  TempFolder folder;
  const QString file = QString::fromStdString(folder.File("history.sqlite"));
  {
    history::Journal journal("tolvane-cli", file, "bench");
    journal.Start();
    for (const QString unit : {"VRT00001", "VRT00002", "VRT00003"}) {
      history::JobRecord firmware = journal.Begin(unit, "firmware", {{"file", "/fw/app.hex"}});
      journal.End(firmware, "ok", "done, \"quoted\"", {{"sha256", "ab12"}, {"log", "w<=>Y"}});
      history::JobRecord send = journal.Begin(unit, "send", {{"line", "AT@NORM"}});
      journal.End(send, "failed", "no reply");
    }
    ASSERT_TRUE(journal.Flush());
  }
  HistoryWindow window(file);
  window.SetUnit("VRT00002");
  window.show();
  auto *table = Child<QTableView>(&window, "HistoryTable");
  ASSERT_TRUE(Read(table));
  ASSERT_EQ(table->model()->rowCount(), 2);
  EXPECT_EQ(table->model()->columnCount(), 10);
  const QStringList headers = {"Started", "Unit",     "Job",     "Outcome", "Message",
                               "Station", "Operator", "Program", "Ended",   "Id"};
  for (int column = 0; column < 10; ++column)
    EXPECT_EQ(table->model()->headerData(column, Qt::Horizontal).toString(), headers[column]);
  EXPECT_EQ(table->model()->index(0, 0).data().toString().size(), 19) << "yyyy-MM-dd HH:mm:ss";
  EXPECT_TRUE(Child<QLabel>(&window, "LabelZone")->text().startsWith("Times are local: "));
  EXPECT_TRUE(Child<QLabel>(&window, "HistorySummary")->text().contains("ab12"));
  const int firmwareRow = table->model()->index(0, 2).data().toString() == "firmware" ? 0 : 1;
  table->setCurrentIndex(table->model()->index(firmwareRow, 0));
  auto *shown = Child<QPlainTextEdit>(&window, "HistoryDetails");
  EXPECT_TRUE(QTest::qWaitFor([&] { return shown->toPlainText().contains("Transfer log:"); }));
  const QString details = shown->toPlainText();
  EXPECT_TRUE(details.contains("Transfer log:\nw<=>Y")) << details.toStdString();
  EXPECT_TRUE(details.contains("File: /fw/app.hex")) << details.toStdString();
  EXPECT_TRUE(details.contains("SHA-256: ab12")) << details.toStdString();

  const QString csv = QString::fromStdString(folder.File("out.csv"));
  // The export's dialog starts in the home folder, and then in the folder of the last export.
  QStringList startedIn;
  {
    ModalScript script;
    script.Then([&](QWidget *modal) {
      auto *dialog = qobject_cast<QFileDialog *>(modal);
      startedIn << dialog->directory().absolutePath();
      ModalScript::ChooseFile(dialog, csv);
    });
    Child<QPushButton>(&window, "ButtonExportCsv")->click();
    ASSERT_TRUE(script.Done());
  }
  {
    ModalScript again;
    again.Then([&](QWidget *modal) {
      startedIn << qobject_cast<QFileDialog *>(modal)->directory().absolutePath() + "/";
      qobject_cast<QDialog *>(modal)->reject();
    });
    Child<QPushButton>(&window, "ButtonExportCsv")->click();
    ASSERT_TRUE(again.Done());
  }
  EXPECT_EQ(startedIn, (QStringList{QDir::homePath(), QString::fromStdString(folder.Folder())}));
  QProcess cli;
  cli.start(TOLVANE_CLI_PROGRAM, {"history", "--csv", "--unit", "VRT00002", "--history", file});
  ASSERT_TRUE(cli.waitForFinished(10000));
  QFile exported(csv);
  ASSERT_TRUE(exported.open(QIODevice::ReadOnly));
  EXPECT_EQ(exported.readAll(), cli.readAllStandardOutput());

  auto *unit = Child<QComboBox>(&window, "HistoryUnit");
  EXPECT_EQ(unit->count(), 4) << "every unit and the empty entry";
  unit->setEditText(" VRT00003 ");
  emit unit->lineEdit()->editingFinished();
  ASSERT_TRUE(Read(table));
  EXPECT_EQ(table->model()->rowCount(), 2);
  EXPECT_EQ(table->model()->index(0, 1).data().toString(), "VRT00003");
  unit->setEditText("");
  emit unit->lineEdit()->editingFinished();
  ASSERT_TRUE(Read(table));
  EXPECT_EQ(table->model()->rowCount(), 6);
}

TEST(HistoryWindowTest, FiltersByJobOutcomeAndDateAndSortsByUnitAndReadsASettingsJob) {
  TempFolder folder;
  const QString file = QString::fromStdString(folder.File("history.sqlite"));
  {
    history::Journal journal("tolvane", file, "bench");
    journal.Start();
    for (const QString unit : {"VRT00002", "VRT00001", "VRT00003"}) {
      history::JobRecord settings =
          journal.Begin(unit, "settings", {{"values", QJsonObject{{"P05", "1"}, {"MOD", "1"}}}});
      journal.End(settings, unit == "VRT00001" ? "failed" : "ok", {});
      history::JobRecord send = journal.Begin(unit, "send", {{"line", "AT@NORM"}});
      journal.End(send, "ok", {});
    }
    ASSERT_TRUE(journal.Flush());
  }
  HistoryWindow window(file);
  window.show();
  auto *table = Child<QTableView>(&window, "HistoryTable");
  auto *model = table->model();
  ASSERT_TRUE(Read(table));
  ASSERT_EQ(model->rowCount(), 6);
  EXPECT_FALSE(table->tabKeyNavigation()) << "Tab leaves the table";

  auto choose = [&](const char *name, const QString &entry) {
    auto *box = Child<QComboBox>(&window, name);
    box->setCurrentIndex(box->findText(entry));
    emit box->activated(box->currentIndex());
    EXPECT_TRUE(Read(table));
  };
  choose("HistoryJob", "settings");
  EXPECT_EQ(model->rowCount(), 3);
  choose("HistoryOutcome", "failed");
  ASSERT_EQ(model->rowCount(), 1);
  EXPECT_EQ(model->index(0, 1).data().toString(), "VRT00001");
  EXPECT_EQ(model->index(0, 3).data().toString(), "failed");
  EXPECT_FALSE(model->index(0, 3).data(Qt::DecorationRole).value<QIcon>().isNull());
  table->setCurrentIndex(model->index(0, 0));
  const QString details = Child<QPlainTextEdit>(&window, "HistoryDetails")->toPlainText();
  EXPECT_TRUE(details.contains(
      QString::fromUtf8("P05 \u00b7 Setting of Flash duration in numbers dial \u00b7 100 ms")))
      << details.toStdString();

  choose("HistoryOutcome", "any outcome");
  choose("HistoryJob", "any job");
  auto *since = Child<QDateEdit>(&window, "HistorySince");
  since->setDate(QDate::currentDate().addDays(1));
  ASSERT_TRUE(Read(table));
  EXPECT_EQ(model->rowCount(), 0) << "nothing since tomorrow";
  since->setDate(since->minimumDate());
  ASSERT_TRUE(Read(table));
  ASSERT_EQ(model->rowCount(), 6);

  table->sortByColumn(1, Qt::AscendingOrder);  // "Unit"
  ASSERT_TRUE(Read(table));
  QStringList units;
  for (int row = 0; row < 6; ++row) units << model->index(row, 1).data().toString();
  EXPECT_EQ(units,
            QStringList({"VRT00001", "VRT00001", "VRT00002", "VRT00002", "VRT00003", "VRT00003"}));
  table->sortByColumn(2, Qt::DescendingOrder);  // "Job"
  ASSERT_TRUE(Read(table));
  EXPECT_EQ(model->index(0, 2).data().toString(), "settings");
  EXPECT_EQ(model->index(5, 2).data().toString(), "send");
}

// Waits until the rows [from, to) of the table are read.
bool RowsRead(HistoryModel *model, int from, int to) {
  return QTest::qWaitFor(
      [&] {
        for (int row = from; row < to; ++row)
          if (!model->Record(row)) return false;
        return true;
      },
      15000);
}

TEST(HistoryWindowTest, AJumpShowsTheServersRowsThereWithTheBenchsWaitingRecordsInTheirPlace) {
  PrivatePostgres server;
  ASSERT_TRUE(server.Ready() && server.Start()) << server.Error().toStdString();
  QString error;
  ASSERT_EQ(history::InitServer(*history::ParseServerUrl(server.Url(), &error), {}, &error), 2);
  // 2,000 jobs, one a minute, the newest first at row 0; the one of minute 700 still running.
  const auto made = server.Sql(
      "INSERT INTO jobs (id, unit, job, started, ended, outcome, message, station, "
      "\"operator\", program, details) SELECT lpad(to_hex(i), 8, '0') || "
      "'-0000-4000-8000-000000000000', 'VRT00001', 'send', timestamptz '2026-12-01 "
      "00:00:00+00' + i * interval '1 minute', NULL, CASE WHEN i = 700 THEN 'running' ELSE "
      "'ok' END, '', 'bench', 'tech', 'tolvane', '{}' FROM generate_series(1, 2000) AS i");
  ASSERT_TRUE(made.ok) << made.error.toStdString();
  // This bench's records waiting for the server: a job between minutes 1000 and 1001, and the
  // end of the job of minute 700.
  TempFolder folder;
  const QString file = QString::fromStdString(folder.File("history.sqlite"));
  const history::JobRecord between{"feedbead-0000-4000-8000-000000000001",
                                   "VRT00002",
                                   "defaults",
                                   "2026-12-01T16:40:30.000Z",
                                   "2026-12-01T16:40:31.000Z",
                                   "ok",
                                   "",
                                   "bench",
                                   "tech",
                                   "tolvane",
                                   "{}"};
  history::JobRecord ended = between;
  ended.id = "000002bc-0000-4000-8000-000000000000";
  ended.unit = "VRT00001";
  ended.job = "send";
  ended.started = "2026-12-01T11:40:00.000Z";
  ended.message = "ended on the bench";
  {
    history::Store store;
    ASSERT_TRUE(store.Open(file, history::Store::Mode::Write));
    ASSERT_TRUE(store.Write({between, ended}));
  }
  HistoryWindow window(file, server.Url());
  window.show();
  auto *table = Child<QTableView>(&window, "HistoryTable");
  HistoryModel *model = window.Model();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !model->Reading(); }, 15000));
  ASSERT_EQ(model->rowCount(), 2001);
  // Row r shows minute 2000 - r down to minute 1001 (row 999), then the waiting job, then
  // minute 1000 on; the end of minute 700 in its place at row 1301.
  table->scrollTo(model->index(1300, 0), QAbstractItemView::PositionAtCenter);
  ASSERT_TRUE(RowsRead(model, 1290, 1310));
  EXPECT_EQ(model->Record(1301)->message, "ended on the bench");
  EXPECT_EQ(model->Record(1301)->outcome, "ok");
  EXPECT_EQ(model->Record(1300)->id, "000002bd-0000-4000-8000-000000000000");
  table->scrollTo(model->index(1000, 0), QAbstractItemView::PositionAtCenter);
  ASSERT_TRUE(RowsRead(model, 990, 1010));
  EXPECT_EQ(model->Record(999)->id, "000003e9-0000-4000-8000-000000000000");
  EXPECT_EQ(model->Record(1000)->id, between.id);
  EXPECT_EQ(model->Record(1001)->id, "000003e8-0000-4000-8000-000000000000");
  ASSERT_TRUE(RowsRead(model, 2000, 2001));
  EXPECT_EQ(model->Record(2000)->id, "00000001-0000-4000-8000-000000000000");
}

}  // namespace
