#include "recorder/recording.h"

#include <exception>
#include <thread>

#include "session/protocol.h"
#include "session/session.h"
#include "session/user_prompt.h"

namespace recorder {

std::optional<int> PositionPercent(std::int64_t position, std::int64_t duration,
                                   std::uint32_t capabilities) {
  if ((capabilities & AudioCapability::CanGetDuration) == 0 || duration == 0) return std::nullopt;
  return static_cast<int>(position * 100 / duration);
}

std::string StopLostMessage(const std::string &serial) {
  return "The stop signal did not reach " + serial + ": check the unit's message";
}

RecorderControls EnabledControls(bool fileOpen, bool playing, Phase phase) {
  const bool idle = phase == Phase::Idle;
  RecorderControls c;
  c.open = c.cancel = idle;
  c.play = c.pause = c.stop = fileOpen && idle;
  c.record = fileOpen && idle && !playing;
  c.bars = fileOpen;
  return c;
}

MessageRecording::MessageRecording(Session &state, UserPrompt &prompt, RecordingView &window)
    : Sleep([](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }),
      Now([] { return std::chrono::steady_clock::now(); }),
      state_(state),
      prompt_(prompt),
      window_(window) {}

namespace {
// Runs `action` and hands back what it threw, so that the steps after it still run.
template <typename Action>
std::exception_ptr Attempt(Action &&action) {
  try {
    action();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}
}  // namespace

bool MessageRecording::SetRts() {
  const bool set = state_.Port && state_.Port->ClearRts(false) == FT_OK;
  if (rtsCleared_) rtsClearedFor_ = std::chrono::steady_clock::now() - *rtsCleared_;
  rtsCleared_.reset();
  return set;
}

void MessageRecording::ClearRts() {
  if (state_.Port) state_.Port->ClearRts(true);
  rtsCleared_ = std::chrono::steady_clock::now();
  rtsClearedFor_ = {};
  rtsWasCleared_ = true;
}

double MessageRecording::RtsClearedSeconds() const {
  const auto cleared =
      rtsCleared_ ? std::chrono::steady_clock::now() - *rtsCleared_ : rtsClearedFor_;
  return std::chrono::duration<double>(cleared).count();
}

void MessageRecording::Reset() {
  phase_ = Phase::Idle;
  playing_ = false;
  SetRts();
  protocol::Drain(state_);
}

void MessageRecording::Start() {
  if (player_ == nullptr || phase_ != Phase::Idle) return;
  prompt_.Inform(std::string(kCableQuestion));
  // The ticks went on while the question was open; it cannot have started anything, but
  // the window may have lost its file meanwhile.
  if (player_ == nullptr || phase_ != Phase::Idle) return;
  state_.FindUnit();  // before RTS is set: a port opened anew starts with RTS cleared
  SetRts();
  rtsWasCleared_ = false;
  phase_ = Phase::AwaitingReply;
  result_ = Result::None;
  protocol::Drain(state_);
  protocol::Send(state_, std::string(kRecordCommand));
  // The command has gone: whatever the player does, the wait for the reply is set up in full,
  // so that the reply or the time-out ends it as usual.
  const std::exception_ptr failure = Attempt([this] { StopAction(); });
  window_.Show();
  waitTicks_ = 0;
  Sleep(kPauseAfterCommand);
  if (failure) std::rethrow_exception(failure);
}

void MessageRecording::Step() {
  if (phase_ == Phase::AwaitingReply && player_ != nullptr) HandleReply();
  if (player_ != nullptr && player_->Duration() != 0) window_.ShowPosition();
  // The end of the file ends a recording, and outside one it rewinds the file. While a reply is
  // awaited the file is not playing and the recording has not begun: there is nothing to end;
  // nor while the sound has not started (the output may be far behind the position).
  if (player_ != nullptr && phase_ != Phase::AwaitingReply && phase_ != Phase::StartingSound &&
      window_.PositionShown() == 100)
    EndRecording();
}

void MessageRecording::HandleReply() {
  std::string &buffer = state_.ReplyBuffer;
  buffer += state_.ReceiveAll();
  if (buffer.size() < 3) {
    if (++waitTicks_ > kWaitTickLimit) TimeOut();
    return;
  }
  if (buffer.back() != '\n') return;  // the rest of the line is still to come
  const std::string reply = std::move(buffer);
  buffer.clear();
  if (reply == kWaitRtsReply)
    StartRecording();
  else if (reply == kErrReply)
    Refused();
  // Any other line (an echo, "OK", two lines at once) is dropped and the wait goes on.
}

// The file plays; RTS is cleared when the output reports its first sample heard (WatchSound).
void MessageRecording::StartRecording() {
  phase_ = Phase::StartingSound;
  try {
    soundFrom_ = player_->GetPosition();
    PlayAction();
    played_ = Now();
    window_.StartSoundWatch();
    WatchSound();
  } catch (...) {
    Abandon(std::current_exception());
  }
}

void MessageRecording::Abandon(std::exception_ptr failure) {
  // The unit may be recording: it gets its stop signal before the error is shown, and Timer2 is
  // not left to end the recording again and again.
  phase_ = Phase::Idle;
  try {
    EndingActions();
  } catch (...) {
    // The first failure is the one to show.
  }
  std::rethrow_exception(failure);
}

void MessageRecording::WatchSound() {
  if (phase_ != Phase::StartingSound || player_ == nullptr) {
    window_.StopSoundWatch();
    return;
  }
  const std::optional<std::int64_t> heard = player_->HeardPosition();
  constexpr std::int64_t ahead =
      std::chrono::duration_cast<std::chrono::nanoseconds>(kSoundAhead).count() / 100;
  if (heard && *heard >= soundFrom_ - ahead) {
    SoundStarted();
    return;
  }
  if (Now() - played_ < kSoundStartLimit) return;
  // The output reports nothing: the file starts again from its start with the start signal.
  try {
    StopAction();
    soundFrom_ = 0;
    ClearRts();
    PlayAction();
  } catch (...) {
    Abandon(std::current_exception());
  }
  SoundStarted();
}

void MessageRecording::SoundStarted() {
  window_.StopSoundWatch();
  phase_ = Phase::Recording;
  ClearRts();
  window_.StartLimit();
}

void MessageRecording::Refused() {
  phase_ = Phase::Idle;
  result_ = Result::Refused;
  const std::exception_ptr failure = Attempt([this] { EndingActions(); });
  prompt_.Warn(std::string(kRecordImpossible));
  if (failure) std::rethrow_exception(failure);
}

void MessageRecording::TimeOut() {
  protocol::Send(state_, std::string(kResetCommand));
  phase_ = Phase::Idle;
  result_ = Result::TimedOut;
  const std::exception_ptr failure = Attempt([this] { EndingActions(); });
  Sleep(kPauseBeforeTimeOut);
  prompt_.Warn(std::string(kResetMessage));
  if (failure) std::rethrow_exception(failure);
}

void MessageRecording::LimitReached() {
  if (phase_ == Phase::AwaitingReply) {
    window_.StopLimit();  // no recording runs: there is nothing to end
    return;
  }
  EndRecording();
}

void MessageRecording::EndRecording() {
  const bool recorded = phase_ == Phase::Recording;
  if (recorded) result_ = Result::Recorded;
  phase_ = Phase::Idle;
  EndingActions(recorded);
}

void MessageRecording::EndingActions(bool recorded) {
  const std::exception_ptr failure = Attempt([this] { StopAction(); });
  window_.StopSoundWatch();
  window_.StopLimit();
  // The stop signal: a unit unplugged meanwhile does not get it.
  const bool stopped = SetRts();
  phase_ = Phase::Idle;
  if (recorded && !stopped) result_ = Result::StopLost;
  window_.Show();
  if (recorded && !stopped) prompt_.Warn(StopLostMessage(state_.Serial()));
  if (failure) std::rethrow_exception(failure);
}

void MessageRecording::Stop() {
  if (phase_ == Phase::StartingSound) window_.StopSoundWatch();
  if (phase_ != Phase::Idle) SetRts();
  phase_ = Phase::Idle;
  playing_ = false;
}

void MessageRecording::PlayAction() {
  playing_ = true;
  if (player_ != nullptr) player_->Play();
}

void MessageRecording::PauseAction() {
  playing_ = false;
  if (player_ != nullptr) player_->Pause();
}

void MessageRecording::StopAction() {
  playing_ = false;
  if (player_ == nullptr) return;
  player_->Stop();
  player_->SetPosition(0, AM_SEEKING_AbsolutePositioning);
}

}  // namespace recorder
