#pragma once
// One job on one unit, as the service history keeps it: a row of the table `jobs`, in the
// order of its columns. The same shape travels from a job to the bench's own history file and
// from there to the workshop's server.

#include <QByteArray>
#include <QString>

#include <QStringList>

#include <optional>

namespace history {

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

// A record that the bench's own history holds for the workshop's server: `revision` grows with
// every write of the record, so a confirmation of an older write leaves a newer one waiting.
struct WaitingRecord {
  JobRecord record;
  qint64 revision = 0;
};

}  // namespace history
