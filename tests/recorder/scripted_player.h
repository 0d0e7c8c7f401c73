// A player for tests of the recording and the recorder window: it plays nothing, keeps its state
// and position as a player does, logs every call, and fails the calls a test tells it to fail.
// The test moves its position (as time passing would) and makes it reach the end of the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recorder/recording.h"

class ScriptedPlayer : public recorder::Player {
 public:
  static constexpr std::int64_t kSecond = 10'000'000;

  explicit ScriptedPlayer(std::int64_t duration = 3 * kSecond, std::uint32_t capabilities = 0x3F)
      : duration_(duration), capabilities_(capabilities) {}

  void Play() override {
    calls.push_back("Play");
    if (failPlay) throw EAudioPlayError("play failed", AudioResult::E_FAIL);
    state = 2;
  }
  void Pause() override {
    calls.push_back("Pause");
    state = 1;
  }
  void Stop() override {
    calls.push_back("Stop");
    if (failStop) throw EAudioPlayError("stop failed", AudioResult::E_FAIL);
    state = 0;
  }
  void SetPosition(std::int64_t value, std::uint32_t flags) override {
    calls.push_back("SetPosition " + std::to_string(value) + " " + std::to_string(flags));
    position = value;
  }
  std::int64_t GetPosition() override { return position; }
  // While playing, heard where it stands, unless the test holds the sound back.
  std::optional<std::int64_t> HeardPosition() override {
    if (state != 2 || silentOutput) return std::nullopt;
    return position - heardBehind;
  }
  TGuid GetTimeFormat() const override { return timeFormat; }
  std::int64_t Duration() const override { return duration_; }
  std::uint32_t Capabilities() const override { return capabilities_; }
  std::int32_t GetVolume() const override { return volume; }
  void SetVolume(std::int32_t value) override {
    calls.push_back("SetVolume " + std::to_string(value));
    volume = value;
  }
  std::int32_t GetBalance() const override { return balance; }
  void SetBalance(std::int32_t value) override {
    calls.push_back("SetBalance " + std::to_string(value));
    balance = value;
  }

  // The end of the stream: the player stops at the end, without rewinding.
  void ReachEnd() {
    position = duration_;
    state = 0;
  }
  int Count(const std::string &call) const {
    int n = 0;
    for (const std::string &c : calls) n += c == call || c.rfind(call + " ", 0) == 0;
    return n;
  }

  int state = 0;
  std::int64_t position = 0;
  std::int32_t volume = 0;
  std::int32_t balance = 0;
  TGuid timeFormat = TIME_FORMAT_MEDIA_TIME;
  bool failPlay = false;
  bool failStop = false;
  bool silentOutput = false;     // the output reports nothing
  std::int64_t heardBehind = 0;  // the output's sound is this far behind the position
  std::vector<std::string> calls;

 private:
  std::int64_t duration_;
  std::uint32_t capabilities_;
};
