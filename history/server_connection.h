#pragma once
// One connection to the workshop's PostgreSQL server (libpq), for the thread that made it.
// Every wait (the connection, a statement) ends at its deadline (the connection's
// connect_timeout, kQueryTimeoutSeconds for a statement) or at once when `stopFd` becomes
// readable, so that a server that says nothing holds its thread only so long, and a thread that
// is asked to stop stops.

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "history/server_address.h"

typedef struct pg_conn PGconn;

namespace history {

using ServerValue = std::optional<QByteArray>;  // a value as text; none for NULL
using ServerRow = std::vector<ServerValue>;

struct ServerResult {
  bool ok = false;
  QString error;        // what went wrong, on one line
  QByteArray sqlState;  // the server's SQLSTATE of the error; empty when the connection failed
  std::vector<ServerRow> rows;
};

class ServerConnection {
 public:
  // Connects; none, with `error` set, when the server cannot be reached, refuses the login or
  // does not answer in time, or when `stopFd` (-1: none) becomes readable.
  static std::unique_ptr<ServerConnection> Open(const ServerAddress &address, int stopFd,
                                                QString *error);
  ~ServerConnection();
  ServerConnection(const ServerConnection &) = delete;
  ServerConnection &operator=(const ServerConnection &) = delete;

  // Runs one statement with its parameters ($1, $2, ... as text).
  ServerResult Run(const char *sql, const std::vector<ServerValue> &parameters = {});
  // Runs one statement and hands its rows on one by one as they arrive (libpq's single-row
  // mode), holding none of them: memory stays flat whatever their number. The deadline counts
  // from the last row. `each` returning false stops the statement; the connection is then broken
  // off (Broken()) and the result ok.
  ServerResult RunEach(const char *sql, const std::vector<ServerValue> &parameters,
                       const std::function<bool(const ServerRow &)> &each);

  // Whether the connection broke (a network failure, a time-out, a stop): it takes no statement
  // any more.
  bool Broken() const { return broken_; }

  // The login the connection is made with.
  QString User() const;

 private:
  ServerConnection(PGconn *connection, int stopFd, QString shown);
  ServerResult Fail(const QString &error);
  ServerResult Exchange(const char *sql, const std::vector<ServerValue> &parameters,
                        const std::function<bool(const ServerRow &)> *each);

  PGconn *connection_;
  int stopFd_;
  QString shown_;
  bool broken_ = false;
};

}  // namespace history
