// `summary` against the workshop's standard: --profile and --firmware read as the windows read
// them, the units as the history window's units view shows them (a text table or CSV), each
// unit's "differs" in JSON, and --check's exit status.
#pragma once

#include <QByteArray>
#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "history/store.h"
#include "jobs/fleet.h"

namespace cli {

// Reads --profile and --firmware into `standard`: empty, or why one is refused.
std::string ReadStandard(const Options &options, jobs::Standard &standard);

// Whether the units are printed as the units view: with --csv, --profile or --firmware.
bool AsUnitsView(const Options &options, const jobs::Standard &standard);
// The units view's columns as a text table (local times) or, with --csv, as RFC 4180 CSV (UTC).
void PrintUnitsView(const std::vector<history::UnitSummary> &summaries,
                    const jobs::Standard &standard, bool csv, std::ostream &out);
// A unit's summary as JSON with "differs" after its members where the standard has a part.
QByteArray UnitJson(const history::UnitSummary &summary, const jobs::Standard &standard);
// With --check: 1 when a unit differs or is unknown (each named on `err` with why), else 0.
int CheckStatus(const Options &options, const std::vector<history::UnitSummary> &summaries,
                const jobs::Standard &standard, std::ostream &err);

}  // namespace cli
