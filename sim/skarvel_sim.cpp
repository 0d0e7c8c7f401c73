// skarvel-sim: serves emulated Skarvel units over the emulated device link until SIGINT or
// SIGTERM, printing each command line received and each reply.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>

#include "sim/link_server.h"
#include "sim/record_json.h"
#include "sim/recording_sound.h"
#include "sim/sim_options.h"
#include "sim/sound_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

void print(const std::string &line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string eventMark(sim::Unit::Event event) {
  switch (event) {
    case sim::Unit::Event::CommandLine:
      return "<-";
    case sim::Unit::Event::Reply:
      return "->";
    case sim::Unit::Event::Loader:
      return "loader:";
    case sim::Unit::Event::Recording:
      return "record:";
    case sim::Unit::Event::Problem:
      return "problem:";
    case sim::Unit::Event::Session:
      return "--";
  }
  return "";
}

bool writeRecord(sim::LinkServer &server, const sim::SimOptions &options, sim::Time origin) {
  if (options.recordFile.empty()) return true;
  QJsonArray devices;
  for (const auto &d : options.devices)
    if (const sim::Unit *unit = server.Find(d.options.serial))
      devices.append(sim::RecordToJson(*unit, origin));
  QSaveFile file(QString::fromStdString(options.recordFile));
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write(QJsonDocument(QJsonObject{{"devices", devices}}).toJson());
  return file.commit();
}

// One command from standard input; false when the program is to end.
bool command(sim::LinkServer &server, const std::string &line, const sim::SimOptions &options,
             sim::Time origin) {
  std::istringstream in(line);
  std::string verb, serial;
  in >> verb >> serial;
  if (verb.empty()) return true;
  if (verb == "quit") return false;
  if (verb == "record") {
    if (!writeRecord(server, options, origin)) print("cannot write " + options.recordFile);
    return true;
  }
  sim::Unit *unit = server.Find(serial);
  if (!unit) {
    print("no device \"" + serial +
          "\"; commands: unplug, plug, off, on, say SERIAL [TEXT], "
          "record, quit");
    return true;
  }
  if (verb == "unplug") {
    server.Unplug(serial);
  } else if (verb == "plug") {
    try {
      server.PlugIn(serial);
    } catch (const std::exception &e) {
      print(e.what());
    }
  } else if (verb == "off" || verb == "on") {
    unit->SetPowered(verb == "on");
  } else if (verb == "say") {
    std::string text;
    std::getline(in >> std::ws, text);
    text = sim::Unescape(text);
    if (text.empty() || text.back() != '\n') text += "\r\n";
    unit->Say(text);
  } else {
    print("unknown command \"" + verb + "\"");
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  sim::SimOptions options;
  try {
    options = sim::ParseSimArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument &e) {
    std::fprintf(stderr, "skarvel-sim: %s\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(sim::SimUsage().c_str(), stdout);
    return 0;
  }

  // Signals arrive as readable data, so the serving loop ends cleanly and removes its folders.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);

  sim::SystemClock clock;
  const sim::Time origin = clock.Now();
  // The sound the units hear, captured before any unit is served, so that the first recording
  // already finds the capture running.
  std::unique_ptr<sim::SoundCapture> capture;
  std::unique_ptr<sim::RecordingSounds> sounds;
  if (!options.captureFile.empty()) {
    capture = std::make_unique<sim::SoundCapture>(options.captureSource);
    if (const std::string failed = capture->Start(); !failed.empty()) {
      std::fprintf(stderr, "skarvel-sim: cannot capture the sound of %s: %s\n",
                   capture->Source().c_str(), failed.c_str());
      return 1;
    }
    sounds = std::make_unique<sim::RecordingSounds>(*capture, options.captureFile, clock);
  }
  try {
    sim::LinkServer server(clock, options.directory);
    std::vector<sim::Unit *> units;
    bool captureFailed = false;
    auto collectSounds = [&](bool final) {
      if (!sounds) return;
      if (units.empty())
        for (const auto &d : options.devices) units.push_back(server.Find(d.options.serial));
      for (const std::string &line : sounds->Collect(units, final))
        if (!options.quiet || line.find("cannot") != std::string::npos) print(line);
    };
    if (!options.quiet)
      server.SetReporter([](const std::string &serial, sim::Unit::Event e, const std::string &t) {
        print(serial + " " + eventMark(e) + " " + t);
      });
    // Next time each device says its unsolicited lines.
    std::map<std::pair<std::string, std::size_t>, Clock::time_point> due;
    for (const auto &d : options.devices) {
      server.Add(d.options);
      for (std::size_t k = 0; k < d.unsolicited.size(); ++k)
        due[{d.options.serial, k}] = Clock::now() + d.unsolicited[k].period;
    }
    if (!options.quiet) {
      if (capture) print("capturing the sound of " + capture->Source());
      print(options.wire.timed
                ? "the line takes its time: bytes at the port's baud rate, latency timer " +
                      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         options.wire.latency)
                                         .count()) +
                      " ms"
                : "the line takes no time (--instant)");
      print("serving in " + server.Directory() + "; SIGINT or SIGTERM ends");
    }

    bool running = true;
    bool readStdin = true;
    std::string input;
    while (running) {
      auto wait = std::chrono::milliseconds(500);
      const auto now = Clock::now();
      for (const auto &[key, at] : due)
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                  std::max(at - now, Clock::duration::zero())));
      // A recording that has ended is written as soon as its sound has come in.
      if (sounds && sounds->Pending()) wait = std::min(wait, std::chrono::milliseconds(10));
      std::vector<int> watch{signalFd};
      if (readStdin) watch.push_back(STDIN_FILENO);
      const auto readable = server.Serve(wait, watch);
      if (readable[0]) {
        signalfd_siginfo info;
        while (read(signalFd, &info, sizeof info) > 0) running = false;
      }
      if (readStdin && readable[1]) {
        char buffer[1024];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
          readStdin = false;  // no console: keep serving
        else
          input.append(buffer, static_cast<std::size_t>(n));
        for (auto nl = input.find('\n'); nl != std::string::npos; nl = input.find('\n')) {
          running = command(server, input.substr(0, nl), options, origin) && running;
          input.erase(0, nl + 1);
        }
      }
      for (auto &[key, at] : due) {
        if (Clock::now() < at) continue;
        const auto &d = *std::find_if(options.devices.begin(), options.devices.end(),
                                      [&](auto &x) { return x.options.serial == key.first; });
        if (auto *unit = server.Find(key.first); unit && server.HasHost(key.first))
          unit->Say(d.unsolicited[key.second].text);
        at = Clock::now() + d.unsolicited[key.second].period;
      }
      collectSounds(false);
      if (capture && !captureFailed && !capture->Failure().empty()) {
        // What was captured before stays, and later recordings are silence from then on.
        captureFailed = true;
        std::fprintf(stderr, "skarvel-sim: the sound capture failed: %s\n",
                     capture->Failure().c_str());
      }
    }
    collectSounds(true);
    if (!writeRecord(server, options, origin))
      std::fprintf(stderr, "skarvel-sim: cannot write %s\n", options.recordFile.c_str());
    if (!options.quiet) print("stopped");
  } catch (const std::exception &e) {
    std::fprintf(stderr, "skarvel-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
