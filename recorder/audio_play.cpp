#include "recorder/audio_play.h"

#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
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

// The sink's ring buffer, in microseconds: short, so that sound starts soon after Play and
// little is left to play out after the last buffer.
constexpr gint64 kSinkBufferTime = 25000;
constexpr gint64 kSinkLatencyTime = 5000;
// Silence put before the first sample that the output gets after opening or a seek: a sound
// server starts consuming the moment it is started, a little before the first write arrives,
// and would otherwise drop the first milliseconds of the file.
constexpr int kLeadInMilliseconds = 30;
// After the end of the stream has reached the output, the time it is given to play out what it
// holds before the player stops it.
constexpr int kDrainMilliseconds = 100;

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
  GstPad *output = nullptr;  // own reference: the sink's input
  gulong outputProbe = 0;
  // Streaming-thread state of the output probe (events and buffers on a pad are serialised).
  GstSegment segment;
  bool leadIn = true;  // the next buffer is the first after opening or a flush
  // The position of the output: the stream time at which the latest buffer to reach it begins
  // (the output plays without the clock, so the sink itself cannot tell it), in nanoseconds.
  std::atomic<std::int64_t> outputPosition{0};
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
  static GstPadProbeReturn OnOutput(GstPad *pad, GstPadProbeInfo *info, gpointer data);
  // Takes `timestamp` (running in the current segment) as the output's position.
  void Reached(GstClockTime timestamp) {
    if (!GST_CLOCK_TIME_IS_VALID(timestamp) || segment.format != GST_FORMAT_TIME) return;
    if (timestamp < segment.start) timestamp = segment.start;
    const guint64 time = gst_segment_to_stream_time(&segment, GST_FORMAT_TIME, timestamp);
    if (GST_CLOCK_TIME_IS_VALID(time)) outputPosition = static_cast<std::int64_t>(time);
  }
  void LinkVoidRender(GstPad *pad);
};

TAudioPlay::Graph::~Graph() {
  if (pipeline != nullptr) gst_element_set_state(pipeline, GST_STATE_NULL);
  if (audio != nullptr) gst_element_set_state(audio, GST_STATE_NULL);
  if (tap != nullptr) {
    if (tapProbe != 0) gst_pad_remove_probe(tap, tapProbe);
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
  if (decoded && !graph->audioLinked.exchange(true)) {
    gst_bin_add(GST_BIN(graph->pipeline), graph->audio);
    GstPad *input = gst_element_get_static_pad(graph->audio, "sink");
    if (gst_pad_link(pad, input) != GST_PAD_LINK_OK) graph->audioRefused = true;
    gst_object_unref(input);
    gst_element_sync_state_with_parent(graph->audio);
    return;
  }
  if (audio && !decoded) graph->undecodedAudio = true;
  graph->LinkVoidRender(pad);
}

// Every stream other than the first decoded audio (video, a second audio stream, anything
// unknown) goes, undecoded where it can, into a sink that drops it.
void TAudioPlay::Graph::LinkVoidRender(GstPad *pad) {
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

GstPadProbeReturn TAudioPlay::Graph::OnTap(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *player = static_cast<TAudioPlay *>(data);
  const auto hand = [player](GstBuffer *buffer) {
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

// At the output's input: the first buffer after opening or a flush gets a lead-in of silence.
// It is clipped to the segment first, as the sink would clip it, so that the lead-in is not
// mistaken for samples before the position sought.
GstPadProbeReturn TAudioPlay::Graph::OnOutput(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  auto *graph = static_cast<Graph *>(data);
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
      graph->leadIn = true;
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
      const GstSegment *segment = nullptr;
      gst_event_parse_segment(event, &segment);
      gst_segment_copy_into(segment, &graph->segment);
      graph->Reached(segment->start);
    }
    return GST_PAD_PROBE_OK;
  }
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList *list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    if (gst_buffer_list_length(list) > 0)
      graph->Reached(GST_BUFFER_PTS(gst_buffer_list_get(list, 0)));
    return GST_PAD_PROBE_OK;
  }
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  graph->Reached(GST_BUFFER_PTS(buffer));
  if (!graph->leadIn) return GST_PAD_PROBE_OK;
  GstCaps *caps = gst_pad_get_current_caps(pad);
  GstAudioInfo format;
  const bool known = caps != nullptr && gst_audio_info_from_caps(&format, caps) &&
                     GST_AUDIO_INFO_LAYOUT(&format) == GST_AUDIO_LAYOUT_INTERLEAVED;
  if (caps != nullptr) gst_caps_unref(caps);
  if (!known || graph->segment.format != GST_FORMAT_TIME) return GST_PAD_PROBE_OK;
  GstBuffer *clipped =
      gst_audio_buffer_clip(gst_buffer_ref(buffer), &graph->segment, GST_AUDIO_INFO_RATE(&format),
                            GST_AUDIO_INFO_BPF(&format));
  if (clipped == nullptr) return GST_PAD_PROBE_OK;  // all before the segment: the sink drops it

  const gsize lead = static_cast<gsize>(GST_AUDIO_INFO_RATE(&format)) * kLeadInMilliseconds / 1000 *
                     static_cast<gsize>(GST_AUDIO_INFO_BPF(&format));
  GstMapInfo in;
  if (!gst_buffer_map(clipped, &in, GST_MAP_READ)) {
    gst_buffer_unref(clipped);
    return GST_PAD_PROBE_OK;
  }
  GstBuffer *led = gst_buffer_new_allocate(nullptr, lead + in.size, nullptr);
  GstMapInfo out;
  gst_buffer_map(led, &out, GST_MAP_WRITE);
  gst_audio_format_info_fill_silence(format.finfo, out.data, lead);
  std::memcpy(out.data + lead, in.data, in.size);
  gst_buffer_unmap(led, &out);
  gst_buffer_unmap(clipped, &in);
  gst_buffer_copy_into(led, clipped, GST_BUFFER_COPY_METADATA, 0, static_cast<gsize>(-1));
  gst_buffer_unref(clipped);
  gst_buffer_unref(buffer);
  GST_PAD_PROBE_INFO_DATA(info) = led;
  graph->leadIn = false;
  return GST_PAD_PROBE_OK;
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

void TAudioPlayEventListener::CompleteAfter(int milliseconds, std::uint64_t run) {
  QTimer::singleShot(milliseconds, this, [this, run] {
    try {
      player_.CompleteStream(run);
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
  // The output writes each sample right after the one before instead of at a time of the
  // clock: PulseAudio's stream clock runs on while the stream is paused (libpulse 16), and a
  // clocked sink would leave as much silence before the sound as the player stood stopped.
  g_object_set(sink, "sync", FALSE, nullptr);

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
      &Graph::OnTap, this, nullptr);
  hasGrabber_ = g.tapProbe != 0;

  // The lead-in, at the output's input.
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
  state_ = target;
}

void TAudioPlay::Play() {
  ++run_;
  ChangeState(2);
}

void TAudioPlay::Pause() {
  ChangeState(1);
}

// Paused, not READY or NULL: those would lose the preroll and the position.
void TAudioPlay::Stop() {
  ChangeState(0);
}

std::int64_t TAudioPlay::GetPosition() {
  RaisePendingError();
  if (atEnd_ && duration_ > 0) return duration_;
  const std::int64_t nanoseconds = graph_->outputPosition.load();
  const std::int64_t position = nanoseconds > 0 ? nanoseconds / 100 : 0;
  return duration_ > 0 && position > duration_ ? duration_ : position;
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
  const bool sought = gst_element_seek(
      graph_->pipeline, 1.0, GST_FORMAT_TIME,
      static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), GST_SEEK_TYPE_SET,
      target * 100, GST_SEEK_TYPE_NONE, static_cast<gint64>(GST_CLOCK_TIME_NONE));
  if (!sought) CheckResult(AudioResult::MS_E_NOSEEKING);
  atEnd_ = false;
  ++run_;
  WaitForPreroll("seek");
  // An end of stream still waiting on the bus belongs to the position left behind.
  while (GstMessage *message = gst_bus_pop_filtered(graph_->bus, GST_MESSAGE_EOS))
    gst_message_unref(message);
}

TGuid TAudioPlay::GetTimeFormat() const {
  return TIME_FORMAT_MEDIA_TIME;
}

void TAudioPlay::SetVolume(std::int32_t Value) {
  if (Value < -10000 || Value > 0) CheckResult(AudioResult::E_INVALIDARG);
  if (Value == volume_) return;
  g_object_set(graph_->volume, "volume", VolumeGain(Value), nullptr);
  volume_ = Value;
  Reprocess();
}

void TAudioPlay::SetBalance(std::int32_t Value) {
  if (Value < -10000 || Value > 10000) CheckResult(AudioResult::E_INVALIDARG);
  if (Value == balance_) return;
  g_object_set(graph_->panorama, "panorama", Panorama(Value), nullptr);
  balance_ = Value;
  Reprocess();
}

// While the player is not running, the buffers that wait at the output were made with the old
// level. They are made again, by a seek to where the player stands, so that the next Play is
// heard at the new level from its first sample. Running, the new level is heard once the
// output's short buffer has played.
void TAudioPlay::Reprocess() {
  if (state_ == 2 || atEnd_ || !(capabilities_ & AudioCapability::CanSeekAbsolute)) return;
  const std::int64_t position = GetPosition();
  SetPosition(position, AM_SEEKING_AbsolutePositioning);
}

void TAudioPlay::HandleGraphEvents() {
  if (!graph_ || graph_->bus == nullptr) return;
  while (GstMessage *message = gst_bus_pop(graph_->bus)) {
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    gst_message_unref(message);
    if (type != GST_MESSAGE_EOS) continue;  // errors are kept by the bus handler
    // The last buffer has reached the output; what it holds is played out before the player
    // stops and its position reads as the end (so that a caller who stops at the end cuts
    // nothing off).
    if (Listener) {
      Listener->CompleteAfter(kDrainMilliseconds, run_);
    } else {
      CompleteStream(run_);
    }
  }
}

void TAudioPlay::CompleteStream(std::uint64_t run) {
  if (run != run_) return;  // played again or moved since: that end belongs to an older run
  atEnd_ = true;
  Stop();
  if (OnComplete) OnComplete(this);
}
