#include "cli/history_commands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <vector>

#include <QFileInfo>
#include <QTemporaryDir>

#include "history/format.h"
#include "history/journal.h"
#include "history/shared_read.h"
#include "history/store.h"
#include "session/config.h"

namespace cli {

namespace {

// The shortest start of an id that `--log` looks a job up by.
constexpr qsizetype kShortestIdPrefix = 8;

// Opens the history for reading: with a server, the server's jobs of `query` together with this
// bench's waiting records, gathered in `folder`; when the server cannot be read, or without one,
// the bench's file. False, with an error on `err`, when nothing can be read.
bool OpenHistory(const Options &options, const history::JobQuery &query, history::Store &store,
                 QTemporaryDir &folder, std::ostream &err) {
  const HistoryPlace place = HistoryPlaceOf(options);
  const QString location = QString::fromStdString(place.location).trimmed();
  const bool off = location.compare("none", Qt::CaseInsensitive) == 0;
  const QString file = off ? QString() : location.isEmpty() ? history::DefaultLocation() : location;
  if (!place.server.empty()) {
    QString reason;
    const auto address = history::ParseServerUrl(QString::fromStdString(place.server), &reason);
    if (address && folder.isValid()) {
      const QString merged = folder.filePath("shared.sqlite");
      reason = history::ReadSharedHistory(*address, file, query, merged);
      if (reason.isEmpty() && store.Open(merged, history::Store::Mode::Read)) return true;
      if (reason.isEmpty()) reason = store.Error();
    }
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

std::string Cell(const QString &text) {
  QString line = text;
  line.replace("\r\n", " / ").replace('\r', " / ").replace('\n', " / ");
  return line.toStdString();
}

// The table: the columns but `details`, as wide as their widest entry, two blanks apart; the
// times in local time, the zone's name in their headers.
void PrintTable(const std::vector<history::JobRecord> &records, std::ostream &out) {
  using Row = std::array<std::string, 10>;
  std::vector<Row> rows;
  Row header;
  for (int i = 0; i < 10; ++i) header[i] = history::ColumnNames()[i].toStdString();
  for (const int time : {3, 4})
    header[time] = history::LocalTimeHeader(history::ColumnNames()[time]).toStdString();
  rows.push_back(header);
  for (const auto &r : records)
    rows.push_back({Cell(r.id), Cell(r.unit), Cell(r.job), Cell(history::LocalTime(r.started)),
                    r.ended ? Cell(history::LocalTime(*r.ended)) : std::string(), Cell(r.outcome),
                    Cell(r.message), Cell(r.station), Cell(r.operator_), Cell(r.program)});
  std::array<std::size_t, 10> widths{};
  for (const Row &row : rows)
    for (std::size_t c = 0; c < widths.size(); ++c)
      widths[c] =
          std::max(widths[c], static_cast<std::size_t>(QString::fromStdString(row[c]).size()));
  for (const Row &row : rows) {
    std::string line;
    for (std::size_t c = 0; c < widths.size(); ++c) {
      line += row[c];
      if (c + 1 < widths.size())
        line.append(widths[c] + 2 - static_cast<std::size_t>(QString::fromStdString(row[c]).size()),
                    ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  }
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
    out << "{\"id\": " << history::JsonText(record->id).toStdString()
        << ", \"log\": " << history::JsonText(log).toStdString() << "}\n";
  else
    out << log.toLatin1().toStdString();
  out << std::flush;
  return kExitOk;
}

}  // namespace

HistoryPlace HistoryPlaceOf(const Options &options) {
  const ConfigFile config(ConfigFileName(DetectProgramFolder()));
  HistoryPlace place{config.Read("History", "Location"), config.Read("History", "Station"),
                     config.Read("History", "Server")};
  if (options.history) place.location = *options.history;
  if (options.server) place.server = *options.server;
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
  if (!OpenHistory(options, serverQuery, store, folder, err)) return kExitFailed;
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
    out << "]}\n";
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

int SummaryCommand(const Options &options, std::ostream &out, std::ostream &err) {
  history::Store store;
  QTemporaryDir folder;
  history::JobQuery serverQuery;
  serverQuery.units = Units(options);
  if (!OpenHistory(options, serverQuery, store, folder, err)) return kExitFailed;
  const auto summaries = store.Summaries(Units(options));
  if (!store.Error().isEmpty()) {
    err << "tolvane-cli: the history cannot be read: " << store.Error().toStdString() << '\n';
    return kExitFailed;
  }
  if (options.json) {
    out << "{\"units\": [";
    for (std::size_t i = 0; i < summaries.size(); ++i)
      out << (i ? ", " : "") << history::SummaryJson(summaries[i]).toStdString();
    out << "]}\n" << std::flush;
    return kExitOk;
  }
  // Times for people: local, with the zone of each.
  const auto when = [](const QString &utc) { return history::LocalTime(utc, true).toStdString(); };
  for (const auto &s : summaries) {
    out << s.unit.toStdString() << "\n  last:       " << when(s.last) << '\n';
    out << "  firmware:   "
        << (s.firmware
                ? s.firmware->file.toStdString() + "  sha256 " + s.firmware->sha256.toStdString() +
                      "  " + when(s.firmware->when) + "  " + s.firmware->station.toStdString()
                : std::string("-"))
        << '\n';
    std::string parameters = "-";
    if (s.parameters)
      parameters = (s.parameters->values ? std::string("written") : std::string("defaults")) +
                   "  " + when(s.parameters->when) + "  " + s.parameters->station.toStdString();
    out << "  parameters: " << parameters << '\n';
    out << "  message:    "
        << (s.message ? s.message->file.toStdString() + "  sha256 " +
                            s.message->sha256.toStdString() + "  " + when(s.message->when)
                      : std::string("-"))
        << '\n';
  }
  out << std::flush;
  return kExitOk;
}

}  // namespace cli
