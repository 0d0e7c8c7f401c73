#include "settings/parameters.h"

#include <gtest/gtest.h>

using params::Find;
using params::ListWireValue;

namespace {
std::string wireOfEntry(std::string_view word, std::string_view entry) {
  const auto *p = Find(word);
  return ListWireValue(*p, params::PositionOf(*p, entry));
}
}  // namespace

TEST(Parameters, WriteOrderHasTwentySixStepsWithoutP09AndP14) {
  std::vector<std::string> words;
  for (const auto &p : params::Table()) words.emplace_back(p.word);
  const std::vector<std::string> expected = {
      "P01", "P02", "P03", "P04", "P05",  "P06",  "P07", "P08", "P17", "P10", "P11", "P12", "P13",
      "P18", "P15", "P16", "MOD", "TYPE", "TYPG", "P19", "P20", "P21", "P22", "P23", "P24", "P25"};
  EXPECT_EQ(words, expected);
}

TEST(Parameters, DefaultEntriesSendTheirPositions) {
  EXPECT_EQ(wireOfEntry("P01", *Find("P01")->defaultValue), "3");
  EXPECT_EQ(wireOfEntry("P02", *Find("P02")->defaultValue), "4");
  EXPECT_EQ(wireOfEntry("P12", *Find("P12")->defaultValue), "24");
  EXPECT_EQ(wireOfEntry("P13", *Find("P13")->defaultValue), "11");
  EXPECT_EQ(wireOfEntry("P15", *Find("P15")->defaultValue), "24");
  EXPECT_EQ(wireOfEntry("P06", *Find("P06")->defaultValue), "5");
  EXPECT_EQ(wireOfEntry("P10", Find("P10")->initial), "3");
  EXPECT_EQ(wireOfEntry("P10", *Find("P10")->defaultValue), "5");
}

TEST(Parameters, ListTextsAndPositions) {
  EXPECT_EQ(Find("P01")->entries, (std::vector<std::string>{"0.3", "0.7", "1.0", "1.3", "1.7",
                                                            "2.0", "2.3", "2.7", "3.0"}));
  EXPECT_EQ(Find("P15")->entries.size(), 30u);
  EXPECT_EQ(Find("P15")->entries.back(), "10.0");
  EXPECT_EQ(Find("P15")->entries[23], "8.0");
  EXPECT_EQ(Find("P12")->entries.front(), "20");
  EXPECT_EQ(Find("P12")->entries.back(), "600");
  EXPECT_EQ(Find("P02")->entries[3], "10.0");
  EXPECT_EQ(Find("P08")->entries.back(), "1500");
  for (auto word : {"P06", "P07", "P08", "P10", "P11"})
    EXPECT_EQ(ListWireValue(*Find(word), 10), "10") << word;
  for (auto word : {"P12", "P13", "P15"}) EXPECT_EQ(ListWireValue(*Find(word), 1), "01") << word;
  for (auto word : {"P01", "P03", "P05"}) EXPECT_EQ(ListWireValue(*Find(word), 1), "1") << word;
  EXPECT_EQ(wireOfEntry("TYPG", "Disable"), "0");
  EXPECT_EQ(wireOfEntry("TYPG", "ID + CALL + LAST+ CNT"), "4");
}

TEST(Parameters, CodeTextsAreTrimmedNeverPadded) {
  EXPECT_EQ(params::CodeWireValue("*66"), "*66");
  EXPECT_EQ(params::CodeWireValue("  *66\t\r"), "*66");
  EXPECT_EQ(params::CodeWireValue(""), "");
  EXPECT_EQ(params::CodeWireValue("5"), "5");
}

TEST(Parameters, TheUnitAcceptsExactlyTheTablesValues) {
  const auto &p06 = *Find("P06");
  for (int n = 1; n <= 10; ++n) EXPECT_TRUE(params::AcceptsWireValue(p06, std::to_string(n)));
  EXPECT_FALSE(params::AcceptsWireValue(p06, "11"));
  EXPECT_FALSE(params::AcceptsWireValue(p06, "05"));
  EXPECT_TRUE(params::AcceptsWireValue(*Find("P12"), "59"));
  EXPECT_FALSE(params::AcceptsWireValue(*Find("P12"), "5"));
  EXPECT_TRUE(params::AcceptsWireValue(*Find("P16"), "*#0123"));
  EXPECT_FALSE(params::AcceptsWireValue(*Find("P16"), "*#01234"));
  EXPECT_FALSE(params::AcceptsWireValue(*Find("P16"), ""));
  EXPECT_FALSE(params::AcceptsWireValue(*Find("P20"), "5"));
  EXPECT_TRUE(params::AcceptsWireValue(*Find("P21"), "5"));
  EXPECT_FALSE(params::AcceptsWireValue(*Find("P22"), "*5"));
  EXPECT_TRUE(params::AcceptsWireValue(*Find("P25"), "##"));
  EXPECT_TRUE(params::AcceptsWireValue(*Find("TYPG"), "0"));
  EXPECT_FALSE(params::AcceptsWireValue(*Find("TYPG"), "5"));
  EXPECT_EQ(Find("P09"), nullptr);
  EXPECT_EQ(Find("P14"), nullptr);
}
