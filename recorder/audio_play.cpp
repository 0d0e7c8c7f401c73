#include "recorder/audio_play.h"

#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>

#include "recorder/audio_devices.h"

namespace {

struct CodeText {
  std::int32_t code;
  const char *text;
};

// The texts that the result check gives for these codes, whatever the platform says.
const CodeText kTableTexts[] = {
    {AudioResult::MS_S_PENDING, "The asynchronous update is pending."},
    {AudioResult::MS_S_NOUPDATE, "Sample was not updated after forced completion."},
    {AudioResult::MS_S_ENDOFSTREAM, "Reached the end of the stream; the sample wasn't updated."},
    {AudioResult::E_NOINTERFACE, "No interface."},
    {AudioResult::E_POINTER, "This method tried to access an invalid pointer."},
    {AudioResult::E_ABORT, "The update aborted."},
    {AudioResult::CLASS_E_NOAGGREGATION, "This class cannot be created as part of an aggregate."},
    {AudioResult::REGDB_E_CLASSNOTREG,
     "A specified class is not registered in the registration database."},
    {AudioResult::MS_E_SAMPLEALLOC,
     "An IMediaStream object could not be removed from an IMultiMediaStream object because it "
     "still contains at least one allocated sample."},
    {AudioResult::MS_E_PURPOSEID, "The specified purpose ID can't be used for the call."},
    {AudioResult::MS_E_NOSTREAM, "No stream can be found with the specified attributes."},
    {AudioResult::MS_E_NOSEEKING, "One or more media streams don't support seeking."},
    {AudioResult::MS_E_INCOMPATIBLE, "The stream formats are not compatible."},
    {AudioResult::MS_E_BUSY, "This sample already has a pending update."},
    {AudioResult::MS_E_NOTINIT,
     "The object can't accept the call because its initialize function or equivalent has not "
     "been called."},
    {AudioResult::MS_E_SOURCEALREADYDEFINED, "Source already defined."},
    {AudioResult::MS_E_INVALIDSTREAMTYPE, "The stream type is not valid for this operation."},
    {AudioResult::MS_E_NOTRUNNING, "The IMultiMediaStream object is not in running state."},
    {AudioResult::E_INVALIDARG, "One of the parameters is invalid."},
};

// The player's own texts for the other codes it uses, where GStreamer gave none.
const CodeText kOwnTexts[] = {
    {AudioResult::E_FAIL, "Unspecified error."},
    {AudioResult::E_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {AudioResult::E_ACCESSDENIED, "Access is denied."},
    {AudioResult::E_TIMEOUT, "The audio output did not reach the requested state in time."},
    {AudioResult::VFW_E_INVALID_FILE_FORMAT, "The file format is invalid."},
    {AudioResult::VFW_E_UNSUPPORTED_STREAM,
     "Cannot play back the file. The format is not supported."},
};

template <std::size_t N>
const char *Lookup(const CodeText (&table)[N], std::int32_t code) {
  for (const CodeText &entry : table)
    if (entry.code == code) return entry.text;
  return nullptr;
}

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
// After the end of the stream, the output is polled this often for what it still holds, and
// given at most this long to play it out before the player stops it.
constexpr int kPlayoutPollMilliseconds = 10;
constexpr int kPlayoutLimitMilliseconds = 2000;
// Less than this left in the output counts as played out; the stop then comes this much later
// still, for what the output's account of itself (an estimate between its reports) misses.
constexpr gint64 kPlayedOut = 2 * GST_MSECOND;
constexpr int kPlayoutMarginMilliseconds = 20;

const char kNoAudioStream[] = "Specified file doesn't have any audio stream.";
const char kOutputNotConnected[] = "Selected audio device not connected";
const char kGrabberNotConnected[] = "Sample grabber not connected";

// Decoded audio as the tap passes it on: interleaved samples in a format that a wave format
// block can describe.
const char kTapCaps[] =
    "audio/x-raw, layout=(string)interleaved, "
    "format=(string){ S16LE, U8, S24LE, S32LE, F32LE, F64LE }";

}  // namespace

std::int32_t CheckResult(std::int32_t code, const std::string &platformText) {
  if (code == AudioResult::S_OK || code == AudioResult::S_FALSE) return code;
  std::string text;
  if (const char *entry = Lookup(kTableTexts, code)) {
    text = entry;
  } else if (!platformText.empty()) {
    text = platformText;
  } else if (const char *own = Lookup(kOwnTexts, code)) {
    text = own;
  } else {
    text = "Unrecognized error value.";
  }
  char digits[16];
  std::snprintf(digits, sizeof digits, "%X", static_cast<std::uint32_t>(code));
  throw EAudioPlayError(std::string("DirectShow call failed: ") + digits + "\r" + text, code);
}

// ---------------------------------------------------------------------------------------------

TBufferHandler &TBufferHandler::operator=(Function function) {
  auto next = function ? std::make_shared<const Function>(std::move(function)) : nullptr;
  std::lock_guard lock(mutex_);
  function_ = std::move(next);
  return *this;
}

TBufferHandler::operator bool() const {
  std::lock_guard lock(mutex_);
  return function_ != nullptr;
}

void TBufferHandler::operator()(TAudioPlay *Sender, const std::uint8_t *Data,
                                std::size_t Length) const {
  std::shared_ptr<const Function> function;
  {
    std::lock_guard lock(mutex_);
    function = function_;
  }
  if (function) (*function)(Sender, Data, Length);
}

// ---------------------------------------------------------------------------------------------

namespace {

// A failure that GStreamer reported on the bus, as the player raises it.
struct Failure {
  std::int32_t code;
  std::string text;
  bool plain;  // raised with `text` as the whole message, not through the result check
};

[[noreturn]] void Raise(const Failure &failure) {
  if (failure.plain) throw EAudioPlayError(failure.text, failure.code);
  CheckResult(failure.code, failure.text);
  throw EAudioPlayError(failure.text, failure.code);  // not reached: the code is a failure
}

// Which of the result codes a GStreamer error stands for.
Failure MapError(const GError *error, bool fromOutput) {
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

}  // namespace

// The pipeline and what the player keeps of it. Its destructor stops the pipeline (to NULL,
// which ends every streaming thread), then removes the tap and the bus handler, then frees.
struct TAudioPlay::Graph {
  explicit Graph(TAudioPlay &owner) : player(owner) {}
  ~Graph();

  TAudioPlay &player;
  GstElement *pipeline = nullptr;  // own reference
  GstElement *source = nullptr;    // uridecodebin, held by the pipeline
  GstElement *audio = nullptr;     // the audio chain, own reference; added once audio turns up
  GstElement *grabber = nullptr;   // in the audio chain
  GstElement *panorama = nullptr;  // in the audio chain
  GstElement *volume = nullptr;    // in the audio chain
  GstElement *sink = nullptr;      // in the audio chain
  GstPad *tap = nullptr;           // own reference: the grabber's input
  gulong tapProbe = 0;
  gulong tapEventProbe = 0;
  // Streaming-thread state of the tap (events and buffers on a pad are serialised): its segment,
  // and the stream time up to which decoded audio has been handed to OnBuffer. A new preroll
  // at Play decodes again what was handed on before; that part is not handed on twice.
  GstSegment tapSegment;
  std::int64_t tappedUntil = -1;
  // Set by the main thread: the tap hands nothing on (while Play prerolls from the start), and
  // the seek after whose flush the tap starts afresh (a position set by the caller).
  std::atomic<bool> tapQuiet{false};
  std::atomic<std::uint32_t> tapResetSeqnum{GST_SEQNUM_INVALID};
  GstPad *output = nullptr;  // own reference: the sink's input
  gulong outputProbe = 0;
  // Streaming-thread state of the output probe: the segment, and the sequence number of its event
  // (that of the seek that led to it).
  GstSegment segment;
  std::atomic<std::uint32_t> segmentSeqnum{GST_SEQNUM_INVALID};
  // The ends of stream that reached the output, latest last: the sequence number of each EOS
  // event (which its message carries) and of the segment it ended. Elements give an EOS event
  // a number of its own, not the seek's; the segment before it tells which seek it follows.
  std::mutex endsMutex;
  std::deque<std::pair<std::uint32_t, std::uint32_t>> ends;
  // The position of the output: the stream time at which the latest buffer to reach it begins,
  // in nanoseconds.
  std::atomic<std::int64_t> outputPosition{0};
  // The running time at which the last buffer that reached the output ends; -1: none.
  std::atomic<std::int64_t> renderedUntil{-1};
  GstBus *bus = nullptr;  // own reference

  // Written on streaming threads while the file opens.
  std::atomic<bool> audioLinked{false};
  std::atomic<bool> audioRefused{false};
  std::atomic<bool> undecodedAudio{false};
  std::atomic<int> voidSinks{0};

  std::mutex failureMutex;
  std::optional<Failure> failure;  // the first error posted on the bus, not yet raised

  std::optional<Failure> TakeFailure() {
    std::lock_guard lock(failureMutex);
    std::optional<Failure> taken = std::move(failure);
    failure.reset();
    return taken;
  }

  static GstBusSyncReply OnBusSync(GstBus *, GstMessage *message, gpointer data);
  static void OnPadAdded(GstElement *, GstPad *pad, gpointer data);
  static int OnAutoplugSelect(GstElement *, GstPad *, GstCaps *, GstElementFactory *factory,
                              gpointer);
  static GstPadProbeReturn OnTap(GstPad *, GstPadProbeInfo *info, gpointer data);
  static GstPadProbeReturn OnTapEvent(GstPad *, GstPadProbeInfo *info, gpointer data);
  static GstPadProbeReturn OnOutput(GstPad *pad, GstPadProbeInfo *info, gpointer data);
  // Takes `timestamp` (running in the current segment) as the output's position.
  void Reached(GstClockTime timestamp) {
    if (!GST_CLOCK_TIME_IS_VALID(timestamp) || segment.format != GST_FORMAT_TIME) return;
    if (timestamp < segment.start) timestamp = segment.start;
    const guint64 time = gst_segment_to_stream_time(&segment, GST_FORMAT_TIME, timestamp);
    if (GST_CLOCK_TIME_IS_VALID(time)) outputPosition = static_cast<std::int64_t>(time);
  }
  void LinkVoidRender(GstPad *pad);
  // Takes the end of `buffer`, in running time, as the end of what the output has been given.
  void Rendering(GstBuffer *buffer) {
    if (!GST_BUFFER_PTS_IS_VALID(buffer) || segment.format != GST_FORMAT_TIME) return;
    GstClockTime end = GST_BUFFER_PTS(buffer);
    if (GST_BUFFER_DURATION_IS_VALID(buffer)) end += GST_BUFFER_DURATION(buffer);
    const guint64 running = gst_segment_to_running_time(&segment, GST_FORMAT_TIME, end);
    if (GST_CLOCK_TIME_IS_VALID(running)) renderedUntil = static_cast<std::int64_t>(running);
  }
  void ReachedEnd(std::uint32_t eosSeqnum) {
    std::lock_guard lock(endsMutex);
    ends.emplace_back(eosSeqnum, segmentSeqnum.load());
    if (ends.size() > 8) ends.pop_front();
  }
  // The sequence number of the segment that the end of stream posted with `messageSeqnum`
  // ended; when no end of stream at the output had that number (a bin numbers its own), that
  // of the latest end that reached the output.
  std::optional<std::uint32_t> SegmentEnded(std::uint32_t messageSeqnum) {
    std::lock_guard lock(endsMutex);
    for (const auto &[eos, segment] : ends)
      if (eos == messageSeqnum) return segment;
    if (ends.empty()) return std::nullopt;
    return ends.back().second;
  }
  // The time the output still needs to play what it holds, as it reports it; 0 when it cannot
  // tell.
  GstClockTime OutputDelay() const;
};

TAudioPlay::Graph::~Graph() {
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

GstBusSyncReply TAudioPlay::Graph::OnBusSync(GstBus *, GstMessage *message, gpointer data) {
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return GST_BUS_PASS;
  auto *graph = static_cast<Graph *>(data);
  GError *error = nullptr;
  gst_message_parse_error(message, &error, nullptr);
  const bool fromOutput =
      graph->sink != nullptr &&
      (GST_MESSAGE_SRC(message) == GST_OBJECT(graph->sink) ||
       gst_object_has_as_ancestor(GST_MESSAGE_SRC(message), GST_OBJECT(graph->sink)));
  Failure failure = MapError(error, fromOutput);
  g_clear_error(&error);
  std::lock_guard lock(graph->failureMutex);
  if (!graph->failure) graph->failure = std::move(failure);
  return GST_BUS_PASS;
}

void TAudioPlay::Graph::OnPadAdded(GstElement *, GstPad *pad, gpointer data) {
  auto *graph = static_cast<Graph *>(data);
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
void TAudioPlay::Graph::LinkVoidRender(GstPad *pad) {
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
int TAudioPlay::Graph::OnAutoplugSelect(GstElement *, GstPad *, GstCaps *,
                                        GstElementFactory *factory, gpointer) {
  const gchar *klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
  if (klass == nullptr) return kAutoplugTry;
  const bool decodes =
      std::strstr(klass, "Decoder") != nullptr || std::strstr(klass, "Parser") != nullptr;
  const bool audio = std::strstr(klass, "Audio") != nullptr;
  return decodes && !audio ? kAutoplugExpose : kAutoplugTry;
}

GstPadProbeReturn TAudioPlay::Graph::OnTapEvent(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *graph = static_cast<Graph *>(data);
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

GstPadProbeReturn TAudioPlay::Graph::OnTap(GstPad *, GstPadProbeInfo *info, gpointer data) {
  Graph &graph = *static_cast<Graph *>(data);
  TAudioPlay *player = &graph.player;
  const auto hand = [player, &graph](GstBuffer *buffer) {
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
    player->OnBuffer(player, map.data, map.size);
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
GstPadProbeReturn TAudioPlay::Graph::OnOutput(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *graph = static_cast<Graph *>(data);
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
      const GstSegment *segment = nullptr;
      gst_event_parse_segment(event, &segment);
      gst_segment_copy_into(segment, &graph->segment);
      graph->segmentSeqnum = gst_event_get_seqnum(event);
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
// it took is heard, on the pipeline's clock (for PulseAudio, the clock of the stream, which counts
// what has been heard, the server's latency included), with the sink's lead-in and latency; or,
// where the output's ring buffer can tell its own delay, that if it is longer.
GstClockTime TAudioPlay::Graph::OutputDelay() const {
  GstClockTime delay = 0;
  const std::int64_t end = renderedUntil.load();
  GstClock *clock = gst_element_get_clock(pipeline);
  if (clock != nullptr && end >= 0) {
    const GstClockTime now = gst_clock_get_time(clock);
    const GstClockTime base = gst_element_get_base_time(pipeline);
    gint64 offset = 0;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "ts-offset") != nullptr)
      g_object_get(sink, "ts-offset", &offset, nullptr);
    GstClockTime latency = gst_pipeline_get_latency(GST_PIPELINE(pipeline));
    if (!GST_CLOCK_TIME_IS_VALID(latency)) latency = 0;
    const std::int64_t heardAt = end + offset + static_cast<std::int64_t>(latency);
    const std::int64_t running = static_cast<std::int64_t>(now - base);
    if (now >= base && heardAt > running) delay = static_cast<GstClockTime>(heardAt - running);
  }
  if (clock != nullptr) gst_object_unref(clock);
  if (GST_IS_AUDIO_BASE_SINK(sink)) {
    GstAudioRingBuffer *ring = GST_AUDIO_BASE_SINK(sink)->ringbuffer;
    if (ring != nullptr && gst_audio_ring_buffer_is_acquired(ring)) {
      const gint rate = GST_AUDIO_INFO_RATE(&ring->spec.info);
      if (rate > 0)
        delay = std::max(
            delay, gst_util_uint64_scale_int(gst_audio_ring_buffer_delay(ring), GST_SECOND, rate));
    }
  }
  return delay;
}

// ---------------------------------------------------------------------------------------------

TAudioPlayEventListener::TAudioPlayEventListener(TAudioPlay &player, int busDescriptor)
    : player_(player), notifier_(new QSocketNotifier(busDescriptor, QSocketNotifier::Read, this)) {
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    try {
      player_.HandleGraphEvents();
    } catch (...) {
      player_.KeepError(std::current_exception());
    }
  });
}

void TAudioPlayEventListener::After(int milliseconds, std::function<void()> step) {
  QTimer::singleShot(milliseconds, this, [this, step = std::move(step)] {
    try {
      step();
    } catch (...) {
      player_.KeepError(std::current_exception());
    }
  });
}

TAudioPlayEventListener::~TAudioPlayEventListener() {
  notifier_->setEnabled(false);
}

// ---------------------------------------------------------------------------------------------

namespace {

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

TAudioPlay::TAudioPlay(QObject *Owner, const std::string &FileName, int DeviceIndex,
                       const std::vector<std::string> &AudioDeviceList,
                       TBufferHandler::Function OnBuffer)
    : owner_(Owner), fileName_(FileName), deviceIndex_(DeviceIndex) {
  this->OnBuffer = std::move(OnBuffer);
  std::string reason;
  if (!StartGStreamer(&reason)) CheckResult(AudioResult::REGDB_E_CLASSNOTREG, reason);
  graph_ = std::make_unique<Graph>(*this);
  Graph &g = *graph_;

  // The output device first, as the rest of the chain is built around it.
  GstElement *sink = MakeListedAudioOutput(AudioDeviceList, deviceIndex_);
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
      &Graph::OnTap, &g, nullptr);
  hasGrabber_ = g.tapProbe != 0;
  gst_segment_init(&g.tapSegment, GST_FORMAT_UNDEFINED);
  g.tapEventProbe =
      gst_pad_add_probe(g.tap,
                        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                     GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                        &Graph::OnTapEvent, &g, nullptr);

  // The position, at the output's input.
  gst_segment_init(&g.segment, GST_FORMAT_UNDEFINED);
  g.output = gst_element_get_static_pad(sink, "sink");
  if (g.output != nullptr)
    g.outputProbe = gst_pad_add_probe(
        g.output,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                     GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                     GST_PAD_PROBE_TYPE_EVENT_FLUSH),
        &Graph::OnOutput, &g, nullptr);

  // The file's source and decoders.
  g.pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("Audio player")));
  g.source = MakeElement("uridecodebin", "Source");
  gst_bin_add(GST_BIN(g.pipeline), g.source);
  if (fileName_.empty()) CheckResult(AudioResult::E_FILE_NOT_FOUND);
  GError *uriError = nullptr;
  gchar *uri = gst_filename_to_uri(fileName_.c_str(), &uriError);
  if (uri == nullptr) {
    const std::string text = uriError != nullptr ? uriError->message : "";
    g_clear_error(&uriError);
    CheckResult(AudioResult::E_FILE_NOT_FOUND, text);
  }
  g_object_set(g.source, "uri", uri, nullptr);
  g_free(uri);
  g_signal_connect(g.source, "pad-added", G_CALLBACK(&Graph::OnPadAdded), &g);
  g_signal_connect(g.source, "autoplug-select", G_CALLBACK(&Graph::OnAutoplugSelect), &g);

  g.bus = gst_pipeline_get_bus(GST_PIPELINE(g.pipeline));
  gst_bus_set_sync_handler(g.bus, &Graph::OnBusSync, &g, nullptr);

  // Preroll: afterwards the streams are known and the first buffer waits at the output.
  gst_element_set_state(g.pipeline, GST_STATE_PAUSED);
  WaitForPreroll("open");

  if (!g.audioLinked) {
    if (g.undecodedAudio) CheckResult(AudioResult::REGDB_E_CLASSNOTREG);
    throw EAudioPlayError(kNoAudioStream, AudioResult::NoAudioStream);
  }
  if (g.audioRefused || !PadHasCaps(g.sink, "sink"))
    throw EAudioPlayError(kOutputNotConnected, AudioResult::NotConnected);
  if (hasGrabber_) {
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
    waveFormat_ = format;
  }

  // What the file's position can do, from the seeking query at the output.
  GstQuery *seeking = gst_query_new_seeking(GST_FORMAT_TIME);
  if (gst_element_query(g.sink, seeking)) {
    gboolean seekable = FALSE;
    gint64 start = -1;
    gint64 end = -1;
    gst_query_parse_seeking(seeking, nullptr, &seekable, &start, &end);
    if (seekable)
      capabilities_ |= AudioCapability::CanSeekAbsolute | AudioCapability::CanSeekForwards |
                       AudioCapability::CanSeekBackwards;
    if (end >= 0) capabilities_ |= AudioCapability::CanGetStopPos;
  }
  gst_query_unref(seeking);
  capabilities_ |= AudioCapability::CanGetCurrentPos;  // kept by the output probe
  gint64 nanoseconds = -1;
  if (gst_element_query_duration(g.sink, GST_FORMAT_TIME, &nanoseconds) && nanoseconds >= 0)
    capabilities_ |= AudioCapability::CanGetDuration;
  if (capabilities_ & AudioCapability::CanGetDuration) duration_ = nanoseconds / 100;

  GPollFD poll;
  gst_bus_get_pollfd(g.bus, &poll);
  Listener = std::make_unique<TAudioPlayEventListener>(*this, poll.fd);
  state_ = 0;
}

TAudioPlay::~TAudioPlay() {
  Listener.reset();
  graph_.reset();
}

GstElement *TAudioPlay::Pipeline() const {
  return graph_->pipeline;
}

void TAudioPlay::KeepError(std::exception_ptr error) {
  if (!pendingError_) pendingError_ = std::move(error);
}

void TAudioPlay::RaisePendingError() {
  if (pendingError_) {
    std::exception_ptr error = std::move(pendingError_);
    pendingError_ = nullptr;
    std::rethrow_exception(error);
  }
  if (std::optional<Failure> failure = graph_->TakeFailure()) Raise(*failure);
}

// Waits, in slices of 10 ms and at most StateWaitLimit, until the pipeline has no state change
// pending; raises what GStreamer reported when it failed.
void TAudioPlay::WaitForPreroll(const char *what) {
  const auto deadline = std::chrono::steady_clock::now() + StateWaitLimit;
  for (;;) {
    GstState current = GST_STATE_VOID_PENDING;
    GstState pending = GST_STATE_VOID_PENDING;
    const GstStateChangeReturn result =
        gst_element_get_state(graph_->pipeline, &current, &pending, 10 * GST_MSECOND);
    if (std::optional<Failure> failure = graph_->TakeFailure()) Raise(*failure);
    if (result == GST_STATE_CHANGE_FAILURE) {
      // The element that failed reports why on the bus, possibly from a thread of its own.
      const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (std::chrono::steady_clock::now() < grace) {
        if (std::optional<Failure> failure = graph_->TakeFailure()) Raise(*failure);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      CheckResult(AudioResult::E_FAIL,
                  std::string("The audio pipeline refused to change its state (") + what + ").");
    }
    if (result == GST_STATE_CHANGE_SUCCESS || result == GST_STATE_CHANGE_NO_PREROLL) return;
    if (std::chrono::steady_clock::now() >= deadline) CheckResult(AudioResult::E_TIMEOUT);
  }
}

void TAudioPlay::ChangeState(int target) {
  RaisePendingError();
  const GstState wanted = target == 2 ? GST_STATE_PLAYING : GST_STATE_PAUSED;
  gst_element_set_state(graph_->pipeline, wanted);
  WaitForPreroll(target == 2 ? "play" : target == 1 ? "pause" : "stop");
  GstState current = GST_STATE_VOID_PENDING;
  gst_element_get_state(graph_->pipeline, &current, nullptr, 0);
  if (current != wanted) CheckResult(AudioResult::E_FAIL, "The audio pipeline changed its state.");
  if (state_ == 2 && target != 2) keptPosition_ = OutputPosition();
  state_ = target;
}

// A flushing seek to `target` (100 ns units); returns when the pipeline has prerolled there. The
// end of the stream that follows it is the one the player waits for.
void TAudioPlay::Seek(std::int64_t target, bool fromCaller) {
  GstEvent *seek = gst_event_new_seek(
      1.0, GST_FORMAT_TIME, static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
      GST_SEEK_TYPE_SET, target * 100, GST_SEEK_TYPE_NONE,
      static_cast<gint64>(GST_CLOCK_TIME_NONE));
  const std::uint32_t seqnum = gst_event_get_seqnum(seek);
  // A position set by the caller is decoded afresh: the tap hands it on again.
  if (fromCaller) graph_->tapResetSeqnum = seqnum;
  if (!gst_element_send_event(graph_->pipeline, seek)) CheckResult(AudioResult::MS_E_NOSEEKING);
  eosSeqnum_ = seqnum;
  WaitForPreroll("seek");
}

// The output starts a new stream at every Play: the pipeline goes back to READY (the sink lets
// go of its stream), prerolls again, seeks to the position kept, and runs. Whatever the sound
// server did with a stream that stood corked (its clock running on, its read index moved by a
// change of the sink's latency), the new stream starts at the time of the clock that the
// pipeline takes when it runs, and its first sample is rendered after the sink's lead-in.
void TAudioPlay::Play() {
  RaisePendingError();
  Graph &g = *graph_;
  const std::int64_t from = atEnd_ && duration_ > 0 ? duration_ : keptPosition_;
  // The preroll from READY stands at the start of the file: from there, no seek is needed.
  const bool fromStart = from == 0 || !(capabilities_ & AudioCapability::CanSeekAbsolute);
  ++run_;
  gst_element_set_state(g.pipeline, GST_STATE_READY);
  WaitForPreroll("play");
  g.tapQuiet = !fromStart;  // a preroll where the play does not begin hands nothing on
  gst_element_set_state(g.pipeline, GST_STATE_PAUSED);
  try {
    WaitForPreroll("play");
  } catch (...) {
    g.tapQuiet = false;
    throw;
  }
  g.tapQuiet = false;
  atEnd_ = false;
  if (fromStart) {
    // The end of stream to wait for is the one that closes the segment of this preroll.
    eosSeqnum_ = g.segmentSeqnum.load();
    keptPosition_ = 0;
  } else {
    Seek(from, false);
  }
  ChangeState(2);
}

void TAudioPlay::Pause() {
  ChangeState(1);
}

// Paused, not READY or NULL: those would lose the preroll and the position.
void TAudioPlay::Stop() {
  ChangeState(0);
}

// Where the output stands while running: the latest buffer that reached it.
std::int64_t TAudioPlay::OutputPosition() const {
  const std::int64_t nanoseconds = graph_->outputPosition.load();
  const std::int64_t position = nanoseconds > 0 ? nanoseconds / 100 : 0;
  return duration_ > 0 && position > duration_ ? duration_ : position;
}

std::int64_t TAudioPlay::GetPosition() {
  RaisePendingError();
  if (atEnd_ && duration_ > 0) return duration_;
  return state_ == 2 ? OutputPosition() : keptPosition_;
}

void TAudioPlay::SetPosition(std::int64_t Position, std::uint32_t Flags) {
  RaisePendingError();
  std::int64_t target = 0;
  switch (Flags & AM_SEEKING_PositioningBitsMask) {
    case AM_SEEKING_NoPositioning:
      return;
    case AM_SEEKING_AbsolutePositioning:
      target = Position;
      break;
    case AM_SEEKING_RelativePositioning:
      target = GetPosition() + Position;
      break;
    default:
      CheckResult(AudioResult::E_INVALIDARG);
  }
  if (target < 0) target = 0;
  if (duration_ > 0 && target > duration_) target = duration_;
  atEnd_ = false;
  ++run_;
  keptPosition_ = target;
  // An end of stream of the position left behind, still on its way, carries the sequence
  // number of an earlier seek and is dropped; the one that this seek leads to is kept.
  Seek(target, true);
}

TGuid TAudioPlay::GetTimeFormat() const {
  return TIME_FORMAT_MEDIA_TIME;
}

void TAudioPlay::SetVolume(std::int32_t Value) {
  if (Value < -10000 || Value > 0) CheckResult(AudioResult::E_INVALIDARG);
  if (Value == volume_) return;
  g_object_set(graph_->volume, "volume", VolumeGain(Value), nullptr);
  volume_ = Value;
}

void TAudioPlay::SetBalance(std::int32_t Value) {
  if (Value < -10000 || Value > 10000) CheckResult(AudioResult::E_INVALIDARG);
  if (Value == balance_) return;
  g_object_set(graph_->panorama, "panorama", Panorama(Value), nullptr);
  balance_ = Value;
}

void TAudioPlay::HandleGraphEvents() {
  if (!graph_ || graph_->bus == nullptr) return;
  while (GstMessage *message = gst_bus_pop(graph_->bus)) {
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    const std::uint32_t seqnum = gst_message_get_seqnum(message);
    gst_message_unref(message);
    if (type != GST_MESSAGE_EOS) continue;  // errors are kept by the bus handler
    // The end of a stretch that a later flushing seek has left behind.
    if (eosSeqnum_ != GST_SEQNUM_INVALID && graph_->SegmentEnded(seqnum) != eosSeqnum_) continue;
    // The last sample has been rendered; what the output still holds is played out before the
    // player stops and its position reads as the end (so that a caller who stops at the end
    // cuts nothing off).
    AwaitPlayout(run_, std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(kPlayoutLimitMilliseconds));
  }
}

void TAudioPlay::AwaitPlayout(std::uint64_t run, std::chrono::steady_clock::time_point deadline) {
  if (run != run_) return;
  if (!Listener) {
    CompleteStream(run);
    return;
  }
  if (graph_->OutputDelay() > kPlayedOut && std::chrono::steady_clock::now() < deadline) {
    Listener->After(kPlayoutPollMilliseconds,
                    [this, run, deadline] { AwaitPlayout(run, deadline); });
    return;
  }
  Listener->After(kPlayoutMarginMilliseconds, [this, run] { CompleteStream(run); });
}

void TAudioPlay::CompleteStream(std::uint64_t run) {
  // Played again or moved since: that end belongs to an older run. Or completed already.
  if (run != run_ || atEnd_) return;
  atEnd_ = true;
  Stop();
  if (OnComplete) OnComplete(this);
}
