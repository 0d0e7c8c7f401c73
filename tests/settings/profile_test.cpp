#include "settings/profile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <sstream>
#include <vector>

#include "tests/support/temp_folder.h"

namespace {

using settings::ParameterValues;
using settings::ProfileText;
using settings::ReadProfileText;

const std::string kFile = "/home/tech/lift.ini";

// The lines of a profile text.
std::vector<std::string> linesOf(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string textOf(const std::vector<std::string> &lines) {
  std::string text;
  for (const auto &line : lines) text += line + "\n";
  return text;
}

// The profile of the initial values with the line of `word` replaced by `line` (removed when
// empty).
std::string withLine(std::string_view word, const std::string &line) {
  std::vector<std::string> lines = linesOf(ProfileText(ParameterValues(), kFile));
  for (auto it = lines.begin(); it != lines.end(); ++it) {
    if (!it->starts_with(std::string(word) + "=")) continue;
    if (line.empty())
      lines.erase(it);
    else
      *it = line;
    return textOf(lines);
  }
  ADD_FAILURE() << word;
  return {};
}

std::string refusal(const std::string &text) {
  try {
    ReadProfileText(text, kFile);
  } catch (const Exception &e) {
    return e.what();
  }
  return "accepted";
}

std::vector<std::string> writeLines(const settings::ParameterFields &fields) {
  std::vector<std::string> lines;
  for (int step = 1; step <= settings::kWriteSteps; ++step)
    lines.push_back(settings::WriteLine(step, fields));
  return lines;
}

TEST(Profile, WrittenAndReadBackGivesTheSameLinesInWriteOrder) {
  ParameterValues values;
  values["P12"] = "20";        // first entry of a two-digit list: "01"
  values["P15"] = "10.0";      // last entry: "30"
  values["TYPG"] = "Disable";  // counted from 0: "0"
  values["P17"] = " #1 ";      // sent trimmed
  values["P21"] = "7";         // one digit where one is enough
  values["MOD"] = "0";
  const std::string text = ProfileText(values, kFile);
  const std::vector<std::string> lines = linesOf(text);
  ASSERT_EQ(lines.size(), 27u);
  EXPECT_EQ(lines[0], "[PARAMETERS]");
  for (int step = 1; step <= settings::kWriteSteps; ++step)
    EXPECT_TRUE(lines[step].starts_with(std::string(settings::WriteWord(step)) + "=")) << step;
  EXPECT_NE(text.find("\nP12=01\n"), std::string::npos);
  EXPECT_NE(text.find("\nP17=#1\n"), std::string::npos);
  EXPECT_NE(text.find("\nTYPG=0\n"), std::string::npos);

  EXPECT_EQ(writeLines(ReadProfileText(text, kFile)), writeLines(values));

  // Through a file, and again with the keys in another order, blanks and comments around them.
  TempFolder temp;
  settings::WriteProfile(temp.File("a.ini"), values);
  EXPECT_EQ(writeLines(settings::ReadProfile(temp.File("a.ini"))), writeLines(values));
  std::vector<std::string> shuffled(lines.rbegin(), lines.rend() - 1);
  shuffled.insert(shuffled.begin(), {"; saved by hand", "[PARAMETERS]"});
  shuffled.back() = shuffled.back().replace(3, 1, " =  ");
  EXPECT_EQ(writeLines(ReadProfileText(textOf(shuffled), kFile)), writeLines(values));
}

TEST(Profile, EveryEntryOfEveryListIsSentAsReadAndTheDefaultsAreTheTablesDefaults) {
  for (const auto &p : params::Table()) {
    if (p.kind != params::Kind::List && p.kind != params::Kind::Index) continue;
    for (int position = 1; position <= static_cast<int>(p.entries.size()); ++position) {
      const std::string value = params::ListWireValue(p, position);
      const auto profile =
          ReadProfileText(withLine(p.word, std::string(p.word) + "=" + value), kFile);
      const auto line =
          settings::WriteLine(static_cast<int>(&p - params::Table().data()) + 1, profile);
      EXPECT_EQ(line, "AT@" + std::string(p.word) + value + "\r\n");
    }
  }
  auto profile = ReadProfileText(withLine("MOD", "MOD=0"), kFile);
  ParameterValues values;
  values["MOD"] = "0";
  profile.PutDefaults();
  values.PutDefaults();
  EXPECT_EQ(writeLines(profile), writeLines(values));
}

TEST(Profile, ARefusedProfileNamesTheFileTheKeyAndTheValue) {
  const std::string all = ProfileText(ParameterValues(), kFile);
  const std::string at = "Profile " + kFile + ": ";
  EXPECT_EQ(refusal(all), "accepted");
  EXPECT_EQ(refusal(withLine("P17", "P17 =  *67  ")), "accepted");  // blanks around a value go

  EXPECT_EQ(refusal(withLine("P17", "")), at + "the key P17 is missing");
  EXPECT_EQ(refusal(withLine("TYPG", "")), at + "the key TYPG is missing");
  EXPECT_EQ(refusal(all + "P09=3\n"), at + "unknown key P09=\"3\"");
  EXPECT_EQ(refusal(withLine("P01", "p01=3")), at + "unknown key p01=\"3\"");
  EXPECT_EQ(refusal(all + "P01=4\n"), at + "the key P01 is given twice: P01=\"3\" and P01=\"4\"");
  EXPECT_EQ(refusal("P01=3\n" + all), at + "the key P01=\"3\" stands outside [PARAMETERS]");
  EXPECT_EQ(refusal(all + "[More]\nP01=3\n"), at + "the key P01=\"3\" stands outside [PARAMETERS]");
  EXPECT_EQ(refusal(all.substr(all.find('\n') + 1)), at + "no [PARAMETERS] section");
  EXPECT_EQ(refusal("[parameters]" + all.substr(all.find('\n'))), at + "no [PARAMETERS] section");
  EXPECT_EQ(refusal(""), at + "no [PARAMETERS] section");

  EXPECT_EQ(refusal(withLine("P01", "P01=10")),
            at + "P01=\"10\" is not one of the values \"1\" to \"9\" of P01");
  EXPECT_EQ(refusal(withLine("P12", "P12=5")),
            at + "P12=\"5\" is not one of the values \"01\" to \"59\" of P12");
  EXPECT_EQ(refusal(withLine("P15", "P15=31")),
            at + "P15=\"31\" is not one of the values \"01\" to \"30\" of P15");
  EXPECT_EQ(refusal(withLine("TYPG", "TYPG=5")),
            at + "TYPG=\"5\" is not one of the values \"0\" to \"4\" of TYPG");
  EXPECT_EQ(refusal(withLine("P03", "P03=")),
            at + "P03=\"\" is not one of the values \"1\" to \"9\" of P03");
  EXPECT_EQ(refusal(withLine("MOD", "MOD=2")),
            at + "MOD=\"2\" is not one of the values \"1\" and \"0\" of MOD");
  EXPECT_EQ(refusal(withLine("P17", "P17=*6A")),
            at + "P17=\"*6A\" holds the character \"A\", P17 takes only the characters "
                 "0123456789*#");
  EXPECT_EQ(refusal(withLine("P17", "P17=\" *67\"")),
            at + "P17=\" *67\" holds the character 0x20, P17 takes only the characters "
                 "0123456789*#");
  EXPECT_EQ(refusal(withLine("P20", "P20=*1")),
            at + "P20=\"*1\" holds the character \"*\", P20 takes only the characters 0123456789");
  EXPECT_EQ(refusal(withLine("P17", "P17=1234567")),
            at + "P17=\"1234567\" has 7 characters, P17 takes 1 to 6");
  EXPECT_EQ(refusal(withLine("P17", "P17=")), at + "P17=\"\" has 0 characters, P17 takes 1 to 6");
  EXPECT_EQ(refusal(withLine("P20", "P20=5")), at + "P20=\"5\" has 1 character, P20 takes 2");
  EXPECT_EQ(refusal(withLine("P16", "P16=" + std::string(100, '1'))),
            at + "P16=\"" + std::string(40, '1') + "...\" has 100 characters, P16 takes 1 to 6");

  TempFolder temp;
  try {
    settings::ReadProfile(temp.File("none.ini"));
    ADD_FAILURE() << "a missing file was read";
  } catch (const Exception &e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Cannot open file " + temp.File("none.ini")))
        << e.what();
  }
}

TEST(Profile, AValueThatAReadWouldRefuseIsNeverSaved) {
  TempFolder temp;
  const std::string file = temp.File("short.ini");
  ParameterValues values;
  values["P20"] = "5";
  EXPECT_THROW(
      {
        try {
          settings::WriteProfile(file, values);
        } catch (const Exception &e) {
          EXPECT_STREQ(
              e.what(),
              ("Profile " + file + " not saved: P20=\"5\" has 1 character, P20 takes 2").c_str());
          throw;
        }
      },
      Exception);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(file)));

  values["P20"] = "51";
  values["P03"] = "15.0";  // no entry of the list: nothing chosen
  EXPECT_THROW(ProfileText(values, file), Exception);
  values["P03"] = "2";
  settings::WriteProfile(file, values);
  EXPECT_TRUE(QFile::exists(QString::fromStdString(file)));
}

}  // namespace
