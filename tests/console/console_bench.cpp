// Benchmarks of the console's tick under a unit that floods the port: time per tick and the
// memory the reply buffer and the received list hold. Built, not run as a test.
//
// The unit behind the port is served in-process through the program's own ProviderBackend; at
// every tick it has 64 KiB waiting, the most the emulated device link queues.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstring>
#include <deque>
#include <optional>

#include "console/console_session.h"
#include "console/console_window.h"
#include "d2xx/backend.h"
#include "session/shared_state.h"
#include "sim/in_process.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr std::size_t kFlood = 65536;
const char *const kSerial = "VRT0001";

struct Queue {
  std::deque<std::uint8_t> bytes;
  std::size_t offset = 0;  // position in the pattern, so that ticks do not end on a line feed
  void Fill(const std::string &pattern, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, ++offset)
      bytes.push_back(static_cast<std::uint8_t>(pattern[offset % pattern.size()]));
  }
};

class FloodDevice : public d2xx::Device {
 public:
  explicit FloodDevice(Queue &queue) : queue_(queue) {}
  FT_STATUS SetBaudRate(ULONG) override { return FT_OK; }
  FT_STATUS Read(void *buffer, DWORD toRead, DWORD *read) override {
    auto *out = static_cast<std::uint8_t *>(buffer);
    *read = 0;
    while (*read < toRead && !queue_.bytes.empty()) {
      out[(*read)++] = queue_.bytes.front();
      queue_.bytes.pop_front();
    }
    return FT_OK;
  }
  FT_STATUS Write(const void *, DWORD toWrite, DWORD *written) override {
    *written = toWrite;
    return FT_OK;
  }
  FT_STATUS QueueStatus(DWORD *rx, DWORD *tx) override {
    *rx = static_cast<DWORD>(queue_.bytes.size());
    *tx = 0;
    return FT_OK;
  }
  FT_STATUS SetDtr(bool) override { return FT_OK; }
  FT_STATUS SetRts(bool) override { return FT_OK; }
  FT_STATUS ModemStatus(ULONG *status) override {
    *status = 0;
    return FT_OK;
  }
  FT_STATUS SetBitMode(UCHAR, UCHAR) override { return FT_OK; }

 private:
  Queue &queue_;
};

class FloodProvider : public d2xx::DeviceProvider {
 public:
  explicit FloodProvider(Queue &queue) : queue_(queue) {}
  std::vector<d2xx::DeviceEntry> Enumerate() override { return {{"VERTIKOmate", kSerial}}; }
  FT_STATUS Open(const std::string &serial, std::unique_ptr<d2xx::Device> &device) override {
    if (serial != kSerial) return FT_DEVICE_NOT_FOUND;
    device = std::make_unique<FloodDevice>(queue_);
    return FT_OK;
  }

 private:
  Queue &queue_;
};

// A unit behind the program's ProviderBackend, and the shared state with its port open.
struct Bench {
  Bench() : state(tmp.Folder()) {
    std::vector<std::unique_ptr<d2xx::DeviceProvider>> providers;
    providers.push_back(std::make_unique<FloodProvider>(queue));
    scope.emplace(std::make_unique<d2xx::ProviderBackend>(std::move(providers)));
    state.SerialList[0] = kSerial;
    state.Port = std::make_unique<TFT232>(kSerial);
  }
  ~Bench() { state.Port.reset(); }
  Queue queue;
  TempFolder tmp;
  std::optional<d2xx::ScopedBackend> scope;
  SharedState state;
};

const std::string kLines = "OK\r\nERR\r\nNEW\r\nOK\r\nWAIT RTS\r\nUNSOLICITED 1234567\r\n";
// Bytes without any line feed: with a CR now and then, and with no line break at all.
const std::string kNoLineFeed = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ\r";
const std::string kNoBreak = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::size_t ListBytes(const std::deque<std::string> &lines) {
  std::size_t n = 0;
  for (const auto &line : lines) n += line.size();
  return n;
}

// The session's view in a benchmark: shows nothing.
struct NoView : console::ConsoleView {
  void StartTicking() override {}
  void StopTicking() override {}
  void Show() override {}
  void ShowTick(const console::TickResult &) override {}
};

void SessionTick(benchmark::State &run, const std::string &pattern, std::size_t perTick) {
  Bench bench;
  NoView view;
  console::ConsoleSession session(bench.state, view);
  std::size_t maxBuffer = 0;
  for (auto _ : run) {
    run.PauseTiming();
    bench.queue.Fill(pattern, perTick);
    run.ResumeTiming();
    session.SetRtsCleared(false);
    session.Step();
    benchmark::DoNotOptimize(session.LastTick());
    maxBuffer = std::max(maxBuffer, bench.state.ReplyBuffer.size());
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * perTick));
  run.counters["max_buffer_B"] = static_cast<double>(maxBuffer);
  run.counters["list_lines"] = static_cast<double>(session.Lines().size());
  run.counters["list_B"] = static_cast<double>(ListBytes(session.Lines()));
  run.counters["peak_rss_KiB"] = static_cast<double>(PeakRssKiB());
}

void BM_SessionTickQuiet(benchmark::State &run) {
  SessionTick(run, kLines, 0);
}
void BM_SessionTickFloodOfLines(benchmark::State &run) {
  SessionTick(run, kLines, kFlood);
}
void BM_SessionTickNoLineFeed(benchmark::State &run) {
  SessionTick(run, kNoLineFeed, kFlood);
}
void BM_SessionTickNoBreak(benchmark::State &run) {
  SessionTick(run, kNoBreak, kFlood);
}
BENCHMARK(BM_SessionTickQuiet);
BENCHMARK(BM_SessionTickFloodOfLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SessionTickNoLineFeed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SessionTickNoBreak)->Unit(benchmark::kMillisecond);

// The same flood from the emulated unit, served in-process: what the unit says reaches the
// console through the program's driver layer, as in the end-to-end tests.
void BM_SessionTickEmulatedUnitFlood(benchmark::State &run) {
  sim::InstalledUnits units;
  sim::Unit &unit = units.Add({.serial = kSerial});
  TempFolder tmp;
  SharedState state(tmp.Folder());
  state.SerialList[0] = kSerial;
  state.Port = std::make_unique<TFT232>(kSerial);
  NoView view;
  console::ConsoleSession session(state, view);
  std::string flood;
  while (flood.size() < kFlood) flood += kLines;
  flood.resize(kFlood);
  for (auto _ : run) {
    run.PauseTiming();
    unit.Say(flood);
    unit.ClearRecord();
    run.ResumeTiming();
    session.SetRtsCleared(false);
    session.Step();
    benchmark::DoNotOptimize(session.LastTick());
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * kFlood));
  run.counters["list_lines"] = static_cast<double>(session.Lines().size());
  run.counters["peak_rss_KiB"] = static_cast<double>(PeakRssKiB());
  state.Port.reset();
}
BENCHMARK(BM_SessionTickEmulatedUnitFlood)->Unit(benchmark::kMillisecond);

// The whole window tick, with the received list on screen (offscreen platform) repainted.
void WindowTick(benchmark::State &run, const std::string &pattern, std::size_t perTick) {
  Bench bench;
  TForm1 form(bench.state);
  form.show();
  form.findChild<QTimer *>("Timer1")->stop();
  auto *memo = form.findChild<QPlainTextEdit *>("Memo1");
  for (auto _ : run) {
    run.PauseTiming();
    bench.queue.Fill(pattern, perTick);
    run.ResumeTiming();
    form.Timer1Timer();
    memo->viewport()->repaint();
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * perTick));
  run.counters["memo_blocks"] = memo->document()->blockCount();
  run.counters["memo_chars"] = memo->document()->characterCount();
  run.counters["peak_rss_KiB"] = static_cast<double>(PeakRssKiB());
  form.reject();
}

void BM_WindowTickFloodOfLines(benchmark::State &run) {
  WindowTick(run, kLines, kFlood);
}
void BM_WindowTickNoLineFeed(benchmark::State &run) {
  WindowTick(run, kNoLineFeed, kFlood);
}
void BM_WindowTickNoBreak(benchmark::State &run) {
  WindowTick(run, kNoBreak, kFlood);
}
BENCHMARK(BM_WindowTickFloodOfLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowTickNoLineFeed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowTickNoBreak)->Unit(benchmark::kMillisecond);

// What the received list pays for one long line: the cost that bounding the shown line avoids.
// Under the plain rule a unit talking for one second without a line feed at 64 KiB a tick makes
// a 640 KiB line; a line of 1 MiB took minutes here.
void BM_MemoOneLine(benchmark::State &run) {
  QPlainTextEdit memo;
  memo.resize(282, 541);
  memo.show();
  const QString line(static_cast<qsizetype>(run.range(0)), QChar('x'));
  for (auto _ : run) {
    memo.clear();
    memo.appendPlainText(line);
    memo.viewport()->repaint();
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * run.range(0)));
}
BENCHMARK(BM_MemoOneLine)->Arg(1024)->Arg(16 * 1024)->Arg(64 * 1024)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
