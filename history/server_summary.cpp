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

}  // namespace

ServerResult ReadSummaryRows(ServerConnection &connection, const QStringList &units,
                             std::vector<SummaryRow> *rows) {
  std::vector<ServerValue> parameters;
  QByteArray filter;
  if (!units.isEmpty()) {
    parameters.emplace_back(
        QJsonDocument(QJsonArray::fromStringList(units)).toJson(QJsonDocument::Compact));
    filter = " AND unit IN (SELECT json_array_elements_text($1::json))";
  }
  // The parts of the summaries: the ok row's members are read from its details by the row's id,
  // after the choice, so that no other row's details are read but to see whether a job that did
  // not end ok began to change the unit.
  const QByteArray part =
      "job IN ('settings', 'defaults', 'firmware', 'record') AND (outcome = 'ok' OR "
      "(outcome <> 'running' AND (details->>'" +
      QByteArray(kChangedMember) + "') IS DISTINCT FROM 'false'))";
  const QByteArray ok = "NOT c.newest AND c.outcome = 'ok'";
  const QByteArray sql =
      "WITH c AS ((SELECT DISTINCT ON (unit) true AS newest, unit, job, id, started, ended, "
      "outcome, message, station FROM jobs WHERE true" +
      filter +
      " ORDER BY unit, started DESC, id DESC) UNION ALL (SELECT DISTINCT ON (unit, CASE job "
      "WHEN 'defaults' THEN 'settings' ELSE job END) false, unit, job, id, started, ended, "
      "outcome, message, station FROM jobs WHERE " +
      part + filter +
      " ORDER BY unit, CASE job WHEN 'defaults' THEN 'settings' ELSE job END, started DESC, id "
      "DESC)) SELECT c.newest, c.unit, c.job, c.id, " +
      UtcText("c.started") + ", " + UtcText("c.ended") +
      ", c.outcome, c.message, c.station, j.details->>'file', j.details->>'sha256', "
      "j.details->>'profile', CASE WHEN c.job = 'settings' THEN (j.details->'values')::text END "
      "FROM c LEFT JOIN jobs j ON " +
      ok + " AND j.id = c.id";
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
  // Unit by unit over the index of (unit, started): one probe of the index per unit.
  ServerResult result = connection.Run(
      "WITH RECURSIVE u (unit) AS (SELECT min(unit) FROM jobs UNION ALL SELECT (SELECT min(unit) "
      "FROM jobs WHERE unit > u.unit) FROM u WHERE u.unit IS NOT NULL) SELECT unit FROM u WHERE "
      "unit IS NOT NULL");
  if (!result.ok) return result;
  for (const ServerRow &row : result.rows) *units << Text(row[0]);
  result.rows.clear();
  return result;
}

}  // namespace history
