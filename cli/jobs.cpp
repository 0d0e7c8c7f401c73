#include "cli/jobs.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <exception>
#include <thread>

#include "console/console_session.h"
#include "console/send_reply.h"
#include "firmware/download.h"
#include "recorder/audio_play.h"
#include "recorder/recording.h"
#include "session/exchange.h"
#include "session/session.h"
#include "session/timer_view.h"
#include "settings/settings_exchange.h"

namespace cli {

void KeptPrompt::Inform(const std::string &text, const std::string &) {
  texts_.push_back(text);
}

bool KeptPrompt::Ask(const std::string &, const std::string &) {
  return true;
}

namespace {

// What every job has: the timers' owner on the unit's thread, the prompt and the one ending.
class JobBase : public UnitJob {
 protected:
  explicit JobBase(Session &session) : session_(session) {}

  QTimer *MakeTimer(int interval, bool precise = false) {
    auto *timer = new QTimer(&owner_);
    timer->setInterval(interval);
    if (precise) timer->setTimerType(Qt::PreciseTimer);
    return timer;
  }

  void Report(Progress progress) {
    if (progress == shown_ || ended_) return;
    shown_ = progress;
    if (Progressed) Progressed(progress);
  }

  void Finish(bool ok, const std::string &message) {
    if (ended_) return;
    ended_ = true;
    for (QTimer *timer : owner_.findChildren<QTimer *>()) timer->stop();
    if (Ended) Ended(ok, message);
  }

  // Runs one step of the exchange as the window's handler guard does: an exception ends the job
  // with its text after `stop` has stopped the exchange.
  template <class Step, class Stop>
  bool Guard(Step &&step, Stop &&stop) {
    try {
      step();
      return true;
    } catch (const std::exception &e) {
      stop();
      Finish(false, e.what());
    } catch (...) {
      stop();
      Finish(false, "Unknown error");
    }
    return false;
  }

  bool Over() const { return ended_; }

  Session &session_;
  KeptPrompt prompt_;
  QObject owner_;

 private:
  Progress shown_;
  bool ended_ = false;
};

// The settings write ("AT@NORM" and the 26 parameter lines, stepped every 80 ms) and the default
// command ("AT@DEFAULT", stepped every 50 ms for its "OK").
template <class ExchangeType>
class SettingsJob : public JobBase, public TimerView {
 public:
  // The settings write of these fields.
  SettingsJob(Session &session, const settings::ParameterFields &fields, int interval)
      : JobBase(session), exchange_(session, fields, prompt_, *this) {
    Tick(interval);
  }
  // The default command, which puts the defaults into fields of its own.
  SettingsJob(Session &session, int interval)
      : JobBase(session), exchange_(session, fields_, prompt_, *this) {
    Tick(interval);
  }

  void Begin() override {
    if (!Guard([&] { exchange_.Start(); }, [&] { Interrupt(); })) return;
    Report(Shown());
  }

  void Interrupt() override {
    exchange_.Stop();
    Timer()->stop();
  }

  QJsonObject EndDetails() const override { return jobs::EndDetails(exchange_); }

 private:
  // The command word of the line whose reply is awaited.
  std::string Word() const;
  Progress Shown() const;

  void Tick(int interval) {
    SetTimer(MakeTimer(interval));
    QObject::connect(Timer(), &QTimer::timeout, &owner_, [this] { Step(); });
  }

  void Step() {
    const std::string word = Word();
    if (!Guard([&] { exchange_.Step(); }, [&] { Interrupt(); })) return;
    if (!exchange_.Running()) {
      // A unit that gave no reply in time: the exchange's limit, the command line's words.
      if (exchange_.CurrentResult() == settings::Result::NoReply)
        Finish(false, std::string(kNoReply) + (word == "DEFAULT" ? "" : " to " + word));
      else
        Finish(exchange_.CurrentResult() == settings::Result::Accepted, prompt_.Last());
    } else if (Word() != word) {
      Report(Shown());
    }
  }

  settings::ParameterValues fields_;
  ExchangeType exchange_;
};

template <>
std::string SettingsJob<settings::WriteExchange>::Word() const {
  return std::string(settings::WriteWord(exchange_.Line()));
}
template <>
Progress SettingsJob<settings::WriteExchange>::Shown() const {
  return {"writing", exchange_.Line() * 100 / (settings::kWriteSteps + 1)};
}
template <>
std::string SettingsJob<settings::DefaultExchange>::Word() const {
  return "DEFAULT";
}
template <>
Progress SettingsJob<settings::DefaultExchange>::Shown() const {
  return {"waiting for OK", -1};
}

// The firmware download: the 5 ms tick, or the fast transfer woken by the port's data.
class FirmwareJob : public JobBase, public firmware::DownloadView {
 public:
  FirmwareJob(const JobSpec &spec, Session &session)
      : JobBase(session), spec_(spec), download_(session, prompt_, *this) {
    tick_ = MakeTimer(jobs::DescriptorOf(history::JobKind::Firmware).tickMs, true);
    QObject::connect(tick_, &QTimer::timeout, &owner_,
                     [this] { Advance(&firmware::FirmwareDownload::Step); });
    fastTimer_ = MakeTimer(0, true);
    fastTimer_->setSingleShot(true);
    QObject::connect(fastTimer_, &QTimer::timeout, &owner_,
                     [this] { Advance(&firmware::FirmwareDownload::Wake); });
  }

  ~FirmwareJob() override {
    StopTicking();
    delete notifier_;
  }

  void Begin() override {
    download_.Reset();
    download_.SetFast(spec_.fast);
    bool started = false;
    if (!Guard([&] { started = download_.Start(spec_.imageText, spec_.imageText.size()); },
               [&] { Interrupt(); }))
      return;
    if (!started) {
      Finish(false, prompt_.Last());
      return;
    }
    Show();
  }

  void Interrupt() override {
    StopTicking();
    download_.Stop();
  }

  std::string InterruptedMessage() const override {
    return download_.Running() ? std::string(kInterruptedTransfer) : std::string();
  }

  QJsonObject EndDetails() const override { return jobs::FirmwareDetails(download_); }

  // DownloadView.
  void SetBusy(bool) override {}
  void StartTicking() override { tick_->start(); }
  void StopTicking() override {
    tick_->stop();
    fastTimer_->stop();
    if (notifier_) notifier_->setEnabled(false);
  }
  void Show() override {
    const firmware::Phase phase = download_.CurrentPhase();
    if (phase == firmware::Phase::Ended) return;  // the ending is the job's result
    const int lines = download_.CurrentImage().LineCount();
    std::string state = download_.Status();
    int percent = -1;
    if (phase == firmware::Phase::Connecting) state = "connecting";
    if (phase == firmware::Phase::Transferring) {
      state = "transferring";
      percent = std::clamp((download_.LineIndex() - 1) * 100 / std::max(1, lines), 0, 100);
    }
    Report({state, percent});
  }
  void Await(int descriptor, std::chrono::nanoseconds wait) override {
    if (descriptor >= 0 && (!notifier_ || notifier_->socket() != descriptor)) {
      if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->deleteLater();
      }
      notifier_ = new QSocketNotifier(descriptor, QSocketNotifier::Read, &owner_);
      QObject::connect(notifier_, &QSocketNotifier::activated, &owner_,
                       [this] { Advance(&firmware::FirmwareDownload::Wake); });
    }
    if (notifier_) notifier_->setEnabled(descriptor >= 0);
    fastTimer_->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
  }

 private:
  void Advance(void (firmware::FirmwareDownload::*step)()) {
    if (Over()) return;
    if (!Guard([&] { (download_.*step)(); }, [&] { Interrupt(); })) return;
    Show();
    if (download_.CurrentPhase() != firmware::Phase::Ended) return;
    Finish(download_.Ok(), download_.OutcomeMessage());
  }

  const JobSpec &spec_;
  firmware::FirmwareDownload download_;
  QTimer *tick_;
  QTimer *fastTimer_;
  QSocketNotifier *notifier_ = nullptr;
};

// The message recording: the 250 ms tick, the 9.9 s limit, the audio file on one output.
class RecordJob : public JobBase, public recorder::RecordingView {
 public:
  RecordJob(const JobSpec &spec, Session &session)
      : JobBase(session), spec_(spec), recording_(session, prompt_, *this) {
    recording_.Sleep = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); };
    tick_ = MakeTimer(jobs::DescriptorOf(history::JobKind::Record).tickMs);
    QObject::connect(tick_, &QTimer::timeout, &owner_,
                     [this] { Advance([&] { recording_.Step(); }); });
    limit_ = MakeTimer(recorder::kRecordingLimit, true);
    QObject::connect(limit_, &QTimer::timeout, &owner_,
                     [this] { Advance([&] { recording_.LimitReached(); }); });
    soundWatch_ = MakeTimer(recorder::kSoundPollInterval, true);
    QObject::connect(soundWatch_, &QTimer::timeout, &owner_,
                     [this] { Advance([&] { recording_.WatchSound(); }); });
  }

  ~RecordJob() override {
    recording_.SetPlayer(nullptr);
    player_.reset();
  }

  void Begin() override {
    if (!Guard(
            [&] {
              player_ = std::make_unique<recorder::AudioPlayPlayer>(std::make_unique<TAudioPlay>(
                  &owner_, spec_.audioFile, spec_.outputIndex, spec_.outputs));
              recording_.SetPlayer(player_.get());
              recording_.Reset();
              tick_->start();
              recording_.Start();
            },
            [&] { Interrupt(); }))
      return;
    prompt_.Clear();  // the question about the cable, which the command does not ask
    Report({"waiting for WAIT RTS", -1});
  }

  void Interrupt() override {
    tick_->stop();
    limit_->stop();
    soundWatch_->stop();
    recording_.Stop();
  }

  QJsonObject EndDetails() const override { return jobs::EndDetails(recording_); }

  // RecordingView.
  void StartLimit() override { limit_->start(); }
  void StopLimit() override { limit_->stop(); }
  void StartSoundWatch() override { soundWatch_->start(); }
  void StopSoundWatch() override { soundWatch_->stop(); }
  void ShowPosition() override {
    if (!player_) return;
    if (const auto percent = recorder::PositionPercent(player_->GetPosition(), player_->Duration(),
                                                       player_->Capabilities()))
      bar_ = *percent;
  }
  int PositionShown() const override { return bar_; }
  void Show() override {}

 private:
  template <class Action>
  void Advance(Action &&action) {
    if (Over()) return;
    if (!Guard(action, [&] { Interrupt(); })) return;
    if (recording_.CurrentPhase() == recorder::Phase::Recording) {
      Report({"recording", bar_});
    } else if (!recording_.Running()) {
      Interrupt();
      const bool ok = recording_.CurrentResult() == recorder::Result::Recorded;
      Finish(ok, ok ? std::string() : prompt_.Last());
    }
  }

  const JobSpec &spec_;
  recorder::MessageRecording recording_;
  std::unique_ptr<recorder::AudioPlayPlayer> player_;
  QTimer *tick_;
  QTimer *limit_;
  QTimer *soundWatch_;
  int bar_ = 0;
};

// One command line and its reply, taken by the console's tick with RTS set, by the one rule of a
// line sent.
class SendJob : public JobBase, public console::ConsoleView {
 public:
  SendJob(const JobSpec &spec, Session &session)
      : JobBase(session), spec_(spec), console_(session, *this) {
    timer_ = MakeTimer(jobs::DescriptorOf(history::JobKind::Send).tickMs);
    QObject::connect(timer_, &QTimer::timeout, &owner_,
                     [this] { Guard([&] { console_.Step(); }, [&] { Interrupt(); }); });
  }

  void Begin() override {
    if (!Guard(
            [&] {
              console_.Reset();
              console_.Start();
              console_.Send(spec_.line);
            },
            [&] { Interrupt(); }))
      return;
    reply_.SetSent(session_.LastSendResult);
    if (!session_.LastSendResult) {
      Interrupt();
      Finish(false, reply_.Message());
      return;
    }
    Report({"waiting for the reply", -1});
  }

  void Interrupt() override { console_.Stop(); }

  QJsonObject EndDetails() const override { return jobs::SendEnd(reply_).details; }

  // ConsoleView.
  void StartTicking() override { timer_->start(); }
  void StopTicking() override { timer_->stop(); }
  void Show() override {}
  void ShowTick(const console::TickResult &result) override {
    if (!reply_.Tick(result.added, session_.ReplyBuffer, timer_->interval())) return;
    Interrupt();
    Finish(reply_.Ok(), reply_.Message());
  }

 private:
  const JobSpec &spec_;
  console::ConsoleSession console_;
  QTimer *timer_;
  console::SendReply reply_;
};

}  // namespace

std::unique_ptr<UnitJob> MakeJob(const JobSpec &spec, Session &session) {
  switch (spec.kind) {
    case history::JobKind::Settings:
      return std::make_unique<SettingsJob<settings::WriteExchange>>(
          session, *spec.fields, jobs::DescriptorOf(spec.kind).tickMs);
    case history::JobKind::Defaults:
      return std::make_unique<SettingsJob<settings::DefaultExchange>>(
          session, jobs::DescriptorOf(spec.kind).tickMs);
    case history::JobKind::Firmware:
      return std::make_unique<FirmwareJob>(spec, session);
    case history::JobKind::Record:
      return std::make_unique<RecordJob>(spec, session);
    case history::JobKind::Send:
      return std::make_unique<SendJob>(spec, session);
  }
  return nullptr;
}

}  // namespace cli
