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
    int tenthShown = -1;  // plain lines: the last tenth of the way shown
  };
  static constexpr int kPlainStep = 10;  // percent between plain progress lines

  std::ostream &out_;
  bool terminal_;
  int width_;
  std::size_t serialWidth_;  // the serial numbers' column
  std::string job_;
  std::vector<Row> rows_;
  bool drawn_ = false;
  bool dirty_ = true;
};

// The summary: a count, then each unit with its job, result, time and message.
std::string SummaryText(const std::vector<UnitResult> &results);

// A text for a terminal: bytes that are not printable ASCII escaped ("\x1B", "\r", "\n"); with
// `keepHighBytes` only the control characters (UTF-8 text of the user's own, a file name).
std::string EscapedText(const std::string &text, bool keepHighBytes = false);

// A JSON string: UTF-8 text as it is, other bytes as Latin-1 characters; control characters
// (0x00 to 0x1F, 0x7F to 0x9F) escaped.
std::string JsonString(const std::string &text);

// {"units": [{"serial", "job", "ok", "message", "seconds", "id"}, ...], "history": STATE} on one
// line; "id" is the unit's history record, null where it has none.
std::string JsonResults(const std::vector<UnitResult> &results, const std::string &history);

}  // namespace cli
