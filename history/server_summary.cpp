#include "history/server_summary.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace history {

namespace {

// A `timestamptz` as ISO 8601 UTC text with milliseconds, whatever the session's time zone.
QByteArray UtcText(const QByteArray &column) {
  return "to_char(" + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
}

QString Text(const ServerValue &value) {
  return value ? QString::fromUtf8(*value) : QString();
}

// The units that have jobs as the recursive `u` (unit), one probe of the index of (unit, started)
// each: a walk from the least unit to the next greater one, ending in a NULL.
constexpr char kUnitWalk[] =
    "(SELECT min(unit) FROM jobs UNION ALL SELECT (SELECT min(unit) FROM jobs WHERE unit > "
    "u.unit) FROM u WHERE u.unit IS NOT NULL)";

}  // namespace

ServerResult ReadSummaryRows(ServerConnection &connection, const QStringList &units,
                             std::vector<SummaryRow> *rows) {
  std::vector<ServerValue> parameters;
  QByteArray unitList = kUnitWalk;
  if (!units.isEmpty()) {
    parameters.emplace_back(
        QJsonDocument(QJsonArray::fromStringList(units)).toJson(QJsonDocument::Compact));
    unitList = "(SELECT DISTINCT json_array_elements_text($1::json) AS unit)";
  }
  // For each unit, its newest job and its newest of each kind that began to change the unit or
  // ended ok, each found by a probe of the index of (unit, started), so that the read grows with
  // the units, not with their jobs. The ok rows' members are then read from their details, each
  // taken apart once (a download's are as large as its log); no other row's details are read but
  // to see whether a job that did not end ok began to change the unit.
  const QByteArray columns = "unit, job, id, started, ended, outcome, message, station";
  const QByteArray sql =
      "WITH RECURSIVE u (unit) AS " + unitList +
      ", c AS (SELECT n.* FROM u CROSS JOIN LATERAL (SELECT true AS newest, " + columns +
      " FROM jobs WHERE jobs.unit = u.unit ORDER BY started DESC, id DESC LIMIT 1) n UNION ALL "
      "SELECT p.* FROM u CROSS JOIN (VALUES ('settings'), ('defaults'), ('firmware'), "
      "('record')) k (job) CROSS JOIN LATERAL (SELECT false AS newest, " +
      columns +
      " FROM jobs WHERE jobs.unit = u.unit AND jobs.job = k.job AND (outcome = 'ok' OR (outcome "
      "<> 'running' AND (details->>'" +
      QByteArray(kChangedMember) +
      "') IS DISTINCT FROM 'false')) ORDER BY started DESC, id DESC LIMIT 1) p) SELECT "
      "c.newest, c.unit, c.job, c.id, " +
      UtcText("c.started") + ", " + UtcText("c.ended") +
      ", c.outcome, c.message, c.station, d.file, d.sha256, d.profile, CASE WHEN c.job = "
      "'settings' THEN d.\"values\"::text END FROM c LEFT JOIN jobs j ON NOT c.newest AND "
      "c.outcome = 'ok' AND j.id = c.id LEFT JOIN LATERAL jsonb_to_record(j.details) AS d (file "
      "text, sha256 text, profile text, \"values\" jsonb) ON true";
  ServerResult result = connection.Run(sql.constData(), parameters);
  if (!result.ok) return result;
  rows->reserve(rows->size() + result.rows.size());
  for (const ServerRow &row : result.rows) {
    SummaryRow r;
    r.newest = row[0] == QByteArray("t");
    r.unit = Text(row[1]);
    r.job = Text(row[2]);
    r.id = Text(row[3]);
    r.started = Text(row[4]);
    if (row[5]) r.ended = Text(row[5]);
    r.outcome = Text(row[6]);
    r.message = Text(row[7]);
    r.station = Text(row[8]);
    r.file = Text(row[9]);
    r.sha256 = Text(row[10]);
    r.profile = Text(row[11]);
    r.values = row[12].value_or(QByteArray());
    rows->push_back(std::move(r));
  }
  result.rows.clear();
  return result;
}

ServerResult ReadUnits(ServerConnection &connection, QStringList *units) {
  const QByteArray sql = QByteArray("WITH RECURSIVE u (unit) AS ") + kUnitWalk +
                         " SELECT unit FROM u WHERE unit IS NOT NULL";
  ServerResult result = connection.Run(sql.constData());
  if (!result.ok) return result;
  for (const ServerRow &row : result.rows) *units << Text(row[0]);
  result.rows.clear();
  return result;
}

}  // namespace history
