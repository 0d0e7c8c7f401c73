// The recording of the unit's voice message: the unit is told to record ("AT@OGRIE"), answers
// "WAIT RTS", and the chosen file plays from the PC's sound output into its audio input; the unit
// gets the start signal (RTS cleared) when the output reports the file's first sample heard, and
// the stop signal (RTS set) when the file has been played or 9.9 seconds have passed since.
//
// An exchange of the one shape (session/exchange.h). The recorder window runs it from its handlers
// and its three timers: Start for "RECORD MESSAGE", Step for every 250 ms tick, WatchSound for
// every 5 ms poll of the output while the sound starts, LimitReached when the longest recording
// has been reached. Tests and jobs without a window call them themselves, with a scripted player
// or the real one, and an emulated unit behind the port.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/player.h"
#include "session/exchange.h"

struct Session;
class UserPrompt;

namespace recorder {

inline constexpr int kTickInterval = 250;     // ms: reply, position display, end of the file
inline constexpr int kRecordingLimit = 9900;  // ms: the longest recording
// Ticks with fewer than three reply characters that a wait takes; the next one is the time-out.
inline constexpr int kWaitTickLimit = 42;
inline constexpr std::chrono::milliseconds kPauseAfterCommand{100};
inline constexpr std::chrono::milliseconds kPauseBeforeTimeOut{1000};
// From Play on, the output is asked this often whether the file's first sample is heard; RTS is
// cleared once it is, or is due within kSoundAhead.
inline constexpr int kSoundPollInterval = 5;  // ms
inline constexpr std::chrono::milliseconds kSoundAhead{20};
// An output that has not reported the sound as started this long after Play is stopped, rewound
// and played again, RTS cleared, without waiting for its report.
inline constexpr std::chrono::milliseconds kSoundStartLimit{3000};

inline constexpr std::string_view kRecordCommand = "AT@OGRIE\r\n";
inline constexpr std::string_view kResetCommand = "AT@RESET\r\n";
inline constexpr std::string_view kWaitRtsReply = "WAIT RTS\r\n";
inline constexpr std::string_view kErrReply = "ERR\r\n";
inline constexpr std::string_view kCableQuestion = "Have you got connect audio cable Jack 3.5mm?";
inline constexpr std::string_view kRecordImpossible = "Record impossible";
inline constexpr std::string_view kResetMessage = "Anny error.... > Reset!";

// The position bar for a position: the played fraction in percent, truncated, when the player
// reports its duration (capability 0x20) and the duration is not 0; otherwise none (the bar is
// left where it is).
std::optional<int> PositionPercent(std::int64_t position, std::int64_t duration,
                                   std::uint32_t capabilities);

// What the recording drives in its window besides message boxes.
class RecordingView {
 public:
  virtual ~RecordingView() = default;
  // LimitReached is due kRecordingLimit from now; and no longer.
  virtual void StartLimit() = 0;
  virtual void StopLimit() = 0;
  // Shows the player's current position: the position bar and its label.
  virtual void ShowPosition() = 0;
  // Where the position bar stands, 0 to 100.
  virtual int PositionShown() const = 0;
  // Shows the recording's state now (the buttons), before a message box opens.
  virtual void Show() = 0;
  // WatchSound is due every kSoundPollInterval (a precise timer); and no longer.
  virtual void StartSoundWatch() = 0;
  virtual void StopSoundWatch() = 0;
};

enum class Phase {
  Idle,           // RTS set; the buttons follow the open file
  AwaitingReply,  // "AT@OGRIE" sent; RTS set; the six buttons disabled
  StartingSound,  // "WAIT RTS" received; the file playing, RTS set until its first sample is heard
  Recording,      // the file's sound started; RTS cleared, the limit running
};

// How the last recording ended.
enum class Result {
  None,      // not ended (not started, running, or stopped)
  Recorded,  // the file was played to its end, or the longest recording was reached
  Refused,   // the unit answered "ERR": "Record impossible"
  TimedOut,  // the unit did not answer: "AT@RESET" and "Anny error.... > Reset!"
  StopLost,  // played to its end, but the stop signal did not reach the unit (unplugged)
};

// The message of a recording whose stop signal could not be given: the unit may have recorded
// on past the file, or be recording still.
std::string StopLostMessage(const std::string &serial);

// Which controls of the recorder window are enabled.
struct RecorderControls {
  bool play = false, pause = false, stop = false;  // "Play", "Pause", "Stop"
  bool record = false;                             // "RECORD MESSAGE"
  bool open = false, cancel = false;               // "Open audio file", "Cancel"
  bool bars = false;                               // position, balance and volume
  bool operator==(const RecorderControls &) const = default;
};

// The enabling rules: "Open audio file" and "Cancel" except while a recording runs (from
// "RECORD MESSAGE" to its end); Play, Pause and Stop while a file is open, except then;
// "RECORD MESSAGE" likewise and only while the file is not played by the Play action; the three
// bars while a file is open, also during a recording.
RecorderControls EnabledControls(bool fileOpen, bool playing, Phase phase);

class MessageRecording : public Exchange {
 public:
  MessageRecording(Session &state, UserPrompt &prompt, RecordingView &window);

  // The open file's player, or none. The recording does not own it. A new player starts
  // stopped: it is not playing, whatever the one it replaces did.
  void SetPlayer(Player *player) {
    player_ = player;
    playing_ = false;
  }
  Player *CurrentPlayer() const { return player_; }

  // At each showing of the window: not waiting, not playing, RTS set, the input flushed.
  void Reset();

  // "RECORD MESSAGE": asks for the cable, sets RTS, flushes the input, sends "AT@OGRIE\r\n",
  // stops and rewinds the file and waits for the reply. Nothing happens without a player or
  // while a recording runs.
  void Start();

  // One tick: the reply (while waiting), the position display, the end of the file.
  void Step() override;

  // At each poll of the output while the sound starts: once the file's first sample is heard (or
  // due within kSoundAhead), RTS is cleared and the limit started; an output that has reported
  // nothing kSoundStartLimit after Play is stopped, rewound and played again with RTS cleared.
  void WatchSound();

  // The longest recording has been reached.
  void LimitReached();

  // The window closes (or the job is broken off): a recording or a reply wait in progress gets
  // its stop signal (RTS set).
  void Stop() override;

  // The player buttons' actions, also run by the recording itself. Play disables
  // "RECORD MESSAGE"; Pause and Stop enable it; Stop rewinds the file.
  void PlayAction();
  void PauseAction();
  void StopAction();

  Phase CurrentPhase() const { return phase_; }
  Result CurrentResult() const { return result_; }
  // From "RECORD MESSAGE" to the end of the recording.
  bool Running() const override { return phase_ != Phase::Idle; }
  bool WaitingReply() const { return phase_ == Phase::AwaitingReply; }
  // How long RTS was cleared (the unit recording) in the last recording, in seconds; so far
  // while it is cleared.
  double RtsClearedSeconds() const;
  // RTS was cleared in the last recording: the unit began to record over its message.
  bool RtsWasCleared() const { return rtsWasCleared_; }
  int WaitTicks() const { return waitTicks_; }
  // Played by the Play action and not paused or stopped since.
  bool Playing() const { return playing_; }

  // The pauses of the user-interface thread: 100 ms after the command, 1000 ms before the
  // time-out message. Tests replace it so that nothing sleeps.
  std::function<void(std::chrono::milliseconds)> Sleep;
  // The clock of the wait for the sound. Tests replace it.
  std::function<std::chrono::steady_clock::time_point()> Now;

 private:
  void HandleReply();
  void StartRecording();
  void SoundStarted();
  // A failing player while the sound starts: the ending actions, then `failure` raised.
  [[noreturn]] void Abandon(std::exception_ptr failure);
  void Refused();
  void TimeOut();
  // Stop action, the limit off, RTS set, buttons enabled. Each step runs even when one before it
  // fails; the first failure is raised afterwards. At the end of a recording (`recorded`), an
  // RTS that could not be set ends it as StopLost, with its message.
  void EndingActions(bool recorded = false);
  // The end of the file or the longest recording: the ending actions, a recording ended.
  void EndRecording();
  bool SetRts();  // false: the signal did not reach the unit
  void ClearRts();

  Result result_ = Result::None;
  Session &state_;
  UserPrompt &prompt_;
  RecordingView &window_;
  Player *player_ = nullptr;

  Phase phase_ = Phase::Idle;
  int waitTicks_ = 0;
  bool playing_ = false;
  std::optional<std::chrono::steady_clock::time_point> rtsCleared_;
  std::chrono::steady_clock::duration rtsClearedFor_{};
  bool rtsWasCleared_ = false;
  std::chrono::steady_clock::time_point played_;  // the Play of the recording
  std::int64_t soundFrom_ = 0;                    // where in the file that Play went on from
};

}  // namespace recorder
