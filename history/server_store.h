#pragma once
// The shared history's tables on the workshop's server and the statements on them: the same
// table `jobs` as the bench's own history (times as `timestamptz`, `details` as `jsonb`) and the
// version table `schema_version`, with a numbered migration step from each earlier version.
// Times leave and arrive as ISO 8601 text in UTC with milliseconds, whatever the server's time
// zone. Each call blocks its thread until the server answers or the connection's deadline.

#include <QString>
#include <QStringList>

#include <vector>

#include "history/job_reader.h"
#include "history/job_record.h"
#include "history/server_connection.h"

namespace history {

// The version of the tables this program makes, reads and writes.
inline constexpr int kServerSchemaVersion = 2;

// Makes the tables and the benches' write function, or brings older ones to
// kServerSchemaVersion, and gives each login of `grants` what a bench needs (SELECT on the
// tables, EXECUTE on the function, nothing else on them); the version they have after, or 0 with
// `error` set (a version newer than this program's is left as it is). All in one transaction.
int InitServerSchema(ServerConnection &connection, const QStringList &grants, QString *error);

// Whether the tables are there in a version this program writes: empty when they are, else the
// reason to keep the records on the bench.
QString CheckServerSchema(ServerConnection &connection);

// Stores the records in one statement through tolvane_write_jobs, each keyed by its `id`: a
// record the server does not have is added; an ended record replaces a running one; a running
// record never replaces an ended one, and a record sent again changes nothing; an ended record
// that differs from the server's ended one is refused (SQLSTATE 23000). Several records of one
// id: the ended one.
ServerResult SendRecords(ServerConnection &connection, const std::vector<JobRecord> &records);

// The jobs the query asks for, by `started` descending, then `unit`, then `id`.
ServerResult ReadJobs(ServerConnection &connection, const JobQuery &query,
                      std::vector<JobRecord> *jobs);

// The jobs on the server as the readers ask for them, one statement per call: the query's
// filters, order, limit and start in the statement, its rows handed on as they arrive, `details`
// without the transfer log but for the one job asked for.
class ServerJobs : public JobReader {
 public:
  explicit ServerJobs(ServerConnection &connection) : connection_(connection) {}

  bool Read(const JobQuery &query, const JobRange &range, const Each &each) override;
  std::optional<qint64> Count(const JobQuery &query, const QStringList &without) override;
  std::optional<std::vector<JobKey>> Keys(const JobQuery &query, const QStringList &without,
                                          qint64 every) override;
  std::optional<JobRecord> Job(const QString &id) override;
  std::optional<QStringList> IdsBeginningWith(const QString &prefix, int limit) override;
  QString Error() const override { return error_; }

 private:
  // The result's rows; none with Error() when the statement failed.
  std::optional<std::vector<ServerRow>> Rows(const QByteArray &sql,
                                             const std::vector<ServerValue> &parameters);

  ServerConnection &connection_;
  QString error_;
};

// `details` in the one form a bench writes them: the keys of every object in byte order, no
// blank between the tokens. The server's jsonb text has its own order of keys and blanks.
QByteArray CanonicalDetails(const QByteArray &json);

// The same as one call each, for a program that has no connection open: connects (with the
// address's time-outs), runs and disconnects.
int InitServer(const ServerAddress &address, const QStringList &grants, QString *error);
bool ReadServerJobs(const ServerAddress &address, const JobQuery &query,
                    std::vector<JobRecord> *jobs, QString *error);

}  // namespace history
