// Measures a whole write of the settings window against an emulated unit, driven by the window's
// own 80 ms timer, beside its floor of 27 ticks (2.16 s). Prints figures; asserts nothing.
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "session/shared_state.h"
#include "settings/settings_window.h"
#include "sim/in_process.h"

int main(int argc, char **argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::atoi(argv[1]) : 3;

  sim::SystemClock clock;
  sim::InstalledUnits units(&clock);
  sim::Unit &unit = units.Add({.serial = "VRT00001"});
  SharedState state("/tmp/");
  state.SerialList[0] = "VRT00001";
  state.Port = std::make_unique<TFT232>("VRT00001");

  TForm6 window(state, nullptr);
  window.show();
  auto *write = window.findChild<QPushButton *>("Button2");
  auto *timer = window.findChild<QTimer *>("Timer1");
  constexpr double floorMs = 27 * 80.0;

  std::printf("settings write against the emulated unit, %d runs (floor %.0f ms)\n", runs, floorMs);
  for (int run = 1; run <= runs; ++run) {
    unit.ClearRecord();
    QElapsedTimer elapsed;
    elapsed.start();
    write->click();
    while (timer->isActive()) app.processEvents(QEventLoop::WaitForMoreEvents);
    const double ms = static_cast<double>(elapsed.nsecsElapsed()) / 1e6;
    std::printf("run %d: %zu lines in %.1f ms, %.2f%% over the floor\n", run,
                unit.GetRecord().commandLines.size(), ms, (ms / floorMs - 1.0) * 100.0);
  }
  window.reject();
  return 0;
}
