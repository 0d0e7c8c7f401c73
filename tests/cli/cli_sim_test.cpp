// tolvane-cli as a program against skarvel-sim serving several units: what each unit received,
// what the program reports on standard output and standard error, its exit status, and an
// interruption by SIGTERM.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>
#include <chrono>
#include <csignal>
#include <map>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "d2xx/device_link.h"
#include "firmware/image_reader.h"
#include "history/format.h"
#include "history/journal.h"
#include "history/store.h"
#include "settings/profile.h"
#include "settings/settings_exchange.h"
#include "tests/firmware/hex_records.h"
#include "tests/history/private_postgres.h"
#include "tests/recorder/sound_support.h"
#include "tests/support/private_runtime_dir.h"
#include "tests/support/temp_folder.h"

using namespace std::chrono_literals;

namespace {

// skarvel-sim serving the units of `arguments` in a runtime folder of this test.
class Simulator {
 public:
  explicit Simulator(QStringList arguments, bool instant = true) {
    arguments << "--quiet"
              << "--record" << RecordFile();
    if (instant) arguments << "--instant";
    process_.start(SKARVEL_SIM_PROGRAM, arguments);
    // Every device given is listed.
    const auto devices = std::max<qsizetype>(
        1, arguments.count("--unit") + arguments.count("--new-unit") + arguments.count("--device"));
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (qsizetype(d2xx::link::ListDevices().size()) < devices &&
           std::chrono::steady_clock::now() < until && process_.state() != QProcess::NotRunning)
      std::this_thread::sleep_for(10ms);
  }
  ~Simulator() { Stop(); }

  // A command on the program's standard input ("unplug VRT00002").
  void Command(const QByteArray &line) {
    process_.write(line + "\n");
    process_.waitForBytesWritten(1000);
  }

  bool Serving() const { return !d2xx::link::ListDevices().empty(); }
  // Ends the program, which writes its record.
  void Stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    process_.waitForFinished(5000);
  }
  QString RecordFile() const { return QString::fromStdString(runtime_.Path()) + "/record.json"; }
  // What a device received, from the record (after Stop).
  QJsonObject Device(const QString &serial) const {
    QFile file(RecordFile());
    if (!file.open(QIODevice::ReadOnly)) return {};
    for (const auto entry : QJsonDocument::fromJson(file.readAll())["devices"].toArray()) {
      const QJsonObject device = entry.toObject();
      if (device["serial"].toString() == serial) return device;
    }
    return {};
  }

 private:
  PrivateRuntimeDir runtime_;
  QProcess process_;
};

struct Outcome {
  int code = -1;
  QByteArray out, err;
  QJsonObject json;  // standard output as one JSON object
  bool jsonValid = false;
};

Outcome Parse(QProcess &program) {
  Outcome outcome;
  outcome.code = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
  outcome.out = program.readAllStandardOutput();
  outcome.err = program.readAllStandardError();
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(outcome.out, &error);
  outcome.jsonValid = error.error == QJsonParseError::NoError && document.isObject();
  outcome.json = document.object();
  return outcome;
}

Outcome RunCli(const QStringList &arguments, const QString &folder = {},
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) {
  QProcess program;
  if (!folder.isEmpty()) program.setWorkingDirectory(folder);
  program.setProcessEnvironment(environment);
  program.start(TOLVANE_CLI_PROGRAM, arguments);
  program.waitForFinished(60000);
  return Parse(program);
}

// tolvane-cli with these arguments inside a bash command line: "$@" stands for them, `$cli` for
// the program.
Outcome RunInShell(const QString &command, const QStringList &arguments, const QString &folder) {
  QProcess program;
  program.setWorkingDirectory(folder);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("cli", TOLVANE_CLI_PROGRAM);
  program.setProcessEnvironment(environment);
  program.start("bash", QStringList{"-c", command, "bash"} + arguments);
  program.waitForFinished(60000);
  return Parse(program);
}

// Writes a firmware file into the folder: "app.hex", its full name.
QString WriteFirmware(const TempFolder &temp, const std::string &text) {
  const QString hex = QString::fromStdString(temp.File("app.hex"));
  QFile file(hex);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(QByteArray::fromStdString(text));
  return hex;
}

// The units of a JSON result by serial: {ok, message}.
std::map<QString, std::pair<bool, QString>> Units(const QJsonObject &json) {
  std::map<QString, std::pair<bool, QString>> units;
  for (const auto entry : json["units"].toArray()) {
    const QJsonObject unit = entry.toObject();
    units[unit["serial"].toString()] = {unit["ok"].toBool(), unit["message"].toString()};
  }
  return units;
}

QStringList Strings(const QJsonValue &array) {
  QStringList list;
  for (const auto value : array.toArray()) list << value.toString();
  return list;
}

// The 27 lines of the window's settings write from these fields.
QStringList WriteLines(const settings::ParameterFields &fields) {
  QStringList lines;
  for (int step = 0; step <= settings::kWriteSteps; ++step)
    lines << QString::fromLatin1(settings::WriteLine(step, fields));
  return lines;
}

TEST(CliOnUnits, SettingsGoToEveryUnitThatAcceptsThemWhateverTheOrderOfTheOptions) {
  Simulator simulator(
      {"--unit", "VRT00001", "--unit", "VRT00002", "--err", "P17", "--new-unit", "VRT00003"});
  ASSERT_TRUE(simulator.Serving());
  TempFolder temp;
  // A profile as the settings window saves it, from fields changed by hand.
  settings::ParameterValues fields;
  fields["P17"] = "*67";
  fields["P12"] = "300";
  const std::string profile = temp.File("bench.ini");
  settings::WriteProfile(profile, fields);
  const QString file = QString::fromStdString(profile);

  const Outcome first = RunCli({"--all", "settings", file, "--json"});
  const Outcome second = RunCli({"settings", file, "--json", "--all"});
  simulator.Stop();

  for (const Outcome *outcome : {&first, &second}) {
    EXPECT_EQ(outcome->code, 1) << outcome->err.toStdString();
    ASSERT_TRUE(outcome->jsonValid) << "standard output: " << outcome->out.toStdString();
    const auto units = Units(outcome->json);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units.at("VRT00001"), std::make_pair(true, QString()));
    EXPECT_EQ(units.at("VRT00002"), std::make_pair(false, QString("Error value - P17")));
    EXPECT_EQ(units.at("VRT00003"), std::make_pair(true, QString()));
    const QJsonObject unit = outcome->json["units"].toArray().first().toObject();
    EXPECT_EQ(unit.keys(), (QStringList{"id", "job", "message", "ok", "seconds", "serial"}));
    EXPECT_EQ(outcome->json["history"].toString(), "kept");
    EXPECT_EQ(unit["job"].toString(), "settings");
    // Progress and the summary went to standard error.
    EXPECT_TRUE(outcome->err.contains("Summary: 2 of 3 units succeeded"));
  }

  const QStringList lines = WriteLines(fields);
  ASSERT_EQ(lines.size(), 27);
  EXPECT_EQ(Strings(simulator.Device("VRT00001")["commandLines"]), lines + lines);
  EXPECT_EQ(Strings(simulator.Device("VRT00003")["commandLines"]), lines + lines)
      << "the never written unit's \"NEW\" answer lets the write go on";
  const QStringList upToP17 = lines.mid(0, lines.indexOf("AT@P17*67\r\n") + 1);
  EXPECT_EQ(Strings(simulator.Device("VRT00002")["commandLines"]), upToP17 + upToP17);
}

TEST(CliOnUnits, ARefusedProfileIsAUsageErrorBeforeAnythingIsSent) {
  Simulator simulator({"--unit", "VRT00001"});
  ASSERT_TRUE(simulator.Serving());
  TempFolder temp;
  QFile file(QString::fromStdString(temp.File("bad.ini")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(QByteArray::fromStdString(
                 settings::ProfileText(settings::ParameterValues(), temp.File("bad.ini")))
                 .replace("P01=", "P01=1"));
  file.close();

  const Outcome outcome = RunCli({"settings", file.fileName(), "--unit", "VRT00001", "--json"});
  simulator.Stop();
  EXPECT_EQ(outcome.code, 2);
  EXPECT_TRUE(outcome.err.contains("P01=")) << outcome.err.toStdString();
  EXPECT_EQ(simulator.Device("VRT00001")["commandLines"].toArray().size(), 0);
  EXPECT_EQ(simulator.Device("VRT00001")["connections"].toInt(), 0);
  ASSERT_TRUE(outcome.jsonValid);
  EXPECT_TRUE(outcome.json["error"].toString().contains("P01=")) << outcome.out.toStdString();
}

TEST(CliProgram, HelpOnEveryCommandAndTheVersionOfItsRecord) {
  for (const QString command : {"", "list", "outputs", "settings", "defaults", "firmware", "record",
                                "send", "history", "summary"}) {
    const Outcome help =
        RunCli(command.isEmpty() ? QStringList{"--help"} : QStringList{"--help", command});
    EXPECT_EQ(help.code, 0) << command.toStdString();
    EXPECT_TRUE(help.out.startsWith("Usage: tolvane-cli " + command.toLatin1()))
        << help.out.toStdString();
  }
  const Outcome version = RunCli({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "tolvane-cli " TOLVANE_VERSION_TEXT "\n");
}

TEST(CliOnUnits, NoUnitAndAnUnconnectedUnit) {
  {
    PrivateRuntimeDir nothing;
    const Outcome none = RunCli({"defaults", "--all"});
    EXPECT_EQ(none.code, 2);
    EXPECT_TRUE(none.err.contains("no unit connected")) << none.err.toStdString();
  }
  Simulator simulator({"--unit", "VRT00001", "--device", "FT5Q2ZK1"});
  ASSERT_TRUE(simulator.Serving());
  // Every FT device in the driver's order, the unit among them; the non-unit is no choice.
  const Outcome list = RunCli({"list", "--json"});
  EXPECT_EQ(list.code, 0);
  ASSERT_TRUE(list.jsonValid) << list.out.toStdString();
  EXPECT_TRUE(list.out.startsWith(R"({"devices": [{"serial": "FT5Q2ZK1", "description": )"
                                  R"("FT232R USB UART", "unit": false, "where": )"))
      << list.out.toStdString();
  EXPECT_EQ(list.json["devices"][1]["serial"].toString(), "VRT00001");
  EXPECT_TRUE(list.json["devices"][1]["unit"].toBool());
  const Outcome outcome = RunCli({"send", "AT@NORM", "--unit", "VRT00001", "--unit", "VRT00404",
                                  "--unit", "VRT00001", "--json"});
  EXPECT_EQ(outcome.code, 1);
  ASSERT_TRUE(outcome.jsonValid) << outcome.out.toStdString();
  const auto units = Units(outcome.json);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units.at("VRT00001"), std::make_pair(true, QString("OK")));
  EXPECT_EQ(units.at("VRT00404"),
            std::make_pair(false, QString("USB device VRT00404 not connected")));
}

TEST(CliOnUnits, ASilentOrUnpluggedUnitFailsAloneAndHoldsNoOtherUp) {
  {
    Simulator simulator({"--unit", "VRT00001", "--unit", "VRT00002", "--no-answer", "DEFAULT"});
    ASSERT_TRUE(simulator.Serving());
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = RunCli({"defaults", "--all", "--json"});
    EXPECT_EQ(outcome.code, 1);
    const auto units = Units(outcome.json);
    ASSERT_EQ(units.size(), 2u) << outcome.out.toStdString();
    EXPECT_EQ(units.at("VRT00001"), std::make_pair(true, QString()));
    EXPECT_EQ(units.at("VRT00002"), std::make_pair(false, QString("no reply")));
    for (const auto entry : outcome.json["units"].toArray()) {
      if (entry.toObject()["serial"] == "VRT00001") {
        EXPECT_LT(entry.toObject()["seconds"].toDouble(), 1.5) << "the silent unit held it up";
      }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  }
  // A download with a real line's timing; one unit is unplugged once both are transferring.
  Simulator simulator({"--unit", "VRT00001", "--unit", "VRT00002"}, false);
  ASSERT_TRUE(simulator.Serving());
  TempFolder temp;
  const QString hex = WriteFirmware(temp, hexfile::FirmwareFile(8 + 4 * 40));
  const QString folder = QString::fromStdString(temp.Folder());
  QProcess program;
  program.setWorkingDirectory(folder);
  program.start(TOLVANE_CLI_PROGRAM, {"firmware", hex, "--all", "--json"});
  ASSERT_TRUE(program.waitForStarted());
  const auto until = std::chrono::steady_clock::now() + 20s;
  auto logSize = [&](const char *serial) {
    return QFileInfo(folder + "/LOG_" + serial + ".TXT").size();
  };
  while ((logSize("VRT00001") < 200 || logSize("VRT00002") < 200) &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(20ms);
  simulator.Command("unplug VRT00002");
  ASSERT_TRUE(program.waitForFinished(60000));
  const Outcome outcome = Parse(program);
  EXPECT_EQ(outcome.code, 1);
  const auto units = Units(outcome.json);
  ASSERT_EQ(units.size(), 2u) << outcome.out.toStdString();
  EXPECT_EQ(
      units.at("VRT00001"),
      std::make_pair(true, QString("Download firmware to Vertiko mate is successfully complete")));
  EXPECT_EQ(units.at("VRT00002"), std::make_pair(false, QString("Error TIMEOUT")));
}

TEST(CliOnUnits, FirmwareLeavesTheSameImageInEveryUnitAndALogPerUnit) {
  Simulator simulator({"--unit", "VRT00001", "--unit", "VRT00002"});
  ASSERT_TRUE(simulator.Serving());
  TempFolder temp;
  const std::string text = hexfile::FirmwareFile(8 + 4 * 20);
  const QString hex = WriteFirmware(temp, text);
  QDir(QString::fromStdString(temp.Folder())).mkdir("logs");
  const QString logs = QString::fromStdString(temp.File("logs"));

  const Outcome outcome = RunCli({"firmware", hex, "--all", "--fast", "--log-dir", logs});
  simulator.Stop();
  EXPECT_EQ(outcome.code, 0) << outcome.out.toStdString() << outcome.err.toStdString();
  EXPECT_TRUE(outcome.out.contains("Summary: 2 of 2 units succeeded"));
  EXPECT_TRUE(outcome.out.contains("Download firmware to Vertiko mate is successfully complete"));

  // The unit's memory as the image says it must be.
  std::map<QString, QString> expected;
  const firmware::Image image = firmware::ReadImage(text, text.size());
  for (const auto &line : image.lines) {
    if (line == firmware::kEndLine) continue;
    const unsigned address = line[0] | (line[1] << 8);
    for (unsigned i = 0; i < 4; ++i)
      expected[QString::asprintf("%04X", address + i)] =
          QString::asprintf("%04X", line[2 + 2 * i] | (line[3 + 2 * i] << 8));
  }
  for (const QString serial : {"VRT00001", "VRT00002"}) {
    std::map<QString, QString> memory;
    const QJsonObject words = simulator.Device(serial)["memory"].toObject();
    for (auto it = words.begin(); it != words.end(); ++it) memory[it.key()] = it->toString();
    EXPECT_EQ(memory, expected) << serial.toStdString();
    QFile log(logs + "/LOG_" + serial + ".TXT");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly)) << log.fileName().toStdString();
    const QByteArray content = log.readAll();
    EXPECT_TRUE(content.contains("POSLAL<=>PRIJAL"));
    EXPECT_TRUE(content.trimmed().contains("========================")) << "the footer";
  }
}

TEST(CliOnUnits, SigtermStopsEveryUnitWhereItStands) {
  // A line with a real unit's timing: the download takes its time.
  Simulator simulator({"--unit", "VRT00001", "--unit", "VRT00002"}, false);
  ASSERT_TRUE(simulator.Serving());
  TempFolder temp;
  const QString hex = WriteFirmware(temp, hexfile::FirmwareFile(8 + 4 * 300));
  const QString folder = QString::fromStdString(temp.Folder());

  QProcess program;
  program.setWorkingDirectory(folder);
  program.start(TOLVANE_CLI_PROGRAM, {"firmware", hex, "--all", "--json"});
  ASSERT_TRUE(program.waitForStarted());
  // Both units are transferring once their logs hold a reply past the heading.
  const auto until = std::chrono::steady_clock::now() + 20s;
  auto transferring = [&](const char *serial) {
    QFile log(folder + "/LOG_" + serial + ".TXT");
    return log.open(QIODevice::ReadOnly) && log.size() > 200;
  };
  while (!(transferring("VRT00001") && transferring("VRT00002")) &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(20ms);
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(10000));
  const Outcome outcome = Parse(program);
  simulator.Stop();

  EXPECT_EQ(outcome.code, 1);
  ASSERT_TRUE(outcome.jsonValid) << outcome.out.toStdString();
  const auto units = Units(outcome.json);
  const QString inLoader(
      "interrupted during the transfer: the unit stays in its loader until a download completes");
  EXPECT_EQ(units.at("VRT00001"), std::make_pair(false, inLoader));
  EXPECT_EQ(units.at("VRT00002"), std::make_pair(false, inLoader));
  // Each unit's record ended interrupted, with the lines sent so far and the log.
  const Outcome history = RunCli({"history", "--json", "--outcome", "interrupted"});
  ASSERT_TRUE(history.jsonValid) << history.out.toStdString();
  ASSERT_EQ(history.json["jobs"].toArray().size(), 2);
  for (const auto entry : history.json["jobs"].toArray()) {
    const QJsonObject job = entry.toObject();
    EXPECT_EQ(job["message"].toString(), inLoader);
    EXPECT_GT(job["details"]["sent"].toInt(), 0);
    EXPECT_FALSE(job["details"].toObject().contains("log")) << "the log only with --log";
    const Outcome log = RunCli({"history", "--log", job["id"].toString()});
    EXPECT_TRUE(log.out.contains("POSLAL<=>PRIJAL")) << log.out.toStdString();
  }
  // The unit answered "Y": the summary names no firmware but the unit's loader.
  QString started;
  for (const auto entry : history.json["jobs"].toArray())
    if (entry.toObject()["unit"] == "VRT00001") started = entry.toObject()["started"].toString();
  const Outcome summary = RunCli({"summary", "--unit", "VRT00001"});
  EXPECT_TRUE(summary.out.contains(
      "\n  firmware: none, the download of " + history::LocalTime(started, true).toUtf8() +
      " ended interrupted: the unit stays in its loader until a download completes\n"))
      << summary.out.toStdString();
  for (const QString serial : {"VRT00001", "VRT00002"}) {
    QFile log(folder + "/LOG_" + serial + ".TXT");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray content = log.readAll();
    EXPECT_TRUE(content.contains("POSLAL<=>PRIJAL")) << "what the log held stays";
    EXPECT_EQ(content.count("========================"), 1) << "the heading's rule, no footer";
    const QJsonArray levels = simulator.Device(serial)["levels"].toArray();
    ASSERT_FALSE(levels.isEmpty());
    EXPECT_TRUE(levels.last().toObject()["rts"].toBool()) << "RTS set at the end";
  }
}

TEST(CliOnUnits, RecordsUnitAfterUnitAndReportsTheRefusingOne) {
  if (!sound::ServerAvailable())
    GTEST_SKIP() << "no PulseAudio server named by PULSE_SERVER (tools/test starts one)";
  Simulator simulator(
      {"--unit", "VRT00001", "--unit", "VRT00002", "--err", "OGRIE", "--unit", "VRT00003"});
  ASSERT_TRUE(simulator.Serving());
  TempFolder temp;
  const std::string message = temp.File("message.wav");
  ASSERT_TRUE(sound::WriteWav(message, sound::Tone(0.5, 440.0, {0.5, 0.5})));

  const Outcome outcome = RunCli({"record", QString::fromStdString(message), "--all", "--json"});
  simulator.Stop();
  EXPECT_EQ(outcome.code, 1) << outcome.err.toStdString();
  const auto units = Units(outcome.json);
  ASSERT_EQ(units.size(), 3u) << outcome.out.toStdString();
  EXPECT_EQ(units.at("VRT00001"), std::make_pair(true, QString()));
  EXPECT_EQ(units.at("VRT00002"), std::make_pair(false, QString("Record impossible")));
  EXPECT_EQ(units.at("VRT00003"), std::make_pair(true, QString()));

  const QJsonArray first = simulator.Device("VRT00001")["recordings"].toArray();
  const QJsonArray third = simulator.Device("VRT00003")["recordings"].toArray();
  ASSERT_EQ(first.size(), 1);
  ASSERT_EQ(third.size(), 1);
  EXPECT_GT(third[0].toObject()["startMs"].toDouble(), first[0].toObject()["stopMs"].toDouble())
      << "one sound output: one unit after the other";
  for (const QString serial : {"VRT00001", "VRT00002", "VRT00003"}) {
    const QJsonObject unit = simulator.Device(serial);
    EXPECT_EQ(Strings(unit["commandLines"]), QStringList{"AT@OGRIE\r\n"}) << serial.toStdString();
    EXPECT_TRUE(unit["levels"].toArray().last().toObject()["rts"].toBool()) << "RTS set at the end";
  }
}

// A recording cut short once RTS was cleared: the unit may hold part of a message, and the
// summary names none.
TEST(CliOnUnits, ARecordingCutShortLeavesTheMessageUnsettled) {
  if (!sound::ServerAvailable())
    GTEST_SKIP() << "no PulseAudio server named by PULSE_SERVER (tools/test starts one)";
  Simulator simulator({"--unit", "VRT00001"});
  ASSERT_TRUE(simulator.Serving());
  TempFolder temp;
  const std::string message = temp.File("message.wav");
  ASSERT_TRUE(sound::WriteWav(message, sound::Tone(5.0, 440.0, {0.5, 0.5})));

  QProcess program;
  program.start(TOLVANE_CLI_PROGRAM, {"record", QString::fromStdString(message), "--all"});
  ASSERT_TRUE(program.waitForStarted());
  // Its progress on standard output.
  QByteArray shown;
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (!shown.contains("recording") && std::chrono::steady_clock::now() < until &&
         program.state() == QProcess::Running) {
    program.waitForReadyRead(50);
    shown += program.readAllStandardOutput();
  }
  ASSERT_TRUE(shown.contains("recording")) << shown.toStdString();
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(10000));
  simulator.Stop();

  const Outcome summary = RunCli({"summary", "--json"});
  ASSERT_TRUE(summary.jsonValid) << summary.out.toStdString();
  const QJsonObject unit = summary.json["units"][0].toObject();
  EXPECT_TRUE(unit["message"].isNull());
  EXPECT_EQ(unit["unsettled"].toObject().keys(), QStringList{"message"});
  EXPECT_EQ(unit["unsettled"]["message"]["outcome"].toString(), "interrupted");
  const Outcome text = RunCli({"summary"});
  EXPECT_TRUE(
      text.out.contains(" ended interrupted: the unit may hold part of a message until a "
                        "recording completes\n"))
      << text.out.toStdString();
}

TEST(CliOnUnits, ADamagedFirmwareFileIsRefusedBeforeAnyUnitIsOpened) {
  Simulator simulator({"--unit", "VRT00001"});
  TempFolder temp;
  WriteFirmware(temp, hexfile::Text({":0800100001ZZ030405060708FF", hexfile::EndOfFile()}));
  const Outcome outcome = RunCli({"firmware", "app.hex", "--unit", "VRT00001", "--json"},
                                 QString::fromStdString(temp.Folder()));
  simulator.Stop();
  const QString refusal("app.hex, line 1: the character \"Z\" at column 12 is not a hex digit");
  EXPECT_EQ(outcome.code, 2);
  EXPECT_EQ(outcome.err, "tolvane-cli: " + refusal.toUtf8() + "\n") << "no pointer to the help";
  EXPECT_EQ(outcome.json["error"].toString(), refusal);
  EXPECT_EQ(simulator.Device("VRT00001")["connections"].toInt(), 0);
}

TEST(CliProgram, ExitStatusesAsAUnixTool) {
  Simulator simulator({"--unit", "VRT00001", "--unit", "VRT00002"});
  TempFolder temp;
  const QString folder = QString::fromStdString(temp.Folder());
  const QString hex = WriteFirmware(temp, hexfile::FirmwareFile(8 + 4 * 20));
  auto completed = [&] {  // the last download's logs, each ending on the unit's "Z"
    QFile first(folder + "/LOG_VRT00001.TXT"), second(folder + "/LOG_VRT00002.TXT");
    return first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly) &&
           (first.readAll() + second.readAll()).count("FF<=>Z\r\n=====") == 2;
  };
  const Outcome unknown = RunCli({"send", "AT@NORM", "--all", "--json", "--quick"});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_EQ(unknown.json["error"].toString(), "Unknown option 'quick'.");
  EXPECT_TRUE(unknown.err.contains("Try 'tolvane-cli --help'."));
  // The reader of standard output goes away after the first line: every unit completes.
  EXPECT_EQ(RunInShell(R"("$cli" "$@" | head -1 >/dev/null; exit ${PIPESTATUS[0]})",
                       {"firmware", hex, "--all"}, folder)
                .code,
            1);
  EXPECT_TRUE(completed());
  EXPECT_EQ(RunInShell(R"("$cli" "$@" >&-)", {"send", "AT@NORM", "--all"}, folder).code, 1);
  // Started with SIGHUP ignored, as nohup does: a SIGHUP changes nothing.
  QFile::remove(folder + "/LOG_VRT00002.TXT");
  QProcess nohup;
  nohup.setWorkingDirectory(folder);
  nohup.start("nohup", {TOLVANE_CLI_PROGRAM, "firmware", hex, "--all"});
  for (int i = 0; i < 1000 && QFileInfo(folder + "/LOG_VRT00002.TXT").size() < 200; ++i)
    std::this_thread::sleep_for(20ms);
  kill(static_cast<pid_t>(nohup.processId()), SIGHUP);
  nohup.waitForFinished(60000);
  EXPECT_EQ(Parse(nohup).code, 0);
  EXPECT_TRUE(completed());
}

TEST(CliProgram, SigtermWhileTheFileIsReadEndsWithStatusOne) {
  TempFolder temp;
  const std::string fifo = temp.File("slow.hex");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  QProcess program;
  program.start(TOLVANE_CLI_PROGRAM,
                {"firmware", QString::fromStdString(fifo), "--unit", "VRT00001", "--json"});
  // The program reads the file once a writer can open it without waiting.
  int writer = -1;
  for (int i = 0; i < 1000 && (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0; ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(write(writer, ":10001000", 9), 9);
  program.terminate();
  program.waitForFinished(10000);
  close(writer);
  const Outcome outcome = Parse(program);
  EXPECT_EQ(outcome.code, 1) << "not 143";
  EXPECT_EQ(outcome.json["error"].toString(), "interrupted");
}

TEST(CliOnUnits, SendGathersASplitReplyAndFailsOnErr) {
  Simulator simulator(
      {"--new-unit", "VRT00001", "--split", "5,400,NORM", "--unit", "VRT00002", "--err", "NORM"});
  const Outcome outcome = RunCli({"send", "AT@NORM", "--all", "--json"});
  EXPECT_EQ(outcome.code, 1);
  const auto units = Units(outcome.json);
  ASSERT_EQ(units.size(), 2u) << outcome.out.toStdString();
  EXPECT_EQ(units.at("VRT00001"), std::make_pair(true, QString("NEW\nOK")));
  EXPECT_EQ(units.at("VRT00002"), std::make_pair(false, QString("ERR")));
}

// A unit that rings without pause and never answers: the reply ends 5 s after the line, failed,
// and so does its record.
TEST(CliOnUnits, SendToAUnitThatTalksWithoutPauseEndsWithinFiveSeconds) {
  Simulator simulator({"--unit", "VRT00001", "--no-answer", "NORM", "--unsolicited", "RING,200"});
  TempFolder temp;
  const QString history = QString::fromStdString(temp.File("history.sqlite"));
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome =
      RunCli({"send", "AT@NORM", "--unit", "VRT00001", "--json", "--history", history});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 7s);
  EXPECT_EQ(outcome.code, 1);
  EXPECT_EQ(Units(outcome.json).at("VRT00001"),
            std::make_pair(false, QString("no end of the reply within 5 s")));
  EXPECT_LT(outcome.json["units"].toArray()[0].toObject()["seconds"].toDouble(), 5.5);
  const Outcome read = RunCli({"history", "--json", "--history", history});
  const QJsonObject job = read.json["jobs"].toArray()[0].toObject();
  EXPECT_EQ(job["outcome"].toString(), "failed") << read.out.toStdString();
  EXPECT_TRUE(job["details"]["replies"].toString().startsWith("RING\r\n"))
      << read.out.toStdString();
}

TEST(CliOnUnits, RecordWithoutASoundOutputIsAUsageErrorBeforeAnythingIsSent) {
  Simulator simulator({"--unit", "VRT00001"});
  TempFolder temp;
  const std::string message = temp.File("message.wav");
  ASSERT_TRUE(sound::WriteWav(message, sound::Tone(0.5, 440.0, {0.5, 0.5})));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("PULSE_SERVER", "unix:" + QString::fromStdString(temp.File("no-server")));
  const Outcome outcome =
      RunCli({"record", QString::fromStdString(message), "--unit", "VRT00001"}, {}, environment);
  simulator.Stop();
  EXPECT_EQ(outcome.code, 2);
  EXPECT_TRUE(outcome.err.contains("no sound output")) << outcome.err.toStdString();
  EXPECT_EQ(simulator.Device("VRT00001")["connections"].toInt(), 0);
}

}  // namespace

// The history's records of every unit's job, as `history` and `summary` read them back.
TEST(CliHistory, EveryUnitsJobIsRecordedAndReadBack) {
  Simulator simulator({"--unit", "VRT00001", "--unit", "VRT00002", "--err", "P17"});
  ASSERT_TRUE(simulator.Serving());
  TempFolder temp;
  settings::ParameterValues fields;
  fields["P17"] = "*67";
  const std::string profile = temp.File("bench.ini");
  settings::WriteProfile(profile, fields);
  const QString hex = WriteFirmware(temp, hexfile::FirmwareFile(8 + 4 * 20));
  const QString folder = QString::fromStdString(temp.Folder());

  const Outcome settings = RunCli({"settings", QString::fromStdString(profile), "--all", "--json"});
  const Outcome firmware =
      RunCli({"firmware", hex, "--unit", "VRT00001", "--unit", "VRT00404", "--json"}, folder);
  simulator.Stop();
  ASSERT_TRUE(settings.jsonValid && firmware.jsonValid) << settings.out.toStdString();
  EXPECT_EQ(firmware.json["history"].toString(), "kept");

  const Outcome history = RunCli({"history", "--json"});
  EXPECT_EQ(history.code, 0) << history.err.toStdString();
  ASSERT_TRUE(history.jsonValid) << history.out.toStdString();
  const QJsonArray jobs = history.json["jobs"].toArray();
  ASSERT_EQ(jobs.size(), 4);
  EXPECT_TRUE(history.out.startsWith(R"({"jobs": [{"id": ")")) << history.out.toStdString();
  std::map<QString, QJsonObject> byId;
  for (const auto job : jobs) byId[job.toObject()["id"].toString()] = job.toObject();
  for (const Outcome *report : {&settings, &firmware})
    for (const auto unit : report->json["units"].toArray())
      EXPECT_TRUE(byId.count(unit.toObject()["id"].toString()))
          << "the report's id is the record's";
  // Newest first: the firmware jobs, then the settings.
  EXPECT_EQ(jobs[0]["job"].toString(), "firmware");
  EXPECT_EQ(jobs[3]["job"].toString(), "settings");
  const QString sha = history::FileSha256(hex);
  EXPECT_EQ(sha.size(), 64);
  for (const auto entry : jobs) {
    const QJsonObject job = entry.toObject();
    EXPECT_EQ(job["id"].toString().size(), 36);
    EXPECT_TRUE(job["started"].toString().endsWith('Z'));
    EXPECT_TRUE(job["program"].toString().startsWith("tolvane-cli " TOLVANE_VERSION_TEXT));
    const QString unit = job["unit"].toString();
    if (job["job"] == "settings") {
      EXPECT_EQ(job["details"]["values"].toObject().size(), 26);
      EXPECT_EQ(job["details"]["values"]["P17"].toString(), "*67");
      EXPECT_EQ(job["details"]["profile"].toString(), QString::fromStdString(profile));
      EXPECT_EQ(job["outcome"].toString(), unit == "VRT00002" ? "failed" : "ok");
      EXPECT_EQ(job["message"].toString(), unit == "VRT00002" ? "Error value - P17" : "");
    } else if (unit == "VRT00404") {
      EXPECT_EQ(job["outcome"].toString(), "failed");
      EXPECT_EQ(job["message"].toString(), "USB device VRT00404 not connected");
    } else {
      EXPECT_EQ(job["outcome"].toString(), "ok");
      EXPECT_EQ(job["details"]["sha256"].toString(), sha);
      EXPECT_EQ(job["details"]["file"].toString(), hex);
      EXPECT_EQ(job["details"]["sent"].toInt(), job["details"]["lines"].toInt());
    }
  }

  const Outcome summary = RunCli({"summary", "--json", "--unit", "VRT00001", "--unit", "VRT00002"});
  EXPECT_EQ(summary.code, 0);
  ASSERT_TRUE(summary.jsonValid) << summary.out.toStdString();
  const QJsonArray units = summary.json["units"].toArray();
  ASSERT_EQ(units.size(), 2);
  EXPECT_EQ(units[0]["firmware"]["sha256"].toString(), sha);
  EXPECT_EQ(units[0]["parameters"]["values"]["P17"].toString(), "*67");
  EXPECT_TRUE(units[1]["firmware"].isNull());
  EXPECT_TRUE(units[1]["parameters"].isNull()) << "its write was refused";
  // Refused at P17 after the lines before it were taken: the unit holds part of the profile.
  EXPECT_FALSE(units[0].toObject().contains("unsettled"));
  EXPECT_EQ(units[1]["unsettled"].toObject().keys(), QStringList{"parameters"});
  EXPECT_EQ(units[1]["unsettled"]["parameters"]["outcome"].toString(), "failed");
  EXPECT_EQ(units[1]["unsettled"]["parameters"]["message"].toString(), "Error value - P17");
  const QString refusedId = settings.json["units"].toArray()[1].toObject()["id"].toString();
  EXPECT_EQ(units[1]["last"].toString(), byId[refusedId]["started"].toString());

  const Outcome csv = RunCli({"history", "--csv", "--unit", "VRT00002"});
  const QList<QByteArray> rows = csv.out.split('\n');
  ASSERT_EQ(rows.size(), 3) << csv.out.toStdString();
  EXPECT_EQ(rows[0],
            "id,unit,job,started,ended,outcome,message,station,operator,program,details\r");
  EXPECT_TRUE(rows[1].contains(",VRT00002,settings,")) << rows[1].toStdString();
  EXPECT_TRUE(rows[1].endsWith("}\"\r"));
}

TEST(CliHistory, AFileThatIsNoHistoryIsLeftAsItWasAndTheJobsRunOn) {
  Simulator simulator({"--unit", "VRT00001"});
  ASSERT_TRUE(simulator.Serving());
  TempFolder temp;
  const QString notes = QString::fromStdString(temp.File("notes.txt"));
  QFile file(notes);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("not a history\n");
  file.close();
  const QString folder = QString::fromStdString(temp.Folder());

  for (const QString &place : {notes, folder}) {
    const Outcome outcome =
        RunCli({"send", "AT@NORM", "--unit", "VRT00001", "--json", "--history", place});
    EXPECT_EQ(outcome.code, 0) << outcome.err.toStdString();
    ASSERT_TRUE(outcome.jsonValid);
    EXPECT_EQ(Units(outcome.json).at("VRT00001"), std::make_pair(true, QString("OK")));
    EXPECT_TRUE(outcome.json["history"].toString().startsWith("not kept: " + place))
        << outcome.out.toStdString();
    EXPECT_EQ(outcome.err.count("history not kept"), 1) << outcome.err.toStdString();
    EXPECT_EQ(RunCli({"history", "--history", place}).code, 1);
  }
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), "not a history\n");
  const Outcome off =
      RunCli({"send", "AT@NORM", "--unit", "VRT00001", "--json", "--history", "none"});
  EXPECT_EQ(off.json["history"].toString(), "off");
  EXPECT_TRUE(off.json["units"].toArray()[0].toObject()["id"].isString());
  simulator.Stop();
}

TEST(CliHistory, UsageAndReadingAnEmptyHistory) {
  EXPECT_EQ(RunCli({"history", "--all"}).code, 2);
  EXPECT_EQ(RunCli({"history", "--since", "yesterday"}).code, 2);
  EXPECT_EQ(RunCli({"history", "--job", "dance"}).code, 2);
  EXPECT_EQ(RunCli({"summary", "--check"}).code, 2);
  EXPECT_EQ(RunCli({"history", "--history", "none"}).code, 1);
  const Outcome empty = RunCli({"history", "--json", "--since", "2026-12-01T10:00+01:00"});
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.out, "{\"jobs\": [], \"history\": \"kept\"}\n");
  EXPECT_EQ(RunCli({"summary", "--json"}).out, "{\"units\": [], \"history\": \"kept\"}\n");
}

// `--log` by the id or its start, as text or JSON; a job without a log and a start that fits
// two ids; the table in local time with the zone in its header, as wide as a long serial.
TEST(CliHistory, LogByIdOrItsStartAndTheTableInLocalTime) {
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("h.sqlite"));
  const auto record = [](const QString &id, const QString &unit, const QString &job,
                         const QByteArray &details) {
    return history::JobRecord{id,     unit,          job,    "2026-07-08T11:41:25.298Z",
                              {},     "ok",          "",     "bench",
                              "tech", "tolvane-cli", details};
  };
  const QString download = "0a1b2c3d-0000-4000-8000-000000000001";
  {
    history::Store store;
    ASSERT_TRUE(store.Open(file, history::Store::Mode::Write));
    ASSERT_TRUE(store.Write(
        {record(download, "VRT00001", "firmware", R"({"log":"P\r\n\u00ff","sent":2})"),
         record("feedbead-0000-4000-8000-000000000002", "VRT0000000000000042", "send",
                R"({"line":"AT@NORM","replies":"OK\r\n"})"),
         record("feedbead-1111-4000-8000-000000000003", "VRT00002", "defaults", "{}")}));
  }
  const auto cli = [&](QStringList arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", "Europe/Oslo");
    return RunCli(arguments << "--history" << file, {}, environment);
  };
  const Outcome json = cli({"history", "--log", download.left(8).toUpper(), "--json"});
  EXPECT_EQ(json.code, 0) << json.err.toStdString();
  EXPECT_EQ(json.out, "{\"id\": \"" + download.toUtf8() + "\", \"log\": \"P\\r\\n\u00ff\"}\n");
  const Outcome text = cli({"history", "--log", download});
  EXPECT_EQ(text.out, "P\r\n\xff");
  const Outcome none = cli({"history", "--log", "feedbead-0000"});
  EXPECT_EQ(none.code, 1);
  EXPECT_EQ(
      none.err,
      "tolvane-cli: the job feedbead-0000-4000-8000-000000000002 (send) has no transfer log\n");
  const Outcome both = cli({"history", "--log", "feedbead"});
  EXPECT_EQ(both.code, 1);
  EXPECT_EQ(both.err,
            "tolvane-cli: more than one job's id begins with feedbead; give more of it\n");
  EXPECT_EQ(cli({"history", "--log", "0a1b2c3"}).code, 1) << "fewer than 8 characters";

  const QStringList table = QString::fromUtf8(cli({"history"}).out).split('\n');
  ASSERT_GE(table.size(), 3);
  EXPECT_TRUE(table[0].contains("started (Europe/Oslo)")) << table[0].toStdString();
  EXPECT_TRUE(table[1].contains("VRT0000000000000042  send") &&
              table[1].contains("  2026-07-08 13:41:25  "))
      << table[1].toStdString();
}

TEST(CliHistory, AReaderThatGoesAwayStopsTheReadingAtOnceAndQuietly) {
  TempFolder temp;
  const QString file = QString::fromStdString(temp.File("h.sqlite"));
  {
    history::Store store;
    ASSERT_TRUE(store.Open(file, history::Store::Mode::Write));
  }
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "fill");
    db.setDatabaseName(file);
    ASSERT_TRUE(db.open());
    QSqlQuery fill(db);
    ASSERT_TRUE(fill.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300000) "
        "INSERT INTO jobs SELECT printf('%08x-0000-4000-8000-000000000000', i), 'VRT' || (i % "
        "100), 'send', strftime('%Y-%m-%dT%H:%M:%fZ', 1764547200 + i, 'unixepoch'), NULL, 'ok', "
        "'', 'bench', 'tech', 'tolvane-cli', '{}' FROM n"));
  }
  QSqlDatabase::removeDatabase("fill");
  QElapsedTimer timer;
  timer.start();
  const Outcome whole = RunInShell("\"$cli\" history --csv --history \"$1\" | wc -l", {file},
                                   QString::fromStdString(temp.Folder()));
  const qint64 wholeMs = timer.elapsed();
  EXPECT_EQ(whole.out.trimmed(), "300001");
  timer.restart();
  const Outcome cut = RunInShell(
      "\"$cli\" history --csv --history \"$1\" | head -2; echo \"status ${PIPESTATUS[0]}\"", {file},
      QString::fromStdString(temp.Folder()));
  const qint64 cutMs = timer.elapsed();
  EXPECT_EQ(cut.out.count('\n'), 3) << cut.out.toStdString();
  EXPECT_TRUE(cut.out.endsWith("status 1\n")) << cut.out.toStdString();
  EXPECT_EQ(cut.err, "") << "no error spew";
  EXPECT_LT(cutMs * 3, wholeMs) << "stopped at once: " << cutMs << " ms against " << wholeMs;
}

namespace {

// A bench of its own: HOME, XDG_DATA_HOME and so its history file in a folder of its own.
QProcessEnvironment Bench(const TempFolder &home) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("HOME", QString::fromStdString(home.Folder()));
  environment.insert("XDG_DATA_HOME", QString::fromStdString(home.File("data")));
  return environment;
}

QStringList Ids(const QJsonArray &jobs) {
  QStringList ids;
  for (const auto job : jobs) ids << job.toObject()["id"].toString();
  ids.sort();
  return ids;
}

#define START_SERVER(server)                                                     \
  PrivatePostgres server;                                                        \
  ASSERT_TRUE(server.Ready() && server.Start()) << server.Error().toStdString(); \
  ASSERT_EQ(RunCli({"server-init", server.Url()}).code, 0)

}  // namespace

TEST(CliSharedHistory, TwoBenchesSeeEachOthersJobsOnceFromEither) {
  START_SERVER(server);
  Simulator simulator({"--unit", "VRT00001", "--unit", "VRT00002", "--unit", "VRT00003"});
  ASSERT_TRUE(simulator.Serving());
  TempFolder a, b;
  const Outcome first = RunCli({"send", "AT@NORM", "--unit", "VRT00001", "--unit", "VRT00002",
                                "--json", "--server", server.Url()},
                               {}, Bench(a));
  const Outcome second =
      RunCli({"defaults", "--unit", "VRT00003", "--json", "--server", server.Url()}, {}, Bench(b));
  simulator.Stop();
  ASSERT_TRUE(first.jsonValid && second.jsonValid) << first.err.toStdString();
  EXPECT_EQ(first.json["history"].toString(), "shared") << first.err.toStdString();
  EXPECT_EQ(second.json["history"].toString(), "shared") << second.err.toStdString();
  QStringList reported;
  for (const Outcome *run : {&first, &second})
    for (const auto unit : run->json["units"].toArray())
      reported << unit.toObject()["id"].toString();
  reported.sort();

  for (const TempFolder *bench : {&a, &b}) {
    const Outcome read = RunCli({"history", "--json", "--server", server.Url()}, {}, Bench(*bench));
    EXPECT_EQ(read.code, 0) << read.err.toStdString();
    EXPECT_EQ(Ids(read.json["jobs"].toArray()), reported) << read.out.toStdString();
    const Outcome summary =
        RunCli({"summary", "--json", "--server", server.Url()}, {}, Bench(*bench));
    EXPECT_EQ(summary.json["units"].toArray().size(), 3) << summary.out.toStdString();
  }
  EXPECT_EQ(server.Value("SELECT count(DISTINCT id) FROM jobs WHERE outcome = 'ok'"), "3");
  // A URL holding a password is refused before anything is done, naming the password file.
  const QString secret = QString(server.Url()).replace("postgres@", "postgres:secret@");
  const Outcome refused = RunCli({"history", "--server", secret}, {}, Bench(a));
  EXPECT_EQ(refused.code, 2);
  EXPECT_TRUE(refused.err.contains("password file")) << refused.err.toStdString();
}

TEST(CliSharedHistory, AServerStoppedMidBatchEndsWithEveryRecordOnceWhenItIsBack) {
  START_SERVER(server);
  const QStringList serials = {"VRT00001", "VRT00002", "VRT00003", "VRT00004"};
  QStringList units;
  for (const QString &serial : serials) units << "--unit" << serial;
  Simulator simulator(units, false);
  ASSERT_TRUE(simulator.Serving());
  TempFolder bench, temp;
  const QString hex = WriteFirmware(temp, hexfile::FirmwareFile(8 + 4 * 300));

  // The server stops (immediate) once the batch's first records are there.
  QProcess batch;
  batch.setProcessEnvironment(Bench(bench));
  batch.start(TOLVANE_CLI_PROGRAM,
              QStringList{"firmware", hex, "--json", "--server", server.Url()} + units);
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return server.Value("SELECT count(*) FROM jobs") == "4"; }, 20000));
  ASSERT_TRUE(server.Stop(true));
  ASSERT_TRUE(batch.waitForFinished(60000));
  const Outcome cut = Parse(batch);
  EXPECT_EQ(cut.code, 0) << cut.err.toStdString();
  EXPECT_TRUE(cut.json["history"].toString().startsWith("waiting for the server: "))
      << cut.out.toStdString();
  EXPECT_EQ(cut.err.count("waiting for the server"), 1) << cut.err.toStdString();
  // The bench's file holds them all; they still read from it, which says so.
  const Outcome local = RunCli({"history", "--json", "--server", server.Url()}, {}, Bench(bench));
  EXPECT_EQ(local.json["jobs"].toArray().size(), 4);
  EXPECT_TRUE(local.err.contains("this bench's history only")) << local.err.toStdString();

  // Started again: the next run takes the waiting records there.
  ASSERT_TRUE(server.Start());
  const Outcome next =
      RunCli({"send", "AT@NORM", "--unit", "VRT00001", "--json", "--server", server.Url()}, {},
             Bench(bench));
  simulator.Stop();
  EXPECT_EQ(next.json["history"].toString(), "shared") << next.err.toStdString();
  EXPECT_EQ(server.Value("SELECT count(*) FROM jobs"), "5");
  EXPECT_EQ(server.Value("SELECT count(*) FROM jobs WHERE job = 'firmware' AND outcome = 'ok'"),
            "4");
  const Outcome shared = RunCli({"history", "--json", "--server", server.Url()}, {}, Bench(bench));
  const Outcome file = RunCli({"history", "--json"}, {}, Bench(bench));
  EXPECT_EQ(Ids(shared.json["jobs"].toArray()), Ids(file.json["jobs"].toArray()));
}

// One bench: 8 tolvane-cli at once on one history file, round after round, with the workshop's
// server and without, beside a window's process (its writer and sender, and a reader held open).
TEST(CliSharedHistory, EightProgramsAndAWindowAtOnceLeaveASoundFileAndEveryRecordOnce) {
  START_SERVER(server);
  QStringList units;
  for (int i = 1; i <= 8; ++i) units << "--unit" << QString("VRT%1").arg(i, 5, 10, QChar('0'));
  Simulator simulator(units);
  ASSERT_TRUE(simulator.Serving());
  TempFolder bench;
  const QString file = QString::fromStdString(bench.File("data/Tolvane/history.sqlite"));
  history::Journal window("tolvane", file, "");  // VERT.ini's server: it also takes the others
  window.SetServer(server.Url(), 50ms, true);
  window.Start();
  history::Store reader;
  QStringList ids;
  for (int round = 0; round < 4; ++round) {
    std::vector<std::unique_ptr<QProcess>> programs;
    for (int i = 1; i < units.size(); i += 2) {
      programs.push_back(std::make_unique<QProcess>());
      programs.back()->setProcessEnvironment(Bench(bench));
      programs.back()->start(
          TOLVANE_CLI_PROGRAM,
          QStringList{"send", "AT@NORM", "--unit", units[i], "--json"} +
              (round < 3 ? QStringList{"--server", server.Url()} : QStringList{}));
    }
    history::JobEntry entry;
    entry.Start(&window, "VRT00009", history::JobKind::Send, {});
    entry.End(history::Outcome::Ok, "OK");
    ids << entry.Id();
    for (auto &program : programs) {
      ASSERT_TRUE(program->waitForFinished(60000));
      const Outcome run = Parse(*program);
      EXPECT_EQ(run.json["history"].toString(), round < 3 ? "shared" : "kept") << run.err.data();
      ids << run.json["units"].toArray()[0].toObject()["id"].toString();
    }
    ASSERT_TRUE(window.Flush());
    if (round == 0) {
      EXPECT_TRUE(reader.Open(file, history::Store::Mode::Read));
    }
    EXPECT_EQ(reader.Count({}), (round + 1) * 9) << reader.Error().toStdString();
  }
  EXPECT_TRUE(window.FlushServer(10s)) << window.ServerState().toStdString();
  simulator.Stop();
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
    db.setDatabaseName(file);
    QSqlQuery q(db.open() ? db : QSqlDatabase());
    EXPECT_TRUE(q.exec("PRAGMA integrity_check") && q.next() && q.value(0).toString() == "ok");
  }
  QSqlDatabase::removeDatabase("check");
  ids.sort();
  history::JobQuery ok;
  ok.outcome = "ok";
  QStringList inFile;
  for (const auto &record : reader.Jobs(ok)) inFile << record.id;
  inFile.sort();
  EXPECT_EQ(inFile.join(' ').toStdString(), ids.join(' ').toStdString());
  EXPECT_EQ(server.Value("SELECT string_agg(id, ' ' ORDER BY id) FROM jobs WHERE outcome = 'ok'"),
            ids.join(' '));
  EXPECT_EQ(server.Value("SELECT count(*) FROM jobs"), QString::number(ids.size()));
}

// A run against another database takes only its own records there; the workshop's wait for it,
// and reading the workshop's history sends them first.
TEST(CliSharedHistory, AScratchServerForOneRunLeavesTheWorkshopsRecordsWaiting) {
  START_SERVER(server);
  ASSERT_TRUE(server.Sql("CREATE DATABASE workshop").ok);
  const QString workshop = QString(server.Url()).replace("/tolvane", "/workshop");
  Simulator simulator({"--unit", "VRT00001"});
  ASSERT_TRUE(simulator.Serving());
  TempFolder bench;
  // The workshop's tables are not made yet: its record waits.
  const Outcome waits = RunCli(
      {"send", "AT@NORM", "--unit", "VRT00001", "--json", "--server", workshop}, {}, Bench(bench));
  EXPECT_TRUE(waits.json["history"].toString().startsWith("waiting for the server"));
  const Outcome scratch =
      RunCli({"send", "AT@NORM", "--unit", "VRT00001", "--json", "--server", server.Url()}, {},
             Bench(bench));
  simulator.Stop();
  EXPECT_EQ(scratch.json["history"].toString(), "shared") << scratch.err.toStdString();
  EXPECT_EQ(server.Value("SELECT string_agg(id, ',') FROM jobs"),
            scratch.json["units"].toArray()[0].toObject()["id"].toString());

  ASSERT_EQ(RunCli({"server-init", workshop}).code, 0);
  const Outcome read = RunCli({"history", "--json", "--server", workshop}, {}, Bench(bench));
  EXPECT_EQ(read.json["history"].toString(), "shared") << read.err.toStdString();
  ASSERT_EQ(read.json["jobs"].toArray().size(), 1);
  EXPECT_EQ(read.json["jobs"].toArray()[0].toObject()["id"],
            waits.json["units"].toArray()[0].toObject()["id"]);
  const Outcome bare = RunCli({"history", "--json"}, {}, Bench(bench));
  EXPECT_EQ(bare.json["jobs"].toArray().size(), 2);
  EXPECT_EQ(server.Value("SELECT count(*) FROM jobs"), "1");
}

TEST(CliSharedHistory, NothingIsLeftInTheTemporaryFolderNotEvenAfterSigterm) {
  START_SERVER(server);
  const auto made = server.Sql(
      "INSERT INTO jobs (id, unit, job, started, ended, outcome, message, station, "
      "\"operator\", program, details) SELECT lpad(to_hex(i), 8, '0') || "
      "'-0000-4000-8000-000000000000', 'VRT00001', 'firmware', now() - i * interval '1 s', now(), "
      "'ok', '', 'bench', 'tech', 'tolvane', jsonb_build_object('log', repeat('w', 4000)) FROM "
      "generate_series(1, 20000) AS i");
  ASSERT_TRUE(made.ok) << made.error.toStdString();
  TempFolder home, tmp;
  QProcessEnvironment environment = Bench(home);
  environment.insert("TMPDIR", QString::fromStdString(tmp.Folder()));
  const Outcome log =
      RunCli({"history", "--log", "00000001", "--server", server.Url()}, {}, environment);
  EXPECT_EQ(log.code, 0) << log.err.toStdString();
  EXPECT_EQ(log.out, QByteArray(4000, 'w'));
  // A reading stopped by SIGTERM while its reader takes nothing.
  QProcess held;
  held.setProcessEnvironment(environment);
  held.start(TOLVANE_CLI_PROGRAM, {"history", "--json", "--server", server.Url()});
  ASSERT_TRUE(held.waitForStarted());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill(static_cast<pid_t>(held.processId()), SIGTERM);
  ASSERT_TRUE(held.waitForFinished(10000));
  EXPECT_EQ(QDir(QString::fromStdString(tmp.Folder()))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList());
}
