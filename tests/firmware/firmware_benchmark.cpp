// Benchmarks of firmware loading. They measure and print; they assert nothing.
//
//   ReadImage          the image reader on a full-size HEX file (bytes per second)
//   DownloadTicks      a whole download into an in-process emulated unit, stepped tick by tick:
//                      ticks used against the floor of two ticks per image byte
//   DownloadRealTimer  the same through a real 5 ms Qt::PreciseTimer and the unit on the real
//                      clock: wall time against the floor (2 × bytes × 5 ms). The full image
//                      (1536 lines, floor 153.6 s) runs only with TOLVANE_BENCH_FULL=1.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdlib>

#include "app/shared_state.h"
#include "app/user_prompt.h"
#include "firmware/download.h"
#include "firmware/image_reader.h"
#include "link/link.h"
#include "sim/in_process.h"
#include "tests/firmware/hex_records.h"

using namespace std::chrono_literals;

namespace {

constexpr const char *kSerial = "VRT00099";

// An image of about `lines` lines: the reset vector, then 16-byte records.
std::string FileOfLines(int lines) {
  return hexfile::FirmwareFile(static_cast<unsigned>(lines <= 1535 ? 8 + 4 * (lines - 2) : 0x1800));
}

class Silent : public UserPrompt, public firmware::DownloadDisplay {
 public:
  void Inform(const std::string &, const std::string & = {}) override {}
  bool Ask(const std::string &, const std::string & = {}) override { return true; }
  void SetBusy(bool) override {}
  void StartTimer() override {
    if (timer) timer->start();
  }
  void StopTimer() override {
    if (timer) timer->stop();
  }
  void Refresh() override {}
  QTimer *timer = nullptr;
};

struct Bench {
  explicit Bench(const sim::Clock *clock = nullptr)
      : units(clock), state(folder.path().toStdString() + "/"), download(state, silent, silent) {
    units.Add({.serial = kSerial});
    state.SerialList[0] = kSerial;
    state.ChosenIndex = 0;
    state.Port = std::make_unique<TFT232>(kSerial);
    ConfigurePort(*state.Port);
    download.Reset();
  }
  sim::InstalledUnits units;
  QTemporaryDir folder;
  SharedState state;
  Silent silent;
  firmware::FirmwareDownload download;
};

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
      b.download.Tick();
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
  int lines = 0, ticks = 0;
  double seconds = 0;
  for (auto _ : st) {
    Bench b(&clock);
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(firmware::kTickInterval);
    b.silent.timer = &timer;
    QEventLoop loop;
    ticks = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      ++ticks;
      b.download.Tick();
      if (!b.download.Running()) loop.quit();
    });
    QElapsedTimer elapsed;
    elapsed.start();
    b.download.Start(text, text.size());
    lines = b.download.CurrentImage().LineCount();
    loop.exec();
    seconds = elapsed.nsecsElapsed() / 1e9;
    if (b.download.Result() != firmware::Ending::Success) st.SkipWithError("download failed");
  }
  const double floorSeconds = 2.0 * lines * firmware::kLineBytes * firmware::kTickInterval / 1000.0;
  st.counters["lines"] = lines;
  st.counters["ticks"] = ticks;
  st.counters["wall_s"] = seconds;
  st.counters["floor_s"] = floorSeconds;
  st.counters["over_floor_pct"] = 100.0 * (seconds / floorSeconds - 1.0);
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  auto *real = benchmark::RegisterBenchmark("DownloadRealTimer", DownloadRealTimer);
  real->Arg(160)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
  if (std::getenv("TOLVANE_BENCH_FULL")) real->Arg(1536);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
