#include "session/protocol.h"

#include <gtest/gtest.h>

#include "session/shared_state.h"
#include "tests/support/fake_ftdi.h"

using protocol::Recognise;
using protocol::Reply;

TEST(Protocol, CommandLineFraming) {
  EXPECT_EQ(protocol::CommandLine("NORM"), "AT@NORM\r\n");
  EXPECT_EQ(protocol::CommandLine("P01", "3"), "AT@P013\r\n");
  EXPECT_EQ(protocol::CommandLine("P01", "3").size(), 9u);
  EXPECT_EQ(protocol::CommandLine("#"), "AT@#\r\n");
}

struct ReplyCase {
  std::string buffer;
  Reply reply;
};

void PrintTo(const ReplyCase &c, std::ostream *os) {
  *os << '"';
  for (char ch : c.buffer) *os << (ch == '\r' ? "\\r" : ch == '\n' ? "\\n" : std::string(1, ch));
  *os << '"';
}

class Recognition : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Recognition, WholeBufferComparison) {
  EXPECT_EQ(Recognise(GetParam().buffer), GetParam().reply) << GetParam().buffer;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Recognition,
    ::testing::Values(ReplyCase{"", Reply::Incomplete}, ReplyCase{"\r\n", Reply::Incomplete},
                      ReplyCase{"OK", Reply::Incomplete}, ReplyCase{"OK\r", Reply::Incomplete},
                      ReplyCase{"OK\r\n", Reply::Ok}, ReplyCase{"NEW\r\n", Reply::Other},
                      ReplyCase{"NEW\r\nOK\r\n", Reply::NewOk}, ReplyCase{"ERR\r\n", Reply::Err},
                      ReplyCase{"WAIT RTS\r\n", Reply::WaitRts}, ReplyCase{"ok\r\n", Reply::Other},
                      ReplyCase{"OK\n", Reply::Other}, ReplyCase{"xOK\r\n", Reply::Other},
                      ReplyCase{"OK\r\nOK\r\n", Reply::Other}));

class ProtocolLink : public ::testing::Test {
 protected:
  void SetUp() override {
    fake->add("VRT00001");
    state.SerialList[0] = "VRT00001";
    state.Port = std::make_unique<TFT232>("VRT00001");
  }
  fake::Installed fake;
  SharedState state{"/tmp/"};
};

TEST_F(ProtocolLink, ARepliesInPiecesIsRecognisedWhenItsLastPieceArrives) {
  fake->devices[0].rx = {'O', 'K'};
  EXPECT_EQ(protocol::Poll(state), Reply::Incomplete);
  fake->devices[0].rx = {'\r', '\n'};
  EXPECT_EQ(protocol::Poll(state), Reply::Ok);
  EXPECT_EQ(state.ReplyBuffer, "OK\r\n");

  state.ReplyBuffer.clear();
  fake->devices[0].rx = {'N', 'E', 'W', '\r', '\n'};
  EXPECT_EQ(protocol::Poll(state), Reply::Other);
  fake->devices[0].rx = {'O', 'K', '\r', '\n'};
  EXPECT_EQ(protocol::Poll(state), Reply::NewOk);
}

TEST_F(ProtocolLink, DrainThrowsStaleBytesAway) {
  state.ReplyBuffer = "stale";
  fake->devices[0].rx = {'O', 'K', '\r', '\n'};
  protocol::Drain(state);
  EXPECT_TRUE(state.ReplyBuffer.empty());
  EXPECT_TRUE(fake->devices[0].rx.empty());
}

TEST_F(ProtocolLink, SendKeepsTheLastSendResult) {
  EXPECT_TRUE(protocol::Send(state, "AT@NORM\r\n"));
  EXPECT_TRUE(state.LastSendResult);
  fake->devices[0].writesBeforeFailure = 0;
  EXPECT_FALSE(protocol::Send(state, "AT@NORM\r\n"));
  EXPECT_FALSE(state.LastSendResult);
  EXPECT_EQ(fake->devices[0].written, "AT@NORM\r\n");
}
