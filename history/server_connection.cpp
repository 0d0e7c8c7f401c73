#include "history/server_connection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <cstring>

#include "history/server_words.h"

namespace history {

namespace {

using Clock = std::chrono::steady_clock;

enum class Wait { Ready, TimedOut, Stopped, Failed };

// Waits until `socket` is ready for `events`, the deadline passes or `stopFd` is readable.
Wait WaitFor(int socket, short events, int stopFd, Clock::time_point deadline) {
  if (socket < 0) return Wait::Failed;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Wait::TimedOut;
    pollfd fds[2] = {{socket, events, 0}, {stopFd, POLLIN, 0}};
    const int n = poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Wait::Failed;
    }
    if (stopFd >= 0 && (fds[1].revents & POLLIN)) return Wait::Stopped;
    if (n > 0) return Wait::Ready;
  }
}

int ConnectTimeout(PGconn *connection) {
  int seconds = 0;
  if (PQconninfoOption *options = PQconninfo(connection)) {
    for (const PQconninfoOption *o = options; o->keyword; ++o)
      if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val) seconds = std::atoi(o->val);
    PQconninfoFree(options);
  }
  return seconds > 0 ? seconds : kConnectTimeoutSeconds;
}

}  // namespace

std::unique_ptr<ServerConnection> ServerConnection::Open(const ServerAddress &address, int stopFd,
                                                         QString *error) {
  std::vector<const char *> keywords, values;
  for (const auto &[keyword, value] : address.parameters) {
    keywords.push_back(keyword.constData());
    values.push_back(value.constData());
  }
  // A password file that libpq would ignore is not given to it, so that it does not say so on
  // standard error at every connection: a name that cannot be a file stands in its place, and
  // the reason comes once with the failure.
  const PasswordFile passwordFile = FindPasswordFile(address);
  if (!passwordFile.ignored.isEmpty()) {
    keywords.push_back("passfile");
    values.push_back("/dev/null/");
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  PGconn *connection = PQconnectStartParams(keywords.data(), values.data(), 1);
  const auto fail = [&](const QString &text) -> std::unique_ptr<ServerConnection> {
    if (error) *error = text;
    PQfinish(connection);
    return nullptr;
  };
  if (!connection) return fail("no memory for a connection to the server");
  PQsetNoticeProcessor(
      connection, [](void *, const char *) {}, nullptr);  // the server's notes
  if (PQstatus(connection) == CONNECTION_BAD)
    return fail(ConnectionFailureText(connection, passwordFile));

  const int timeout = ConnectTimeout(connection);
  const auto deadline = Clock::now() + std::chrono::seconds(timeout);
  PostgresPollingStatusType status = PGRES_POLLING_WRITING;
  while (status != PGRES_POLLING_OK) {
    if (status == PGRES_POLLING_FAILED)
      return fail(ConnectionFailureText(connection, passwordFile));
    const short events = status == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    switch (WaitFor(PQsocket(connection), events, stopFd, deadline)) {
      case Wait::Ready:
        break;
      case Wait::TimedOut:
        return fail(
            QString("the server %1 did not answer within %2 s").arg(address.shown).arg(timeout));
      case Wait::Stopped:
        return fail("stopped");
      case Wait::Failed:
        return fail(OneLineText(PQerrorMessage(connection)));
    }
    status = PQconnectPoll(connection);
  }
  PQsetnonblocking(connection, 1);
  return std::unique_ptr<ServerConnection>(new ServerConnection(connection, stopFd, address.shown));
}

ServerConnection::ServerConnection(PGconn *connection, int stopFd, QString shown)
    : connection_(connection), stopFd_(stopFd), shown_(std::move(shown)) {}

QString ServerConnection::User() const {
  return QString::fromUtf8(PQuser(connection_));
}

ServerConnection::~ServerConnection() {
  PQfinish(connection_);
}

ServerResult ServerConnection::Fail(const QString &error) {
  broken_ = true;
  ServerResult result;
  result.error = error;
  return result;
}

ServerResult ServerConnection::Run(const char *sql, const std::vector<ServerValue> &parameters) {
  return Exchange(sql, parameters, nullptr);
}

ServerResult ServerConnection::RunEach(const char *sql, const std::vector<ServerValue> &parameters,
                                       const std::function<bool(const ServerRow &)> &each) {
  return Exchange(sql, parameters, &each);
}

ServerResult ServerConnection::Exchange(const char *sql, const std::vector<ServerValue> &parameters,
                                        const std::function<bool(const ServerRow &)> *each) {
  if (broken_) return Fail("the connection to the server broke");
  std::vector<const char *> values;
  for (const auto &p : parameters) values.push_back(p ? p->constData() : nullptr);
  if (!PQsendQueryParams(connection_, sql, static_cast<int>(values.size()), nullptr, values.data(),
                         nullptr, nullptr, 0))
    return Fail(OneLineText(PQerrorMessage(connection_)));
  if (each) PQsetSingleRowMode(connection_);

  auto deadline = Clock::now() + std::chrono::seconds(kQueryTimeoutSeconds);
  const auto waitFor = [&](short events) -> std::optional<QString> {
    switch (WaitFor(PQsocket(connection_), events, stopFd_, deadline)) {
      case Wait::Ready:
        return std::nullopt;
      case Wait::TimedOut:
        return QString("the server %1 did not answer within %2 s")
            .arg(shown_)
            .arg(kQueryTimeoutSeconds);
      case Wait::Stopped:
        return QString("stopped");
      case Wait::Failed:
        break;
    }
    return OneLineText(PQerrorMessage(connection_));
  };

  // The statement out, taking in what the server sends meanwhile.
  int flushed;
  while ((flushed = PQflush(connection_)) == 1) {
    if (auto failure = waitFor(POLLIN | POLLOUT)) return Fail(*failure);
    if (!PQconsumeInput(connection_)) return Fail(OneLineText(PQerrorMessage(connection_)));
  }
  if (flushed < 0) return Fail(OneLineText(PQerrorMessage(connection_)));

  ServerResult result;
  result.ok = true;
  for (;;) {
    while (PQisBusy(connection_)) {
      if (auto failure = waitFor(POLLIN)) return Fail(*failure);
      if (!PQconsumeInput(connection_)) return Fail(OneLineText(PQerrorMessage(connection_)));
    }
    PGresult *r = PQgetResult(connection_);
    if (!r) break;
    const ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_SINGLE_TUPLE && each) {
      ServerRow values;
      for (int column = 0; column < PQnfields(r); ++column)
        values.emplace_back(
            PQgetisnull(r, 0, column)
                ? ServerValue()
                : ServerValue(QByteArray(PQgetvalue(r, 0, column), PQgetlength(r, 0, column))));
      PQclear(r);
      deadline = Clock::now() + std::chrono::seconds(kQueryTimeoutSeconds);
      if (!(*each)(values)) {
        // The rest of the statement's rows are never read: the connection ends here.
        broken_ = true;
        return result;
      }
      continue;
    }
    if (status == PGRES_TUPLES_OK) {
      const int columns = PQnfields(r);
      for (int row = 0; row < PQntuples(r); ++row) {
        ServerRow values;
        values.reserve(static_cast<std::size_t>(columns));
        for (int column = 0; column < columns; ++column) {
          if (PQgetisnull(r, row, column))
            values.emplace_back(std::nullopt);
          else
            values.emplace_back(
                QByteArray(PQgetvalue(r, row, column), PQgetlength(r, row, column)));
        }
        result.rows.push_back(std::move(values));
      }
    } else if (status != PGRES_COMMAND_OK && result.ok) {
      result.ok = false;
      result.error = StatementFailureText(r);
      if (const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE)) result.sqlState = state;
    }
    PQclear(r);
  }
  if (PQstatus(connection_) == CONNECTION_BAD) {
    broken_ = true;
    if (result.ok) {
      result.ok = false;
      result.error = OneLineText(PQerrorMessage(connection_));
    }
  }
  return result;
}

}  // namespace history
