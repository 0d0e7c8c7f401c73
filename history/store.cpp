#include "history/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "history/format.h"

namespace history {

namespace {

constexpr char kDriver[] = "QSQLITE";

// The columns of `jobs` in their order but `details`, each followed by ", "; the details
// without the transfer log unless asked.
QString ColumnsButDetails() {
  QString list;
  for (std::size_t i = 0; i + 1 < kColumns.size(); ++i) list += QString(kColumns[i].name) + ", ";
  return list;
}
constexpr char kDetails[] = "details";
// An SQL literal of a kind of job or an outcome: its text form, which holds no quote.
QString Literal(const QString &text) {
  return "'" + text + "'";
}
QString DetailsNoLog() {
  return "CASE WHEN job = " + Literal(TextOf(JobKind::Firmware)) +
         " THEN json_remove(details, '$.log') ELSE details END";
}

// An insert into `unit_last` keeps the newer of two entries: the later time, then the greater id.
constexpr char kUnitLastNewer[] =
    " ON CONFLICT (unit, job) DO UPDATE SET id = excluded.id, at = excluded.at WHERE "
    "excluded.at > unit_last.at OR (excluded.at = unit_last.at AND excluded.id >= unit_last.id)";
// A row's entries in `unit_last` (version 3): the unit's newest job (job "", by start) and, for an
// ok job that ended, the last ok job of its kind (by end).
QString UnitLastUpserts3() {
  return QString(
             "INSERT INTO unit_last (unit, job, id, at) SELECT NEW.unit, '', NEW.id, "
             "NEW.started WHERE true") +
         kUnitLastNewer +
         "; INSERT INTO unit_last (unit, job, id, at) SELECT NEW.unit, NEW.job, NEW.id, "
         "NEW.ended WHERE NEW.outcome = 'ok' AND NEW.ended IS NOT NULL" +
         kUnitLastNewer + ";";
}

// Whether the row `prefix`* is one that a summary's part is taken from: a job of a kind that
// changes the unit that ended ok, or that ended otherwise and began to change the unit. A row
// without the member (an older record, another tool's, details that are no JSON) that did not
// end ok is taken to have begun: the history cannot tell that it left the unit as it was.
QString SummaryPart(const QString &prefix) {
  return QString(
             "(%1job IN ('settings', 'defaults', 'firmware', 'record') AND (%1outcome = 'ok' OR "
             "(%1outcome <> 'running' AND CASE WHEN json_valid(%1details) THEN "
             "json_extract(%1details, '$.%2') END IS NOT 0)))")
      .arg(prefix, kChangedMember);
}

// A row's entries in `unit_last` (version 4): the unit's newest job (job "") and, where the row
// is a summary's part, the newest of its kind; both by start.
QString UnitLastUpserts() {
  return QString(
             "INSERT INTO unit_last (unit, job, id, at) SELECT NEW.unit, '', NEW.id, "
             "NEW.started WHERE true") +
         kUnitLastNewer +
         "; INSERT INTO unit_last (unit, job, id, at) SELECT NEW.unit, NEW.job, NEW.id, "
         "NEW.started WHERE " +
         SummaryPart("NEW.") + kUnitLastNewer + ";";
}

// A row gone or changed: the entries in `unit_last` that named it are taken anew from the unit's
// rows left, and dropped where none is left; no other entry is looked at.
QString UnitLastRefresh() {
  const auto newest = [](const char *column) {
    return QString(
               "coalesce((SELECT j.%1 FROM jobs j WHERE j.unit = OLD.unit AND (unit_last.job = '' "
               "OR (j.job = unit_last.job AND %2)) ORDER BY j.started DESC, j.id DESC LIMIT 1), "
               "'')")
        .arg(column, SummaryPart("j."));
  };
  return "UPDATE unit_last SET id = " + newest("id") + ", at = " + newest("started") +
         " WHERE unit = OLD.unit AND id = OLD.id; DELETE FROM unit_last WHERE unit = OLD.unit AND "
         "id = '';";
}

// Each step takes the schema from the version of its index to the next.
const std::array<QStringList, kSchemaVersion> kMigrations = {{
    {
        "CREATE TABLE jobs (id TEXT PRIMARY KEY NOT NULL, unit TEXT NOT NULL, job TEXT NOT NULL, "
        "started TEXT NOT NULL, ended TEXT, outcome TEXT NOT NULL, message TEXT NOT NULL, "
        "station TEXT NOT NULL, operator TEXT NOT NULL, program TEXT NOT NULL, "
        "details TEXT NOT NULL)",
        "CREATE INDEX jobs_by_unit ON jobs (unit, started DESC, id)",
        "CREATE INDEX jobs_by_start ON jobs (started DESC, unit, id)",
        "CREATE INDEX jobs_by_outcome ON jobs (outcome, unit, job, ended)",
        "CREATE TABLE job_processes (id TEXT PRIMARY KEY NOT NULL, station TEXT NOT NULL, "
        "pid INTEGER NOT NULL, boot TEXT NOT NULL, start_ticks INTEGER NOT NULL)",
        "CREATE TABLE outbox (revision INTEGER PRIMARY KEY AUTOINCREMENT, "
        "id TEXT NOT NULL UNIQUE)",
        "CREATE TABLE unit_last (unit TEXT NOT NULL, job TEXT NOT NULL, id TEXT NOT NULL, "
        "at TEXT NOT NULL, PRIMARY KEY (unit, job)) WITHOUT ROWID",
    },
    // Each record waits for the server it was meant for: HOST:PORT/DBNAME, "" for the one that
    // VERT.ini names (the records of version 1 among them).
    {
        "ALTER TABLE outbox ADD COLUMN server TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE job_processes ADD COLUMN server TEXT NOT NULL DEFAULT ''",
    },
    // `unit_last` kept by the file itself from every row of `jobs`, whoever writes it (an import,
    // two benches' files merged with sqlite3), and made anew from the rows already there.
    {
        "CREATE TRIGGER jobs_keep_unit_last_on_insert AFTER INSERT ON jobs BEGIN " +
            UnitLastUpserts3() + " END",
        "CREATE TRIGGER jobs_keep_unit_last_on_update AFTER UPDATE ON jobs BEGIN " +
            UnitLastUpserts3() + " END",
        "DELETE FROM unit_last",
        QString("INSERT INTO unit_last (unit, job, id, at) SELECT unit, '', id, started FROM "
                "jobs WHERE true") +
            kUnitLastNewer,
        QString("INSERT INTO unit_last (unit, job, id, at) SELECT unit, job, id, ended FROM jobs "
                "WHERE outcome = 'ok' AND ended IS NOT NULL") +
            kUnitLastNewer,
    },
    // Each part of a unit's summary from the newest job of its kind (by start) that began to
    // change the unit or ended ok; a row deleted or changed by another tool leaves no stale entry.
    {
        "DROP TRIGGER jobs_keep_unit_last_on_insert",
        "DROP TRIGGER jobs_keep_unit_last_on_update",
        "CREATE TRIGGER jobs_keep_unit_last_on_insert AFTER INSERT ON jobs BEGIN " +
            UnitLastUpserts() + " END",
        "CREATE TRIGGER jobs_keep_unit_last_on_update AFTER UPDATE ON jobs BEGIN " +
            UnitLastRefresh() + " " + UnitLastUpserts() + " END",
        "CREATE TRIGGER jobs_keep_unit_last_on_delete AFTER DELETE ON jobs BEGIN " +
            UnitLastRefresh() + " END",
        "DELETE FROM unit_last",
        QString("INSERT INTO unit_last (unit, job, id, at) SELECT unit, '', id, started FROM "
                "jobs WHERE true") +
            kUnitLastNewer,
        QString("INSERT INTO unit_last (unit, job, id, at) SELECT unit, job, id, started FROM "
                "jobs WHERE ") +
            SummaryPart("") + kUnitLastNewer,
    },
}};

QString BootId() {
  QFile file("/proc/sys/kernel/random/boot_id");
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromLatin1(file.readAll()).trimmed();
}

// The start of a process in clock ticks since boot (field 22 of its stat), or -1 when it is gone.
qint64 StartTicks(qint64 pid) {
  QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!file.open(QIODevice::ReadOnly)) return -1;
  const QByteArray stat = file.readAll();
  const qsizetype close = stat.lastIndexOf(')');
  if (close < 0) return -1;
  const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
  // Fields from the third on: the start time is field 22, index 19 here.
  return fields.size() > 19 ? fields[19].toLongLong() : -1;
}

struct ProcessIdentity {
  qint64 pid = 0;
  QString boot;
  qint64 startTicks = 0;
};

const ProcessIdentity &ThisProcess() {
  static const ProcessIdentity self{getpid(), BootId(), StartTicks(getpid())};
  return self;
}

// What a look at the file's entry (never at its bytes) says: an empty reason when it may be a
// history. Nothing here opens the file: closing any descriptor of a file drops every POSIX lock
// the process holds on it, and SQLite's locks are such locks.
QString Refusal(const QString &fileName) {
  const QFileInfo info(fileName);
  if (!info.exists()) return info.isSymLink() ? fileName + " is a broken link" : QString();
  if (info.isDir()) return fileName + " is a folder";
  if (!info.isFile()) return fileName + " is no file";
  return {};
}

// Makes the folder (0700) and the file (0600) of a new history. O_EXCL: a file that appeared
// meanwhile is left alone, so that no descriptor of a file SQLite may hold is ever closed here.
QString MakeFile(const QString &fileName) {
  const QFileInfo info(fileName);
  const QString folder = info.absolutePath();
  if (!QFileInfo(folder).isDir()) {
    if (!QDir().mkpath(folder)) return "cannot make the folder " + folder;
    chmod(QFile::encodeName(folder).constData(), 0700);
  }
  const int fd =
      open(QFile::encodeName(fileName).constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0 && errno != EEXIST)
    return "cannot make " + fileName + ": " + QString::fromLocal8Bit(strerror(errno));
  if (fd >= 0) close(fd);
  return {};
}

// Every connection of the process to a history file is opened and closed here, one at a time:
// the writer's, the sender's and the readers'.
std::mutex &OpenLock() {
  static std::mutex lock;
  return lock;
}

// A text column's value: "" for a null text, which would be SQL's NULL.
QVariant Text(const QString &text) {
  return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
}

void Bind(QSqlQuery &query, const JobRecord &r) {
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    const std::optional<QString> field = r.Field(i);
    query.bindValue(static_cast<int>(i),
                    field ? Text(*field) : QVariant(QMetaType(QMetaType::QString)));
  }
}

// A record written whole: inserted, or put in the place of the one of its id.
QString UpsertJob() {
  QStringList names, places, updates;
  for (const Column &column : kColumns) {
    names << column.name;
    places << "?";
    if (QLatin1StringView(column.name) != "id")
      updates << QString("%1 = excluded.%1").arg(column.name);
  }
  return "INSERT INTO jobs (" + names.join(", ") + ") VALUES (" + places.join(", ") +
         ") ON CONFLICT (id) DO UPDATE SET " + updates.join(", ");
}

// Binds the values in order from the first placeholder.
void BindAll(QSqlQuery &query, const QVariantList &values) {
  for (int i = 0; i < values.size(); ++i) query.bindValue(i, values[i]);
}

JobRecord RecordOf(const QSqlQuery &q, int first = 0) {
  JobRecord r;
  r.id = q.value(first).toString();
  r.unit = q.value(first + 1).toString();
  r.job = q.value(first + 2).toString();
  r.started = q.value(first + 3).toString();
  if (!q.value(first + 4).isNull()) r.ended = q.value(first + 4).toString();
  r.outcome = q.value(first + 5).toString();
  r.message = q.value(first + 6).toString();
  r.station = q.value(first + 7).toString();
  r.operator_ = q.value(first + 8).toString();
  r.program = q.value(first + 9).toString();
  r.details = q.value(first + 10).toString().toUtf8();
  return r;
}

// "column IN (?, ...)" for these units, their values appended.
QString UnitIn(const QString &column, const QStringList &units, QVariantList &values) {
  QStringList marks;
  for (const QString &unit : units) {
    marks << "?";
    values << unit;
  }
  return column + " IN (" + marks.join(", ") + ")";
}

// The WHERE clause of a query, the ids of `without` left out and the rows from `from` on, with
// its values in order.
QString Where(const JobQuery &query, QVariantList &values, const QStringList &without = {},
              const std::optional<JobKey> &from = std::nullopt) {
  QStringList terms;
  if (!query.units.isEmpty()) terms << UnitIn("unit", query.units, values);
  if (!query.job.isEmpty()) {
    terms << "job = ?";
    values << query.job;
  }
  if (!query.outcome.isEmpty()) {
    terms << "outcome = ?";
    values << query.outcome;
  }
  if (query.since) {
    terms << "started >= ?";
    values << *query.since;
  }
  if (!without.isEmpty()) terms << "NOT " + UnitIn("id", without, values);
  if (from)
    terms << AtOrAfter(query, *from, [&](const QString &, const QString &value) {
      values << value;
      return QStringLiteral("?");
    });
  return terms.isEmpty() ? QString() : " WHERE " + terms.join(" AND ");
}

// The ORDER BY clause of a query: the order asked for, then the readers'.
QString OrderBy(const JobQuery &query) {
  QStringList keys;
  for (const OrderTerm &term : OrderTerms(query))
    keys << term.column + (term.descending ? " DESC" : "");
  return " ORDER BY " + keys.join(", ");
}

// The query's rows in its order from the range's start, as many as its limit allows.
QString Listing(const JobQuery &query, bool withLog, QVariantList &values,
                const JobRange &range = {}) {
  QString sql = "SELECT " + ColumnsButDetails() + (withLog ? QString(kDetails) : DetailsNoLog()) +
                " FROM jobs" + Where(query, values, range.without, range.from) + OrderBy(query);
  if (query.limit < 0) return sql;
  values << qint64(query.limit);
  return sql + " LIMIT ?";
}

}  // namespace

QString DefaultLocation() {
  QString data = qEnvironmentVariable("XDG_DATA_HOME");
  if (data.isEmpty() || QDir::isRelativePath(data)) data = QDir::homePath() + "/.local/share";
  return data + "/Tolvane/history.sqlite";
}

QString ConfiguredLocation(const QString &location, const QString &configFolder) {
  const QString where = location.trimmed();
  if (where.isEmpty() || where.compare("none", Qt::CaseInsensitive) == 0) return where;
  if (where == "~") return QDir::homePath();
  if (where.startsWith("~/")) return QDir::homePath() + where.mid(1);
  return QDir::isAbsolutePath(where) ? where : QDir(configFolder).absoluteFilePath(where);
}

Store::Store() {
  static QAtomicInteger<quint64> count;
  connection_ = QStringLiteral("tolvane-history-%1").arg(++count);
}

Store::~Store() {
  std::lock_guard lock(OpenLock());
  Close();
}

bool Store::IsOpen() const {
  return empty_ || (QSqlDatabase::contains(connection_) &&
                    QSqlDatabase::database(connection_, false).isOpen());
}

bool Store::Fail(const QString &what) {
  error_ = what;
  code_ = 0;
  return false;
}

bool Store::Fail(const QSqlError &error) {
  const int code = error.nativeErrorCode().toInt() & 0xff;
  return Fail(code, error.databaseText().isEmpty() ? error.text() : error.databaseText());
}

bool Store::Fail(int code, const QString &text) {
  if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB)
    error_ = QString("%1 %2 (%3); it is left as it is: move it aside to start a new history")
                 .arg(fileName_, code == SQLITE_CORRUPT ? "is damaged" : "is damaged or no history",
                      text);
  else
    error_ = fileName_ + ": " + text;
  code_ = code;
  return false;
}

bool Store::Retriable() const {
  return code_ != 0 && code_ != SQLITE_CORRUPT && code_ != SQLITE_NOTADB;
}

bool Store::Open(const QString &fileName, Mode mode) {
  fileName_ = fileName;
  error_.clear();
  code_ = 0;
  std::unique_lock lock(OpenLock());
  if (const QString refused = Refusal(fileName); !refused.isEmpty()) return Fail(refused);
  const QFileInfo info(fileName);
  if (mode == Mode::Read && (!info.exists() || info.size() == 0)) {
    empty_ = true;
    return true;
  }
  if (mode == Mode::Write && !info.exists())
    if (const QString failed = MakeFile(fileName); !failed.isEmpty()) return Fail(failed);
  lock.unlock();

  if (!QSqlDatabase::isDriverAvailable(kDriver))
    return Fail("the SQLite driver of Qt SQL is not installed");
  if (mode == Mode::Read && Connect(fileName, "QSQLITE_OPEN_READONLY") && ReadHeader()) return true;
  // A history that may not be written, in a folder that takes no shared-memory file beside it,
  // is read as it is, unchanging.
  if (mode == Mode::Read && (code_ == SQLITE_CANTOPEN || code_ == SQLITE_READONLY) &&
      Connect(
          QUrl::fromLocalFile(QFileInfo(fileName).absoluteFilePath()).toString() + "?immutable=1",
          "QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI") &&
      ReadHeader())
    return true;
  if (mode == Mode::Read) return Close();
  if (Connect(fileName, "") && Prepare()) return true;
  // A file refused is closed, so that nothing is written into it.
  return Close();
}

bool Store::Connect(const QString &name, const QString &options) {
  Close();
  QSqlDatabase db = QSqlDatabase::addDatabase(kDriver, connection_);
  db.setDatabaseName(name);
  db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs_) +
                       (options.isEmpty() ? QString() : ";" + options));
  return db.open() || Fail(db.lastError());
}

bool Store::ReadHeader() {
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  if (!q.exec("PRAGMA application_id") || !q.next()) {
    Fail(q.lastError());
    return false;
  }
  return q.value(0).toInt() == kApplicationId || Fail(fileName_ + " is no history");
}

bool Store::Prepared(QSqlQuery &q, const QString &sql) {
  return q.prepare(sql) || FailOf(q);
}

bool Store::RunPrepared(QSqlQuery &q, const QVariantList &values) {
  BindAll(q, values);
  return q.exec() || FailOf(q);
}

bool Store::FailOf(const QSqlQuery &q) {
  if (q.lastError().isValid()) return Fail(q.lastError());
  return Fail(fileName_ + ": the statement failed: " + q.lastQuery().simplified());
}

bool Store::RollBack() {
  const QString error = error_;
  const int code = code_;
  QSqlQuery(QSqlDatabase::database(connection_, false)).exec("ROLLBACK");
  error_ = error;
  code_ = code;
  return false;
}

bool Store::Close() {
  if (QSqlDatabase::contains(connection_)) {
    QSqlDatabase::database(connection_, false).close();
    QSqlDatabase::removeDatabase(connection_);
  }
  return false;
}

// Another process that makes or switches the same file may hold it for a moment where SQLite
// answers "locked" at once rather than waiting: the setup is tried again for a while.
bool Store::Prepare() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int attempt = 0;; ++attempt) {
    if (PrepareOnce()) return true;
    if (std::chrono::steady_clock::now() > until ||
        (code_ != SQLITE_BUSY && code_ != SQLITE_LOCKED))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + attempt % 20));
  }
}

// In one write transaction: the application id and schema checked, set up or migrated; then WAL.
bool Store::PrepareOnce() {
  QSqlDatabase db = QSqlDatabase::database(connection_, false);
  QSqlQuery q(db);
  if (!q.exec("BEGIN IMMEDIATE")) return Fail(q.lastError());
  auto rollback = [&](const auto &why) {
    Fail(why);
    return RollBack();
  };
  if (!q.exec("PRAGMA application_id") || !q.next()) return rollback(q.lastError());
  const qint32 id = q.value(0).toInt();
  q.finish();
  if (!q.exec("SELECT count(*) FROM sqlite_master") || !q.next()) return rollback(q.lastError());
  const bool blank = q.value(0).toInt() == 0;
  q.finish();
  if (id != kApplicationId && !(id == 0 && blank)) return rollback(fileName_ + " is no history");
  if (!q.exec("PRAGMA user_version") || !q.next()) return rollback(q.lastError());
  int version = q.value(0).toInt();
  q.finish();
  if (version > kSchemaVersion)
    return rollback(QStringLiteral("%1 has schema %2, newer than this program's %3")
                        .arg(fileName_)
                        .arg(version)
                        .arg(kSchemaVersion));
  if (id == 0 && !q.exec(QStringLiteral("PRAGMA application_id = %1").arg(kApplicationId)))
    return rollback(q.lastError());
  for (; version < kSchemaVersion; ++version) {
    for (const QString &statement : kMigrations[static_cast<std::size_t>(version)])
      if (!q.exec(statement)) return rollback(q.lastError());
    if (!q.exec(QStringLiteral("PRAGMA user_version = %1").arg(version + 1)))
      return rollback(q.lastError());
  }
  if (!q.exec("COMMIT")) return rollback(q.lastError());
  if (!q.exec("PRAGMA journal_mode = WAL") || !q.next()) return Fail(q.lastError());
  const bool wal = q.value(0).toString().compare("wal", Qt::CaseInsensitive) == 0;
  q.finish();
  if (!wal) return Fail(fileName_ + " takes no write-ahead log");
  q.exec("PRAGMA synchronous = NORMAL");
  // A burst of records stays in the page cache until its commit, which writes each page once.
  q.exec("PRAGMA cache_size = -32768");
  return true;
}

bool Store::Write(const std::vector<JobRecord> &records) {
  if (empty_ || !IsOpen()) return Fail("the history is not open");
  QSqlDatabase db = QSqlDatabase::database(connection_, false);
  QSqlQuery q(db);
  if (!q.exec("BEGIN IMMEDIATE")) return Fail(q.lastError());
  QSqlQuery job(db), outbox(db), process(db), gone(db);
  const bool prepared =
      Prepared(job, UpsertJob()) &&
      // A record goes to the server its job's start was meant for, else to this store's.
      Prepared(outbox,
               "INSERT OR REPLACE INTO outbox (id, server) VALUES (?, coalesce((SELECT server "
               "FROM job_processes WHERE id = ?), ?))") &&
      Prepared(process,
               "INSERT OR REPLACE INTO job_processes (id, station, pid, boot, start_ticks, "
               "server) VALUES (?, ?, ?, ?, ?, ?)") &&
      Prepared(gone, "DELETE FROM job_processes WHERE id = ?");
  if (!prepared) return RollBack();
  const ProcessIdentity &self = ThisProcess();
  for (const JobRecord &r : records) {
    Bind(job, r);
    const bool ok =
        RunPrepared(job) && RunPrepared(outbox, {r.id, r.id, server_}) &&
        (r.Is(Outcome::Running) ? RunPrepared(process, {r.id, r.station, self.pid, self.boot,
                                                        self.startTicks, server_})
                                : RunPrepared(gone, {r.id}));
    if (!ok) return RollBack();
  }
  if (!q.exec("COMMIT")) {
    Fail(q.lastError());
    return RollBack();
  }
  return true;
}

int Store::InterruptOrphans(const QString &station) {
  if (empty_ || !IsOpen()) return -1;
  QSqlDatabase db = QSqlDatabase::database(connection_, false);
  QSqlQuery q(db);
  if (!Run(q,
           "SELECT j.id, p.pid, p.boot, p.start_ticks FROM jobs j JOIN job_processes p ON p.id = "
           "j.id WHERE j.outcome = " +
               Literal(TextOf(Outcome::Running)) + " AND j.station = ?",
           {station}))
    return -1;
  const QString boot = ThisProcess().boot;
  QStringList orphans;
  while (q.next()) {
    const qint64 pid = q.value(1).toLongLong();
    const bool alive = q.value(2).toString() == boot && StartTicks(pid) == q.value(3).toLongLong();
    if (!alive) orphans << q.value(0).toString();
  }
  q.finish();
  if (orphans.isEmpty()) return 0;
  std::vector<JobRecord> records;
  for (const QString &id : orphans) {
    std::optional<JobRecord> record = Job(id);
    if (!record || !record->Is(Outcome::Running)) continue;
    // Its end never reached the file: not known, and no time is made up for it.
    record->outcome = TextOf(Outcome::Interrupted);
    record->ended.reset();
    record->message = kStoppedMessage;
    records.push_back(*record);
  }
  return Write(records) ? static_cast<int>(records.size()) : -1;
}

std::vector<JobRecord> Store::Jobs(const JobQuery &query, bool withLog) {
  std::vector<JobRecord> records;
  Each(query, withLog, {}, [&](const JobRecord &record) {
    records.push_back(record);
    return true;
  });
  return records;
}

bool Store::ForEachJob(const JobQuery &query, const std::function<void(const JobRecord &)> &each) {
  return Each(query, false, {}, [&](const JobRecord &record) {
    each(record);
    return true;
  });
}

bool Store::Read(const JobQuery &query, const JobRange &range,
                 const std::function<bool(const JobRecord &)> &each) {
  return Each(query, false, range, each);
}

bool Store::Each(const JobQuery &query, bool withLog, const JobRange &range,
                 const std::function<bool(const JobRecord &)> &each) {
  if (empty_) return true;
  if (!IsOpen()) return false;
  QVariantList values;
  const QString sql = Listing(query, withLog, values, range);
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  q.setForwardOnly(true);
  if (!Run(q, sql, values)) return false;
  while (q.next())
    if (!each(RecordOf(q))) return true;
  return !q.lastError().isValid() || Fail(q.lastError());
}

std::optional<std::vector<JobKey>> Store::Keys(const JobQuery &query, const QStringList &without,
                                               qint64 every) {
  std::vector<JobKey> keys;
  if (empty_) return keys;
  if (!IsOpen()) return std::nullopt;
  const std::vector<OrderTerm> terms = OrderTerms(query);
  const QString value = terms.size() > 3 ? terms[0].column : QString("''");
  QVariantList values;
  // The keys in the query's order from its index, every one passing by; only every `every`th
  // made into text.
  const QString sql = "SELECT " + value + ", started, unit, id FROM jobs" +
                      Where(query, values, without) + OrderBy(query);
  const auto text = [](sqlite3_stmt *statement, int column) {
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
  };
  qint64 row = 0;
  const bool read = RawRows(sql, values, [&](sqlite3_stmt *statement) {
    if (row++ % std::max<qint64>(every, 1) == 0)
      keys.push_back(
          {text(statement, 0), text(statement, 1), text(statement, 2), text(statement, 3)});
    return true;
  });
  if (!read) return std::nullopt;
  return keys;
}

bool Store::RawRows(const QString &sql, const QVariantList &values,
                    const std::function<bool(sqlite3_stmt *)> &each) {
  // SQLite's own statement on the connection: the columns' UTF-8 text as it is stored.
  const QVariant handle = QSqlDatabase::database(connection_, false).driver()->handle();
  if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
    return Fail("no SQLite connection");
  sqlite3 *db = *static_cast<sqlite3 *const *>(handle.data());
  sqlite3_stmt *statement = nullptr;
  const QByteArray text = sql.toUtf8();
  if (sqlite3_prepare_v2(db, text.constData(), static_cast<int>(text.size()), &statement,
                         nullptr) != SQLITE_OK)
    return Fail(sqlite3_errcode(db), QString::fromUtf8(sqlite3_errmsg(db)));
  for (int i = 0; i < values.size(); ++i) {
    if (values[i].typeId() == QMetaType::LongLong) {
      sqlite3_bind_int64(statement, i + 1, values[i].toLongLong());
      continue;
    }
    const QByteArray bound = values[i].toString().toUtf8();
    sqlite3_bind_text(statement, i + 1, bound.constData(), static_cast<int>(bound.size()),
                      SQLITE_TRANSIENT);
  }
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW)
    if (!each(statement)) {
      step = SQLITE_DONE;
      break;
    }
  const bool done = step == SQLITE_DONE;
  if (!done) Fail(sqlite3_errcode(db), QString::fromUtf8(sqlite3_errmsg(db)));
  sqlite3_finalize(statement);
  return done;
}

bool Store::CsvRows(const JobQuery &query, const std::function<bool(const QByteArray &)> &each) {
  if (empty_) return true;
  if (!IsOpen()) return false;
  QVariantList values;
  const QString sql = Listing(query, false, values);
  QByteArray row;
  return RawRows(sql, values, [&](sqlite3_stmt *statement) {
    row.clear();
    for (int column = 0; column < 11; ++column) {
      if (column) row += ',';
      const auto *field = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
      if (field) AppendCsvField(row, field, sqlite3_column_bytes(statement, column));
    }
    row += "\r\n";
    return each(row);
  });
}

qint64 Store::Count(const JobQuery &query, const QStringList &without) {
  if (empty_ || !IsOpen()) return 0;
  QVariantList values;
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  const QString sql = "SELECT count(*) FROM jobs" + Where(query, values, without);
  if (!Run(q, sql, values) || !q.next()) return FailOf(q), 0;
  const qint64 count = q.value(0).toLongLong();
  return query.limit >= 0 ? std::min(count, query.limit) : count;
}

std::optional<JobRecord> Store::Job(const QString &id) {
  if (empty_ || !IsOpen()) return std::nullopt;
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  if (!Run(q, "SELECT " + ColumnsButDetails() + kDetails + " FROM jobs WHERE id = ?", {id}))
    return std::nullopt;
  if (!q.next()) return std::nullopt;
  return RecordOf(q);
}

QStringList Store::IdsBeginningWith(const QString &prefix, int limit) {
  QStringList ids;
  if (empty_ || !IsOpen()) return ids;
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  q.setForwardOnly(true);
  // A range of the primary key: every id that begins with the prefix sorts between it and the
  // prefix followed by the highest character.
  if (!Run(q, "SELECT id FROM jobs WHERE id >= ? AND id < ? ORDER BY id LIMIT ?",
           {prefix, prefix + QChar(0xFFFF), limit}))
    return ids;
  while (q.next()) ids << q.value(0).toString();
  return ids;
}

QStringList Store::Units() {
  QStringList units;
  if (empty_ || !IsOpen()) return units;
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  q.setForwardOnly(true);
  if (!q.exec("SELECT unit FROM unit_last WHERE job = '' ORDER BY unit"))
    return Fail(q.lastError()), units;
  while (q.next()) units << q.value(0).toString();
  return units;
}

namespace {

// The columns of a SummaryRow after `newest`, from the row `j.`: the members of the details of
// an ok part only.
QString SummaryColumns() {
  const QString part = "m.job <> '' AND j.outcome = 'ok'";
  return "j.unit, j.job, j.id, j.started, j.ended, j.outcome, j.message, j.station, CASE WHEN " +
         part + " THEN json_extract(j.details, '$.file') END, CASE WHEN " + part +
         " THEN json_extract(j.details, '$.sha256') END, CASE WHEN " + part +
         " THEN json_extract(j.details, '$.profile') END, CASE WHEN " + part +
         " AND j.job = " + Literal(TextOf(JobKind::Settings)) +
         " THEN json_extract(j.details, '$.values') END";
}

SummaryRow ReadSummaryRow(const QSqlQuery &q) {
  SummaryRow r;
  r.newest = q.value(0).toString().isEmpty();
  r.unit = q.value(1).toString();
  r.job = q.value(2).toString();
  r.id = q.value(3).toString();
  r.started = q.value(4).toString();
  if (!q.value(5).isNull()) r.ended = q.value(5).toString();
  r.outcome = q.value(6).toString();
  r.message = q.value(7).toString();
  r.station = q.value(8).toString();
  r.file = q.value(9).toString();
  r.sha256 = q.value(10).toString();
  r.profile = q.value(11).toString();
  r.values = q.value(12).toString().toUtf8();
  return r;
}

}  // namespace

std::vector<UnitSummary> SummariesOf(const std::vector<SummaryRow> &rows) {
  struct Parts {
    const SummaryRow *newest = nullptr, *firmware = nullptr, *parameters = nullptr,
                     *message = nullptr;
  };
  std::map<QString, Parts> units;
  for (const SummaryRow &row : rows) {
    Parts &parts = units[row.unit];
    const SummaryRow **slot = &parts.newest;
    if (!row.newest) {
      const std::optional<JobKind> kind = JobKindOf(row.job);
      if (kind == JobKind::Firmware)
        slot = &parts.firmware;
      else if (kind == JobKind::Settings || kind == JobKind::Defaults)
        slot = &parts.parameters;
      else if (kind == JobKind::Record)
        slot = &parts.message;
      else
        continue;
    }
    const SummaryRow *held = *slot;
    if (!held || row.started > held->started ||
        (row.started == held->started && row.id >= held->id))
      *slot = &row;
  }
  std::vector<UnitSummary> summaries;
  for (const auto &[unit, parts] : units) {
    if (!parts.newest) continue;
    UnitSummary s;
    s.unit = unit;
    s.last = parts.newest->started;
    s.lastJob = parts.newest->job;
    s.lastOutcome = parts.newest->outcome;
    s.lastStation = parts.newest->station;
    // A part that did not end ok: none, and why.
    const auto settled = [](const SummaryRow *row,
                            std::optional<UnitSummary::Unsettled> &unsettled) {
      if (!row) return false;
      if (OutcomeOf(row->outcome) == Outcome::Ok) return true;
      unsettled = UnitSummary::Unsettled{row->started, row->station, row->outcome, row->message};
      return false;
    };
    if (const SummaryRow *r = parts.firmware; settled(r, s.firmwareUnsettled))
      s.firmware =
          UnitSummary::Firmware{r->file, r->sha256, r->ended.value_or(r->started), r->station};
    if (const SummaryRow *r = parts.parameters; settled(r, s.parametersUnsettled)) {
      std::optional<QJsonObject> values;
      if (JobKindOf(r->job) == JobKind::Settings)
        values = QJsonDocument::fromJson(r->values).object();
      s.parameters =
          UnitSummary::Parameters{values, r->ended.value_or(r->started), r->station, r->profile};
    }
    if (const SummaryRow *r = parts.message; settled(r, s.messageUnsettled))
      s.message = UnitSummary::Message{r->file, r->sha256, r->ended.value_or(r->started)};
    summaries.push_back(std::move(s));
  }
  return summaries;
}

std::vector<UnitSummary> Store::Summaries(const QStringList &units) {
  if (empty_ || !IsOpen()) return {};
  QVariantList values;
  const QString filter = units.isEmpty() ? QString() : " WHERE " + UnitIn("m.unit", units, values);
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  q.setForwardOnly(true);
  // Each unit's newest job and the newest of each kind that a part is taken from.
  if (!Run(q,
           "SELECT m.job, " + SummaryColumns() +
               " FROM unit_last m CROSS JOIN jobs j ON j.id = m.id" + filter + " ORDER BY m.unit",
           values))
    return {};
  // Unit by unit, so that only one unit's rows are held.
  std::vector<UnitSummary> summaries;
  std::vector<SummaryRow> rows;
  const auto flush = [&] {
    for (UnitSummary &s : SummariesOf(rows)) summaries.push_back(std::move(s));
    rows.clear();
  };
  while (q.next()) {
    SummaryRow row = ReadSummaryRow(q);
    if (!rows.empty() && rows.front().unit != row.unit) flush();
    rows.push_back(std::move(row));
  }
  flush();
  return summaries;
}

std::vector<SummaryRow> Store::WaitingSummaryRows(const QStringList &units) {
  std::vector<SummaryRow> rows;
  if (empty_ || !IsOpen()) return rows;
  QVariantList values{server_, unaddressed_};
  const QString filter = units.isEmpty() ? QString() : " AND " + UnitIn("j.unit", units, values);
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  q.setForwardOnly(true);
  // Each waiting record twice: as its unit's newest job, and as its kind's part where it is one.
  if (!Run(q,
           "SELECT m.job, " + SummaryColumns() +
               " FROM outbox o CROSS JOIN jobs j ON j.id = o.id CROSS JOIN (SELECT '' AS job "
               "UNION ALL SELECT 'part') m WHERE " +
               OutboxFilter("o.") + filter + " AND (m.job = '' OR " + SummaryPart("j.") + ")",
           values))
    return rows;
  while (q.next()) rows.push_back(ReadSummaryRow(q));
  return rows;
}

void Store::SetServer(const QString &server, bool unaddressed) {
  server_ = server;
  unaddressed_ = unaddressed;
}

QString Store::OutboxFilter(const QString &table) {
  return QString("(%1server = ? OR (? AND %1server = ''))").arg(table);
}

std::vector<WaitingRecord> Store::WaitingForServer(int limit) {
  std::vector<WaitingRecord> waiting;
  if (empty_ || !IsOpen()) return waiting;
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  q.setForwardOnly(true);
  if (!Run(q,
           "SELECT o.revision, j.id, j.unit, j.job, j.started, j.ended, j.outcome, j.message, "
           "j.station, j.operator, j.program, j.details FROM outbox o JOIN jobs j ON j.id = "
           "o.id WHERE " +
               OutboxFilter("o.") + " ORDER BY o.revision LIMIT ?",
           {server_, unaddressed_, limit}))
    return waiting;
  while (q.next()) waiting.push_back({RecordOf(q, 1), q.value(0).toLongLong()});
  return waiting;
}

void Store::ConfirmedByServer(const std::vector<std::pair<QString, qint64>> &idAndRevision) {
  if (empty_ || !IsOpen() || idAndRevision.empty()) return;
  QSqlDatabase db = QSqlDatabase::database(connection_, false);
  QSqlQuery q(db);
  if (!q.exec("BEGIN IMMEDIATE")) return void(Fail(q.lastError()));
  QSqlQuery remove(db);
  if (!Prepared(remove, "DELETE FROM outbox WHERE id = ? AND revision = ?"))
    return void(RollBack());
  for (const auto &[id, revision] : idAndRevision)
    if (!RunPrepared(remove, {id, revision})) return void(RollBack());
  if (!q.exec("COMMIT")) Fail(q.lastError());
}

qint64 Store::WaitingCount() {
  if (empty_ || !IsOpen()) return 0;
  QSqlQuery q(QSqlDatabase::database(connection_, false));
  if (!Run(q, "SELECT count(*) FROM outbox WHERE " + OutboxFilter(""), {server_, unaddressed_}) ||
      !q.next())
    return FailOf(q), 0;
  return q.value(0).toLongLong();
}

}  // namespace history
