#pragma once
// One job on one unit, as the service history keeps it: a row of the table `jobs`, in the
// order of its columns. The same shape travels from a job to the bench's own history file and
// from there to the workshop's server.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>
#include <string_view>

namespace history {

// The kinds of job, and the outcome of one: each with its one text form, the one the records,
// the command line and the windows use. Code compares the values; the text is read and written at
// the edges only.
enum class JobKind { Settings, Defaults, Firmware, Record, Send };
inline constexpr std::array<std::string_view, 5> kJobKindTexts = {"settings", "defaults",
                                                                  "firmware", "record", "send"};
enum class Outcome { Running, Ok, Failed, Interrupted };
inline constexpr std::array<std::string_view, 4> kOutcomeTexts = {"running", "ok", "failed",
                                                                  "interrupted"};

template <class Kind, std::size_t N>
QString TextOf(Kind value, const std::array<std::string_view, N> &texts) {
  const std::string_view text = texts.at(static_cast<std::size_t>(value));
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}
inline QString TextOf(JobKind kind) {
  return TextOf(kind, kJobKindTexts);
}
inline QString TextOf(Outcome outcome) {
  return TextOf(outcome, kOutcomeTexts);
}
// The value of a text form; none for any other text.
template <class Kind, std::size_t N>
std::optional<Kind> ValueOf(const QString &text, const std::array<std::string_view, N> &texts) {
  for (std::size_t i = 0; i < N; ++i)
    if (text == QLatin1StringView(texts[i].data(), static_cast<qsizetype>(texts[i].size())))
      return static_cast<Kind>(i);
  return std::nullopt;
}
inline std::optional<JobKind> JobKindOf(const QString &text) {
  return ValueOf<JobKind>(text, kJobKindTexts);
}
inline std::optional<Outcome> OutcomeOf(const QString &text) {
  return ValueOf<Outcome>(text, kOutcomeTexts);
}

// The columns of the table `jobs`, in their order: name, SQLite type, PostgreSQL type.
struct Column {
  const char *name;
  const char *sqliteType;
  const char *postgresType;
};
inline constexpr std::array<Column, 11> kColumns = {{
    {"id", "TEXT", "text"},
    {"unit", "TEXT", "text"},
    {"job", "TEXT", "text"},
    {"started", "TEXT", "timestamptz"},
    {"ended", "TEXT", "timestamptz"},
    {"outcome", "TEXT", "text"},
    {"message", "TEXT", "text"},
    {"station", "TEXT", "text"},
    {"operator", "TEXT", "text"},
    {"program", "TEXT", "text"},
    {"details", "TEXT", "jsonb"},
}};

struct JobRecord {
  QString id;                    // lower-case UUID, 36 characters, made when the job starts
  QString unit;                  // the unit's serial number
  QString job;                   // settings, defaults, firmware, record or send
  QString started;               // UTC, ISO 8601 with milliseconds and a Z
  std::optional<QString> ended;  // the same form; none while the job runs
  QString outcome;               // running, ok, failed or interrupted
  QString message;               // the text the job ended with, "" where there is none
  QString station;               // the bench's name
  QString operator_;             // the effective user's name (column `operator`)
  QString program;               // "tolvane 5.00.00.04" or "tolvane-cli 5.00.00.04"
  QByteArray details;            // a JSON object, UTF-8 text

  bool Is(Outcome value) const { return OutcomeOf(outcome) == value; }
  // The text of the field of column `column` (an index into kColumns); none for `ended` while
  // the job runs.
  std::optional<QString> Field(std::size_t column) const {
    switch (column) {
      case 0:
        return id;
      case 1:
        return unit;
      case 2:
        return job;
      case 3:
        return started;
      case 4:
        return ended;
      case 5:
        return outcome;
      case 6:
        return message;
      case 7:
        return station;
      case 8:
        return operator_;
      case 9:
        return program;
      default:
        return QString::fromUtf8(details);
    }
  }
};

// The member of a job's details at its end that says whether the job began to change the unit
// (true or false): a download once the unit answered "Y", a settings write once its first line was
// accepted, the default command once sent, a recording once RTS was cleared. The summary takes
// each part from the newest job of its kind that began to change the unit.
inline constexpr char kChangedMember[] = "changed";

// What a job's record takes at its end: its outcome, message and the details known then (merged
// into those of its start).
struct JobEnd {
  Outcome outcome = Outcome::Failed;
  QString message;
  QJsonObject details;
};

// Which jobs a reader wants: every unit when `units` is empty; `job` and `outcome` empty for
// any; `since` a UTC time in the records' form, jobs started at or after it; no limit below 0.
// Readers give the jobs by `started` descending, then `unit`, then `id`.
struct JobQuery {
  QStringList units;
  QString job;
  QString outcome;
  std::optional<QString> since;
  qint64 limit = -1;
  // A window's order: by `started`, `unit`, `job` or `outcome` (empty: `started`), each then by
  // the readers' order; ascending or descending.
  QString orderBy = {};
  bool ascending = false;
};

// One job that a unit's summary is made of, as a reader gives it: the unit's newest job
// (`newest`), or the newest of its kind that began to change the unit or ended ok, with the
// members of its details that the summary shows (those of an ok job only; never the transfer
// log). Several rows of one unit and part: the newest start wins, then the greater id, then the
// later row.
struct SummaryRow {
  bool newest = false;
  QString unit, job, id, started;
  std::optional<QString> ended;
  QString outcome, message, station;
  QString file, sha256, profile;
  QByteArray values;  // a settings job's `values` as JSON text
};

// A record that the bench's own history holds for the workshop's server: `revision` grows with
// every write of the record, so a confirmation of an older write leaves a newer one waiting.
struct WaitingRecord {
  JobRecord record;
  qint64 revision = 0;
};

}  // namespace history
