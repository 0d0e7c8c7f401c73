// The player as the recording and the recorder window use it: the operations of the audio player
// on the open file, which TAudioPlay offers (AudioPlayPlayer in audio_play.h) and tests script.
// Its operations raise EAudioPlayError.
#pragma once

#include <cstdint>
#include <optional>

#include "recorder/audio_result.h"
#include "recorder/media_types.h"

namespace recorder {

// The open file's player as the recorder window and the recording use it: TAudioPlay's
// operations, with its units (100 ns positions, hundredths of a decibel).
class Player {
 public:
  virtual ~Player() = default;
  virtual void Play() = 0;
  virtual void Pause() = 0;
  virtual void Stop() = 0;
  virtual void SetPosition(std::int64_t position, std::uint32_t flags) = 0;
  virtual std::int64_t GetPosition() = 0;
  // The position that the output reports as heard now; below the position a Play went on from
  // until its first sample is heard (by the time still to go); none while the output reports
  // nothing (not playing, or not begun to play).
  virtual std::optional<std::int64_t> HeardPosition() = 0;
  virtual TGuid GetTimeFormat() const = 0;
  virtual std::int64_t Duration() const = 0;
  virtual std::uint32_t Capabilities() const = 0;
  virtual std::int32_t GetVolume() const = 0;
  virtual void SetVolume(std::int32_t value) = 0;
  virtual std::int32_t GetBalance() const = 0;
  virtual void SetBalance(std::int32_t value) = 0;
};

}  // namespace recorder
