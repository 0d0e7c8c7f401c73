// The text table printed as its rows come: sized on its first page, then a row at a time.
#include "cli/text_table.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(TextTableStream, SizesOnTheFirstPageThenPrintsEachRowAsItComes) {
  const std::vector<std::vector<std::string>> page = {
      {"id", "unit", "job"}, {"1", "VRT00001", "send"}, {"2", "VRT2", "firmware"}};
  std::ostringstream out;
  cli::TextTableStream table(out, 3);
  for (std::size_t i = 0; i + 1 < page.size(); ++i) ASSERT_TRUE(table.Add(page[i]));
  EXPECT_EQ(out.str(), "") << "the first page is held until it is whole";
  ASSERT_TRUE(table.Add(page.back()));
  EXPECT_EQ(out.str(), cli::TextTable(page)) << "one page: the same as the whole table";
  ASSERT_TRUE(table.Add({"3", "VRT0000000000042", "send"}));
  EXPECT_EQ(out.str(), cli::TextTable(page) + "3   VRT0000000000042  send\n")
      << "printed at once, in the first page's widths, a wider entry pushing its line on";
  ASSERT_TRUE(table.Finish());

  std::ostringstream closed;
  closed.setstate(std::ios::badbit);
  cli::TextTableStream none(closed, 1);
  EXPECT_FALSE(none.Add({"id"})) << "a reader that has gone away stops the rows";
}

}  // namespace
