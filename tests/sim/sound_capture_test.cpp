// The emulated unit's hearing: the capture's timeline and cuts, the WAV files of recordings and
// their place in the unit's record, and the emulator's options for them. No sound server is
// needed: the capture is fed blocks by the test.
#include "sim/sound_capture.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <chrono>

#include "sim/record_json.h"
#include "sim/recording_sound.h"
#include "sim/sim_options.h"
#include "sim/unit.h"
#include "tests/support/temp_folder.h"

using namespace std::chrono_literals;

namespace {

constexpr int kRate = sim::SoundCapture::kRate;

// A block of `frames` frames whose samples count on from `first` (left) and its negative (right).
std::vector<std::int16_t> Ramp(int first, std::size_t frames) {
  std::vector<std::int16_t> samples;
  for (std::size_t i = 0; i < frames; ++i) {
    samples.push_back(static_cast<std::int16_t>(first + static_cast<int>(i)));
    samples.push_back(static_cast<std::int16_t>(-(first + static_cast<int>(i))));
  }
  return samples;
}

sim::Time FramesTime(std::int64_t frames) {
  return sim::Time(frames * 1'000'000'000 / kRate);
}

QByteArray Slurp(const std::string &path) {
  QFile file(QString::fromStdString(path));
  file.open(QIODevice::ReadOnly);
  return file.readAll();
}

}  // namespace

TEST(SoundCapture, CutsTheStretchBetweenTwoTimesFromTheBlocksAndFillsGapsWithSilence) {
  sim::SoundCapture capture;
  EXPECT_EQ(capture.Source(), "@DEFAULT_MONITOR@");
  EXPECT_FALSE(capture.CapturedUntil().has_value());
  const sim::Time t0 = 10s;
  // Blocks of 441 frames (10 ms), the third missing.
  for (int b : {0, 1, 3}) {
    const auto samples = Ramp(b * 441, 441);
    capture.Add(t0 + FramesTime(b * 441), samples.data(), 441);
  }
  ASSERT_TRUE(capture.CapturedUntil().has_value());
  EXPECT_EQ(*capture.CapturedUntil(), t0 + FramesTime(4 * 441));

  // From 5 ms before the first block to the middle of the fourth.
  const sim::Sound cut = capture.Cut(t0 - FramesTime(220), t0 + FramesTime(3 * 441 + 100));
  EXPECT_EQ(cut.rate, kRate);
  EXPECT_EQ(cut.channels, 2);
  ASSERT_EQ(cut.Frames(), 220u + 3 * 441 + 100);
  auto left = [&](std::size_t frame) { return cut.samples[2 * frame]; };
  auto right = [&](std::size_t frame) { return cut.samples[2 * frame + 1]; };
  EXPECT_EQ(left(0), 0);
  EXPECT_EQ(left(219), 0);
  EXPECT_EQ(left(220 + 1), 1);
  EXPECT_EQ(right(220 + 1), -1);
  EXPECT_EQ(left(220 + 441 + 7), 441 + 7) << "the second block follows the first exactly";
  EXPECT_EQ(left(220 + 2 * 441 + 7), 0) << "the missing block is silence";
  EXPECT_EQ(left(220 + 3 * 441 + 99), 3 * 441 + 99);

  EXPECT_EQ(capture.Cut(t0, t0).Frames(), 0u);
  EXPECT_EQ(capture.Cut(t0 + 1s, t0).Frames(), 0u) << "a stop before the start cuts nothing";
}

TEST(SoundCapture, KeepsTwoMinutes) {
  sim::SoundCapture capture;
  const auto block = Ramp(1, 441);
  capture.Add(0s, block.data(), 441);
  capture.Add(sim::Time(sim::SoundCapture::kKept) + 1s, block.data(), 441);
  const sim::Sound old = capture.Cut(0s, FramesTime(441));
  for (std::int16_t sample : old.samples) ASSERT_EQ(sample, 0) << "the old block is gone";
}

TEST(SoundCapture, WritesPlainPcmWavFilesAndNumbersTheNamesOfLaterOnes) {
  TempFolder folder;
  sim::Sound sound;
  sound.samples = {1, -1, 2, -2, 0x1234, -0x1234};
  const std::string path = folder.File("heard.wav");
  ASSERT_TRUE(sim::WriteWav(path, sound));
  const QByteArray wav = Slurp(path);
  ASSERT_EQ(wav.size(), 44 + 12);
  EXPECT_EQ(wav.left(4), "RIFF");
  EXPECT_EQ(wav.mid(8, 8), "WAVEfmt ");
  const auto u16 = [&](int at) {
    return static_cast<unsigned>(static_cast<std::uint8_t>(wav[at])) |
           static_cast<unsigned>(static_cast<std::uint8_t>(wav[at + 1])) << 8;
  };
  const auto u32 = [&](int at) { return u16(at) | u16(at + 2) << 16; };
  EXPECT_EQ(u32(4), 36u + 12);
  EXPECT_EQ(u16(20), 1u);          // PCM
  EXPECT_EQ(u16(22), 2u);          // channels
  EXPECT_EQ(u32(24), 44100u);      // rate
  EXPECT_EQ(u32(28), 44100u * 4);  // bytes per second
  EXPECT_EQ(u16(32), 4u);          // block
  EXPECT_EQ(u16(34), 16u);         // bits
  EXPECT_EQ(wav.mid(36, 4), "data");
  EXPECT_EQ(u32(40), 12u);
  EXPECT_EQ(u16(44 + 8), 0x1234u);
  EXPECT_EQ(u16(44 + 10), static_cast<unsigned>(static_cast<std::uint16_t>(-0x1234)));

  std::string error;
  EXPECT_FALSE(sim::WriteWav(folder.File("no/such/folder/x.wav"), sound, &error));
  EXPECT_FALSE(error.empty());

  EXPECT_EQ(sim::NumberedFileName("/tmp/a.b/heard.wav", 1), "/tmp/a.b/heard.wav");
  EXPECT_EQ(sim::NumberedFileName("/tmp/a.b/heard.wav", 2), "/tmp/a.b/heard-2.wav");
  EXPECT_EQ(sim::NumberedFileName("/tmp/a.b/heard", 3), "/tmp/a.b/heard-3");
  EXPECT_EQ(sim::NumberedFileName("heard.x.wav", 12), "heard.x-12.wav");
}

TEST(RecordingSounds, EachFinishedRecordingIsWrittenOnceItsSoundIsInAndNamedInTheRecord) {
  TempFolder folder;
  sim::ManualClock clock;
  clock.Set(100s);
  sim::SoundCapture capture;
  sim::Unit unit({.serial = "VRT00003"}, clock);
  sim::Unit other({.serial = "VRT00004"}, clock);
  unit.Connect();
  other.Connect();
  const std::string file = folder.File("heard.wav");
  sim::RecordingSounds sounds(capture, file, clock);

  // A second of sound, heard from 100 s on.
  const auto second = Ramp(1, kRate);
  capture.Add(100s, second.data(), kRate);

  unit.Receive("AT@OGRIE\r\n");
  clock.Advance(200ms);
  unit.SetLines(true, false);  // start signal
  clock.Advance(500ms);
  EXPECT_TRUE(sounds.Collect({&unit, &other}).empty()) << "still recording";
  unit.SetLines(true, true);  // stop signal at 100.7 s
  clock.Advance(10ms);
  // The capture holds up to 101 s: the recording is written at once.
  const std::vector<std::string> report = sounds.Collect({&unit, &other});
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0], "VRT00003 record: 500 ms of sound kept in " + file);
  EXPECT_FALSE(sounds.Pending());
  const sim::Recording &r = unit.GetRecord().recordings.at(0);
  EXPECT_EQ(r.soundFile, file);
  const QByteArray wav = Slurp(file);
  ASSERT_EQ(wav.size(), 44 + static_cast<qsizetype>(kRate / 2) * 4);
  // Its first frame is the one heard at 100.2 s.
  const auto first = static_cast<std::int16_t>(static_cast<std::uint8_t>(wav[44]) |
                                               static_cast<std::uint8_t>(wav[45]) << 8);
  EXPECT_EQ(first, 1 + kRate / 5);
  EXPECT_TRUE(sounds.Collect({&unit, &other}).empty()) << "written once";

  // A second recording ends beyond what was captured: it waits for its sound, a second at most.
  unit.Receive("AT@OGRIE\r\n");
  clock.Set(101s + 500ms);
  unit.SetLines(true, false);
  clock.Advance(300ms);
  unit.SetLines(true, true);
  EXPECT_TRUE(sounds.Collect({&unit}).empty());
  EXPECT_TRUE(sounds.Pending());
  clock.Advance(sim::RecordingSounds::kGrace);
  ASSERT_EQ(sounds.Collect({&unit}).size(), 1u);
  EXPECT_EQ(unit.GetRecord().recordings.at(1).soundFile, folder.File("heard-2.wav"));
  EXPECT_EQ(Slurp(folder.File("heard-2.wav")).size(),
            44 + static_cast<qsizetype>(kRate * 3 / 10) * 4);

  // The record names the file beside the two times.
  const QJsonObject json = sim::RecordToJson(unit, 100s);
  const QJsonObject first_ = json["recordings"].toArray()[0].toObject();
  EXPECT_EQ(first_["startMs"].toDouble(), 200.0);
  EXPECT_EQ(first_["stopMs"].toDouble(), 700.0);
  EXPECT_EQ(first_["soundFile"].toString().toStdString(), file);
}

TEST(RecordingSounds, AtTheEndARecordingWithoutItsStopSignalIsKeptToo) {
  TempFolder folder;
  sim::ManualClock clock;
  sim::SoundCapture capture;
  sim::Unit unit({}, clock);
  unit.Connect();
  sim::RecordingSounds sounds(capture, folder.File("heard.wav"), clock);
  const auto second = Ramp(1, kRate);
  capture.Add(0s, second.data(), kRate);
  unit.Receive("AT@OGRIE\r\n");
  unit.SetLines(true, false);
  clock.Advance(250ms);
  EXPECT_TRUE(sounds.Collect({&unit}).empty());
  const std::vector<std::string> report = sounds.Collect({&unit}, true);
  ASSERT_EQ(report.size(), 1u);
  EXPECT_NE(report[0].find("(no stop signal came)"), std::string::npos) << report[0];
  EXPECT_EQ(Slurp(folder.File("heard.wav")).size(), 44 + static_cast<qsizetype>(kRate / 4) * 4);
}

TEST(SimOptions, CaptureAndItsSource) {
  const sim::SimOptions plain = sim::ParseSimArguments({});
  EXPECT_TRUE(plain.captureFile.empty());
  const sim::SimOptions o =
      sim::ParseSimArguments({"--capture", "m.wav", "--capture-source", "x.monitor"});
  EXPECT_EQ(o.captureFile, "m.wav");
  EXPECT_EQ(o.captureSource, "x.monitor");
  EXPECT_EQ(sim::ParseSimArguments({"--capture", "m.wav"}).captureSource, "");
  EXPECT_THROW(sim::ParseSimArguments({"--capture"}), std::invalid_argument);
  EXPECT_THROW(sim::ParseSimArguments({"--capture", ""}), std::invalid_argument);
  EXPECT_THROW(sim::ParseSimArguments({"--capture-source", "x.monitor"}), std::invalid_argument);
  EXPECT_NE(sim::SimUsage().find("--capture FILE.wav"), std::string::npos);
  EXPECT_NE(sim::SimUsage().find("--capture-source NAME"), std::string::npos);
}
