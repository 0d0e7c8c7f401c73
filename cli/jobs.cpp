#include "cli/jobs.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <exception>
#include <thread>

#include "console/console_session.h"
#include "firmware/download.h"
#include "recorder/audio_play.h"
#include "recorder/recording.h"
#include "session/session.h"
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

// The settings write: "AT@NORM" and the 26 parameter lines, polled every 80 ms.
class SettingsJob : public JobBase {
 public:
  SettingsJob(const JobSpec &spec, Session &session)
      : JobBase(session), write_(session, *spec.fields, prompt_) {
    timer_ = MakeTimer(80);
    QObject::connect(timer_, &QTimer::timeout, &owner_, [this] { Poll(); });
  }

  void Begin() override {
    if (!Guard([&] { write_.Start(); }, [&] { write_.Stop(); })) return;
    Report({"writing", 0});
    waited_ = 0;
    timer_->start();
  }

  void Interrupt() override {
    write_.Stop();
    timer_->stop();
  }

 private:
  void Poll() {
    const int step = write_.Step();
    if (!Guard([&] { write_.Poll(); }, [&] { write_.Stop(); })) return;
    if (!write_.Running()) {
      Finish(prompt_.Texts().empty(), prompt_.Last());
      return;
    }
    if (write_.Step() != step) {
      waited_ = 0;
      Report({"writing " + std::string(settings::WriteWord(write_.Step())),
              write_.Step() * 100 / (settings::kWriteSteps + 1)});
    } else if ((waited_ += timer_->interval()) >= kReplyLimitMs) {
      write_.Stop();
      Finish(false, std::string(kNoReply) + " to " + std::string(settings::WriteWord(step)));
    }
  }

  settings::WriteExchange write_;
  QTimer *timer_;
  int waited_ = 0;
};

// The default command: "AT@DEFAULT", polled every 50 ms for its "OK".
class DefaultsJob : public JobBase {
 public:
  explicit DefaultsJob(Session &session) : JobBase(session), exchange_(session, fields_, prompt_) {
    timer_ = MakeTimer(50);
    QObject::connect(timer_, &QTimer::timeout, &owner_, [this] { Poll(); });
  }

  void Begin() override {
    if (!Guard([&] { exchange_.Start(); }, [&] { exchange_.Stop(); })) return;
    Report({"waiting for OK", -1});
    timer_->start();
  }

  void Interrupt() override {
    exchange_.Stop();
    timer_->stop();
  }

 private:
  void Poll() {
    if (!Guard([&] { exchange_.Poll(); }, [&] { exchange_.Stop(); })) return;
    if (!exchange_.Running()) {
      Finish(prompt_.Texts().empty(), prompt_.Last());
    } else if ((waited_ += timer_->interval()) >= kReplyLimitMs) {
      exchange_.Stop();
      Finish(false, std::string(kNoReply));
    }
  }

  settings::ParameterValues fields_;
  settings::DefaultExchange exchange_;
  QTimer *timer_;
  int waited_ = 0;
};

// The firmware download: the 5 ms tick, or the fast transfer woken by the port's data.
class FirmwareJob : public JobBase, public firmware::DownloadDisplay {
 public:
  FirmwareJob(const JobSpec &spec, Session &session)
      : JobBase(session), spec_(spec), download_(session, prompt_, *this) {
    tick_ = MakeTimer(firmware::kTickInterval, true);
    QObject::connect(tick_, &QTimer::timeout, &owner_,
                     [this] { Advance(&firmware::FirmwareDownload::Tick); });
    fastTimer_ = MakeTimer(0, true);
    fastTimer_->setSingleShot(true);
    QObject::connect(fastTimer_, &QTimer::timeout, &owner_,
                     [this] { Advance(&firmware::FirmwareDownload::Step); });
  }

  ~FirmwareJob() override {
    StopTimer();
    delete notifier_;
  }

  void Begin() override {
    download_.Reset();
    download_.SetFast(spec_.fast);
    bool started = false;
    if (!Guard([&] { started = download_.Start(spec_.imageText, spec_.imageText.size()); },
               [&] { Stop(); }))
      return;
    if (!started) {
      Finish(false, prompt_.Last());
      return;
    }
    Refresh();
  }

  void Interrupt() override { Stop(); }

  // DownloadDisplay.
  void SetBusy(bool) override {}
  void StartTimer() override { tick_->start(); }
  void StopTimer() override {
    tick_->stop();
    fastTimer_->stop();
    if (notifier_) notifier_->setEnabled(false);
  }
  void Refresh() override {
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
                       [this] { Advance(&firmware::FirmwareDownload::Step); });
    }
    if (notifier_) notifier_->setEnabled(descriptor >= 0);
    fastTimer_->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
  }

 private:
  void Stop() {
    StopTimer();
    download_.Abort();
  }

  void Advance(void (firmware::FirmwareDownload::*step)()) {
    if (Over()) return;
    if (!Guard([&] { (download_.*step)(); }, [&] { Stop(); })) return;
    Refresh();
    if (download_.CurrentPhase() != firmware::Phase::Ended) return;
    const bool ok = download_.Result() == firmware::Ending::Success &&
                    prompt_.Last() == firmware::TextOf(firmware::Ending::Success).message;
    Finish(ok, prompt_.Last());
  }

  const JobSpec &spec_;
  firmware::FirmwareDownload download_;
  QTimer *tick_;
  QTimer *fastTimer_;
  QSocketNotifier *notifier_ = nullptr;
};

// The message recording: the 250 ms tick, the 9.9 s limit, the audio file on one output.
class RecordJob : public JobBase, public recorder::RecordingWindow {
 public:
  RecordJob(const JobSpec &spec, Session &session)
      : JobBase(session), spec_(spec), recording_(session, prompt_, *this) {
    recording_.Sleep = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); };
    tick_ = MakeTimer(recorder::kTimer1Interval);
    QObject::connect(tick_, &QTimer::timeout, &owner_,
                     [this] { Step([&] { recording_.Tick(); }); });
    limit_ = MakeTimer(recorder::kTimer2Interval, true);
    QObject::connect(limit_, &QTimer::timeout, &owner_,
                     [this] { Step([&] { recording_.Timer2Tick(); }); });
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
              recording_.Show();
              tick_->start();
              recording_.Start();
            },
            [&] { Stop(); }))
      return;
    prompt_.Clear();  // the question about the cable, which the command does not ask
    Report({"waiting for WAIT RTS", -1});
  }

  void Interrupt() override { Stop(); }

  // RecordingWindow.
  void StartTimer2() override { limit_->start(); }
  void StopTimer2() override { limit_->stop(); }
  void RefreshCurrentPosition() override {
    if (!player_) return;
    if (const auto percent = recorder::PositionPercent(player_->GetPosition(), player_->Duration(),
                                                       player_->Capabilities()))
      bar_ = *percent;
  }
  int PositionBar() const override { return bar_; }
  void Refresh() override {}

 private:
  template <class Action>
  void Step(Action &&action) {
    if (Over()) return;
    if (!Guard(action, [&] { Stop(); })) return;
    const recorder::Phase phase = recording_.CurrentPhase();
    if (phase == recorder::Phase::Recording) {
      recorded_ = true;
      Report({"recording", bar_});
    } else if (phase == recorder::Phase::Idle) {
      Stop();
      const bool ok = recorded_ && prompt_.Texts().empty();
      Finish(ok, ok ? std::string() : prompt_.Last());
    }
  }

  void Stop() {
    tick_->stop();
    limit_->stop();
    recording_.Close();
  }

  const JobSpec &spec_;
  recorder::MessageRecording recording_;
  std::unique_ptr<recorder::AudioPlayPlayer> player_;
  QTimer *tick_;
  QTimer *limit_;
  int bar_ = 0;
  bool recorded_ = false;
};

// One command line and its reply, taken by the console's 100 ms tick.
class SendJob : public JobBase {
 public:
  SendJob(const JobSpec &spec, Session &session)
      : JobBase(session), spec_(spec), console_(session) {
    timer_ = MakeTimer(100);
    QObject::connect(timer_, &QTimer::timeout, &owner_, [this] { Poll(); });
  }

  void Begin() override {
    if (!Guard(
            [&] {
              console_.Reset();
              console_.Drain();
              console_.Send(spec_.line);
            },
            [] {}))
      return;
    if (!session_.LastSendResult) {
      Finish(false, "send failed");
      return;
    }
    Report({"waiting for the reply", -1});
    timer_->start();
  }

  void Interrupt() override { timer_->stop(); }

 private:
  void Poll() {
    console::TickResult result;
    if (!Guard([&] { result = console_.Tick(false); }, [] {})) return;
    for (const std::string &line : result.added) reply_ += (reply_.empty() ? "" : "\n") + line;
    if (!reply_.empty()) {
      Finish(true, reply_);
    } else if ((waited_ += timer_->interval()) >= kSendReplyMs) {
      Finish(false, std::string(kNoReply));
    }
  }

  const JobSpec &spec_;
  console::ConsoleSession console_;
  QTimer *timer_;
  std::string reply_;
  int waited_ = 0;
};

}  // namespace

std::unique_ptr<UnitJob> MakeJob(const JobSpec &spec, Session &session) {
  if (spec.name == "settings") return std::make_unique<SettingsJob>(spec, session);
  if (spec.name == "defaults") return std::make_unique<DefaultsJob>(session);
  if (spec.name == "firmware") return std::make_unique<FirmwareJob>(spec, session);
  if (spec.name == "record") return std::make_unique<RecordJob>(spec, session);
  if (spec.name == "send") return std::make_unique<SendJob>(spec, session);
  return nullptr;
}

}  // namespace cli
