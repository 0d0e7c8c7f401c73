// The GStreamer graph of the audio player: the file's source and decoders, the audio chain with
// its sample tap, balance, volume and output, the probes that keep the tap's and the output's
// positions, and the bus with its handler. The player (audio_play.h) drives it from the main
// thread; the probes run on streaming threads.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "recorder/media_types.h"

// A failure that GStreamer reported on the bus, as the player raises it.
struct AudioFailure {
  std::int32_t code;
  std::string text;
  bool plain;  // raised with `text` as the whole message, not through the result check
};

// Raises `failure` as EAudioPlayError: as it is where it is plain, else through the result check.
[[noreturn]] void RaiseAudioFailure(const AudioFailure &failure);

// The pipeline and what the player keeps of it. Its destructor stops the pipeline (to NULL,
// which ends every streaming thread), then removes the tap and the bus handler, then frees.
struct AudioPipeline {
  // Called on a streaming thread with the bytes of each buffer that the tap hands on.
  using Tapped = std::function<void(const std::uint8_t *Data, std::size_t Length)>;

  explicit AudioPipeline(Tapped tapped) : onTapped(std::move(tapped)) {}
  ~AudioPipeline();
  AudioPipeline(const AudioPipeline &) = delete;
  AudioPipeline &operator=(const AudioPipeline &) = delete;

  // Builds the graph for `fileName`: the output (the device at `deviceIndex` of `deviceList`, else
  // the default output), the audio chain with the tap and the output probe, the file's source
  // and the bus handler. Starts GStreamer first. Raises EAudioPlayError.
  void Build(const std::string &fileName, const std::vector<std::string> &deviceList,
             int deviceIndex);
  // After the preroll of the opening: raises when the file has no audio that can be decoded
  // (1000, or the class-not-registered code) or the chain did not connect to the output (1001).
  void CheckConnected() const;
  // The format of the decoded audio at the tap, after the preroll; raises 1001 when unknown.
  TWaveFormatEx TapFormat() const;
  // The capability bits, from the seeking and duration queries at the output; `duration` (100 ns
  // units) is set when the duration is known.
  std::uint32_t Capabilities(std::int64_t &duration) const;
  // The descriptor that becomes readable when a message arrives on the bus.
  int BusDescriptor() const;
  // Takes the bus messages up to the next end of stream and returns its sequence number; none
  // when the bus holds no more. Errors are kept by the bus handler (TakeFailure).
  std::optional<std::uint32_t> NextEndOfStream();
  // The gain of the volume element and the panorama of the balance element, from values in
  // hundredths of a decibel.
  void SetVolume(std::int32_t value);
  void SetBalance(std::int32_t value);

  Tapped onTapped;
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
  // Where the current segment starts, in running time and in stream time (nanoseconds): what the
  // main thread needs of it to tell the position heard.
  std::atomic<std::int64_t> segmentStartRunning{-1};
  std::atomic<std::int64_t> segmentStartStream{0};
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
  std::optional<AudioFailure> failure;  // the first error posted on the bus, not yet raised

  std::optional<AudioFailure> TakeFailure() {
    std::lock_guard lock(failureMutex);
    std::optional<AudioFailure> taken = std::move(failure);
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
  // The stream time (nanoseconds) of the sound heard now by the pipeline's clock: its running
  // time less the lead-in and the latency; before the start of the segment, less than the
  // segment's start by the time still to go. None while the pipeline does not run or its clock
  // has not moved since it started. Only for an output without a ring buffer: PulseAudio's clock
  // runs on in real time while the server plays nothing of the stream.
  std::optional<std::int64_t> HeardTime() const;
  // The stream time heard `sinceStart` (nanoseconds of the output's running) after the output
  // began to play its stream.
  std::int64_t HeardAfter(std::int64_t sinceStart) const {
    return segmentStartStream.load() + (sinceStart - OutputOffset() - segmentStartRunning.load());
  }
  // How much of its stream the output reports as played since it started (nanoseconds): what its
  // ring buffer counts as done (for PulseAudio, the server's read index, which moves only when
  // the server mixes the stream into the sink), less what the device still holds. None for an
  // output without a ring buffer, or before it has one.
  std::optional<std::int64_t> PlayedTime() const;
  // The lead-in and the latency that the output adds to the running time of each sample.
  std::int64_t OutputOffset() const;
};
