// How soon the unit hears the message after its start signal, and how soon it gets its stop
// signal after the message has ended. They measure and print; they assert nothing.
//
// A recording of a one-second tone runs as the recorder window runs it (Timer1 every 250 ms and
// the 5 ms poll of the output on real QTimers, the real player into a null sink), through an
// emulated unit in this process on the machine's clock that hears the sink's monitor. Per
// recording:
//
//   start_ms   RTS cleared -> the file's first sample heard by the unit (target: 0 to 50 ms)
//   wait_ms    the player's Play returned -> RTS cleared (the wait for the output's report)
//   end_ms     the file's last sample heard -> RTS set (Timer1's phase adds 0 to 250 ms)
//   stop_ms    of which: the ending's Stop action (stop and rewind) -> RTS set
//
// Needs a PulseAudio server (PULSE_SERVER; tools/pulse.sh starts a private one):
//   source tools/pulse.sh; start_private_pulse; build/tests/recorder/recording_benchmark;
//   stop_private_pulse
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <memory>

#include "link/link.h"
#include "recorder/audio_devices.h"
#include "recorder/audio_play.h"
#include "recorder/recording.h"
#include "session/shared_state.h"
#include "sim/in_process.h"
#include "sim/sound_capture.h"
#include "tests/recorder/sound_support.h"
#include "tests/recorder/window_stand_in.h"
#include "tests/support/scripted_prompt.h"
#include "tests/support/temp_folder.h"

using namespace std::chrono_literals;

namespace {

constexpr const char *kSerial = "VRT00099";
constexpr int kRate = 44100;

double Ms(sim::Time span) {
  return std::chrono::duration<double, std::milli>(span).count();
}

sim::Time Now() {
  return std::chrono::duration_cast<sim::Time>(std::chrono::steady_clock::now().time_since_epoch());
}

// The player with the times at which its calls returned.
class TimedPlayer : public recorder::AudioPlayPlayer {
 public:
  using AudioPlayPlayer::AudioPlayPlayer;
  void Play() override {
    AudioPlayPlayer::Play();
    playReturned = Now();
  }
  void Stop() override {
    stopCalled = Now();
    AudioPlayPlayer::Stop();
  }
  sim::Time playReturned{};
  sim::Time stopCalled{};
};

struct Figures {
  double start = 0, wait = 0, end = 0, stop = 0;
};

class Bench {
 public:
  Bench() {
    if (!sound::ServerAvailable()) {
      error = "no PulseAudio server: PULSE_SERVER is not set";
      return;
    }
    sink = std::make_unique<sound::NullSink>();
    if (!sink->Loaded()) {
      error = sink->Error();
      return;
    }
    outputs = ListAudioOutputs();
    index = sink->IndexIn(outputs);
    capture = std::make_unique<sim::SoundCapture>(sink->Name() + ".monitor");
    error = capture->Start();
    if (!error.empty()) return;
    units = std::make_unique<sim::InstalledUnits>(&clock);
    unit = &units->Add({.serial = kSerial});
    state = std::make_unique<SharedState>(folder.Folder());
    state->SerialList[0] = kSerial;
    state->ChosenIndex = 0;
    state->Port = std::make_unique<TFT232>(kSerial);
    ConfigurePort(*state->Port);
    recording = std::make_unique<recorder::MessageRecording>(*state, prompt, window);
    recording->Reset();
    file = sound::Tone(1.0, 440.0, {0.5, 0.5});
    path = folder.File("message.wav");
    sound::WriteWav(path, file);
    player =
        std::make_unique<TimedPlayer>(std::make_unique<TAudioPlay>(nullptr, path, index, outputs));
    window.player = player.get();
    recording->SetPlayer(player.get());
  }
  ~Bench() {
    recording.reset();
    player.reset();
    state.reset();
    units.reset();
  }

  // One recording, Timer1 on a real 250 ms timer as in the window.
  std::optional<Figures> Record() {
    QTimer timer1;
    timer1.setInterval(recorder::kTickInterval);
    QTimer timer3;
    timer3.setInterval(recorder::kSoundPollInterval);
    timer3.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer3, &QTimer::timeout, [&] {
      if (window.soundWatch) recording->WatchSound();
    });
    timer3.start();
    QEventLoop loop;
    QObject::connect(&timer1, &QTimer::timeout, [&] {
      recording->Step();
      if (recording->CurrentPhase() == recorder::Phase::Idle && started) loop.quit();
      if (recording->CurrentPhase() == recorder::Phase::Recording) started = true;
    });
    started = false;
    const std::size_t before = unit->GetRecord().recordings.size();
    recording->Start();
    timer1.start();
    QTimer::singleShot(10s, &loop, &QEventLoop::quit);
    loop.exec();
    timer1.stop();
    const auto &recordings = unit->GetRecord().recordings;
    if (recordings.size() != before + 1 || !recordings.back().stop) return std::nullopt;
    const sim::Recording r = recordings.back();
    sound::PumpUntil([&] { return capture->CapturedUntil() >= *r.stop; }, 3s);
    sim::Sound heard = capture->Cut(r.start, *r.stop);
    sound::Pcm pcm;
    pcm.samples = std::move(heard.samples);
    const std::size_t onset = sound::Onset(pcm);
    if (onset >= pcm.Frames()) return std::nullopt;
    Figures f;
    const sim::Time firstSample =
        r.start + sim::Time(static_cast<std::int64_t>(onset) * 1'000'000'000 / kRate);
    const sim::Time lastSample =
        firstSample + sim::Time(static_cast<std::int64_t>(file.Frames()) * 1'000'000'000 / kRate);
    f.start = Ms(firstSample - r.start);
    f.wait = Ms(r.start - player->playReturned);
    f.end = Ms(*r.stop - lastSample);
    f.stop = Ms(*r.stop - player->stopCalled);
    sound::Pump(300ms);  // a pause between recordings
    return f;
  }

  std::string error;

 private:
  TempFolder folder;
  std::unique_ptr<sound::NullSink> sink;
  std::vector<std::string> outputs;
  int index = -1;
  std::unique_ptr<sim::SoundCapture> capture;
  sim::SystemClock clock;
  std::unique_ptr<sim::InstalledUnits> units;
  sim::Unit *unit = nullptr;
  std::unique_ptr<SharedState> state;
  ScriptedPrompt prompt;
  WindowStandIn window;
  sound::Pcm file;
  std::string path;
  std::unique_ptr<TimedPlayer> player;
  std::unique_ptr<recorder::MessageRecording> recording;
  bool started = false;
};

void RecordingDelays(benchmark::State &state) {
  Bench bench;
  if (!bench.error.empty()) {
    state.SkipWithError(bench.error.c_str());
    return;
  }
  Figures sum, most;
  int runs = 0;
  for (auto _ : state) {
    const std::optional<Figures> f = bench.Record();
    if (!f) {
      state.SkipWithError("a recording did not end or the unit heard nothing");
      return;
    }
    std::printf(
        "recording %d: start %.1f ms (waited %.1f ms after Play), end %.1f ms (stop %.1f ms)\n",
        runs + 1, f->start, f->wait, f->end, f->stop);
    state.SetIterationTime(f->start / 1000.0);
    sum.start += f->start;
    sum.wait += f->wait;
    sum.end += f->end;
    sum.stop += f->stop;
    most.start = std::max(most.start, f->start);
    most.end = std::max(most.end, f->end);
    ++runs;
  }
  state.counters["start_ms"] = sum.start / runs;
  state.counters["start_max_ms"] = most.start;
  state.counters["wait_ms"] = sum.wait / runs;
  state.counters["end_ms"] = sum.end / runs;
  state.counters["end_max_ms"] = most.end;
  state.counters["stop_ms"] = sum.stop / runs;
}
BENCHMARK(RecordingDelays)->Iterations(8)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
