// tolvane-cli's firmware download into 8 units at once beside the same download into 1 unit
// alone, both in one run against skarvel-sim with a real unit's line timing (latency timer 1 ms).
// Prints the wall time of each run, each unit's own time and the ratio of the two runs; asserts
// nothing. The image has 200 lines; TOLVANE_BENCH_FULL=1 sends the full image of 1536 lines
// (about 2.5 minutes a run). "fast" as the first argument runs both with --fast. "history" as the
// first argument runs the 8 units with the service history off and then kept, and prints the
// ratio of the two; "shared" the same with the history kept and shared on a private PostgreSQL
// server on this machine (--server).
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "d2xx/device_link.h"
#include "tests/firmware/hex_records.h"
#include "tests/history/private_postgres.h"

using namespace std::chrono_literals;

namespace {

struct Figures {
  double wall = 0;
  double slowest = 0;
  int succeeded = 0;
  int units = 0;
};

Figures Download(const QString &hex, const QStringList &serials, bool fast,
                 const QString &history = "none", const QString &server = {}) {
  QStringList arguments = {"firmware",       hex,         "--json", "--log-dir",
                           QDir::tempPath(), "--history", history};
  if (!server.isEmpty()) arguments << "--server" << server;
  for (const QString &serial : serials) arguments << "--unit" << serial;
  if (fast) arguments << "--fast";
  QProcess program;
  const auto start = std::chrono::steady_clock::now();
  program.start(TOLVANE_CLI_PROGRAM, arguments);
  program.waitForFinished(-1);
  Figures figures;
  figures.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const QJsonArray units =
      QJsonDocument::fromJson(program.readAllStandardOutput())["units"].toArray();
  for (const auto entry : units) {
    const QJsonObject unit = entry.toObject();
    ++figures.units;
    if (unit["ok"].toBool()) ++figures.succeeded;
    figures.slowest = std::max(figures.slowest, unit["seconds"].toDouble());
  }
  return figures;
}

void Print(const char *what, const Figures &f) {
  std::printf("%-10s %d/%d units succeeded, wall %.2f s, slowest unit %.2f s\n", what, f.succeeded,
              f.units, f.wall, f.slowest);
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const bool fast = argc > 1 && std::string(argv[1]) == "fast";
  const bool shared = argc > 1 && std::string(argv[1]) == "shared";
  const bool history = shared || (argc > 1 && std::string(argv[1]) == "history");
  const bool full = std::getenv("TOLVANE_BENCH_FULL") != nullptr;
  const int lines = full ? 1536 : 200;

  QTemporaryDir runtime;
  setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
  const QString hex = runtime.path() + "/image.hex";
  QFile file(hex);
  if (!file.open(QIODevice::WriteOnly)) return 1;
  file.write(QByteArray::fromStdString(
      hexfile::FirmwareFile(static_cast<unsigned>(full ? 0x1800 : 8 + 4 * (lines - 2)))));
  file.close();

  QStringList eight;
  QStringList simArguments = {"--quiet", "--unit", "VRT00100"};
  for (int i = 1; i <= 8; ++i) {
    eight << QString::asprintf("VRT%05d", i);
    simArguments << "--unit" << eight.back();
  }
  QProcess simulator;
  simulator.start(SKARVEL_SIM_PROGRAM, simArguments);
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (d2xx::link::ListDevices().size() < 9 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  if (d2xx::link::ListDevices().size() < 9) {
    std::fprintf(stderr, "skarvel-sim does not serve\n");
    return 1;
  }

  std::printf("firmware of %d lines into skarvel-sim (real line timing, latency 1 ms)%s\n", lines,
              fast ? ", fast transfer" : "");
  if (history) {
    const QString file = runtime.path() + "/history.sqlite";
    PrivatePostgres postgres;
    QString server;
    if (shared) {
      if (!postgres.Ready() || !postgres.Start()) {
        std::fprintf(stderr, "no PostgreSQL server: %s\n", qPrintable(postgres.Error()));
        return 1;
      }
      server = postgres.Url();
      QProcess init;
      init.start(TOLVANE_CLI_PROGRAM, {"server-init", server});
      init.waitForFinished(-1);
    }
    for (int round = 0; round < 2; ++round) {
      const Figures off = Download(hex, eight, false, "none");
      Print("8, off:", off);
      const Figures kept = Download(hex, eight, false, file, server);
      Print(shared ? "8, shared:" : "8, kept:", kept);
      std::printf("history %s / off: %.4f (wall), %.4f (slowest unit)\n",
                  shared ? "shared" : "kept", kept.wall / off.wall,
                  kept.slowest / std::max(off.slowest, 1e-9));
    }
    simulator.terminate();
    simulator.waitForFinished(5000);
    return 0;
  }
  const Figures one = Download(hex, {"VRT00100"}, fast);
  Print("1 unit:", one);
  const Figures all = Download(hex, eight, fast);
  Print("8 units:", all);
  std::printf("8 units / 1 unit: %.3f (wall), %.3f (slowest unit)\n", all.wall / one.wall,
              all.slowest / std::max(one.slowest, 1e-9));
  simulator.terminate();
  simulator.waitForFinished(5000);
  return 0;
}
