#include "cli/cli.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <exception>

#include "cli/fleet_summary.h"
#include "cli/history_commands.h"
#include "cli/jobs.h"
#include "cli/report.h"
#include "cli/runner.h"
#include "cli/text_table.h"
#include "d2xx/device_link.h"
#include "d2xx/ftd2xx.h"
#include "d2xx/serial_provider.h"
#include "history/journal.h"
#include "history/server_sender.h"
#include "history/server_store.h"
#include "jobs/descriptor.h"
#include "recorder/audio_devices.h"
#include "session/discovery.h"
#include "session/shared_state.h"
#include "session/version.h"

namespace cli {

namespace {

constexpr int kRedrawInterval = 100;  // ms between redraws of the units' lines
// How long the end of a run waits for the workshop's server to take its records.
constexpr std::chrono::seconds kServerWait{5};

// A usage error: the message on standard error, and with --json as {"error": ...} on standard
// output. Only an error in the command line itself is followed by the pointer to the help.
int UsageError(const Console &console, const Options &options, const std::string &message,
               bool commandLine = false) {
  console.err << "tolvane-cli: " << EscapedText(message, true) << '\n';
  if (commandLine) console.err << "Try 'tolvane-cli --help'.\n";
  if (options.json)
    console.out << JsonObject({{"error", JsonString(message)}}).toStdString() << '\n';
  return kExitUsage;
}

// The signals that stop the jobs: SIGTERM always, SIGINT and SIGHUP unless the program was
// started with them ignored (nohup, a background job of a shell without job control). Before the
// jobs start the program ends at once with status 1, also in the middle of reading a file; while
// they run, the handler wakes the event loop through a pipe, which stops every job where it
// stands. SIGPIPE is ignored: a reader that has gone away makes the writes of the report fail,
// not the jobs.
int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t jobsRunning = 0;
volatile std::sig_atomic_t jsonWanted = 0;
volatile std::sig_atomic_t signalled = 0;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int) {
  const int saved = errno;
  signalled = 1;
  if (!jobsRunning) {
    static constexpr char kJson[] = "{\"error\": \"interrupted\"}\n";
    static constexpr char kText[] = "tolvane-cli: interrupted\n";
    if (jsonWanted) {
      [[maybe_unused]] const auto n = write(STDOUT_FILENO, kJson, sizeof kJson - 1);
    }
    [[maybe_unused]] const auto n = write(STDERR_FILENO, kText, sizeof kText - 1);
    _exit(kExitFailed);
  }
  const char byte = 1;
  [[maybe_unused]] const auto n = write(signalPipe[1], &byte, 1);
  errno = saved;
}

// Stops the jobs when a signal has come, through the pipe that the event loop watches.
class SignalWatch {
 public:
  explicit SignalWatch(std::function<void()> stop) {
    if (signalPipe[0] < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [stop = std::move(stop)] {
                       char bytes[16];
                       while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
                       }
                       stop();
                     });
  }

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

// Where a listed device is: its tty, or its emulated device's folder.
std::vector<std::pair<std::string, std::string>> Places() {
  std::vector<std::pair<std::string, std::string>> places;  // serial, where
  for (const auto &tty : d2xx::ListFtdiTtys("/sys"))
    places.emplace_back(tty.entry.serial, "/dev/" + tty.name);
  for (const auto &device : d2xx::link::ListDevices())
    places.emplace_back(device.serial, device.folder);
  return places;
}

// Every FT device the driver lists, in its order: serial number and description.
std::vector<std::pair<std::string, std::string>> ListedDevices() {
  std::vector<std::pair<std::string, std::string>> listed;
  DWORD count = 0;
  if (FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) count = 0;
  for (DWORD i = 0; i < count; ++i) {
    char serial[FT_LIST_TEXT_MAX] = {};
    char description[FT_LIST_TEXT_MAX] = {};
    auto *index = reinterpret_cast<void *>(static_cast<std::uintptr_t>(i));
    if (FT_ListDevices(index, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) != FT_OK)
      continue;
    if (FT_ListDevices(index, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) != FT_OK)
      continue;
    listed.emplace_back(serial, description);
  }
  return listed;
}

int List(const Console &console, const Options &options) {
  const auto listed = ListedDevices();
  auto places = Places();
  std::string devices;                         // the JSON array's entries
  std::vector<std::vector<std::string>> rows;  // serial, description, kind, where
  for (const auto &[serial, description] : listed) {
    const bool unit = description == kUnitDescription && IsUnitSerial(serial);
    std::string where;
    const auto place = std::find_if(places.begin(), places.end(),
                                    [&](const auto &p) { return p.first == serial; });
    if (place != places.end()) {
      where = place->second;
      places.erase(place);
    }
    // The JSON object's members in the order of the text.
    devices += std::string(devices.empty() ? "" : ", ") +
               JsonObject({{"serial", JsonString(serial)},
                           {"description", JsonString(description)},
                           {"unit", unit ? "true" : "false"},
                           {"where", JsonString(where)}})
                   .toStdString();
    // What the devices say reaches the terminal escaped.
    rows.push_back({EscapedText(serial), EscapedText(description), unit ? "unit" : "no unit",
                    EscapedText(where, true)});
  }
  if (options.json)
    console.out << JsonObject({{"devices", "[" + devices + "]"}}).toStdString() << '\n';
  else
    console.out << (listed.empty() ? std::string("No FT device\n") : TextTable(rows));
  return kExitOk;
}

int Outputs(const Console &console, const Options &options) {
  std::string error;
  if (!StartGStreamer(&error)) console.err << "tolvane-cli: " << error << '\n';
  const auto outputs = ListAudioOutputs();
  if (options.json) {
    std::string names;
    for (const auto &name : outputs) names += (names.empty() ? "" : ", ") + JsonString(name);
    console.out << JsonObject({{"outputs", "[" + names + "]"}}).toStdString() << '\n';
  } else {
    for (const auto &name : outputs) console.out << name << '\n';
    if (outputs.empty()) console.err << "No sound output\n";
  }
  return kExitOk;
}

// The shared history's tables made on the server of the URL.
int ServerInit(const Console &console, const Options &options) {
  QString error;
  const auto address = history::ParseServerUrl(QString::fromLocal8Bit(options.argument), &error);
  if (!address) return UsageError(console, options, error.toStdString());
  QStringList grants;
  for (const std::string &role : options.grants) grants << QString::fromStdString(role);
  const int version = history::InitServer(*address, grants, &error);
  if (version == 0) {
    console.err << "tolvane-cli: " << error.toStdString() << '\n';
    if (options.json)
      console.out << JsonObject({{"error", JsonString(error.toStdString())}}).toStdString() << '\n';
    return kExitFailed;
  }
  if (options.json)
    console.out << JsonObject({{"server", JsonString(address->shown.toStdString())},
                               {"version", std::to_string(version)}})
                       .toStdString()
                << '\n';
  else
    console.out << "The shared history's tables on " << address->shown.toStdString()
                << " are at version " << version << '\n';
  return kExitOk;
}

}  // namespace

void CatchSignals() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  std::signal(SIGPIPE, SIG_IGN);
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) signalPipe[0] = signalPipe[1] = -1;
  for (const int signal : kStopSignals) {
    struct sigaction previous {};
    sigaction(signal, nullptr, &previous);
    if (signal != SIGTERM && previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
  }
}

bool Signalled() {
  return signalled != 0;
}

Choice ChooseUnits(const Options &options) {
  SharedState state({});
  ScanDevices(state);
  const std::vector<std::string> offered = OfferedUnits(state);
  Choice choice;
  if (options.all) {
    choice.serials = offered;
    choice.failures.assign(offered.size(), {});
    return choice;
  }
  const auto listed = ListedDevices();
  for (const auto &serial : options.units) {
    choice.serials.push_back(serial);
    std::string failure;
    if (std::find(offered.begin(), offered.end(), serial) == offered.end()) {
      const bool device = std::any_of(listed.begin(), listed.end(),
                                      [&](const auto &d) { return d.first == serial; });
      failure = device ? "USB device " + serial + " is not a unit" : NotConnectedMessage(serial);
    }
    choice.failures.push_back(std::move(failure));
  }
  return choice;
}

namespace {

int RunCommand(const std::vector<std::string> &arguments, const Console &console) {
  const Parsed parsed = ParseArguments(arguments);
  const Options &options = parsed.options;
  jsonWanted = options.json;
  if (options.help) {
    console.out << HelpText(options.command);
    if (options.command == Command::None || options.command == Command::History ||
        options.command == Command::Summary)
      console.out << FilesHelp(options);
    return kExitOk;
  }
  if (options.version) {
    std::string version;
    GetVersion(QCoreApplication::applicationFilePath().toStdString(), version);
    console.out << "tolvane-cli " << (version.empty() ? std::string("(unknown)") : version) << '\n';
    return kExitOk;
  }
  if (!parsed.error.empty()) return UsageError(console, options, parsed.error, true);
  // A server's URL that holds a password, or is no URL, is refused before anything is done.
  const HistoryPlace place = HistoryPlaceOf(options);
  if (options.command != Command::ServerInit && !place.server.empty()) {
    QString error;
    if (!history::ParseServerUrl(QString::fromStdString(place.server), &error))
      return UsageError(console, options, error.toStdString());
  }
  if (options.command == Command::List) return List(console, options);
  if (options.command == Command::Outputs) return Outputs(console, options);
  if (options.command == Command::History) return HistoryCommand(options, console.out, console.err);
  if (options.command == Command::Summary) {
    jobs::Standard standard;
    if (const std::string refused = ReadStandard(options, standard); !refused.empty())
      return UsageError(console, options, refused);
    return SummaryCommand(options, standard, console.out, console.err);
  }
  if (options.command == Command::ServerInit) return ServerInit(console, options);

  // The job's inputs, checked by its descriptor before any unit is opened.
  JobSpec spec;
  const jobs::Inputs inputs{options.argument, options.fast, options.logDir, options.output};
  if (const std::string refused = jobs::Prepare(*options.jobKind, inputs, spec); !refused.empty())
    return UsageError(console, options, refused);
  const Choice choice = ChooseUnits(options);
  if (choice.serials.empty()) return UsageError(console, options, "no unit connected");

  // Progress goes where the result does not: standard error under --json.
  std::ostream &progressOut = options.json ? console.err : console.out;
  const bool terminal = options.json ? console.errTerminal : console.outTerminal;
  Reporter reporter(progressOut, terminal, console.width, choice.serials, spec.Name());
  // Every unit's job has its record in the history, written by a thread of its own.
  history::Journal journal("tolvane-cli", QString::fromStdString(place.location),
                           QString::fromStdString(place.station));
  journal.SetServer(QString::fromStdString(place.server), std::chrono::seconds(30),
                    place.unaddressed);
  journal.Start();
  Runner runner(spec, choice.serials, jobs::DescriptorOf(spec.kind).oneUnitAtATime, &journal);
  for (std::size_t i = 0; i < choice.serials.size(); ++i)
    if (!choice.failures[i].empty()) runner.Fail(i, choice.failures[i]);

  bool interrupted = false;
  runner.Progressed = [&](std::size_t i, const Progress &p) { reporter.Progressed(i, p); };
  runner.Ended = [&](std::size_t i, const UnitResult &r) { reporter.Ended(i, r); };
  runner.Finished = [] { QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); }); };
  SignalWatch signalWatch([&] {
    interrupted = true;
    runner.Interrupt();
  });
  QTimer redraw;
  QObject::connect(&redraw, &QTimer::timeout, [&] { reporter.Flush(); });
  if (terminal) redraw.start(kRedrawInterval);
  // From here on a signal stops the jobs, which end as their windows' would.
  jobsRunning = 1;
  reporter.Flush();
  runner.Start();
  QCoreApplication::exec();
  redraw.stop();
  reporter.Flush();
  // The records that wait for the file (a full disk, a lock) are waited for at most 5 s.
  const auto say = [&](const QString &line) {
    console.err << "tolvane-cli: " << line.toStdString() << '\n';
  };
  journal.Finish(history::kEndWait, say);
  QString historyState = journal.State();
  if (journal.StateValue() == history::HistoryState::NotKept)
    console.err << "tolvane-cli: history " << historyState.toStdString() << '\n';
  if (journal.StateValue() == history::HistoryState::Kept && journal.HasServer()) {
    // The records wait at most 5 s for the server, or until a signal; then they stay in the file
    // for a later run.
    const bool allSent = journal.FlushServer(kServerWait, [] { return Signalled(); });
    QString state = journal.ServerState();
    if (state.isEmpty() || (!allSent && state == history::kSharedState))
      state = "the server did not take the records within 5 s";
    historyState = state == history::kSharedState ? state : "waiting for the server: " + state;
    if (state != history::kSharedState)
      console.err << "tolvane-cli: history " << historyState.toStdString() << '\n';
  }

  if (options.json) {
    console.err << SummaryText(runner.Results());
    console.out << JsonResults(runner.Results(), historyState.toUtf8().toStdString()) << '\n';
  } else {
    console.out << SummaryText(runner.Results());
  }
  return interrupted || !runner.AllOk() ? kExitFailed : kExitOk;
}

}  // namespace

namespace {

// Whether standard output is a pipe whose reader has gone away.
bool ReaderGone() {
  pollfd out{STDOUT_FILENO, 0, 0};
  return poll(&out, 1, 0) == 1 && (out.revents & POLLERR);
}

}  // namespace

int Run(const std::vector<std::string> &arguments, Console console) {
  CatchSignals();
  int status = RunCommand(arguments, console);
  // The report must have reached its reader: a full disk or a closed standard output fails; a
  // reader that has gone away (a pipe into `head`) is not told so on standard error.
  if (!(console.out << std::flush)) {
    if (!ReaderGone())
      console.err << "tolvane-cli: the report could not be written to standard output\n";
    if (status == kExitOk) status = kExitFailed;
  }
  if (Signalled()) status = kExitFailed;
  return status;
}

}  // namespace cli
