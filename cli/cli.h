// tolvane-cli without its main(): the command line read, the units chosen, the job run on each
// and the outcome reported. Needs a QCoreApplication.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"

namespace cli {

// Where the output goes, and whether each stream is a terminal (with its width).
struct Console {
  std::ostream &out;
  std::ostream &err;
  bool outTerminal = false;
  bool errTerminal = false;
  int width = 80;
};

// Runs the command line `arguments` (the program's name first); the exit status. A report that
// cannot be written to `console.out` makes it 1.
int Run(const std::vector<std::string> &arguments, Console console);

// Takes the signals for the whole process (Run does it too): SIGPIPE ignored; SIGTERM, and SIGINT
// and SIGHUP unless they were ignored when the program started, end the program with status 1
// before the jobs start and stop every job while they run.
void CatchSignals();
// Whether one of those signals has come.
bool Signalled();

// The units a command runs on, in order: with --all the units connected now, with --unit the
// serials given. `failures` says why a given serial cannot be worked on ("... not connected",
// "... is not a unit"), empty for a connected unit.
struct Choice {
  std::vector<std::string> serials;
  std::vector<std::string> failures;
};
Choice ChooseUnits(const Options &options);

}  // namespace cli
