#pragma once
// What went wrong with the workshop's server, in words for the person at the bench or the
// database's administrator: libpq's and the server's errors as one line each, with the password
// file that libpq ignored or the line it lacks, and a login that may not make tables.

#include <QString>

#include "history/server_address.h"
#include "history/server_connection.h"

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

namespace history {

// A message of libpq's (several lines, indented) on one line.
QString OneLineText(const char *text);

// The password file libpq reads for a connection: the URL's `passfile`, else PGPASSFILE, else
// ~/.pgpass; none when PGPASSWORD gives the password.
struct PasswordFile {
  QString name;  // empty: libpq reads none
  bool exists = false;
  QString ignored;  // why libpq ignores the file (it says so on standard error); empty: it reads it
};
PasswordFile FindPasswordFile(const ServerAddress &address);

// A failed connection in words: libpq's message on one line, or, where the server asked for a
// password that nothing gave, which password file was ignored and why, that there is none, or
// which HOST:PORT:DBNAME:USER line it lacks.
QString ConnectionFailureText(PGconn *connection, const PasswordFile &passwordFile);

// A statement the server refused: its message without the "ERROR:" and the statement's text.
QString StatementFailureText(const PGresult *result);

// server-init refused: the statement's error, or where the login lacks the privilege, that this
// login may not make tables, and whether they are there already (`version` > 0, the version the
// server has; 0 none; -1 unknown).
QString InitFailureText(const ServerResult &failed, const QString &user, int version);

}  // namespace history
