// The audio player: plays one audio file (WAV, MP3, WMA or the sound of an AVI file) to one sound
// output device, with GStreamer. Positions are in 100 ns units, volume and balance in hundredths
// of a decibel, and failures carry the result codes and texts that the recorder shows.
#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "recorder/audio_result.h"
#include "recorder/media_types.h"
#include "recorder/player.h"

typedef struct _GstElement GstElement;

class TAudioPlay;
struct AudioPipeline;

// The handler of the sample tap, OnBuffer. It is called on a GStreamer streaming thread, once for
// every buffer of decoded audio, with the bytes of the buffer (in the format of WaveFormat); what
// the preroll of a Play decodes again is not handed on twice (a position set is decoded afresh and
// handed on again). It may be set or replaced at any time from the main thread; the handler must
// not wait for the main thread.
class TBufferHandler {
 public:
  using Function =
      std::function<void(TAudioPlay *Sender, const std::uint8_t *Data, std::size_t Length)>;

  TBufferHandler &operator=(Function function);
  explicit operator bool() const;
  void operator()(TAudioPlay *Sender, const std::uint8_t *Data, std::size_t Length) const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Function> function_;
};

// Reads the player's bus on the main thread: it watches the bus's descriptor with a socket
// notifier and lets the player handle what arrived. An error that the handling raises is kept
// and raised again by the player's next operation, so that nothing leaves the event loop.
class TAudioPlayEventListener : public QObject {
 public:
  TAudioPlayEventListener(TAudioPlay &player, int busDescriptor);
  ~TAudioPlayEventListener() override;
  // Runs a step of the player after `milliseconds` (unless the listener is gone by then).
  void After(int milliseconds, std::function<void()> step);

 private:
  TAudioPlay &player_;
  class QSocketNotifier *notifier_;
};

// One opened audio file on one output device. Everything but OnBuffer runs on the main thread,
// which must run a Qt event loop for the end of the stream to be noticed.
class TAudioPlay {
 public:
  using TCompleteHandler = std::function<void(TAudioPlay *Sender)>;

  // Opens `FileName` and builds its playback on the device at `DeviceIndex` of `AudioDeviceList`
  // (the output-device list made at start-up), or on the system's default output when the index
  // lies outside the list. The file is prerolled: afterwards the player is stopped (State 0) at
  // the start of the file, with Duration, Capabilities and WaveFormat known. Raises
  // EAudioPlayError on any failure. `OnBuffer` given here also sees the first buffer, which
  // passes the tap while the file is opened.
  TAudioPlay(QObject *Owner, const std::string &FileName, int DeviceIndex,
             const std::vector<std::string> &AudioDeviceList,
             TBufferHandler::Function OnBuffer = {});
  // Stops the bus reading, the pipeline (to NULL) and the tap, then frees everything.
  ~TAudioPlay();
  TAudioPlay(const TAudioPlay &) = delete;
  TAudioPlay &operator=(const TAudioPlay &) = delete;

  // Change the state and return when the pipeline has reached it: State 2, 1 or 0. Stop keeps
  // the position (the caller seeks to 0 where it wants the start). A state that is not reached
  // within StateWaitLimit raises EAudioPlayError and leaves State as it was. An error that
  // GStreamer reported since the last call is raised by the next Play, Pause, Stop,
  // GetPosition or SetPosition (once).
  // Play starts the output afresh every time (a new stream of the sound server, prerolled at the
  // position kept), whatever the server did before and however long the file stood open: the
  // first sample is heard 30 to 45 ms after Play (the output's lead-in of 30 ms). After Stop or
  // Pause it goes on from where the output stood (GetPosition); what the output held then is
  // skipped.
  void Play();
  void Pause();
  void Stop();

  // Current position in 100 ns units: where the output stands in the file, to the buffer (a
  // few tens of milliseconds ahead of what is heard while running); while stopped or paused,
  // where Play goes on from; after the end of the stream, the duration.
  std::int64_t GetPosition();
  // Where the sound that the output reports as heard now stands in the file, in 100 ns units, by
  // the output's own account (the part of its stream that it reports as played, then real time,
  // less the lead-in and its latency): while running, below the position Play went on from until
  // the first sample of this run is heard (by the time still to go); none while not running or
  // while the output has not begun to play the stream of this Play. Meant for the start of a
  // Play: a position set while running is not taken into account.
  std::optional<std::int64_t> HeardPosition();
  // Flags: AM_SEEKING_AbsolutePositioning (Position from the start), RelativePositioning (from
  // the current position) or NoPositioning (nothing happens). The stop position stays the end.
  void SetPosition(std::int64_t Position, std::uint32_t Flags = AM_SEEKING_AbsolutePositioning);
  // Always TIME_FORMAT_MEDIA_TIME.
  TGuid GetTimeFormat() const;

  // Volume: hundredths of a decibel, -10000 (silence) to 0 (full). Balance: -10000 (left only)
  // to 10000 (right only); the other channel is attenuated by |Value| / 100 dB. Values outside
  // the ranges raise E_INVALIDARG.
  std::int32_t GetVolume() const { return volume_; }
  void SetVolume(std::int32_t Value);
  std::int32_t GetBalance() const { return balance_; }
  void SetBalance(std::int32_t Value);

  // Takes the bus messages that have arrived. At the end of the stream (which the output reports
  // when its last sample is heard, by the output's clock), once the output has played out what it
  // still holds by its own account (polled every 10 ms, for at most 2 s) and 20 ms more, the player
  // stops at the end (it does not rewind; the position then reads as the duration) and calls
  // OnComplete, unless it has been played or moved meanwhile. An end of stream that a later
  // flushing seek has left behind (told by the sequence numbers of the seek and of the segment that
  // the end closes) is dropped; the one that the seek leads to, even at once, is kept. The listener
  // calls it.
  void HandleGraphEvents();

  QObject *Owner() const { return owner_; }
  const std::string &FileName() const { return fileName_; }
  int DeviceIndex() const { return deviceIndex_; }
  // Length of the file in 100 ns units; 0 unless it can be known.
  std::int64_t Duration() const { return duration_; }
  std::uint32_t Capabilities() const { return capabilities_; }
  // 0 stopped, 1 paused, 2 running.
  int State() const { return state_; }
  bool HasGrabber() const { return hasGrabber_; }
  // The format of the decoded audio as it passes the tap; present when HasGrabber.
  const std::optional<TWaveFormatEx> &WaveFormat() const { return waveFormat_; }

  // The bound on every wait for a state (5 s unless changed).
  std::chrono::milliseconds StateWaitLimit{5000};

  // The pipeline, for inspection.
  GstElement *Pipeline() const;

  // Called after the player has reacted to the end of the stream; may be unset.
  TCompleteHandler OnComplete;
  // Called for every buffer of decoded audio; may be unset. See TBufferHandler.
  TBufferHandler OnBuffer;

 private:
  friend class TAudioPlayEventListener;

  void ChangeState(int target);
  void WaitForPreroll(const char *what);
  void Seek(std::int64_t target, bool fromCaller);
  std::int64_t OutputPosition() const;
  void AwaitPlayout(std::uint64_t run, std::chrono::steady_clock::time_point deadline);
  void CompleteStream(std::uint64_t run);
  void RaisePendingError();
  void KeepError(std::exception_ptr error);

  QObject *owner_;
  std::string fileName_;
  int deviceIndex_;
  std::int64_t duration_ = 0;
  std::uint32_t capabilities_ = 0;
  int state_ = 0;
  bool hasGrabber_ = false;
  std::optional<TWaveFormatEx> waveFormat_;
  std::int32_t volume_ = 0;
  std::int32_t balance_ = 0;
  bool atEnd_ = false;
  std::int64_t keptPosition_ = 0;  // where Play goes on from, while not running
  std::uint64_t run_ = 0;          // counts the starts and moves of playback
  // The sequence number of the segment whose end the player waits for: that of the latest
  // flushing seek, or of the preroll of a Play from the start. An end of stream that closes
  // another segment belongs to a position left behind. GST_SEQNUM_INVALID (0): any.
  std::uint32_t eosSeqnum_ = 0;
  // When the output began to play the stream of this run, by its report; none until it has.
  std::optional<std::chrono::steady_clock::time_point> soundBegan_;
  std::exception_ptr pendingError_;

  std::unique_ptr<AudioPipeline> graph_;
  // Declared after the graph, so that it is destroyed first: no bus reading during teardown.
  std::unique_ptr<TAudioPlayEventListener> Listener;
};

namespace recorder {

// A Player that owns a TAudioPlay.
class AudioPlayPlayer : public Player {
 public:
  explicit AudioPlayPlayer(std::unique_ptr<TAudioPlay> play) : play_(std::move(play)) {}
  void Play() override { play_->Play(); }
  void Pause() override { play_->Pause(); }
  void Stop() override { play_->Stop(); }
  void SetPosition(std::int64_t position, std::uint32_t flags) override {
    play_->SetPosition(position, flags);
  }
  std::int64_t GetPosition() override { return play_->GetPosition(); }
  std::optional<std::int64_t> HeardPosition() override { return play_->HeardPosition(); }
  TGuid GetTimeFormat() const override { return play_->GetTimeFormat(); }
  std::int64_t Duration() const override { return play_->Duration(); }
  std::uint32_t Capabilities() const override { return play_->Capabilities(); }
  std::int32_t GetVolume() const override { return play_->GetVolume(); }
  void SetVolume(std::int32_t value) override { play_->SetVolume(value); }
  std::int32_t GetBalance() const override { return play_->GetBalance(); }
  void SetBalance(std::int32_t value) override { play_->SetBalance(value); }

  TAudioPlay &Audio() { return *play_; }

 private:
  std::unique_ptr<TAudioPlay> play_;
};

}  // namespace recorder
