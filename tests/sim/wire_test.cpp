// The line between host and unit with a real unit's timing: the wire alone on a stepped clock,
// and the in-process unit behind it reached through the driver functions.
#include "sim/wire.h"

#include <gtest/gtest.h>

#include "link/ft232.h"
#include "link/link.h"
#include "sim/in_process.h"

using namespace std::chrono_literals;
using sim::Time;

namespace {

constexpr Time kByte = 1041667ns;  // 10 bits at 9600 baud
constexpr Time kEpsilon = 1us;

std::string Chars(const std::vector<std::pair<Time, char>> &arrived) {
  std::string out;
  for (const auto &[at, c] : arrived) out.push_back(c);
  return out;
}

sim::Wire WireWithLatency(Time latency) {
  return sim::Wire(
      {.timed = true, .latency = std::chrono::duration_cast<std::chrono::microseconds>(latency)});
}

}  // namespace

TEST(Wire, EachByteTakesTenBitTimesAndBytesQueueBehindEachOther) {
  sim::Wire wire = WireWithLatency(1ms);
  EXPECT_EQ(wire.ByteTime(), kByte);
  wire.Send("AT", 0ms);
  EXPECT_EQ(wire.NextEvent(), kByte);
  EXPECT_EQ(Chars(wire.Arrived(kByte - kEpsilon)), "");
  const auto first = wire.Arrived(kByte);
  ASSERT_EQ(Chars(first), "A");
  EXPECT_EQ(first[0].first, kByte);
  wire.Send("@", kByte);  // written while "T" is on the line: it follows it
  const auto rest = wire.Arrived(10ms);
  ASSERT_EQ(Chars(rest), "T@");
  EXPECT_EQ(rest[1].first, 3 * kByte);

  wire.SetBaudRate(115200);
  EXPECT_EQ(wire.ByteTime(), 86806ns);
}

TEST(Wire, TheUnitsBytesWaitInTheChipUntilItsLatencyTimerRunsOut) {
  // The timer starts with the first byte in the empty buffer; what is in by then goes with it.
  sim::Wire slow = WireWithLatency(16ms);
  slow.Reply("OK\r\n", 0ms);
  EXPECT_EQ(slow.NextEvent(), kByte + 16ms);
  EXPECT_EQ(slow.Delivered(kByte + 16ms - kEpsilon), "");
  EXPECT_EQ(slow.Delivered(kByte + 16ms), "OK\r\n");
  EXPECT_EQ(slow.NextEvent(), std::nullopt);

  // With 1 ms, the second byte is not yet in when the first one's timer runs out.
  sim::Wire fast = WireWithLatency(1ms);
  fast.Reply("OK", 0ms);
  EXPECT_EQ(fast.Delivered(kByte + 1ms), "O");
  EXPECT_EQ(fast.Delivered(2 * kByte + 1ms - kEpsilon), "");
  EXPECT_EQ(fast.Delivered(2 * kByte + 1ms), "K");
}

TEST(Wire, AFullPacketOfSixtyTwoBytesGoesBeforeTheTimerRunsOut) {
  sim::Wire wire = WireWithLatency(255ms);
  const std::string text(100, 'x');
  wire.Reply(text, 0ms);
  EXPECT_EQ(wire.NextEvent(), 62 * kByte);
  EXPECT_EQ(wire.Delivered(62 * kByte - kEpsilon), "");
  EXPECT_EQ(wire.Delivered(62 * kByte).size(), 62u);
  // The 63rd byte starts the timer anew.
  EXPECT_EQ(wire.Delivered(63 * kByte + 255ms - kEpsilon), "");
  EXPECT_EQ(wire.Delivered(63 * kByte + 255ms).size(), 38u);
}

// The unit in the test process behind a timed wire, on its manual clock.
class WiredUnit : public ::testing::TestWithParam<std::chrono::milliseconds> {
 protected:
  WiredUnit() {
    unit = &units.Add({.wire = {.timed = true, .latency = GetParam()}});
    port = std::make_unique<TFT232>("VRT00001");
    ConfigurePort(*port);
  }
  // Advances the clock to `at` after the write and reads what came.
  std::string ReadAt(Time at) {
    units.clock().Set(written + at);
    return ReceiveAll(port, "VRT00001");
  }
  sim::InstalledUnits units;
  sim::Unit *unit = nullptr;
  std::unique_ptr<TFT232> port;
  Time written{};
};

TEST_P(WiredUnit, AnAnswerStartsWhenTheLineHasArrivedAndWaitsForTheLatencyTimer) {
  units.clock().Advance(1s);
  written = units.clock().Now();
  ASSERT_TRUE(SendText(port.get(), "AT@NORM\r\n"));
  const Time lineIn = 9 * kByte;
  EXPECT_EQ(ReadAt(lineIn - kEpsilon), "");
  EXPECT_TRUE(unit->GetRecord().commandLines.empty()) << "the LF is still on the line";
  const Time firstByte = lineIn + kByte;
  if (GetParam() == 16ms) {
    EXPECT_EQ(ReadAt(firstByte + 16ms - kEpsilon), "");
    EXPECT_EQ(ReadAt(firstByte + 16ms), "OK\r\n") << "the whole answer in one packet";
  } else {
    EXPECT_EQ(ReadAt(firstByte + 1ms - kEpsilon), "");
    EXPECT_EQ(ReadAt(firstByte + 1ms), "O");
    EXPECT_EQ(ReadAt(firstByte + 3 * kByte + 1ms), "K\r\n");
  }
}

TEST_P(WiredUnit, WSentBeforeTheYCameAreEachAnsweredY) {
  written = units.clock().Now();
  ASSERT_TRUE(SendText(port.get(), "AT@#\r\n"));
  std::string replies;
  // A "w" at every 5 ms tick, as the download sends them until it sees "Y".
  for (int tick = 1; tick <= 4; ++tick) {
    replies += ReadAt(tick * 5ms);
    ASSERT_TRUE(SendText(port.get(), "w"));
  }
  replies += ReadAt(100ms);
  EXPECT_EQ(replies, "OK\r\nYYYY");
  EXPECT_EQ(unit->CurrentMode(), sim::Unit::Mode::LoaderLines);
  EXPECT_TRUE(unit->GetRecord().problems.empty());
}

INSTANTIATE_TEST_SUITE_P(Latency, WiredUnit, ::testing::Values(1ms, 16ms), [](const auto &info) {
  return std::to_string(info.param.count()) + "ms";
});
