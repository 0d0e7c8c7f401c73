#include "cli/history_commands.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <vector>

#include <QFileInfo>
#include <QTemporaryDir>

#include "cli/report.h"
#include "cli/text_table.h"
#include "history/format.h"
#include "history/journal.h"
#include "history/server_sender.h"
#include "history/shared_read.h"
#include "history/store.h"
#include "history/summary_read.h"
#include "session/config.h"

namespace cli {

namespace {

constexpr int kServerWaitSeconds = 5;
// The shortest start of an id that `--log` looks a job up by.
constexpr qsizetype kShortestIdPrefix = 8;

// Opens the history for reading: with a server, this bench's records that wait for it are sent
// first and the server's jobs of `query` read together with those still waiting, gathered in
// `folder`, all within 5 s; when the server cannot be read, or without one, the bench's file.
// False, with an error on `err`, when nothing can be read. `read`: "shared", "kept", or
// "this bench only: <reason>".
bool OpenHistory(const Options &options, const history::JobQuery &query, history::Store &store,
                 QTemporaryDir &folder, std::ostream &err, QString &read) {
  const HistoryPlace place = HistoryPlaceOf(options);
  const QString location = QString::fromStdString(place.location).trimmed();
  const bool off = location.compare("none", Qt::CaseInsensitive) == 0;
  const QString file = off ? QString() : location.isEmpty() ? history::DefaultLocation() : location;
  read = "kept";
  if (!place.server.empty()) {
    QString reason;
    const auto address = history::ParseServerUrl(QString::fromStdString(place.server), &reason);
    if (address && folder.isValid()) {
      const QString merged = folder.filePath("shared.sqlite");
      // The whole wait for the server ends after 5 s: a timer that the connection's waits watch.
      const int deadline = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
      const itimerspec in5s{{0, 0}, {kServerWaitSeconds, 0}};
      if (deadline >= 0) timerfd_settime(deadline, 0, &in5s, nullptr);
      reason = history::ReadSharedHistory(*address, file, query, merged, deadline,
                                          {true, place.unaddressed});
      if (deadline >= 0) close(deadline);
      read = history::kSharedState;
      if (reason.isEmpty() && store.Open(merged, history::Store::Mode::Read)) return true;
      if (reason.isEmpty()) reason = store.Error();
    }
    read = "this bench only: " + reason;
    err << "tolvane-cli: the workshop's server cannot be read (" << reason.toStdString()
        << "): " << (off ? "the history is off" : "this bench's history only") << '\n';
  }
  if (off) {
    if (place.server.empty()) err << "tolvane-cli: the history is off\n";
    return false;
  }
  if (!store.Open(file, history::Store::Mode::Read)) {
    err << "tolvane-cli: the history cannot be read: " << store.Error().toStdString() << '\n';
    return false;
  }
  return true;
}

QStringList Units(const Options &options) {
  QStringList units;
  for (const std::string &unit : options.units) units << QString::fromStdString(unit).trimmed();
  return units;
}

// A field on one line, its control characters escaped as a unit's text is: a record's text can
// never act on the terminal that lists it.
std::string Cell(const QString &text) {
  QString line = text;
  line.replace("\r\n", " / ").replace('\r', " / ").replace('\n', " / ");
  for (qsizetype i = 0; i < line.size(); ++i)
    if (line[i].unicode() >= 0x7F && line[i].unicode() < 0xA0)
      line.replace(i, 1, QString("\\u%1").arg(line[i].unicode(), 4, 16, QChar('0')));
  return EscapedText(line.toStdString(), true);
}

// The table: the columns but `details`, as wide as their widest entry, two blanks apart; the
// times in local time, the zone's name in their headers.
void PrintTable(const std::vector<history::JobRecord> &records, std::ostream &out) {
  constexpr std::size_t kShown = history::kColumns.size() - 1;
  // `started` and `ended`: shown in local time.
  const auto isTime = [](std::size_t c) { return c == 3 || c == 4; };
  std::vector<std::vector<std::string>> rows(1);
  for (std::size_t c = 0; c < kShown; ++c) {
    const QString name = QString::fromLatin1(history::kColumns[c].name);
    rows[0].push_back((isTime(c) ? history::LocalTimeHeader(name) : name).toStdString());
  }
  for (const auto &r : records) {
    std::vector<std::string> &row = rows.emplace_back();
    for (std::size_t c = 0; c < kShown; ++c) {
      const std::optional<QString> field = r.Field(c);
      row.push_back(field ? Cell(isTime(c) ? history::LocalTime(*field) : *field) : std::string());
    }
  }
  out << TextTable(rows);
}

// `--log ID`: the transfer log of the job whose id is ID or begins with it (8 characters or more,
// as long as one job's id does), as it is or as {"id", "log"}.
int PrintLog(history::Store &store, const std::string &given, bool json, std::ostream &out,
             std::ostream &err) {
  const QString id = QString::fromStdString(given).trimmed().toLower();
  std::optional<history::JobRecord> record = store.Job(id);
  if (!record && id.size() >= kShortestIdPrefix) {
    const QStringList ids = store.IdsBeginningWith(id, 2);
    if (ids.size() > 1) {
      err << "tolvane-cli: more than one job's id begins with " << given << "; give more of it\n";
      return kExitFailed;
    }
    if (ids.size() == 1) record = store.Job(ids.first());
  }
  if (!record) {
    err << "tolvane-cli: no job " << given << " in the history\n";
    return kExitFailed;
  }
  const QString log = QJsonDocument::fromJson(record->details).object()["log"].toString();
  if (log.isEmpty()) {
    err << "tolvane-cli: the job " << record->id.toStdString() << " (" << record->job.toStdString()
        << ") has no transfer log\n";
    return kExitFailed;
  }
  if (json)
    out << history::JsonMembers(
               {{"id", history::JsonText(record->id)}, {"log", history::JsonText(log)}})
               .toStdString()
        << '\n';
  else
    out << log.toLatin1().toStdString();
  out << std::flush;
  return kExitOk;
}

}  // namespace

HistoryPlace HistoryPlaceOf(const Options &options) {
  const std::string configName = ConfigFileName(DetectProgramFolder());
  const ConfigFile config(configName);
  const QString location =
      history::ConfiguredLocation(QString::fromStdString(config.Read("History", "Location")),
                                  QFileInfo(QString::fromStdString(configName)).absolutePath());
  HistoryPlace place{location.toStdString(), config.Read("History", "Station"),
                     config.Read("History", "Server")};
  if (options.history) place.location = *options.history;
  if (options.server && *options.server != place.server) {
    // Another server's run: its records go there; VERT.ini's server's stay waiting for it.
    QString error;
    const auto given = history::ParseServerUrl(QString::fromStdString(*options.server), &error);
    const auto own = history::ParseServerUrl(QString::fromStdString(place.server), &error);
    place.unaddressed = given && own && given->key == own->key;
    place.server = *options.server;
  }
  return place;
}

std::string FilesHelp(const Options &options) {
  const std::string config = ConfigFileName(DetectProgramFolder());
  const HistoryPlace place = HistoryPlaceOf(options);
  const QString location = QString::fromStdString(place.location).trimmed();
  const std::string file =
      location.isEmpty() ? history::DefaultLocation().toStdString() : location.toStdString();
  return "\nFiles:\n  " + config +
         (QFileInfo::exists(QString::fromStdString(config)) ? "" : " (not there yet)") +
         "\n      VERT.ini, shared with the windows, which make it; tolvane-cli only reads it:\n"
         "      [History] Location=FILE or none, Station=NAME, Server=postgresql://...\n  " +
         file + "\n      the service history\n";
}

int HistoryCommand(const Options &options, std::ostream &out, std::ostream &err) {
  history::JobQuery query;
  query.units = Units(options);
  query.job = QString::fromStdString(options.job);
  query.outcome = QString::fromStdString(options.outcome);
  query.limit = options.limit;
  if (options.since) {
    query.since = history::ParseSince(QString::fromStdString(*options.since));
    if (!query.since) {
      err << "tolvane-cli: --since takes YYYY-MM-DD or YYYY-MM-DDThh:mm[:ss[.mmm]][Z|+hh:mm], "
             "not \""
          << *options.since << "\"\nTry 'tolvane-cli --help'.\n";
      return kExitUsage;
    }
  }
  history::Store store;
  QTemporaryDir folder;
  history::JobQuery serverQuery = query;
  if (options.log) serverQuery = {};
  QString state;
  if (!OpenHistory(options, serverQuery, store, folder, err, state)) return kExitFailed;
  if (options.log) return PrintLog(store, *options.log, options.json, out, err);
  bool read = true;
  if (options.csv) {
    out << history::CsvHeader().toStdString();
    read = store.CsvRows(query,
                         [&](const QByteArray &row) { out.write(row.constData(), row.size()); });
  } else if (options.json) {
    out << "{\"jobs\": [";
    bool first = true;
    read = store.ForEachJob(query, [&](const history::JobRecord &r) {
      out << (first ? "" : ", ") << history::JobJson(r).toStdString();
      first = false;
    });
    out << "], \"history\": " << JsonString(state.toStdString()) << "}\n";
  } else {
    const auto records = store.Jobs(query);
    read = store.Error().isEmpty();
    if (read) PrintTable(records, out);
  }
  out << std::flush;
  if (!read) {
    err << "tolvane-cli: the history cannot be read: " << store.Error().toStdString() << '\n';
    return kExitFailed;
  }
  return kExitOk;
}

namespace {

// The summaries of the run's units: with a server, one read of the server merged with this
// bench's waiting records (sent first), all within 5 s; when the server cannot be read, or without
// one, the bench's file. False, with an error on `err`, when nothing can be read. `read`: as
// OpenHistory's.
bool ReadSummaries(const Options &options, std::vector<history::UnitSummary> &summaries,
                   std::ostream &err, QString &read) {
  const HistoryPlace place = HistoryPlaceOf(options);
  const QString location = QString::fromStdString(place.location).trimmed();
  const bool off = location.compare("none", Qt::CaseInsensitive) == 0;
  const QString file = off ? QString() : location.isEmpty() ? history::DefaultLocation() : location;
  read = "kept";
  if (!place.server.empty()) {
    QString reason;
    if (const auto address =
            history::ParseServerUrl(QString::fromStdString(place.server), &reason)) {
      const int deadline = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
      const itimerspec in5s{{0, 0}, {kServerWaitSeconds, 0}};
      if (deadline >= 0) timerfd_settime(deadline, 0, &in5s, nullptr);
      reason = history::ReadSharedSummaries({*address, file, true, place.unaddressed},
                                            Units(options), &summaries, deadline);
      if (deadline >= 0) close(deadline);
      read = history::kSharedState;
      if (reason.isEmpty()) return true;
    }
    read = "this bench only: " + reason;
    err << "tolvane-cli: the workshop's server cannot be read (" << reason.toStdString()
        << "): " << (off ? "the history is off" : "this bench's history only") << '\n';
  }
  if (off) {
    if (place.server.empty()) err << "tolvane-cli: the history is off\n";
    return false;
  }
  history::Store store;
  if (store.Open(file, history::Store::Mode::Read)) summaries = store.Summaries(Units(options));
  if (!store.Error().isEmpty()) {
    err << "tolvane-cli: the history cannot be read: " << store.Error().toStdString() << '\n';
    return false;
  }
  return true;
}

}  // namespace

int SummaryCommand(const Options &options, std::ostream &out, std::ostream &err) {
  std::vector<history::UnitSummary> summaries;
  QString state;
  if (!ReadSummaries(options, summaries, err, state)) return kExitFailed;
  if (options.json) {
    out << "{\"units\": [";
    for (std::size_t i = 0; i < summaries.size(); ++i)
      out << (i ? ", " : "") << history::SummaryJson(summaries[i]).toStdString();
    out << "], \"history\": " << JsonString(state.toStdString()) << "}\n" << std::flush;
    return kExitOk;
  }
  // Times for people: local, with the zone of each.
  const auto local = [](const QString &utc) { return history::LocalTime(utc, true); };
  const auto when = [&](const QString &utc) { return local(utc).toStdString(); };
  // A part left unsettled: its own line in the part's place.
  const auto unsettled = [&](const std::optional<history::UnitSummary::Unsettled> &part,
                             history::JobKind kind) {
    return "  " + Cell(history::UnsettledLine(part, kind, local)) + '\n';
  };
  for (const auto &s : summaries) {
    out << Cell(s.unit) << "\n  last:       " << when(s.last) << '\n';
    if (s.firmwareUnsettled)
      out << unsettled(s.firmwareUnsettled, history::JobKind::Firmware);
    else
      out << "  firmware:   "
          << (s.firmware ? Cell(s.firmware->file) + "  sha256 " + Cell(s.firmware->sha256) + "  " +
                               when(s.firmware->when) + "  " + Cell(s.firmware->station)
                         : std::string("-"))
          << '\n';
    std::string parameters = "-";
    if (s.parameters)
      parameters = (s.parameters->values ? std::string("written") : std::string("defaults")) +
                   "  " + when(s.parameters->when) + "  " + Cell(s.parameters->station);
    if (s.parametersUnsettled)
      out << unsettled(s.parametersUnsettled, history::JobKind::Settings);
    else
      out << "  parameters: " << parameters << '\n';
    if (s.messageUnsettled)
      out << unsettled(s.messageUnsettled, history::JobKind::Record);
    else
      out << "  message:    "
          << (s.message ? Cell(s.message->file) + "  sha256 " + Cell(s.message->sha256) + "  " +
                              when(s.message->when)
                        : std::string("-"))
          << '\n';
  }
  out << std::flush;
  return kExitOk;
}

}  // namespace cli
