// The history's records as others read them: RFC 4180 CSV (UTF-8, CRLF) and JSON, the times in
// local time for a window, the `--since` forms, and the details a job's record starts with.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "history/job_record.h"
#include "history/store.h"

namespace history {

// The eleven column names of `jobs` in order.
const QStringList &ColumnNames();

// The header row and one record's row, each ending in CR LF; `details` as its JSON text.
QByteArray CsvHeader();
QByteArray CsvRow(const JobRecord &record);
// Appends one CSV field of UTF-8 text: quoted, its quotes doubled, where it holds a quote, a
// comma, CR or LF; one that begins with =, +, -, @, a tab or CR, which a spreadsheet would take
// for a formula, after an apostrophe.
void AppendCsvField(QByteArray &row, const char *text, int size);

// {"id", "unit", ..., "details": {...}}: a record as JSON text, its members in the columns'
// order, its details an object.
QByteArray JobJson(const JobRecord &record);
// {"unit", "firmware", "parameters", "message", "last"} as JSON text, in this order, and after
// them, for a unit with a part left unsettled, "unsettled": {"firmware": {"when", "station",
// "outcome", "message"}, ...} with the unsettled parts only.
QByteArray SummaryJson(const UnitSummary &summary);
// The line of a unit's summary that says a part is none because the newest job of its kind began
// to change the unit and did not end ok, `when` showing its start as the reader shows times:
// "firmware: none, the download of <when> ended <outcome>: the unit stays in its loader until a
// download completes" (`kind` Firmware), the same of "parameters" (Settings: a write or the
// defaults) and "message" (Record: a recording). Empty when the part is settled.
QString UnsettledLine(const std::optional<UnitSummary::Unsettled> &part, JobKind kind,
                      const std::function<QString(const QString &utc)> &when);
// A JSON string, made by QJsonDocument, with the control characters U+007F to U+009F escaped too.
QByteArray JsonText(const QString &text);
// {"name": value, ...} of members already in JSON text, in their order: the one spacing of every
// JSON text the programs write.
QByteArray JsonMembers(const QList<std::pair<QByteArray, QByteArray>> &members);

// A record's UTC time as text for people shows it: local time, "yyyy-MM-dd HH:mm:ss", with the
// zone's abbreviation of that moment after it where asked ("2026-12-08 12:41:25 CET").
QString LocalTime(const QString &utc, bool withZone = false);
// The local time zone's name: "Europe/Oslo", "UTC".
QString LocalZoneName();
// The header of a column of local times: "started (Europe/Oslo)".
QString LocalTimeHeader(const QString &column);

// `--since`: "YYYY-MM-DD" (local midnight) or "YYYY-MM-DDThh:mm[:ss[.mmm]][Z|+hh:mm|-hh:mm]"
// (local time without a zone; a blank may stand for the T, as in a text table), as a UTC time in
// the records' form; none when the text is neither.
std::optional<QString> ParseSince(const QString &text);

// The lower-case hex SHA-256 of a file's bytes; empty when it cannot be read.
QString FileSha256(const QString &fileName);
// The absolute name of a file.
QString AbsoluteName(const QString &fileName);

// The details a job's record starts with.
QJsonObject SettingsDetails(const std::vector<std::pair<std::string, std::string>> &values,
                            const std::optional<QString> &profile);
QJsonObject FirmwareDetails(const QString &file, int lines, bool fast);
QJsonObject RecordDetails(const QString &file, const QString &output);
QJsonObject SendDetails(const std::string &line);
// Bytes of the wire (Latin-1) as JSON text.
QString WireText(const std::string &bytes);

}  // namespace history
