// What tolvane-cli shows: the units' lines in place on a terminal, plain lines elsewhere, the
// summary and the JSON object.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <sstream>

#include "cli/report.h"

namespace {

using cli::Progress;
using cli::Reporter;
using cli::UnitResult;

const std::vector<std::string> kSerials = {"VRT00001", "VRT00002"};

TEST(Report, OnATerminalEachUnitKeepsItsLineAndRedrawsInPlace) {
  std::ostringstream out;
  Reporter reporter(out, true, 46, kSerials, "firmware");
  reporter.Flush();
  reporter.Progressed(0, {"transferring", 42});
  reporter.Progressed(1, {"connecting", -1});
  EXPECT_EQ(out.str().find("42%"), std::string::npos) << "nothing drawn before the next redraw";
  reporter.Flush();
  reporter.Flush();  // nothing changed: nothing drawn
  const std::string text = out.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << "two lines, drawn twice";
  const auto up = text.find("\x1b[2A");
  ASSERT_NE(up, std::string::npos) << "back up over the two lines";
  EXPECT_NE(text.find("VRT00001  firmware  running     42%   transfe\n", up), std::string::npos);
  EXPECT_NE(text.find("VRT00002  firmware  running     connecting", up), std::string::npos);
  for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at) {
    const std::size_t start = text.rfind("\x1b[2K", at) + 4;
    EXPECT_LT(at - start, 46u) << "a line never wraps on the 46 columns";
  }
}

TEST(Report, ElsewhereALineForEachChangeOfStateAndEveryFurtherTenPercent) {
  std::ostringstream out;
  Reporter reporter(out, false, 80, kSerials, "settings");
  reporter.Progressed(0, {"writing", 0});
  reporter.Progressed(0, {"writing", 9});  // within the same tenth: no line
  reporter.Progressed(0, {"writing", 34});
  reporter.Progressed(0, {"writing", 39});
  reporter.Ended(0, {"VRT00001", "settings", true, "", 2.21, false});
  reporter.Ended(1, {"VRT00002", "settings", false, "Error value - P17", 0.5, false});
  reporter.Flush();  // no terminal: no redraw
  EXPECT_EQ(out.str(),
            "VRT00001  settings  running     0%    writing\n"
            "VRT00001  settings  running     34%   writing\n"
            "VRT00001  settings  ok          2.2 s\n"
            "VRT00002  settings  failed      0.5 s    Error value - P17\n");
}

TEST(Report, AUnitsEscapeSequenceReachesTheTerminalHarmlessly) {
  const std::vector<UnitResult> results = {
      {"VRT\xC3\xA9", "send", true, "\x1B[2JRING\r\x9B\nOK", 0.1, false}};
  std::ostringstream out;
  Reporter reporter(out, false, 80, {"VRT\xC3\xA9"}, "send");
  reporter.Ended(0, results[0]);
  // The serial's column is as wide as its escaped text and two blanks.
  EXPECT_EQ(out.str(), "VRT\\xC3\\xA9  send      ok          0.1 s    \\x1B[2JRING\\r\\x9B / OK\n");
  EXPECT_NE(cli::SummaryText(results).find("\\x1B[2JRING\\r\\x9B / OK"), std::string::npos);
  const std::string json = cli::JsonResults(results, "kept");
  EXPECT_NE(json.find("\"serial\": \"VRT\xC3\xA9\""), std::string::npos) << "UTF-8 once: " << json;
  EXPECT_NE(json.find(R"("message": "\u001b[2JRING\u000d\u009b\u000aOK")"), std::string::npos)
      << json;
}

TEST(Report, TheSummaryAndTheJsonNameEveryUnit) {
  const std::vector<UnitResult> results = {
      {"VRT00001", "firmware", true, "Download firmware to Vertiko mate is successfully complete",
       12.345, false},
      {"VRT00002", "firmware", false,
       "Skarvel you must disconned USB and power adapter up to 1 min\r\nnext, plug in", 3, false},
      {"VRT00003", "firmware", false, "interrupted", 1, true},
      {"VRT00004", "send", true, "say \"\\\x01\xe9", 0.1, false},
  };
  const std::string summary = cli::SummaryText(results);
  EXPECT_EQ(summary.substr(0, summary.find('\n')), "Summary: 2 of 4 units succeeded");
  EXPECT_NE(summary.find("VRT00002  firmware  failed      3.0 s    Skarvel you must disconned USB "
                         "and power adapter up to 1 min / next, plug in\n"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("VRT00003  firmware  interrupted 1.0 s    interrupted\n"),
            std::string::npos);

  const std::string json = cli::JsonResults(results, "off");
  EXPECT_EQ(json.find('\n'), std::string::npos) << "one line";
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError) << json;
  const QJsonArray units = document["units"].toArray();
  ASSERT_EQ(units.size(), 4);
  EXPECT_EQ(units[0].toObject()["seconds"].toDouble(), 12.345);
  EXPECT_EQ(units[1].toObject()["message"].toString().toStdString(),
            std::string(results[1].message));
  EXPECT_EQ(units[3].toObject()["message"].toString(), QString::fromUtf8("say \"\\\x01\u00e9"))
      << "quotes, backslashes and control bytes escaped, Latin-1 as UTF-8";
  EXPECT_EQ(json.substr(0, 24), "{\"units\": [{\"serial\": \"V");
  EXPECT_TRUE(units[0].toObject()["id"].isNull()) << "a unit without a record";
  EXPECT_EQ(document["history"].toString(), "off");
}

}  // namespace
