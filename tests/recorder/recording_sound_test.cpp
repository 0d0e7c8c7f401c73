// Recordings with the real player into a null sink of the test's own, through an emulated unit in
// the test process on the machine's clock, which hears the sink's monitor: the unit's recording
// (RTS cleared to RTS set) is cut from that capture and checked for the file's sound.
#include <gtest/gtest.h>

#include <gst/gst.h>

#include <QProcess>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

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
using recorder::Phase;

namespace {

constexpr const char *kSerial = "VRT00031";
constexpr int kRate = 44100;
constexpr double kFrequency = 440.0;

sound::Pcm AsPcm(const sim::Sound &sound) {
  sound::Pcm pcm;
  pcm.rate = sound.rate;
  pcm.channels = sound.channels;
  pcm.samples = sound.samples;
  return pcm;
}

// Sign changes of a channel between two frames.
std::size_t Crossings(const sound::Pcm &pcm, int channel, std::size_t from, std::size_t to) {
  std::size_t crossings = 0;
  for (std::size_t f = from + 1; f < std::min(to, pcm.Frames()); ++f)
    if ((pcm.At(f - 1, channel) < 0) != (pcm.At(f, channel) < 0)) ++crossings;
  return crossings;
}

class RecordingSound : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sound::ServerAvailable())
      GTEST_SKIP() << "no PulseAudio server named by PULSE_SERVER (tools/test starts one)";
    sink = std::make_unique<sound::NullSink>();
    ASSERT_TRUE(sink->Loaded()) << sink->Error();
    outputs = ListAudioOutputs();
    index = sink->IndexIn(outputs);
    ASSERT_GE(index, 0);
    capture = std::make_unique<sim::SoundCapture>(sink->Name() + ".monitor");
    if (CaptureBeforeOpening()) {
      ASSERT_EQ(capture->Start(), "");
    }

    units = std::make_unique<sim::InstalledUnits>(&clock);
    unit = &units->Add({.serial = kSerial});
    state = std::make_unique<SharedState>(folder.Folder());
    state->SerialList[0] = kSerial;
    state->ChosenIndex = 0;
    state->DeviceChosen = true;
    state->Port = std::make_unique<TFT232>(kSerial);
    ConfigurePort(*state->Port);
    recording = std::make_unique<recorder::MessageRecording>(*state, prompt, window);
    recording->Sleep = [](std::chrono::milliseconds) {};
    recording->Reset();
  }

  // False where the test starts the unit's capture itself.
  virtual bool CaptureBeforeOpening() const { return true; }

  void TearDown() override {
    recording.reset();
    player.reset();
    state.reset();
    units.reset();
    capture.reset();
  }

  // Opens the file while the unit's capture of the sink's monitor starts: the sound server
  // changes the sink's state (its latency, the size of the blocks it renders) meanwhile.
  void OpenWhileTheCaptureStarts(const sound::Pcm &pcm) {
    std::string failed;
    std::thread starting([&] { failed = capture->Start(); });
    Open(pcm);
    starting.join();
    ASSERT_EQ(failed, "");
  }

  // Suspends the test's sink and resumes it, as the server does with an idle output.
  void SuspendAndResumeTheSink() {
    for (const char *suspend : {"1", "0"}) {
      QProcess pactl;
      pactl.start("pactl", {"suspend-sink", QString::fromStdString(sink->Name()), suspend});
      ASSERT_TRUE(pactl.waitForFinished(10000));
      ASSERT_EQ(pactl.exitCode(), 0) << pactl.readAllStandardError().toStdString();
    }
  }

  // Makes the output hold `microseconds` of sound instead of the player's usual 25 ms, from the
  // next Play on.
  void LengthenTheOutput(gint64 microseconds) {
    GstIterator *it = gst_bin_iterate_recurse(GST_BIN(player->Audio().Pipeline()));
    GValue item = G_VALUE_INIT;
    bool set = false;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
      GObject *element = G_OBJECT(g_value_get_object(&item));
      if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "buffer-time") != nullptr) {
        g_object_set(element, "buffer-time", microseconds, nullptr);
        set = true;
      }
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    ASSERT_TRUE(set);
  }

  void Open(const sound::Pcm &pcm) {
    const std::string path = folder.File("message.wav");
    ASSERT_TRUE(sound::WriteWav(path, pcm));
    player = std::make_unique<recorder::AudioPlayPlayer>(
        std::make_unique<TAudioPlay>(nullptr, path, index, outputs));
    window.player = player.get();
    recording->SetPlayer(player.get());
  }

  // Runs Timer1's ticks on real time until the recording has ended, or for at most `limit`;
  // `whileRecording` is called at every tick of the recording with the time since its start.
  void RunUntilIdle(std::chrono::milliseconds limit,
                    const std::function<void(std::chrono::milliseconds)> &whileRecording = {}) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::optional<std::chrono::steady_clock::time_point> started;
    while (std::chrono::steady_clock::now() < deadline) {
      PumpOneTick();
      recording->Step();
      if (recording->CurrentPhase() == Phase::Recording) {
        if (!started) started = std::chrono::steady_clock::now();
        if (whileRecording)
          whileRecording(std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::steady_clock::now() - *started));
      }
      if (started && recording->CurrentPhase() == Phase::Idle) return;
    }
    ADD_FAILURE() << "the recording did not end";
  }

  // One tick of Timer1 on real time: the event loop runs (the player's end of stream arrives
  // through it), and the poll of the output while the sound starts runs on its own interval.
  void PumpOneTick() {
    const auto tick = std::chrono::steady_clock::now() + 250ms;
    while (std::chrono::steady_clock::now() < tick) {
      sound::Pump(std::chrono::milliseconds(recorder::kSoundPollInterval));
      if (window.soundWatch) recording->WatchSound();
    }
  }

  // What the unit heard during its one recording (or the `number`th of `of`).
  sound::Pcm Recorded(std::size_t number = 1, std::size_t of = 1) {
    const auto &recordings = unit->GetRecord().recordings;
    EXPECT_EQ(recordings.size(), of);
    if (recordings.size() < number || !recordings[number - 1].stop) return {};
    const sim::Time start = recordings[number - 1].start;
    const sim::Time stop = *recordings[number - 1].stop;
    EXPECT_TRUE(sound::PumpUntil(
        [&] { return capture->CapturedUntil() && *capture->CapturedUntil() >= stop; }, 5s));
    return AsPcm(capture->Cut(start, stop));
  }

  // The unit heard the whole file: its first sample first, within 50 ms after RTS was cleared (here
  // 80 ms, which leaves room for a loaded machine and still tells a late start), all of the
  // file from its first to its last sound (its length within 50 ms; gaps of an overloaded
  // machine aside), and RTS set again after the last sound and within 450 ms of it. Prints the
  // figures.
  static void ExpectWholeMessageInTime(const sound::Pcm &heard, const sound::Pcm &file,
                                       const char *what) {
    SCOPED_TRACE(what);
    const std::size_t onset = sound::Onset(heard);
    ASSERT_LT(onset, heard.Frames()) << "the unit heard nothing";
    const std::size_t end = sound::End(heard);
    const double ms = 1000.0 / kRate;
    std::printf(
        "[ figures  ] %s: RTS cleared -> first sound %.1f ms, last sound -> RTS set "
        "%.1f ms, sound %.1f ms of %.1f ms\n",
        what, static_cast<double>(onset) * ms, static_cast<double>(heard.Frames() - end) * ms,
        static_cast<double>(end - onset) * ms, static_cast<double>(file.Frames()) * ms);
    EXPECT_GT(onset, 0u) << "the sound began before the start signal";
    EXPECT_LE(onset, static_cast<std::size_t>(kRate * 8 / 100))
        << "the message began " << static_cast<double>(onset) * ms << " ms after the start signal";
    std::size_t differing = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(2048, heard.Frames() - onset); ++i)
      for (int c = 0; c < 2; ++c) differing += heard.At(onset + i, c) != file.At(i, c);
    EXPECT_EQ(differing, 0u) << "the message does not begin with the file's first sample";
    EXPECT_NEAR(static_cast<double>(end - onset), static_cast<double>(file.Frames()), kRate / 20.0)
        << "the message was not heard whole";
    EXPECT_GT(sound::ActiveFrames(heard), file.Frames() * 9 / 10);
    EXPECT_LE(heard.Frames() - end, static_cast<std::size_t>(kRate * 45 / 100))
        << "RTS was set " << static_cast<double>(heard.Frames() - end) * ms
        << " ms after the last sound";
  }

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
  std::unique_ptr<recorder::AudioPlayPlayer> player;
  std::unique_ptr<recorder::MessageRecording> recording;
};

}  // namespace

TEST_F(RecordingSound, AThreeSecondToneIsRecordedWholeAndTheRecordingEndsAtItsEnd) {
  const sound::Pcm file = sound::Tone(3.0, kFrequency, {0.5, 0.5});
  Open(file);
  recording->Start();
  RunUntilIdle(8s);
  EXPECT_TRUE(unit->Rts());
  EXPECT_EQ(player->GetPosition(), 0) << "the file is rewound";
  EXPECT_FALSE(window.timer2);

  const sound::Pcm heard = Recorded();
  const std::size_t onset = sound::Onset(heard);
  ASSERT_LT(onset, heard.Frames()) << "the unit heard nothing";
  EXPECT_GT(onset, 0u) << "the sound began before the start signal: the first word is clipped";
  // The first sound the unit heard is the file's first sample, and the start follows exactly.
  std::size_t differing = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(2048, heard.Frames() - onset); ++i)
    for (int c = 0; c < 2; ++c) differing += heard.At(onset + i, c) != file.At(i, c);
  EXPECT_EQ(differing, 0u) << "the start of the message is not the start of the file";

  // The whole tone, then the stop signal soon after its end, long before 9.9 s.
  EXPECT_NEAR(static_cast<double>(sound::ActiveFrames(heard)), 3.0 * kRate, 0.03 * 3.0 * kRate);
  const std::size_t end = sound::End(heard);
  EXPECT_GE(end, onset + file.Frames() - kRate / 100) << "the end of the message is missing";
  EXPECT_LT(heard.Frames(), static_cast<std::size_t>(5 * kRate))
      << "the recording did not end at the end of the file";
  EXPECT_NEAR(static_cast<double>(Crossings(heard, 0, onset, end)), 2 * kFrequency * 3.0,
              2 * kFrequency * 3.0 * 0.02)
      << "not the file's tone";
  EXPECT_NEAR(sound::Decibels(sound::MedianBlockLevel(heard, 0, onset, end) / (0.5 / std::sqrt(2))),
              0.0, 0.5);
  ExpectWholeMessageInTime(heard, file, "plain");
}

TEST_F(RecordingSound, TheLongestRecordingCutsALongFileWhileItPlays) {
  const sound::Pcm file = sound::Tone(20.0, kFrequency, {0.5, 0.5});
  Open(file);
  recording->Start();
  // Timer2, stepped by the test: it fires after 1.5 s instead of 9.9 s.
  RunUntilIdle(8s, [&](std::chrono::milliseconds since) {
    if (since >= 1500ms) recording->LimitReached();
  });
  EXPECT_TRUE(unit->Rts());
  EXPECT_EQ(player->GetPosition(), 0) << "the file is rewound";

  const sound::Pcm heard = Recorded();
  const std::size_t onset = sound::Onset(heard);
  ASSERT_LT(onset, heard.Frames()) << "the unit heard nothing";
  // The tone ran until the stop signal came; the file, 20 s long, was far from its end.
  const std::size_t active = sound::ActiveFrames(heard);
  EXPECT_GT(active, static_cast<std::size_t>(1.4 * kRate));
  EXPECT_LT(active, static_cast<std::size_t>(3.0 * kRate));
  EXPECT_GT(sound::End(heard), heard.Frames() - static_cast<std::size_t>(0.2 * kRate))
      << "the sound stopped well before the stop signal";
}

TEST_F(RecordingSound, AFileOpenForAWhileIsStillHeardRightAfterTheStartSignal) {
  // An output stream that had never played once put the first sample as far into the output as
  // the file had been open: the unit recorded that long a silence before the message, and after
  // ten seconds nothing but silence.
  const sound::Pcm file = sound::Tone(1.0, kFrequency, {0.5, 0.5});
  Open(file);
  sound::Pump(2500ms);
  recording->Start();
  RunUntilIdle(8s);
  const sound::Pcm heard = Recorded();
  const std::size_t onset = sound::Onset(heard);
  ASSERT_LT(onset, heard.Frames()) << "the unit heard nothing";
  EXPECT_LT(onset, static_cast<std::size_t>(kRate / 2))
      << "the message began " << onset * 1000 / kRate << " ms after the start signal";
  EXPECT_NEAR(static_cast<double>(sound::ActiveFrames(heard)), 1.0 * kRate, 0.03 * kRate);
}

TEST_F(RecordingSound, AnOutputThatHoldsMuchHasPlayedTheWholeMessageWhenRtsIsSet) {
  // A Bluetooth, HDMI or USB output holds 100 to 300 ms: the stop after the end of the stream
  // waits until the output has played out what it holds, or the rewind at the stop drops it.
  const sound::Pcm file = sound::Tone(1.0, kFrequency, {0.5, 0.5});
  Open(file);
  LengthenTheOutput(400000);
  recording->Start();
  RunUntilIdle(8s);
  ExpectWholeMessageInTime(Recorded(), file, "output holding 400 ms");
}

// The sound server changed its state while the program started: here the unit's capture of the
// sink's monitor starts together with the opening of the file, and the sink is suspended and
// resumed while the file stands open. On a desk this left every recording starting 1.4 s late.
class RecordingSoundAfterAChange : public RecordingSound {
 protected:
  bool CaptureBeforeOpening() const override { return false; }
};

TEST_F(RecordingSoundAfterAChange, EveryRecordingStartsAtTheStartSignalAndEndsWhole) {
  const sound::Pcm file = sound::Tone(2.0, kFrequency, {0.5, 0.5});
  OpenWhileTheCaptureStarts(file);
  recording->Start();
  RunUntilIdle(8s);
  ExpectWholeMessageInTime(Recorded(1, 1), file, "capture started with the opening");

  SuspendAndResumeTheSink();
  sound::Pump(1000ms);
  recording->Start();
  RunUntilIdle(8s);
  ExpectWholeMessageInTime(Recorded(2, 2), file, "sink suspended and resumed since");
}

// A sink that has been idle renders far ahead; a capture of low latency that joins it (here a
// parec, and the unit's own capture) makes it play what comes next only after what it rendered
// ahead, up to two seconds later, and the sound server's clock of the stream tells so. Both start
// together with the player, and the recording starts at once.
class RecordingSoundWhileTheSinkRendersAhead : public RecordingSound {
 protected:
  bool CaptureBeforeOpening() const override { return false; }

  void RecordAtOnce(const sound::Pcm &file, const std::function<void()> &beforeStart = {}) {
    QProcess parec;
    parec.setStandardOutputFile(QProcess::nullDevice());
    parec.start("parec",
                {"--latency-msec=5", "-d", QString::fromStdString(sink->Name() + ".monitor")});
    ASSERT_TRUE(parec.waitForStarted(1000));
    std::string failed;
    std::thread starting([&] { failed = capture->Start(); });
    Open(file);
    if (beforeStart) beforeStart();
    recording->Start();
    RunUntilIdle(10s);
    starting.join();
    ASSERT_EQ(failed, "");
    parec.kill();
    parec.waitForFinished(1000);
  }
};

TEST_F(RecordingSoundWhileTheSinkRendersAhead, TheStartSignalComesWithTheFirstSound) {
  const sound::Pcm file = sound::Tone(2.0, kFrequency, {0.5, 0.5});
  RecordAtOnce(file);
  ExpectWholeMessageInTime(Recorded(), file, "sink rendering ahead");
}

TEST_F(RecordingSoundWhileTheSinkRendersAhead, AnOutputThatHolds400msKeepsTheSameBounds) {
  const sound::Pcm file = sound::Tone(2.0, kFrequency, {0.5, 0.5});
  RecordAtOnce(file, [&] { LengthenTheOutput(400000); });
  ExpectWholeMessageInTime(Recorded(), file, "sink rendering ahead, output holding 400 ms");
}
