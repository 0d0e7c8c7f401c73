#include "cli/history_commands.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include <QFileInfo>

#include "cli/fleet_summary.h"
#include "cli/report.h"
#include "cli/text_table.h"
#include "history/format.h"
#include "history/job_source.h"
#include "history/journal.h"
#include "history/server_sender.h"
#include "history/store.h"
#include "history/summary_read.h"
#include "session/config.h"

namespace cli {

namespace {

constexpr int kServerWaitSeconds = 5;
// The shortest start of an id that `--log` looks a job up by.
constexpr qsizetype kShortestIdPrefix = 8;

QStringList Units(const Options &options) {
  QStringList units;
  for (const std::string &unit : options.units) units << QString::fromStdString(unit).trimmed();
  return units;
}

// A record's row of the table: the columns but `details`, the times in local time.
std::vector<std::string> TableRow(const history::JobRecord *record) {
  constexpr std::size_t kShown = history::kColumns.size() - 1;
  // `started` and `ended`: shown in local time.
  const auto isTime = [](std::size_t c) { return c == 3 || c == 4; };
  std::vector<std::string> row;
  for (std::size_t c = 0; c < kShown; ++c) {
    if (!record) {  // the header, the zone's name in the times' headers
      const QString name = QString::fromLatin1(history::kColumns[c].name);
      row.push_back((isTime(c) ? history::LocalTimeHeader(name) : name).toStdString());
      continue;
    }
    const std::optional<QString> field = record->Field(c);
    row.push_back(field ? Cell(isTime(c) ? history::LocalTime(*field) : *field) : std::string());
  }
  return row;
}

// `--log ID`: the transfer log of the job whose id is ID or begins with it (8 characters or more,
// as long as one job's id does), as it is or as {"id", "log"}. Only that job's row is read whole.
int PrintLog(history::JobReader &jobs, const std::string &given, bool json, std::ostream &out,
             std::ostream &err) {
  const QString id = QString::fromStdString(given).trimmed().toLower();
  std::optional<history::JobRecord> record = jobs.Job(id);
  if (!record && id.size() >= kShortestIdPrefix && jobs.Error().isEmpty()) {
    const QStringList ids = jobs.IdsBeginningWith(id, 2).value_or(QStringList());
    if (ids.size() > 1) {
      err << "tolvane-cli: more than one job's id begins with " << given << "; give more of it\n";
      return kExitFailed;
    }
    if (ids.size() == 1) record = jobs.Job(ids.first());
  }
  if (!record && !jobs.Error().isEmpty()) {
    err << "tolvane-cli: the history cannot be read: " << jobs.Error().toStdString() << '\n';
    return kExitFailed;
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

// A timer that ends the waits for the server when it expires; its descriptor lives as long as
// the connection that watches it.
class Deadline {
 public:
  explicit Deadline(int seconds) : fd_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {
    const itimerspec in{{0, 0}, {seconds, 0}};
    if (fd_ >= 0) timerfd_settime(fd_, 0, &in, nullptr);
  }
  ~Deadline() {
    if (fd_ >= 0) close(fd_);
  }
  Deadline(const Deadline &) = delete;
  Deadline &operator=(const Deadline &) = delete;
  int Fd() const { return fd_; }
  // The rows, once the server answers, are read at the pace of their reader.
  void Disarm() {
    const itimerspec never{};
    if (fd_ >= 0) timerfd_settime(fd_, 0, &never, nullptr);
  }

 private:
  int fd_;
};

// The run's history file, empty when the history is off (`off`).
QString HistoryFile(const HistoryPlace &place, bool &off) {
  const QString location = QString::fromStdString(place.location).trimmed();
  off = location.compare("none", Qt::CaseInsensitive) == 0;
  return off ? QString() : location.isEmpty() ? history::DefaultLocation() : location;
}

// The server could not be read: says so on `err`, and what is read instead.
void ServerUnreadable(const QString &reason, bool off, std::ostream &err, QString &read) {
  read = "this bench only: " + reason;
  err << "tolvane-cli: the workshop's server cannot be read (" << reason.toStdString()
      << "): " << (off ? "the history is off" : "this bench's history only") << '\n';
}

// The history is off and no server was read: says so on `err` where no server was named.
void HistoryOff(const HistoryPlace &place, std::ostream &err) {
  if (place.server.empty()) err << "tolvane-cli: the history is off\n";
}

// Reads where the run's history is: with a server, `fromServer` (its reason, empty when read); when
// the server cannot be read (said on `err`), or without one, `fromBench` with the bench's file.
// False when nothing was read: the history is off, or `fromBench` failed. `read`: "shared",
// "kept", or "this bench only: <reason>".
bool ReadWhereTheHistoryIs(
    const Options &options, std::ostream &err, QString &read,
    const std::function<QString(const history::ServerAddress &, const QString &file,
                                bool unaddressed)> &fromServer,
    const std::function<bool(const QString &file)> &fromBench) {
  const HistoryPlace place = HistoryPlaceOf(options);
  bool off = false;
  const QString file = HistoryFile(place, off);
  read = "kept";
  if (!place.server.empty()) {
    QString reason;
    if (const auto address =
            history::ParseServerUrl(QString::fromStdString(place.server), &reason)) {
      reason = fromServer(*address, file, place.unaddressed);
      read = history::kSharedState;
      if (reason.isEmpty()) return true;
    }
    ServerUnreadable(reason, off, err, read);
  }
  if (off) return HistoryOff(place, err), false;
  return fromBench(file);
}

// The jobs `history` reads: with a server, this bench's records that wait for it are sent first
// and the server's jobs read with those still waiting merged in, the connection and the sending
// within 5 s; else the bench's file. None, with an error on `err`, when nothing can be read.
std::unique_ptr<history::JobSource> OpenJobs(const Options &options, Deadline &deadline,
                                             std::ostream &err, QString &read) {
  std::unique_ptr<history::JobSource> source;
  ReadWhereTheHistoryIs(
      options, err, read,
      [&](const history::ServerAddress &address, const QString &file, bool unaddressed) {
        QString reason;
        source = history::JobSource::OpenShared(address, file, deadline.Fd(), {true, unaddressed},
                                                &reason);
        deadline.Disarm();
        return source ? QString() : reason;
      },
      [&](const QString &file) {
        QString error;
        source = history::JobSource::OpenBench(file, &error);
        if (!source)
          err << "tolvane-cli: the history cannot be read: " << error.toStdString() << '\n';
        return source != nullptr;
      });
  return source;
}

}  // namespace

std::string Cell(const QString &text) {
  QString line = text;
  line.replace("\r\n", " / ").replace('\r', " / ").replace('\n', " / ");
  for (qsizetype i = 0; i < line.size(); ++i)
    if (line[i].unicode() >= 0x7F && line[i].unicode() < 0xA0)
      line.replace(i, 1, QString("\\u%1").arg(line[i].unicode(), 4, 16, QChar('0')));
  return EscapedText(line.toStdString(), true);
}

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
  Deadline deadline(kServerWaitSeconds);
  QString state;
  const auto source = OpenJobs(options, deadline, err, state);
  if (!source) return kExitFailed;
  history::MergedJobs &jobs = source->Jobs();
  if (options.log) return PrintLog(jobs, *options.log, options.json, out, err);
  // Each row is written as it is read; a reader that has gone away stops the reading.
  bool read = true;
  QString error;
  if (options.csv) {
    out << history::CsvHeader().toStdString();
    const auto write = [&](const QByteArray &row) {
      out.write(row.constData(), row.size());
      return out.good();
    };
    if (history::Store *file = source->BenchFile()) {
      read = file->CsvRows(query, write);
      error = file->Error();
    } else {
      read = jobs.Read(query, {},
                       [&](const history::JobRecord &r) { return write(history::CsvRow(r)); });
    }
  } else if (options.json) {
    out << "{\"jobs\": [";
    bool first = true;
    read = jobs.Read(query, {}, [&](const history::JobRecord &r) {
      out << (first ? "" : ", ") << history::JobJson(r).toStdString();
      first = false;
      return out.good();
    });
    out << "], \"history\": " << JsonString(state.toStdString()) << "}\n";
  } else {
    TextTableStream table(out);
    table.Add(TableRow(nullptr));
    read =
        jobs.Read(query, {}, [&](const history::JobRecord &r) { return table.Add(TableRow(&r)); });
    if (read) table.Finish();
  }
  out << std::flush;
  if (!out.good()) return kExitFailed;  // the reader went away: nothing more to say
  if (!read) {
    err << "tolvane-cli: the history cannot be read: "
        << (error.isEmpty() ? jobs.Error() : error).toStdString() << '\n';
    return kExitFailed;
  }
  return kExitOk;
}

namespace {

// The summaries of the run's units: with a server, one read of the server merged with this
// bench's waiting records (sent first), all within 5 s; else the bench's file. False, with an
// error on `err`, when nothing can be read. `read`: as ReadWhereTheHistoryIs's.
bool ReadSummaries(const Options &options, std::vector<history::UnitSummary> &summaries,
                   std::ostream &err, QString &read) {
  return ReadWhereTheHistoryIs(
      options, err, read,
      [&](const history::ServerAddress &address, const QString &file, bool unaddressed) {
        const Deadline deadline(kServerWaitSeconds);
        return history::ReadSharedSummaries({address, file, true, unaddressed}, Units(options),
                                            &summaries, deadline.Fd());
      },
      [&](const QString &file) {
        history::Store store;
        if (store.Open(file, history::Store::Mode::Read))
          summaries = store.Summaries(Units(options));
        if (store.Error().isEmpty()) return true;
        err << "tolvane-cli: the history cannot be read: " << store.Error().toStdString() << '\n';
        return false;
      });
}

}  // namespace

int SummaryCommand(const Options &options, const jobs::Standard &standard, std::ostream &out,
                   std::ostream &err) {
  std::vector<history::UnitSummary> summaries;
  QString state;
  if (!ReadSummaries(options, summaries, err, state)) return kExitFailed;
  if (options.json) {
    out << "{\"units\": [";
    for (std::size_t i = 0; i < summaries.size(); ++i)
      out << (i ? ", " : "") << UnitJson(summaries[i], standard).toStdString();
    out << "], \"history\": " << JsonString(state.toStdString()) << "}\n" << std::flush;
    return CheckStatus(options, summaries, standard, err);
  }
  if (AsUnitsView(options, standard)) {
    PrintUnitsView(summaries, standard, options.csv, out);
    out << std::flush;
    return CheckStatus(options, summaries, standard, err);
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
