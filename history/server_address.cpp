#include "history/server_address.h"

#include <libpq-fe.h>

#include <QByteArray>

#include <memory>

namespace history {

namespace {

struct OptionsDeleter {
  void operator()(PQconninfoOption *options) const { PQconninfoFree(options); }
};

}  // namespace

std::optional<ServerAddress> ParseServerUrl(const QString &url, QString *error) {
  const auto fail = [&](const QString &text) {
    if (error) *error = text;
    return std::nullopt;
  };
  // Both schemes of libpq's URLs.
  if (!url.startsWith("postgresql://") && !url.startsWith("postgres://"))
    return fail(
        QString("the server \"%1\" is no postgresql://[USER@]HOST[:PORT]/DBNAME URL").arg(url));
  const QByteArray utf8 = url.toUtf8();
  char *parseError = nullptr;
  std::unique_ptr<PQconninfoOption, OptionsDeleter> options(
      PQconninfoParse(utf8.constData(), &parseError));
  if (!options) {
    const QString text =
        parseError ? QString::fromUtf8(parseError).trimmed() : QString("no memory");
    PQfreemem(parseError);
    return fail(QString("the server's URL is refused: %1").arg(text));
  }
  QString host, port, dbname;
  for (const PQconninfoOption *option = options.get(); option->keyword; ++option) {
    if (!option->val) continue;
    const QByteArray keyword(option->keyword);
    if (keyword == "password")
      return fail(
          "the server's URL holds a password; put it in the password file instead "
          "(~/.pgpass, or the file PGPASSFILE names)");
    if (keyword == "host" || keyword == "hostaddr") host = QString::fromUtf8(option->val);
    if (keyword == "port") port = QString::fromUtf8(option->val);
    if (keyword == "dbname") dbname = QString::fromUtf8(option->val);
  }
  if (dbname.isEmpty())
    return fail("the server's URL names no database (postgresql://HOST/DBNAME)");

  ServerAddress address;
  address.url = url;
  address.shown = (host.isEmpty() ? QString("localhost") : host) +
                  (port.isEmpty() ? QString() : ":" + port) + "/" + dbname;
  address.parameters = {
      {"connect_timeout", QByteArray::number(kConnectTimeoutSeconds)},
      {"keepalives", "1"},
      {"keepalives_idle", "2"},
      {"keepalives_interval", "2"},
      {"keepalives_count", "3"},
      {"tcp_user_timeout", "9000"},
      {"application_name", "tolvane"},
      {"dbname", utf8},
  };
  return address;
}

}  // namespace history
