// The firmware download: writes a firmware image into the unit's loader over the link, one byte
// or one reply per tick of the firmware window's 5 ms timer; or, as a fast transfer, each byte as
// soon as the reply to the one before has been read.
//
// The start sends "AT@#\r\n", which puts the unit into its loader; each tick then sends "w" until
// the unit answers "Y", and afterwards sends the image one byte at a time, waiting after each
// byte for the loader's one-character reply ("O" after bytes 1 to 9 of a line, "K" after the
// tenth, "Z" after the end line, "P" to have a line again, "E" on an error). Every exchange goes
// into the session's transfer log (LOG_file1.TXT in the program folder for the windows).
#pragma once

#include <QDateTime>
#include <QFile>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "d2xx/ftd2xx.h"
#include "firmware/image_reader.h"
#include "session/exchange.h"

struct Session;
namespace d2xx {
class EventHandle;
}
class UserPrompt;

namespace firmware {

inline constexpr int kTickInterval = 5;          // ms, the period of the ticks
inline constexpr int kConnectionAttempts = 100;  // the 101st "w" ends the download
inline constexpr int kWaitLimit = 50;            // the 51st tick of waiting is a time-out
inline constexpr int kTimeOutLimit = 10;         // the 11th time-out ends the download
inline constexpr int kFinishOffset = 100000;     // added to the line count on "Z"
inline constexpr int kProgressGroup = 10;        // lines per step of the overall progress

// Ticks after the last "w" within which its "Y" has come on any line (an FT232 holds a reply up
// to its latency timer, 16 ms without the udev rule).
inline constexpr int kSettleTicks = 10;

// A fast transfer keeps the times of the ticks: a wait for a reply runs out after 50 ticks'
// time, a byte that could not be sent is tried again a tick later, and the connection and the
// end go at the ticks' pace. Its one pause: byte 1 of a line goes out no sooner than a tick
// after the reply that let it go (the "K" of the line before), as at the ticks' pace, so that
// the unit has the time to store a line.
inline constexpr std::chrono::milliseconds kTick{kTickInterval};
inline constexpr std::chrono::milliseconds kWaitTime{kWaitLimit * kTickInterval};
inline constexpr std::chrono::milliseconds kLinePause{kTickInterval};
// How often a fast transfer looks for a reply on a port that cannot wake it on received data.
inline constexpr std::chrono::milliseconds kPollInterval{1};

inline constexpr std::string_view kLineEnd = "\r\n";  // sent before the start command
inline constexpr std::string_view kStartCommand = "AT@#\r\n";
inline constexpr std::string_view kLogRule = "========================";
inline constexpr std::string_view kLogHeading = "POSLAL<=>PRIJAL";
inline constexpr std::string_view kStoppedByUser = "stopped by the user";

inline constexpr std::string_view kConfirmation =
    "Upgrade time is cca 10minutes.\n"
    "Whole time upgrade you mustn't interrupt connection between PC and Skarvel.\n"
    "Attention, you mustn't interrupt power supply.\n"
    "\n"
    "Are you sure upgrade new firmware into Skarvel ?";
inline constexpr std::string_view kNoImageMessage =
    "Error file: the file holds no firmware data for the unit.\nNothing was sent to Skarvel.";
inline constexpr std::string_view kTooLargeMessage =
    "Error file: the file holds more firmware lines than the transfer takes (2050).\n"
    "Nothing was sent to Skarvel.";

enum class Phase { Idle, Connecting, Transferring, Ended };
enum class Ending { None, Success, ConnectionFailure, TimeOutFailure, ProtocolError };

// Background colours of the status label, as 0xRRGGBB.
enum class StatusColour : std::uint32_t {
  None = 0xFFFFFFFF,    // the label's own colour
  Written = 0xC0DCC0,   // light green: a byte was written
  Retry = 0x0000FF,     // blue: a write failed, or the unit asked for the line again
  TimedOut = 0xFF00FF,  // magenta: a wait ran out
};

struct EndingText {
  std::string_view status;
  std::string_view message;
};
EndingText TextOf(Ending ending);

// The maximum of the overall progress bar for an image of `lineCount` lines: groups of ten,
// minus one, truncated toward zero.
int OverallMaximum(int lineCount);

// Which controls of the window may be used: open and cancel when no download runs, write when
// moreover a file is loaded; nothing during a download; only cancel after its end.
struct Controls {
  bool open = false;
  bool write = false;
  bool cancel = false;
  bool operator==(const Controls &) const = default;
};
Controls EnabledControls(Phase phase, bool fileLoaded);

// What the download drives besides message boxes: the ticks run from the start to an ending;
// Show shows the download's state now: status, colour, progress and controls (before a message
// box).
class DownloadView : public ExchangeView {
 public:
  virtual void SetBusy(bool busy) = 0;  // the application's busy cursor
  // A fast transfer: call FirmwareDownload::Wake when `descriptor` turns readable (-1: watch
  // none), or when `wait` has passed, whichever comes first. Each call replaces the one before;
  // StopTicking ends it.
  virtual void Await(int descriptor, std::chrono::nanoseconds wait) = 0;
};

class FirmwareDownload : public Exchange {
 public:
  FirmwareDownload(Session &state, UserPrompt &prompt, DownloadView &display);
  ~FirmwareDownload();
  FirmwareDownload(const FirmwareDownload &) = delete;
  FirmwareDownload &operator=(const FirmwareDownload &) = delete;

  // Back to idle when the window is shown again: status "--------", progress at zero, no log
  // view. The colour of the status and the last byte sent stay.
  void Reset();

  // Asks the user, reads the image from the file view's text, creates the log, sends a line end
  // (opening the unit anew when it was unplugged and plugged in again since its port was opened)
  // and the start command and starts the timer. False when nothing was started (the user said
  // No, the image is empty or too large, the log cannot be created; nothing has been sent then),
  // and when the start command could not be sent: the download has then ended at once as a
  // connection failure, "USB device <serial> not connected", without a "w".
  bool Start(std::string_view text, std::size_t storedLength);

  // One tick.
  void Step() override;

  // Fast transfer, chosen before a start (not while a download runs): the next byte goes out as
  // soon as the unit's reply to the one before has been read, woken by the port's received data;
  // every other rule stays. The download is then stepped by Wake as DownloadView::Await asks.
  void SetFast(bool fast);
  bool Fast() const { return fast_; }
  void Wake();

  // The window closes during a download (or the job is broken off): it stops where it is; the
  // log is closed without its footer, so that what was written stays on disk.
  void Stop() override;
  // The user stopped the download (and said so when asked): it stops where it is, and the log
  // gets its footer with a last line saying so.
  void StopByUser();

  // The clock of the log's dates and times (tests set a fixed one).
  std::function<QDateTime()> Now = [] { return QDateTime::currentDateTime(); };
  // The clock of a fast transfer's waits (tests set the units' clock).
  std::function<std::chrono::nanoseconds()> Clock = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
  };

  // State shown by the window.
  Phase CurrentPhase() const { return phase_; }
  bool Running() const override {
    return phase_ == Phase::Connecting || phase_ == Phase::Transferring;
  }
  Ending Result() const { return ending_; }
  // The job's outcome once ended: ok when the unit took the image whole (its end line answered),
  // with the ending's text; when the transfer log could not be written, the unit still carries
  // what it took, and the text says "; the transfer log could not be written: <reason>" after it.
  bool Ok() const { return ending_ == Ending::Success; }
  std::string OutcomeMessage() const;
  const std::string &Status() const { return status_; }
  StatusColour Colour() const { return colour_; }
  int OverallMax() const { return overallMax_; }
  int OverallPosition() const { return overallPosition_; }
  int LineMax() const { return lineMax_; }
  int LinePosition() const { return linePosition_; }
  // The transfer log as read back from its file after the ending (Latin-1 bytes).
  const std::string &LogView() const { return logView_; }
  std::string LogPath() const;

  // Transfer state.
  const Image &CurrentImage() const { return image_; }
  int LineIndex() const { return lineIndex_; }
  int BytePosition() const { return bytePosition_; }
  bool Ready() const { return ready_; }
  int WaitTicks() const { return waitTicks_; }
  int TimeOuts() const { return timeOuts_; }
  int Attempts() const { return attempts_; }
  // "Y" counted while connecting after the first that came with other bytes.
  int Answers() const { return answers_; }
  // The unit answered "Y" in the last download: it sits in its loader until a download completes.
  bool Answered() const { return answered_; }
  const std::string &LastSent() const { return lastSent_; }

 private:
  // The line end before the start command; a port lost to an unplugging is opened anew first.
  void SendLineEnd();
  void TickConnecting(const std::string &reply);
  void Connected();
  void TickSending();
  void TickWaiting(const std::string &reply);
  // Reads the reply and shows the progress: the first steps of every tick.
  std::string TakeReply();
  // The reply to the byte sent, once a wait that ran out has been counted.
  void Evaluate(const std::string &reply);
  // Sends the byte at the line index and byte position; false when the send failed.
  bool SendByte();
  void MakeReady();
  void RestartWait();
  // The unit has taken the whole image: it answered the last line's tenth byte with "K", or it
  // answered "Z". The next step ends with success.
  bool Finished() const;
  // Fast transfer.
  void StepTransferring(std::chrono::nanoseconds now);
  void AwaitNext(std::chrono::nanoseconds now);
  bool AwaitingReply() const;
  void Notify();
  void StopNotifying();
  // A wait that ran out (or a byte that could not be sent for as long): false when it was the
  // last time-out allowed and the download has ended.
  bool TimeOut();
  // Ends with the ending's message, or with `message` in its place.
  void End(Ending ending, const std::string &message = {});

  bool OpenLog();
  void WriteLog(std::string_view line);
  void CloseLog();
  std::string Stamp() const;

  Session &state_;
  UserPrompt &prompt_;
  DownloadView &display_;

  Phase phase_ = Phase::Idle;
  Ending ending_ = Ending::None;
  std::string status_ = "-----------";
  StatusColour colour_ = StatusColour::None;
  int overallMax_ = 0, overallPosition_ = 0, lineMax_ = kProgressGroup, linePosition_ = 0;

  Image image_;
  int attempts_ = 0;
  int answers_ = 0;  // "Y" received since the unit was seen in its loader
  bool answered_ = false;
  int sinceLastW_ = 0;  // ticks since the last "w" was sent
  int lineIndex_ = 1;
  int bytePosition_ = 1;
  bool ready_ = false;
  int waitTicks_ = 0;
  int timeOuts_ = 0;
  std::string lastSent_;

  // Fast transfer.
  bool fast_ = false;
  std::unique_ptr<d2xx::EventHandle> event_;  // received data on the port
  FT_HANDLE notified_ = nullptr;              // the port's handle that notifies event_
  bool notifying_ = false;                    // notified_ accepted the notification
  std::chrono::nanoseconds stepTime_{};       // the time of the step running
  std::chrono::nanoseconds due_{};            // the next step, unless a reply wakes one sooner
  std::chrono::nanoseconds waitSince_{};      // wait ticks zeroed: the wait's time starts
  std::chrono::nanoseconds readyAt_{};        // ready set: a line's pause starts

  QFile log_;
  std::string logError_;    // the first failure to write the log during a download
  std::string logReason_;   // its reason, kept after the ending
  std::string endMessage_;  // the text the download ended with
  std::string logView_;
};

}  // namespace firmware
