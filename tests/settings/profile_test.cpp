#include "settings/profile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <algorithm>
#include <vector>

#include "tests/support/temp_folder.h"

namespace {

using settings::ParameterValues;
using settings::ProfileText;
using settings::ReadProfileText;

const std::string kFile = "/home/tech/lift.ini";
const std::string kAt = "Profile " + kFile + ": ";

// The profile of the initial values with the line of `word` replaced by `line`.
std::string withLine(const std::string &word, const std::string &line) {
  std::string text = ProfileText(ParameterValues(), kFile);
  const std::size_t at = text.find("\n" + word + "=") + 1;
  return text.replace(at, text.find('\n', at) + 1 - at, line.empty() ? "" : line + "\n");
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

TEST(Profile, WrittenAndReadBackGivesTheSameLinesAndEveryListEntryIsSentAsRead) {
  ParameterValues values;
  values["P12"] = "20";        // first entry of a two-digit list: "01"
  values["TYPG"] = "Disable";  // counted from 0: "0"
  values["P17"] = " #1 ";      // sent trimmed
  values["MOD"] = "0";
  const std::string text = ProfileText(values, kFile);
  // Every key in write order, each with the value that follows its word on the wire.
  EXPECT_TRUE(text.starts_with("[PARAMETERS]\nP01=3\nP02=4\n")) << text;
  EXPECT_NE(text.find("\nP08=5\nP17=#1\nP10=3\nP11=3\nP12=01\nP13=11\nP18=*68\nP15=24\n"
                      "P16=*66\nMOD=0\nTYPE=1\nTYPG=0\nP19=*69\n"),
            std::string::npos);
  EXPECT_TRUE(text.ends_with("\nP25=##\n"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 27);
  TempFolder temp;
  settings::WriteProfile(temp.File("a.ini"), values);
  EXPECT_EQ(writeLines(settings::ReadProfile(temp.File("a.ini"))), writeLines(values));

  for (const auto &p : params::Table()) {
    if (p.kind != params::Kind::List && p.kind != params::Kind::Index) continue;
    const int step = static_cast<int>(&p - params::Table().data()) + 1;
    for (int position = 1; position <= static_cast<int>(p.entries.size()); ++position) {
      const std::string word(p.word), value = params::ListWireValue(p, position);
      const auto profile = ReadProfileText(withLine(word, word + "=" + value), kFile);
      EXPECT_EQ(settings::WriteLine(step, profile), "AT@" + word + value + "\r\n");
    }
  }
  auto profile = settings::ReadProfile(temp.File("a.ini"));
  profile.PutDefaults();
  values.PutDefaults();
  EXPECT_EQ(writeLines(profile), writeLines(values));
}

TEST(Profile, ARefusedProfileNamesTheFileTheKeyAndTheValue) {
  const std::string all = ProfileText(ParameterValues(), kFile);
  EXPECT_EQ(refusal(withLine("P17", "P17 =  *67  ")), "accepted");  // blanks around a value go
  EXPECT_EQ(refusal(withLine("P17", "")), kAt + "the key P17 is missing");
  EXPECT_EQ(refusal(all + "P09=3\n"), kAt + "unknown key P09=\"3\"");
  EXPECT_EQ(refusal(all + "P01=4\n"), kAt + "the key P01 is given twice: P01=\"3\" and P01=\"4\"");
  EXPECT_EQ(refusal(all + "[More]\nP01=3\n"),
            kAt + "the key P01=\"3\" stands outside [PARAMETERS]");
  EXPECT_EQ(refusal("[parameters]" + all.substr(all.find('\n'))), kAt + "no [PARAMETERS] section");
  EXPECT_EQ(refusal(withLine("P12", "P12=5")),
            kAt + "P12=\"5\" is not one of the values \"01\" to \"59\" of P12");
  EXPECT_EQ(refusal(withLine("TYPG", "TYPG=5")),
            kAt + "TYPG=\"5\" is not one of the values \"0\" to \"4\" of TYPG");
  EXPECT_EQ(refusal(withLine("MOD", "MOD=2")),
            kAt + "MOD=\"2\" is not one of the values \"1\" and \"0\" of MOD");
  EXPECT_EQ(refusal(withLine("P17", "P17=*6A")),
            kAt +
                "P17=\"*6A\" holds the character \"A\", P17 takes only the characters "
                "0123456789*#");
  EXPECT_EQ(refusal(withLine("P17", "P17=\" *67\"")),
            kAt +
                "P17=\" *67\" holds the character 0x20, P17 takes only the characters "
                "0123456789*#");
  EXPECT_EQ(refusal(withLine("P20", "P20=5")), kAt + "P20=\"5\" has 1 character, P20 takes 2");
  EXPECT_EQ(refusal(withLine("P16", "P16=" + std::string(100, '1'))),
            kAt + "P16=\"" + std::string(40, '1') + "...\" has 100 characters, P16 takes 1 to 6");
  TempFolder temp;
  EXPECT_THROW(settings::ReadProfile(temp.File("none.ini")), Exception);
}

TEST(Profile, AValueThatAReadWouldRefuseIsNeverSaved) {
  TempFolder temp;
  const std::string file = temp.File("short.ini");
  ParameterValues values;
  values["P20"] = "5";
  try {
    settings::WriteProfile(file, values);
    ADD_FAILURE() << "saved";
  } catch (const Exception &e) {
    EXPECT_EQ(std::string(e.what()),
              "Profile " + file + " not saved: P20=\"5\" has 1 character, P20 takes 2");
  }
  values["P20"] = "51";
  values["P03"] = "15.0";  // no entry of the list: nothing chosen
  EXPECT_THROW(settings::WriteProfile(file, values), Exception);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(file)));
}

}  // namespace
