#include "console/console_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/shared_state.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/temp_folder.h"

using console::kMaxLineLength;
using console::kMaxLines;
using console::TakeShownLines;
using Lines = std::vector<std::string>;

namespace {

const char *const kSerial = "VRT0001";

class ConsoleSessionTest : public ::testing::Test {
 protected:
  ConsoleSessionTest() : state(tmp.Folder()) {
    fake->add(kSerial);
    state.SerialList[0] = kSerial;
    state.UnitCount = 1;
    state.DeviceChosen = true;
    state.Port = std::make_unique<TFT232>(kSerial);
    fake->clearCalls();
  }

  fake::Device &unit() { return *fake->bySerial(kSerial); }
  void arrive(const std::string &bytes) {
    unit().rx.insert(unit().rx.end(), bytes.begin(), bytes.end());
  }

  fake::Installed fake;
  TempFolder tmp;
  // One tick with RTS cleared or set, as the window's timer runs it; what the view was shown.
  console::TickResult tickWithRts(bool rtsCleared) {
    session.SetRtsCleared(rtsCleared);
    session.Step();
    EXPECT_EQ(view.shownTicks, ++ticks);
    return view.last;
  }

  struct View : console::ConsoleView {
    void StartTicking() override { ticking = true; }
    void StopTicking() override { ticking = false; }
    void Show() override {}
    void ShowTick(const console::TickResult &result) override {
      last = result;
      ++shownTicks;
    }
    console::TickResult last;
    int shownTicks = 0;
    bool ticking = false;
  };

  SharedState state;
  View view;
  console::ConsoleSession session{state, view};
  int ticks = 0;
};

std::string numbered(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += "L" + std::to_string(i) + "\r\n";
  return text;
}

}  // namespace

TEST_F(ConsoleSessionTest, ACommandLineGoesOutByteByByteWithCrLf) {
  session.Send("AT@RESET");
  EXPECT_EQ(unit().written, "AT@RESET\r\n");
  ASSERT_EQ(fake->calls.size(), 10u);
  for (const auto &call : fake->calls) {
    EXPECT_EQ(call.fn, "Write");
    EXPECT_EQ(call.args, std::vector<std::uint64_t>{1});
  }
  EXPECT_TRUE(state.LastSendResult);

  // Nothing trimmed, nothing checked: blanks go as typed, an empty line is CR LF alone.
  unit().written.clear();
  session.Send(" at@x ");
  session.Send("");
  EXPECT_EQ(unit().written, " at@x \r\n\r\n");
}

TEST_F(ConsoleSessionTest, ATickDrivesRtsThenReadsCtsThenTheLinkInThatOrder) {
  arrive("OK\r\n");
  console::TickResult result = tickWithRts(false);
  EXPECT_EQ(fake->names(),
            (Lines{"SetRts", "GetModemStatus", "GetStatus", "Read", "Read", "Read", "Read"}));
  EXPECT_EQ(result.added, Lines{"OK"});

  // Checked: RTS is cleared at every tick, also when it is already low.
  for (int i = 0; i < 3; ++i) {
    fake->clearCalls();
    tickWithRts(true);
    EXPECT_EQ(fake->names(), (Lines{"ClrRts", "GetModemStatus", "GetStatus", "GetStatus"}));
    EXPECT_FALSE(unit().rts);
  }
  tickWithRts(false);
  EXPECT_TRUE(unit().rts);
}

TEST_F(ConsoleSessionTest, TheLineIndicatorFollowsCtsBitOnly) {
  const std::vector<std::pair<ULONG, bool>> cases = {{0x00, true},  {0x10, false}, {0xEF, true},
                                                     {0xFF, false}, {0x20, true},  {0x30, false}};
  for (const auto &[status, clear] : cases) {
    unit().modemStatus = status;
    EXPECT_EQ(tickWithRts(false).ctsClear, clear) << std::hex << status;
  }
  // A modem status that cannot be read does not show the line as powered.
  unit().modemCallStatus = FT_IO_ERROR;
  unit().modemStatus = 0;
  EXPECT_FALSE(tickWithRts(false).ctsClear);
}

TEST_F(ConsoleSessionTest, AFailedSendShowsErrUntilTheNextGoodSend) {
  EXPECT_FALSE(tickWithRts(false).sendFailed);
  unit().writesBeforeFailure = 3;
  session.Send("AT@NORM");
  EXPECT_EQ(unit().written, "AT@");
  EXPECT_TRUE(tickWithRts(false).sendFailed);
  EXPECT_TRUE(tickWithRts(false).sendFailed);
  unit().writesBeforeFailure = -1;
  session.Send("AT@NORM");
  EXPECT_FALSE(tickWithRts(false).sendFailed);
}

TEST_F(ConsoleSessionTest, AReplyInTwoPiecesIsShownOnceAtTheSecondTick) {
  arrive("O");
  EXPECT_TRUE(tickWithRts(false).added.empty());
  EXPECT_EQ(state.ReplyBuffer, "O");
  arrive("K\r\n");
  EXPECT_EQ(tickWithRts(false).added, Lines{"OK"});
  EXPECT_EQ(state.ReplyBuffer, "");
  EXPECT_TRUE(tickWithRts(false).added.empty());
  EXPECT_EQ(session.Lines(), (std::deque<std::string>{"OK"}));
}

TEST_F(ConsoleSessionTest, CrLfAloneWaitsAndBecomesAnEmptyLineWithTheNextReply) {
  arrive("\r\n");
  EXPECT_TRUE(tickWithRts(false).added.empty());
  EXPECT_EQ(state.ReplyBuffer, "\r\n");
  arrive("OK\r\n");
  EXPECT_EQ(tickWithRts(false).added, (Lines{"", "OK"}));
  EXPECT_EQ(state.ReplyBuffer, "");
}

struct ShownCase {
  std::string buffer;
  Lines shown;
  std::string left;
};

class TakeShownLinesTest : public ::testing::TestWithParam<ShownCase> {};

TEST_P(TakeShownLinesTest, ShowsCompleteRepliesWithoutTheirLineEnd) {
  std::string buffer = GetParam().buffer;
  EXPECT_EQ(TakeShownLines(buffer), GetParam().shown);
  EXPECT_EQ(buffer, GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, TakeShownLinesTest,
    ::testing::Values(ShownCase{"OK\r\n", {"OK"}, ""},
                      ShownCase{"OK\n", {"OK"}, ""},  // a lone LF loses no character
                      ShownCase{"ERR\r\n", {"ERR"}, ""},
                      ShownCase{"NEW\r\nOK\r\n", {"NEW", "OK"}, ""},
                      ShownCase{"A\rB\nC\r\n", {"A", "B", "C"}, ""},
                      ShownCase{"\n\n\n", {"", "", ""}, ""}, ShownCase{"X\r\r\n", {"X", ""}, ""},
                      ShownCase{"\r\n", {}, "\r\n"}, ShownCase{"\n", {}, "\n"},
                      ShownCase{"OK", {}, "OK"}, ShownCase{"OK\r", {}, "OK\r"},
                      ShownCase{"OK\r\nO", {}, "OK\r\nO"},
                      ShownCase{std::string("A\0B\r\n", 5), {std::string("A\0B", 3)}, ""}));

TEST_F(ConsoleSessionTest, TheReceivedListKeepsTheLatest200LinesUnderABurst) {
  arrive(numbered(0, 450));
  const console::TickResult result = tickWithRts(false);
  ASSERT_EQ(session.Lines().size(), kMaxLines);
  EXPECT_EQ(session.Lines().front(), "L250");
  EXPECT_EQ(session.Lines().back(), "L449");
  ASSERT_EQ(result.added.size(), kMaxLines);
  EXPECT_EQ(result.added.front(), "L250");

  // Bursts over several ticks: each tick trims back to 200, not by one line.
  for (int tick = 0; tick < 5; ++tick) {
    arrive(numbered(1000 + tick * 150, 1000 + (tick + 1) * 150));
    tickWithRts(false);
    EXPECT_EQ(session.Lines().size(), kMaxLines);
  }
  EXPECT_EQ(session.Lines().front(), "L1550");
  EXPECT_EQ(session.Lines().back(), "L1749");
}

TEST_F(ConsoleSessionTest, ClearEmptiesTheListButNotTheReplyBuffer) {
  arrive("OK\r\nERR\r\n");
  tickWithRts(false);
  arrive("PART");
  tickWithRts(false);
  EXPECT_EQ(session.Lines(), (std::deque<std::string>{"OK", "ERR"}));
  EXPECT_EQ(state.ReplyBuffer, "PART");
  session.ClearList();
  EXPECT_TRUE(session.Lines().empty());
  EXPECT_EQ(state.ReplyBuffer, "PART");
  arrive("\r\n");
  tickWithRts(false);
  EXPECT_EQ(session.Lines(), (std::deque<std::string>{"PART"}));
}

TEST_F(ConsoleSessionTest, BytesWithoutALineFeedAreShownInPiecesAndTheBufferStaysSmall) {
  std::string sent;
  for (int tick = 0; tick < 20; ++tick) {
    std::string chunk;
    for (int i = 0; i < 700; ++i) chunk.push_back(static_cast<char>('a' + (tick * 7 + i) % 26));
    sent += chunk;
    arrive(chunk);
    tickWithRts(false);
    EXPECT_LE(state.ReplyBuffer.size(), kMaxLineLength);
  }
  // Nothing is lost: the pieces shown and what still waits are the bytes sent, in order.
  std::string seen;
  for (const auto &line : session.Lines()) {
    EXPECT_EQ(line.size(), kMaxLineLength);
    seen += line;
  }
  EXPECT_EQ(seen + state.ReplyBuffer, sent);
  // The rest is shown when its line ends.
  arrive("\r\n");
  const console::TickResult result = tickWithRts(false);
  EXPECT_EQ(result.added, Lines{sent.substr(seen.size())});
}

TEST_F(ConsoleSessionTest, AFloodOfLinesIsShownEvenWhenNoTickEndsOnALineFeed) {
  // Each tick brings whole lines and the start of the next: under the plain rule nothing would
  // ever be shown and the buffer would grow for as long as the unit talks.
  for (int tick = 0; tick < 10; ++tick) {
    arrive(numbered(tick * 300, tick * 300 + 300) + "PA");
    tickWithRts(false);
    arrive("RT\r\n");  // completes the line at the next tick
    EXPECT_LT(state.ReplyBuffer.size(), 4u);
  }
  tickWithRts(false);
  EXPECT_EQ(session.Lines().size(), kMaxLines);
  EXPECT_EQ(session.Lines().back(), "PART");
  EXPECT_EQ(state.ReplyBuffer, "");
}

TEST_F(ConsoleSessionTest, AnOverlongCompleteLineIsShownInPieces) {
  const std::string line(2 * kMaxLineLength + 100, 'x');
  arrive(line + "\r\n");
  const console::TickResult result = tickWithRts(false);
  ASSERT_EQ(result.added.size(), 3u);
  EXPECT_EQ(result.added[0] + result.added[1] + result.added[2], line);
  EXPECT_EQ(result.added[2].size(), 100u);
}

TEST_F(ConsoleSessionTest, ResetAndDrainStartAShowingClean) {
  arrive("OK\r\n");
  tickWithRts(false);
  state.ReplyBuffer = "stale";
  state.LastSendResult = false;
  session.Reset();
  EXPECT_TRUE(session.Lines().empty());
  EXPECT_EQ(state.ReplyBuffer, "");
  EXPECT_TRUE(state.LastSendResult);

  arrive("garbage from before\r\n");
  session.Drain();
  EXPECT_TRUE(unit().rx.empty());
  EXPECT_EQ(state.ReplyBuffer, "");
  EXPECT_TRUE(tickWithRts(false).added.empty());
}

TEST_F(ConsoleSessionTest, WithoutAPortATickDoesNothing) {
  state.Port.reset();
  fake->clearCalls();
  const console::TickResult result = tickWithRts(true);
  EXPECT_FALSE(result.ran);
  EXPECT_TRUE(fake->calls.empty());
}

TEST_F(ConsoleSessionTest, AFailedReadKeepsWhatWasReadAndALaterTickCompletesTheReply) {
  // A read fails after two bytes and the queue still reports bytes: ReceiveAll tries a reopen.
  // The unit is still open on the old handle, so the reopen fails and the old port stays.
  arrive("OK\r\n");
  unit().readsBeforeFailure = 2;
  tickWithRts(false);
  EXPECT_EQ(state.ReplyBuffer, "OK");
  TFT232 *before = state.Port.get();
  unit().readsBeforeFailure = -1;
  tickWithRts(true);
  EXPECT_EQ(state.Port.get(), before);
  EXPECT_EQ(session.Lines(), (std::deque<std::string>{"OK"}));
  EXPECT_FALSE(unit().rts);
}
