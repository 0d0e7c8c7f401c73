#include "history/server_words.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>

#include "history/server_store.h"

#include <cstdlib>
#include <memory>

namespace history {

namespace {

QString HomeFolder() {
  if (const char *home = std::getenv("HOME"); home && *home) return QFile::decodeName(home);
  const passwd *user = getpwuid(geteuid());
  return user ? QFile::decodeName(user->pw_dir) : QString();
}

}  // namespace

QString OneLineText(const char *text) {
  return QString::fromUtf8(text).simplified();
}

PasswordFile FindPasswordFile(const ServerAddress &address) {
  PasswordFile file;
  if (const char *password = std::getenv("PGPASSWORD"); password && *password) return file;
  const QByteArray url = address.url.toUtf8();
  if (PQconninfoOption *options = PQconninfoParse(url.constData(), nullptr)) {
    for (const PQconninfoOption *o = options; o->keyword; ++o)
      if (QByteArray(o->keyword) == "passfile" && o->val && *o->val)
        file.name = QString::fromUtf8(o->val);
    PQconninfoFree(options);
  }
  if (file.name.isEmpty())
    if (const char *name = std::getenv("PGPASSFILE"); name && *name)
      file.name = QFile::decodeName(name);
  if (file.name.isEmpty() && !HomeFolder().isEmpty()) file.name = HomeFolder() + "/.pgpass";
  struct stat status {};
  if (file.name.isEmpty() || stat(QFile::encodeName(file.name).constData(), &status) != 0)
    return file;
  file.exists = true;
  if (!S_ISREG(status.st_mode))
    file.ignored = QString("the password file %1 is no plain file").arg(file.name);
  else if (status.st_mode & (S_IRWXG | S_IRWXO))
    file.ignored = QString(
                       "the password file %1 is ignored, as others may read it (mode %2; "
                       "chmod 600 %1)")
                       .arg(file.name)
                       .arg(status.st_mode & 07777, 4, 8, QChar('0'));
  return file;
}

QString ConnectionFailureText(PGconn *connection, const PasswordFile &passwordFile) {
  const QString libpq = OneLineText(PQerrorMessage(connection));
  if (!PQconnectionNeedsPassword(connection)) return libpq;
  const QString login = QString::fromUtf8(PQuser(connection));
  const QString noPassword = QString("no password for the login \"%1\": ").arg(login);
  if (passwordFile.name.isEmpty()) return libpq;
  if (!passwordFile.ignored.isEmpty()) return noPassword + passwordFile.ignored;
  if (!passwordFile.exists)
    return noPassword + QString("there is no password file %1 (mode 600)").arg(passwordFile.name);
  const char *port = PQport(connection);
  return noPassword + QString("the password file %1 has no line %2:%3:%4:%5:PASSWORD")
                          .arg(passwordFile.name, QString::fromUtf8(PQhost(connection)),
                               QString::fromUtf8(port && *port ? port : "5432"),
                               QString::fromUtf8(PQdb(connection)), login);
}

QString StatementFailureText(const PGresult *result) {
  const char *primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  if (!primary) return OneLineText(PQresultErrorMessage(result));
  QString text = OneLineText(primary);
  if (const char *detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL))
    text += " (" + OneLineText(detail) + ")";
  return text;
}

QString InitFailureText(const ServerResult &failed, const QString &user, int version) {
  if (failed.sqlState != "42501") return failed.error;
  QString text = QString("the login \"%1\" may not make tables (%2)").arg(user, failed.error);
  if (version >= kServerSchemaVersion)
    return text + QString("; the history tables are already there, of version %1").arg(version);
  if (version > 0) text += QString("; the history tables are there, of version %1").arg(version);
  return text + "; run server-init with the login that owns the database";
}

}  // namespace history
