#include "firmware/download.h"

#include <QLocale>

#include "d2xx/event.h"
#include "link/link.h"
#include "session/discovery.h"
#include "session/session.h"
#include "session/user_prompt.h"
#include "util/hex.h"

namespace firmware {

namespace {

constexpr std::string_view kIdleStatus = "--------";
constexpr std::string_view kConnected = "Connect";

std::string Latin1(const QString &text) {
  return text.toLatin1().toStdString();
}

// The loader's answers at the end of a reply: the number of "Y" after its last line break, when
// nothing else follows that break.
int TrailingAnswers(const std::string &reply) {
  const auto lineFeed = reply.rfind('\n');
  const std::string_view tail =
      std::string_view(reply).substr(lineFeed == std::string::npos ? 0 : lineFeed + 1);
  if (tail.empty() || tail.find_first_not_of('Y') != std::string_view::npos) return 0;
  return static_cast<int>(tail.size());
}

}  // namespace

EndingText TextOf(Ending ending) {
  switch (ending) {
    case Ending::Success:
      return {"Finish", "Download firmware to Vertiko mate is successfully complete"};
    case Ending::ConnectionFailure:
      return {"Error conection",
              "Skarvel you must disconned USB and power adapter up to 1 min\r\n"
              "next, plug in power adapter, connect USB and try again"};
    case Ending::TimeOutFailure:
      return {"ERROR/TIME", "Error TIMEOUT"};
    case Ending::ProtocolError:
      return {"ERROR", "Error"};
    case Ending::None:
      break;
  }
  return {};
}

int OverallMaximum(int lineCount) {
  return (lineCount - kProgressGroup) / kProgressGroup;
}

FirmwareDownload::FirmwareDownload(Session &state, UserPrompt &prompt, DownloadView &display)
    : state_(state), prompt_(prompt), display_(display) {}

FirmwareDownload::~FirmwareDownload() {
  StopNotifying();
  CloseLog();
}

std::string FirmwareDownload::LogPath() const {
  return state_.LogPath();
}

void FirmwareDownload::Reset() {
  CloseLog();
  phase_ = Phase::Idle;
  ending_ = Ending::None;
  status_ = kIdleStatus;
  overallPosition_ = 0;
  linePosition_ = 0;
  logView_.clear();
  logError_.clear();
  logReason_.clear();
  endMessage_.clear();
}

bool FirmwareDownload::Start(std::string_view text, std::size_t storedLength) {
  if (Running()) return false;
  answered_ = false;
  if (!prompt_.Ask(std::string(kConfirmation), state_.Serial())) return false;
  display_.SetBusy(true);

  // The image and the log come first: the start command puts the unit into its loader, and a
  // unit left there without an image to follow does not start again by itself.
  Image image = ReadImage(text, storedLength);
  if (image.lines.empty()) {
    display_.SetBusy(false);
    prompt_.Warn(std::string(image.tooLarge ? kTooLargeMessage : kNoImageMessage));
    return false;
  }
  logError_.clear();
  logReason_.clear();
  endMessage_.clear();
  if (!OpenLog()) {
    display_.SetBusy(false);
    prompt_.Warn(logError_);
    logError_.clear();
    return false;
  }

  image_ = std::move(image);
  ending_ = Ending::None;
  logView_.clear();
  overallMax_ = OverallMaximum(image_.LineCount());
  lineMax_ = kProgressGroup;
  phase_ = Phase::Connecting;
  display_.Show();  // every button disabled

  // A line end first ends whatever part of a line the unit holds (a command cut off by an
  // unplugging), so that the start command is read as a line of its own; the unit's answer to
  // it is only logged.
  SendLineEnd();
  state_.LastSendResult = state_.SendText(std::string(kStartCommand));
  if (!state_.LastSendResult) {
    // A unit that did not get the start command is not in its loader: a "w" would only join
    // its command line.
    display_.SetBusy(false);
    End(Ending::ConnectionFailure, NotConnectedMessage(state_.Serial()));
    return false;
  }
  lineIndex_ = 1;
  bytePosition_ = 1;
  ready_ = false;
  waitTicks_ = 0;
  timeOuts_ = 0;
  attempts_ = 0;
  answers_ = 0;
  sinceLastW_ = 0;
  if (fast_) {
    // The connection goes at the ticks' pace: the first "w" a tick after the start command.
    stepTime_ = Clock();
    due_ = stepTime_ + kTick;
    Notify();
    AwaitNext(stepTime_);
  } else {
    display_.StartTicking();
  }
  display_.SetBusy(false);
  return true;
}

void FirmwareDownload::SendLineEnd() {
  if (state_.SendText(std::string(kLineEnd))) return;
  // The port went with an unplugging: a unit plugged in again is opened anew, as the user's
  // choice opens it (a poll's reopen would take a second poll), so that the download reaches it.
  try {
    state_.Port = OpenConfiguredPort(state_.Serial());
  } catch (const TFT232Exception &) {
    return;  // not there: the start command fails too
  }
  state_.SendText(std::string(kLineEnd));
}

void FirmwareDownload::SetFast(bool fast) {
  if (!Running()) fast_ = fast;
}

std::string FirmwareDownload::TakeReply() {
  std::string reply = state_.ReceiveAll();
  state_.ReplyBuffer = reply;
  overallPosition_ = lineIndex_ / kProgressGroup;
  linePosition_ = lineIndex_ % kProgressGroup + 1;
  if (!reply.empty()) WriteLog(lastSent_ + "<=>" + reply);
  return reply;
}

void FirmwareDownload::Step() {
  if (!Running()) return;
  const std::string reply = TakeReply();

  if (phase_ == Phase::Connecting) {
    TickConnecting(reply);
  } else if (Finished()) {
    End(Ending::Success);
  } else if (ready_) {
    TickSending();
  } else {
    TickWaiting(reply);
  }
}

// A "w" goes out at every tick until the reply is exactly "Y". On a real line the "Y" can come
// in one read with the "OK\r\n" of the start command, or with the "Y" of other "w": the host
// sends a "w" at every tick, the reply takes its time on the line and in the FT232, and the
// loader answers every "w" that comes where a line would begin. Such a reply (one or more "Y"
// after its last line break) shows that the unit is in its loader: no more "w" is sent, and
// the transfer begins when every "w" sent has had its "Y", so that none comes among the replies
// to the image, or when the last "w" has been out for kSettleTicks, when none can be on its way.
void FirmwareDownload::TickConnecting(const std::string &reply) {
  if (answers_ == 0 && reply == "Y") {
    answered_ = true;
    Connected();
    return;
  }
  const int answers = TrailingAnswers(reply);
  if (answers_ > 0 || answers > 0) {
    answered_ = true;
    answers_ += answers;
    if (answers_ >= attempts_ || ++sinceLastW_ >= kSettleTicks) Connected();
    return;
  }
  state_.LastSendResult = state_.SendText("w");
  lastSent_ = ByteToHex('w');
  sinceLastW_ = 0;
  if (++attempts_ > kConnectionAttempts) {
    attempts_ = 0;
    End(Ending::ConnectionFailure);
  }
}

void FirmwareDownload::Connected() {
  status_ = kConnected;
  MakeReady();
  RestartWait();
  phase_ = Phase::Transferring;
}

void FirmwareDownload::MakeReady() {
  ready_ = true;
  readyAt_ = stepTime_;
}

void FirmwareDownload::RestartWait() {
  waitTicks_ = 0;
  waitSince_ = stepTime_;
}

void FirmwareDownload::TickSending() {
  // The byte is tried again next tick; a unit that has gone away must not be waited for without
  // end, so these ticks count as waiting for a reply.
  if (!SendByte() && ++waitTicks_ > kWaitLimit) TimeOut();
}

bool FirmwareDownload::SendByte() {
  const std::uint8_t byte = image_.lines[static_cast<std::size_t>(lineIndex_ - 1)]
                                        [static_cast<std::size_t>(bytePosition_ - 1)];
  const bool sent = state_.SendText(std::string(1, static_cast<char>(byte)));
  state_.LastSendResult = sent;
  lastSent_ = ByteToHex(byte);
  if (!sent) {
    colour_ = StatusColour::Retry;
    return false;
  }
  ready_ = false;
  ++bytePosition_;
  RestartWait();
  colour_ = StatusColour::Written;
  if (bytePosition_ > static_cast<int>(kLineBytes)) {
    bytePosition_ = 1;
    ++lineIndex_;
  }
  return true;
}

bool FirmwareDownload::TimeOut() {
  // A line whose tenth byte the unit never acknowledged is sent again, not skipped.
  const bool afterTenthByte = !ready_ && bytePosition_ == 1;
  MakeReady();
  if (++timeOuts_ > kTimeOutLimit) {
    End(Ending::TimeOutFailure);
    return false;
  }
  RestartWait();
  if (afterTenthByte && lineIndex_ > 1) --lineIndex_;
  bytePosition_ = 1;
  colour_ = StatusColour::TimedOut;
  return true;
}

void FirmwareDownload::TickWaiting(const std::string &reply) {
  // Byte position 1 while waiting: the reply awaited is to the tenth byte of the line before the
  // line index.
  if (++waitTicks_ > kWaitLimit) {
    if (!TimeOut()) return;
  }
  Evaluate(reply);
}

bool FirmwareDownload::Finished() const {
  const int lines = image_.LineCount();
  return lineIndex_ >= lines + kFinishOffset || (ready_ && lineIndex_ > lines);
}

void FirmwareDownload::Evaluate(const std::string &reply) {
  if (reply == "P") {
    // Within a line the unit wants the line again; after its tenth byte the unit has kept the
    // line and the next one follows. The last line has no next one: the unit gets it again, as
    // only its "K" or "Z" tells that the unit took the whole image.
    if (bytePosition_ == 1 && lineIndex_ == image_.LineCount() + 1) --lineIndex_;
    MakeReady();
    RestartWait();
    bytePosition_ = 1;
    colour_ = StatusColour::Retry;
  }
  if (!reply.empty() && reply[0] == 'Z') lineIndex_ = image_.LineCount() + kFinishOffset;
  // The wait ticks count again from zero for a byte that cannot be sent.
  if (reply == "O" && bytePosition_ > 1) {
    MakeReady();
    RestartWait();
  }
  if (reply == "K") {
    MakeReady();
    RestartWait();
    if (bytePosition_ != 1) {
      bytePosition_ = 1;
      return;
    }
  }
  if ((reply == "O" && bytePosition_ == 1) || reply == "E") End(Ending::ProtocolError);
}

// A fast transfer. A step that waits for a reply reads the port whenever it is woken: by the
// port's data, or at the end of the wait. Every other step (the connection's, a line's pause, a
// byte tried again, the end) runs only when its time has come, as the tick it stands for would,
// and reads the port only then.
void FirmwareDownload::Wake() {
  if (!Running() || !fast_) return;
  stepTime_ = Clock();
  if (!AwaitingReply() && stepTime_ < due_) {
    AwaitNext(stepTime_);
    return;
  }
  if (phase_ == Phase::Connecting) {
    Step();
    if (!Running()) return;
    due_ = stepTime_ + kTick;  // the next "w", or byte 1 of line 1 a tick after the "Y"
    AwaitNext(stepTime_);
    return;
  }
  StepTransferring(stepTime_);
}

void FirmwareDownload::StepTransferring(std::chrono::nanoseconds now) {
  const std::string reply = TakeReply();
  if (Finished()) {
    End(Ending::Success);
    return;
  }
  if (!ready_) {
    if (now - waitSince_ > kWaitTime) {
      if (!TimeOut()) return;
    }
    Evaluate(reply);
    if (!Running()) return;
  }
  if (Finished()) {
    due_ = now + kTick;  // the last line taken, or "Z": the end comes at the next tick
  } else if (ready_) {
    if (bytePosition_ == 1 && now < readyAt_ + kLinePause) {
      due_ = readyAt_ + kLinePause;
    } else if (!SendByte()) {
      if (now - waitSince_ > kWaitTime && !TimeOut()) return;
      due_ = now + kTick;
    }
  }
  AwaitNext(now);
}

bool FirmwareDownload::AwaitingReply() const {
  return phase_ == Phase::Transferring && !ready_ && !Finished();
}

void FirmwareDownload::AwaitNext(std::chrono::nanoseconds now) {
  int descriptor = -1;
  if (AwaitingReply()) {
    // The wait runs out when more than its time has passed.
    due_ = waitSince_ + kWaitTime + std::chrono::milliseconds(1);
    Notify();
    if (notifying_)
      descriptor = event_->Descriptor();
    else
      due_ = std::min(due_, now + kPollInterval);
  }
  display_.Await(descriptor, std::max(std::chrono::nanoseconds(0), due_ - now));
}

// The port to wake the transfer on its data: ReceiveAll may have opened the unit again.
void FirmwareDownload::Notify() {
  const FT_HANDLE handle = state_.Port ? state_.Port->Handle : nullptr;
  if (handle == notified_) return;
  StopNotifying();
  if (!handle) return;
  if (!event_) event_ = std::make_unique<d2xx::EventHandle>();
  notified_ = handle;
  notifying_ =
      event_->Valid() && FT_SetEventNotification(handle, FT_EVENT_RXCHAR, event_.get()) == FT_OK;
}

void FirmwareDownload::StopNotifying() {
  if (notifying_ && state_.Port && state_.Port->Handle == notified_)
    FT_SetEventNotification(notified_, 0, nullptr);
  notified_ = nullptr;
  notifying_ = false;
}

void FirmwareDownload::End(Ending ending, const std::string &message) {
  display_.StopTicking();
  StopNotifying();
  const EndingText text = TextOf(ending);
  status_ = text.status;
  if (ending == Ending::Success) {
    overallPosition_ = overallMax_ + 1;
    linePosition_ = lineMax_ + 1;
  }
  display_.Show();
  endMessage_ = message.empty() ? std::string(text.message) : message;
  if (ending == Ending::Success)
    prompt_.Inform(endMessage_);
  else
    prompt_.Warn(endMessage_);

  phase_ = Phase::Ended;
  ending_ = ending;
  WriteLog(kLogRule);
  WriteLog(Stamp());
  CloseLog();
  QFile file(QString::fromStdString(LogPath()));
  if (file.open(QIODevice::ReadOnly)) logView_ = file.readAll().toStdString();
  display_.Show();
  if (!logError_.empty()) {
    prompt_.Warn(logError_);
    logError_.clear();
  }
}

void FirmwareDownload::Stop() {
  if (!Running()) return;
  display_.StopTicking();
  StopNotifying();
  CloseLog();
  logError_.clear();
  phase_ = Phase::Idle;
}

void FirmwareDownload::StopByUser() {
  if (!Running()) return;
  WriteLog(kLogRule);
  WriteLog(Stamp());
  WriteLog(kStoppedByUser);
  Stop();
}

std::string FirmwareDownload::Stamp() const {
  const QDateTime now = Now();
  const QLocale locale = QLocale::system();
  return Latin1(locale.toString(now.date(), QLocale::ShortFormat)) + "-" +
         Latin1(locale.toString(now.time(), QLocale::LongFormat));
}

bool FirmwareDownload::OpenLog() {
  CloseLog();
  const QString path = QString::fromStdString(LogPath());
  if (QFile::exists(path)) QFile::remove(path);
  log_.setFileName(path);
  // Unbuffered: every line reaches the file at once, and a failure shows at the line.
  if (!log_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
    logError_ = "Cannot create file " + LogPath() + ": " + Latin1(log_.errorString());
    return false;
  }
  WriteLog(Stamp());
  WriteLog(kLogRule);
  WriteLog(kLogHeading);
  if (!logError_.empty()) {
    CloseLog();
    return false;
  }
  return true;
}

void FirmwareDownload::WriteLog(std::string_view line) {
  if (!log_.isOpen() || !logError_.empty()) return;
  std::string bytes(line);
  bytes += "\r\n";
  if (log_.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
      static_cast<qint64>(bytes.size())) {
    logReason_ = Latin1(log_.errorString());
    logError_ = "Cannot write to file " + LogPath() + ": " + logReason_;
  }
}

std::string FirmwareDownload::OutcomeMessage() const {
  if (!Ok() || logReason_.empty()) return endMessage_;
  return endMessage_ + "; the transfer log could not be written: " + logReason_;
}

void FirmwareDownload::CloseLog() {
  if (log_.isOpen()) log_.close();
}

Controls EnabledControls(Phase phase, bool fileLoaded) {
  switch (phase) {
    case Phase::Idle:
      return {true, fileLoaded, true};
    case Phase::Connecting:
    case Phase::Transferring:
      return {false, false, false};
    case Phase::Ended:
      return {false, false, true};
  }
  return {};
}

}  // namespace firmware
