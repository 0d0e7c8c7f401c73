// Start-up of the program, from the exec of the process until its main window is first on screen,
// beside a bare Qt program that shows an empty widget, on the platform that QT_QPA_PLATFORM names
// (offscreen when unset), with the emulated unit running, the sound server that PULSE_SERVER
// names, the history kept and a server set in VERT.ini ($TOLVANE_BENCH_SERVER, else one that
// refuses at once). Then the longest time that the interface thread goes without turning its
// event loop after the first paint (aim: at most 50 ms), and the steps of start-up one by one.
// Prints figures; asserts nothing. Run by hand:
//   source tools/pulse.sh; start_private_pulse; build/tests/app/startup_benchmark [runs];
//   stop_private_pulse
// and on an X server, for example: QT_QPA_PLATFORM=xcb xvfb-run -a
// build/tests/app/startup_benchmark
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QWindow>
#include <memory>

#include "app/choice_window.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "console/console_window.h"
#include "firmware/firmware_window.h"
#include "recorder/audio_devices.h"
#include "recorder/recorder_window.h"
#include "session/discovery.h"
#include "session/shared_state.h"
#include "session/version.h"
#include "settings/settings_window.h"
#include "ui/icon_cache.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// Starts `path` with its standard output into `out` (or nowhere) and its errors nowhere.
pid_t Spawn(const std::string &path, const std::vector<std::string> &args, int out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char *> argv{const_cast<char *>(path.c_str())};
  for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Starts `path` with `args` and waits at most 20 s for its first output: the milliseconds since
// the spawn and what it wrote; negative milliseconds when it ends or stays silent.
std::pair<double, std::string> FirstOutput(const std::string &path,
                                           const std::vector<std::string> &args) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return {-1, {}};
  const auto start = Clock::now();
  const pid_t pid = Spawn(path, args, pipeFds[1]);
  close(pipeFds[1]);
  double ms = -1;
  std::string text;
  if (pid > 0) {
    pollfd wait{pipeFds[0], POLLIN, 0};
    char buffer[64];
    ssize_t got = 0;
    if (poll(&wait, 1, 20000) == 1 && (got = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
      ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      text.assign(buffer, static_cast<std::size_t>(got));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(pipeFds[0]);
  return {ms, text};
}

// Milliseconds from the spawn of `path` until it reports its first exposed window; negative when
// it ends or stays silent for 20 s.
double TimeToExposed(const std::string &path) {
  return FirstOutput(path, {}).first;
}

// The longest hold of the interface thread after the first paint that the program reports, and
// the most processor time in one hold; negative when it reports none.
std::pair<double, double> LongestHold(const std::string &path) {
  const auto [ms, text] = FirstOutput(path, {"--holds"});
  double wall = -1, cpu = -1;
  if (ms < 0 || std::sscanf(text.c_str(), "%lf %lf", &wall, &cpu) != 2) return {-1, -1};
  return {wall, cpu};
}

bool DeviceListed(const std::filesystem::path &directory) {
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(directory, error))
    if (std::filesystem::exists(entry.path() / "link", error)) return true;
  return false;
}

double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Figures {
  double min, median, max;
};

Figures Summary(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return {times.front(), times[times.size() / 2], times.back()};
}

// The steps of start-up one by one, each the first of its kind in this process: those before the
// main window is on screen, then those that follow its first paint.
void PrintSteps(int argc, char **argv, const std::string &programFolder) {
  // Each step's time, and the processor time of this thread in it, which other programs on a
  // busy machine do not lengthen.
  QElapsedTimer clock;
  double longest = 0;
  double cpuBefore = ThreadCpuMs();
  auto step = [&](const char *name) {
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6, cpu = ThreadCpuMs();
    std::printf("  %-58s %7.1f ms (%5.1f ms of processor)\n", name, ms, cpu - cpuBefore);
    longest = std::max(longest, ms);
    clock.restart();
    cpuBefore = cpu;
  };
  clock.start();
  QApplication app(argc, argv);
  QApplication::setStyle(new StandardIconCache);  // as startUp() does
  step("QApplication");
  QFontMetrics(QFont()).height();
  step("font database (a thread of its own in the program)");
  const QImage banner = BannerPicture();
  step("banner picture (a thread of its own in the program)");
  auto *main = new TForm3(programFolder, [&] { return banner; });
  step("main window");
  std::unique_ptr<TForm3> window(main);
  std::string version;
  GetVersion(TOLVANE_BENCH_DIR "/startup_probe", version);
  step("version read");
  window->show();
  while (window->windowHandle() == nullptr || !window->windowHandle()->isExposed())
    QCoreApplication::processEvents();
  step("show and first paint");
  std::printf("  after the first paint:\n");
  longest = 0;
  for (const StartUpStep &s : StepsAfterFirstPaint(*main)) {
    s.run();
    step(s.name);
  }
  SharedState &state = main->State();
  ScanDevices(state);
  step("device scan");
  std::printf("  longest of these on the interface thread: %.1f ms (aim: at most 50 ms)\n",
              longest);
  std::printf("  on a thread of its own:\n");
  StartGStreamer();
  step("GStreamer start");
  const std::size_t outputs = ListAudioOutputs().size();
  step("sound outputs (device monitor)");
  std::printf("  (%zu sound outputs, %d FT devices)\n", outputs, state.DeviceCount);
}

}  // namespace

int main(int argc, char **argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const std::string program = TOLVANE_BENCH_DIR "/startup_probe";
  const std::string bare = TOLVANE_BENCH_DIR "/bare_window";

  // A device directory of our own, so that only this emulated unit is listed.
  char runtime[] = "/tmp/tolvane-startup.XXXXXX";
  if (mkdtemp(runtime) == nullptr) return 1;
  setenv("XDG_RUNTIME_DIR", runtime, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // VERT.ini of the program's own folders: the history kept (in the data folder), a server set.
  const std::string home = std::string(runtime) + "/home";
  for (const char *folder : {"config/Tolvane", "data", "state"})
    std::filesystem::create_directories(home + "/" + folder);
  setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
  setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
  const char *server = std::getenv("TOLVANE_BENCH_SERVER");
  const std::string serverUrl =
      server != nullptr ? server : "postgresql://tolvane@127.0.0.1:1/history";
  std::ofstream(home + "/config/Tolvane/VERT.ini") << "[History]\nServer=" << serverUrl << "\n";
  std::printf("history: kept, server %s\n", serverUrl.c_str());
  const pid_t sim = Spawn(TOLVANE_SIM, {}, -1);
  const auto simDeadline = Clock::now() + std::chrono::seconds(10);
  while (!DeviceListed(std::string(runtime) + "/tolvane-ftdi") && Clock::now() < simDeadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::printf("emulated unit: %s\n",
              DeviceListed(std::string(runtime) + "/tolvane-ftdi") ? "running" : "NOT running");
  const char *pulse = std::getenv("PULSE_SERVER");
  std::printf("sound server: %s\n", pulse != nullptr ? pulse : "(PULSE_SERVER not set)");

  // One of each first, so that both start from a warm file cache.
  TimeToExposed(bare);
  TimeToExposed(program);
  std::vector<double> bareTimes, programTimes;
  for (int run = 0; run < runs; ++run) {
    bareTimes.push_back(TimeToExposed(bare));
    programTimes.push_back(TimeToExposed(program));
  }
  std::vector<double> holds, cpuHolds;
  for (int run = 0; run < std::max(3, runs / 3); ++run) {
    const auto [wall, cpu] = LongestHold(program);
    holds.push_back(wall);
    cpuHolds.push_back(cpu);
  }
  std::printf("steps of start-up in one process:\n");
  PrintSteps(argc, argv, home + "/config/Tolvane/");
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  std::filesystem::remove_all(runtime);
  if (std::find_if(bareTimes.begin(), bareTimes.end(), [](double t) { return t < 0; }) !=
          bareTimes.end() ||
      std::find_if(programTimes.begin(), programTimes.end(), [](double t) { return t < 0; }) !=
          programTimes.end()) {
    std::printf("a run did not show its window\n");
    return 1;
  }

  const Figures b = Summary(bareTimes), p = Summary(programTimes);
  std::printf("exec to the first exposed main window, %d runs each, ms (min / median / max)\n",
              runs);
  std::printf("  bare Qt window: %7.1f %7.1f %7.1f\n", b.min, b.median, b.max);
  std::printf("  Tolvane:        %7.1f %7.1f %7.1f\n", p.min, p.median, p.max);
  std::printf("  ratio: %.2f of the median, %.2f of the minimum (aim: at most 1.25)\n",
              p.median / b.median, p.min / b.min);
  if (std::find_if(holds.begin(), holds.end(), [](double t) { return t < 0; }) != holds.end()) {
    std::printf("a run did not report its holds\n");
    return 1;
  }
  const Figures h = Summary(holds), c = Summary(cpuHolds);
  std::printf(
      "longest hold of the interface thread from the first paint on, %zu runs, ms "
      "(min / median / max): %.1f %.1f %.1f (aim: at most 50)\n",
      holds.size(), h.min, h.median, h.max);
  std::printf("  the most processor time of the interface thread in one hold: %.1f %.1f %.1f\n",
              c.min, c.median, c.max);
  return 0;
}
