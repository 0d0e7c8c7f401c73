#pragma once
// The shared history's tables on the workshop's server and the statements on them: the same
// table `jobs` as the bench's own history (times as `timestamptz`, `details` as `jsonb`) and the
// version table `schema_version`, with a numbered migration step from each earlier version.
// Times leave and arrive as ISO 8601 text in UTC with milliseconds, whatever the server's time
// zone. Each call blocks its thread until the server answers or the connection's deadline.

#include <QString>

#include <vector>

#include "history/job_record.h"
#include "history/server_connection.h"

namespace history {

// The version of the tables this program makes, reads and writes.
inline constexpr int kServerSchemaVersion = 1;

// Makes the tables, or brings older ones to kServerSchemaVersion; the version they have after,
// or 0 with `error` set (a version newer than this program's is left as it is).
int InitServerSchema(ServerConnection &connection, QString *error);

// Whether the tables are there in a version this program writes: empty when they are, else the
// reason to keep the records on the bench.
QString CheckServerSchema(ServerConnection &connection);

// Stores the records in one transaction, each keyed by its `id`: a record the server does not
// have is added; an ended record replaces a running one; a running record never replaces an
// ended one, and a record sent again changes nothing. Several records of one id: the ended one.
ServerResult SendRecords(ServerConnection &connection, const std::vector<JobRecord> &records);

// The jobs the query asks for, by `started` descending, then `unit`, then `id`.
ServerResult ReadJobs(ServerConnection &connection, const JobQuery &query,
                      std::vector<JobRecord> *jobs);

// `details` in the one form a bench writes them: the keys of every object in byte order, no
// blank between the tokens. The server's jsonb text has its own order of keys and blanks.
QByteArray CanonicalDetails(const QByteArray &json);

// The same as one call each, for a program that has no connection open: connects (with the
// address's time-outs), runs and disconnects.
int InitServer(const ServerAddress &address, QString *error);
bool ReadServerJobs(const ServerAddress &address, const JobQuery &query,
                    std::vector<JobRecord> *jobs, QString *error);

}  // namespace history
