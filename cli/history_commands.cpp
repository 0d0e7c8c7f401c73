#include "cli/history_commands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <vector>

#include <QTemporaryDir>

#include "cli/text_table.h"
#include "history/format.h"
#include "history/journal.h"
#include "history/shared_read.h"
#include "history/store.h"
#include "session/config.h"

namespace cli {

namespace {

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

// The table: the columns but `details`, as wide as their widest entry, two blanks apart.
void PrintTable(const std::vector<history::JobRecord> &records, std::ostream &out) {
  constexpr std::size_t kShown = history::kColumns.size() - 1;
  std::vector<std::vector<std::string>> rows(1);
  for (std::size_t c = 0; c < kShown; ++c) rows[0].push_back(history::kColumns[c].name);
  for (const auto &r : records) {
    std::vector<std::string> &row = rows.emplace_back();
    for (std::size_t c = 0; c < kShown; ++c) {
      const std::optional<QString> field = r.Field(c);
      row.push_back(field ? Cell(*field) : std::string());
    }
  }
  out << TextTable(rows);
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

int HistoryCommand(const Options &options, std::ostream &out, std::ostream &err) {
  history::JobQuery query;
  query.units = Units(options);
  query.job = QString::fromStdString(options.job);
  query.outcome = QString::fromStdString(options.outcome);
  query.limit = options.limit;
  if (options.since) {
    query.since = history::ParseSince(QString::fromStdString(*options.since));
    if (!query.since) {
      err << "tolvane-cli: --since takes YYYY-MM-DD or YYYY-MM-DDThh:mm[:ss][Z|+hh:mm], not \""
          << *options.since << "\"\nTry 'tolvane-cli --help'.\n";
      return kExitUsage;
    }
  }
  history::Store store;
  QTemporaryDir folder;
  history::JobQuery serverQuery = query;
  if (options.log) serverQuery = {};
  if (!OpenHistory(options, serverQuery, store, folder, err)) return kExitFailed;
  if (options.log) {
    const auto record = store.Job(QString::fromStdString(*options.log));
    if (!record) {
      err << "tolvane-cli: no job " << *options.log << " in the history\n";
      return kExitFailed;
    }
    const QString log = QJsonDocument::fromJson(record->details).object()["log"].toString();
    out << log.toLatin1().toStdString() << std::flush;
    return kExitOk;
  }
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
  for (const auto &s : summaries) {
    out << s.unit.toStdString() << "\n  last:       " << s.last.toStdString() << '\n';
    out << "  firmware:   "
        << (s.firmware
                ? s.firmware->file.toStdString() + "  sha256 " + s.firmware->sha256.toStdString() +
                      "  " + s.firmware->when.toStdString() + "  " +
                      s.firmware->station.toStdString()
                : std::string("-"))
        << '\n';
    std::string parameters = "-";
    if (s.parameters)
      parameters = (s.parameters->values ? std::string("written") : std::string("defaults")) +
                   "  " + s.parameters->when.toStdString() + "  " +
                   s.parameters->station.toStdString();
    out << "  parameters: " << parameters << '\n';
    out << "  message:    "
        << (s.message ? s.message->file.toStdString() + "  sha256 " +
                            s.message->sha256.toStdString() + "  " + s.message->when.toStdString()
                      : std::string("-"))
        << '\n';
  }
  out << std::flush;
  return kExitOk;
}

}  // namespace cli
