#include "recorder/audio_play.h"

#include <QSocketNotifier>
#include <QTimer>
#include <thread>

#include "recorder/audio_pipeline.h"

namespace {

// After the end of the stream, the output is polled this often for what it still holds, and
// given at most this long to play it out before the player stops it.
constexpr int kPlayoutPollMilliseconds = 10;
constexpr int kPlayoutLimitMilliseconds = 2000;
// Less than this left in the output counts as played out; the stop then comes this much later
// still, for what the output's account of itself (an estimate between its reports) misses.
constexpr gint64 kPlayedOut = 2 * GST_MSECOND;
constexpr int kPlayoutMarginMilliseconds = 20;

}  // namespace

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

TAudioPlay::TAudioPlay(QObject *Owner, const std::string &FileName, int DeviceIndex,
                       const std::vector<std::string> &AudioDeviceList,
                       TBufferHandler::Function OnBuffer)
    : owner_(Owner), fileName_(FileName), deviceIndex_(DeviceIndex) {
  this->OnBuffer = std::move(OnBuffer);
  graph_ = std::make_unique<AudioPipeline>(
      [this](const std::uint8_t *Data, std::size_t Length) { this->OnBuffer(this, Data, Length); });
  AudioPipeline &g = *graph_;
  g.Build(fileName_, AudioDeviceList, deviceIndex_);
  hasGrabber_ = g.tapProbe != 0;

  // Preroll: afterwards the streams are known and the first buffer waits at the output.
  gst_element_set_state(g.pipeline, GST_STATE_PAUSED);
  WaitForPreroll("open");
  g.CheckConnected();
  if (hasGrabber_) waveFormat_ = g.TapFormat();
  capabilities_ = g.Capabilities(duration_);

  Listener = std::make_unique<TAudioPlayEventListener>(*this, g.BusDescriptor());
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
  if (std::optional<AudioFailure> failure = graph_->TakeFailure()) RaiseAudioFailure(*failure);
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
    if (std::optional<AudioFailure> failure = graph_->TakeFailure()) RaiseAudioFailure(*failure);
    if (result == GST_STATE_CHANGE_FAILURE) {
      // The element that failed reports why on the bus, possibly from a thread of its own.
      const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (std::chrono::steady_clock::now() < grace) {
        if (std::optional<AudioFailure> failure = graph_->TakeFailure())
          RaiseAudioFailure(*failure);
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
  if (target != 2) soundBegan_.reset();
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
  AudioPipeline &g = *graph_;
  const std::int64_t from = atEnd_ && duration_ > 0 ? duration_ : keptPosition_;
  // The preroll from READY stands at the start of the file: from there, no seek is needed.
  const bool fromStart = from == 0 || !(capabilities_ & AudioCapability::CanSeekAbsolute);
  ++run_;
  soundBegan_.reset();
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

// The output's clock may run on while the output plays nothing (PulseAudio interpolates its
// stream's time between its reports, and a sink that has rendered far ahead takes a new stream
// only when it has played that out): the sound is taken as begun when the output reports a first
// part of the stream as played, and goes on in real time from then.
std::optional<std::int64_t> TAudioPlay::HeardPosition() {
  RaisePendingError();
  if (state_ != 2) return std::nullopt;
  const auto now = std::chrono::steady_clock::now();
  const std::optional<std::int64_t> played = graph_->PlayedTime();
  if (!played) {
    // An output without a ring buffer: its clock is all it reports.
    const std::optional<std::int64_t> heard = graph_->HeardTime();
    if (!heard) return std::nullopt;
    return *heard / 100;
  }
  // Each report puts the beginning no later than now less what it counts as played; the report
  // read soonest after the output made it tells best.
  if (*played > 0) {
    const auto began = now - std::chrono::nanoseconds(*played);
    if (!soundBegan_ || began < *soundBegan_) soundBegan_ = began;
  }
  if (!soundBegan_) return std::nullopt;
  const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(now - *soundBegan_);
  return graph_->HeardAfter(since.count()) / 100;
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
  graph_->SetVolume(Value);
  volume_ = Value;
}

void TAudioPlay::SetBalance(std::int32_t Value) {
  if (Value < -10000 || Value > 10000) CheckResult(AudioResult::E_INVALIDARG);
  if (Value == balance_) return;
  graph_->SetBalance(Value);
  balance_ = Value;
}

void TAudioPlay::HandleGraphEvents() {
  if (!graph_ || graph_->bus == nullptr) return;
  // Errors are kept by the bus handler; the ends of stream are taken here.
  while (std::optional<std::uint32_t> seqnum = graph_->NextEndOfStream()) {
    // The end of a stretch that a later flushing seek has left behind.
    if (eosSeqnum_ != GST_SEQNUM_INVALID && graph_->SegmentEnded(*seqnum) != eosSeqnum_) continue;
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
