// Start-up of the program, from the exec of the process until its main window is first on screen,
// beside a bare Qt program that shows an empty widget, on the platform that QT_QPA_PLATFORM names
// (offscreen when unset), with the emulated unit running and the sound server that PULSE_SERVER
// names. Prints figures; asserts nothing. Run by hand:
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
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// Milliseconds from the spawn of `path` until it reports its first exposed window; negative when
// it ends or stays silent for 20 s.
double TimeToExposed(const std::string &path) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const auto start = Clock::now();
  const pid_t pid = Spawn(path, {}, pipeFds[1]);
  close(pipeFds[1]);
  double ms = -1;
  if (pid > 0) {
    pollfd wait{pipeFds[0], POLLIN, 0};
    char buffer[16];
    if (poll(&wait, 1, 20000) == 1 && read(pipeFds[0], buffer, sizeof buffer) > 0)
      ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(pipeFds[0]);
  return ms;
}

bool DeviceListed(const std::filesystem::path &directory) {
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(directory, error))
    if (std::filesystem::exists(entry.path() / "link", error)) return true;
  return false;
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
void PrintSteps(int argc, char **argv) {
  QElapsedTimer clock;
  auto step = [&](const char *name) {
    std::printf("  %-58s %7.1f ms\n", name, static_cast<double>(clock.nsecsElapsed()) / 1e6);
    clock.restart();
  };
  clock.start();
  QApplication app(argc, argv);
  step("QApplication");
  QFontMetrics(QFont()).height();
  step("font database (a thread of its own in the program)");
  const QImage banner = BannerPicture();
  step("banner picture (a thread of its own in the program)");
  auto *main = new TForm3("/tmp/", [&] { return banner; });
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
  QIcon icon;
  QDirIterator it(QStringLiteral(":/icons/hicolor"), {QStringLiteral("*.png")}, QDir::Files,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) icon.addFile(it.next());
  QApplication::setWindowIcon(icon);
  QCoreApplication::processEvents();
  step("program icon (built-in sizes) to the window system");
  SharedState &state = main->State();
  auto *console = new TForm1(state, main);
  step("console window");
  auto *firmware = new TForm2(state, main);
  step("firmware window (with its open dialog)");
  auto *choice = new TForm4(state, main);
  step("choice window");
  auto *recorder = new TForm5(state, main);
  step("recorder window (with its open dialog)");
  auto *settings = new TForm6(state, main);
  step("settings window");
  main->SetWindows(console, firmware, choice, recorder, settings);
  ScanDevices(state);
  step("device scan");
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
  std::printf("steps of start-up in one process:\n");
  PrintSteps(argc, argv);
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
  return 0;
}
