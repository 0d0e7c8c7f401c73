// What tolvane-cli shows: on a terminal one line per unit, its job, progress and state, updated in
// place; elsewhere plain lines, one for each change of a unit's state. At the end the summary
// names every unit with its result and the text of its message, or the JSON object for scripts.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/jobs.h"
#include "cli/runner.h"

namespace cli {

class Reporter {
 public:
  // `terminal`: the stream is a terminal `width` columns wide.
  Reporter(std::ostream &out, bool terminal, int width, const std::vector<std::string> &serials,
           const std::string &job);

  void Progressed(std::size_t index, const Progress &progress);
  void Ended(std::size_t index, const UnitResult &result);
  // Redraws the units' lines on a terminal when something changed since the last time.
  void Flush();

 private:
  std::string Line(std::size_t index) const;

  struct Row {
    std::string serial;
    Progress progress;
    bool ended = false;
    UnitResult result;
  };

  std::ostream &out_;
  bool terminal_;
  int width_;
  std::string job_;
  std::vector<Row> rows_;
  bool drawn_ = false;
  bool dirty_ = true;
};

// The summary: a count, then each unit with its job, result, time and message.
std::string SummaryText(const std::vector<UnitResult> &results);

// A JSON string of Latin-1 bytes.
std::string JsonString(const std::string &text);

// {"units": [{"serial", "job", "ok", "message", "seconds", "id"}, ...], "history": STATE} on one
// line; "id" is the unit's history record, null where it has none.
std::string JsonResults(const std::vector<UnitResult> &results, const std::string &history);

}  // namespace cli
