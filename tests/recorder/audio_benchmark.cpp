// Measures the delay from TAudioPlay::Play to the first sound at the output: a null sink of its
// own in the PulseAudio server that PULSE_SERVER names, its monitor captured. Prints figures and
// asserts nothing. Run it under the private server of tools/pulse.sh, for example:
//   (source tools/pulse.sh; start_private_pulse; build/tests/recorder/recorder_benchmark;
//    stop_private_pulse)
#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "recorder/audio_devices.h"
#include "recorder/audio_play.h"
#include "tests/recorder/sound_support.h"

using namespace std::chrono_literals;

namespace {

// Plays `player` and returns the milliseconds until its sound reached the capture (near 0 it
// may come out a little below, from the estimate of when a captured frame arrived); nothing
// when nothing was heard.
std::optional<double> PlayToFirstSound(TAudioPlay &player, const sound::Capture &capture) {
  const std::size_t mark = capture.Frames();
  const auto played = std::chrono::steady_clock::now();
  player.Play();
  std::size_t onset = 0;
  const bool heard = sound::PumpUntil(
      [&] {
        const sound::Pcm pcm = capture.Samples();
        onset = sound::Onset(pcm, mark);
        return onset < pcm.Frames();
      },
      5s);
  if (!heard) return std::nullopt;
  return std::chrono::duration<double, std::milli>(capture.TimeOf(onset) - played).count();
}

void Report(const char *what, std::vector<double> delays) {
  if (delays.empty()) {
    std::printf("%s: nothing heard\n", what);
    return;
  }
  std::sort(delays.begin(), delays.end());
  std::printf("%s: median %.1f ms, min %.1f ms, max %.1f ms over %zu runs\n", what,
              delays[delays.size() / 2], delays.front(), delays.back(), delays.size());
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  if (!sound::ServerAvailable()) {
    std::printf("No PulseAudio server named by PULSE_SERVER; nothing measured.\n");
    return 0;
  }
  sound::NullSink sink;
  if (!sink.Loaded()) {
    std::printf("%s\n", sink.Error().c_str());
    return 1;
  }
  sound::Capture capture(sink.Name());
  if (const std::string error = capture.Start(); !error.empty()) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  QTemporaryDir folder;
  const std::string file = folder.filePath("tone.wav").toStdString();
  sound::WriteWav(file, sound::Tone(0.6, 440.0, {0.5, 0.5}));
  const std::vector<std::string> outputs = ListAudioOutputs();
  const int index = sink.IndexIn(outputs);

  std::vector<double> atOnce, afterOpenWait, afterStop;
  for (int run = 0; run < 8; ++run) {
    try {
      {
        TAudioPlay player(nullptr, file, index, outputs);
        if (const auto delay = PlayToFirstSound(player, capture)) atOnce.push_back(*delay);
        sound::PumpUntil([&] { return player.State() == 0; }, 5s);
      }
      TAudioPlay player(nullptr, file, index, outputs);
      sound::Pump(1s);
      if (const auto delay = PlayToFirstSound(player, capture)) afterOpenWait.push_back(*delay);
      sound::PumpUntil([&] { return player.GetPosition() > 2'000'000; }, 5s);
      player.Stop();
      sound::Pump(1s);
      if (const auto delay = PlayToFirstSound(player, capture)) afterStop.push_back(*delay);
      sound::PumpUntil([&] { return player.State() == 0; }, 5s);
    } catch (const std::exception &error) {
      std::printf("run %d: %s\n", run, error.what());
    }
  }
  Report("Play at once after opening, to first sound", atOnce);
  Report("Play 1 s after opening, to first sound", afterOpenWait);
  Report("Play after a stop of 1 s, to the sound going on", afterStop);
  return 0;
}
