// A PostgreSQL server of the test's own: Debian's PostgreSQL 15 initialised in a temporary
// folder, on a port and a socket folder of its own (never the system's cluster), listening on
// 127.0.0.1 in a time zone far from UTC, with the database "tolvane". initdb and postgres refuse
// to run as root: a test run as root runs them as the user postgres, who owns the folder (in
// /tmp, which every user may enter).
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "history/server_connection.h"

class PrivatePostgres {
 public:
  // Initialises the cluster on a free port (or on `port`); Ready() says whether it could.
  explicit PrivatePostgres(int port = 0);
  // Stops the server in immediate mode; the folder goes with the object.
  ~PrivatePostgres();

  bool Ready() const { return ready_; }
  QString Error() const { return error_; }
  int Port() const { return port_; }

  // Makes a test CA (ca.pem), a second one the server's certificate is not from (other.pem) and
  // a certificate for "localhost" from the first, and has the server take TLS at its next start.
  bool EnableTls();
  QString File(const QString &name) const { return folder_.filePath(name); }

  // Has the server ask every login but postgres for its password (scram-sha-256) from now on.
  bool RequirePasswords();

  bool Start();
  bool Stop(bool immediate = false);

  // postgresql://USER@127.0.0.1:PORT/tolvane with `parameters` ("connect_timeout=2&...").
  QString Url(const QString &user = "postgres", const QString &parameters = {}) const;
  // Runs one statement as the superuser on the database "tolvane".
  history::ServerResult Sql(const QString &sql) const;
  // The first value of a statement's first row, "" when there is none.
  QString Value(const QString &sql) const;

  // A port of 127.0.0.1 that nothing listens on now.
  static int FreePort();

 private:
  bool Run(const QString &program, const QStringList &arguments);

  QTemporaryDir folder_{"/tmp/tolvane-postgres-XXXXXX"};
  int port_ = 0;
  bool ready_ = false;
  bool running_ = false;
  bool created_ = false;
  bool tls_ = false;
  QString error_;
};
