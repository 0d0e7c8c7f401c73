// tolvane-cli's readers of the service history: `history` (the jobs as a table, JSON or CSV, or
// one job's transfer log) and `summary` (what each unit carries). Neither opens a unit.
#pragma once

#include <ostream>
#include <string>

#include "cli/options.h"

namespace cli {

// The history file of a run: --history, else VERT.ini's [History] Location (empty: the default
// file; "none": no history), the bench's name from [History] Station, and the workshop's server:
// --server, else [History] Server (empty: none).
struct HistoryPlace {
  std::string location;
  std::string station;
  std::string server;
};
HistoryPlace HistoryPlaceOf(const Options &options);

// The help's lines on the files: where VERT.ini is (tolvane-cli reads it and never makes it), its
// [History] keys, and the history file of the run.
std::string FilesHelp(const Options &options);

// `history` and `summary`; the exit status.
int HistoryCommand(const Options &options, std::ostream &out, std::ostream &err);
int SummaryCommand(const Options &options, std::ostream &out, std::ostream &err);

}  // namespace cli
