#include "recorder/audio_play.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "recorder/audio_devices.h"
#include "tests/recorder/sound_support.h"
#include "tests/support/temp_folder.h"

using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kSecond = 10'000'000;  // in 100 ns units

const char kNoServer[] =
    "no PulseAudio server named by PULSE_SERVER (tools/test starts a private one)";

std::string Message(const EAudioPlayError &error) {
  return error.what();
}

// Every element of the pipeline, in any bin, with its factory's class.
std::vector<std::pair<std::string, std::string>> Elements(GstElement *pipeline) {
  std::vector<std::pair<std::string, std::string>> found;
  GstIterator *it = gst_bin_iterate_recurse(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    GstElement *element = GST_ELEMENT(g_value_get_object(&item));
    GstElementFactory *factory = gst_element_get_factory(element);
    const gchar *klass = factory != nullptr
                             ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS)
                             : "";
    gchar *name = gst_element_get_name(element);
    found.emplace_back(name, klass != nullptr ? klass : "");
    g_free(name);
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  return found;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Opening, where no sound output is needed.

class PlayerOpen : public ::testing::Test {
 protected:
  TempFolder folder;
  std::vector<std::string> noOutputs;
};

TEST_F(PlayerOpen, AVideoWithoutSoundIsRefusedWithCode1000) {
  const std::string video = folder.File("silent.avi");
  ASSERT_EQ(sound::RunPipeline("videotestsrc num-buffers=10 ! "
                               "video/x-raw,width=160,height=120,framerate=25/1 ! jpegenc ! "
                               "avimux ! filesink location=" +
                                   video,
                               20s),
            "");
  try {
    TAudioPlay player(nullptr, video, -1, noOutputs);
    FAIL() << "the file was opened";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(Message(error), "Specified file doesn't have any audio stream.");
    EXPECT_EQ(error.ErrorCode, 1000);
  }
}

TEST_F(PlayerOpen, AMissingFileFailsWithTheFileNotFoundCode) {
  try {
    TAudioPlay player(nullptr, folder.File("nothing.wav"), -1, noOutputs);
    FAIL() << "the file was opened";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(error.ErrorCode, AudioResult::E_FILE_NOT_FOUND);
    EXPECT_EQ(Message(error).rfind("DirectShow call failed: 80070002\r", 0), 0u) << Message(error);
    EXPECT_GT(Message(error).size(), std::string("DirectShow call failed: 80070002\r").size());
  }
}

TEST_F(PlayerOpen, AFileThatIsNoMediaFailsAsUnsupported) {
  const std::string text = folder.File("notes.wav");
  std::ofstream(text) << "These are notes, not sound.\n";
  try {
    TAudioPlay player(nullptr, text, -1, noOutputs);
    FAIL() << "the file was opened";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(error.ErrorCode, AudioResult::VFW_E_UNSUPPORTED_STREAM) << Message(error);
  }
}

TEST_F(PlayerOpen, AnOutputThatCannotBeReachedIsNotConnected) {
  const std::string file = folder.File("tone.wav");
  ASSERT_TRUE(sound::WriteWav(file, sound::Tone(0.2, 441.0, {0.5, 0.5})));
  const char *before = std::getenv("PULSE_SERVER");
  const std::string saved = before != nullptr ? before : "";
  setenv("PULSE_SERVER", ("unix:" + folder.File("no-server")).c_str(), 1);
  try {
    TAudioPlay player(nullptr, file, -1, noOutputs);
    ADD_FAILURE() << "the file was opened";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(Message(error), "Selected audio device not connected");
    EXPECT_EQ(error.ErrorCode, 1001);
  }
  if (before != nullptr) {
    setenv("PULSE_SERVER", saved.c_str(), 1);
  } else {
    unsetenv("PULSE_SERVER");
  }
}

// ---------------------------------------------------------------------------------------------
// The output-device list.

TEST(AudioOutputs, ListedByDisplayNameAndTheFirstOfTwoEqualNamesIsTaken) {
  if (!sound::ServerAvailable()) GTEST_SKIP() << kNoServer;
  sound::NullSink first;
  sound::NullSink second;
  ASSERT_TRUE(first.Loaded()) << first.Error();
  ASSERT_TRUE(second.Loaded()) << second.Error();
  std::vector<std::string> outputs = ListAudioOutputs();
  const int a = first.IndexIn(outputs);
  const int b = second.IndexIn(outputs);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_NE(a, b);

  // The sink made for an entry plays on the device of that name.
  GstElement *sink = MakeListedAudioOutput(outputs, a);
  ASSERT_NE(sink, nullptr);
  gst_object_ref_sink(sink);
  gchar *device = nullptr;
  g_object_get(sink, "device", &device, nullptr);
  EXPECT_STREQ(device, first.Name().c_str());
  g_free(device);
  gst_object_unref(sink);

  // Two entries of the same name: both lead to the first device of that name.
  outputs[static_cast<std::size_t>(b)] = first.Name();
  GstElement *again = MakeListedAudioOutput(outputs, b);
  ASSERT_NE(again, nullptr);
  gst_object_ref_sink(again);
  g_object_get(again, "device", &device, nullptr);
  EXPECT_STREQ(device, first.Name().c_str());
  g_free(device);
  gst_object_unref(again);

  EXPECT_EQ(MakeListedAudioOutput(outputs, -1), nullptr);
  EXPECT_EQ(MakeListedAudioOutput(outputs, static_cast<int>(outputs.size())), nullptr);
}

TEST(AudioOutputs, AListingThatFailsGivesNoOutputsInsteadOfAnError) {
  if (!sound::ServerAvailable()) GTEST_SKIP() << kNoServer;
  sound::NullSink present;
  ASSERT_TRUE(present.Loaded()) << present.Error();
  ASSERT_GE(present.IndexIn(ListAudioOutputs()), 0);

  // The sound server out of reach: the listing fails, and the program would start without it.
  TempFolder folder;
  const std::string saved = std::getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", ("unix:" + folder.File("no-server")).c_str(), 1);
  std::vector<std::string> outputs;
  EXPECT_NO_THROW(outputs = ListAudioOutputs());
  EXPECT_EQ(present.IndexIn(outputs), -1);
  setenv("PULSE_SERVER", saved.c_str(), 1);
}

// ---------------------------------------------------------------------------------------------
// Playing into a null sink of the test's own, with its monitor captured.

class PlayerSound : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sound::ServerAvailable()) GTEST_SKIP() << kNoServer;
    sink = std::make_unique<sound::NullSink>();
    ASSERT_TRUE(sink->Loaded()) << sink->Error();
    outputs = ListAudioOutputs();
    index = sink->IndexIn(outputs);
    ASSERT_GE(index, 0) << "the test's sink is not among the outputs";
    capture = std::make_unique<sound::Capture>(sink->Name());
    ASSERT_EQ(capture->Start(), "");
  }

  std::string Wav(const std::string &name, const sound::Pcm &pcm, bool eightBit = false) {
    const std::string path = folder.File(name);
    EXPECT_TRUE(sound::WriteWav(path, pcm, eightBit));
    return path;
  }

  std::unique_ptr<TAudioPlay> Open(const std::string &file,
                                   TBufferHandler::Function onBuffer = {}) {
    return std::make_unique<TAudioPlay>(nullptr, file, index, outputs, std::move(onBuffer));
  }

  // Plays from where the player stands until the end of the stream has stopped it, then waits
  // for the capture to hold what came out (the played frames and a margin), and returns the
  // capture from the moment of Play.
  sound::Pcm PlayToEnd(TAudioPlay &player, std::size_t playedFrames) {
    const std::size_t mark = capture->Frames();
    player.Play();
    EXPECT_EQ(player.State(), 2);
    EXPECT_TRUE(sound::PumpUntil([&] { return player.State() == 0; }, 20s))
        << "the end of the stream never stopped the player";
    EXPECT_TRUE(capture->WaitForFrames(mark + playedFrames + 13230, 10s));
    sound::Pcm all = capture->Samples();
    sound::Pcm since;
    since.samples.assign(all.samples.begin() + static_cast<long>(2 * mark), all.samples.end());
    return since;
  }

  // The capture holds the whole file, as it is: its first sample is the first sound, its last
  // sample the last, all of it came out (gaps of an overloaded machine aside) at its own level.
  static void ExpectWholeFile(const sound::Pcm &out, const sound::Pcm &file) {
    const std::size_t onset = sound::Onset(out);
    ASSERT_LT(onset, out.Frames()) << "nothing was heard";
    const std::size_t exact = std::min<std::size_t>(2048, out.Frames() - onset);
    std::size_t differing = 0;
    for (std::size_t i = 0; i < exact; ++i)
      for (int c = 0; c < file.channels; ++c)
        if (out.At(onset + i, c) != file.At(i, c)) ++differing;
    EXPECT_EQ(differing, 0u) << "the start of the file was not played as it is";
    const std::size_t end = sound::End(out);
    ASSERT_GE(end, 1024u);
    differing = 0;
    for (std::size_t i = 1; i <= 1024; ++i)
      for (int c = 0; c < file.channels; ++c)
        if (out.At(end - i, c) != file.At(file.Frames() - i, c)) ++differing;
    EXPECT_EQ(differing, 0u) << "the end of the file was not played as it is";
    const double frames = static_cast<double>(file.Frames());
    EXPECT_NEAR(static_cast<double>(sound::ActiveFrames(out)), frames, frames * 0.03);
    for (int c = 0; c < file.channels; ++c)
      EXPECT_NEAR(sound::Decibels(sound::MedianBlockLevel(out, c, onset, end) /
                                  sound::MedianBlockLevel(file, c, 0, file.Frames())),
                  0.0, 0.2)
          << "channel " << c;
  }

  TempFolder folder;
  std::unique_ptr<sound::NullSink> sink;
  std::vector<std::string> outputs;
  int index = -1;
  std::unique_ptr<sound::Capture> capture;
};

TEST_F(PlayerSound, AWavFilePlaysFromItsFirstSampleToItsEndAndStopsThere) {
  // 440 Hz: no whole number of samples repeats, so a clipped start cannot look like the start.
  const sound::Pcm file = sound::Tone(1.0, 440.0, {0.5, 0.25});
  const std::string path = Wav("tone.wav", file);
  std::atomic<std::size_t> tapped{0};
  int completed = 0;
  auto player =
      Open(path, [&](TAudioPlay *, const std::uint8_t *, std::size_t length) { tapped += length; });
  player->OnComplete = [&](TAudioPlay *sender) {
    EXPECT_EQ(sender, player.get());
    ++completed;
  };

  EXPECT_EQ(player->State(), 0);
  EXPECT_EQ(player->Duration(), kSecond);
  EXPECT_EQ(player->Capabilities(), 0x3Fu);
  EXPECT_TRUE(player->GetTimeFormat() == TIME_FORMAT_MEDIA_TIME);
  EXPECT_EQ(player->GetPosition(), 0);
  ASSERT_TRUE(player->HasGrabber());
  ASSERT_TRUE(player->WaveFormat().has_value());
  EXPECT_EQ(*player->WaveFormat(), (TWaveFormatEx{1, 2, 44100, 176400, 4, 16, 0}));

  const sound::Pcm out = PlayToEnd(*player, file.Frames());
  EXPECT_EQ(completed, 1);
  EXPECT_EQ(player->GetPosition(), player->Duration());
  EXPECT_EQ(tapped, file.samples.size() * 2) << "every decoded byte passes the tap";

  ExpectWholeFile(out, file);

  // Played again at the end, it stops again at once.
  player->Play();
  EXPECT_TRUE(sound::PumpUntil([&] { return completed == 2; }, 10s));
  EXPECT_EQ(player->State(), 0);
  EXPECT_EQ(player->GetPosition(), player->Duration());

  // Rewound, as the recorder does at every stop, it plays again from its first sample.
  player->SetPosition(0);
  EXPECT_EQ(player->GetPosition(), 0);
  ExpectWholeFile(PlayToEnd(*player, file.Frames()), file);
  EXPECT_EQ(completed, 3);
}

TEST_F(PlayerSound, TheTapSeesTheDecodedFormatOfAnEightBitMonoFile) {
  const sound::Pcm file = sound::Tone(0.5, 441.0, {0.5}, 22050);
  const std::string path = Wav("mono8.wav", file, true);
  std::atomic<std::size_t> tapped{0};
  auto player =
      Open(path, [&](TAudioPlay *, const std::uint8_t *, std::size_t length) { tapped += length; });
  ASSERT_TRUE(player->WaveFormat().has_value());
  EXPECT_EQ(*player->WaveFormat(), (TWaveFormatEx{1, 1, 22050, 22050, 1, 8, 0}));
  const sound::Pcm out = PlayToEnd(*player, 22050);
  EXPECT_EQ(tapped, file.Frames());
  // A mono file is heard on both channels.
  const std::size_t onset = sound::Onset(out);
  ASSERT_LT(onset, out.Frames());
  EXPECT_GT(sound::MedianBlockLevel(out, 0, onset, onset + 22050), 0.3);
  EXPECT_GT(sound::MedianBlockLevel(out, 1, onset, onset + 22050), 0.3);
}

TEST_F(PlayerSound, VolumeAttenuatesBothChannelsInHundredthsOfADecibel) {
  const sound::Pcm file = sound::Tone(0.5, 441.0, {0.5, 0.5});
  auto player = Open(Wav("tone.wav", file));
  EXPECT_EQ(player->GetVolume(), 0);
  player->SetVolume(-2000);
  EXPECT_EQ(player->GetVolume(), -2000);
  const sound::Pcm out = PlayToEnd(*player, file.Frames());
  const std::size_t onset = sound::Onset(out);
  ASSERT_LT(onset, out.Frames());
  const double full = 0.5 / std::sqrt(2);
  for (int c = 0; c < 2; ++c)
    EXPECT_NEAR(
        sound::Decibels(sound::MedianBlockLevel(out, c, onset, onset + file.Frames()) / full),
        -20.0, 0.3)
        << "channel " << c;
}

TEST_F(PlayerSound, VolumeAtItsFloorIsSilence) {
  const sound::Pcm file = sound::Tone(0.5, 441.0, {0.9, 0.9});
  auto player = Open(Wav("tone.wav", file));
  player->SetVolume(-10000);
  const sound::Pcm out = PlayToEnd(*player, file.Frames());
  EXPECT_EQ(player->GetPosition(), player->Duration()) << "the file was played to its end";
  EXPECT_EQ(sound::Peak(out, 0), 0);
  EXPECT_EQ(sound::Peak(out, 1), 0);
}

TEST_F(PlayerSound, OutOfRangeVolumeAndBalanceAreRefusedAndChangeNothing) {
  auto player = Open(Wav("tone.wav", sound::Tone(0.2, 441.0, {0.5, 0.5})));
  player->SetVolume(-300);
  player->SetBalance(400);
  for (std::int32_t bad : {1, -10001}) {
    try {
      player->SetVolume(bad);
      ADD_FAILURE() << "volume " << bad << " was taken";
    } catch (const EAudioPlayError &error) {
      EXPECT_EQ(error.ErrorCode, AudioResult::E_INVALIDARG);
      EXPECT_EQ(Message(error),
                "DirectShow call failed: 80070057\rOne of the parameters is invalid.");
    }
  }
  for (std::int32_t bad : {10001, -10001}) {
    EXPECT_THROW(player->SetBalance(bad), EAudioPlayError);
  }
  EXPECT_EQ(player->GetVolume(), -300);
  EXPECT_EQ(player->GetBalance(), 400);
}

struct BalanceCase {
  std::int32_t balance;
  double leftDb;   // expected level of the left channel, or NAN for silence
  double rightDb;  // expected level of the right channel, or NAN for silence
};

void PrintTo(const BalanceCase &balance, std::ostream *os) {
  *os << "balance " << balance.balance;
}

class PlayerBalance : public PlayerSound, public ::testing::WithParamInterface<BalanceCase> {};

TEST_P(PlayerBalance, AttenuatesTheOtherChannelByAHundredthOfTheValueInDecibels) {
  const BalanceCase expected = GetParam();
  const sound::Pcm file = sound::Tone(0.5, 441.0, {0.5, 0.5});
  auto player = Open(Wav("tone.wav", file));
  player->SetBalance(expected.balance);
  EXPECT_EQ(player->GetBalance(), expected.balance);
  const sound::Pcm out = PlayToEnd(*player, file.Frames());
  const std::size_t onset = sound::Onset(out);
  ASSERT_LT(onset, out.Frames());
  const double full = 0.5 / std::sqrt(2);
  const double wanted[2] = {expected.leftDb, expected.rightDb};
  for (int c = 0; c < 2; ++c) {
    if (std::isnan(wanted[c])) {
      EXPECT_LE(sound::Peak(out, c), 1) << "channel " << c << " is not silent";
    } else {
      EXPECT_NEAR(
          sound::Decibels(sound::MedianBlockLevel(out, c, onset, onset + file.Frames()) / full),
          wanted[c], 0.3)
          << "channel " << c;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Balance, PlayerBalance,
                         ::testing::Values(BalanceCase{-10000, 0.0, NAN},
                                           BalanceCase{10000, NAN, 0.0},
                                           BalanceCase{2000, -20.0, 0.0},
                                           BalanceCase{-600, 0.0, -6.0}),
                         [](const auto &info) {
                           const std::int32_t b = info.param.balance;
                           return (b < 0 ? "Left" : "Right") + std::to_string(std::abs(b));
                         });

TEST_F(PlayerSound, StopAndPauseKeepThePositionAndPlayGoesOnFromIt) {
  const sound::Pcm file = sound::Tone(2.0, 441.0, {0.5, 0.5});
  auto player = Open(Wav("tone.wav", file));
  player->Play();
  ASSERT_TRUE(sound::PumpUntil([&] { return player->GetPosition() >= kSecond / 2; }, 10s));
  player->Stop();
  EXPECT_EQ(player->State(), 0);
  const std::int64_t stopped = player->GetPosition();
  sound::Pump(200ms);
  EXPECT_EQ(player->GetPosition(), stopped);
  EXPECT_GE(stopped, kSecond / 2);
  EXPECT_LT(stopped, 2 * kSecond);

  player->Play();
  ASSERT_TRUE(
      sound::PumpUntil([&] { return player->GetPosition() > stopped + kSecond / 10; }, 10s));
  player->Pause();
  EXPECT_EQ(player->State(), 1);
  const std::int64_t paused = player->GetPosition();
  sound::Pump(200ms);
  EXPECT_EQ(player->GetPosition(), paused);
  EXPECT_GT(paused, stopped);

  PlayToEnd(*player, 0);
  EXPECT_EQ(player->GetPosition(), 2 * kSecond);
}

TEST_F(PlayerSound, SeekingSetsWherePlayBegins) {
  const sound::Pcm file = sound::Tone(1.0, 440.0, {0.5, 0.25});
  auto player = Open(Wav("tone.wav", file));
  player->SetPosition(kSecond / 2);
  EXPECT_EQ(player->GetPosition(), kSecond / 2);
  player->SetPosition(-kSecond / 10, AM_SEEKING_RelativePositioning);
  EXPECT_EQ(player->GetPosition(), 4 * kSecond / 10);
  player->SetPosition(123, AM_SEEKING_NoPositioning);
  EXPECT_EQ(player->GetPosition(), 4 * kSecond / 10);
  EXPECT_THROW(player->SetPosition(0, 3), EAudioPlayError);
  EXPECT_EQ(player->State(), 0);

  const sound::Pcm out = PlayToEnd(*player, file.Frames() * 6 / 10);
  const std::size_t onset = sound::Onset(out);
  ASSERT_LT(onset, out.Frames());
  const std::size_t from = file.Frames() * 4 / 10;  // frame 17640
  std::size_t differing = 0;
  for (std::size_t i = 0; i < 1024; ++i)
    for (int c = 0; c < 2; ++c)
      if (out.At(onset + i, c) != file.At(from + i, c)) ++differing;
  EXPECT_EQ(differing, 0u) << "playback did not begin at the position set";
  EXPECT_EQ(player->GetPosition(), player->Duration());

  // Rewound after the end, the file plays again from its start.
  player->SetPosition(0);
  EXPECT_EQ(player->GetPosition(), 0);
  EXPECT_EQ(player->State(), 0);
}

TEST_F(PlayerSound, AnIndexOutsideTheListPlaysOnTheDefaultOutput) {
  const char *before = std::getenv("PULSE_SINK");
  const std::string saved = before != nullptr ? before : "";
  setenv("PULSE_SINK", sink->Name().c_str(), 1);
  const sound::Pcm file = sound::Tone(0.3, 441.0, {0.5, 0.5});
  const std::string path = Wav("tone.wav", file);
  for (int outside : {-1, static_cast<int>(outputs.size())}) {
    TAudioPlay player(nullptr, path, outside, outputs);
    EXPECT_EQ(player.DeviceIndex(), outside);
    const sound::Pcm out = PlayToEnd(player, file.Frames());
    EXPECT_GT(sound::ActiveFrames(out), file.Frames() / 2) << "index " << outside;
  }
  if (before != nullptr) {
    setenv("PULSE_SINK", saved.c_str(), 1);
  } else {
    unsetenv("PULSE_SINK");
  }
}

TEST_F(PlayerSound, AStateNotReachedInTimeRaisesAndLeavesTheStateAsItWas) {
  auto player = Open(Wav("tone.wav", sound::Tone(3.0, 441.0, {0.5, 0.5})));
  player->StateWaitLimit = 300ms;
  player->Play();
  ASSERT_TRUE(sound::PumpUntil([&] { return player->GetPosition() >= kSecond / 5; }, 10s));

  // Hold the decoded stream before the output: a stop then waits for a buffer that never comes.
  GstElement *grabber = gst_bin_get_by_name(GST_BIN(player->Pipeline()), "Grabber");
  ASSERT_NE(grabber, nullptr);
  GstPad *pad = gst_element_get_static_pad(grabber, "src");
  std::atomic<bool> held{false};
  const gulong block = gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BLOCK_DOWNSTREAM,
      [](GstPad *, GstPadProbeInfo *, gpointer data) {
        static_cast<std::atomic<bool> *>(data)->store(true);
        return GST_PAD_PROBE_OK;
      },
      &held, nullptr);
  ASSERT_TRUE(sound::PumpUntil([&] { return held.load(); }, 5s));
  sound::Pump(200ms);  // the output plays out what it holds

  try {
    player->Stop();
    ADD_FAILURE() << "the stop returned";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(error.ErrorCode, AudioResult::E_TIMEOUT);
    EXPECT_EQ(Message(error).rfind("DirectShow call failed: 800705B4\r", 0), 0u);
  }
  EXPECT_EQ(player->State(), 2);

  gst_pad_remove_probe(pad, block);
  gst_object_unref(pad);
  gst_object_unref(grabber);
  player->StateWaitLimit = 5s;
  player->Stop();
  EXPECT_EQ(player->State(), 0);
}

TEST_F(PlayerSound, AnErrorDuringPlaybackIsRaisedOnceByTheNextCall) {
  auto player = Open(Wav("tone.wav", sound::Tone(3.0, 441.0, {0.5, 0.5})));
  player->Play();
  ASSERT_TRUE(sound::PumpUntil([&] { return player->GetPosition() >= kSecond / 5; }, 10s));

  // As GStreamer reports an output that fails, then data that cannot be decoded.
  GstElement *output = nullptr;
  GstElement *source = gst_bin_get_by_name(GST_BIN(player->Pipeline()), "Source");
  for (const auto &[name, klass] : Elements(player->Pipeline()))
    if (klass.find("Sink/Audio") != std::string::npos)
      output = gst_bin_get_by_name(GST_BIN(player->Pipeline()), name.c_str());
  ASSERT_NE(output, nullptr);
  ASSERT_NE(source, nullptr);
  const auto post = [](GstElement *element, GQuark domain, gint code, const char *text) {
    GError *error = g_error_new_literal(domain, code, text);
    gst_element_post_message(element,
                             gst_message_new_error(GST_OBJECT(element), error, "from the test"));
    g_error_free(error);
  };
  // The first error is the cause; what follows it until it is raised adds nothing.
  post(output, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_WRITE, "The output is gone.");
  post(source, GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, "Internal data stream error.");
  sound::Pump(50ms);  // the bus is read meanwhile; the error waits for the next call
  try {
    player->GetPosition();
    ADD_FAILURE() << "no error raised";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(Message(error), "Selected audio device not connected");
    EXPECT_EQ(error.ErrorCode, 1001);
  }
  EXPECT_NO_THROW(player->GetPosition());

  post(source, GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE, "Broken data.");
  try {
    player->Stop();
    ADD_FAILURE() << "no error raised";
  } catch (const EAudioPlayError &error) {
    EXPECT_EQ(Message(error), "DirectShow call failed: 80040241\rBroken data.");
    EXPECT_EQ(error.ErrorCode, AudioResult::VFW_E_INVALID_FILE_FORMAT);
  }
  gst_object_unref(output);
  gst_object_unref(source);
  EXPECT_NO_THROW(player->GetPosition());
  EXPECT_NO_THROW(player->Stop());
  EXPECT_EQ(player->State(), 0);
}

TEST_F(PlayerSound, DestroyingAPlayingPlayerStopsTheTapAndTheBus) {
  std::atomic<int> buffers{0};
  auto player = Open(Wav("tone.wav", sound::Tone(3.0, 441.0, {0.5, 0.5})),
                     [&](TAudioPlay *, const std::uint8_t *, std::size_t) { ++buffers; });
  player->OnComplete = [](TAudioPlay *) { ADD_FAILURE() << "completed after destruction"; };
  player->Play();
  ASSERT_TRUE(sound::PumpUntil([&] { return buffers.load() > 2; }, 10s));
  player.reset();
  const int atDestruction = buffers.load();
  sound::Pump(100ms);
  EXPECT_EQ(buffers.load(), atDestruction);
}

TEST_F(PlayerSound, TheTapHandsEachStretchOnOncePerPlayAndAgainAfterAPositionSet) {
  // Every Play prerolls the file anew and decodes again what waited at the output: the tap
  // does not hand that on a second time.
  const sound::Pcm file = sound::Tone(0.5, 440.0, {0.5, 0.5});
  std::atomic<std::size_t> tapped{0};
  auto player = Open(Wav("tone.wav", file), [&](TAudioPlay *, const std::uint8_t *,
                                                std::size_t length) { tapped += length; });
  const std::size_t bytes = file.samples.size() * 2;
  EXPECT_GT(tapped.load(), 0u) << "the first buffer passes the tap while the file opens";
  PlayToEnd(*player, file.Frames());
  EXPECT_EQ(tapped.load(), bytes);
  player->Play();  // at the end: nothing more to hand on
  EXPECT_TRUE(sound::PumpUntil([&] { return player->State() == 0; }, 5s));
  EXPECT_EQ(tapped.load(), bytes);
  player->SetPosition(0);  // rewound: the file is handed on again
  PlayToEnd(*player, file.Frames());
  EXPECT_EQ(tapped.load(), 2 * bytes);
}

TEST_F(PlayerSound, TheEndThatASeekAtOrNearTheEndLeadsToStopsThePlayer) {
  const sound::Pcm file = sound::Tone(1.0, 440.0, {0.5, 0.5});
  auto player = Open(Wav("tone.wav", file));
  int completed = 0;
  player->OnComplete = [&](TAudioPlay *) { ++completed; };
  // Moved to the end, or 20 ms before it, while playing: the end of the stream that the seek
  // leads to stops the player (it was dropped with those of the position left behind).
  for (const std::int64_t before : {std::int64_t{0}, kSecond / 50}) {
    SCOPED_TRACE(before);
    player->SetPosition(0);
    player->Play();
    ASSERT_TRUE(sound::PumpUntil([&] { return player->GetPosition() >= kSecond / 5; }, 10s));
    const int was = completed;
    player->SetPosition(player->Duration() - before);
    EXPECT_TRUE(sound::PumpUntil([&] { return completed > was; }, 3s))
        << "the end of the stream never stopped the player";
    EXPECT_EQ(completed, was + 1);
    EXPECT_EQ(player->State(), 0);
    EXPECT_EQ(player->GetPosition(), player->Duration());
  }

  // An end of stream that reached the bus before a seek back belongs to the position left
  // behind: the player plays on from the position set and stops at the next end.
  player->SetPosition(0);
  player->Play();
  std::this_thread::sleep_for(1500ms);  // the end of the stream waits on the bus, unread
  const int was = completed;
  player->SetPosition(kSecond / 2);
  sound::Pump(200ms);
  EXPECT_EQ(completed, was) << "an end of stream from before the seek stopped the player";
  EXPECT_EQ(player->State(), 2);
  EXPECT_TRUE(sound::PumpUntil([&] { return completed > was; }, 5s));
  EXPECT_EQ(completed, was + 1);
}

// An output that holds much more than the player's usual 25 ms (a Bluetooth, HDMI or USB output
// holds 100 to 300 ms): here the output's own buffer, made 400 ms long. The player stops only once
// the output has played out what it holds; the whole file is heard, its end too.
TEST_F(PlayerSound, AnOutputThatHoldsMuchHasPlayedTheEndOutBeforeThePlayerStops) {
  const sound::Pcm file = sound::Tone(1.0, 440.0, {0.5, 0.25});
  auto player = Open(Wav("tone.wav", file));
  bool set = false;
  for (const auto &[name, klass] : Elements(player->Pipeline()))
    if (klass.find("Sink/Audio") != std::string::npos) {
      GstElement *output = gst_bin_get_by_name(GST_BIN(player->Pipeline()), name.c_str());
      g_object_set(output, "buffer-time", gint64{400000}, nullptr);
      gst_object_unref(output);
      set = true;
    }
  ASSERT_TRUE(set);
  bool completed = false;
  player->OnComplete = [&](TAudioPlay *) { completed = true; };
  const std::size_t mark = capture->Frames();
  player->Play();
  ASSERT_TRUE(sound::PumpUntil([&] { return completed; }, 10s));
  player->SetPosition(0);  // as the recorder rewinds at its stop: what the output held is gone
  ASSERT_TRUE(capture->WaitForFrames(mark + file.Frames() + 44100, 10s));
  sound::Pcm all = capture->Samples();
  sound::Pcm out;
  out.samples.assign(all.samples.begin() + static_cast<long>(2 * mark), all.samples.end());
  ExpectWholeFile(out, file);
}

// ---------------------------------------------------------------------------------------------
// The other formats, made at test time from a WAV file.

struct FormatCase {
  const char *name;
  const char *extension;
  std::vector<const char *> elements;  // needed to make the file
  const char *pipeline;                // {in} = the WAV file, {out} = the file made
  bool video;
};

void PrintTo(const FormatCase &format, std::ostream *os) {
  *os << format.name;
}

class PlayerFormats : public PlayerSound, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(PlayerFormats, PlaysTheSoundToItsEnd) {
  const FormatCase &format = GetParam();
  for (const char *element : format.elements)
    if (!sound::HasElement(element))
      GTEST_SKIP() << "GStreamer element " << element << " is not installed; no " << format.name
                   << " file can be made";
  const sound::Pcm source = sound::Tone(1.0, 441.0, {0.5, 0.5});
  const std::string in = Wav("source.wav", source);
  const std::string out = folder.File(std::string("file.") + format.extension);
  std::string description = format.pipeline;
  description.replace(description.find("{in}"), 4, in);
  description.replace(description.find("{out}"), 5, out);
  ASSERT_EQ(sound::RunPipeline(description, 30s), "");

  auto player = Open(out);
  ASSERT_TRUE(player->WaveFormat().has_value());
  EXPECT_EQ(player->WaveFormat()->nSamplesPerSec, 44100u);
  EXPECT_EQ(player->WaveFormat()->nChannels, 2u);
  EXPECT_NEAR(static_cast<double>(player->Duration()), static_cast<double>(kSecond), kSecond * 0.1);
  EXPECT_TRUE(player->Capabilities() & AudioCapability::CanSeekAbsolute);

  const auto elements = Elements(player->Pipeline());
  bool voidRender = false;
  for (const auto &[name, klass] : elements) {
    EXPECT_EQ(klass.find("Decoder/Video"), std::string::npos) << name << " decodes video";
    EXPECT_EQ(klass.find("Decoder/Image"), std::string::npos) << name << " decodes images";
    if (name == "Void render") voidRender = true;
  }
  EXPECT_EQ(voidRender, format.video);

  const sound::Pcm played = PlayToEnd(*player, source.Frames());
  EXPECT_EQ(player->GetPosition(), player->Duration());
  const std::size_t onset = sound::Onset(played);
  ASSERT_LT(onset, played.Frames()) << "nothing was heard";
  EXPECT_NEAR(static_cast<double>(sound::ActiveFrames(played)), 44100.0, 44100.0 * 0.1);
  const double full = 0.5 / std::sqrt(2);
  for (int c = 0; c < 2; ++c)
    EXPECT_NEAR(
        sound::Decibels(sound::MedianBlockLevel(played, c, onset + 4410, onset + 39690) / full),
        0.0, 1.0)
        << "channel " << c;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PlayerFormats,
    ::testing::Values(
        FormatCase{"MP3",
                   "mp3",
                   {"lamemp3enc", "xingmux"},
                   "filesrc location={in} ! wavparse ! audioconvert ! "
                   "lamemp3enc target=bitrate bitrate=192 cbr=true ! xingmux ! "
                   "filesink location={out}",
                   false},
        FormatCase{"WMA",
                   "wma",
                   {"avenc_wmav2", "avmux_asf"},
                   "filesrc location={in} ! wavparse ! audioconvert ! "
                   "avenc_wmav2 bitrate=128000 ! avmux_asf ! filesink location={out}",
                   false},
        FormatCase{"AVI",
                   "avi",
                   {"videotestsrc", "jpegenc", "avimux"},
                   "avimux name=mux ! filesink location={out} "
                   "videotestsrc num-buffers=25 ! video/x-raw,width=160,height=120,framerate=25/1 "
                   "! jpegenc ! mux. "
                   "filesrc location={in} ! wavparse ! audioconvert ! "
                   "audio/x-raw,format=S16LE ! mux.",
                   true}),
    [](const auto &info) { return std::string(info.param.name); });
