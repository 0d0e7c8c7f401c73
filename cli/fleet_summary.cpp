#include "cli/fleet_summary.h"

#include <algorithm>

#include "cli/history_commands.h"
#include "cli/text_table.h"
#include "history/format.h"

namespace cli {

std::string ReadStandard(const Options &options, jobs::Standard &standard) {
  if (options.profile)
    if (std::string refused =
            jobs::ReadStandardProfile(QString::fromStdString(*options.profile), standard);
        !refused.empty())
      return refused;
  if (options.firmware)
    return jobs::ReadStandardFirmware(QString::fromStdString(*options.firmware), standard);
  return {};
}

bool AsUnitsView(const Options &options, const jobs::Standard &standard) {
  return options.csv || standard.profile || standard.firmware;
}

void PrintUnitsView(const std::vector<history::UnitSummary> &summaries,
                    const jobs::Standard &standard, bool csv, std::ostream &out) {
  const QStringList headers = jobs::UnitHeaders(standard);
  if (csv) {
    QByteArray text = jobs::CsvLine(headers);
    for (const history::UnitSummary &s : summaries) {
      text +=
          jobs::CsvLine(jobs::UnitCells(s, jobs::Compare(s, standard), standard, jobs::UtcTime));
      if (text.size() >= (1 << 20)) {
        out.write(text.constData(), text.size());
        text.clear();
      }
    }
    out.write(text.constData(), text.size());
    return;
  }
  std::vector<std::vector<std::string>> rows(1);
  for (const QString &header : headers) rows[0].push_back(header.toStdString());
  const auto local = [](const QString &utc) { return history::LocalTime(utc); };
  for (const history::UnitSummary &s : summaries) {
    std::vector<std::string> &row = rows.emplace_back();
    for (const QString &cell : jobs::UnitCells(s, jobs::Compare(s, standard), standard, local))
      row.push_back(Cell(cell));
  }
  out << "Times are local (" << history::LocalZoneName().toStdString() << ")\n" << TextTable(rows);
}

QByteArray UnitJson(const history::UnitSummary &summary, const jobs::Standard &standard) {
  QByteArray json = history::SummaryJson(summary);
  if (!standard.profile && !standard.firmware) return json;
  json.chop(1);  // its closing brace
  return json + ", \"differs\": " + jobs::DiffersJson(jobs::Compare(summary, standard)) + "}";
}

int CheckStatus(const Options &options, const std::vector<history::UnitSummary> &summaries,
                const jobs::Standard &standard, std::ostream &err) {
  if (!options.check) return kExitOk;
  std::vector<std::string> differing;
  for (const history::UnitSummary &s : summaries) {
    const jobs::Comparison c = jobs::Compare(s, standard);
    if (c.Matches()) continue;
    QStringList why;
    if (c.parameters && c.parameters != jobs::Verdict::Same)
      why << "parameters " + jobs::ParametersCell(c);
    if (c.firmware && c.firmware != jobs::Verdict::Same)
      why << (c.firmware == jobs::Verdict::Unknown ? "firmware unknown" : "firmware differs");
    differing.push_back(Cell(s.unit) + " (" + Cell(why.join(", ")) + ")");
  }
  // A unit asked for by --unit that the history does not know is unknown as a whole.
  for (const std::string &unit : options.units) {
    const QString serial = QString::fromStdString(unit).trimmed();
    if (std::none_of(summaries.begin(), summaries.end(),
                     [&](const history::UnitSummary &s) { return s.unit == serial; }))
      differing.push_back(Cell(serial) + " (not in the history)");
  }
  if (differing.empty()) return kExitOk;
  err << "tolvane-cli: " << differing.size() << " of "
      << std::max(summaries.size(), options.units.size())
      << (differing.size() == 1 ? " units does" : " units do") << " not match the standard:\n";
  for (const std::string &unit : differing) err << "  " << unit << '\n';
  return kExitFailed;
}

}  // namespace cli
