// The recording sequence stepped tick by tick: a scripted player, an emulated unit in the test
// process behind the port (its clock moved by the test), and a window stand-in that keeps Timer2
// and the position bar.
#include "recorder/recording.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "link/link.h"
#include "session/shared_state.h"
#include "sim/in_process.h"
#include "tests/recorder/scripted_player.h"
#include "tests/recorder/window_stand_in.h"
#include "tests/support/scripted_prompt.h"
#include "tests/support/temp_folder.h"

using namespace std::chrono_literals;
using recorder::Phase;

namespace {

constexpr const char *kSerial = "VRT00007";
constexpr std::int64_t kSecond = ScriptedPlayer::kSecond;

// What the user would have seen when a box opened.
struct Box {
  std::string text;
  bool rts;                  // the unit's RTS line
  bool timer2;               // Timer2 running
  bool waiting;              // WaitingReply
  bool recordEnabled;        // "RECORD MESSAGE"
  std::string unitLastLine;  // the last command line the unit had received
};

using Window = WindowStandIn;

class Harness {
 public:
  explicit Harness(sim::UnitOptions options = {}, std::int64_t duration = 3 * kSecond)
      : unit(units.Add(WithSerial(std::move(options)))),
        state(folder.Folder()),
        player(duration),
        recording(state, prompt, window) {
    prompt.onBox = [this](const ScriptedPrompt::Box &box) {
      if (box.kind == "ask") {
        ADD_FAILURE() << "the recording asks no Yes/No question";
        return;
      }
      events.push_back("box " + box.text);
      boxes.push_back({box.text, unit.Rts(), window.timer2, recording.WaitingReply(),
                       RecordEnabled(), Lines().empty() ? std::string() : Lines().back()});
    };
    state.SerialList[0] = kSerial;
    state.ChosenIndex = 0;
    state.DeviceChosen = true;
    state.UnitCount = 1;
    state.Port = std::make_unique<TFT232>(kSerial);
    ConfigurePort(*state.Port);
    window.player = &player;
    recording.SetPlayer(&player);
    recording.Now = [this] { return std::chrono::steady_clock::time_point(units.clock().Now()); };
    recording.Sleep = [this](std::chrono::milliseconds pause) {
      events.push_back("sleep " + std::to_string(pause.count()));
      units.clock().Advance(pause);
    };
    recording.Reset();
  }

  static sim::UnitOptions WithSerial(sim::UnitOptions options) {
    options.serial = kSerial;
    return options;
  }

  // 250 ms pass, then Timer1 fires.
  void Step() {
    units.clock().Advance(250ms);
    recording.Step();
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) Step();
  }

  // "RECORD MESSAGE", then ticks until the recording has begun.
  void StartRecording() {
    recording.Start();
    for (int i = 0; i < 3 && recording.CurrentPhase() != Phase::Recording; ++i) Step();
    ASSERT_EQ(recording.CurrentPhase(), Phase::Recording);
  }

  recorder::RecorderControls Controls() const {
    return recorder::EnabledControls(true, recording.Playing(), recording.CurrentPhase());
  }
  bool RecordEnabled() const { return Controls().record; }
  const std::vector<std::string> &Lines() const { return unit.GetRecord().commandLines; }
  // RTS as the unit saw it at its last level report.
  bool LastRts() const { return unit.GetRecord().levels.back().rts; }

  sim::InstalledUnits units;
  sim::Unit &unit;
  TempFolder folder;
  SharedState state;
  ScriptedPlayer player;
  Window window;
  ScriptedPrompt prompt;  // the recording asks no Yes/No question
  recorder::MessageRecording recording;
  std::vector<std::string> events;
  std::vector<Box> boxes;
};

// Every ending leaves the same state behind: the file rewound, Timer2 off, RTS set, idle.
void ExpectEnded(const Harness &h) {
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Idle);
  EXPECT_FALSE(h.recording.WaitingReply());
  EXPECT_FALSE(h.window.timer2);
  EXPECT_TRUE(h.unit.Rts());
  EXPECT_TRUE(h.LastRts());
  EXPECT_EQ(h.player.position, 0) << "the file is not rewound";
  EXPECT_EQ(h.player.state, 0);
  const recorder::RecorderControls all{true, true, true, true, true, true, true};
  EXPECT_EQ(h.Controls(), all);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The rules without a unit.

TEST(RecorderRules, PositionBarIsTheTruncatedPercentWhenTheDurationIsKnown) {
  EXPECT_EQ(recorder::PositionPercent(0, 3 * kSecond, 0x3F), 0);
  EXPECT_EQ(recorder::PositionPercent(3 * kSecond - 1, 3 * kSecond, 0x3F), 99);
  EXPECT_EQ(recorder::PositionPercent(3 * kSecond, 3 * kSecond, 0x3F), 100);
  EXPECT_EQ(recorder::PositionPercent(kSecond, 3 * kSecond, 0x3F), 33);
  // A day of 100 ns units times a hundred does not overflow.
  EXPECT_EQ(recorder::PositionPercent(864000000000, 864000000000, 0x20), 100);
  EXPECT_EQ(recorder::PositionPercent(kSecond, 0, 0x3F), std::nullopt);
  EXPECT_EQ(recorder::PositionPercent(kSecond, 3 * kSecond, 0x1F), std::nullopt)
      << "without capability 0x20 the bar stays where it is";
}

TEST(RecorderRules, EnablingFollowsTheFileThePlayActionAndThePhase) {
  using recorder::EnabledControls;
  using C = recorder::RecorderControls;
  EXPECT_EQ(EnabledControls(false, false, Phase::Idle),
            (C{false, false, false, false, true, true, false}));
  EXPECT_EQ(EnabledControls(true, false, Phase::Idle),
            (C{true, true, true, true, true, true, true}));
  EXPECT_EQ(EnabledControls(true, true, Phase::Idle),
            (C{true, true, true, false, true, true, true}))
      << "Play disables RECORD MESSAGE only";
  for (Phase busy : {Phase::AwaitingReply, Phase::Recording}) {
    EXPECT_EQ(EnabledControls(true, false, busy),
              (C{false, false, false, false, false, false, true}))
        << "the bars stay usable during a recording";
    EXPECT_EQ(EnabledControls(true, true, busy),
              (C{false, false, false, false, false, false, true}));
  }
}

// ---------------------------------------------------------------------------------------------
// The start.

TEST(Recording, StartAsksForTheCableThenFlushesSendsTheCommandRewindsAndPauses) {
  Harness h;
  h.recording.PauseAction();
  h.player.position = kSecond + 5;
  h.unit.Say("RING\r\n");  // left over on the link: thrown away before the command
  h.Step();
  ASSERT_EQ(h.recording.CurrentPhase(), Phase::Idle);
  h.state.Port->ClearRts(true);  // whatever the line was, the command goes with RTS set
  h.player.calls.clear();

  h.recording.Start();

  ASSERT_EQ(h.boxes.size(), 1u);
  EXPECT_EQ(h.boxes[0].text, "Have you got connect audio cable Jack 3.5mm?");
  EXPECT_FALSE(h.boxes[0].waiting) << "the question comes before the wait";
  EXPECT_EQ(h.boxes[0].unitLastLine, "") << "and before the command";
  EXPECT_EQ(h.events, (std::vector<std::string>{"box Have you got connect audio cable Jack 3.5mm?",
                                                "sleep 100"}));
  EXPECT_EQ(h.Lines(), std::vector<std::string>{"AT@OGRIE\r\n"});
  EXPECT_TRUE(h.unit.Rts());
  EXPECT_TRUE(h.state.ReplyBuffer.empty());
  EXPECT_EQ(h.player.calls, (std::vector<std::string>{"Stop", "SetPosition 0 1"}));
  EXPECT_EQ(h.player.position, 0);
  EXPECT_TRUE(h.recording.WaitingReply());
  EXPECT_EQ(h.recording.WaitTicks(), 0);
  EXPECT_EQ(h.Controls(),
            (recorder::RecorderControls{false, false, false, false, false, false, true}));

  // The stale line is gone: the first tick finds exactly the unit's reply.
  h.Step();
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Recording);
}

TEST(Recording, WithoutAFileRecordMessageDoesNothing) {
  Harness h;
  h.recording.SetPlayer(nullptr);
  h.recording.Start();
  EXPECT_TRUE(h.boxes.empty());
  EXPECT_TRUE(h.Lines().empty());
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Idle);
}

// ---------------------------------------------------------------------------------------------
// The reply.

TEST(Recording, WaitRtsSplitOverTwoTicksIsJoinedAndStartsTheRecording) {
  Harness h({.lineFaults = {{.kind = sim::LineFault::Kind::Split,
                             .word = "OGRIE",
                             .delay = 400ms,
                             .pieceSize = 5}}});
  h.recording.Start();
  h.Step();  // 350 ms after the command: "WAIT " only
  EXPECT_EQ(h.state.ReplyBuffer, "WAIT ");
  EXPECT_TRUE(h.recording.WaitingReply());
  EXPECT_EQ(h.recording.WaitTicks(), 0) << "a tick with three or more characters is not counted";
  EXPECT_TRUE(h.unit.Rts());
  EXPECT_EQ(h.player.Count("Play"), 0);

  h.Step();  // 600 ms: "RTS\r\n"
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Recording);
  EXPECT_FALSE(h.recording.WaitingReply());
  EXPECT_TRUE(h.state.ReplyBuffer.empty());
  EXPECT_FALSE(h.unit.Rts()) << "the start signal";
  EXPECT_EQ(h.unit.Recorder(), sim::Unit::RecordState::Recording);
  EXPECT_EQ(h.player.state, 2);
  EXPECT_EQ(h.player.calls.back(), "Play");
  EXPECT_TRUE(h.window.timer2);
  EXPECT_TRUE(h.boxes.size() == 1) << "only the question";
}

TEST(Recording, OkAndWaitRtsTogetherAreDroppedAndTheWaitRunsOutAtTheFortyThirdEmptyTick) {
  Harness h;
  // The unit puts an "OK" before its reply, so that both arrive in one read.
  h.unit.SetListener([&h](sim::Unit::Event event, const std::string &text) {
    if (event == sim::Unit::Event::CommandLine && text == "AT@OGRIE\\r\\n") h.unit.Say("OK\r\n");
  });
  h.recording.Start();
  h.Step();
  EXPECT_TRUE(h.recording.WaitingReply());
  EXPECT_TRUE(h.state.ReplyBuffer.empty()) << "the two lines are dropped";
  EXPECT_TRUE(h.unit.Rts()) << "no start signal";
  EXPECT_EQ(h.player.Count("Play"), 0);
  EXPECT_EQ(h.recording.WaitTicks(), 0);

  h.Ticks(42);
  EXPECT_TRUE(h.recording.WaitingReply());
  EXPECT_EQ(h.recording.WaitTicks(), 42);
  EXPECT_EQ(h.Lines().back(), "AT@OGRIE\r\n");

  h.Step();
  EXPECT_EQ(h.Lines().back(), "AT@RESET\r\n");
  ASSERT_EQ(h.boxes.size(), 2u);
  EXPECT_EQ(h.boxes[1].text, "Anny error.... > Reset!");
  ExpectEnded(h);
}

TEST(Recording, ErrIsRecordImpossibleAfterTheEndingActions) {
  Harness h({.lineFaults = {{.kind = sim::LineFault::Kind::Err, .word = "OGRIE"}}});
  h.recording.Start();
  h.player.calls.clear();
  h.Step();
  ASSERT_EQ(h.boxes.size(), 2u);
  const Box &box = h.boxes[1];
  EXPECT_EQ(box.text, "Record impossible");
  EXPECT_TRUE(box.rts);
  EXPECT_FALSE(box.timer2);
  EXPECT_FALSE(box.waiting);
  EXPECT_TRUE(box.recordEnabled) << "the buttons are enabled before the box";
  EXPECT_EQ(h.player.calls, (std::vector<std::string>{"Stop", "SetPosition 0 1"}));
  EXPECT_TRUE(h.state.ReplyBuffer.empty());
  EXPECT_EQ(h.unit.GetRecord().recordings.size(), 0u);
  ExpectEnded(h);
}

TEST(Recording, NoAnswerSendsResetAtTheFortyThirdTickAndTellsAfterASecond) {
  Harness h({.lineFaults = {{.kind = sim::LineFault::Kind::NoAnswer, .word = "OGRIE"}}});
  const sim::Time sent = h.units.clock().Now();
  h.recording.Start();
  h.Ticks(42);
  EXPECT_TRUE(h.recording.WaitingReply());
  EXPECT_EQ(h.Lines().size(), 1u);
  h.events.clear();

  h.Step();
  EXPECT_EQ(h.Lines().back(), "AT@RESET\r\n");
  EXPECT_EQ(h.events, (std::vector<std::string>{"sleep 1000", "box Anny error.... > Reset!"}));
  EXPECT_EQ(h.boxes.back().unitLastLine, "AT@RESET\r\n");
  EXPECT_TRUE(h.boxes.back().rts);
  EXPECT_FALSE(h.boxes.back().waiting);
  // 100 ms after the command, then 43 ticks of 250 ms.
  EXPECT_EQ(
      std::chrono::duration_cast<std::chrono::milliseconds>(h.units.clock().Now() - sent - 1000ms),
      10850ms);
  ExpectEnded(h);
}

TEST(Recording, ALineWithoutLineFeedHoldsTheWaitWithoutCountingTicks) {
  Harness h({.lineFaults = {{.kind = sim::LineFault::Kind::NoAnswer, .word = "OGRIE"}}});
  h.recording.Start();
  h.Ticks(10);
  EXPECT_EQ(h.recording.WaitTicks(), 10);
  h.unit.Say("WAI");
  h.Ticks(100);
  EXPECT_TRUE(h.recording.WaitingReply());
  EXPECT_EQ(h.recording.WaitTicks(), 10);
  EXPECT_EQ(h.Lines().size(), 1u) << "no time-out";
  h.unit.Say("T RTS\r\n");
  h.Step();
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Recording);
}

TEST(Recording, AnotherCompleteLineIsDroppedAndTheNextReplyCounts) {
  Harness h(
      {.lineFaults = {{.kind = sim::LineFault::Kind::Late, .word = "OGRIE", .delay = 600ms}}});
  // The unit echoes the command line before it answers.
  h.unit.SetListener([&h](sim::Unit::Event event, const std::string &text) {
    if (event == sim::Unit::Event::CommandLine) h.unit.Say("AT@OGRIE\r\n");
    (void)text;
  });
  h.recording.Start();
  h.Step();
  EXPECT_TRUE(h.recording.WaitingReply());
  EXPECT_TRUE(h.state.ReplyBuffer.empty());
  h.Ticks(2);
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Recording);
}

// ---------------------------------------------------------------------------------------------
// The end of a recording.

TEST(Recording, TheEndOfTheFileEndsTheRecordingAtTheNextTick) {
  Harness h;
  h.StartRecording();
  const sim::Time started = h.units.clock().Now();
  h.player.position = 3 * kSecond - 1;  // the last moments: the bar shows 99
  h.Step();
  EXPECT_EQ(h.window.bar, 99);
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Recording);
  EXPECT_FALSE(h.unit.Rts());

  h.player.ReachEnd();
  h.Step();
  ExpectEnded(h);
  ASSERT_EQ(h.unit.GetRecord().recordings.size(), 1u);
  const sim::Recording &r = h.unit.GetRecord().recordings[0];
  EXPECT_EQ(r.start, started);
  ASSERT_TRUE(r.stop.has_value());
  EXPECT_EQ(*r.stop - r.start, 500ms);
  EXPECT_EQ(h.events.back(), "sleep 100") << "nothing is shown at a normal end";
  EXPECT_EQ(h.Lines().size(), 1u) << "nothing is sent at the end";

  // Ready for the next recording.
  h.Step();
  h.recording.Start();
  EXPECT_EQ(h.Lines().back(), "AT@OGRIE\r\n");
  EXPECT_EQ(h.Lines().size(), 2u);
}

TEST(Recording, Timer2CutsALongFile) {
  Harness h({}, 20 * kSecond);
  h.StartRecording();
  h.player.position = 99 * kSecond / 10;
  h.Step();
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Recording);
  h.recording.LimitReached();
  ExpectEnded(h);
  EXPECT_TRUE(h.unit.GetRecord().recordings.at(0).stop.has_value());
}

TEST(Recording, AFileWithoutADurationRunsTheFullTime) {
  Harness h({}, 0);
  h.StartRecording();
  h.player.position = 30 * kSecond;
  h.Ticks(39);
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Recording);
  EXPECT_EQ(h.window.bar, 0);
  h.recording.LimitReached();
  ExpectEnded(h);
}

TEST(Recording, TheEndOfAFilePlayedByHandRewindsIt) {
  Harness h;
  h.recording.PlayAction();
  EXPECT_FALSE(h.RecordEnabled());
  h.Step();
  h.player.ReachEnd();
  h.Step();
  ExpectEnded(h);
  EXPECT_TRUE(h.unit.GetRecord().recordings.empty());
}

TEST(Recording, APositionAtTheEndDuringTheReplyWaitEndsNothing) {
  Harness h(
      {.lineFaults = {{.kind = sim::LineFault::Kind::Late, .word = "OGRIE", .delay = 600ms}}});
  h.recording.Start();
  h.player.position = 3 * kSecond;  // the user dragged the bar to its end
  h.player.calls.clear();
  h.Step();
  EXPECT_EQ(h.window.bar, 100);
  EXPECT_TRUE(h.recording.WaitingReply());
  EXPECT_TRUE(h.player.calls.empty());
  EXPECT_EQ(h.Controls().open, false);
}

// ---------------------------------------------------------------------------------------------
// Failures of the player and closing the window.

TEST(Recording, APlayFailureAtTheStartEndsTheRecordingWithoutAStartSignal) {
  Harness h;
  h.player.failPlay = true;
  h.recording.Start();
  EXPECT_THROW(h.Step(), EAudioPlayError);
  EXPECT_EQ(h.window.timer2Starts, 0);
  EXPECT_FALSE(h.recording.WaitingReply());
  EXPECT_TRUE(h.state.ReplyBuffer.empty());
  EXPECT_TRUE(h.unit.GetRecord().recordings.empty()) << "RTS cleared without sound";
  ExpectEnded(h);
  // Nothing comes back 9.9 s later, and the next recording starts normally.
  h.player.failPlay = false;
  h.recording.Start();
  h.Step();
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Recording);
}

TEST(Recording, AStopFailureInTheEndingStillCompletesIt) {
  Harness h;
  h.StartRecording();
  h.player.failStop = true;
  EXPECT_THROW(h.recording.LimitReached(), EAudioPlayError);
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Idle);
  EXPECT_FALSE(h.window.timer2);
  EXPECT_TRUE(h.unit.Rts());
  EXPECT_TRUE(h.Controls().record);

  // Also at the end of the file.
  h.player.failStop = false;
  h.StartRecording();
  h.player.failStop = true;
  h.player.ReachEnd();
  EXPECT_THROW(h.Step(), EAudioPlayError);
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Idle);
  EXPECT_FALSE(h.window.timer2);
  EXPECT_TRUE(h.unit.Rts());
}

TEST(Recording, AStopFailureAtTheStartStillSetsUpTheWait) {
  Harness h({.lineFaults = {{.kind = sim::LineFault::Kind::NoAnswer, .word = "OGRIE"}}});
  h.recording.Start();
  h.Ticks(43);  // a wait that ran out: WaitTicks is left at 43
  ASSERT_EQ(h.recording.WaitTicks(), 43);
  h.player.failStop = true;
  EXPECT_THROW(h.recording.Start(), EAudioPlayError);
  EXPECT_EQ(h.Lines().back(), "AT@OGRIE\r\n");
  EXPECT_TRUE(h.recording.WaitingReply());
  EXPECT_EQ(h.recording.WaitTicks(), 0) << "a new wait, not an immediate time-out";
  EXPECT_FALSE(h.Controls().cancel);
  EXPECT_EQ(h.events.back(), "sleep 100");
  h.Step();
  EXPECT_TRUE(h.recording.WaitingReply());
}

TEST(Recording, ClosingDuringARecordingOrAReplyWaitSetsRts) {
  {
    Harness h;
    h.StartRecording();
    h.recording.Stop();
    EXPECT_TRUE(h.unit.Rts());
    EXPECT_TRUE(h.unit.GetRecord().recordings.at(0).stop.has_value());
    EXPECT_EQ(h.recording.CurrentPhase(), Phase::Idle);
  }
  {
    Harness h(
        {.lineFaults = {{.kind = sim::LineFault::Kind::Late, .word = "OGRIE", .delay = 2000ms}}});
    h.recording.Start();
    h.state.Port->ClearRts(true);  // even if the line had been cleared meanwhile
    const std::size_t levels = h.unit.GetRecord().levels.size();
    h.recording.Stop();
    EXPECT_EQ(h.unit.GetRecord().levels.size(), levels + 1);
    EXPECT_TRUE(h.unit.Rts());
    EXPECT_FALSE(h.recording.WaitingReply());
  }
  {
    Harness h;
    const std::size_t levels = h.unit.GetRecord().levels.size();
    h.recording.Stop();
    EXPECT_EQ(h.unit.GetRecord().levels.size(), levels) << "idle: the line is left alone";
  }
}

TEST(Recording, ShowingSetsRtsAndFlushesTheInput) {
  Harness h;
  h.state.Port->ClearRts(true);
  h.unit.Say("OK\r\n");
  h.state.ReplyBuffer = "junk";
  h.recording.Reset();
  EXPECT_TRUE(h.unit.Rts());
  EXPECT_TRUE(h.state.ReplyBuffer.empty());
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::Idle);
  EXPECT_FALSE(h.recording.Playing());
}

TEST(Recording, RtsIsClearedAndTimer2StartedWhenTheOutputReportsTheFirstSampleHeard) {
  Harness h;
  h.player.heardBehind = 30 * kSecond / 1000;  // the output is 30 ms behind the position
  h.recording.Start();
  h.Step();
  h.recording.WatchSound();
  EXPECT_EQ(h.recording.CurrentPhase(), Phase::StartingSound);
  EXPECT_TRUE(h.unit.Rts()) << "RTS cleared before the sound";
  EXPECT_FALSE(h.window.timer2);
  h.player.position = 20 * kSecond / 1000;  // the first sample is due within 10 ms
  h.recording.WatchSound();
  EXPECT_FALSE(h.unit.Rts());
  EXPECT_TRUE(h.window.timer2);
  EXPECT_FALSE(h.window.soundWatch);
}

TEST(Recording, AnOutputThatReportsNothingForThreeSecondsIsPlayedAgainWithRtsCleared) {
  Harness h;
  h.player.silentOutput = true;
  h.recording.Start();
  h.Step();
  h.units.clock().Advance(2990ms);
  h.recording.WatchSound();
  EXPECT_TRUE(h.unit.Rts());
  h.player.calls.clear();
  h.units.clock().Advance(10ms);
  h.recording.WatchSound();
  EXPECT_EQ(h.player.calls, (std::vector<std::string>{"Stop", "SetPosition 0 1", "Play"}));
  EXPECT_FALSE(h.unit.Rts());
  EXPECT_TRUE(h.window.timer2);
}
