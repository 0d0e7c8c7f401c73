// Figures of the emulated device link: a command line and its answer, one loader byte and its
// reply, and taking a full receive queue byte by byte as ReceiveAll does. Prints, asserts nothing.
#include <benchmark/benchmark.h>

#include <memory>

#include "d2xx/emulated_provider.h"
#include "link/ft232.h"
#include "link/link.h"
#include "sim/link_server.h"
#include "tests/support/emulated_backend.h"
#include "tests/support/private_runtime_dir.h"

namespace {

struct Link {
  Link() {
    backend = std::make_unique<d2xx::ScopedBackend>(EmulatedBackend());
    unit = &server.Add({});
    server.Start();
    port = std::make_unique<TFT232>("VRT00001");
    ConfigurePort(*port);
  }
  std::string await(std::size_t bytes) {
    std::string got;
    while (got.size() < bytes) got += ReceiveAll(port, "VRT00001");
    return got;
  }

  PrivateRuntimeDir runtime;
  sim::SystemClock clock;
  sim::LinkServer server{clock};
  std::unique_ptr<d2xx::ScopedBackend> backend;
  sim::Unit *unit = nullptr;
  std::unique_ptr<TFT232> port;
};

void CommandRoundTrip(benchmark::State &state) {
  Link link;
  for (auto _ : state) {
    SendText(link.port.get(), "AT@NORM\r\n");
    benchmark::DoNotOptimize(link.await(4));
  }
}
BENCHMARK(CommandRoundTrip)->Unit(benchmark::kMicrosecond);

void LoaderByteRoundTrip(benchmark::State &state) {
  Link link;
  SendText(link.port.get(), "AT@#\r\n");
  link.await(4);
  SendText(link.port.get(), "w");
  link.await(1);
  std::uint8_t byte = 0x10;
  for (auto _ : state) {
    link.port->WriteByte(byte++ & 0x3F);  // never the end line
    benchmark::DoNotOptimize(link.await(1));
  }
}
BENCHMARK(LoaderByteRoundTrip)->Unit(benchmark::kMicrosecond);

void FullQueueByteByByte(benchmark::State &state) {
  Link link;
  for (auto _ : state) {
    state.PauseTiming();
    {
      auto lock = link.server.Lock();
      link.unit->Say(std::string(65536, 'x'));
    }
    link.server.Wake();
    while (link.port->RxQueueCount() < 65536) {
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(ReceiveAll(link.port, "VRT00001"));
  }
}
BENCHMARK(FullQueueByteByByte)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
