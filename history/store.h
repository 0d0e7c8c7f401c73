// The service history's file: an SQLite database with the table `jobs` (one row per job on one
// unit, history/job_record.h), a side table of the processes that run jobs, and the outbox of
// records waiting for the workshop's server.
//
// A Store is one connection, used on the thread that opened it. A file is taken for a history
// when it is absent, empty, or an SQLite database with this program's application id; anything
// else, and a history of a newer schema, is never written, replaced or truncated. Every
// connection of the process (the writer's, the sender's, the readers') is opened by Store::Open,
// which looks at the file only through SQLite: a descriptor of the file closed outside SQLite
// would drop the locks of the process's other connections to it.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "history/job_reader.h"
#include "history/job_record.h"
#include "history/server_sender.h"

class QSqlError;
class QSqlQuery;
struct sqlite3_stmt;

namespace history {

// `PRAGMA application_id`: "TlvH".
inline constexpr qint32 kApplicationId = 0x546C7648;
// `PRAGMA user_version`: the schema this program writes.
inline constexpr int kSchemaVersion = 4;

// ${XDG_DATA_HOME:-$HOME/.local/share}/Tolvane/history.sqlite
QString DefaultLocation();
// VERT.ini's [History] Location as a file name: `~` and `~/...` in the home folder, a relative
// name in `configFolder` (VERT.ini's); empty and "none" as they are.
QString ConfiguredLocation(const QString &location, const QString &configFolder);

// What the history holds about one unit: its firmware, parameters (a settings write or the
// defaults) and recorded message, each from the newest job of its kind (by start) that began to
// change the unit or ended ok, and its newest job. Such a job that did not end ok leaves its part
// none and says why in its `...Unsettled`.
struct UnitSummary {
  QString unit;
  struct Firmware {
    QString file, sha256, when, station;
  };
  struct Parameters {
    std::optional<QJsonObject> values;  // none: the defaults
    QString when, station;
    QString profile;  // the profile's file of a write; "" for the defaults or a write without one
  };
  struct Message {
    QString file, sha256, when;
  };
  // A part that the newest job of its kind began to change on the unit and that did not end ok:
  // the unit may carry part of it, and the part itself is none.
  struct Unsettled {
    QString when, station, outcome, message;
  };
  std::optional<Firmware> firmware;
  std::optional<Parameters> parameters;
  std::optional<Message> message;
  QString last;                  // the start of the unit's newest job
  QString lastJob, lastOutcome;  // its kind and outcome
  QString lastStation;           // and the station it ran on
  std::optional<Unsettled> firmwareUnsettled, parametersUnsettled, messageUnsettled;
};

// The summaries of the units of `rows` (history/job_record.h), by serial; each part from the
// newest of its rows. A unit without a `newest` row is left out.
std::vector<UnitSummary> SummariesOf(const std::vector<SummaryRow> &rows);

// The message of a record whose process stopped while the job ran, before its end reached the
// file.
inline constexpr char kStoppedMessage[] =
    "the program stopped during the job; its end is not known";

class Store : public ServerOutbox {
 public:
  enum class Mode { Write, Read };

  Store();
  ~Store() override;
  Store(const Store &) = delete;
  Store &operator=(const Store &) = delete;

  // Opens the history file. Write: makes the folder (0700) and the file (0600) when absent, sets
  // up or migrates the schema. Read: an absent file is an empty history. False with Error().
  // Read: a file that cannot be opened for writing is read as it is (a read-only folder).
  bool Open(const QString &fileName, Mode mode);
  const QString &Error() const { return error_; }
  // SQLite's primary result code of the last failure; 0 for a refusal of the program's own.
  int Code() const { return code_; }
  // Whether the last failure may pass (a full disk, a lock): not a damaged file or a refusal.
  bool Retriable() const;
  // How long a statement waits for another process's lock; set before Open.
  void SetBusyTimeout(int milliseconds) { busyTimeoutMs_ = milliseconds; }
  // The server this store's records are meant for (HOST:PORT/DBNAME, "" for none), and whether
  // the outbox also gives the records made with no server (those of VERT.ini's server).
  void SetServer(const QString &server, bool unaddressed);
  bool IsOpen() const;

  // Writes the records in one transaction: each row of `jobs` as given, a new revision of each in
  // the outbox (for the server of the job's start, else this store's), and the process that runs
  // a `running` record.
  bool Write(const std::vector<JobRecord> &records);

  // This station's `running` records whose process is gone become `interrupted`, their end not
  // known (`ended` empty); their count, or -1 on failure.
  int InterruptOrphans(const QString &station);

  // Readers. `withLog`: details keep the transfer log (`log`), otherwise it is left out.
  std::vector<JobRecord> Jobs(const JobQuery &query, bool withLog = false);
  // The same rows one by one, without gathering them; false when the query failed.
  bool ForEachJob(const JobQuery &query, const std::function<void(const JobRecord &)> &each);
  // The same rows as RFC 4180 CSV rows (CsvRow of history/format.h), each ending in CR LF, made
  // by SQLite; `each` returning false stops them. False when the query failed.
  bool CsvRows(const JobQuery &query, const std::function<bool(const QByteArray &)> &each);
  // The query's rows (its limit among them) from the range's start (a key, never an offset),
  // one by one; `each` returning false stops them. False when the query failed.
  bool Read(const JobQuery &query, const JobRange &range,
            const std::function<bool(const JobRecord &)> &each);
  // The keys of rows 0, every, 2 every, ... of the query (its limit aside): where the parts of a
  // long history start. One pass over the query's keys, only every `every`th made into text.
  std::optional<std::vector<JobKey>> Keys(const JobQuery &query, const QStringList &without,
                                          qint64 every);
  qint64 Count(const JobQuery &query, const QStringList &without = {});
  std::optional<JobRecord> Job(const QString &id);
  // The ids that begin with `prefix`, in order, at most `limit` of them.
  QStringList IdsBeginningWith(const QString &prefix, int limit);
  // The units that have jobs, in order.
  QStringList Units();
  // The summary of these units (every unit when empty), by serial.
  std::vector<UnitSummary> Summaries(const QStringList &units);
  // The rows of the records waiting for this store's server among these units (every unit when
  // empty) that a summary is made of: each one's `newest` row, and its kind's row where it began
  // to change the unit or ended ok; without the transfer log.
  std::vector<SummaryRow> WaitingSummaryRows(const QStringList &units);

  // The outbox: records waiting for this store's server, oldest write first.
  std::vector<WaitingRecord> WaitingForServer(int limit) override;
  // Removes each waiting entry whose revision is still the one confirmed.
  void ConfirmedByServer(const std::vector<std::pair<QString, qint64>> &idAndRevision) override;
  qint64 WaitingCount() override;

 private:
  bool Fail(const QString &what);
  bool Fail(const QSqlError &error);
  bool Fail(int code, const QString &text);
  // The one way of a statement: `q` prepared with `sql`, then run with `values` bound in order;
  // false with the statement's reason (or, where the driver gives none, the statement).
  bool Prepared(QSqlQuery &q, const QString &sql);
  bool RunPrepared(QSqlQuery &q, const QVariantList &values = {});
  bool Run(QSqlQuery &q, const QString &sql, const QVariantList &values = {}) {
    return Prepared(q, sql) && RunPrepared(q, values);
  }
  bool FailOf(const QSqlQuery &q);
  // `sql` with `values` bound as SQLite's own statement on the connection, each row handed on
  // (false stops them); false with the reason when it failed.
  bool RawRows(const QString &sql, const QVariantList &values,
               const std::function<bool(sqlite3_stmt *)> &each);
  bool RollBack();  // keeps the failure's error
  bool Close();     // false
  bool Connect(const QString &name, const QString &options);
  bool ReadHeader();
  static QString OutboxFilter(const QString &table);
  bool Prepare();
  bool PrepareOnce();
  // The query's rows one by one (as ForEachJob, with the log where asked).
  bool Each(const JobQuery &query, bool withLog, const JobRange &range,
            const std::function<bool(const JobRecord &)> &each);

  QString connection_;
  QString fileName_;
  QString error_;
  int code_ = 0;
  int busyTimeoutMs_ = 10000;
  QString server_;
  bool unaddressed_ = true;
  bool empty_ = false;  // a reader of an absent or empty file
};

}  // namespace history
