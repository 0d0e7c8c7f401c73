#include "cli/text_table.h"

#include <QString>
#include <algorithm>

namespace cli {

namespace {

std::size_t Characters(const std::string &text) {
  return static_cast<std::size_t>(QString::fromStdString(text).size());
}

}  // namespace

std::string TextTable(const std::vector<std::vector<std::string>> &rows) {
  std::vector<std::size_t> widths;
  for (const auto &row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t c = 0; c < row.size(); ++c)
      widths[c] = std::max(widths[c], Characters(row[c]));
  }
  std::string text;
  for (const auto &row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line.append(widths[c] + 2 - Characters(row[c]), ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + '\n';
  }
  return text;
}

}  // namespace cli
