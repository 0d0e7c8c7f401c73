// The history file: its checks, schema and journal, the records written and read back, the
// processes that are gone, the outbox, and several writers at once, on real SQLite files.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTimeZone>
#include <thread>

#include "history/format.h"
#include "history/journal.h"
#include "history/store.h"
#include "tests/support/temp_folder.h"

namespace {

using history::JobRecord;
using history::Store;

JobRecord Record(const QString &unit, const QString &job, const QString &started,
                 const QString &outcome = "ok", const QByteArray &details = "{}") {
  return {history::NewId(),     unit,   job, started, started, outcome, "", "bench", "tech",
          "tolvane 5.00.00.04", details};
}

// Runs SQL on the file through a connection of the test's own.
QStringList Sql(const QString &file, const QString &statement) {
  QStringList rows;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "test");
    db.setDatabaseName(file);
    EXPECT_TRUE(db.open());
    QSqlQuery q(db);
    EXPECT_TRUE(q.exec(statement)) << statement.toStdString();
    while (q.next()) {
      QStringList row;
      for (int i = 0; i < q.record().count(); ++i) row << q.value(i).toString();
      rows << row.join('|');
    }
  }
  QSqlDatabase::removeDatabase("test");
  return rows;
}

QByteArray Bytes(const QString &file) {
  QFile f(file);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

TEST(HistoryStore, ANewHistoryHasItsFolderFileSchemaAndJournal) {
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("Tolvane/history.sqlite"));
  {
    Store store;
    ASSERT_TRUE(store.Open(file, Store::Mode::Write)) << store.Error().toStdString();
    ASSERT_TRUE(store.Write({Record("VRT00001", "send", "2026-12-08T07:15:02.123Z")}))
        << store.Error().toStdString();
  }
  struct stat folder {
  }, data{};
  ASSERT_EQ(stat(QFile::encodeName(QFileInfo(file).path()).constData(), &folder), 0);
  ASSERT_EQ(stat(QFile::encodeName(file).constData(), &data), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(data.st_mode & 0777, 0600u);
  EXPECT_EQ(Sql(file, "PRAGMA application_id"),
            QStringList{QString::number(history::kApplicationId)});
  EXPECT_EQ(Sql(file, "PRAGMA user_version"),
            QStringList{QString::number(history::kSchemaVersion)});
  EXPECT_EQ(Sql(file, "PRAGMA journal_mode"), QStringList{"wal"});
  EXPECT_EQ(Sql(file, "SELECT name FROM pragma_table_info('jobs') ORDER BY cid"),
            history::ColumnNames());
  EXPECT_EQ(Sql(file, "SELECT unit, job, outcome FROM jobs"), QStringList{"VRT00001|send|ok"});
  EXPECT_EQ(Sql(file,
                "EXPLAIN QUERY PLAN SELECT * FROM jobs WHERE unit = 'VRT00001' ORDER BY "
                "started DESC")
                .join(' ')
                .contains("USING INDEX jobs_by_unit"),
            true);
}

TEST(HistoryStore, WhatIsNoHistoryIsNeverWritten) {
  TempFolder temp;
  const QString text = QString::fromStdString(temp.File("notes.txt"));
  QFile notes(text);
  ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
  notes.write(QByteArray(4096, 'x'));
  notes.close();
  const QString other = QString::fromStdString(temp.File("other.sqlite"));
  Sql(other, "CREATE TABLE t (a)");
  const QString newer = QString::fromStdString(temp.File("newer.sqlite"));
  {
    Store store;
    ASSERT_TRUE(store.Open(newer, Store::Mode::Write));
  }
  Sql(newer, QStringLiteral("PRAGMA user_version = %1").arg(history::kSchemaVersion + 1));
  const QString folder = QString::fromStdString(temp.File("folder"));
  QDir().mkpath(folder);

  for (const QString &file : {text, other, newer, folder}) {
    const QByteArray before = Bytes(file);
    Store store;
    EXPECT_FALSE(store.Open(file, Store::Mode::Write)) << file.toStdString();
    EXPECT_TRUE(store.Error().startsWith(file)) << store.Error().toStdString();
    EXPECT_FALSE(store.Write({Record("VRT00001", "send", "2026-12-08T07:15:02.123Z")}))
        << file.toStdString();
    EXPECT_EQ(Bytes(file), before) << file.toStdString();
  }
  EXPECT_TRUE(Store().Open(newer, Store::Mode::Read)) << "a newer history is read";
  EXPECT_FALSE(Store().Open(text, Store::Mode::Read));
  EXPECT_TRUE(Store().Open(QString::fromStdString(temp.File("absent")), Store::Mode::Read));
  EXPECT_FALSE(QFile::exists(QString::fromStdString(temp.File("absent"))));
}

TEST(HistoryStore, QueriesGoNewestFirstThenByUnitAndId) {
  TempFolder temp;
  Store store;
  ASSERT_TRUE(store.Open(QString::fromStdString(temp.File("h.sqlite")), Store::Mode::Write));
  std::vector<JobRecord> records = {
      Record("VRT00002", "send", "2026-12-08T07:00:00.000Z"),
      Record("VRT00001", "send", "2026-12-08T07:00:00.000Z", "failed"),
      Record("VRT00001", "firmware", "2026-12-08T08:00:00.000Z", "ok",
             R"({"file":"/a.hex","log":"w<=>Y","sha256":"ab"})"),
      Record("VRT00003", "settings", "2026-12-07T08:00:00.000Z"),
  };
  ASSERT_TRUE(store.Write(records));
  const auto all = store.Jobs({});
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].job, "firmware");
  EXPECT_EQ(all[1].unit, "VRT00001");
  EXPECT_EQ(all[2].unit, "VRT00002");
  EXPECT_EQ(all[0].details, R"({"file":"/a.hex","sha256":"ab"})") << "no log";
  EXPECT_EQ(store.Job(records[2].id)->details, records[2].details);
  history::JobQuery query;
  query.units = {"VRT00001"};
  query.outcome = "failed";
  EXPECT_EQ(store.Jobs(query).size(), 1u);
  query = {};
  query.since = "2026-12-08T07:00:00.000Z";
  EXPECT_EQ(store.Count(query), 3);
  // A part read from a row's key, in the order of the query, never from an offset.
  query = {};
  query.limit = 2;
  std::vector<JobRecord> part;
  ASSERT_TRUE(store.Read(query, {history::KeyOf(query, all[2]), {}}, [&](const JobRecord &r) {
    part.push_back(r);
    return true;
  }));
  ASSERT_EQ(part.size(), 2u);
  EXPECT_EQ(part[0].id, all[2].id);
  EXPECT_EQ(part[1].id, all[3].id);
  EXPECT_EQ(store.Units(), (QStringList{"VRT00001", "VRT00002", "VRT00003"}));
}

// Each part from the newest job of its kind (by start) that began to change the unit or ended
// ok; one that began and did not end ok leaves the part none and says why.
TEST(HistoryStore, TheSummaryTakesEachPartFromTheNewestJobThatBeganToChangeTheUnit) {
  TempFolder temp;
  Store store;
  ASSERT_TRUE(store.Open(QString::fromStdString(temp.File("h.sqlite")), Store::Mode::Write));
  auto at = [](const QString &unit, const QString &job, const QString &minute,
               const QString &outcome, const QByteArray &details) {
    JobRecord r = Record(unit, job, "2026-12-08T07:" + minute + ":00.000Z", outcome, details);
    r.message = outcome == "ok" ? "" : "Error value - P05";
    return r;
  };
  JobRecord running = at("VRT00002", "firmware", "50", "running", "{}");
  running.ended.reset();
  ASSERT_TRUE(store.Write({
      at("VRT00001", "firmware", "10", "ok", R"({"sha256":"old"})"),
      at("VRT00001", "firmware", "20", "ok", R"({"sha256":"new"})"),
      at("VRT00001", "firmware", "30", "failed", R"({"sha256":"bad","changed":false})"),
      at("VRT00001", "settings", "40", "ok", R"({"values":{"P01":"3"},"profile":"a.ini"})"),
      at("VRT00001", "defaults", "35", "ok", "{}"),
      at("VRT00001", "send", "55", "failed", "{}"),
      at("VRT00002", "settings", "40", "ok", R"({"values":{"P01":"3"}})"),
      at("VRT00002", "defaults", "45", "ok", "{}"),
      at("VRT00002", "firmware", "20", "ok", R"({"sha256":"new"})"),
      at("VRT00003", "settings", "10", "ok", R"({"values":{"P01":"3"}})"),
      at("VRT00003", "settings", "20", "failed", R"({"values":{"P01":"4"},"changed":true})"),
      at("VRT00003", "record", "30", "interrupted", R"({"seconds":2})"),
      running,
  }));
  const auto summaries = store.Summaries({});
  ASSERT_EQ(summaries.size(), 3u);
  const history::UnitSummary &first = summaries[0], &second = summaries[1], &third = summaries[2];
  EXPECT_EQ(first.firmware->sha256, "new") << "a download that never began changes nothing";
  EXPECT_FALSE(first.firmwareUnsettled);
  EXPECT_EQ(first.parameters->values->value("P01").toString(), "3");
  EXPECT_EQ(first.parameters->profile, "a.ini");
  EXPECT_FALSE(first.message);
  EXPECT_EQ(std::make_pair(first.lastJob, first.lastOutcome),
            std::make_pair(QString("send"), QString("failed")));
  EXPECT_FALSE(second.parameters->values) << "the defaults came after the write";
  EXPECT_EQ(second.firmware->sha256, "new") << "a running download settles nothing yet";
  EXPECT_TRUE(history::SummaryJson(second).contains(R"("values": "defaults")"));
  EXPECT_FALSE(history::SummaryJson(second).contains("unsettled"));
  // A write that began and failed, a recording without the member that did not end ok.
  EXPECT_FALSE(third.parameters);
  ASSERT_TRUE(third.parametersUnsettled);
  EXPECT_EQ(third.parametersUnsettled->when, "2026-12-08T07:20:00.000Z");
  EXPECT_EQ(third.parametersUnsettled->outcome, "failed");
  EXPECT_EQ(third.parametersUnsettled->message, "Error value - P05");
  EXPECT_EQ(third.parametersUnsettled->station, "bench");
  ASSERT_TRUE(third.messageUnsettled) << "an older record that did not end ok may have begun";
  EXPECT_TRUE(history::SummaryJson(third).endsWith(
      R"("last": "2026-12-08T07:30:00.000Z", "unsettled": {"parameters": {"when": )"
      R"("2026-12-08T07:20:00.000Z", "station": "bench", "outcome": "failed", "message": )"
      R"("Error value - P05"}, "message": {"when": "2026-12-08T07:30:00.000Z", "station": )"
      R"("bench", "outcome": "interrupted", "message": "Error value - P05"}}})"))
      << history::SummaryJson(third).toStdString();
}

// Rows that another tool writes into `jobs` (sqlite3, an import) show in the unit list and the
// summary like the program's own; a row it deletes or changes leaves nothing stale.
TEST(HistoryStore, RowsWrittenBySqlite3ShowInTheSummaryAndTheUnitList) {
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("h.sqlite"));
  Store store;
  ASSERT_TRUE(store.Open(file, Store::Mode::Write));
  ASSERT_TRUE(store.Write({Record("VRT00001", "send", "2026-12-08T07:00:00.000Z")}));
  const auto sqlite3 = [&](const QByteArray &sql) {
    QProcess program;
    program.start("sqlite3", {file});
    program.write(sql);
    program.closeWriteChannel();
    ASSERT_TRUE(program.waitForFinished(10000));
    ASSERT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
  };
  sqlite3(
      "INSERT INTO jobs VALUES ('a', 'VRT00009', 'firmware', '2026-12-08T06:00:00.000Z', "
      "'2026-12-08T06:05:00.000Z', 'ok', '', 'other', 'tech', 'import', "
      "'{\"file\": \"app.hex\", \"sha256\": \"imported\"}');\n"
      "INSERT INTO jobs VALUES ('b', 'VRT00008', 'send', '2026-12-08T06:00:00.000Z', "
      "'2026-12-08T06:05:00.000Z', 'ok', '', 'other', 'tech', 'import', '{}');\n");
  EXPECT_EQ(store.Units(), (QStringList{"VRT00001", "VRT00008", "VRT00009"}));
  auto summaries = store.Summaries({"VRT00009"});
  ASSERT_EQ(summaries.size(), 1u);
  ASSERT_TRUE(summaries[0].firmware);
  EXPECT_EQ(summaries[0].firmware->sha256, "imported");
  EXPECT_EQ(summaries[0].last, "2026-12-08T06:00:00.000Z");

  // A later download that failed, whose details say nothing (no JSON even), then taken away.
  sqlite3(
      "INSERT INTO jobs VALUES ('c', 'VRT00009', 'firmware', '2026-12-08T07:00:00.000Z', "
      "'2026-12-08T07:05:00.000Z', 'failed', 'E', 'other', 'tech', 'import', 'no JSON');\n");
  summaries = store.Summaries({"VRT00009"});
  EXPECT_FALSE(summaries[0].firmware);
  ASSERT_TRUE(summaries[0].firmwareUnsettled);
  EXPECT_EQ(summaries[0].firmwareUnsettled->outcome, "failed");
  sqlite3("DELETE FROM jobs WHERE id = 'c'; DELETE FROM jobs WHERE unit = 'VRT00008';\n");
  EXPECT_EQ(store.Units(), (QStringList{"VRT00001", "VRT00009"})) << "no unit left without jobs";
  summaries = store.Summaries({"VRT00009"});
  ASSERT_TRUE(summaries[0].firmware);
  EXPECT_EQ(summaries[0].firmware->sha256, "imported");
  EXPECT_EQ(summaries[0].last, "2026-12-08T06:00:00.000Z");
  sqlite3("UPDATE jobs SET outcome = 'failed' WHERE id = 'a';\n");
  summaries = store.Summaries({"VRT00009"});
  EXPECT_FALSE(summaries[0].firmware);
  EXPECT_EQ(summaries[0].firmwareUnsettled->outcome, "failed");
}

// A file of version 3 is raised to 4 with its summaries taken anew from its rows.
TEST(HistoryStore, AFileOfVersion3GetsItsSummariesAnew) {
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("h.sqlite"));
  {
    Store store;
    ASSERT_TRUE(store.Open(file, Store::Mode::Write));
    JobRecord cut = Record("VRT00001", "firmware", "2026-12-08T07:10:00.000Z", "failed");
    ASSERT_TRUE(store.Write({Record("VRT00001", "firmware", "2026-12-08T07:00:00.000Z"), cut}));
  }
  // As version 3 left it: the last ok download, no trigger on deletes.
  Sql(file, "DROP TRIGGER jobs_keep_unit_last_on_delete");
  Sql(file, "UPDATE unit_last SET id = (SELECT id FROM jobs WHERE outcome = 'ok') WHERE job <> ''");
  Sql(file, "PRAGMA user_version = 3");
  Store store;
  ASSERT_TRUE(store.Open(file, Store::Mode::Write));
  EXPECT_EQ(Sql(file, "PRAGMA user_version"), QStringList{"4"});
  const auto summaries = store.Summaries({});
  ASSERT_EQ(summaries.size(), 1u);
  EXPECT_FALSE(summaries[0].firmware) << "the failed download without the member may have begun";
  EXPECT_EQ(summaries[0].firmwareUnsettled->when, "2026-12-08T07:10:00.000Z");
  EXPECT_EQ(Sql(file, "SELECT count(*) FROM sqlite_master WHERE type = 'trigger'"),
            QStringList{"3"});
}

TEST(HistoryStore, RunningRecordsOfAProcessThatIsGoneBecomeInterruptedForTheirOwnServer) {
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("h.sqlite"));
  Store store;
  store.SetServer("scratch:5432/try", false);
  ASSERT_TRUE(store.Open(file, Store::Mode::Write));
  JobRecord gone = Record("VRT00001", "firmware", "2026-12-08T07:00:00.000Z", "running");
  gone.ended.reset();
  JobRecord alive = gone, elsewhere = gone;
  alive.id = history::NewId();
  elsewhere.id = history::NewId();
  elsewhere.station = "other bench";
  ASSERT_TRUE(store.Write({gone, alive, elsewhere}));
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  Sql(file, QStringLiteral("UPDATE job_processes SET pid = %1 WHERE id IN ('%2', '%3')")
                .arg(child)
                .arg(gone.id, elsewhere.id));

  // A later program, with no server: the record waits for the server its start was meant for.
  Store later;
  ASSERT_TRUE(later.Open(file, Store::Mode::Write));
  EXPECT_EQ(later.InterruptOrphans("bench"), 1);
  const auto record = store.Job(gone.id);
  EXPECT_EQ(record->outcome, "interrupted");
  EXPECT_EQ(record->message, "the program stopped during the job; its end is not known");
  EXPECT_FALSE(record->ended) << "its end is not known";
  EXPECT_EQ(later.WaitingCount(), 0);
  EXPECT_EQ(Sql(file, "SELECT server FROM outbox WHERE id = '" + gone.id + "'"),
            QStringList{"scratch:5432/try"});
  EXPECT_EQ(store.Job(alive.id)->outcome, "running") << "this process runs it";
  EXPECT_EQ(store.Job(elsewhere.id)->outcome, "running") << "another bench's";
}

TEST(HistoryStore, AConfirmationRemovesOnlyTheRevisionItConfirms) {
  TempFolder temp;
  Store store;
  ASSERT_TRUE(store.Open(QString::fromStdString(temp.File("h.sqlite")), Store::Mode::Write));
  JobRecord r = Record("VRT00001", "send", "2026-12-08T07:00:00.000Z", "running");
  ASSERT_TRUE(store.Write({r}));
  const auto first = store.WaitingForServer(10);
  ASSERT_EQ(first.size(), 1u);
  r.outcome = "ok";
  ASSERT_TRUE(store.Write({r}));
  store.ConfirmedByServer({{r.id, first[0].revision}});
  EXPECT_EQ(store.WaitingCount(), 1) << "the newer write still waits";
  const auto second = store.WaitingForServer(10);
  EXPECT_GT(second[0].revision, first[0].revision);
  EXPECT_EQ(second[0].record.outcome, "ok");
  store.ConfirmedByServer({{r.id, second[0].revision}});
  EXPECT_EQ(store.WaitingCount(), 0);
}

TEST(HistoryStore, AWriteWhoseSideTableFailsSaysWhyAndKeepsNothing) {
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("h.sqlite"));
  {
    Store store;
    ASSERT_TRUE(store.Open(file, Store::Mode::Write));
  }
  for (const char *fault :
       {"CREATE TRIGGER refuse BEFORE INSERT ON unit_last BEGIN SELECT RAISE(ABORT, 'refused'); "
        "END",
        "DROP TABLE job_processes"}) {
    Sql(file, fault);
    Store store;
    ASSERT_TRUE(store.Open(file, Store::Mode::Write));
    EXPECT_FALSE(store.Write({Record("VRT00001", "send", "2026-12-08T07:00:00.000Z")}));
    EXPECT_TRUE(store.Error().endsWith("refused") ||
                store.Error().contains("no such table: job_processes"))
        << store.Error().toStdString();
    EXPECT_EQ(Sql(file, "SELECT count(*) FROM jobs"), QStringList{"0"});
  }
}

TEST(HistoryJournal, EightWritersAtOnceLoseNoRecord) {
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("Tolvane/history.sqlite"));
  std::vector<std::thread> writers;
  std::atomic<int> notKept = 0;
  for (int w = 0; w < 8; ++w)
    writers.emplace_back([&, w] {
      history::Journal journal("tolvane-cli", file, "bench");
      journal.Start();
      for (int i = 0; i < 25; ++i) {
        JobRecord r = journal.Begin(QStringLiteral("VRT%1").arg(w, 5, 10, QChar('0')), "send",
                                    {{"line", "AT@NORM"}});
        journal.End(r, "ok", "OK", {{"replies", "OK\r\n"}});
      }
      if (!journal.Flush()) {
        ++notKept;
        ADD_FAILURE() << journal.State().toStdString();
      }
    });
  for (auto &writer : writers) writer.join();
  EXPECT_EQ(notKept, 0);
  Store store;
  ASSERT_TRUE(store.Open(file, Store::Mode::Read));
  EXPECT_EQ(store.Count({}), 200);
  history::JobQuery ok;
  ok.outcome = "ok";
  EXPECT_EQ(store.Count(ok), 200);
  EXPECT_EQ(store.Jobs({})[0].details, R"({"line":"AT@NORM","replies":"OK\r\n"})");
}

TEST(HistoryJournal, AnUnusableHistorySaysWhyAndOffSaysOff) {
  TempFolder temp;
  history::Journal folder("tolvane", QString::fromStdString(temp.Folder()), "");
  folder.Start();
  folder.Begin("VRT00001", "send", {});
  EXPECT_FALSE(folder.Flush());
  EXPECT_TRUE(folder.State().startsWith("not kept: ")) << folder.State().toStdString();
  history::Journal off("tolvane", "none", "");
  EXPECT_EQ(off.State(), "off");
  EXPECT_FALSE(off.Flush());
  EXPECT_EQ(history::Journal("tolvane", "", "").FileName(), history::DefaultLocation());
}

// The forms the history prints are --since's: the records' UTC with milliseconds and a text
// table's local time; text for people shows local time with its zone.
TEST(HistoryFormat, SinceTakesThePrintedFormsAndPeopleReadLocalTime) {
  EXPECT_EQ(history::ParseSince("2026-12-08T11:41:25.298Z"), "2026-12-08T11:41:25.298Z");
  EXPECT_EQ(history::ParseSince("2026-12-08T11:41:25.3+01:00"), "2026-12-08T10:41:25.300Z");
  EXPECT_FALSE(history::ParseSince("2026-12-08T11:41:25.2981Z"));
  EXPECT_FALSE(history::ParseSince("2026-12-08T11:41.298Z"));
  const QByteArray zone = qgetenv("TZ");
  qputenv("TZ", "Europe/Oslo");
  tzset();
  EXPECT_EQ(history::LocalTime("2026-07-08T11:41:25.298Z", true), "2026-07-08 13:41:25 CEST");
  EXPECT_EQ(history::ParseSince("2026-12-08 12:41:25"), "2026-12-08T11:41:25.000Z");
  if (zone.isNull())
    qunsetenv("TZ");
  else
    qputenv("TZ", zone);
  tzset();
}

TEST(HistoryFormat, CsvAndTimes) {
  JobRecord r = Record("VRT00001", "send", "2026-12-08T07:15:02.123Z", "ok",
                       R"({"line":"AT@X","replies":"a,\"b\"\r\n"})");
  r.ended.reset();
  r.message = "two\r\nlines";
  EXPECT_EQ(history::CsvRow(r),
            r.id.toUtf8() +
                ",VRT00001,send,2026-12-08T07:15:02.123Z,,ok,\"two\r\nlines\",bench,tech,"
                "tolvane "
                "5.00.00.04,\"{\"\"line\"\":\"\"AT@X\"\",\"\"replies\"\":\"\"a,"
                "\\\"\"b\\\"\"\\r\\n\"\"}\"\r\n");
  // The rows that SQLite makes are the same bytes.
  TempFolder temp;
  Store store;
  ASSERT_TRUE(store.Open(QString::fromStdString(temp.File("h.sqlite")), Store::Mode::Write));
  JobRecord plain = Record("VRT,1", "defaults", "2026-12-08T06:00:00.000Z");
  plain.station = "bench \"7\"";
  // A formula that a spreadsheet would run is text after an apostrophe.
  plain.message = "=HYPERLINK(\"http://x\")";
  plain.operator_ = "@SUM(1)";
  EXPECT_TRUE(history::CsvRow(plain).contains(R"csv(,"'=HYPERLINK(""http://x"")",)csv"))
      << history::CsvRow(plain).toStdString();
  EXPECT_TRUE(history::CsvRow(plain).contains(",'@SUM(1),"));
  ASSERT_TRUE(store.Write({r, plain}));
  QByteArray rows;
  ASSERT_TRUE(store.CsvRows({}, [&](const QByteArray &row) {
    rows += row;
    return true;
  }));
  EXPECT_EQ(rows, history::CsvRow(r) + history::CsvRow(plain));
  EXPECT_EQ(history::ParseSince("2026-12-08T07:15Z"), "2026-12-08T07:15:00.000Z");
  EXPECT_EQ(history::ParseSince("2026-12-08T08:15:30+01:00"), "2026-12-08T07:15:30.000Z");
  const QDateTime midnight(QDate(2026, 12, 8), QTime(0, 0), Qt::LocalTime);
  EXPECT_EQ(history::ParseSince("2026-12-08"),
            midnight.toUTC().toString("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
  EXPECT_FALSE(history::ParseSince("2026-13-08"));
  EXPECT_FALSE(history::ParseSince("08.12.2026"));
  EXPECT_EQ(history::NewId().size(), 36);
  const QString id = history::NewId();
  EXPECT_EQ(id, id.toLower());
  EXPECT_NE(id, history::NewId());
}

}  // namespace

// A tmpfs of 1 MiB of the test's own (mounting needs root: the tests are skipped without it).
struct SmallDisk {
  SmallDisk() { mounted = mount("tmpfs", Path().constData(), "tmpfs", 0, "size=1m") == 0; }
  ~SmallDisk() {
    if (mounted) umount2(Path().constData(), MNT_DETACH);
  }
  QByteArray Path() const { return QFile::encodeName(QString::fromStdString(temp.Folder())); }
  QString File() const { return QString::fromStdString(temp.File("history.sqlite")); }
  // Fills what is left with a file of its own, or removes it.
  void Fill(bool full) {
    QFile filler(QString::fromStdString(temp.File("filler")));
    if (!full || !filler.open(QIODevice::WriteOnly)) return void(filler.remove());
    while (filler.write(QByteArray(4096, 'f')) == 4096 && filler.flush()) {
    }
  }
  TempFolder temp;
  bool mounted = false;
};

// A job's start and end that wait together are written as its end alone, and every record
// queued counts as kept: the end of the program does not wait for them.
TEST(HistoryJournal, ABurstOfStartsAndEndsKeepsEachJobAsItEnded) {
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("history.sqlite"));
  {
    history::Journal journal("tolvane", file, "bench");
    for (int i = 0; i < 50; ++i) {
      JobRecord job = journal.Begin("VRT00001", "send", history::SendDetails("AT@NORM"));
      journal.End(job, "ok", "OK", {{"replies", "OK\r\n"}});
    }
    journal.Start();  // the writer finds the 100 records waiting
    EXPECT_TRUE(journal.Flush()) << journal.State().toStdString();
    QStringList said;
    EXPECT_TRUE(journal.Finish(std::chrono::minutes(5), [&](const QString &line) { said << line; })
                    .empty());
    EXPECT_TRUE(said.isEmpty()) << said.join('\n').toStdString();
  }
  EXPECT_EQ(Sql(file,
                "SELECT count(*), sum(outcome = 'ok'), sum(ended IS NOT NULL), "
                "sum(details LIKE '%replies%') FROM jobs"),
            QStringList{"50|50|50|50"});
  EXPECT_EQ(Sql(file, "SELECT count(*) FROM job_processes"), QStringList{"0"});
  EXPECT_EQ(Sql(file, "SELECT count(*) FROM outbox"), QStringList{"50"});
}

// A record that does not fit is kept and written once there is room; one that never finds room
// is named at the end, and a later program marks its job interrupted with no end made up.
TEST(HistoryJournal, AFullDiskLosesNoRecordThatFindsRoomInTimeAndNamesTheOthers) {
  SmallDisk disk;
  if (!disk.mounted) GTEST_SKIP() << "no tmpfs can be mounted here";
  QStringList said;
  QString id;
  for (const bool room : {true, false}) {
    history::Journal journal("tolvane-cli", disk.File(), "bench");
    journal.Start();
    JobRecord job = journal.Begin("VRT00001", "firmware", {});
    id = job.id;
    ASSERT_TRUE(journal.Flush()) << journal.State().toStdString();
    disk.Fill(true);
    journal.End(job, "ok", "", {{"log", QString(200000, 'x')}});
    EXPECT_FALSE(journal.Flush());
    EXPECT_TRUE(journal.State().contains("full")) << journal.State().toStdString();
    disk.Fill(!room);
    said.clear();
    const auto lost =
        journal.Finish(std::chrono::seconds(1), [&](const QString &line) { said << line; });
    EXPECT_EQ(lost.size(), room ? 0u : 1u) << said.join('\n').toStdString();
  }
  ASSERT_EQ(said.size(), 2);
  EXPECT_TRUE(said[0].contains("waiting at most 1 s") && said[0].contains("full"));
  EXPECT_TRUE(said[1].contains("1 records could not be kept") && said[1].contains(id));
  disk.Fill(false);
  const pid_t child = fork();  // the process of the job that is gone
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  Sql(disk.File(), QStringLiteral("UPDATE job_processes SET pid = %1").arg(child));
  Store later;
  ASSERT_TRUE(later.Open(disk.File(), Store::Mode::Write));
  EXPECT_EQ(later.InterruptOrphans("bench"), 1);
  EXPECT_EQ(Sql(disk.File(), "SELECT outcome, ended IS NULL, message FROM jobs ORDER BY started"),
            (QStringList{"ok|0|",
                         "interrupted|1|the program stopped during the job; its end is "
                         "not known"}));
}

// A history on a read-only file system is read; a damaged one is named and left as it is.
TEST(HistoryStore, AReadOnlyHistoryIsReadAndADamagedOneIsNamed) {
  SmallDisk disk;
  if (!disk.mounted) GTEST_SKIP() << "no tmpfs can be mounted here";
  std::vector<JobRecord> records(200, Record("VRT00001", "send", "2026-12-08T07:15:02.123Z"));
  for (JobRecord &r : records) r.id = history::NewId();
  {
    Store store;
    ASSERT_TRUE(store.Open(disk.File(), Store::Mode::Write) && store.Write(records));
  }
  const QString copy = QString::fromStdString(disk.temp.File("damaged.sqlite"));
  ASSERT_TRUE(QFile::copy(disk.File(), copy));
  ASSERT_EQ(mount(nullptr, disk.Path().constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  Store reader, writer;
  ASSERT_TRUE(reader.Open(disk.File(), Store::Mode::Read)) << reader.Error().toStdString();
  EXPECT_EQ(reader.Count({}), 200);
  EXPECT_FALSE(writer.Open(disk.File(), Store::Mode::Write));
  EXPECT_TRUE(writer.Error().startsWith(disk.File())) << writer.Error().toStdString();

  TempFolder temp;
  const QString damaged = QString::fromStdString(temp.File("history.sqlite"));
  ASSERT_TRUE(QFile::copy(copy, damaged));
  QFile(damaged).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
  {
    QFile f(damaged);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite) && f.seek(4096 + 1));
    f.write(QByteArray(64, '\xff'));  // the second page's header
  }
  const QByteArray before = Bytes(damaged);
  Store store;
  EXPECT_FALSE(store.Open(damaged, Store::Mode::Write) && store.Write(records) &&
               store.Jobs({}).size() == 200u && store.Error().isEmpty());
  EXPECT_TRUE(store.Error().startsWith(damaged + " is damaged")) << store.Error().toStdString();
  EXPECT_TRUE(store.Error().endsWith("move it aside to start a new history"));
  EXPECT_EQ(Bytes(damaged), before);
}
