// The fleet at a glance: each unit of the history's summary as one row of the units view and of
// `tolvane-cli summary`'s table and CSV, and its comparison with the workshop's standard, a
// profile of the settings window and a firmware file, so that both programs say the same.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "history/store.h"

namespace jobs {

// The columns of a unit's row: "Unit", "Firmware", "Parameters", "Message", "Last job",
// "Station".
const QStringList &UnitColumns();
inline constexpr char kProfileColumn[] = "Differs from profile";
inline constexpr char kFirmwareColumn[] = "Firmware differs";

// What the units are compared with; each part is absent until given.
struct Standard {
  // The profile's wire values by command word, and its file's name.
  std::optional<std::map<std::string, std::string>> profile;
  QString profileFile;
  // The wire values that "Default setting" gives, by command word (not MOD and TYPE, which it
  // leaves as they were).
  std::map<std::string, std::string> defaults;
  // The lower-case hex SHA-256 of the firmware file's bytes, and its file's name.
  std::optional<QString> firmware;
  QString firmwareFile;
};

// Reads a profile as the settings window loads it into `standard`: empty, or why it is refused.
std::string ReadStandardProfile(const QString &fileName, Standard &standard);
// Checks a HEX file as the firmware window checks it and takes its SHA-256 into `standard`:
// empty, or why it is refused.
std::string ReadStandardFirmware(const QString &fileName, Standard &standard);

enum class Verdict { Same, Differs, Unknown };

// A parameter the unit carries with another value than the profile's; `carried` none where the
// history does not know it (a word the defaults leave as it was).
struct WordDifference {
  std::string word;
  std::optional<std::string> carried;
  std::string profile;
};

struct Comparison {
  // With a profile: Unknown when the unit's parameters are unknown or unsettled, else Differs
  // with the differing words in write order, or Same.
  std::optional<Verdict> parameters;
  std::vector<WordDifference> words;
  // With a firmware file: Unknown when the unit's firmware is unsettled or was never loaded.
  std::optional<Verdict> firmware;

  // Whether every part compared is the same.
  bool Matches() const;
  // Differs when a part differs, else Unknown when a part is unknown, else Same.
  Verdict Overall() const;
};

// The unit against the standard's parts that are given. Parameters that came from the defaults
// are compared with the defaults, the words that the defaults leave as they were as unknown.
Comparison Compare(const history::UnitSummary &unit, const Standard &standard);

// How a row shows a UTC time of the records.
using TimeText = std::function<QString(const QString &utc)>;

// The row's cells under UnitColumns(), then the comparison's ("Differs from profile": "no",
// "unknown" or "P05: 3 (profile 1); ..."; "Firmware differs": "no", "yes" or "unknown") for each
// part the standard gives.
QStringList UnitCells(const history::UnitSummary &unit, const Comparison &comparison,
                      const Standard &standard, const TimeText &time);
// The headers of those cells.
QStringList UnitHeaders(const Standard &standard);
// The cell of the comparison's parts.
QString ParametersCell(const Comparison &comparison);
QString FirmwareCell(const Comparison &comparison);

// One RFC 4180 row (CR LF at its end) of the cells, formulas neutralised as the jobs' CSV does.
QByteArray CsvLine(const QStringList &cells);
// The times of a CSV: the records' UTC as it stands.
QString UtcTime(const QString &utc);

// The member `"differs": {"parameters": [...] | "unknown", "firmware": true | false | "unknown"}`
// of a unit's JSON, with the parts the standard gives.
QByteArray DiffersJson(const Comparison &comparison);

}  // namespace jobs
