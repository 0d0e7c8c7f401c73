#include "tests/history/private_postgres.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>

#include "history/server_address.h"

namespace {

const QString kBin = "/usr/lib/postgresql/15/bin/";

}  // namespace

int PrivatePostgres::FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(s);
  return port;
}

PrivatePostgres::PrivatePostgres(int port) : port_(port ? port : FreePort()) {
  if (!folder_.isValid()) {
    error_ = "no temporary folder";
    return;
  }
  if (geteuid() == 0) {
    const passwd *user = getpwnam("postgres");
    if (!user) {
      error_ = "no user postgres to run the server as";
      return;
    }
    if (chown(QFile::encodeName(folder_.path()).constData(), user->pw_uid, user->pw_gid) != 0) {
      error_ = "cannot give the folder to postgres";
      return;
    }
  }
  ready_ = Run(kBin + "initdb", {"-D", folder_.filePath("data"), "-U", "postgres", "--auth=trust",
                                 "-E", "UTF8", "--locale=C.UTF-8", "-N"});
}

PrivatePostgres::~PrivatePostgres() {
  if (running_) Stop(true);
}

bool PrivatePostgres::Run(const QString &program, const QStringList &arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  if (geteuid() == 0)
    process.start("runuser", QStringList{"-u", "postgres", "--", program} + arguments);
  else
    process.start(program, arguments);
  if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
      process.exitCode() != 0) {
    error_ = program + ": " + QString::fromLocal8Bit(process.readAll());
    return false;
  }
  return true;
}

bool PrivatePostgres::EnableTls() {
  const auto ca = [&](const QString &name) {
    return Run("openssl",
               {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=" + name, "-keyout", File(name + ".key"), "-out", File(name + ".pem")});
  };
  tls_ = ca("ca") && ca("other") &&
         Run("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                         "-addext", "subjectAltName=DNS:localhost", "-keyout", File("server.key"),
                         "-out", File("server.csr")}) &&
         Run("openssl", {"x509", "-req", "-in", File("server.csr"), "-CA", File("ca.pem"), "-CAkey",
                         File("ca.key"), "-CAcreateserial", "-days", "2", "-copy_extensions",
                         "copy", "-out", File("server.pem")});
  return tls_;
}

bool PrivatePostgres::Start() {
  QString options = QString(
                        "-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off "
                        "-c timezone=Pacific/Chatham")
                        .arg(port_)
                        .arg(folder_.path());
  if (tls_)
    options += QString(" -c ssl=on -c ssl_cert_file=%1 -c ssl_key_file=%2")
                   .arg(File("server.pem"), File("server.key"));
  running_ = Run(kBin + "pg_ctl", {"-D", folder_.filePath("data"), "-l", folder_.filePath("log"),
                                   "-w", "-t", "60", "-o", options, "start"});
  if (running_ && !created_) {
    QString error;
    const auto address = history::ParseServerUrl(
        QString("postgresql://postgres@127.0.0.1:%1/postgres").arg(port_), &error);
    const auto connection = history::ServerConnection::Open(*address, -1, &error);
    created_ = connection && connection->Run("CREATE DATABASE tolvane").ok;
    if (!created_) error_ = "cannot make the database tolvane: " + error;
  }
  return running_ && created_;
}

bool PrivatePostgres::RequirePasswords() {
  QFile hba(folder_.filePath("data/pg_hba.conf"));
  if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  hba.write(
      "local all all trust\n"
      "host all postgres 127.0.0.1/32 trust\n"
      "host all all 127.0.0.1/32 scram-sha-256\n");
  hba.close();
  return Value("SELECT pg_reload_conf()") == "t";
}

bool PrivatePostgres::Stop(bool immediate) {
  const bool stopped = Run(kBin + "pg_ctl", {"-D", folder_.filePath("data"), "-m",
                                             immediate ? "immediate" : "fast", "-w", "stop"});
  if (stopped) running_ = false;
  return stopped;
}

QString PrivatePostgres::Url(const QString &user, const QString &parameters) const {
  return QString("postgresql://%1@127.0.0.1:%2/tolvane").arg(user).arg(port_) +
         (parameters.isEmpty() ? QString() : "?" + parameters);
}

history::ServerResult PrivatePostgres::Sql(const QString &sql) const {
  QString error;
  const auto address = history::ParseServerUrl(Url(), &error);
  const auto connection = history::ServerConnection::Open(*address, -1, &error);
  if (!connection) {
    history::ServerResult failed;
    failed.error = error;
    return failed;
  }
  return connection->Run(sql.toUtf8().constData());
}

QString PrivatePostgres::Value(const QString &sql) const {
  const history::ServerResult result = Sql(sql);
  if (!result.ok || result.rows.empty() || result.rows[0].empty() || !result.rows[0][0]) return {};
  return QString::fromUtf8(*result.rows[0][0]);
}
