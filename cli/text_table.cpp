#include "cli/text_table.h"

#include <QString>
#include <algorithm>

namespace cli {

namespace {

std::size_t Characters(const std::string &text) {
  return static_cast<std::size_t>(QString::fromStdString(text).size());
}

std::vector<std::size_t> Widths(const std::vector<std::vector<std::string>> &rows) {
  std::vector<std::size_t> widths;
  for (const auto &row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t c = 0; c < row.size(); ++c)
      widths[c] = std::max(widths[c], Characters(row[c]));
  }
  return widths;
}

std::string Line(const std::vector<std::string> &row, const std::vector<std::size_t> &widths) {
  std::string line;
  for (std::size_t c = 0; c < row.size(); ++c) {
    line += row[c];
    const std::size_t width = c < widths.size() ? widths[c] : 0;
    if (c + 1 < row.size())
      line.append(std::max(width, Characters(row[c])) + 2 - Characters(row[c]), ' ');
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line + '\n';
}

}  // namespace

std::string TextTable(const std::vector<std::vector<std::string>> &rows) {
  const std::vector<std::size_t> widths = Widths(rows);
  std::string text;
  for (const auto &row : rows) text += Line(row, widths);
  return text;
}

bool TextTableStream::Add(std::vector<std::string> row) {
  if (sized_) {
    out_ << Line(row, widths_);
    return out_.good();
  }
  held_.push_back(std::move(row));
  return held_.size() < page_ || Finish();
}

bool TextTableStream::Finish() {
  if (!sized_) {
    widths_ = Widths(held_);
    sized_ = true;
  }
  for (const auto &row : held_) out_ << Line(row, widths_);
  held_.clear();
  return out_.good();
}

}  // namespace cli
