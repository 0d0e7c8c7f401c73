#include "history/server_store.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <map>
#include <utility>

#include "history/server_words.h"

namespace history {

namespace {

// The migration steps: step N brings the tables from version N-1 to N, in one transaction with
// the version's update.
const std::vector<std::vector<const char *>> kSteps = {
    {
        R"(CREATE TABLE jobs (
             id text COLLATE "C" PRIMARY KEY,
             unit text COLLATE "C" NOT NULL,
             job text NOT NULL,
             started timestamptz NOT NULL,
             ended timestamptz,
             outcome text NOT NULL,
             message text NOT NULL,
             station text NOT NULL,
             "operator" text NOT NULL,
             program text NOT NULL,
             details jsonb NOT NULL))",
        "CREATE INDEX jobs_unit_started ON jobs (unit, started DESC)",
        "CREATE INDEX jobs_started ON jobs (started DESC, unit, id)",
    },
    // The benches write only through tolvane_write_jobs, which runs as the tables' owner: it adds
    // a record, or ends a running one, and changes no record that has ended. Each row says which
    // login wrote it. The rules hold for every row written from now on (rows of version 1 stay
    // as they were).
    {
        "ALTER TABLE jobs ADD COLUMN login text NOT NULL DEFAULT session_user",
        "ALTER TABLE jobs ADD CONSTRAINT jobs_job_check CHECK "
        "(job IN ('settings', 'defaults', 'firmware', 'record', 'send')) NOT VALID",
        "ALTER TABLE jobs ADD CONSTRAINT jobs_outcome_check CHECK "
        "(outcome IN ('running', 'ok', 'failed', 'interrupted')) NOT VALID",
        "ALTER TABLE jobs ADD CONSTRAINT jobs_id_check CHECK "
        "(id ~ '^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$') NOT VALID",
        "ALTER TABLE jobs ADD CONSTRAINT jobs_details_check CHECK "
        "(jsonb_typeof(details) = 'object') NOT VALID",
        "ALTER TABLE jobs ADD CONSTRAINT jobs_running_check CHECK "
        "(outcome <> 'running' OR ended IS NULL) NOT VALID",
        R"(CREATE FUNCTION tolvane_write_jobs(records json) RETURNS void
           LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $body$
           DECLARE
             r record;
             old jobs%ROWTYPE;
           BEGIN
             FOR r IN SELECT x.id, x.unit, x.job, x.started, x.ended, x.outcome, x.message,
                 x.station, x."operator", x.program, x.details::jsonb AS details
                 FROM json_to_recordset(records) AS x(id text, unit text, job text,
                 started timestamptz, ended timestamptz, outcome text, message text,
                 station text, "operator" text, program text, details text)
             LOOP
               INSERT INTO jobs (id, unit, job, started, ended, outcome, message, station,
                                 "operator", program, details)
                 VALUES (r.id, r.unit, r.job, r.started, r.ended, r.outcome, r.message,
                         r.station, r."operator", r.program, r.details)
                 ON CONFLICT (id) DO NOTHING;
               CONTINUE WHEN FOUND;
               SELECT * INTO old FROM jobs WHERE id = r.id FOR UPDATE;
               IF old.outcome = 'running' THEN
                 IF r.outcome <> 'running' THEN
                   UPDATE jobs SET unit = r.unit, job = r.job, started = r.started,
                          ended = r.ended, outcome = r.outcome, message = r.message,
                          station = r.station, "operator" = r."operator", program = r.program,
                          details = r.details, login = session_user
                    WHERE id = r.id;
                 END IF;
               ELSIF r.outcome <> 'running' AND
                     (old.unit, old.job, old.started, old.ended, old.outcome, old.message,
                      old.station, old."operator", old.program, old.details)
                     IS DISTINCT FROM (r.unit, r.job, r.started, r.ended, r.outcome, r.message,
                      r.station, r."operator", r.program, r.details) THEN
                 RAISE EXCEPTION 'the job % has ended; its record is not changed', r.id
                   USING ERRCODE = 'integrity_constraint_violation';
               END IF;
             END LOOP;
           END
           $body$)",
        "REVOKE ALL ON FUNCTION tolvane_write_jobs(json) FROM PUBLIC",
    },
};
static_assert(kServerSchemaVersion == 2);

// One server-init at a time on a database: a transaction-scoped advisory lock of its own.
constexpr const char *kInitLock = "SELECT pg_advisory_xact_lock(7105146953401)";

constexpr const char *kVersion = "SELECT coalesce(max(version), 0) FROM schema_version";

// The time of a `timestamptz` as ISO 8601 UTC text with milliseconds, whatever the session's
// time zone.
#define UTC_TEXT(column) \
  "to_char(" column " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"

constexpr const char *kWrite = "SELECT tolvane_write_jobs($1::json)";

// What a bench's login is given: it reads the tables and writes through the function, and may do
// nothing else to them.
const std::vector<const char *> kGrants = {
    "GRANT USAGE ON SCHEMA %2$I TO %1$I",
    "REVOKE ALL ON jobs, schema_version FROM %1$I",
    "GRANT SELECT ON jobs, schema_version TO %1$I",
    "GRANT EXECUTE ON FUNCTION tolvane_write_jobs(json) TO %1$I",
};

QString Text(const ServerValue &value) {
  return value ? QString::fromUtf8(*value) : QString();
}

// A row of the columns of `jobs` in their order.
JobRecord RecordOf(const ServerRow &row) {
  JobRecord job;
  job.id = Text(row[0]);
  job.unit = Text(row[1]);
  job.job = Text(row[2]);
  job.started = Text(row[3]);
  if (row[4]) job.ended = Text(row[4]);
  job.outcome = Text(row[5]);
  job.message = Text(row[6]);
  job.station = Text(row[7]);
  job.operator_ = Text(row[8]);
  job.program = Text(row[9]);
  job.details = CanonicalDetails(row[10].value_or(QByteArray("{}")));
  return job;
}

// The columns of `jobs` in their order, the times as text, `details` after them.
constexpr const char *kColumnsButDetails =
    "SELECT id, unit, job, " UTC_TEXT("started") ", " UTC_TEXT("ended") ", outcome, message, "
    "station, \"operator\", program, ";
// A download's details without its transfer log.
constexpr const char *kDetailsNoLog =
    "(CASE WHEN job = 'firmware' THEN details - 'log' ELSE details END)::text";

// A statement and its parameters, bound as it is made.
struct Statement {
  QByteArray sql;
  std::vector<ServerValue> parameters;
  // A parameter's placeholder, "$N".
  QByteArray Bind(QByteArray value) {
    parameters.emplace_back(std::move(value));
    return "$" + QByteArray::number(parameters.size());
  }
  QByteArray BindList(const QStringList &values) {
    return "(SELECT json_array_elements_text(" +
           Bind(QJsonDocument(QJsonArray::fromStringList(values)).toJson(QJsonDocument::Compact)) +
           "::json))";
  }
  // " AND ..." for the query's filters and the ids left out.
  void Filter(const JobQuery &query, const QStringList &without) {
    if (!query.units.isEmpty()) sql += " AND unit IN " + BindList(query.units);
    if (!query.job.isEmpty()) sql += " AND job = " + Bind(query.job.toUtf8());
    if (!query.outcome.isEmpty()) sql += " AND outcome = " + Bind(query.outcome.toUtf8());
    if (query.since) sql += " AND started >= " + Bind(query.since->toUtf8()) + "::timestamptz";
    if (!without.isEmpty()) sql += " AND id NOT IN " + BindList(without);
  }
  void From(const JobQuery &query, const JobKey &key) {
    sql += " AND " + AtOrAfter(query, key, [&](const QString &column, const QString &value) {
                       return QString::fromUtf8(Bind(value.toUtf8())) +
                              (column == "started" ? "::timestamptz" : "");
                     }).toUtf8();
  }
};

QByteArray OrderBy(const JobQuery &query) {
  QByteArrayList keys;
  for (const OrderTerm &term : OrderTerms(query))
    keys << term.column.toUtf8() + (term.descending ? " DESC" : "");
  return " ORDER BY " + keys.join(", ");
}

}  // namespace

int InitServerSchema(ServerConnection &connection, const QStringList &grants, QString *error) {
  const auto fail = [&](const ServerResult &result) {
    if (!connection.Broken()) connection.Run("ROLLBACK");
    int version = -1;  // what the server has, for the words of a login that may not make tables
    if (result.sqlState == "42501")
      if (const ServerResult current = connection.Run(kVersion); current.ok)
        version = current.rows.at(0).at(0).value_or("0").toInt();
    if (error) *error = InitFailureText(result, connection.User(), version);
    return 0;
  };
  for (const char *sql :
       {"BEGIN", kInitLock, "CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)"})
    if (const ServerResult r = connection.Run(sql); !r.ok) return fail(r);
  const ServerResult current = connection.Run(kVersion);
  if (!current.ok) return fail(current);
  const int version = current.rows.at(0).at(0).value_or("0").toInt();
  if (version > kServerSchemaVersion) {
    ServerResult newer;
    newer.error = QString(
                      "the server's history tables are of version %1, newer than this "
                      "program's %2; they are left as they are")
                      .arg(version)
                      .arg(kServerSchemaVersion);
    return fail(newer);
  }
  for (int step = version + 1; step <= kServerSchemaVersion; ++step)
    for (const char *sql : kSteps.at(static_cast<std::size_t>(step - 1)))
      if (const ServerResult r = connection.Run(sql); !r.ok) return fail(r);
  const QByteArray now = QByteArray::number(kServerSchemaVersion);
  if (const ServerResult r = connection.Run("DELETE FROM schema_version"); !r.ok) return fail(r);
  if (const ServerResult r =
          connection.Run("INSERT INTO schema_version (version) VALUES ($1::integer)", {now});
      !r.ok)
    return fail(r);
  // Each grant made by the server's format(), the login and the schema quoted as names.
  for (const QString &role : grants)
    for (const char *grant : kGrants) {
      const ServerResult text =
          connection.Run("SELECT format($1::text, $2::text, current_schema())",
                         {QByteArray(grant), role.toUtf8()});
      if (!text.ok) return fail(text);
      if (const ServerResult r = connection.Run(text.rows.at(0).at(0)->constData()); !r.ok)
        return fail(r);
    }
  if (const ServerResult r = connection.Run("COMMIT"); !r.ok) return fail(r);
  return kServerSchemaVersion;
}

QString CheckServerSchema(ServerConnection &connection) {
  const ServerResult result = connection.Run(kVersion);
  if (!result.ok && result.sqlState == "42P01")
    return "the server has no history tables (tolvane-cli server-init makes them)";
  if (!result.ok) return result.error;
  const int version = result.rows.at(0).at(0).value_or("0").toInt();
  if (version == 0) return "the server has no history tables (tolvane-cli server-init makes them)";
  if (version > kServerSchemaVersion)
    return QString("the server's history tables are of version %1, newer than this program's %2")
        .arg(version)
        .arg(kServerSchemaVersion);
  if (version < kServerSchemaVersion)
    return QString(
               "the server's history tables are of version %1, older than this program's %2 "
               "(tolvane-cli server-init brings them up to date)")
        .arg(version)
        .arg(kServerSchemaVersion);
  return {};
}

ServerResult SendRecords(ServerConnection &connection, const std::vector<JobRecord> &records) {
  std::map<QString, const JobRecord *> byId;  // the ended record of an id wins
  std::vector<const JobRecord *> order;
  for (const JobRecord &record : records) {
    auto [it, added] = byId.emplace(record.id, &record);
    if (added)
      order.push_back(&record);
    else if (record.ended || !it->second->ended)
      *std::find(order.begin(), order.end(), std::exchange(it->second, &record)) = &record;
  }
  QJsonArray rows;
  for (const JobRecord *r : order)
    rows.append(QJsonObject{
        {"id", r->id},
        {"unit", r->unit},
        {"job", r->job},
        {"started", r->started},
        {"ended", r->ended ? QJsonValue(*r->ended) : QJsonValue()},
        {"outcome", r->outcome},
        {"message", r->message},
        {"station", r->station},
        {"operator", r->operator_},
        {"program", r->program},
        {"details", QString::fromUtf8(r->details)},
    });
  return connection.Run(kWrite, {QJsonDocument(rows).toJson(QJsonDocument::Compact)});
}

ServerResult ReadJobs(ServerConnection &connection, const JobQuery &query,
                      std::vector<JobRecord> *jobs) {
  QByteArray sql =
      "SELECT id, unit, job, " UTC_TEXT("started") ", " UTC_TEXT("ended") ", outcome, message, "
      "station, \"operator\", program, details::text FROM jobs WHERE true";
  std::vector<ServerValue> parameters;
  // A parameter's placeholder, "$N".
  const auto bind = [&](QByteArray value) {
    parameters.emplace_back(std::move(value));
    return "$" + QByteArray::number(parameters.size());
  };
  if (!query.units.isEmpty())
    sql +=
        " AND unit IN (SELECT json_array_elements_text(" +
        bind(
            QJsonDocument(QJsonArray::fromStringList(query.units)).toJson(QJsonDocument::Compact)) +
        "::json))";
  if (!query.job.isEmpty()) sql += " AND job = " + bind(query.job.toUtf8());
  if (!query.outcome.isEmpty()) sql += " AND outcome = " + bind(query.outcome.toUtf8());
  if (query.since) sql += " AND started >= " + bind(query.since->toUtf8()) + "::timestamptz";
  sql += " ORDER BY started DESC, unit, id";
  if (query.limit >= 0) sql += " LIMIT " + bind(QByteArray::number(query.limit)) + "::bigint";
  ServerResult result = connection.Run(sql.constData(), parameters);
  if (!result.ok) return result;
  jobs->reserve(jobs->size() + result.rows.size());
  for (const ServerRow &row : result.rows) jobs->push_back(RecordOf(row));
  result.rows.clear();
  return result;
}

std::optional<std::vector<ServerRow>> ServerJobs::Rows(const QByteArray &sql,
                                                       const std::vector<ServerValue> &parameters) {
  ServerResult result = connection_.Run(sql.constData(), parameters);
  if (!result.ok) {
    error_ = result.error;
    return std::nullopt;
  }
  return std::move(result.rows);
}

bool ServerJobs::Read(const JobQuery &query, const JobRange &range, const Each &each) {
  Statement s{QByteArray(kColumnsButDetails) + kDetailsNoLog + " FROM jobs WHERE true", {}};
  s.Filter(query, range.without);
  if (range.from) s.From(query, *range.from);
  s.sql += OrderBy(query);
  if (query.limit >= 0) s.sql += " LIMIT " + s.Bind(QByteArray::number(query.limit)) + "::bigint";
  const ServerResult result = connection_.RunEach(
      s.sql.constData(), s.parameters, [&](const ServerRow &row) { return each(RecordOf(row)); });
  if (!result.ok) error_ = result.error;
  return result.ok;
}

std::optional<qint64> ServerJobs::Count(const JobQuery &query, const QStringList &without) {
  Statement s{"SELECT count(*) FROM jobs WHERE true", {}};
  s.Filter(query, without);
  const auto rows = Rows(s.sql, s.parameters);
  if (!rows) return std::nullopt;
  return rows->at(0).at(0).value_or("0").toLongLong();
}

std::optional<std::vector<JobKey>> ServerJobs::Keys(const JobQuery &query,
                                                    const QStringList &without, qint64 every) {
  const std::vector<OrderTerm> terms = OrderTerms(query);
  // The column asked for, if any, is the first term; the others are started, unit and id.
  const QByteArray value = terms.size() > 3 ? terms[0].column.toUtf8() : QByteArray("''::text");
  Statement s{"SELECT v, s, unit, id FROM (SELECT " + value +
                  " AS v, " UTC_TEXT("started") " AS s, unit, id, row_number() OVER (" +
                  OrderBy(query).mid(1) + ") AS n FROM jobs WHERE true",
              {}};
  s.Filter(query, without);
  s.sql += ") AS k WHERE (n - 1) % " + s.Bind(QByteArray::number(std::max<qint64>(every, 1))) +
           "::bigint = 0 ORDER BY n";
  std::vector<JobKey> keys;
  const ServerResult result =
      connection_.RunEach(s.sql.constData(), s.parameters, [&](const ServerRow &row) {
        keys.push_back({Text(row[0]), Text(row[1]), Text(row[2]), Text(row[3])});
        return true;
      });
  if (!result.ok) {
    error_ = result.error;
    return std::nullopt;
  }
  return keys;
}

std::optional<JobRecord> ServerJobs::Job(const QString &id) {
  Statement s{QByteArray(kColumnsButDetails) + "details::text FROM jobs WHERE id = ", {}};
  s.sql += s.Bind(id.toUtf8());
  const auto rows = Rows(s.sql, s.parameters);
  if (!rows || rows->empty()) return std::nullopt;
  return RecordOf(rows->front());
}

std::optional<QStringList> ServerJobs::IdsBeginningWith(const QString &prefix, int limit) {
  // A range of the primary key (byte order): every id that begins with the prefix sorts between
  // it and the prefix followed by the highest character.
  Statement s{"SELECT id FROM jobs WHERE id >= ", {}};
  s.sql += s.Bind(prefix.toUtf8()) + " AND id < " + s.Bind((prefix + QChar(0xFFFF)).toUtf8()) +
           " ORDER BY id LIMIT " + s.Bind(QByteArray::number(limit)) + "::bigint";
  const auto rows = Rows(s.sql, s.parameters);
  if (!rows) return std::nullopt;
  QStringList ids;
  for (const ServerRow &row : *rows) ids << Text(row[0]);
  return ids;
}

QByteArray CanonicalDetails(const QByteArray &json) {
  const QJsonDocument document = QJsonDocument::fromJson(json);
  return document.isObject() ? document.toJson(QJsonDocument::Compact) : json;
}

int InitServer(const ServerAddress &address, const QStringList &grants, QString *error) {
  const auto connection = ServerConnection::Open(address, -1, error);
  return connection ? InitServerSchema(*connection, grants, error) : 0;
}

bool ReadServerJobs(const ServerAddress &address, const JobQuery &query,
                    std::vector<JobRecord> *jobs, QString *error) {
  const auto connection = ServerConnection::Open(address, -1, error);
  if (!connection) return false;
  if (const QString reason = CheckServerSchema(*connection); !reason.isEmpty()) {
    if (error) *error = reason;
    return false;
  }
  const ServerResult result = ReadJobs(*connection, query, jobs);
  if (!result.ok && error) *error = result.error;
  return result.ok;
}

}  // namespace history
