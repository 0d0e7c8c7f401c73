// tolvane-cli's readers of the service history: `history` (the jobs as a table, JSON or CSV, or
// one job's transfer log) and `summary` (what each unit carries). Neither opens a unit.
#pragma once

#include <ostream>
#include <string>

#include "cli/options.h"
#include "jobs/fleet.h"

namespace cli {

// The history file of a run: --history, else VERT.ini's [History] Location (empty: the default
// file; "none": no history; relative to VERT.ini's folder), the bench's name from [History]
// Station, and the workshop's server: --server, else [History] Server (empty: none).
// `unaddressed`: the server is VERT.ini's, which also takes the records made with no server.
struct HistoryPlace {
  std::string location;
  std::string station;
  std::string server;
  bool unaddressed = true;
};
HistoryPlace HistoryPlaceOf(const Options &options);

// The help's lines on the files: where VERT.ini is (tolvane-cli reads it and never makes it), its
// [History] keys, and the history file of the run.
std::string FilesHelp(const Options &options);

// `history` and `summary` (compared with `standard`, cli/fleet_summary.h); the exit status.
int HistoryCommand(const Options &options, std::ostream &out, std::ostream &err);
int SummaryCommand(const Options &options, const jobs::Standard &standard, std::ostream &out,
                   std::ostream &err);

// A field on one line, its control characters escaped as a unit's text is: a record's text can
// never act on the terminal that lists it.
std::string Cell(const QString &text);

}  // namespace cli
