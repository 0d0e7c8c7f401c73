// The command line of tolvane-cli: the subcommand, its arguments and the options, which may stand
// anywhere on the line, before or after the subcommand and its arguments.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "history/job_record.h"

namespace cli {

// Exit statuses.
inline constexpr int kExitOk = 0;      // every unit succeeded
inline constexpr int kExitFailed = 1;  // a unit failed or was interrupted
inline constexpr int kExitUsage = 2;   // bad arguments, a refused profile or file, no unit

enum class Command {
  None,
  List,
  Outputs,
  Settings,
  Defaults,
  Firmware,
  Record,
  Send,
  History,
  Summary,
  ServerInit
};

struct Options {
  Command command = Command::None;
  std::string commandName;                  // as typed: "settings", ...
  std::optional<history::JobKind> jobKind;  // the kind of job the command runs on units
  std::string argument;                     // PROFILE, FILE.HEX, FILE, LINE or URL
  std::vector<std::string> units;           // --unit, in the order given, each serial once
  bool all = false;                         // --all
  bool json = false;                        // --json
  bool fast = false;                        // --fast (firmware)
  std::string logDir;                       // --log-dir (firmware); empty: the current folder
  std::optional<std::string> output;        // --output (record)
  // --history FILE|none: the history file of this run, or none; unset: VERT.ini's.
  std::optional<std::string> history;
  // --server URL: the workshop's shared history for this run; unset: VERT.ini's.
  std::optional<std::string> server;
  // --grant ROLE (server-init, repeatable): the logins of the benches.
  std::vector<std::string> grants;
  // history: the filters, the CSV form and the one job whose log is printed.
  std::string job;                   // --job
  std::string outcome;               // --outcome
  std::optional<std::string> since;  // --since
  long long limit = -1;              // --limit
  bool csv = false;                  // --csv
  std::optional<std::string> log;    // --log ID
  // summary: the standard the units are compared with, and whether a difference fails.
  std::optional<std::string> profile;   // --profile FILE
  std::optional<std::string> firmware;  // --firmware FILE
  bool check = false;                   // --check
  bool help = false;                    // --help, for the program or the subcommand
  bool version = false;                 // --version
};

// What the parse gives: the options, or the text of a usage error.
struct Parsed {
  Options options;
  std::string error;  // empty when the line is good
};

// Parses the arguments (the program's name first). Every subcommand but `list` and `outputs`
// takes exactly one argument, those two and `defaults` none; an option a subcommand does not
// take is a usage error, and so is `--unit` together with `--all`.
Parsed ParseArguments(const std::vector<std::string> &arguments);

// Whether the command runs on units.
bool NeedsUnits(Command command);

// The help text of the program (command None) or of one subcommand.
std::string HelpText(Command command);

}  // namespace cli
