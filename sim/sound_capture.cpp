#include "sim/sound_capture.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <QByteArray>
#include <QSaveFile>
#include <algorithm>
#include <cmath>
#include <thread>

namespace sim {

namespace {

void Put16(QByteArray &out, std::uint16_t value) {
  out.append(static_cast<char>(value & 0xFF));
  out.append(static_cast<char>(value >> 8));
}

void Put32(QByteArray &out, std::uint32_t value) {
  Put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(value >> 16));
}

// Frames at `rate` that fit in a span of time, to the nearest frame.
std::int64_t FramesIn(Time span, int rate) {
  return static_cast<std::int64_t>(std::llround(static_cast<double>(span.count()) * rate / 1e9));
}

Time SpanOf(std::size_t frames, int rate) {
  return Time(static_cast<std::int64_t>(std::llround(static_cast<double>(frames) * 1e9 / rate)));
}

}  // namespace

bool WriteWav(const std::string &path, const Sound &sound, std::string *error) {
  const auto channels = static_cast<std::uint16_t>(sound.channels);
  const auto dataBytes = static_cast<std::uint32_t>(sound.samples.size() * 2);
  QByteArray out;
  out.reserve(static_cast<qsizetype>(44 + dataBytes));
  out.append("RIFF", 4);
  Put32(out, 36 + dataBytes);
  out.append("WAVEfmt ", 8);
  Put32(out, 16);
  Put16(out, 1);  // integer PCM
  Put16(out, channels);
  Put32(out, static_cast<std::uint32_t>(sound.rate));
  Put32(out, static_cast<std::uint32_t>(sound.rate) * channels * 2);
  Put16(out, static_cast<std::uint16_t>(channels * 2));
  Put16(out, 16);
  out.append("data", 4);
  Put32(out, dataBytes);
  for (std::int16_t sample : sound.samples) Put16(out, static_cast<std::uint16_t>(sample));

  QSaveFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.commit()) {
    if (error != nullptr) *error = file.errorString().toStdString();
    return false;
  }
  return true;
}

std::string NumberedFileName(const std::string &path, int number) {
  if (number <= 1) return path;
  const std::size_t slash = path.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) dot = path.size();
  return path.substr(0, dot) + "-" + std::to_string(number) + path.substr(dot);
}

// ---------------------------------------------------------------------------------------------

SoundCapture::SoundCapture(std::string source)
    : source_(source.empty() ? std::string(kDefaultSource) : std::move(source)) {}

SoundCapture::~SoundCapture() {
  Stop();
}

// Keeps the errors that the capture's elements post, on whatever thread posts them.
struct CaptureBus {
  static GstBusSyncReply OnMessage(GstBus *, GstMessage *message, gpointer data) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
      GError *error = nullptr;
      gst_message_parse_error(message, &error, nullptr);
      static_cast<SoundCapture *>(data)->Fail(error != nullptr ? error->message
                                                               : "the capture failed");
      g_clear_error(&error);
    }
    return GST_BUS_DROP;
  }
};

std::string SoundCapture::Start(std::chrono::milliseconds limit) {
  if (pipeline_ != nullptr) return {};
  GError *error = nullptr;
  if (!gst_init_check(nullptr, nullptr, &error)) {
    std::string text = error != nullptr ? error->message : "GStreamer does not start";
    g_clear_error(&error);
    return text;
  }
  const std::string description =
      "pulsesrc name=source buffer-time=20000 latency-time=5000 ! audioconvert ! audioresample ! "
      "audio/x-raw,format=S16LE,layout=interleaved,rate=" +
      std::to_string(kRate) + ",channels=" + std::to_string(kChannels) +
      " ! appsink name=out sync=false";
  pipeline_ = gst_parse_launch(description.c_str(), &error);
  if (error != nullptr) {
    std::string text = error->message;
    g_clear_error(&error);
    Stop();
    return text;
  }
  GstElement *source = gst_bin_get_by_name(GST_BIN(pipeline_), "source");
  g_object_set(source, "device", source_.c_str(), nullptr);
  gst_object_unref(source);
  GstElement *out = gst_bin_get_by_name(GST_BIN(pipeline_), "out");
  GstAppSinkCallbacks callbacks{};
  callbacks.new_sample = [](GstAppSink *sink, gpointer data) {
    return static_cast<GstFlowReturn>(OnSample(GST_ELEMENT(sink), data));
  };
  gst_app_sink_set_callbacks(GST_APP_SINK(out), &callbacks, this, nullptr);
  gst_object_unref(out);

  // Sample times on the machine's monotonic clock, the clock of the emulated units.
  GstClock *clock = gst_system_clock_obtain();
  GstClockType type = GST_CLOCK_TYPE_REALTIME;
  g_object_get(clock, "clock-type", &type, nullptr);
  if (type != GST_CLOCK_TYPE_MONOTONIC) {
    gst_object_unref(clock);
    Stop();
    return "GStreamer's system clock is not the monotonic clock";
  }
  gst_pipeline_use_clock(GST_PIPELINE(pipeline_), clock);
  gst_object_unref(clock);

  GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline_));
  gst_bus_set_sync_handler(bus, &CaptureBus::OnMessage, this, nullptr);
  gst_object_unref(bus);

  gst_element_set_state(pipeline_, GST_STATE_PLAYING);
  // A sink that has been idle renders its first block late (up to two seconds); afterwards the
  // capture runs in blocks of a few milliseconds.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!CapturedUntil()) {
    if (std::string failed = Failure(); !failed.empty()) {
      Stop();
      return failed;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      Stop();
      return "nothing captured from " + source_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return {};
}

void SoundCapture::Stop() {
  if (pipeline_ == nullptr) return;
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline_));
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
  gst_object_unref(pipeline_);
  pipeline_ = nullptr;
}

void SoundCapture::Fail(std::string text) {
  std::lock_guard lock(mutex_);
  if (failure_.empty()) failure_ = std::move(text);
}

std::string SoundCapture::Failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

int SoundCapture::OnSample(GstElement *sink, void *data) {
  auto *capture = static_cast<SoundCapture *>(data);
  GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
  if (sample == nullptr) return GST_FLOW_EOS;
  const Time arrival =
      std::chrono::duration_cast<Time>(std::chrono::steady_clock::now().time_since_epoch());
  GstBuffer *buffer = gst_sample_get_buffer(sample);
  GstMapInfo map;
  if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    const std::size_t frames = map.size / (2 * kChannels);
    // The time at which the buffer's first frame was heard: its running time on the pipeline's
    // clock, or, without a timestamp, its arrival less its length.
    Time start = arrival - SpanOf(frames, kRate);
    const GstSegment *segment = gst_sample_get_segment(sample);
    GstElement *pipeline = GST_ELEMENT(gst_element_get_parent(sink));
    if (pipeline != nullptr) {
      if (GST_BUFFER_PTS_IS_VALID(buffer) && segment != nullptr &&
          segment->format == GST_FORMAT_TIME) {
        const guint64 running =
            gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
        const GstClockTime base = gst_element_get_base_time(pipeline);
        if (GST_CLOCK_TIME_IS_VALID(running) && GST_CLOCK_TIME_IS_VALID(base))
          start = Time(static_cast<std::int64_t>(base + running));
      }
      gst_object_unref(pipeline);
    }
    capture->Add(start, reinterpret_cast<const std::int16_t *>(map.data), frames);
    gst_buffer_unmap(buffer, &map);
  }
  gst_sample_unref(sample);
  return GST_FLOW_OK;
}

void SoundCapture::Add(Time start, const std::int16_t *samples, std::size_t frames) {
  if (frames == 0) return;
  Block block{start, std::vector<std::int16_t>(samples, samples + frames * kChannels)};
  const Time end = start + SpanOf(frames, kRate);
  std::lock_guard lock(mutex_);
  blocks_.push_back(std::move(block));
  while (!blocks_.empty()) {
    const Block &oldest = blocks_.front();
    if (oldest.start + SpanOf(oldest.samples.size() / kChannels, kRate) >= end - kKept) break;
    blocks_.pop_front();
  }
}

std::optional<Time> SoundCapture::CapturedUntil() const {
  std::lock_guard lock(mutex_);
  if (blocks_.empty()) return std::nullopt;
  const Block &last = blocks_.back();
  return last.start + SpanOf(last.samples.size() / kChannels, kRate);
}

Sound SoundCapture::Cut(Time from, Time to) const {
  Sound sound;
  sound.rate = kRate;
  sound.channels = kChannels;
  const std::int64_t total = std::max<std::int64_t>(0, FramesIn(to - from, kRate));
  sound.samples.assign(static_cast<std::size_t>(total) * kChannels, 0);
  std::lock_guard lock(mutex_);
  for (const Block &block : blocks_) {
    const std::int64_t frames = static_cast<std::int64_t>(block.samples.size() / kChannels);
    const std::int64_t offset = FramesIn(block.start - from, kRate);
    const std::int64_t first = std::max<std::int64_t>(0, -offset);
    const std::int64_t last = std::min(frames, total - offset);
    if (first >= last) continue;
    std::copy(block.samples.begin() + first * kChannels, block.samples.begin() + last * kChannels,
              sound.samples.begin() + (offset + first) * kChannels);
  }
  return sound;
}

}  // namespace sim
