#include "settings/settings_exchange.h"

#include <gtest/gtest.h>

#include "session/shared_state.h"
#include "tests/support/counting_view.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/scripted_prompt.h"

using settings::DefaultExchange;
using settings::ParameterValues;
using settings::WriteExchange;

namespace {

// The 27 lines of a write with the values the fields hold when the program starts.
const std::vector<std::string> kInitialLines = {
    "AT@NORM",   "AT@P013",  "AT@P024",   "AT@P031",  "AT@P042",  "AT@P051",  "AT@P065",
    "AT@P075",   "AT@P085",  "AT@P17*67", "AT@P103",  "AT@P113",  "AT@P1224", "AT@P1311",
    "AT@P18*68", "AT@P1524", "AT@P16*66", "AT@MOD1",  "AT@TYPE1", "AT@TYPG4", "AT@P19*69",
    "AT@P2051",  "AT@P2152", "AT@P2253",  "AT@P2351", "AT@P2451", "AT@P25##"};

// The same write after "Default setting", with day mode and emergency calls chosen.
const std::vector<std::string> kDefaultLines = {
    "AT@NORM",   "AT@P013",  "AT@P024",   "AT@P031",  "AT@P042",  "AT@P051",  "AT@P065",
    "AT@P075",   "AT@P085",  "AT@P17*67", "AT@P105",  "AT@P115",  "AT@P1224", "AT@P1311",
    "AT@P18*68", "AT@P1524", "AT@P16*66", "AT@MOD1",  "AT@TYPE1", "AT@TYPG4", "AT@P19*69",
    "AT@P2051",  "AT@P2152", "AT@P2253",  "AT@P2361", "AT@P2462", "AT@P25##"};

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    fake->add("VRT00001");
    state.SerialList[0] = "VRT00001";
    state.Port = std::make_unique<TFT232>("VRT00001");
  }

  fake::Device &unit() { return fake->devices[0]; }
  void reply(std::string_view bytes) {
    unit().rx.insert(unit().rx.end(), bytes.begin(), bytes.end());
  }
  // What the unit received since the last call.
  std::string received() {
    std::string out;
    out.swap(unit().written);
    return out;
  }
  // Answers "OK\r\n" to every line until the write has sent the line of `step`.
  void acceptUntil(int step) {
    while (write.Line() < step) {
      reply("OK\r\n");
      write.Step();
    }
    received();
  }

  fake::Installed fake;
  SharedState state{"/tmp/"};
  ParameterValues values;
  ScriptedPrompt prompt;
  CountingView writeView, defaultView;
  WriteExchange write{state, values, prompt, writeView};
  DefaultExchange defaults{state, values, prompt, defaultView};
};

TEST_F(Exchange, AWriteWithTheInitialValuesSendsTwentySevenLinesEachAfterTheLastWasAccepted) {
  write.Start();
  EXPECT_EQ(received(), "AT@NORM\r\n");
  EXPECT_TRUE(write.Running());
  EXPECT_EQ(write.Line(), 0);

  for (int step = 1; step <= 26; ++step) {
    write.Step();  // nothing has come: nothing is sent
    EXPECT_EQ(received(), "") << step;
    reply("OK\r\n");
    write.Step();
    EXPECT_EQ(received(), kInitialLines[static_cast<std::size_t>(step)] + "\r\n") << step;
    EXPECT_EQ(write.Line(), step);
    EXPECT_TRUE(state.ReplyBuffer.empty());
  }
  EXPECT_EQ(writeView.shown, 0);
  reply("OK\r\n");
  write.Step();
  EXPECT_EQ(received(), "");
  EXPECT_FALSE(write.Running());
  EXPECT_EQ(writeView.shown, 1);
  EXPECT_TRUE(state.ReplyBuffer.empty());
  EXPECT_TRUE(prompt.shown.empty());

  // A finished write takes nothing more from the port.
  reply("OK\r\n");
  write.Step();
  EXPECT_EQ(unit().rx.size(), 4u);
  EXPECT_EQ(received(), "");
}

TEST_F(Exchange, TheDefaultValuesGiveTheLinesOfTheWorkedExample) {
  values["P10"] = "150";
  values["P23"] = "99";
  values.PutDefaults();
  for (int step = 0; step <= 26; ++step)
    EXPECT_EQ(settings::WriteLine(step, values),
              kDefaultLines[static_cast<std::size_t>(step)] + "\r\n");
}

TEST_F(Exchange, NewOkToNormStartsTheParameterLinesAsOkDoes) {
  write.Start();
  received();
  reply("NEW\r\n");
  write.Step();
  EXPECT_EQ(received(), "");
  EXPECT_EQ(state.ReplyBuffer, "NEW\r\n");
  reply("OK\r\n");
  write.Step();
  EXPECT_EQ(received(), "AT@P013\r\n");
  EXPECT_EQ(write.Line(), 1);

  // At any later step too.
  reply("NEW\r\nOK\r\n");
  write.Step();
  EXPECT_EQ(received(), "AT@P024\r\n");
}

TEST_F(Exchange, AReplyInPiecesAdvancesExactlyOneStepAtItsLastPiece) {
  write.Start();
  acceptUntil(4);
  reply("OK");
  write.Step();
  EXPECT_EQ(received(), "");
  EXPECT_EQ(write.Line(), 4);
  reply("\r\n");
  write.Step();
  EXPECT_EQ(received(), "AT@P051\r\n");
  EXPECT_EQ(write.Line(), 5);
  write.Step();
  EXPECT_EQ(received(), "");
  EXPECT_EQ(write.Line(), 5);
}

TEST_F(Exchange, ACompleteReplyThatIsNoReplyWordStaysAndTheWriteWaits) {
  write.Start();
  acceptUntil(2);
  reply("WAIT RTS\r\n");
  write.Step();
  EXPECT_EQ(state.ReplyBuffer, "WAIT RTS\r\n");
  reply("OK\r\n");
  write.Step();
  EXPECT_EQ(state.ReplyBuffer, "WAIT RTS\r\nOK\r\n");
  EXPECT_EQ(received(), "");
  EXPECT_TRUE(write.Running());
  EXPECT_EQ(write.Line(), 2);
  EXPECT_TRUE(prompt.shown.empty());
}

TEST_F(Exchange, StaleBytesAreDrainedBeforeTheFirstLine) {
  state.ReplyBuffer = "ERR\r";
  reply("\nOK\r\n");
  write.Start();
  EXPECT_TRUE(state.ReplyBuffer.empty());
  EXPECT_TRUE(unit().rx.empty());
  write.Step();
  EXPECT_EQ(write.Line(), 0);
  EXPECT_EQ(received(), "AT@NORM\r\n");
}

TEST_F(Exchange, AFailedSendIsRecordedAndTheWriteWaits) {
  write.Start();
  received();
  unit().writesBeforeFailure = 3;  // only "AT@" of the next line gets through
  reply("OK\r\n");
  write.Step();
  EXPECT_FALSE(state.LastSendResult);
  EXPECT_EQ(received(), "AT@");
  EXPECT_TRUE(write.Running());
  EXPECT_EQ(write.Line(), 1);
  write.Step();
  EXPECT_TRUE(write.Running());
  EXPECT_TRUE(prompt.shown.empty());
}

TEST_F(Exchange, AWriteSendsTheValuesTheFieldsHeldAtItsStart) {
  write.Start();
  acceptUntil(5);
  values["P25"] = "*1";
  values["MOD"] = "0";
  values["P12"] = "20";
  std::string lines;
  while (write.Running()) {
    reply("OK\r\n");
    write.Step();
    lines += received();
  }
  EXPECT_NE(lines.find("AT@P1224\r\n"), std::string::npos);
  EXPECT_NE(lines.find("AT@MOD1\r\n"), std::string::npos);
  EXPECT_TRUE(lines.ends_with("AT@P25##\r\n"));
}

// A unit that does not answer (unplugged, or a line lost): each exchange gives up kReplyLimit
// after its last line, with a message naming the unit and the line, as a refusal ends.
TEST_F(Exchange, WithoutAReplyEachExchangeGivesUpThreeSecondsAfterItsLastLine) {
  std::chrono::nanoseconds now{0};
  write.Clock = defaults.Clock = [&] { return now; };
  write.Start();
  acceptUntil(2);  // the limit runs from the last line sent
  now += std::chrono::milliseconds(2999);
  write.Step();
  EXPECT_TRUE(write.Running());
  now += std::chrono::milliseconds(1);
  write.Step();
  EXPECT_FALSE(write.Running());
  EXPECT_EQ(write.CurrentResult(), settings::Result::NoReply);
  EXPECT_EQ(writeView.shown, 1);
  EXPECT_EQ(prompt.Informed(), std::vector<std::string>{"No reply from VRT00001 to AT@P024"});

  values["P10"] = "150";
  defaults.Start();
  EXPECT_EQ(values["P10"], *params::Find("P10")->defaultValue) << "the defaults are put in";
  reply("NEW\r\nOK\r\n");
  now += std::chrono::seconds(3);
  defaults.Step();
  EXPECT_FALSE(defaults.Running());
  EXPECT_EQ(defaultView.shown, 1);
  EXPECT_EQ(prompt.Informed().back(), "No reply from VRT00001 to AT@DEFAULT");
}

TEST_F(Exchange, CodeTextsAreSentTrimmedAndAnEmptyCodeAsNothing) {
  values["P16"] = " *6\t";
  values["P19"] = "";
  EXPECT_EQ(settings::WriteLine(16, values), "AT@P16*6\r\n");
  EXPECT_EQ(settings::WriteLine(20, values), "AT@P19\r\n");
  values["P01"] = "no such entry";
  EXPECT_EQ(settings::WriteLine(1, values), "AT@P01\r\n");
}

struct Refusal {
  int step;
  std::string message;
};

class RefusedLine : public Exchange, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedLine, EndsTheWriteWithAMessageNamingTheCommand) {
  write.Start();
  acceptUntil(GetParam().step);
  reply("ERR\r\n");
  write.Step();
  EXPECT_FALSE(write.Running());
  EXPECT_EQ(writeView.shown, 1);
  EXPECT_TRUE(state.ReplyBuffer.empty());
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].kind, "inform");
  EXPECT_EQ(prompt.shown[0].text, GetParam().message);

  // Nothing after the refused line is sent.
  reply("OK\r\n");
  write.Step();
  EXPECT_EQ(received(), "");

  // A new write starts again from "AT@NORM".
  write.Start();
  EXPECT_EQ(received(), "AT@NORM\r\n");
  reply("OK\r\n");
  write.Step();
  EXPECT_EQ(received(), "AT@P013\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RefusedLine,
    ::testing::Values(Refusal{0, "Error value - NORM"}, Refusal{1, "Error value - P01"},
                      Refusal{9, "Error value - P17"}, Refusal{10, "Error value - P10"},
                      Refusal{14, "Error value - P18"}, Refusal{15, "Error value - P15"},
                      Refusal{17, "Error value - MOD"}, Refusal{18, "Error value - TYPE"},
                      Refusal{19, "Error value - TYPG"}, Refusal{26, "Error value - P25"}));

TEST_F(Exchange, AStoppedWriteSendsAndTakesNothing) {
  write.Start();
  acceptUntil(3);
  write.Stop();
  reply("OK\r\n");
  write.Step();
  EXPECT_EQ(received(), "");
  EXPECT_EQ(unit().rx.size(), 4u);
  EXPECT_FALSE(write.Running());
  EXPECT_EQ(writeView.shown, 0);
}

TEST_F(Exchange, DefaultSendsItsCommandAndPutsTheDefaultsLeavingThePairs) {
  values["MOD"] = "0";
  values["TYPE"] = "0";
  values["P10"] = "150";
  values["P16"] = "1";
  state.ReplyBuffer = "junk";
  reply("OK\r\n");
  defaults.Start();
  EXPECT_EQ(received(), "AT@DEFAULT\r\n");
  EXPECT_TRUE(state.ReplyBuffer.empty());
  EXPECT_EQ(values["P10"], "100");
  EXPECT_EQ(values["P11"], "100");
  EXPECT_EQ(values["P16"], "*66");
  EXPECT_EQ(values["P23"], "61");
  EXPECT_EQ(values["P24"], "62");
  EXPECT_EQ(values["MOD"], "0");
  EXPECT_EQ(values["TYPE"], "0");

  defaults.Step();  // the drained "OK" is not taken for the answer
  EXPECT_TRUE(defaults.Running());
  reply("O");
  defaults.Step();
  reply("K\r\n");
  defaults.Step();
  EXPECT_FALSE(defaults.Running());
  EXPECT_EQ(defaultView.shown, 1);
  EXPECT_TRUE(state.ReplyBuffer.empty());
  EXPECT_TRUE(prompt.shown.empty());
  EXPECT_EQ(received(), "");
}

TEST_F(Exchange, DefaultRefusedShowsItsMessageAndKeepsTheDefaults) {
  values["P23"] = "11";
  defaults.Start();
  reply("ERR\r\n");
  defaults.Step();
  EXPECT_FALSE(defaults.Running());
  EXPECT_EQ(defaultView.shown, 1);
  EXPECT_TRUE(state.ReplyBuffer.empty());
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].text, "Error value - DEFAULT");
  EXPECT_EQ(values["P23"], "61");
}

TEST_F(Exchange, DefaultDoesNotAcceptNewOk) {
  defaults.Start();
  reply("NEW\r\nOK\r\n");
  defaults.Step();
  defaults.Step();
  EXPECT_TRUE(defaults.Running());
  EXPECT_EQ(state.ReplyBuffer, "NEW\r\nOK\r\n");
  EXPECT_EQ(defaultView.shown, 0);
  EXPECT_TRUE(prompt.shown.empty());

  // Closing the window ends the wait: the port's later bytes are left for the next window.
  defaults.Stop();
  reply("OK\r\n");
  defaults.Step();
  EXPECT_EQ(unit().rx.size(), 4u);
  EXPECT_EQ(defaultView.shown, 0);
}

}  // namespace
