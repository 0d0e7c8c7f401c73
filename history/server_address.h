#pragma once
// Where the workshop's shared history lives: a PostgreSQL server named by a URL as every
// PostgreSQL client takes it,
//   postgresql://[USER@]HOST[:PORT]/DBNAME[?PARAM=VALUE&...]   (or postgres://...)
// with any libpq connection parameter (sslmode, sslrootcert, connect_timeout, ...) but the
// password, which comes from libpq's password file or a service file.

#include <QString>

#include <optional>
#include <utility>
#include <vector>

namespace history {

// The connection settings the program adds beneath the URL's own, so that a server or a network
// that stops answering is noticed within 10 s: the connection gives up after 5 s, TCP keep-alives
// probe an idle connection after 2 s, every 2 s, 3 times, and data the server does not
// acknowledge within 9 s breaks the connection.
inline constexpr int kConnectTimeoutSeconds = 5;
inline constexpr int kQueryTimeoutSeconds = 10;

struct ServerAddress {
  QString url;  // as given
  // libpq's keywords and values: the program's settings first, then `dbname` holding the URL, so
  // that what the URL says wins.
  std::vector<std::pair<QByteArray, QByteArray>> parameters;
  QString shown;  // HOST:PORT/DBNAME, for messages
};

// The address of a URL; none, with `error` set, for a URL that is no postgresql:// URL, names no
// database, holds a parameter libpq does not know, or holds a password.
std::optional<ServerAddress> ParseServerUrl(const QString &url, QString *error);

}  // namespace history
