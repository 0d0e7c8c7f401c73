#include "recorder/audio_pipeline.h"

#include <gst/audio/audio.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "recorder/audio_devices.h"
#include "recorder/audio_result.h"

namespace {

// decodebin's GstAutoplugSelectResult values (the enum is not in a public header).
constexpr int kAutoplugTry = 0;
constexpr int kAutoplugExpose = 1;

// The sink's ring buffer, in microseconds: short, so that sound starts soon after Play.
constexpr gint64 kSinkBufferTime = 25000;
constexpr gint64 kSinkLatencyTime = 5000;
// The output renders every sample this much later than the clock would have it: a sound server
// starts consuming a new stream the moment it is started, a little before the first write
// arrives, and the first milliseconds of the file would otherwise fall before that.
constexpr gint64 kLeadIn = 30 * GST_MSECOND;

const char kNoAudioStream[] = "Specified file doesn't have any audio stream.";
const char kOutputNotConnected[] = "Selected audio device not connected";
const char kGrabberNotConnected[] = "Sample grabber not connected";

// Decoded audio as the tap passes it on: interleaved samples in a format that a wave format
// block can describe.
const char kTapCaps[] =
    "audio/x-raw, layout=(string)interleaved, "
    "format=(string){ S16LE, U8, S24LE, S32LE, F32LE, F64LE }";

}  // namespace

[[noreturn]] void RaiseAudioFailure(const AudioFailure &failure) {
  if (failure.plain) throw EAudioPlayError(failure.text, failure.code);
  CheckResult(failure.code, failure.text);
  throw EAudioPlayError(failure.text, failure.code);  // not reached: the code is a failure
}

namespace {

// Which of the result codes a GStreamer error stands for.
AudioFailure MapError(const GError *error, bool fromOutput) {
  const std::string text = error->message != nullptr ? error->message : "";
  if (fromOutput) return {AudioResult::NotConnected, kOutputNotConnected, true};
  if (error->domain == GST_CORE_ERROR && error->code == GST_CORE_ERROR_MISSING_PLUGIN)
    return {AudioResult::REGDB_E_CLASSNOTREG, text, false};
  if (error->domain == GST_RESOURCE_ERROR) {
    switch (error->code) {
      case GST_RESOURCE_ERROR_NOT_FOUND:
        return {AudioResult::E_FILE_NOT_FOUND, text, false};
      case GST_RESOURCE_ERROR_NOT_AUTHORIZED:
        return {AudioResult::E_ACCESSDENIED, text, false};
      default:
        return {AudioResult::E_FAIL, text, false};
    }
  }
  if (error->domain == GST_STREAM_ERROR) {
    switch (error->code) {
      case GST_STREAM_ERROR_CODEC_NOT_FOUND:
        return {AudioResult::REGDB_E_CLASSNOTREG, text, false};
      case GST_STREAM_ERROR_TYPE_NOT_FOUND:
      case GST_STREAM_ERROR_WRONG_TYPE:
        return {AudioResult::VFW_E_UNSUPPORTED_STREAM, text, false};
      case GST_STREAM_ERROR_DECODE:
      case GST_STREAM_ERROR_DEMUX:
      case GST_STREAM_ERROR_FORMAT:
        return {AudioResult::VFW_E_INVALID_FILE_FORMAT, text, false};
      default:
        break;
    }
  }
  return {AudioResult::E_FAIL, text, false};
}

GstElement *MakeElement(const char *factory, const char *name = nullptr) {
  GstElement *element = gst_element_factory_make(factory, name);
  if (element == nullptr)
    CheckResult(AudioResult::REGDB_E_CLASSNOTREG,
                std::string("GStreamer element ") + factory + " is not installed.");
  return element;
}

// Converters in the chain keep samples exact where the format allows it.
GstElement *MakeConverter() {
  GstElement *convert = MakeElement("audioconvert");
  g_object_set(convert, "dithering", 0, "noise-shaping", 0, nullptr);
  return convert;
}

bool HasProperty(GstElement *element, const char *name) {
  return g_object_class_find_property(G_OBJECT_GET_CLASS(element), name) != nullptr;
}

bool PadHasCaps(GstElement *element, const char *padName) {
  GstPad *pad = gst_element_get_static_pad(element, padName);
  if (pad == nullptr) return false;
  GstCaps *caps = gst_pad_get_current_caps(pad);
  const bool connected = gst_pad_is_linked(pad) && caps != nullptr;
  if (caps != nullptr) gst_caps_unref(caps);
  gst_object_unref(pad);
  return connected;
}

double VolumeGain(std::int32_t value) {
  return value <= -10000 ? 0.0 : std::pow(10.0, value / 2000.0);
}

double Panorama(std::int32_t balance) {
  const double attenuation = 1.0 - std::pow(10.0, -std::abs(balance) / 2000.0);
  return balance < 0 ? -attenuation : attenuation;
}

}  // namespace

AudioPipeline::~AudioPipeline() {
  if (pipeline != nullptr) gst_element_set_state(pipeline, GST_STATE_NULL);
  if (audio != nullptr) gst_element_set_state(audio, GST_STATE_NULL);
  if (tap != nullptr) {
    if (tapProbe != 0) gst_pad_remove_probe(tap, tapProbe);
    if (tapEventProbe != 0) gst_pad_remove_probe(tap, tapEventProbe);
    gst_object_unref(tap);
  }
  if (output != nullptr) {
    if (outputProbe != 0) gst_pad_remove_probe(output, outputProbe);
    gst_object_unref(output);
  }
  if (source != nullptr) g_signal_handlers_disconnect_by_data(source, this);
  if (bus != nullptr) {
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_bus_set_flushing(bus, TRUE);
    gst_object_unref(bus);
  }
  if (audio != nullptr) gst_object_unref(audio);
  if (pipeline != nullptr) gst_object_unref(pipeline);
}

GstBusSyncReply AudioPipeline::OnBusSync(GstBus *, GstMessage *message, gpointer data) {
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return GST_BUS_PASS;
  auto *graph = static_cast<AudioPipeline *>(data);
  GError *error = nullptr;
  gst_message_parse_error(message, &error, nullptr);
  const bool fromOutput =
      graph->sink != nullptr &&
      (GST_MESSAGE_SRC(message) == GST_OBJECT(graph->sink) ||
       gst_object_has_as_ancestor(GST_MESSAGE_SRC(message), GST_OBJECT(graph->sink)));
  AudioFailure failure = MapError(error, fromOutput);
  g_clear_error(&error);
  std::lock_guard lock(graph->failureMutex);
  if (!graph->failure) graph->failure = std::move(failure);
  return GST_BUS_PASS;
}

void AudioPipeline::OnPadAdded(GstElement *, GstPad *pad, gpointer data) {
  auto *graph = static_cast<AudioPipeline *>(data);
  GstCaps *caps = gst_pad_get_current_caps(pad);
  if (caps == nullptr) caps = gst_pad_query_caps(pad, nullptr);
  std::string name;
  if (caps != nullptr && gst_caps_get_size(caps) > 0)
    name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  if (caps != nullptr) gst_caps_unref(caps);

  const bool audio = name.rfind("audio/", 0) == 0;
  const bool decoded = name == "audio/x-raw";
  // The file's streams come anew at every preroll from READY (each Play): the first decoded
  // audio goes to the audio chain whenever the chain's input is free.
  if (decoded) {
    GstPad *input = gst_element_get_static_pad(graph->audio, "sink");
    const bool free = !gst_pad_is_linked(input);
    if (free) {
      const bool first = !graph->audioLinked.exchange(true);
      if (first) gst_bin_add(GST_BIN(graph->pipeline), graph->audio);
      if (gst_pad_link(pad, input) != GST_PAD_LINK_OK) graph->audioRefused = true;
      if (first) gst_element_sync_state_with_parent(graph->audio);
    }
    gst_object_unref(input);
    if (free) return;
  }
  if (audio && !decoded) graph->undecodedAudio = true;
  graph->LinkVoidRender(pad);
}

// Every stream other than the first decoded audio (video, a second audio stream, anything
// unknown) goes, undecoded where it can, into a sink that drops it.
void AudioPipeline::LinkVoidRender(GstPad *pad) {
  // A void render left free by a stream of an earlier preroll takes the stream again.
  for (int number = 1; number <= voidSinks.load(); ++number) {
    const std::string name = number == 1 ? "Void render" : "Void render " + std::to_string(number);
    GstElement *drop = gst_bin_get_by_name(GST_BIN(pipeline), name.c_str());
    if (drop == nullptr) continue;
    GstPad *input = gst_element_get_static_pad(drop, "sink");
    const bool taken = !gst_pad_is_linked(input) && gst_pad_link(pad, input) == GST_PAD_LINK_OK;
    gst_object_unref(input);
    gst_object_unref(drop);
    if (taken) return;
  }
  const int number = ++voidSinks;
  const std::string name = number == 1 ? "Void render" : "Void render " + std::to_string(number);
  GstElement *drop = gst_element_factory_make("fakesink", name.c_str());
  if (drop == nullptr) return;
  g_object_set(drop, "sync", FALSE, "async", FALSE, nullptr);
  gst_bin_add(GST_BIN(pipeline), drop);
  GstPad *input = gst_element_get_static_pad(drop, "sink");
  gst_pad_link(pad, input);
  gst_object_unref(input);
  gst_element_sync_state_with_parent(drop);
}

// Video is never decoded: the decoder (or parser) of any stream that is not audio is skipped and
// the stream left as it is, for the void render.
int AudioPipeline::OnAutoplugSelect(GstElement *, GstPad *, GstCaps *, GstElementFactory *factory,
                                    gpointer) {
  const gchar *klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
  if (klass == nullptr) return kAutoplugTry;
  const bool decodes =
      std::strstr(klass, "Decoder") != nullptr || std::strstr(klass, "Parser") != nullptr;
  const bool audio = std::strstr(klass, "Audio") != nullptr;
  return decodes && !audio ? kAutoplugExpose : kAutoplugTry;
}

GstPadProbeReturn AudioPipeline::OnTapEvent(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *graph = static_cast<AudioPipeline *>(data);
  GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
    const GstSegment *segment = nullptr;
    gst_event_parse_segment(event, &segment);
    gst_segment_copy_into(segment, &graph->tapSegment);
  } else if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP &&
             gst_event_get_seqnum(event) == graph->tapResetSeqnum.load()) {
    graph->tappedUntil = -1;
  }
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn AudioPipeline::OnTap(GstPad *, GstPadProbeInfo *info, gpointer data) {
  AudioPipeline &graph = *static_cast<AudioPipeline *>(data);
  const auto hand = [&graph](GstBuffer *buffer) {
    if (graph.tapQuiet) return;
    // Where the buffer ends in the stream: one that ends where the tap has been already was
    // handed on before (the preroll of a Play decodes from the position kept).
    const GstSegment &segment = graph.tapSegment;
    if (segment.format == GST_FORMAT_TIME && GST_BUFFER_PTS_IS_VALID(buffer) &&
        GST_BUFFER_DURATION_IS_VALID(buffer)) {
      const guint64 end = gst_segment_to_stream_time(
          &segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer) + GST_BUFFER_DURATION(buffer));
      if (GST_CLOCK_TIME_IS_VALID(end)) {
        if (static_cast<std::int64_t>(end) <= graph.tappedUntil) return;
        graph.tappedUntil = static_cast<std::int64_t>(end);
      }
    }
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
    graph.onTapped(map.data, map.size);
    gst_buffer_unmap(buffer, &map);
  };
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
    hand(GST_PAD_PROBE_INFO_BUFFER(info));
  } else if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList *list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    for (guint i = 0; i < gst_buffer_list_length(list); ++i) hand(gst_buffer_list_get(list, i));
  }
  return GST_PAD_PROBE_OK;
}

// At the output's input: the position of the output, from the segment and the buffers that
// reach it.
GstPadProbeReturn AudioPipeline::OnOutput(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *graph = static_cast<AudioPipeline *>(data);
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
      const GstSegment *segment = nullptr;
      gst_event_parse_segment(event, &segment);
      gst_segment_copy_into(segment, &graph->segment);
      graph->segmentSeqnum = gst_event_get_seqnum(event);
      if (segment->format == GST_FORMAT_TIME) {
        graph->segmentStartStream = static_cast<std::int64_t>(
            gst_segment_to_stream_time(segment, GST_FORMAT_TIME, segment->start));
        graph->segmentStartRunning = static_cast<std::int64_t>(
            gst_segment_to_running_time(segment, GST_FORMAT_TIME, segment->start));
      }
      graph->Reached(segment->start);
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_EOS) {
      graph->ReachedEnd(gst_event_get_seqnum(event));
    }
    return GST_PAD_PROBE_OK;
  }
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList *list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    if (gst_buffer_list_length(list) > 0) {
      graph->Reached(GST_BUFFER_PTS(gst_buffer_list_get(list, 0)));
      graph->Rendering(gst_buffer_list_get(list, gst_buffer_list_length(list) - 1));
    }
    return GST_PAD_PROBE_OK;
  }
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  graph->Reached(GST_BUFFER_PTS(buffer));
  graph->Rendering(buffer);
  return GST_PAD_PROBE_OK;
}

// What the output still holds: the time from now to the moment that the end of the last buffer
// it took is heard, on the pipeline's clock (the audio sink's own clock, which counts what has
// been heard: for PulseAudio the stream's clock, the server's latency included; for a sink with a
// ring buffer, what the buffer still holds is not yet counted), with the sink's lead-in and
// latency.
GstClockTime AudioPipeline::OutputDelay() const {
  GstClockTime delay = 0;
  const std::int64_t end = renderedUntil.load();
  GstClock *clock = gst_element_get_clock(pipeline);
  if (clock != nullptr && end >= 0) {
    const GstClockTime now = gst_clock_get_time(clock);
    const GstClockTime base = gst_element_get_base_time(pipeline);
    const std::int64_t heardAt = end + OutputOffset();
    const std::int64_t running = static_cast<std::int64_t>(now - base);
    if (now >= base && heardAt > running) delay = static_cast<GstClockTime>(heardAt - running);
  }
  if (clock != nullptr) gst_object_unref(clock);
  return delay;
}

std::int64_t AudioPipeline::OutputOffset() const {
  gint64 offset = 0;
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "ts-offset") != nullptr)
    g_object_get(sink, "ts-offset", &offset, nullptr);
  GstClockTime latency = gst_pipeline_get_latency(GST_PIPELINE(pipeline));
  if (!GST_CLOCK_TIME_IS_VALID(latency)) latency = 0;
  return offset + static_cast<std::int64_t>(latency);
}

std::optional<std::int64_t> AudioPipeline::PlayedTime() const {
  if (!GST_IS_AUDIO_BASE_SINK(sink)) return std::nullopt;
  GstAudioRingBuffer *ring = GST_AUDIO_BASE_SINK(sink)->ringbuffer;
  if (ring == nullptr || !gst_audio_ring_buffer_is_acquired(ring)) return std::nullopt;
  const gint rate = GST_AUDIO_INFO_RATE(&ring->spec.info);
  if (rate <= 0) return std::nullopt;
  const guint64 done = gst_audio_ring_buffer_samples_done(ring);
  const guint delay = gst_audio_ring_buffer_delay(ring);
  const guint64 played = done > delay ? done - delay : 0;
  return static_cast<std::int64_t>(
      gst_util_uint64_scale(played, GST_SECOND, static_cast<guint64>(rate)));
}

std::optional<std::int64_t> AudioPipeline::HeardTime() const {
  if (GST_STATE(pipeline) != GST_STATE_PLAYING ||
      GST_STATE_PENDING(pipeline) != GST_STATE_VOID_PENDING)
    return std::nullopt;
  const std::int64_t startRunning = segmentStartRunning.load();
  GstClock *clock = gst_element_get_clock(pipeline);
  if (clock == nullptr || startRunning < 0) {
    if (clock != nullptr) gst_object_unref(clock);
    return std::nullopt;
  }
  const GstClockTime now = gst_clock_get_time(clock);
  gst_object_unref(clock);
  const GstClockTime base = gst_element_get_base_time(pipeline);
  if (now <= base) return std::nullopt;
  const std::int64_t heardRunning = static_cast<std::int64_t>(now - base) - OutputOffset();
  return segmentStartStream.load() + (heardRunning - startRunning);
}

// ---------------------------------------------------------------------------------------------

void AudioPipeline::Build(const std::string &fileName, const std::vector<std::string> &deviceList,
                          int deviceIndex) {
  std::string reason;
  if (!StartGStreamer(&reason)) CheckResult(AudioResult::REGDB_E_CLASSNOTREG, reason);
  AudioPipeline &g = *this;

  // The output device first, as the rest of the chain is built around it.
  GstElement *sink = MakeListedAudioOutput(deviceList, deviceIndex);
  if (sink == nullptr) sink = MakeDefaultAudioOutput();
  if (sink == nullptr) CheckResult(AudioResult::REGDB_E_CLASSNOTREG, "No audio output element.");
  if (HasProperty(sink, "buffer-time"))
    g_object_set(sink, "buffer-time", kSinkBufferTime, "latency-time", kSinkLatencyTime, nullptr);
  // The output plays on the clock, each sample at its time, with a lead-in (see Play).
  if (HasProperty(sink, "ts-offset")) g_object_set(sink, "ts-offset", kLeadIn, nullptr);

  // The audio chain: tap, balance, volume, output. Kept outside the pipeline until the file
  // turns out to have audio, so that a file without audio prerolls without it.
  g.audio = GST_ELEMENT(gst_object_ref_sink(gst_bin_new("Audio chain")));
  gst_bin_add(GST_BIN(g.audio), sink);
  g.sink = sink;
  GstElement *convertIn = MakeConverter();
  gst_bin_add(GST_BIN(g.audio), convertIn);
  GstElement *tapFormat = MakeElement("capsfilter");
  gst_bin_add(GST_BIN(g.audio), tapFormat);
  GstCaps *tapCaps = gst_caps_from_string(kTapCaps);
  g_object_set(tapFormat, "caps", tapCaps, nullptr);
  gst_caps_unref(tapCaps);
  g.grabber = MakeElement("identity", "Grabber");
  gst_bin_add(GST_BIN(g.audio), g.grabber);
  g_object_set(g.grabber, "silent", TRUE, nullptr);
  GstElement *convertMid = MakeConverter();
  gst_bin_add(GST_BIN(g.audio), convertMid);
  g.panorama = MakeElement("audiopanorama", "Balance");
  gst_bin_add(GST_BIN(g.audio), g.panorama);
  g_object_set(g.panorama, "method", 1, nullptr);  // simple: attenuate the other channel
  g.volume = MakeElement("volume", "Volume");
  gst_bin_add(GST_BIN(g.audio), g.volume);
  GstElement *convertOut = MakeConverter();
  gst_bin_add(GST_BIN(g.audio), convertOut);
  GstElement *resample = MakeElement("audioresample");
  gst_bin_add(GST_BIN(g.audio), resample);
  if (!gst_element_link_many(convertIn, tapFormat, g.grabber, convertMid, g.panorama, g.volume,
                             convertOut, resample, sink, nullptr))
    throw EAudioPlayError(kOutputNotConnected, AudioResult::NotConnected);
  GstPad *input = gst_element_get_static_pad(convertIn, "sink");
  gst_element_add_pad(g.audio, gst_ghost_pad_new("sink", input));
  gst_object_unref(input);

  // The tap, on the grabber's input.
  g.tap = gst_element_get_static_pad(g.grabber, "sink");
  g.tapProbe = gst_pad_add_probe(
      g.tap,
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
      &AudioPipeline::OnTap, &g, nullptr);
  gst_segment_init(&g.tapSegment, GST_FORMAT_UNDEFINED);
  g.tapEventProbe =
      gst_pad_add_probe(g.tap,
                        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                     GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                        &AudioPipeline::OnTapEvent, &g, nullptr);

  // The position, at the output's input.
  gst_segment_init(&g.segment, GST_FORMAT_UNDEFINED);
  g.output = gst_element_get_static_pad(sink, "sink");
  if (g.output != nullptr)
    g.outputProbe = gst_pad_add_probe(
        g.output,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                     GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                     GST_PAD_PROBE_TYPE_EVENT_FLUSH),
        &AudioPipeline::OnOutput, &g, nullptr);

  // The file's source and decoders.
  g.pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("Audio player")));
  g.source = MakeElement("uridecodebin", "Source");
  gst_bin_add(GST_BIN(g.pipeline), g.source);
  if (fileName.empty()) CheckResult(AudioResult::E_FILE_NOT_FOUND);
  GError *uriError = nullptr;
  gchar *uri = gst_filename_to_uri(fileName.c_str(), &uriError);
  if (uri == nullptr) {
    const std::string text = uriError != nullptr ? uriError->message : "";
    g_clear_error(&uriError);
    CheckResult(AudioResult::E_FILE_NOT_FOUND, text);
  }
  g_object_set(g.source, "uri", uri, nullptr);
  g_free(uri);
  g_signal_connect(g.source, "pad-added", G_CALLBACK(&AudioPipeline::OnPadAdded), &g);
  g_signal_connect(g.source, "autoplug-select", G_CALLBACK(&AudioPipeline::OnAutoplugSelect), &g);

  g.bus = gst_pipeline_get_bus(GST_PIPELINE(g.pipeline));
  gst_bus_set_sync_handler(g.bus, &AudioPipeline::OnBusSync, &g, nullptr);
}

void AudioPipeline::CheckConnected() const {
  const AudioPipeline &g = *this;
  if (!g.audioLinked) {
    if (g.undecodedAudio) CheckResult(AudioResult::REGDB_E_CLASSNOTREG);
    throw EAudioPlayError(kNoAudioStream, AudioResult::NoAudioStream);
  }
  if (g.audioRefused || !PadHasCaps(g.sink, "sink"))
    throw EAudioPlayError(kOutputNotConnected, AudioResult::NotConnected);
}

TWaveFormatEx AudioPipeline::TapFormat() const {
  const AudioPipeline &g = *this;
  GstCaps *caps = gst_pad_get_current_caps(g.tap);
  GstAudioInfo info;
  const bool known = caps != nullptr && gst_audio_info_from_caps(&info, caps);
  if (caps != nullptr) gst_caps_unref(caps);
  if (!known) throw EAudioPlayError(kGrabberNotConnected, AudioResult::NotConnected);
  TWaveFormatEx format;
  format.wFormatTag = GST_AUDIO_INFO_IS_FLOAT(&info) ? 3 : 1;
  format.nChannels = static_cast<std::uint16_t>(GST_AUDIO_INFO_CHANNELS(&info));
  format.nSamplesPerSec = static_cast<std::uint32_t>(GST_AUDIO_INFO_RATE(&info));
  format.nBlockAlign = static_cast<std::uint16_t>(GST_AUDIO_INFO_BPF(&info));
  format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
  format.wBitsPerSample = static_cast<std::uint16_t>(GST_AUDIO_INFO_WIDTH(&info));
  return format;
}

std::uint32_t AudioPipeline::Capabilities(std::int64_t &duration) const {
  const AudioPipeline &g = *this;
  std::uint32_t capabilities = 0;
  // What the file's position can do, from the seeking query at the output.
  GstQuery *seeking = gst_query_new_seeking(GST_FORMAT_TIME);
  if (gst_element_query(g.sink, seeking)) {
    gboolean seekable = FALSE;
    gint64 start = -1;
    gint64 end = -1;
    gst_query_parse_seeking(seeking, nullptr, &seekable, &start, &end);
    if (seekable)
      capabilities |= AudioCapability::CanSeekAbsolute | AudioCapability::CanSeekForwards |
                      AudioCapability::CanSeekBackwards;
    if (end >= 0) capabilities |= AudioCapability::CanGetStopPos;
  }
  gst_query_unref(seeking);
  capabilities |= AudioCapability::CanGetCurrentPos;  // kept by the output probe
  gint64 nanoseconds = -1;
  if (gst_element_query_duration(g.sink, GST_FORMAT_TIME, &nanoseconds) && nanoseconds >= 0)
    capabilities |= AudioCapability::CanGetDuration;
  if (capabilities & AudioCapability::CanGetDuration) duration = nanoseconds / 100;
  return capabilities;
}

int AudioPipeline::BusDescriptor() const {
  GPollFD poll;
  gst_bus_get_pollfd(bus, &poll);
  return poll.fd;
}

std::optional<std::uint32_t> AudioPipeline::NextEndOfStream() {
  while (GstMessage *message = gst_bus_pop(bus)) {
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    const std::uint32_t seqnum = gst_message_get_seqnum(message);
    gst_message_unref(message);
    if (type == GST_MESSAGE_EOS) return seqnum;
  }
  return std::nullopt;
}

void AudioPipeline::SetVolume(std::int32_t value) {
  g_object_set(volume, "volume", VolumeGain(value), nullptr);
}

void AudioPipeline::SetBalance(std::int32_t value) {
  g_object_set(panorama, "panorama", Panorama(value), nullptr);
}
