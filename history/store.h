// The service history's file: an SQLite database with the table `jobs` (one row per job on one
// unit, history/job_record.h), a side table of the processes that run jobs, and the outbox of
// records waiting for the workshop's server.
//
// A Store is one connection, used on the thread that opened it. A file is taken for a history
// when it is absent, empty, or an SQLite database with this program's application id; anything
// else, and a history of a newer schema, is never written, replaced or truncated.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "history/job_record.h"
#include "history/server_sender.h"

namespace history {

// `PRAGMA application_id`: "TlvH".
inline constexpr qint32 kApplicationId = 0x546C7648;
// `PRAGMA user_version`: the schema this program writes.
inline constexpr int kSchemaVersion = 1;

// ${XDG_DATA_HOME:-$HOME/.local/share}/Tolvane/history.sqlite
QString DefaultLocation();

// What the history holds about one unit: the last `ok` firmware, parameters and recording, and
// the start of its newest job. "Last" goes by `ended`.
struct UnitSummary {
  QString unit;
  struct Firmware {
    QString file, sha256, when, station;
  };
  struct Parameters {
    std::optional<QJsonObject> values;  // none: the defaults
    QString when, station;
  };
  struct Message {
    QString file, sha256, when;
  };
  std::optional<Firmware> firmware;
  std::optional<Parameters> parameters;
  std::optional<Message> message;
  QString last;
};

class Store : public ServerOutbox {
 public:
  enum class Mode { Write, Read };

  Store();
  ~Store() override;
  Store(const Store &) = delete;
  Store &operator=(const Store &) = delete;

  // Opens the history file. Write: makes the folder (0700) and the file (0600) when absent, sets
  // up or migrates the schema. Read: an absent file is an empty history. False with Error().
  bool Open(const QString &fileName, Mode mode);
  const QString &Error() const { return error_; }
  bool IsOpen() const;

  // Writes the records in one transaction: each row of `jobs` as given, a new revision of each in
  // the outbox, and the process that runs a `running` record.
  bool Write(const std::vector<JobRecord> &records);

  // This station's `running` records whose process is gone become `interrupted`; their count,
  // or -1 on failure.
  int InterruptOrphans(const QString &station);

  // Readers. `withLog`: details keep the transfer log (`log`), otherwise it is left out.
  std::vector<JobRecord> Jobs(const JobQuery &query, bool withLog = false);
  // The same rows one by one, without gathering them; false when the query failed.
  bool ForEachJob(const JobQuery &query, const std::function<void(const JobRecord &)> &each);
  // The same rows as RFC 4180 CSV rows (CsvRow of history/format.h), each ending in CR LF, made
  // by SQLite; false when the query failed.
  bool CsvRows(const JobQuery &query, const std::function<void(const QByteArray &)> &each);
  // Rows [offset, offset + count) of the query's order. With `total`, the query's count, a page in
  // the second half is read from the end, so that no page reads past more than half the rows.
  std::vector<JobRecord> Page(const JobQuery &query, qint64 offset, qint64 count,
                              qint64 total = -1);
  qint64 Count(const JobQuery &query);
  std::optional<JobRecord> Job(const QString &id);
  // The ids that begin with `prefix`, in order, at most `limit` of them.
  QStringList IdsBeginningWith(const QString &prefix, int limit);
  // The units that have jobs, in order.
  QStringList Units();
  // The summary of these units (every unit when empty), by serial.
  std::vector<UnitSummary> Summaries(const QStringList &units);

  // The outbox: records waiting for the workshop's server, oldest write first.
  std::vector<WaitingRecord> WaitingForServer(int limit) override;
  // Removes each waiting entry whose revision is still the one confirmed.
  void ConfirmedByServer(const std::vector<std::pair<QString, qint64>> &idAndRevision) override;
  qint64 WaitingCount() override;

 private:
  bool Fail(const QString &what);
  bool Prepare();
  bool PrepareOnce();
  // The query's rows one by one (as ForEachJob, with the log where asked).
  bool Each(const JobQuery &query, bool withLog,
            const std::function<void(const JobRecord &)> &each);

  QString connection_;
  QString fileName_;
  QString error_;
  bool empty_ = false;  // a reader of an absent or empty file
};

}  // namespace history
