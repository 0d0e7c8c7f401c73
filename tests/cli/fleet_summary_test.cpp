// `tolvane-cli summary` against the workshop's standard: --profile, --firmware, --check, --csv,
// on a real history file; and the comparison of a unit whose firmware is unsettled.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "jobs/fleet.h"
#include "tests/history/fleet_records.h"

namespace {

struct Ran {
  int code = -1;
  QByteArray out, err;
};

Ran Summary(const Fleet &fleet, QStringList arguments) {
  QProcess program;
  program.start(TOLVANE_CLI_PROGRAM,
                QStringList{"summary", "--history", fleet.history} + arguments);
  EXPECT_TRUE(program.waitForFinished(30000));
  return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
          program.readAllStandardOutput(), program.readAllStandardError()};
}

QJsonObject Differs(const QByteArray &json, const QString &unit) {
  for (const auto entry : QJsonDocument::fromJson(json).object()["units"].toArray())
    if (entry.toObject()["unit"] == unit) return entry.toObject()["differs"].toObject();
  ADD_FAILURE() << "no unit " << unit.toStdString();
  return {};
}

TEST(SummaryAgainstAStandard, TheJsonNamesEachDifferingWordWithBothValues) {
  TempFolder folder;
  const Fleet fleet = WriteFleet(folder);
  const Ran run = Summary(fleet, {"--profile", fleet.profile, "--json"});
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ(Differs(run.out, "VRT00001"), QJsonObject({{"parameters", QJsonArray()}}));
  EXPECT_EQ(Differs(run.out, "VRT00002")["parameters"].toArray(),
            QJsonArray({QJsonObject{{"word", "P05"}, {"carried", "3"}, {"profile", "1"}},
                        QJsonObject{{"word", "P17"}, {"carried", "*60"}, {"profile", "*67"}}}));
  EXPECT_EQ(Differs(run.out, "VRT00003"), QJsonObject({{"parameters", "unknown"}}));
  // The summary's own members stay as they were, "differs" after them.
  EXPECT_TRUE(
      run.out.contains(R"("last": "2026-12-01T09:00:00.000Z", "differs": {"parameters": [])"))
      << run.out.toStdString();
}

TEST(SummaryAgainstAStandard, CheckFailsWhenAUnitDiffersOrIsUnknownAndNamesIt) {
  TempFolder folder;
  const Fleet fleet = WriteFleet(folder);
  const Ran all =
      Summary(fleet, {"--profile", fleet.profile, "--firmware", fleet.firmware, "--check"});
  EXPECT_EQ(all.code, 1);
  EXPECT_TRUE(
      all.err.contains("2 of 3 units do not match the standard:\n"
                       "  VRT00002 (parameters P05: 3 (profile 1); P17: *60 (profile *67), "
                       "firmware differs)\n"
                       "  VRT00003 (parameters unknown"))
      << all.err.toStdString();
  // The table holds the window's columns, and each comparison's.
  EXPECT_TRUE(all.out.contains("Unit      Firmware")) << all.out.toStdString();
  EXPECT_TRUE(all.out.contains("Differs from profile")) << all.out.toStdString();
  const Ran one = Summary(fleet, {"--unit", "VRT00001", "--profile", fleet.profile, "--firmware",
                                  fleet.firmware, "--check"});
  EXPECT_EQ(one.code, 0) << one.err.toStdString();
  EXPECT_TRUE(one.err.isEmpty()) << one.err.toStdString();
  const Ran unknown = Summary(
      fleet, {"--unit", "VRT00001", "--unit", "VRT00009", "--profile", fleet.profile, "--check"});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_TRUE(
      unknown.err.contains("1 of 2 units does not match the standard:\n"
                           "  VRT00009 (not in the history)\n"))
      << unknown.err.toStdString();
  EXPECT_EQ(Summary(fleet, {"--check"}).code, 2) << "--check needs a standard";
  const Ran refused = Summary(fleet, {"--firmware", fleet.profile, "--check"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_TRUE(refused.err.contains("is no *.HEX file")) << refused.err.toStdString();
}

TEST(SummaryAgainstAStandard, CsvHasTheWindowsColumns) {
  TempFolder folder;
  const Fleet fleet = WriteFleet(folder);
  const Ran run = Summary(fleet, {"--firmware", fleet.firmware, "--csv", "--unit", "VRT00002"});
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ(run.out.left(run.out.indexOf("\r\n") + 2),
            "Unit,Firmware,Parameters,Message,Last job,Station,Firmware differs\r\n");
  EXPECT_TRUE(run.out.endsWith(",yes\r\n")) << run.out.toStdString();
  EXPECT_TRUE(run.out.contains(",std.ini written 2026-12-02T08:00:30.000Z,"))
      << run.out.toStdString();
}

TEST(SummaryAgainstAStandard, AUnitInItsLoaderHasAnUnknownFirmware) {
  history::UnitSummary unit;
  unit.unit = "VRT00003";
  unit.firmware = history::UnitSummary::Firmware{"/fw/app.hex", "ab12", "2026-12-03", "bench"};
  jobs::Standard standard;
  standard.firmware = "ab12";
  EXPECT_EQ(jobs::Compare(unit, standard).firmware, jobs::Verdict::Same);
  unit.firmwareUnsettled =
      history::UnitSummary::Unsettled{"2026-12-04", "bench", "interrupted", ""};
  EXPECT_EQ(jobs::Compare(unit, standard).firmware, jobs::Verdict::Unknown);
  EXPECT_EQ(jobs::UnitCells(unit, jobs::Compare(unit, standard), standard, jobs::UtcTime),
            QStringList({"VRT00003", "in its loader", "", "", "", "", "unknown"}));
  unit.firmware.reset();
  unit.firmwareUnsettled.reset();
  EXPECT_EQ(jobs::Compare(unit, standard).firmware, jobs::Verdict::Unknown) << "never loaded";
}

TEST(SummaryAgainstAStandard, UnsettledParametersAreUnknown) {
  TempFolder folder;
  const Fleet fleet = WriteFleet(folder);
  jobs::Standard standard;
  ASSERT_EQ(jobs::ReadStandardProfile(fleet.profile, standard), "");
  history::UnitSummary unit;
  unit.unit = "VRT00004";
  unit.parametersUnsettled =
      history::UnitSummary::Unsettled{"2026-12-04", "bench", "failed", "Error value - P05"};
  const jobs::Comparison c = jobs::Compare(unit, standard);
  EXPECT_EQ(c.parameters, jobs::Verdict::Unknown);
  EXPECT_EQ(jobs::UnitCells(unit, c, standard, jobs::UtcTime)[2],
            "none, the write of 2026-12-04 ended failed");
  EXPECT_EQ(jobs::DiffersJson(c), R"({"parameters": "unknown"})");
}

TEST(SummaryAgainstAStandard, AUnitSetToTheDefaultsIsComparedWithTheDefaults) {
  TempFolder folder;
  settings::ParameterValues fields;
  fields.PutDefaults();
  fields["MOD"] = "0";
  const QString defaults = QString::fromStdString(folder.File("defaults.ini"));
  settings::WriteProfile(defaults.toStdString(), fields);
  jobs::Standard standard;
  ASSERT_EQ(jobs::ReadStandardProfile(defaults, standard), "");
  history::UnitSummary unit;
  unit.parameters = history::UnitSummary::Parameters{std::nullopt, "2026-12-05", "bench", ""};
  const jobs::Comparison c = jobs::Compare(unit, standard);
  EXPECT_EQ(c.parameters, jobs::Verdict::Differs);
  // The defaults keep MOD and TYPE as they were: the history does not know them.
  EXPECT_EQ(jobs::ParametersCell(c), "MOD: unknown (profile 0); TYPE: unknown (profile 1)");
  EXPECT_EQ(jobs::DiffersJson(c),
            R"({"parameters": [{"word": "MOD", "carried": null, "profile": "0"}, )"
            R"({"word": "TYPE", "carried": null, "profile": "1"}]})");
}

// The history's own record of a download cut once the unit answered "Y".
TEST(SummaryAgainstAStandard, ACutDownloadLeavesTheUnitInItsLoaderInTheSummary) {
  TempFolder folder;
  const Fleet fleet = WriteFleet(folder);
  const Ran run = Summary(fleet, {"--firmware", fleet.firmware, "--json", "--unit", "VRT00003"});
  EXPECT_EQ(Differs(run.out, "VRT00003"), QJsonObject({{"firmware", "unknown"}}));
  const Ran text = Summary(fleet, {"--firmware", fleet.firmware, "--unit", "VRT00003"});
  EXPECT_TRUE(text.out.contains("in its loader")) << text.out.toStdString();
}

}  // namespace
