#include "firmware/download.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <csignal>

#include <algorithm>

#include "tests/firmware/download_harness.h"
#include "tests/firmware/hex_records.h"
#include "util/hex.h"

using namespace hexfile;
using firmware::Ending;
using firmware::Phase;
using firmware::StatusColour;
using Events = std::vector<std::string>;

namespace {

std::string ByteToHexOf(char c) {
  return ByteToHex(static_cast<std::uint8_t>(c));
}

// Three lines: words 8 and 16, then the end line.
const std::string kThreeLines =
    Text({Data(0x0010, Seq(1, 8)), Data(0x0020, Seq(0x21, 8)), Data(0x3000, {0, 0})});
const std::string kLine1 = std::string{8, 0, 1, 2, 3, 4, 5, 6, 7, 8};
const std::string kLine2 = std::string{16, 0, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28};
const std::string kEnd = "U" + std::string(9, '\xFF');

const std::string kSuccess = "Download firmware to Vertiko mate is successfully complete";
const std::string kConnectionFailure =
    "Skarvel you must disconned USB and power adapter up to 1 min\r\n"
    "next, plug in power adapter, connect USB and try again";

class Download : public ::testing::Test {
 protected:
  // Starts and brings the download to the state right after the unit's "Y": the next tick
  // sends byte 1 of line 1.
  void Connect(const std::string &text = kThreeLines) {
    ASSERT_TRUE(h.Start(text));
    ASSERT_EQ(h.TakeWritten(), "\r\nAT@#\r\n");
    h.download.Step();
    ASSERT_EQ(h.TakeWritten(), "w");
    h.Reply("Y");
    h.download.Step();
    ASSERT_EQ(h.TakeWritten(), "");
    ASSERT_EQ(h.download.CurrentPhase(), Phase::Transferring);
  }
  // Sends the next `count` bytes, each answered as the script says ("" for no reply).
  void SendBytes(int count, const std::string &reply = "O") {
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(h.download.Ready());
      h.TakeWritten();
      h.download.Step();
      ASSERT_EQ(h.TakeWritten().size(), 1u);
      h.Reply(reply);
      h.download.Step();
    }
  }
  // Ticks without any reply until just before the wait runs out.
  void WaitFifty() {
    for (int i = 0; i < 50; ++i) h.download.Step();
    ASSERT_EQ(h.download.WaitTicks(), 50);
    ASSERT_FALSE(h.download.Ready());
  }
  // A line as sent: its ten bytes.
  std::string SendLine(const std::string &replies = "OOOOOOOOOK") {
    std::string sent;
    for (char r : replies) {
      h.download.Step();
      sent += h.TakeWritten();
      h.Reply(std::string(1, r));
      h.download.Step();
    }
    return sent;
  }

  DownloadHarness h;
};

TEST_F(Download, NoAnswerYesChangesNothing) {
  h.recorder.answers = {false};
  EXPECT_FALSE(h.Start(kThreeLines));
  EXPECT_EQ(h.recorder.events, (Events{"ask:VRT00042"}));
  EXPECT_EQ(h.Unit().written, "");
  EXPECT_FALSE(QFile::exists(QString::fromStdString(h.temp.File("LOG_file1.TXT"))));
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Idle);
}

TEST_F(Download, StartSendsTheStartCommandWithoutDrainAndWritesTheHeader) {
  h.Reply("stale");
  h.state.ReplyBuffer = "kept";
  ASSERT_TRUE(h.Start(kThreeLines));
  EXPECT_EQ(h.Unit().written, "\r\nAT@#\r\n");
  EXPECT_EQ(h.Unit().rx.size(), 5u) << "the start does not drain the link";
  EXPECT_EQ(h.state.ReplyBuffer, "kept");
  EXPECT_TRUE(h.state.LastSendResult);
  EXPECT_EQ(h.recorder.events, (Events{"ask:VRT00042", "busy", "start", "idle"}));
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Connecting);
  EXPECT_EQ(h.download.CurrentImage().LineCount(), 3);
  EXPECT_EQ(h.download.LineIndex(), 1);
  EXPECT_EQ(h.download.BytePosition(), 1);
  EXPECT_EQ(h.download.OverallMax(), 0);
  EXPECT_EQ(h.download.LineMax(), 10);
  EXPECT_EQ(h.Log(), h.Header());
}

TEST_F(Download, StartReplacesTheLogOfAnEarlierDownload) {
  QFile old(QString::fromStdString(h.temp.File("LOG_file1.TXT")));
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write(std::string(5000, 'x').c_str(), 5000);
  old.close();
  ASSERT_TRUE(h.Start(kThreeLines));
  EXPECT_EQ(h.Log(), h.Header());
}

TEST(DownloadProgress, OverallMaximumCountsGroupsOfTenLinesMinusOne) {
  EXPECT_EQ(firmware::OverallMaximum(1), 0);
  EXPECT_EQ(firmware::OverallMaximum(9), 0);
  EXPECT_EQ(firmware::OverallMaximum(19), 0);
  EXPECT_EQ(firmware::OverallMaximum(20), 1);
  EXPECT_EQ(firmware::OverallMaximum(29), 1);
  EXPECT_EQ(firmware::OverallMaximum(1536), 152);
}

TEST_F(Download, AnImageWithoutLinesIsRefusedBeforeAnythingIsSent) {
  EXPECT_FALSE(h.Start(Text({Record(4, 0, {0, 0}), Data(0x0000, Seq(0, 8)), EndOfFile()})));
  EXPECT_EQ(h.Unit().written, "");
  EXPECT_EQ(h.recorder.events, (Events{"ask:VRT00042", "busy", "idle",
                                       "inform:" + std::string(firmware::kNoImageMessage)}));
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Idle);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(h.temp.File("LOG_file1.TXT"))));
}

TEST_F(Download, AnImageTooLargeForTheTableIsRefused) {
  std::string text;
  for (int i = 0; i < 2051; ++i) text += Data(0x0010, {1, 2}) + "\r\n";
  EXPECT_FALSE(h.Start(text));
  EXPECT_EQ(h.Unit().written, "");
  EXPECT_EQ(h.recorder.Informed(), (Events{std::string(firmware::kTooLargeMessage)}));
}

TEST_F(Download, ALogThatCannotBeCreatedIsReportedAndNothingIsSent) {
  ASSERT_TRUE(QDir(QString::fromStdString(h.temp.Folder())).mkdir("LOG_file1.TXT"));
  EXPECT_FALSE(h.Start(kThreeLines));
  EXPECT_EQ(h.Unit().written, "");
  ASSERT_EQ(h.recorder.Informed().size(), 1u);
  EXPECT_NE(h.recorder.Informed()[0].find(h.temp.File("LOG_file1.TXT")), std::string::npos)
      << h.recorder.Informed()[0];
  EXPECT_EQ(h.recorder.events[2], "idle") << "the cursor is restored before the box";
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Idle);
}

// Writes to files fail with EFBIG past `limit` bytes for the life of the object.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

TEST_F(Download, AHeaderThatCannotBeWrittenStopsTheStart) {
  {
    FileSizeLimit limit(0);
    EXPECT_FALSE(h.Start(kThreeLines));
  }
  EXPECT_EQ(h.Unit().written, "");
  ASSERT_EQ(h.recorder.Informed().size(), 1u);
  EXPECT_EQ(h.recorder.Informed()[0].rfind("Cannot write to file", 0), 0u)
      << h.recorder.Informed()[0];
}

TEST_F(Download, ALogThatFailsDuringTheDownloadIsReportedAfterTheEnding) {
  ScriptedLoader loader(h);
  ASSERT_TRUE(h.Start(kThreeLines));
  loader.Serve();
  {
    FileSizeLimit limit(static_cast<rlim_t>(h.Log().size()));
    while (h.download.Running()) {
      h.download.Step();
      loader.Serve();
    }
  }
  EXPECT_EQ(h.download.Result(), Ending::Success) << "the download went on";
  const auto boxes = h.recorder.Informed();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0], kSuccess);
  EXPECT_EQ(boxes[1].rfind("Cannot write to file", 0), 0u) << boxes[1];
  EXPECT_EQ(loader.lines.size(), 3u);
}

TEST_F(Download, ConnectingSendsWUntilTheUnitAnswersY) {
  ASSERT_TRUE(h.Start(kThreeLines));
  h.TakeWritten();
  h.Reply("OK\r\n");
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), "w") << "the reply to the start command is only logged";
  EXPECT_EQ(h.state.ReplyBuffer, "OK\r\n");
  EXPECT_EQ(h.download.Attempts(), 1);
  h.Reply("Y\r\n");
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), "w") << "a Y with other characters is not the answer";
  EXPECT_EQ(h.download.Status(), "--------");
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), "w");
  EXPECT_EQ(h.state.ReplyBuffer, "") << "each tick sets the reply buffer to its own bytes";
  h.Reply("Y");
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), "") << "nothing is sent in the tick of the Y";
  EXPECT_EQ(h.download.Status(), "Connect");
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Transferring);
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), std::string(1, '\x08')) << "byte 1 of line 1";
  EXPECT_EQ(h.download.LastSent(), "08");
  EXPECT_EQ(h.download.Colour(), StatusColour::Written);
  EXPECT_EQ(h.Log(), h.Header() + "<=>OK\r\n\r\n77<=>Y\r\n\r\n77<=>Y\r\n");
}

// On a real line the "Y" comes in one read with the "OK" of the start command, or with the "Y"
// of further "w" that went out before the host saw the first.
TEST_F(Download, AYAfterTheStartCommandsOkInOneReadConnects) {
  ASSERT_TRUE(h.Start(kThreeLines));
  h.TakeWritten();
  h.download.Step();
  ASSERT_EQ(h.TakeWritten(), "w");
  h.Reply("OK\r\nY");
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), "") << "the one w has had its Y";
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Transferring);
  EXPECT_EQ(h.download.Status(), "Connect");
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), std::string(1, '\x08'));
}

TEST_F(Download, AfterAYWithOtherBytesNoWIsSentAndTheTransferWaitsForEveryY) {
  ASSERT_TRUE(h.Start(kThreeLines));
  h.TakeWritten();
  for (int i = 0; i < 3; ++i) h.download.Step();
  ASSERT_EQ(h.TakeWritten(), "www");
  h.Reply("OK\r\nY");
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), "") << "the unit is in its loader";
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Connecting) << "two Y are still on their way";
  h.download.Step();
  h.Reply("YY");
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), "");
  EXPECT_EQ(h.download.Answers(), 3);
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Transferring);
  EXPECT_EQ(h.download.Attempts(), 3);
  EXPECT_EQ(h.Log(), h.Header() + "77<=>OK\r\nY\r\n77<=>YY\r\n");
}

TEST_F(Download, YsThatNeverAllComeStartTheTransferWhenNoneCanBeOnItsWay) {
  ASSERT_TRUE(h.Start(kThreeLines));
  h.TakeWritten();
  h.download.Step();
  h.download.Step();
  ASSERT_EQ(h.TakeWritten(), "ww");
  h.Reply("\r\nY");  // one "w" came before the loader listened
  for (int tick = 1; tick < firmware::kSettleTicks; ++tick) {
    h.download.Step();
    ASSERT_EQ(h.download.CurrentPhase(), Phase::Connecting) << tick;
  }
  h.download.Step();
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Transferring);
  EXPECT_EQ(h.TakeWritten(), "") << "no w while the Y are awaited";
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), std::string(1, '\x08'));
}

TEST_F(Download, TheHundredAndFirstWEndsWithAConnectionFailure) {
  ASSERT_TRUE(h.Start(kThreeLines));
  h.TakeWritten();
  for (int i = 0; i < 100; ++i) h.download.Step();
  EXPECT_EQ(h.TakeWritten(), std::string(100, 'w'));
  EXPECT_TRUE(h.download.Running());
  h.recorder.events.clear();
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), "w");
  EXPECT_EQ(h.download.CurrentPhase(), Phase::Ended);
  EXPECT_EQ(h.download.Result(), Ending::ConnectionFailure);
  EXPECT_EQ(h.download.Status(), "Error conection");
  EXPECT_EQ(h.download.Attempts(), 0);
  EXPECT_EQ(h.recorder.events, (Events{"stop", "inform:" + kConnectionFailure}))
      << "the timer stops before the box, and only there";
  EXPECT_EQ(h.recorder.statusAtBox, (Events{"Error conection"}));
  EXPECT_EQ(h.Log(), h.Header() + h.Footer());
  EXPECT_EQ(h.download.LogView(), h.Log());
}

TEST_F(Download, AWholeDownloadPutsEveryByteOnTheWireInOrderAndLogsEachReply) {
  ScriptedLoader loader(h);
  ASSERT_TRUE(h.Start(kThreeLines));
  loader.Serve();
  int ticks = 0;
  while (h.download.Running()) {
    h.download.Step();
    loader.Serve();
    ++ticks;
  }
  EXPECT_EQ(h.Unit().written, "\r\nAT@#\r\nw" + kLine1 + kLine2 + kEnd);
  EXPECT_EQ(h.download.Result(), Ending::Success);
  EXPECT_EQ(h.download.Status(), "Finish");
  EXPECT_EQ(h.recorder.Informed(), (Events{kSuccess}));
  // One tick for "w", one for "Y", two per byte; the tick after the "Z" ends.
  EXPECT_EQ(ticks, 2 + 2 * 30 + 1);
  EXPECT_EQ(h.download.OverallPosition(), h.download.OverallMax() + 1);
  EXPECT_EQ(h.download.LinePosition(), 11);
  EXPECT_EQ(h.recorder.events.front(), "ask:VRT00042");
  EXPECT_EQ(std::count(h.recorder.events.begin(), h.recorder.events.end(), "stop"), 1);
  EXPECT_EQ(std::count(h.recorder.events.begin(), h.recorder.events.end(), "start"), 1);

  // Nothing was sent before the first "w" of this program run.
  std::string expected = h.Header() + "<=>OK\r\n\r\n77<=>Y\r\n";
  for (const std::string &line : {kLine1, kLine2}) {
    for (int b = 0; b < 10; ++b)
      expected += ByteToHexOf(line[b]) + "<=>" + (b < 9 ? "O" : "K") + "\r\n";
  }
  for (int b = 0; b < 10; ++b)
    expected += ByteToHexOf(kEnd[b]) + "<=>" + (b < 9 ? "O" : "Z") + "\r\n";
  expected += h.Footer();
  EXPECT_EQ(h.Log(), expected);
  EXPECT_EQ(h.download.LogView(), expected);
}

// The loader's replies, row by row: what follows a reply after byte `byte` of line 1.
struct ReplyCase {
  const char *name;
  int byte;           // the reply answers this byte of line 1 (1 to 10)
  std::string reply;  // what the unit sends
  // Expected afterwards:
  bool ended;
  int lineIndex;
  int bytePosition;
  bool ready;
  StatusColour colour;
};

void PrintTo(const ReplyCase &c, std::ostream *os) {
  *os << c.name;
}

class ReplyTable : public Download, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTable, Row) {
  const ReplyCase &c = GetParam();
  Connect();
  SendBytes(c.byte - 1);
  h.download.Step();  // sends byte `c.byte`
  ASSERT_EQ(h.TakeWritten(), kLine1.substr(static_cast<std::size_t>(c.byte - 1), 1));
  h.Reply(c.reply);
  h.download.Step();
  EXPECT_EQ(h.download.CurrentPhase() == Phase::Ended, c.ended);
  if (c.ended) {
    EXPECT_EQ(h.download.Result(), Ending::ProtocolError);
    EXPECT_EQ(h.download.Status(), "ERROR");
    EXPECT_EQ(h.recorder.Informed(), (Events{"Error"}));
    EXPECT_EQ(h.TakeWritten(), "");
    return;
  }
  EXPECT_EQ(h.download.LineIndex(), c.lineIndex);
  EXPECT_EQ(h.download.BytePosition(), c.bytePosition);
  EXPECT_EQ(h.download.Ready(), c.ready);
  EXPECT_EQ(h.download.Colour(), c.colour);
  EXPECT_EQ(h.TakeWritten(), "") << "a reply tick sends nothing";
  if (c.ready) {
    h.download.Step();
    const std::string &line = c.lineIndex == 1 ? kLine1 : kLine2;
    EXPECT_EQ(h.TakeWritten(), line.substr(static_cast<std::size_t>(c.bytePosition - 1), 1));
  }
}

constexpr auto kGreen = StatusColour::Written;
constexpr auto kBlue = StatusColour::Retry;

INSTANTIATE_TEST_SUITE_P(
    Loader, ReplyTable,
    ::testing::Values(
        ReplyCase{"O_AfterByte1_SendsByte2", 1, "O", false, 1, 2, true, kGreen},
        ReplyCase{"O_AfterByte9_SendsByte10", 9, "O", false, 1, 10, true, kGreen},
        ReplyCase{"O_AfterByte10_IsAnError", 10, "O", true, 0, 0, false, kGreen},
        ReplyCase{"K_AfterByte4_SendsTheLineAgain", 4, "K", false, 1, 1, true, kGreen},
        ReplyCase{"K_AfterByte10_SendsTheNextLine", 10, "K", false, 2, 1, true, kGreen},
        ReplyCase{"P_AfterByte3_SendsTheLineAgain", 3, "P", false, 1, 1, true, kBlue},
        ReplyCase{"P_AfterByte10_SendsTheNextLine", 10, "P", false, 2, 1, true, kBlue},
        ReplyCase{"E_AfterByte5_IsAnError", 5, "E", true, 0, 0, false, kGreen},
        ReplyCase{"E_AfterByte10_IsAnError", 10, "E", true, 0, 0, false, kGreen},
        ReplyCase{"OK_AsOneTextKeepsWaiting", 2, "OK", false, 1, 3, false, kGreen},
        ReplyCase{"O_WithLineBreakKeepsWaiting", 2, "O\r\n", false, 1, 3, false, kGreen},
        ReplyCase{"LowerCaseOKeepsWaiting", 2, "o", false, 1, 3, false, kGreen}),
    [](const auto &info) { return info.param.name; });

TEST_F(Download, ZEvenWithMoreCharactersEndsWithSuccessOnTheNextTick) {
  Connect();
  SendBytes(3);
  h.download.Step();
  h.TakeWritten();
  h.Reply("Z\r\nOK");
  h.download.Step();
  EXPECT_TRUE(h.download.Running());
  EXPECT_EQ(h.download.LineIndex(), 3 + 100000);
  h.download.Step();
  EXPECT_EQ(h.download.Result(), Ending::Success);
  EXPECT_EQ(h.recorder.Informed(), (Events{kSuccess}));
  EXPECT_EQ(h.TakeWritten(), "");
}

TEST_F(Download, RepliesInASendingTickAreOnlyLogged) {
  Connect();
  h.Reply("E");  // arrives while the next byte may be sent
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), kLine1.substr(0, 1));
  EXPECT_TRUE(h.download.Running());
  EXPECT_FALSE(h.download.Ready());
  EXPECT_NE(h.Log().find("77<=>E\r\n"), std::string::npos) << "logged with the byte sent before";
}

TEST_F(Download, TheFiftyFirstTickOfWaitingIsATimeOutThatSendsTheLineAgain) {
  Connect();
  SendBytes(3);
  h.download.Step();  // byte 4
  h.TakeWritten();
  WaitFifty();
  EXPECT_EQ(h.download.TimeOuts(), 0);
  h.download.Step();
  EXPECT_EQ(h.download.TimeOuts(), 1);
  EXPECT_TRUE(h.download.Ready());
  EXPECT_EQ(h.download.BytePosition(), 1);
  EXPECT_EQ(h.download.LineIndex(), 1);
  EXPECT_EQ(h.download.Colour(), StatusColour::TimedOut);
  EXPECT_EQ(h.TakeWritten(), "");
  EXPECT_EQ(SendLine(), kLine1) << "the line again from its first byte";
  EXPECT_EQ(h.download.LineIndex(), 2);
}

TEST_F(Download, ATimeOutAfterTheTenthByteSendsThatLineAgain) {
  Connect();
  SendBytes(9);
  h.download.Step();  // byte 10: the line index moves on
  EXPECT_EQ(h.download.LineIndex(), 2);
  WaitFifty();
  h.download.Step();
  EXPECT_EQ(h.download.TimeOuts(), 1);
  EXPECT_EQ(h.download.LineIndex(), 1) << "the unacknowledged line is not skipped";
  EXPECT_EQ(h.download.BytePosition(), 1);
  h.TakeWritten();
  EXPECT_EQ(SendLine(), kLine1);
  EXPECT_EQ(SendLine(), kLine2);
}

TEST_F(Download, AnOInTheTickOfATimeOutIsAProtocolError) {
  Connect();
  SendBytes(1);
  h.download.Step();  // byte 2
  WaitFifty();
  h.Reply("O");
  h.download.Step();
  EXPECT_EQ(h.download.Result(), Ending::ProtocolError);
  EXPECT_EQ(h.download.TimeOuts(), 1);
  EXPECT_EQ(h.recorder.Informed(), (Events{"Error"}));
}

TEST_F(Download, AKInTheTickOfATimeOutCountsTheTimeOutAndGoesOnFromByte1) {
  Connect();
  SendBytes(9);
  h.download.Step();  // byte 10
  WaitFifty();
  h.Reply("K");
  h.download.Step();
  EXPECT_EQ(h.download.TimeOuts(), 1);
  EXPECT_TRUE(h.download.Ready());
  EXPECT_EQ(h.download.BytePosition(), 1);
  h.TakeWritten();
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), kLine1.substr(0, 1));
}

TEST_F(Download, LateRepliesWithinTheWaitAreTaken) {
  Connect();
  h.download.Step();  // byte 1
  for (int i = 0; i < 49; ++i) h.download.Step();
  h.Reply("O");
  h.download.Step();  // the 50th tick of waiting
  EXPECT_EQ(h.download.TimeOuts(), 0);
  EXPECT_TRUE(h.download.Ready());
  EXPECT_EQ(h.download.BytePosition(), 2);
  h.TakeWritten();
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), kLine1.substr(1, 1));
}

TEST_F(Download, TheEleventhTimeOutEndsTheDownloadHoweverFarApart) {
  Connect();
  for (int t = 1; t <= 10; ++t) {
    SendBytes(1);       // some progress between the time-outs
    h.download.Step();  // the next byte, never answered
    WaitFifty();
    h.download.Step();
    ASSERT_EQ(h.download.TimeOuts(), t);
    ASSERT_TRUE(h.download.Running());
  }
  SendBytes(1);
  h.download.Step();
  WaitFifty();
  h.recorder.events.clear();
  h.download.Step();
  EXPECT_EQ(h.download.Result(), Ending::TimeOutFailure);
  EXPECT_EQ(h.download.Status(), "ERROR/TIME");
  EXPECT_EQ(h.recorder.events, (Events{"stop", "inform:Error TIMEOUT"}));
  EXPECT_EQ(h.recorder.statusAtBox, (Events{"ERROR/TIME"}));
  EXPECT_EQ(h.Log().substr(h.Log().size() - h.Footer().size()), h.Footer());
}

TEST_F(Download, TheTimeOutCountStartsAtZeroWithEveryDownload) {
  Connect();
  for (int t = 0; t < 10; ++t) {
    h.download.Step();
    WaitFifty();
    h.download.Step();
  }
  ASSERT_EQ(h.download.TimeOuts(), 10);
  h.download.Step();
  h.Reply("E");
  h.download.Step();
  ASSERT_EQ(h.download.Result(), Ending::ProtocolError);

  h.download.Reset();
  h.TakeWritten();
  Connect();
  EXPECT_EQ(h.download.TimeOuts(), 0);
  h.download.Step();
  WaitFifty();
  h.download.Step();
  EXPECT_TRUE(h.download.Running()) << "one time-out of this download is not the eleventh";
}

TEST_F(Download, AByteThatCannotBeSentIsSentAgainAndCountsAsWaiting) {
  Connect();
  h.Unit().writesBeforeFailure = 0;
  h.download.Step();
  EXPECT_FALSE(h.state.LastSendResult);
  EXPECT_EQ(h.download.Colour(), StatusColour::Retry);
  EXPECT_TRUE(h.download.Ready());
  EXPECT_EQ(h.download.BytePosition(), 1);
  h.Unit().writesBeforeFailure = -1;
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), kLine1.substr(0, 1)) << "the same byte again";
  EXPECT_TRUE(h.state.LastSendResult);
  EXPECT_EQ(h.download.Colour(), StatusColour::Written);
}

TEST_F(Download, AnUnpluggedUnitEndsInATimeOutFailure) {
  Connect();
  SendLine();
  SendBytes(2);  // line 2 under way
  h.TakeWritten();
  h.Unit().writesBeforeFailure = 0;
  int ticks = 0;
  while (h.download.Running() && ticks < 100000) {
    h.download.Step();
    ++ticks;
  }
  EXPECT_EQ(h.download.Result(), Ending::TimeOutFailure);
  EXPECT_EQ(ticks, 11 * 51);
  EXPECT_EQ(h.recorder.Informed(), (Events{"Error TIMEOUT"}));
}

TEST_F(Download, ProgressFollowsTheLineIndex) {
  std::string text;
  for (unsigned w = 8; w < 8 + 4 * 25; w += 4) text += Data(2 * w, Seq(1, 8)) + "\r\n";
  Connect(text);  // 25 lines
  EXPECT_EQ(h.download.OverallMax(), 1);
  EXPECT_EQ(h.download.OverallPosition(), 0);
  EXPECT_EQ(h.download.LinePosition(), 2);
  for (int line = 1; line <= 12; ++line) SendLine();
  h.download.Step();
  EXPECT_EQ(h.download.LineIndex(), 13);
  EXPECT_EQ(h.download.OverallPosition(), 1);
  EXPECT_EQ(h.download.LinePosition(), 4);
}

TEST_F(Download, AnImageWithoutEndLineEndsOnTheKToItsLastLineAndSendsItAgainOnP) {
  Connect(Data(0x0010, Seq(1, 8)));
  SendBytes(9);
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), kLine1.substr(9, 1));
  h.download.Step();
  EXPECT_TRUE(h.download.Running()) << "the last line's reply is waited for";
  h.Reply("P");
  h.download.Step();
  EXPECT_EQ(h.download.LineIndex(), 1);
  EXPECT_EQ(SendLine(), kLine1) << "the unit asked for the last line again";
  EXPECT_TRUE(h.download.Running());
  h.download.Step();
  EXPECT_EQ(h.download.Result(), Ending::Success);
  EXPECT_EQ(h.Unit().written, "\r\nAT@#\r\nw" + kLine1 + kLine1);
}

TEST_F(Download, TheLastByteSentCarriesOverIntoTheNextDownloadsLog) {
  Connect();
  h.Reply("E");
  h.download.Step();  // sends 08, logs 77<=>E
  h.Reply("E");
  h.download.Step();  // protocol error
  ASSERT_EQ(h.download.Result(), Ending::ProtocolError);
  EXPECT_EQ(h.download.LastSent(), "08");

  h.download.Reset();
  ASSERT_TRUE(h.Start(kThreeLines));
  h.Reply("OK\r\n");
  h.download.Step();
  EXPECT_EQ(h.Log(), h.Header() + "08<=>OK\r\n\r\n");
}

TEST_F(Download, ClosingTheWindowKeepsWhatTheLogHolds) {
  Connect();
  SendBytes(2);
  h.download.Stop();
  EXPECT_FALSE(h.download.Running());
  const std::string expected = h.Header() + "77<=>Y\r\n08<=>O\r\n00<=>O\r\n";
  EXPECT_EQ(h.Log(), expected) << "closed without footer";
  h.download.Step();
  EXPECT_EQ(h.Log(), expected) << "a stopped download does nothing more";
  EXPECT_EQ(h.recorder.Informed(), Events{});
}

TEST_F(Download, ReplyBufferHoldsEachTicksBytes) {
  Connect();
  h.download.Step();
  h.Reply("O");
  h.download.Step();
  EXPECT_EQ(h.state.ReplyBuffer, "O");
  h.download.Step();
  h.download.Step();
  EXPECT_EQ(h.state.ReplyBuffer, "");
}

TEST_F(Download, ReadsThroughTheCurrentPortAfterAReopen) {
  Connect();
  // A new port object replaces the old one between ticks, as a reopen does.
  h.state.Port.reset();
  h.state.Port = std::make_unique<TFT232>(DownloadHarness::kSerial);
  h.TakeWritten();
  h.download.Step();
  EXPECT_EQ(h.TakeWritten(), kLine1.substr(0, 1));
  EXPECT_TRUE(h.state.LastSendResult);
}

}  // namespace

namespace {

TEST_F(Download, APInTheTickOfATimeOutAfterTheTenthByteSendsThatLineOnce) {
  Connect();
  SendBytes(9);
  h.download.Step();  // byte 10
  WaitFifty();
  h.Reply("P");
  h.download.Step();
  EXPECT_EQ(h.download.TimeOuts(), 1);
  EXPECT_EQ(h.download.LineIndex(), 1) << "line 1 again, not the line before it";
  EXPECT_EQ(h.download.BytePosition(), 1);
  EXPECT_EQ(h.download.Colour(), StatusColour::Retry);
}

}  // namespace

namespace {

// A fast transfer stepped by hand on a port that cannot wake it on received data (the fake
// driver knows no event notification): it looks for replies every millisecond.
class FastDownload : public Download {
 protected:
  FastDownload() {
    h.download.SetFast(true);
    h.download.Clock = [this] { return now; };
  }
  // Moves the clock to `at` and steps the download; the bytes written by the step.
  std::string StepAt(std::chrono::nanoseconds at) {
    now = at;
    h.download.Wake();
    return h.TakeWritten();
  }
  std::chrono::nanoseconds now{0};
};

TEST_F(FastDownload, SendsEachByteOnItsReplyAndALineAFiveMillisecondPauseAfterTheK) {
  using namespace std::chrono_literals;
  ASSERT_TRUE(h.Start(kThreeLines));
  EXPECT_EQ(h.recorder.events, (Events{"ask:VRT00042", "busy", "idle"})) << "no Timer1";
  EXPECT_EQ(h.TakeWritten(), "\r\nAT@#\r\n");
  EXPECT_EQ(h.recorder.awaitWait, 5ms);
  // The connection at the ticks' pace: a step before its time reads and sends nothing.
  h.Reply("OK\r\n");
  EXPECT_EQ(StepAt(4ms), "");
  EXPECT_EQ(h.Unit().rx.size(), 4u);
  EXPECT_EQ(StepAt(5ms), "w");
  h.Reply("Y");
  EXPECT_EQ(StepAt(10ms), "");
  EXPECT_EQ(h.download.Status(), "Connect");
  EXPECT_EQ(h.recorder.awaitDescriptor, -1);
  EXPECT_EQ(h.recorder.awaitWait, 5ms);
  EXPECT_EQ(StepAt(14ms), "") << "byte 1 of line 1 a tick after the Y";
  EXPECT_EQ(StepAt(15ms), kLine1.substr(0, 1));
  EXPECT_EQ(h.recorder.awaitWait, 1ms) << "no event: the port is polled";

  // Bytes 2 to 10 each in the step that reads the reply to the one before.
  std::string sent = kLine1.substr(0, 1);
  auto t = 15ms;
  EXPECT_EQ(StepAt(t += 1ms), "") << "no reply yet";
  for (int i = 1; i < 10; ++i) {
    h.Reply("O");
    sent += StepAt(t += 1ms);
    EXPECT_EQ(sent.size(), static_cast<std::size_t>(i + 1));
  }
  EXPECT_EQ(sent, kLine1);
  EXPECT_EQ(h.download.LineIndex(), 2);
  // The K: line 2 no sooner than 5 ms after it was read; what comes meanwhile is only logged
  // when the pause is over.
  h.Reply("K");
  const auto k = t += 2ms;
  EXPECT_EQ(StepAt(k), "");
  EXPECT_TRUE(h.download.Ready());
  EXPECT_EQ(h.recorder.awaitWait, 5ms);
  h.Reply("?");
  EXPECT_EQ(StepAt(k + 4ms), "");
  EXPECT_EQ(StepAt(k + 5ms), kLine2.substr(0, 1));
  EXPECT_EQ(h.state.ReplyBuffer, "?");

  const std::string log = h.Log();
  EXPECT_NE(log.find("\r\n07<=>O\r\n08<=>K\r\n08<=>?\r\n"), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3 + 2 + 1 + 10 + 1);
}

TEST_F(FastDownload, AWaitRunsOutAfterFiftyTicksTimeAndTheLineIsSentAgain) {
  using namespace std::chrono_literals;
  ASSERT_TRUE(h.Start(kThreeLines));
  h.TakeWritten();
  StepAt(5ms);
  h.Reply("Y");
  StepAt(10ms);
  std::string line = StepAt(15ms);
  for (int i = 1; i < 4; ++i) {
    h.Reply("O");
    line += StepAt(15ms + i * 1ms);
  }
  ASSERT_EQ(line, kLine1.substr(0, 4));
  const auto sent = 18ms;  // byte 4, unanswered
  EXPECT_EQ(StepAt(sent + 250ms), "");
  EXPECT_EQ(h.download.TimeOuts(), 0) << "a wait of 50 ticks' time has not run out";
  EXPECT_EQ(StepAt(sent + 251ms), "");
  EXPECT_EQ(h.download.TimeOuts(), 1);
  EXPECT_EQ(h.download.Colour(), StatusColour::TimedOut);
  EXPECT_EQ(StepAt(sent + 255ms), "");
  EXPECT_EQ(StepAt(sent + 256ms), kLine1.substr(0, 1)) << "after a tick's pause, from byte 1";

  // An "E" ends the download at once, as with the ticks.
  h.Reply("E");
  StepAt(sent + 257ms);
  EXPECT_EQ(h.download.Result(), Ending::ProtocolError);
  EXPECT_EQ(h.recorder.Informed(), std::vector<std::string>{"Error"});
  EXPECT_EQ(h.recorder.events.back(), "inform:Error");
  EXPECT_NE(std::find(h.recorder.events.begin(), h.recorder.events.end(), "stop"),
            h.recorder.events.end());
}

}  // namespace
