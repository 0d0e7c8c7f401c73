// Benchmarks of firmware loading. They measure and print; they assert nothing.
//
//   ReadImage          the image reader on a full-size HEX file (bytes per second)
//   CheckHexText       the file check on the same file (bytes per second)
//   DownloadTicks      a whole download into an in-process emulated unit, stepped tick by tick:
//                      ticks used against the floor of two ticks per image byte
//   DownloadRealTimer  the same through a real 5 ms Qt::PreciseTimer and the unit on the real
//                      clock: wall time against the floor (2 × bytes × 5 ms). The full image
//                      (1536 lines, floor 153.6 s) runs only with TOLVANE_BENCH_FULL=1.
//   DownloadTicksOverTheLine/L
//                      200 lines into an in-process unit whose line has a real unit's timing
//                      with the FT232's latency timer at L ms, stepped 5 ms a tick: the time
//                      the ticks take against the floors below
//   DownloadIntoSkarvelSim/L
//                      200 lines into the skarvel-sim program (--latency L) over the emulated
//                      device link, the download stepped by a real 5 ms timer: wall time
//                      against the tick floor (2 × bytes × 5 ms) and the line's floor (per byte
//                      its time and its reply's at 9600 baud, and the latency timer)
//   FastAndTicksIntoSkarvelSim/L/N
//                      N lines into skarvel-sim (--latency L) twice: on the 5 ms ticks and as a
//                      fast transfer, woken by a QSocketNotifier on the port's event as the
//                      window steps it. Both times, the fast one's share of the ticks' time, the
//                      line's floor, whether the unit's memory and the logs (past the
//                      connection) are the same. The full image (1536 lines, ~154 s on the
//                      ticks) runs only with TOLVANE_BENCH_FULL=1.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "d2xx/backend.h"
#include "d2xx/device_link.h"
#include "d2xx/emulated_provider.h"
#include "firmware/download.h"
#include "firmware/hex_check.h"
#include "firmware/image_reader.h"
#include "link/link.h"
#include "session/shared_state.h"
#include "sim/in_process.h"
#include "tests/firmware/hex_records.h"
#include "tests/support/emulated_backend.h"
#include "tests/support/scripted_prompt.h"
#include "util/hex.h"

using namespace std::chrono_literals;

namespace {

constexpr const char *kSerial = "VRT00099";

// An image of about `lines` lines: the reset vector, then 16-byte records.
std::string FileOfLines(int lines) {
  return hexfile::FirmwareFile(static_cast<unsigned>(lines <= 1535 ? 8 + 4 * (lines - 2) : 0x1800));
}

class Silent : public ScriptedPrompt, public firmware::DownloadView {
 public:
  void SetBusy(bool) override {}
  void StartTicking() override {
    if (timer) timer->start();
  }
  void StopTicking() override {
    if (timer) timer->stop();
    if (shot) shot->stop();
    if (notifier) notifier->setEnabled(false);
  }
  void Show() override {}
  // A fast transfer, stepped as the window steps it: by the port's event or by a single shot.
  void Await(int descriptor, std::chrono::nanoseconds wait) override {
    if (descriptor >= 0 && (!notifier || notifier->socket() != descriptor)) {
      notifier = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
      QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { step(); });
    }
    if (notifier) notifier->setEnabled(descriptor >= 0);
    if (shot)
      shot->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
  }
  QTimer *timer = nullptr;
  QTimer *shot = nullptr;
  std::function<void()> step;
  std::unique_ptr<QSocketNotifier> notifier;
};

// The program's side: its state, the download, and the port on the unit `serial`.
struct Host {
  explicit Host(const std::string &serial)
      : state(folder.path().toStdString() + "/"), download(state, silent, silent) {
    state.SerialList[0] = serial;
    state.ChosenIndex = 0;
    state.Port = std::make_unique<TFT232>(serial);
    ConfigurePort(*state.Port);
    download.Reset();
  }
  QTemporaryDir folder;
  SharedState state;
  Silent silent;
  firmware::FirmwareDownload download;
};

struct Bench {
  explicit Bench(const sim::Clock *clock = nullptr, sim::WireOptions wire = {})
      : units(clock), unit(units.Add({.serial = kSerial, .wire = wire})), host(kSerial) {}
  sim::InstalledUnits units;
  sim::Unit &unit;
  Host host;
  firmware::FirmwareDownload &download = host.download;
};

struct Run {
  int ticks = 0;
  double seconds = 0;
  bool success = false;
  int lines = 0;
};

// A download stepped by a real 5 ms Qt::PreciseTimer, as the firmware window steps it.
Run RunOnTimer(Host &host, const std::string &text) {
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  timer.setInterval(firmware::kTickInterval);
  host.silent.timer = &timer;
  QEventLoop loop;
  Run run;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    ++run.ticks;
    host.download.Step();
    if (!host.download.Running()) loop.quit();
  });
  QElapsedTimer elapsed;
  elapsed.start();
  host.download.Start(text, text.size());
  run.lines = host.download.CurrentImage().LineCount();
  if (host.download.Running()) loop.exec();
  host.silent.timer = nullptr;
  run.seconds = elapsed.nsecsElapsed() / 1e9;
  run.success = host.download.Result() == firmware::Ending::Success;
  return run;
}

// A fast transfer: stepped when the port has data and when the wait it asked for has passed.
Run RunFast(Host &host, const std::string &text) {
  QTimer shot;
  shot.setTimerType(Qt::PreciseTimer);
  shot.setSingleShot(true);
  host.silent.shot = &shot;
  QEventLoop loop;
  Run run;
  host.silent.step = [&] {
    ++run.ticks;
    host.download.Wake();
    if (!host.download.Running()) loop.quit();
  };
  QObject::connect(&shot, &QTimer::timeout, [&] { host.silent.step(); });
  host.download.SetFast(true);
  QElapsedTimer elapsed;
  elapsed.start();
  host.download.Start(text, text.size());
  run.lines = host.download.CurrentImage().LineCount();
  if (host.download.Running()) loop.exec();
  host.silent.shot = nullptr;
  host.silent.notifier.reset();
  run.seconds = elapsed.nsecsElapsed() / 1e9;
  run.success = host.download.Result() == firmware::Ending::Success;
  return run;
}

// Floors of a download of `lines` lines: two ticks per byte; and on a line at 9600 baud with
// the latency timer at `latencyMs`, each byte's time, its reply's time and the timer.
double TickFloorSeconds(int lines) {
  return 2.0 * lines * firmware::kLineBytes * firmware::kTickInterval / 1000.0;
}
double LineFloorSeconds(int lines, double latencyMs) {
  const double byteMs = 10.0 * 1000.0 / 9600.0;
  return lines * firmware::kLineBytes * (2 * byteMs + latencyMs) / 1000.0;
}
void FloorCounters(benchmark::State &st, int lines, double seconds, double latencyMs) {
  const double ticks = TickFloorSeconds(lines), line = LineFloorSeconds(lines, latencyMs);
  st.counters["lines"] = lines;
  st.counters["latency_ms"] = latencyMs;
  st.counters["s"] = seconds;
  st.counters["tick_floor_s"] = ticks;
  st.counters["line_floor_s"] = line;
  st.counters["over_floor_pct"] = 100.0 * (seconds / std::max(ticks, line) - 1.0);
}

void ReadImage(benchmark::State &st) {
  const std::string text = hexfile::FirmwareFile();
  int lines = 0;
  for (auto _ : st) {
    const firmware::Image image = firmware::ReadImage(text, text.size());
    lines = image.LineCount();
    benchmark::DoNotOptimize(image.lines.data());
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * text.size()));
  st.counters["lines"] = lines;
  st.counters["file_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(ReadImage)->Unit(benchmark::kMicrosecond);

void CheckHexText(benchmark::State &st) {
  const std::string text = hexfile::FirmwareFile();
  for (auto _ : st) benchmark::DoNotOptimize(firmware::CheckHexText(text).line);
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * text.size()));
  st.counters["file_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(CheckHexText)->Unit(benchmark::kMicrosecond);

void DownloadTicks(benchmark::State &st) {
  const std::string text = FileOfLines(static_cast<int>(st.range(0)));
  int ticks = 0, lines = 0;
  for (auto _ : st) {
    Bench b;
    b.download.Start(text, text.size());
    lines = b.download.CurrentImage().LineCount();
    ticks = 0;
    while (b.download.Running()) {
      b.units.clock().Advance(5ms);
      b.download.Step();
      ++ticks;
    }
    if (b.download.Result() != firmware::Ending::Success) st.SkipWithError("download failed");
  }
  const double floor = 2.0 * lines * firmware::kLineBytes;
  st.counters["lines"] = lines;
  st.counters["ticks"] = ticks;
  st.counters["floor_ticks"] = floor;
  st.counters["ticks_over_floor"] = ticks / floor;
  st.counters["at_5ms_s"] = ticks * 0.005;
}
BENCHMARK(DownloadTicks)->Arg(160)->Arg(1536)->Unit(benchmark::kMillisecond)->Iterations(3);

void DownloadRealTimer(benchmark::State &st) {
  const std::string text = FileOfLines(static_cast<int>(st.range(0)));
  sim::SystemClock clock;
  Run run;
  for (auto _ : st) {
    Bench b(&clock);
    run = RunOnTimer(b.host, text);
    if (!run.success) st.SkipWithError("download failed");
  }
  const double floorSeconds = TickFloorSeconds(run.lines);
  st.counters["lines"] = run.lines;
  st.counters["ticks"] = run.ticks;
  st.counters["wall_s"] = run.seconds;
  st.counters["floor_s"] = floorSeconds;
  st.counters["over_floor_pct"] = 100.0 * (run.seconds / floorSeconds - 1.0);
}

void DownloadTicksOverTheLine(benchmark::State &st) {
  const auto latency = std::chrono::milliseconds(st.range(0));
  const std::string text = FileOfLines(200);
  int ticks = 0, lines = 0;
  for (auto _ : st) {
    Bench b(nullptr, {.timed = true, .latency = latency});
    b.download.Start(text, text.size());
    lines = b.download.CurrentImage().LineCount();
    ticks = 0;
    while (b.download.Running()) {
      b.units.clock().Advance(5ms);
      b.download.Step();
      ++ticks;
    }
    if (b.download.Result() != firmware::Ending::Success) st.SkipWithError("download failed");
  }
  st.counters["ticks"] = ticks;
  FloorCounters(st, lines, ticks * firmware::kTickInterval / 1000.0,
                static_cast<double>(latency.count()));
}
BENCHMARK(DownloadTicksOverTheLine)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond)->Iterations(1);

// skarvel-sim serving one unit in a device directory of its own for the benchmark's length.
class SkarvelSim {
 public:
  explicit SkarvelSim(int latencyMs) {
    if (const char *old = std::getenv("XDG_RUNTIME_DIR")) previous_ = old;
    setenv("XDG_RUNTIME_DIR", runtime_.path().toLocal8Bit().constData(), 1);
    process_.start(SKARVEL_SIM_PROGRAM, {"--quiet", "--unit", kSerial, "--latency",
                                         QString::number(latencyMs), "--record", RecordFile()});
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (d2xx::link::ListDevices().empty() && std::chrono::steady_clock::now() < until &&
           process_.state() != QProcess::NotRunning)
      std::this_thread::sleep_for(10ms);
  }
  ~SkarvelSim() {
    Stop();
    if (previous_.empty())
      unsetenv("XDG_RUNTIME_DIR");
    else
      setenv("XDG_RUNTIME_DIR", previous_.c_str(), 1);
  }
  bool Serving() const { return !d2xx::link::ListDevices().empty(); }
  // Ends the program, which writes its record.
  void Stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    process_.waitForFinished(5000);
  }
  QString RecordFile() const { return runtime_.path() + "/record.json"; }
  // What the unit received, from the record (after Stop).
  QJsonObject Record() const {
    QFile file(RecordFile());
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(file.readAll())["devices"][0].toObject();
  }

 private:
  QTemporaryDir runtime_;
  std::string previous_;
  QProcess process_;
};

void DownloadIntoSkarvelSim(benchmark::State &st) {
  const int latencyMs = static_cast<int>(st.range(0));
  const std::string text = FileOfLines(200);
  Run run;
  for (auto _ : st) {
    SkarvelSim simulator(latencyMs);
    if (!simulator.Serving()) {
      st.SkipWithError("skarvel-sim does not serve");
      return;
    }
    d2xx::ScopedBackend backend(EmulatedBackend());
    Host host(kSerial);
    run = RunOnTimer(host, text);
    if (!run.success) st.SkipWithError("download failed");
  }
  st.counters["ticks"] = run.ticks;
  FloorCounters(st, run.lines, run.seconds, latencyMs);
}

// The log past the connection: from the first reply to an image byte to the footer.
std::string TransferPart(const std::string &log, const firmware::Image &image) {
  const std::string first = "\r\n" + ByteToHex(image.lines[0][0]) + "<=>";
  const auto from = log.find(first, log.find(std::string(firmware::kLogHeading)));
  const auto to = log.rfind(std::string(firmware::kLogRule));
  if (from == std::string::npos || to == std::string::npos || to < from) return {};
  return log.substr(from, to - from);
}

struct SimRun {
  Run run;
  std::string log;
  QJsonObject record;
};

SimRun DownloadIntoSim(int latencyMs, const std::string &text, bool fast) {
  SimRun out;
  SkarvelSim simulator(latencyMs);
  if (!simulator.Serving()) return out;
  {
    d2xx::ScopedBackend backend(EmulatedBackend());
    Host host(kSerial);
    out.run = fast ? RunFast(host, text) : RunOnTimer(host, text);
    out.log = host.download.LogView();
  }
  simulator.Stop();
  out.record = simulator.Record();
  return out;
}

void FastAndTicksIntoSkarvelSim(benchmark::State &st) {
  const int latencyMs = static_cast<int>(st.range(0));
  const std::string text = FileOfLines(static_cast<int>(st.range(1)));
  const firmware::Image image = firmware::ReadImage(text, text.size());
  SimRun ticks, fast;
  for (auto _ : st) {
    ticks = DownloadIntoSim(latencyMs, text, false);
    fast = DownloadIntoSim(latencyMs, text, true);
    if (!ticks.run.success || !fast.run.success) st.SkipWithError("download failed");
  }
  const int lines = fast.run.lines;
  const std::string ticksPart = TransferPart(ticks.log, image);
  st.counters["lines"] = lines;
  st.counters["latency_ms"] = latencyMs;
  st.counters["ticks_s"] = ticks.run.seconds;
  st.counters["fast_s"] = fast.run.seconds;
  st.counters["fast_share"] = fast.run.seconds / ticks.run.seconds;
  st.counters["line_floor_s"] = LineFloorSeconds(lines, latencyMs);
  st.counters["fast_over_floor_pct"] =
      100.0 * (fast.run.seconds / LineFloorSeconds(lines, latencyMs) - 1.0);
  st.counters["fast_steps"] = fast.run.ticks;
  st.counters["memory_words"] = fast.record["memory"].toObject().size();
  st.counters["same_memory"] = !fast.record["memory"].toObject().isEmpty() &&
                               fast.record["memory"] == ticks.record["memory"] &&
                               fast.record["loaderLines"] == ticks.record["loaderLines"];
  st.counters["same_log"] = !ticksPart.empty() && ticksPart == TransferPart(fast.log, image);
  st.counters["problems"] = fast.record["problems"].toArray().size();
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  auto *real = benchmark::RegisterBenchmark("DownloadRealTimer", DownloadRealTimer);
  real->Arg(160)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
  if (std::getenv("TOLVANE_BENCH_FULL")) real->Arg(1536);
  benchmark::RegisterBenchmark("DownloadIntoSkarvelSim", DownloadIntoSkarvelSim)
      ->Arg(1)
      ->Arg(16)
      ->Unit(benchmark::kSecond)
      ->Iterations(1)
      ->UseRealTime();
  auto *both =
      benchmark::RegisterBenchmark("FastAndTicksIntoSkarvelSim", FastAndTicksIntoSkarvelSim);
  both->Args({1, 200})->Args({16, 200});
  if (std::getenv("TOLVANE_BENCH_FULL")) both->Args({1, 1536});
  both->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
