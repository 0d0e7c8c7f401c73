// Support of the sound tests: audio files made at test time, a null sink of the test's own in the
// private PulseAudio server that the test command starts, and a capture of that sink's monitor,
// so that a test checks what actually came out of the output.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

typedef struct _GstElement GstElement;

namespace sound {

// The sound tests run against the server that PULSE_SERVER names (tools/test starts one).
bool ServerAvailable();

// 16-bit interleaved samples.
struct Pcm {
  int rate = 44100;
  int channels = 2;
  std::vector<std::int16_t> samples;
  std::size_t Frames() const { return samples.size() / static_cast<std::size_t>(channels); }
  std::int16_t At(std::size_t frame, int channel) const {
    return samples[frame * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)];
  }
};

// A cosine tone (it starts at its peak, so the first sample is loud) of `amplitude` (of full
// scale) per channel; a channel with amplitude 0 is silent.
Pcm Tone(double seconds, double frequency, std::vector<double> amplitudes, int rate = 44100);

// Writes a plain PCM WAV file (16-bit, or 8-bit unsigned when `eightBit`).
bool WriteWav(const std::string &path, const Pcm &pcm, bool eightBit = false);

// True when GStreamer has an element of this factory.
bool HasElement(const char *factory);

// Runs a gst-launch style description to its end; empty on success, else what failed.
std::string RunPipeline(const std::string &description, std::chrono::seconds limit);

// Pumps the Qt event loop until `done` or until `limit` has passed; returns `done()`.
bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds limit);
void Pump(std::chrono::milliseconds duration);

// A null sink (44.1 kHz, 16-bit stereo) loaded into the server for one test and unloaded after
// it; its display name is its sink name.
class NullSink {
 public:
  NullSink();
  ~NullSink();
  NullSink(const NullSink &) = delete;
  NullSink &operator=(const NullSink &) = delete;

  bool Loaded() const { return module_ >= 0; }
  const std::string &Error() const { return error_; }
  const std::string &Name() const { return name_; }
  // The index of this sink in a list made by ListAudioOutputs(), or -1.
  int IndexIn(const std::vector<std::string> &outputs) const;
  bool Unload();

 private:
  std::string name_;
  std::string error_;
  int module_ = -1;
};

// Captures the monitor of a sink, 44.1 kHz 16-bit stereo, from Start() to Stop().
class Capture {
 public:
  explicit Capture(std::string sink);
  ~Capture();
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;

  // Starts capturing and waits until the first samples have arrived; empty or what failed.
  std::string Start();
  void Stop();

  std::size_t Frames() const;
  Pcm Samples() const;
  // Pumps the event loop until `frames` have been captured in all, at most `limit`.
  bool WaitForFrames(std::size_t frames, std::chrono::milliseconds limit) const;
  // About when `frame` reached the capture: the arrival of its buffer less the frames that
  // follow it there (for benchmarks).
  std::chrono::steady_clock::time_point TimeOf(std::size_t frame) const;

 private:
  static int OnSample(GstElement *sink, void *data);

  std::string sink_;
  GstElement *pipeline_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<std::int16_t> samples_;
  struct Arrival {
    std::size_t endFrame;
    std::chrono::steady_clock::time_point time;
  };
  std::vector<Arrival> arrivals_;
};

// The first frame in which any channel is not zero, or Frames() when all are silent.
std::size_t Onset(const Pcm &pcm, std::size_t from = 0);
// One past the last frame in which any channel is not zero; 0 when all are silent.
std::size_t End(const Pcm &pcm);
// The number of frames in which any channel is not zero.
std::size_t ActiveFrames(const Pcm &pcm);
// The largest magnitude of a channel's samples.
int Peak(const Pcm &pcm, int channel);
// The median of the RMS levels (1.0 = full scale) of the 10 ms blocks of a channel between two
// frames: robust against a few blocks disturbed by a gap in the output.
double MedianBlockLevel(const Pcm &pcm, int channel, std::size_t from, std::size_t to);
double Decibels(double ratio);

}  // namespace sound
