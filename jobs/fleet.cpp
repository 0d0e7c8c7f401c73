#include "jobs/fleet.h"

#include <exception>

#include "history/format.h"
#include "history/job_record.h"
#include "jobs/descriptor.h"
#include "settings/parameters.h"
#include "settings/profile.h"

namespace jobs {

namespace {

QString Word(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The name of a file without its folder (a record's names are absolute).
QString FileName(const QString &path) {
  return path.mid(path.lastIndexOf('/') + 1);
}

QString Joined(std::initializer_list<QString> parts) {
  QStringList shown;
  for (const QString &part : parts)
    if (!part.isEmpty()) shown << part;
  return shown.join(' ');
}

// A part that the newest job of its kind left unsettled: "none, the write of <when> ended
// failed", as the summary says it.
QString Unsettled(const std::optional<history::UnitSummary::Unsettled> &part, const char *job,
                  const TimeText &time) {
  return part ? QString("none, the %1 of %2 ended %3").arg(job, time(part->when), part->outcome)
              : QString();
}

}  // namespace

const QStringList &UnitColumns() {
  static const QStringList columns = {"Unit",    "Firmware", "Parameters",
                                      "Message", "Last job", "Station"};
  return columns;
}

std::string ReadStandardProfile(const QString &fileName, Standard &standard) {
  try {
    const settings::Profile profile = settings::ReadProfile(fileName.toStdString());
    settings::Profile defaults = profile;
    defaults.PutDefaults();
    std::map<std::string, std::string> values;
    standard.defaults.clear();
    for (const params::Parameter &p : params::Table()) {
      values[std::string(p.word)] = profile.Value(p.word);
      if (p.defaultValue) standard.defaults[std::string(p.word)] = defaults.Value(p.word);
    }
    standard.profile = std::move(values);
    standard.profileFile = fileName;
  } catch (const std::exception &e) {
    return e.what();
  }
  return {};
}

std::string ReadStandardFirmware(const QString &fileName, Standard &standard) {
  // The firmware command's check, which is the window's.
  JobSpec spec;
  Inputs inputs;
  inputs.argument = fileName.toLocal8Bit().toStdString();
  if (std::string refused = Prepare(history::JobKind::Firmware, inputs, spec); !refused.empty())
    return refused;
  const QString sha256 = spec.details.value("sha256").toString();
  if (sha256.isEmpty()) return "Cannot read file " + fileName.toStdString();
  standard.firmware = sha256;
  standard.firmwareFile = fileName;
  return {};
}

bool Comparison::Matches() const {
  return Overall() == Verdict::Same;
}

Verdict Comparison::Overall() const {
  if (parameters == Verdict::Differs || firmware == Verdict::Differs) return Verdict::Differs;
  if (parameters == Verdict::Unknown || firmware == Verdict::Unknown) return Verdict::Unknown;
  return Verdict::Same;
}

Comparison Compare(const history::UnitSummary &unit, const Standard &standard) {
  Comparison c;
  if (standard.profile) {
    if (!unit.parameters || unit.parametersUnsettled) {
      c.parameters = Verdict::Unknown;
    } else {
      for (const params::Parameter &p : params::Table()) {
        const std::string word(p.word);
        const std::string &wanted = standard.profile->at(word);
        std::optional<std::string> carried;
        if (unit.parameters->values) {
          const QJsonValue value = unit.parameters->values->value(Word(p.word));
          if (value.isString()) carried = value.toString().toStdString();
        } else if (const auto it = standard.defaults.find(word); it != standard.defaults.end()) {
          carried = it->second;
        }
        if (carried != wanted) c.words.push_back({word, carried, wanted});
      }
      c.parameters = c.words.empty() ? Verdict::Same : Verdict::Differs;
    }
  }
  if (standard.firmware) {
    if (!unit.firmware || unit.firmwareUnsettled)
      c.firmware = Verdict::Unknown;
    else
      c.firmware = unit.firmware->sha256 == *standard.firmware ? Verdict::Same : Verdict::Differs;
  }
  return c;
}

QString ParametersCell(const Comparison &c) {
  if (c.parameters == Verdict::Unknown) return "unknown";
  if (c.words.empty()) return "no";
  QStringList words;
  for (const WordDifference &d : c.words)
    words << QString::fromStdString(d.word + ": " + d.carried.value_or("unknown") + " (profile " +
                                    d.profile + ")");
  return words.join("; ");
}

QString FirmwareCell(const Comparison &c) {
  switch (c.firmware.value_or(Verdict::Same)) {
    case Verdict::Same:
      return "no";
    case Verdict::Differs:
      return "yes";
    case Verdict::Unknown:
      break;
  }
  return "unknown";
}

QStringList UnitHeaders(const Standard &standard) {
  QStringList headers = UnitColumns();
  if (standard.profile) headers << kProfileColumn;
  if (standard.firmware) headers << kFirmwareColumn;
  return headers;
}

QStringList UnitCells(const history::UnitSummary &s, const Comparison &c, const Standard &standard,
                      const TimeText &time) {
  QString firmware, parameters, message;
  if (s.firmwareUnsettled)
    firmware = "in its loader";
  else if (s.firmware)
    firmware =
        Joined({FileName(s.firmware->file), s.firmware->sha256.left(8), time(s.firmware->when)});
  if (s.parametersUnsettled)
    parameters = Unsettled(s.parametersUnsettled, "write", time);
  else if (s.parameters)
    parameters = Joined({FileName(s.parameters->profile),
                         s.parameters->values ? "written" : "defaults", time(s.parameters->when)});
  if (s.messageUnsettled)
    message = Unsettled(s.messageUnsettled, "recording", time);
  else if (s.message)
    message = Joined({FileName(s.message->file), time(s.message->when)});
  QStringList cells = {
      s.unit,       firmware, parameters, message, Joined({time(s.last), s.lastJob, s.lastOutcome}),
      s.lastStation};
  if (standard.profile) cells << ParametersCell(c);
  if (standard.firmware) cells << FirmwareCell(c);
  return cells;
}

QByteArray CsvLine(const QStringList &cells) {
  QByteArray row;
  for (qsizetype i = 0; i < cells.size(); ++i) {
    if (i) row += ',';
    const QByteArray text = cells[i].toUtf8();
    history::AppendCsvField(row, text.constData(), static_cast<int>(text.size()));
  }
  return row + "\r\n";
}

QString UtcTime(const QString &utc) {
  return utc;
}

QByteArray DiffersJson(const Comparison &c) {
  QList<std::pair<QByteArray, QByteArray>> members;
  if (c.parameters) {
    QByteArray words = "unknown";
    if (c.parameters == Verdict::Unknown) {
      words = history::JsonText("unknown");
    } else {
      words = "[";
      for (const WordDifference &d : c.words) {
        if (words.size() > 1) words += ", ";
        words += history::JsonMembers(
            {{"word", history::JsonText(QString::fromStdString(d.word))},
             {"carried", d.carried ? history::JsonText(QString::fromStdString(*d.carried))
                                   : QByteArray("null")},
             {"profile", history::JsonText(QString::fromStdString(d.profile))}});
      }
      words += "]";
    }
    members.append({"parameters", words});
  }
  if (c.firmware)
    members.append({"firmware", c.firmware == Verdict::Unknown   ? history::JsonText("unknown")
                                : c.firmware == Verdict::Differs ? QByteArray("true")
                                                                 : QByteArray("false")});
  return history::JsonMembers(members);
}

}  // namespace jobs
