// The text tables of tolvane-cli (`list`, `history`): columns as wide as their widest entry in
// characters, two blanks apart, the last one unpadded, no blank at a line's end.
#pragma once

#include <string>
#include <vector>

namespace cli {

// The rows (UTF-8 text, each row as many cells as the first) as lines, each ending in "\n".
std::string TextTable(const std::vector<std::vector<std::string>> &rows);

}  // namespace cli
