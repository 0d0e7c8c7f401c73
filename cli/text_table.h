// The text tables of tolvane-cli (`list`, `history`): columns as wide as their widest entry in
// characters, two blanks apart, the last one unpadded, no blank at a line's end.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace cli {

// The rows (UTF-8 text, each row as many cells as the first) as lines, each ending in "\n".
std::string TextTable(const std::vector<std::vector<std::string>> &rows);

// A text table printed as its rows come, holding at most its first page: the columns are sized
// on the first `page` rows (the header among them), which are then printed; each later row is
// printed at once in those widths, an entry wider than its column pushing the rest of its line
// on, two blanks after it. A table of one page is the same as TextTable's.
class TextTableStream {
 public:
  explicit TextTableStream(std::ostream &out, std::size_t page = 1000) : out_(out), page_(page) {}
  // False once the output fails (a reader that has gone away).
  bool Add(std::vector<std::string> row);
  // Prints what is held; false when the output failed.
  bool Finish();

 private:
  std::ostream &out_;
  std::size_t page_;
  std::vector<std::vector<std::string>> held_;
  std::vector<std::size_t> widths_;
  bool sized_ = false;
};

}  // namespace cli
