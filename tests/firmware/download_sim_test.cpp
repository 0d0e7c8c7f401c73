// The firmware download end to end: the download stepped tick by tick against an emulated unit
// with a real loader, the unit's clock moving 5 ms with every tick.
#include <gtest/gtest.h>

#include <poll.h>

#include <QFile>
#include <map>

#include "firmware/download.h"
#include "session/shared_state.h"
#include "sim/in_process.h"
#include "tests/firmware/download_harness.h"
#include "tests/firmware/hex_records.h"
#include "tests/support/temp_folder.h"

using namespace std::chrono_literals;
using firmware::Ending;
using firmware::Image;

namespace {

constexpr const char *kSerial = "VRT00007";

class DownloadIntoUnit : public ::testing::Test {
 protected:
  explicit DownloadIntoUnit(sim::WireOptions wire = {})
      : unit(units.Add({.serial = kSerial, .wire = wire})),
        state(temp.Folder()),
        download(state, recorder, recorder) {
    state.SerialList[0] = kSerial;
    state.ChosenIndex = 0;
    state.DeviceChosen = true;
    state.Port = std::make_unique<TFT232>(kSerial);
    ConfigurePort(*state.Port);
    download.Reset();
  }

  // Starts a download of `text` and ticks it to its end; the number of ticks.
  int Run(const std::string &text, int limit = 200000) {
    EXPECT_TRUE(download.Start(text, text.size()));
    int ticks = 0;
    while (download.Running() && ticks < limit) {
      units.clock().Advance(5ms);
      download.Step();
      ++ticks;
    }
    return ticks;
  }

  // The unit's memory as the image says it must be: four words per data line.
  static std::map<std::uint32_t, std::uint16_t> Words(const Image &image) {
    std::map<std::uint32_t, std::uint16_t> words;
    for (const auto &line : image.lines) {
      if (line == firmware::kEndLine) continue;
      const std::uint32_t address = line[0] | (line[1] << 8);
      for (std::uint32_t i = 0; i < 4; ++i)
        words[address + i] = static_cast<std::uint16_t>(line[2 + 2 * i] | (line[3 + 2 * i] << 8));
    }
    return words;
  }
  static std::vector<sim::LoaderLine> DataLines(const Image &image) { return DataLinesOf(image); }

 public:
  static std::vector<sim::LoaderLine> DataLinesOf(const Image &image) {
    std::vector<sim::LoaderLine> lines;
    for (const auto &line : image.lines)
      if (line != firmware::kEndLine) lines.push_back(line);
    return lines;
  }

 protected:
  sim::InstalledUnits units;
  sim::Unit &unit;
  TempFolder temp;
  SharedState state;
  DownloadRecorder recorder;
  firmware::FirmwareDownload download;
};

TEST_F(DownloadIntoUnit, AFullImageEndsUpInTheUnitsMemory) {
  const std::string text = hexfile::FirmwareFile();
  const Image image = firmware::ReadImage(text, text.size());
  ASSERT_EQ(image.LineCount(), 1536);
  const int ticks = Run(text);

  EXPECT_EQ(download.Result(), Ending::Success);
  EXPECT_EQ(recorder.Informed(),
            std::vector<std::string>{"Download firmware to Vertiko mate is successfully complete"});
  const sim::Record &record = unit.GetRecord();
  EXPECT_EQ(record.loaderLines, DataLines(image));
  EXPECT_EQ(record.memory, Words(image));
  EXPECT_TRUE(record.problems.empty()) << record.problems.front();
  EXPECT_EQ(unit.CurrentMode(), sim::Unit::Mode::Command) << "the end line leaves the loader";
  EXPECT_EQ(download.TimeOuts(), 0);
  // "w", "Y", then two ticks per image byte (the floor), and the tick after the "Z".
  EXPECT_EQ(ticks, 2 + 2 * 15360 + 1);

  std::string sent = "\r\nAT@#\r\nw";
  for (const auto &line : image.lines) sent.append(line.begin(), line.end());
  EXPECT_EQ(record.received, sent);
  // Header, "OK" to the start command, "Y", one line per byte, footer.
  const std::string log = download.LogView();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3 + 2 + 1 + 15360 + 2);
  EXPECT_NE(log.find("\r\nFF<=>Z\r\n========================\r\n"), std::string::npos);
}

TEST_F(DownloadIntoUnit, ALineCutShortIsSentAgainWholeAfterTheTimeOut) {
  const std::string text = hexfile::FirmwareFile(0x100);
  const Image image = firmware::ReadImage(text, text.size());
  unit.AddFault(sim::LoaderFault{.kind = sim::LoaderFault::Kind::Silence, .line = 20, .byte = 5});
  Run(text);

  EXPECT_EQ(download.Result(), Ending::Success);
  EXPECT_EQ(download.TimeOuts(), 1);
  const sim::Record &record = unit.GetRecord();
  EXPECT_EQ(record.memory, Words(image));
  EXPECT_EQ(record.loaderLines, DataLines(image));
  ASSERT_EQ(record.problems.size(), 1u);
  EXPECT_NE(record.problems[0].find("cut short after 5 bytes"), std::string::npos);
}

TEST_F(DownloadIntoUnit, ALineWhoseTenthByteIsNotAnsweredIsSentAgain) {
  const std::string text = hexfile::FirmwareFile(0x100);
  const Image image = firmware::ReadImage(text, text.size());
  unit.AddFault(sim::LoaderFault{.kind = sim::LoaderFault::Kind::Silence, .line = 30, .byte = 10});
  Run(text);

  EXPECT_EQ(download.Result(), Ending::Success);
  EXPECT_EQ(download.TimeOuts(), 1);
  EXPECT_EQ(unit.GetRecord().memory, Words(image)) << "no line is missing";
  EXPECT_EQ(unit.GetRecord().loaderLines, DataLines(image));
}

TEST_F(DownloadIntoUnit, PRepliesWithinALineHaveItSentAgainAndAfterItsTenthByteGoOn) {
  const std::string text = hexfile::FirmwareFile(0x100);
  const Image image = firmware::ReadImage(text, text.size());
  unit.AddFault(sim::LoaderFault{.kind = sim::LoaderFault::Kind::P, .line = 5, .byte = 3});
  unit.AddFault(sim::LoaderFault{.kind = sim::LoaderFault::Kind::P, .line = 9, .byte = 10});
  Run(text);

  EXPECT_EQ(download.Result(), Ending::Success);
  EXPECT_EQ(download.TimeOuts(), 0);
  EXPECT_EQ(unit.GetRecord().memory, Words(image));
  EXPECT_EQ(unit.GetRecord().loaderLines, DataLines(image));
}

TEST_F(DownloadIntoUnit, AnEReplyEndsWithAnError) {
  const std::string text = hexfile::FirmwareFile(0x100);
  unit.AddFault(sim::LoaderFault{.kind = sim::LoaderFault::Kind::E, .line = 12, .byte = 4});
  Run(text);
  EXPECT_EQ(download.Result(), Ending::ProtocolError);
  EXPECT_EQ(download.Status(), "ERROR");
  EXPECT_EQ(recorder.Informed(), std::vector<std::string>{"Error"});
  EXPECT_EQ(unit.GetRecord().loaderLines.size(), 11u);
  const std::string log = download.LogView();
  EXPECT_NE(log.find("<=>E\r\n========================\r\n"), std::string::npos) << log;
}

TEST_F(DownloadIntoUnit, AUnitThatStopsAnsweringEndsInErrorTimeAfterTheEleventhTimeOut) {
  const std::string text = hexfile::FirmwareFile(0x100);
  ASSERT_TRUE(download.Start(text, text.size()));
  int ticks = 0;
  while (download.Running() && ticks < 200000) {
    units.clock().Advance(5ms);
    download.Step();
    if (++ticks == 500) unit.SetPowered(false);
  }
  EXPECT_EQ(download.Result(), Ending::TimeOutFailure);
  EXPECT_EQ(download.Status(), "ERROR/TIME");
  EXPECT_EQ(download.TimeOuts(), 11);
  EXPECT_EQ(recorder.Informed(), std::vector<std::string>{"Error TIMEOUT"});
  // Each time-out: 50 ticks of waiting, the 51st times out; between them one tick sends byte 1.
  EXPECT_LE(ticks, 500 + 11 * 52);
}

TEST_F(DownloadIntoUnit, AnUnpluggedUnitEndsInErrorTime) {
  const std::string text = hexfile::FirmwareFile(0x100);
  ASSERT_TRUE(download.Start(text, text.size()));
  int ticks = 0;
  while (download.Running() && ticks < 200000) {
    units.clock().Advance(5ms);
    download.Step();
    if (++ticks == 300) units.Unplug(kSerial);
  }
  EXPECT_EQ(download.Result(), Ending::TimeOutFailure);
  EXPECT_EQ(recorder.Informed(), std::vector<std::string>{"Error TIMEOUT"});
}

TEST_F(DownloadIntoUnit, AUnitThatNeverEntersItsLoaderEndsWithAConnectionFailure) {
  unit.SetPowered(false);
  const int ticks = Run(hexfile::FirmwareFile(0x100));
  EXPECT_EQ(ticks, 101);
  EXPECT_EQ(download.Result(), Ending::ConnectionFailure);
  EXPECT_EQ(download.Status(), "Error conection");
}

// An unplugged unit: the start command cannot be sent, and no "w" follows it. Plugged in again,
// it is opened anew by the next start, whose download goes through.
TEST_F(DownloadIntoUnit, AStartCommandThatCannotBeSentEndsAtOnceWithoutW) {
  units.Unplug(kSerial);
  const std::string text = hexfile::FirmwareFile(0x100);
  EXPECT_FALSE(download.Start(text, text.size()));
  EXPECT_FALSE(download.Running());
  EXPECT_EQ(download.Result(), Ending::ConnectionFailure);
  EXPECT_EQ(download.Status(), "Error conection");
  EXPECT_EQ(recorder.Informed(), std::vector<std::string>{"USB device VRT00007 not connected"});
  EXPECT_EQ(unit.GetRecord().received, "");

  units.PlugIn(kSerial);
  Run(text);
  EXPECT_EQ(download.Result(), Ending::Success) << download.LogView();
}

// What a unit kept of a command line cut off (here "w" that reached it outside its loader) is
// ended by the line end before the start command, which the unit then reads as a line of its own.
TEST_F(DownloadIntoUnit, APartOfALineLeftInTheUnitIsEndedBeforeTheStartCommand) {
  ASSERT_TRUE(state.SendText("www"));
  const std::string text = hexfile::FirmwareFile(0x100);
  Run(text);
  EXPECT_EQ(download.Result(), Ending::Success) << download.LogView();
  EXPECT_EQ(unit.GetRecord().commandLines, (std::vector<std::string>{"www\r\n", "AT@#\r\n"}));
}

// The same download over a line with a real unit's timing: each byte 1.04 ms at 9600 baud both
// ways, the unit's replies held in the FT232 until its latency timer runs out. The "OK" to the
// start command and the "Y" can come in one read, and "w" sent before the host saw its "Y" are
// answered "Y" again.
class DownloadOverTheWire : public DownloadIntoUnit,
                            public ::testing::WithParamInterface<std::chrono::milliseconds> {
 protected:
  DownloadOverTheWire() : DownloadIntoUnit({.timed = true, .latency = GetParam()}) {}
};

TEST_P(DownloadOverTheWire, AFullImageEndsUpInTheUnitAtTheLinesPace) {
  const std::string text = hexfile::FirmwareFile();
  const Image image = firmware::ReadImage(text, text.size());
  ASSERT_EQ(image.LineCount(), 1536);
  const int ticks = Run(text);

  ASSERT_EQ(download.Result(), Ending::Success) << download.Status() << "\n" << download.LogView();
  const sim::Record &record = unit.GetRecord();
  EXPECT_EQ(record.memory, Words(image));
  EXPECT_EQ(record.loaderLines, DataLines(image));
  EXPECT_TRUE(record.problems.empty()) << record.problems.front();
  EXPECT_EQ(download.TimeOuts(), 0);
  // Every byte is one tick to send and then waits for its reply: 3.1 ms on the line with the
  // 1 ms timer, read at the next tick; 18.1 ms with the 16 ms timer, read at the fourth.
  const int bytes = image.LineCount() * 10;
  const int perByte = GetParam() == 1ms ? 2 : 5;
  EXPECT_GE(ticks, perByte * bytes);
  EXPECT_LE(ticks, perByte * bytes + 20) << "the connection takes a few ticks";
}

INSTANTIATE_TEST_SUITE_P(Latency, DownloadOverTheWire, ::testing::Values(1ms, 16ms),
                         [](const auto &info) {
                           return std::to_string(info.param.count()) + "ms";
                         });

// A fast transfer against the same unit over the same line, the download stepped as the window
// steps it: when the port's event turns readable, or when the wait it asked for has passed. The
// units' clock moves in steps of 50 µs while the event is watched.
struct FastRun {
  explicit FastRun(sim::WireOptions wire)
      : unit(units.Add({.serial = kSerial, .wire = wire})),
        state(temp.Folder()),
        download(state, recorder, recorder) {
    state.SerialList[0] = kSerial;
    state.ChosenIndex = 0;
    state.Port = std::make_unique<TFT232>(kSerial);
    ConfigurePort(*state.Port);
    download.Reset();
    download.Now = [] { return QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)); };
    download.Clock = [this] { return units.clock().Now(); };
  }

  // Runs a download of `text`, fast or on the ticks; the time it took on the units' clock.
  std::chrono::nanoseconds Run(const std::string &text, bool fast) {
    download.SetFast(fast);
    const auto start = units.clock().Now();
    EXPECT_TRUE(download.Start(text, text.size()));
    for (int steps = 0; download.Running() && steps < 1000000; ++steps) {
      if (!fast) {
        units.clock().Advance(5ms);
        download.Step();
        continue;
      }
      const auto due = units.clock().Now() + recorder.awaitWait;
      while (units.clock().Now() < due) {
        units.clock().Advance(std::min<sim::Time>(50us, due - units.clock().Now()));
        if (recorder.awaitDescriptor < 0) continue;
        state.Port->RxQueueCount();  // the in-process unit's bytes come in at driver calls
        pollfd p{recorder.awaitDescriptor, POLLIN, 0};
        if (poll(&p, 1, 0) == 1) break;
      }
      download.Wake();
    }
    return units.clock().Now() - start;
  }

  sim::InstalledUnits units;
  sim::Unit &unit;
  TempFolder temp;
  SharedState state;
  DownloadRecorder recorder;
  firmware::FirmwareDownload download;
};

class FastTransfer : public ::testing::TestWithParam<std::chrono::milliseconds> {};

// The same bytes in the same order, the same replies in the same log, the same image in the unit;
// at least 2.5 times as fast with the 1 ms latency timer.
TEST_P(FastTransfer, LeavesTheSameImageAndLogAsTheTicksInAFractionOfTheTime) {
  const std::string text = hexfile::FirmwareFile(0x80);
  const Image image = firmware::ReadImage(text, text.size());
  ASSERT_GE(image.LineCount(), 30);
  const sim::WireOptions wire{.timed = true, .latency = GetParam()};
  // One after the other: each installs its own driver backend.
  std::string tickLog;
  sim::Record tickRecord;
  std::chrono::nanoseconds tickTime{};
  {
    FastRun ticks(wire);
    tickTime = ticks.Run(text, false);
    ASSERT_EQ(ticks.download.Result(), Ending::Success);
    tickLog = ticks.download.LogView();
    tickRecord = ticks.unit.GetRecord();
  }
  FastRun fast(wire);
  const auto fastTime = fast.Run(text, true);

  ASSERT_EQ(fast.download.Result(), Ending::Success) << fast.download.LogView();
  EXPECT_GT(fast.recorder.awaits, image.LineCount() * 10);
  EXPECT_EQ(fast.download.TimeOuts(), 0);
  EXPECT_EQ(fast.download.LogView(), tickLog);
  const sim::Record &record = fast.unit.GetRecord();
  EXPECT_EQ(record.received, tickRecord.received);
  EXPECT_EQ(record.loaderLines, DownloadIntoUnit::DataLinesOf(image));
  EXPECT_EQ(record.memory, tickRecord.memory);
  EXPECT_EQ(record.memory.size(), 4 * (image.LineCount() - 1u));
  EXPECT_TRUE(record.problems.empty()) << record.problems.front();
  EXPECT_EQ(fast.unit.CurrentMode(), sim::Unit::Mode::Command);
  if (GetParam() == 1ms) {
    EXPECT_LT(fastTime * 10, tickTime * 4) << fastTime.count();
  }
  EXPECT_LT(fastTime, tickTime);
}

INSTANTIATE_TEST_SUITE_P(Latency, FastTransfer, ::testing::Values(1ms, 16ms), [](const auto &info) {
  return std::to_string(info.param.count()) + "ms";
});

// A line cut short, a line asked for again and a reply that never comes: the unit ends up with
// the image all the same, the lost reply timed out after 50 ticks' time.
TEST(FastTransferFaults, ALineCutShortOrAskedForAgainIsSentAgain) {
  const std::string text = hexfile::FirmwareFile(0x60);
  const Image image = firmware::ReadImage(text, text.size());
  FastRun run({.timed = true, .latency = 1ms});
  run.unit.AddFault(
      sim::LoaderFault{.kind = sim::LoaderFault::Kind::Silence, .line = 6, .byte = 5});
  run.unit.AddFault(sim::LoaderFault{.kind = sim::LoaderFault::Kind::P, .line = 9, .byte = 3});
  const auto time = run.Run(text, true);
  ASSERT_EQ(run.download.Result(), Ending::Success) << run.download.LogView();
  EXPECT_EQ(run.download.TimeOuts(), 1);
  const sim::Record &record = run.unit.GetRecord();
  EXPECT_EQ(record.loaderLines, DownloadIntoUnit::DataLinesOf(image));
  EXPECT_EQ(record.problems.size(), 1u);
  // The time-out's 250 ms and the pause before the line again are in the download's time.
  EXPECT_GT(time, 255ms + image.LineCount() * 10 * 3ms);
  EXPECT_LT(time, 300ms + image.LineCount() * 10 * 4ms);
}

// The end line answered "E", or never answered however often it is sent again: the download
// fails at either pace, as only the unit's "Z" (or "K" to the last line) is success.
TEST(EndLine, RefusedOrNeverAnsweredFailsTheDownloadAtEitherPace) {
  using Kind = sim::LoaderFault::Kind;
  const std::string text = hexfile::FirmwareFile(8 + 4 * 20);
  const int lines = firmware::ReadImage(text, text.size()).LineCount();
  for (const bool fast : {false, true}) {
    for (const auto &[fault, ending] : {std::pair{Kind::E, Ending::ProtocolError},
                                        std::pair{Kind::Silence, Ending::TimeOutFailure}}) {
      FastRun run({.timed = true, .latency = 1ms});
      for (int line = lines; line <= lines + firmware::kTimeOutLimit; ++line)
        run.unit.AddFault(sim::LoaderFault{.kind = fault, .line = line, .byte = 10});
      run.Run(text, fast);
      EXPECT_EQ(run.download.Result(), ending) << (fast ? "fast" : "ticks");
      EXPECT_EQ(run.unit.CurrentMode(), sim::Unit::Mode::LoaderLines) << "still in its loader";
    }
  }
}

}  // namespace
