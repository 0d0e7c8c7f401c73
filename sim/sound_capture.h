// What the computer's sound output plays, as the emulated unit hears it on its audio input: a
// capture of a PulseAudio source (by default the monitor of the default sink) that keeps the last
// two minutes with the time of every sample, so that the stretch between the two RTS changes of
// a recording can be cut out and kept as a WAV file.
//
// Times are those of sim::SystemClock (the machine's monotonic clock), the clock of units served
// by the emulator program, so a recording's start and stop times cut the capture directly.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/clock.h"

typedef struct _GstElement GstElement;

namespace sim {

// 16-bit interleaved samples.
struct Sound {
  int rate = 44100;
  int channels = 2;
  std::vector<std::int16_t> samples;
  std::size_t Frames() const { return samples.size() / static_cast<std::size_t>(channels); }
};

// Writes a plain PCM WAV file (16-bit), replacing the file in one step. False (with the reason in
// `error`) when it cannot be written.
bool WriteWav(const std::string &path, const Sound &sound, std::string *error = nullptr);

// `path` for the first recording, then the name with "-2", "-3", ... before its extension.
std::string NumberedFileName(const std::string &path, int number);

class SoundCapture {
 public:
  static constexpr int kRate = 44100;
  static constexpr int kChannels = 2;
  // The capture keeps this much of the past.
  static constexpr std::chrono::seconds kKept{120};
  static constexpr const char *kDefaultSource = "@DEFAULT_MONITOR@";

  // `source`: a PulseAudio source name (a sink's monitor is "<sink>.monitor"); empty: the monitor
  // of the default sink.
  explicit SoundCapture(std::string source = {});
  ~SoundCapture();
  SoundCapture(const SoundCapture &) = delete;
  SoundCapture &operator=(const SoundCapture &) = delete;

  // Starts capturing and waits, at most `limit`, until the first samples have arrived. Empty on
  // success, otherwise what failed (nothing is captured then).
  std::string Start(std::chrono::milliseconds limit = std::chrono::seconds(5));
  void Stop();
  const std::string &Source() const { return source_; }
  // What went wrong while capturing (the source disappeared, the server went away); empty if
  // nothing did.
  std::string Failure() const;

  // The time up to which samples have been captured, if any have.
  std::optional<Time> CapturedUntil() const;
  // The sound between two times: frame i is what was heard at from + i / rate. Stretches that
  // were not captured (before the capture started, too long ago, not yet) are silence.
  Sound Cut(Time from, Time to) const;

  // Keeps a block of captured frames whose first frame was heard at `start`. The capture calls
  // it for every buffer; tests may feed blocks of their own.
  void Add(Time start, const std::int16_t *samples, std::size_t frames);

 private:
  friend struct CaptureBus;
  struct Block {
    Time start;
    std::vector<std::int16_t> samples;
  };
  static int OnSample(GstElement *sink, void *data);
  void Fail(std::string text);

  std::string source_;
  GstElement *pipeline_ = nullptr;
  mutable std::mutex mutex_;
  std::deque<Block> blocks_;
  std::string failure_;
};

}  // namespace sim
