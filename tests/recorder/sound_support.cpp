#include "tests/recorder/sound_support.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <unistd.h>
#include <QCoreApplication>
#include <QProcess>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <thread>

#include "recorder/audio_devices.h"

namespace sound {

bool ServerAvailable() {
  const char *server = std::getenv("PULSE_SERVER");
  return server != nullptr && *server != '\0';
}

Pcm Tone(double seconds, double frequency, std::vector<double> amplitudes, int rate) {
  Pcm pcm;
  pcm.rate = rate;
  pcm.channels = static_cast<int>(amplitudes.size());
  const auto frames = static_cast<std::size_t>(std::lround(seconds * rate));
  pcm.samples.reserve(frames * amplitudes.size());
  for (std::size_t i = 0; i < frames; ++i) {
    const double wave =
        std::cos(2.0 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
    for (double amplitude : amplitudes)
      pcm.samples.push_back(static_cast<std::int16_t>(std::lround(amplitude * 32767.0 * wave)));
  }
  return pcm;
}

namespace {
void Put16(std::ofstream &out, std::uint16_t value) {
  const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
  out.write(bytes, 2);
}
void Put32(std::ofstream &out, std::uint32_t value) {
  Put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(value >> 16));
}
}  // namespace

bool WriteWav(const std::string &path, const Pcm &pcm, bool eightBit) {
  std::ofstream out(path, std::ios::binary);
  const std::uint16_t bytesPerSample = eightBit ? 1 : 2;
  const auto channels = static_cast<std::uint16_t>(pcm.channels);
  const auto dataBytes = static_cast<std::uint32_t>(pcm.samples.size() * bytesPerSample);
  out.write("RIFF", 4);
  Put32(out, 36 + dataBytes);
  out.write("WAVEfmt ", 8);
  Put32(out, 16);
  Put16(out, 1);
  Put16(out, channels);
  Put32(out, static_cast<std::uint32_t>(pcm.rate));
  Put32(out, static_cast<std::uint32_t>(pcm.rate) * channels * bytesPerSample);
  Put16(out, static_cast<std::uint16_t>(channels * bytesPerSample));
  Put16(out, static_cast<std::uint16_t>(8 * bytesPerSample));
  out.write("data", 4);
  Put32(out, dataBytes);
  for (std::int16_t sample : pcm.samples) {
    if (eightBit) {
      out.put(static_cast<char>((sample >> 8) + 128));
    } else {
      Put16(out, static_cast<std::uint16_t>(sample));
    }
  }
  return static_cast<bool>(out);
}

bool HasElement(const char *factory) {
  if (!StartGStreamer()) return false;
  GstElementFactory *found = gst_element_factory_find(factory);
  if (found == nullptr) return false;
  gst_object_unref(found);
  return true;
}

std::string RunPipeline(const std::string &description, std::chrono::seconds limit) {
  if (!StartGStreamer()) return "GStreamer does not start";
  GError *error = nullptr;
  GstElement *pipeline = gst_parse_launch(description.c_str(), &error);
  if (error != nullptr) {
    std::string text = error->message;
    g_clear_error(&error);
    if (pipeline != nullptr) gst_object_unref(pipeline);
    return text;
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *message = gst_bus_timed_pop_filtered(
      bus, static_cast<GstClockTime>(std::chrono::nanoseconds(limit).count()),
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  std::string result;
  if (message == nullptr) {
    result = "pipeline did not finish: " + description;
  } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    gst_message_parse_error(message, &error, nullptr);
    result = error->message;
    g_clear_error(&error);
  }
  if (message != nullptr) gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return result;
}

bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Pump(std::chrono::milliseconds duration) {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  PumpUntil([&] { return std::chrono::steady_clock::now() >= deadline; }, duration * 2);
}

// ---------------------------------------------------------------------------------------------

namespace {
std::string Pactl(const QStringList &arguments, std::string *error) {
  QProcess pactl;
  pactl.start("pactl", arguments);
  if (!pactl.waitForFinished(10000) || pactl.exitStatus() != QProcess::NormalExit ||
      pactl.exitCode() != 0) {
    if (error != nullptr)
      *error = "pactl " + arguments.join(' ').toStdString() +
               " failed: " + pactl.readAllStandardError().toStdString();
    return {};
  }
  return pactl.readAllStandardOutput().trimmed().toStdString();
}
}  // namespace

NullSink::NullSink() {
  static std::atomic<int> count{0};
  name_ = "tolvane_test_" + std::to_string(getpid()) + "_" + std::to_string(++count);
  const std::string loaded =
      Pactl({"load-module", "module-null-sink", QString::fromStdString("sink_name=" + name_),
             "rate=44100", "format=s16le", "channels=2",
             QString::fromStdString("sink_properties=device.description=" + name_)},
            &error_);
  if (!loaded.empty()) module_ = std::stoi(loaded);
}

NullSink::~NullSink() {
  Unload();
}

bool NullSink::Unload() {
  if (module_ < 0) return true;
  std::string error;
  Pactl({"unload-module", QString::number(module_)}, &error);
  module_ = -1;
  return error.empty();
}

int NullSink::IndexIn(const std::vector<std::string> &outputs) const {
  const auto found = std::find(outputs.begin(), outputs.end(), name_);
  return found == outputs.end() ? -1 : static_cast<int>(found - outputs.begin());
}

// ---------------------------------------------------------------------------------------------

Capture::Capture(std::string sink) : sink_(std::move(sink)) {}

Capture::~Capture() {
  Stop();
}

int Capture::OnSample(GstElement *sink, void *data) {
  auto *capture = static_cast<Capture *>(data);
  GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
  if (sample == nullptr) return GST_FLOW_EOS;
  const auto now = std::chrono::steady_clock::now();
  GstBuffer *buffer = gst_sample_get_buffer(sample);
  GstMapInfo map;
  if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    std::lock_guard lock(capture->mutex_);
    const auto *samples = reinterpret_cast<const std::int16_t *>(map.data);
    capture->samples_.insert(capture->samples_.end(), samples, samples + map.size / 2);
    capture->arrivals_.push_back({capture->samples_.size() / 2, now});
    gst_buffer_unmap(buffer, &map);
  }
  gst_sample_unref(sample);
  return GST_FLOW_OK;
}

std::string Capture::Start() {
  if (std::string error; !StartGStreamer(&error)) return error;
  const std::string description =
      "pulsesrc name=source buffer-time=20000 latency-time=5000 ! "
      "audio/x-raw,format=S16LE,rate=44100,channels=2,layout=interleaved ! "
      "appsink name=out sync=false";
  GError *error = nullptr;
  pipeline_ = gst_parse_launch(description.c_str(), &error);
  if (error != nullptr) {
    std::string text = error->message;
    g_clear_error(&error);
    return text;
  }
  GstElement *source = gst_bin_get_by_name(GST_BIN(pipeline_), "source");
  g_object_set(source, "device", (sink_ + ".monitor").c_str(), nullptr);
  gst_object_unref(source);
  GstElement *out = gst_bin_get_by_name(GST_BIN(pipeline_), "out");
  GstAppSinkCallbacks callbacks{};
  callbacks.new_sample = [](GstAppSink *sink, gpointer data) {
    return static_cast<GstFlowReturn>(OnSample(GST_ELEMENT(sink), data));
  };
  gst_app_sink_set_callbacks(GST_APP_SINK(out), &callbacks, this, nullptr);
  gst_object_unref(out);
  if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
    return "the capture of " + sink_ + ".monitor does not start";
  // An idle null sink renders in blocks of two seconds; suspended and resumed, it starts again
  // with the short blocks that the capture asks for.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Frames() == 0) {
    if (std::chrono::steady_clock::now() >= deadline)
      return "nothing captured from " + sink_ + ".monitor";
    std::string error;
    Pactl({"suspend-sink", QString::fromStdString(sink_), "1"}, &error);
    Pactl({"suspend-sink", QString::fromStdString(sink_), "0"}, &error);
    if (!error.empty()) return error;
    WaitForFrames(1, std::chrono::milliseconds(300));
  }
  return {};
}

void Capture::Stop() {
  if (pipeline_ == nullptr) return;
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  gst_object_unref(pipeline_);
  pipeline_ = nullptr;
}

std::size_t Capture::Frames() const {
  std::lock_guard lock(mutex_);
  return samples_.size() / 2;
}

Pcm Capture::Samples() const {
  Pcm pcm;
  std::lock_guard lock(mutex_);
  pcm.samples = samples_;
  return pcm;
}

bool Capture::WaitForFrames(std::size_t frames, std::chrono::milliseconds limit) const {
  return PumpUntil([&] { return Frames() >= frames; }, limit);
}

std::chrono::steady_clock::time_point Capture::TimeOf(std::size_t frame) const {
  std::lock_guard lock(mutex_);
  for (const Arrival &arrival : arrivals_)
    if (arrival.endFrame > frame)
      return arrival.time - std::chrono::microseconds((arrival.endFrame - frame) * 1000000 / 44100);
  return arrivals_.empty() ? std::chrono::steady_clock::now() : arrivals_.back().time;
}

// ---------------------------------------------------------------------------------------------

std::size_t Onset(const Pcm &pcm, std::size_t from) {
  for (std::size_t frame = from; frame < pcm.Frames(); ++frame)
    for (int channel = 0; channel < pcm.channels; ++channel)
      if (pcm.At(frame, channel) != 0) return frame;
  return pcm.Frames();
}

std::size_t End(const Pcm &pcm) {
  for (std::size_t frame = pcm.Frames(); frame > 0; --frame)
    for (int channel = 0; channel < pcm.channels; ++channel)
      if (pcm.At(frame - 1, channel) != 0) return frame;
  return 0;
}

std::size_t ActiveFrames(const Pcm &pcm) {
  std::size_t active = 0;
  for (std::size_t frame = 0; frame < pcm.Frames(); ++frame)
    for (int channel = 0; channel < pcm.channels; ++channel)
      if (pcm.At(frame, channel) != 0) {
        ++active;
        break;
      }
  return active;
}

int Peak(const Pcm &pcm, int channel) {
  int peak = 0;
  for (std::size_t frame = 0; frame < pcm.Frames(); ++frame)
    peak = std::max(peak, std::abs(static_cast<int>(pcm.At(frame, channel))));
  return peak;
}

double MedianBlockLevel(const Pcm &pcm, int channel, std::size_t from, std::size_t to) {
  const std::size_t block = static_cast<std::size_t>(pcm.rate) / 100;
  std::vector<double> levels;
  for (std::size_t start = from; start + block <= std::min(to, pcm.Frames()); start += block) {
    double sum = 0;
    for (std::size_t frame = start; frame < start + block; ++frame) {
      const double value = pcm.At(frame, channel) / 32768.0;
      sum += value * value;
    }
    levels.push_back(std::sqrt(sum / static_cast<double>(block)));
  }
  if (levels.empty()) return 0.0;
  std::nth_element(levels.begin(), levels.begin() + static_cast<long>(levels.size() / 2),
                   levels.end());
  return levels[levels.size() / 2];
}

double Decibels(double ratio) {
  return 20.0 * std::log10(ratio);
}

}  // namespace sound
