// The same job with the same fault, run from its window and from tolvane-cli against emulated units
// served in this process, leaves the same record: outcome, message and the keys of its details.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>

#include "cli/cli.h"
#include "console/console_window.h"
#include "firmware/download.h"
#include "firmware/firmware_window.h"
#include "firmware/image_reader.h"
#include "history/journal.h"
#include "history/store.h"
#include "link/link.h"
#include "session/shared_state.h"
#include "settings/profile.h"
#include "settings/settings_window.h"
#include "sim/in_process.h"
#include "tests/firmware/hex_records.h"
#include "tests/support/modal_script.h"
#include "tests/support/temp_folder.h"

using namespace std::chrono_literals;

namespace {

constexpr char kWindowUnit[] = "VRT00061";
constexpr char kCliUnit[] = "VRT00062";
// A firmware image of this many program words: about 30 lines.
constexpr unsigned kWords = 0x80;

// Breaks the transfer log once it holds more than `after` bytes: every write to a file fails for
// 50 ms, while nothing but the log is written.
class LogBreaker {
 public:
  LogBreaker(QString log, qint64 after) : log_(std::move(log)), after_(after) {
    timer_.setInterval(1);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }
  ~LogBreaker() { Lift(); }

 private:
  void Poll() {
    if (broken_) {
      if (std::chrono::steady_clock::now() - since_ > 50ms) {
        Lift();
        timer_.stop();
      }
      return;
    }
    const qint64 size = QFileInfo(log_).size();
    if (size <= after_) return;
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(size);
    setrlimit(RLIMIT_FSIZE, &lowered);
    broken_ = true;
    since_ = std::chrono::steady_clock::now();
  }
  void Lift() {
    if (!broken_) return;
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
    broken_ = false;
  }

  QString log_;
  qint64 after_;
  QTimer timer_;
  bool broken_ = false;
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
  std::chrono::steady_clock::time_point since_;
};

// What a job left: its one record, or the refusal that stopped it before it had one.
struct Left {
  std::optional<history::JobRecord> record;
  QString refusal;
};

QStringList DetailKeys(const history::JobRecord &record) {
  return QJsonDocument::fromJson(record.details).object().keys();
}

struct Case {
  const char *name;
  history::JobKind kind;
  sim::UnitOptions unit;
  bool inLoader = false;        // the unit waits in its loader when the job starts
  bool breakLog = false;        // the transfer log cannot be written during the transfer
  bool noEndLine = false;       // the firmware file has no record at byte address 0x3000 or above
  bool refusedEndLine = false;  // the loader answers "E" to the end line's last byte
  history::Outcome outcome;
  std::string message;  // the record's message, or the end of the refusal; "": as the window's
};

void PrintTo(const Case &c, std::ostream *out) {
  *out << c.name;
}

sim::UnitOptions Err(const char *word) {
  return {.lineFaults = {{.kind = sim::LineFault::Kind::Err, .word = word}}};
}

class JobParity : public ::testing::TestWithParam<Case> {
 protected:
  JobParity() {
    sim::UnitOptions options = GetParam().unit;
    if (GetParam().refusedEndLine) {
      const std::string text = hexfile::FirmwareFile(kWords);
      const int lines = firmware::ReadImage(text, text.size()).LineCount();
      options.loaderFaults = {{sim::LoaderFault::Kind::E, lines, 10}};
    }
    options.serial = kWindowUnit;
    windowUnit_ = &units_.Add(options);
    options.serial = kCliUnit;
    cliUnit_ = &units_.Add(options);
    if (GetParam().inLoader)
      for (sim::Unit *unit : {windowUnit_, cliUnit_}) {
        unit->Receive(firmware::kStartCommand);
        unit->Receive("w");
      }
    const std::string firmware =
        GetParam().noEndLine
            ? hexfile::Text({hexfile::Data(0x10, hexfile::Seq(1, 16)), hexfile::EndOfFile()})
            : hexfile::FirmwareFile(kWords);
    QFile file(QString::fromStdString(files_.File("app.hex")));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(firmware.data(), static_cast<qint64>(firmware.size()));
    settings::WriteProfile(files_.File("bench.ini"), settings::ParameterValues());
  }

  // The job from its window, on a port opened as "Select device" opens it.
  Left FromWindow() {
    const QString historyFile = QString::fromStdString(files_.File("window.sqlite"));
    history::Journal journal("tolvane", historyFile, "bench");
    journal.Start();
    SharedState state(program_.Folder());
    state.SerialList[0] = kWindowUnit;
    state.UnitCount = 1;
    state.DeviceChosen = true;
    state.Port = std::make_unique<TFT232>(kWindowUnit);
    ConfigurePort(*state.Port);
    ModalScript answerer(ModalScript::kAnswerBoxes);
    std::unique_ptr<QDialog> window;
    std::unique_ptr<LogBreaker> breaker;
    switch (GetParam().kind) {
      case history::JobKind::Settings:
      case history::JobKind::Defaults: {
        auto *form = new TForm6(state);
        window.reset(form);
        form->History = &journal;
        form->show();
        Child<QPushButton>(form,
                           GetParam().kind == history::JobKind::Settings ? "Button2" : "Button1")
            ->click();
        break;
      }
      case history::JobKind::Send: {
        auto *form = new TForm1(state);
        window.reset(form);
        form->History = &journal;
        form->show();
        Child<QLineEdit>(form, "Edit1")->setText("AT@NORM");
        Child<QPushButton>(form, "Button3")->click();
        break;
      }
      case history::JobKind::Firmware: {
        auto *form = new TForm2(state);
        window.reset(form);
        form->History = &journal;
        form->show();
        answerer.onDialog = [this](QFileDialog *dialog) {
          ModalScript::ChooseFile(dialog, QString::fromStdString(files_.File("app.hex")));
        };
        Child<QPushButton>(form, "Button1")->click();
        if (!answerer.boxes.empty()) {  // refused: the write button stays disabled
          EXPECT_FALSE(Child<QPushButton>(form, "Button2")->isEnabled());
          return {std::nullopt, answerer.boxes.back().text};
        }
        if (GetParam().breakLog)
          breaker = std::make_unique<LogBreaker>(QString::fromStdString(state.LogPath()), 400);
        Child<QPushButton>(form, "Button2")->click();
        break;
      }
      case history::JobKind::Record:
        ADD_FAILURE() << "no window case";
        break;
    }
    std::optional<history::JobRecord> record = Ended(&journal, historyFile);
    window->close();
    return {record, {}};
  }

  // The job from tolvane-cli, in this process.
  Left FromCli() {
    const QString historyFile = QString::fromStdString(files_.File("cli.sqlite"));
    std::vector<std::string> arguments = {"tolvane-cli",
                                          history::TextOf(GetParam().kind).toStdString()};
    switch (GetParam().kind) {
      case history::JobKind::Settings:
        arguments.push_back(files_.File("bench.ini"));
        break;
      case history::JobKind::Send:
        arguments.push_back("AT@NORM");
        break;
      case history::JobKind::Firmware:
        arguments.insert(arguments.end(), {files_.File("app.hex"), "--log-dir", logs_.Folder()});
        break;
      default:
        break;
    }
    arguments.insert(arguments.end(),
                     {"--unit", kCliUnit, "--history", historyFile.toStdString(), "--json"});
    std::unique_ptr<LogBreaker> breaker;
    if (GetParam().breakLog)
      breaker = std::make_unique<LogBreaker>(
          QString::fromStdString(logs_.File("LOG_") + kCliUnit + ".TXT"), 400);
    std::ostringstream out, err;
    const int status = cli::Run(arguments, {out, err});
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(out.str())).object();
    if (status == 2) return {std::nullopt, json["error"].toString()};
    return {Ended(nullptr, historyFile), {}};
  }

 private:
  template <class T>
  static T *Child(QWidget *window, const char *name) {
    T *found = window->findChild<T *>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  // The one record of the history file, once it has ended.
  static std::optional<history::JobRecord> Ended(history::Journal *journal, const QString &file) {
    std::optional<history::JobRecord> ended;
    (void)QTest::qWaitFor(
        [&] {
          if (journal) journal->Flush();
          history::Store store;
          if (!store.Open(file, history::Store::Mode::Read)) return false;
          const auto jobs = store.Jobs({}, true);
          EXPECT_LE(jobs.size(), 1u);
          if (jobs.size() == 1 && jobs[0].ended) ended = jobs[0];
          return ended.has_value();
        },
        20000);
    return ended;
  }

  sim::InstalledUnits units_;
  sim::Unit *windowUnit_ = nullptr;
  sim::Unit *cliUnit_ = nullptr;
  TempFolder program_;  // the window's program folder: VERT.ini and its transfer log
  TempFolder files_;
  TempFolder logs_;  // tolvane-cli's transfer logs
};

TEST_P(JobParity, BothProgramsLeaveTheSameRecord) {
  const Left window = FromWindow();
  const Left cli = FromCli();
  if (!GetParam().noEndLine) {
    ASSERT_TRUE(window.record.has_value()) << "the window's record";
    ASSERT_TRUE(cli.record.has_value()) << "tolvane-cli's record";
    EXPECT_EQ(history::OutcomeOf(window.record->outcome), GetParam().outcome);
    EXPECT_EQ(history::OutcomeOf(cli.record->outcome), GetParam().outcome);
    if (!GetParam().message.empty()) {
      EXPECT_EQ(window.record->message, QString::fromStdString(GetParam().message));
    }
    EXPECT_EQ(cli.record->message, window.record->message);
    EXPECT_EQ(DetailKeys(*cli.record), DetailKeys(*window.record));
  } else {
    EXPECT_FALSE(window.record.has_value());
    EXPECT_FALSE(cli.record.has_value());
    const QString refusal = QString::fromStdString(GetParam().message);
    EXPECT_TRUE(window.refusal.endsWith(refusal)) << window.refusal.toStdString();
    EXPECT_TRUE(cli.refusal.endsWith(refusal)) << cli.refusal.toStdString();
  }
}

const std::string kSuccess(firmware::TextOf(firmware::Ending::Success).message);
const std::string kLogFailed = kSuccess + "; the transfer log could not be written: ";

INSTANTIATE_TEST_SUITE_P(
    EveryKindOfJob, JobParity,
    ::testing::Values(
        Case{"SettingsRefusedAtAParameter", history::JobKind::Settings, Err("P05"), false, false,
             false, false, history::Outcome::Failed, "Error value - P05"},
        Case{"DefaultsAnsweredErr", history::JobKind::Defaults, Err("DEFAULT"), false, false, false,
             false, history::Outcome::Failed, ""},
        Case{"SendAnsweredErr", history::JobKind::Send, Err("NORM"), false, false, false, false,
             history::Outcome::Failed, "ERR"},
        Case{"SendToAUnitInItsLoader",
             history::JobKind::Send,
             {},
             true,
             false,
             false,
             false,
             history::Outcome::Failed,
             "no complete reply: OOOOOOOOO"},
        Case{"FirmwareWhoseEndLineIsRefused",
             history::JobKind::Firmware,
             {},
             false,
             false,
             false,
             true,
             history::Outcome::Failed,
             ""},
        Case{"FirmwareWithAnUnwritableLog",
             history::JobKind::Firmware,
             {},
             false,
             true,
             false,
             false,
             history::Outcome::Ok,
             kLogFailed + "File too large"},
        Case{"FirmwareFileWithoutAnEndLine",
             history::JobKind::Firmware,
             {},
             false,
             false,
             true,
             false,
             history::Outcome::Failed,
             ": no record at byte address 0x3000 or above: the image has no end line, and the "
             "unit would stay in its loader"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace
