#include "recorder/recorder_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "history/format.h"
#include "jobs/descriptor.h"
#include "recorder/audio_play.h"
#include "session/config.h"
#include "session/shared_state.h"
#include "ui/buttons.h"
#include "ui/escape_key.h"
#include "ui/guarded.h"
#include "ui/open_dialog.h"
#include "ui/window_fit.h"

namespace {

const char *const kAudioKey = "AUDIO";
const char *const kTitle = "Recorder of message to Skarvel";
// The two entries of the file dialog: the audio types and all files; the blanks belong to the
// captions.
const char *const kAudioFilter = "File with audio    (*.WAV *.MP3 *.WMA *.AVI)";
const char *const kAllFilter = " All files    (*)";

const char *const kCapabilityCaptions[8] = {
    "Seek to an absolute position",
    "Seek forward",
    "Seek backwards",
    "Report its current position",
    "Report its stop position",
    "Report its duration",
    "Play backward",
    "Do seamless looping ",
};

constexpr std::uint64_t kUnitsPerMillisecond = 10000;
constexpr std::uint64_t kMillisecondsPerDay = 86400000;

// Sets a flag for as long as it lives and puts back the value it had.
class FlagScope {
 public:
  explicit FlagScope(bool &flag) : flag_(flag), previous_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = previous_; }
  FlagScope(const FlagScope &) = delete;
  FlagScope &operator=(const FlagScope &) = delete;

 private:
  bool &flag_;
  bool previous_;
};

QLabel *MakeLabel(QWidget *parent, const char *name, const char *caption) {
  auto *label = new QLabel(caption, parent);
  label->setObjectName(name);
  return label;
}

QSlider *MakeBar(QWidget *parent, const char *name) {
  auto *bar = new QSlider(Qt::Horizontal, parent);
  bar->setObjectName(name);
  bar->setTickPosition(QSlider::TicksBelow);
  return bar;
}

}  // namespace

QString LongTimeToStr(std::int64_t value, bool showAsTime) {
  if (!showAsTime) return QString::number(value);
  const std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  const std::uint64_t ms =
      (magnitude / kUnitsPerMillisecond +
       (magnitude % kUnitsPerMillisecond >= kUnitsPerMillisecond / 2 ? 1 : 0)) %
      kMillisecondsPerDay;
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u:%03u", static_cast<unsigned>(ms / 3600000),
                static_cast<unsigned>(ms / 60000 % 60), static_cast<unsigned>(ms / 1000 % 60),
                static_cast<unsigned>(ms % 1000));
  return QString::fromLatin1(text);
}

QString RecordingText(recorder::Phase phase, double seconds) {
  if (phase != recorder::Phase::Recording) return {};
  return QString::fromUtf8("Recording\u2026 %1 s").arg(static_cast<int>(seconds));
}

TForm5::TForm5(SharedState &state, QWidget *parent)
    : QDialog(parent), state_(state), prompt_(this), recording_(state, prompt_, *this) {
  setObjectName("TForm5");
  setWindowTitle(kTitle);

  OpenPlayer = [this](const std::string &fileName,
                      int deviceIndex) -> std::unique_ptr<recorder::Player> {
    return std::make_unique<recorder::AudioPlayPlayer>(
        std::make_unique<TAudioPlay>(this, fileName, deviceIndex, state_.AudioDeviceList));
  };

  Button2 = MakeButton(this, "Button2", "Open audio file");
  Label4 = MakeLabel(this, "Label4", "");
  KeepNarrow(Label4);
  Label4->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  Label4->setAccessibleName("Audio file");

  OpenDialog1 = MakeOpenDialog(this, kTitle);
  OpenDialog1->setNameFilters({kAudioFilter, kAllFilter});

  tbarPosition = MakeBar(this, "tbarPosition");
  tbarPosition->setRange(0, 100);
  tbarPosition->setTickInterval(10);
  tbarPosition->setAccessibleName("Position");

  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setBold(true);
  lblPosition = MakeLabel(this, "lblPosition", "00:00:00:000");
  Label1 = MakeLabel(this, "Label1", "of");
  lblDuration = MakeLabel(this, "lblDuration", "00:00:00:000");
  for (QLabel *label : {lblPosition, Label1, lblDuration}) label->setFont(fixed);
  Label1->setAlignment(Qt::AlignCenter);
  lblPosition->setAccessibleName("Time played");
  lblDuration->setAccessibleName("Length");

  btnPlay = MakeButton(this, "btnPlay", "Play");
  btnPause = MakeButton(this, "btnPause", "Pause");
  btnStop = MakeButton(this, "btnStop", "Stop");

  Label5 = MakeLabel(this, "Label5", "Device:");
  ComboBox1 = new QComboBox(this);
  ComboBox1->setObjectName("ComboBox1");
  ComboBox1->setAccessibleName("Sound output");
  ComboBox1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  ComboBox1->setMinimumContentsLength(16);
  Label5->setBuddy(ComboBox1);

  GroupBox2 = new QGroupBox("Control", this);
  GroupBox2->setObjectName("GroupBox2");
  Label2 = MakeLabel(GroupBox2, "Label2", "Balance:");
  tbarBalance = MakeBar(GroupBox2, "tbarBalance");
  tbarBalance->setRange(-10000, 10000);
  tbarBalance->setTickInterval(10000);
  tbarBalance->setPageStep(1000);
  tbarBalance->setAccessibleName("Balance");
  Label2->setBuddy(tbarBalance);
  Label3 = MakeLabel(GroupBox2, "Label3", "Volume:");
  tbarVolume = MakeBar(GroupBox2, "tbarVolume");
  tbarVolume->setRange(-10000, 0);
  tbarVolume->setTickInterval(1000);
  tbarVolume->setPageStep(1000);
  tbarVolume->setAccessibleName("Volume");
  Label3->setBuddy(tbarVolume);
  auto *controls = new QGridLayout(GroupBox2);
  controls->addWidget(Label2, 0, 0);
  controls->addWidget(tbarBalance, 0, 1);
  controls->addWidget(Label3, 1, 0);
  controls->addWidget(tbarVolume, 1, 1);

  Label7 = MakeLabel(this, "Label7", "Device:");
  Label6 = MakeLabel(this, "Label6", "");
  QFont bold = Label6->font();
  bold.setBold(true);
  Label6->setFont(bold);
  Label6->setAccessibleName("Unit");
  LabelRecording = MakeLabel(this, "LabelRecording", "");
  LabelRecording->setFont(bold);
  LabelRecording->setAccessibleName("Recording");

  Button1 = MakeButton(this, "Button1", "RECORD MESSAGE");
  Button3 = MakeButton(this, "Button3", "Cancel");
  QFont large = Button1->font();
  large.setPointSizeF(large.pointSizeF() * 1.5);
  large.setBold(true);
  Button1->setFont(large);
  Button3->setFont(large);
  for (QPushButton *button : {Button1, Button3})
    button->setMinimumHeight(button->fontMetrics().height() * 5 / 2);

  auto *layout = new QVBoxLayout(this);
  auto *file = new QHBoxLayout;
  file->addWidget(Button2);
  file->addWidget(Label4, 1);
  layout->addLayout(file);
  layout->addWidget(tbarPosition);
  auto *times = new QHBoxLayout;
  for (QLabel *label : {lblPosition, Label1, lblDuration}) times->addWidget(label);
  times->addStretch();
  layout->addLayout(times);
  auto *play = new QHBoxLayout;
  for (QPushButton *button : {btnPlay, btnPause, btnStop}) play->addWidget(button);
  play->addStretch();
  layout->addLayout(play);
  auto *output = new QHBoxLayout;
  output->addWidget(Label5);
  output->addWidget(ComboBox1, 1);
  layout->addLayout(output);
  layout->addWidget(GroupBox2);
  auto *unit = new QHBoxLayout;
  unit->addWidget(Label7);
  unit->addWidget(Label6);
  unit->addStretch();
  unit->addWidget(LabelRecording);
  layout->addLayout(unit);
  auto *actions = new QHBoxLayout;
  actions->addWidget(Button1, 2);
  actions->addWidget(Button3, 1);
  layout->addLayout(actions);
  GiveAccessKeys(this);
  resize(480, 376);

  // The player's capabilities, mirrored in a group that is never shown.
  GroupBox1 = new QGroupBox("Capabilities:", this);
  GroupBox1->setObjectName("GroupBox1");
  GroupBox1->setGeometry(488, 8, 200, 200);
  for (int i = 0; i < 8; ++i) {
    auto *box = new QCheckBox(kCapabilityCaptions[i], GroupBox1);
    box->setObjectName(QString("CheckBox%1").arg(i + 1));
    box->setGeometry(8, 20 + 22 * i, 184, 20);
    box->setEnabled(false);
    capabilityBoxes_[static_cast<std::size_t>(i)] = box;
  }
  GroupBox1->setEnabled(false);
  GroupBox1->hide();

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(recorder::kTickInterval);
  Timer2 = new QTimer(this);
  Timer2->setObjectName("Timer2");
  Timer2->setInterval(recorder::kRecordingLimit);
  Timer2->setTimerType(Qt::PreciseTimer);  // a coarse timer may be off by 5 %, half a second
  Timer3 = new QTimer(this);
  Timer3->setObjectName("Timer3");
  Timer3->setInterval(recorder::kSoundPollInterval);
  Timer3->setTimerType(Qt::PreciseTimer);

  connect(Button2, &QPushButton::clicked, this, &TForm5::Button2Click);
  connect(btnPlay, &QPushButton::clicked, this, &TForm5::btnPlayClick);
  connect(btnPause, &QPushButton::clicked, this, &TForm5::btnPauseClick);
  connect(btnStop, &QPushButton::clicked, this, &TForm5::btnStopClick);
  connect(Button1, &QPushButton::clicked, this, &TForm5::Button1Click);
  connect(Button3, &QPushButton::clicked, this, &TForm5::Button3Click);
  connect(ComboBox1, &QComboBox::activated, this, &TForm5::ComboBox1Change);
  connect(tbarPosition, &QSlider::valueChanged, this, &TForm5::tbarPositionChange);
  connect(tbarBalance, &QSlider::valueChanged, this, &TForm5::tbarBalanceChange);
  connect(tbarVolume, &QSlider::valueChanged, this, &TForm5::tbarVolumeChange);
  connect(Timer1, &QTimer::timeout, this, &TForm5::Timer1Timer);
  connect(Timer2, &QTimer::timeout, this, &TForm5::Timer2Timer);
  connect(Timer3, &QTimer::timeout, this, &TForm5::Timer3Timer);

  UpdateControls();
}

TForm5::~TForm5() {
  Timer1->stop();
  Timer2->stop();
  FreeAudioPlay();
  // Destroyed while shown (the program ends): a recording still gets its stop signal.
  recording_.Stop();
}

void TForm5::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  FitToScreen(this);
  FormShow();
}

void TForm5::keyPressEvent(QKeyEvent *event) {
  // Esc is the Cancel button, which is disabled while a recording runs: a recording is not cut
  // short by Esc.
  if (EscapePressesCancel(event, Button3)) return;
  QDialog::keyPressEvent(event);
}

void TForm5::done(int result) {
  // A recording cut off leaves a cut message in the unit: closing asks first. The ticks go on
  // while the question is open, and may end the recording meanwhile.
  if (recording_.CurrentPhase() == recorder::Phase::Recording &&
      !prompt_.Ask("The recording is not finished. Stop it?", state_.ChosenSerial()))
    return;
  FormClose();
  QDialog::done(result);
}

void TForm5::FormShow() {
  closed_ = false;
  GuardedThen(
      [&] {
        state_.AudioPath = ReadRememberedPath(state_.ProgramFolder, kAudioKey);
        ComboBox1->clear();
        for (const std::string &device : state_.AudioDeviceList)
          ComboBox1->addItem(QString::fromStdString(device));
        if (ComboBox1->count() > 0) ComboBox1->setCurrentIndex(0);
        deviceIndex_ = 0;  // each showing starts again from the first device
        RefreshFileInfo();
        recording_.Reset();
        Timer1->start();
        Label6->setText(QString::fromStdString(state_.ChosenSerial()));
        Label4->clear();
      },
      [&] { UpdateControls(); });
}

void TForm5::FormClose() {
  if (closed_) return;
  closed_ = true;
  Timer1->stop();
  Timer2->stop();
  FreeAudioPlay();
  // Playback has ended; a recording or a reply wait cut short gets its stop signal.
  recording_.Stop();
  record_.End(history::Outcome::Interrupted, {}, jobs::EndDetails(recording_));
  Guarded([&] {
    RefreshFileInfo();
    WriteRememberedPath(state_.ProgramFolder, kAudioKey, state_.AudioPath);
  });
}

void TForm5::Button2Click() {
  PrepareOpenDialog(*OpenDialog1, state_.AudioPath, state_.ProgramFolder);
  const QString shown = Label4->text();
  Label4->clear();
  // A dialog left without a file keeps the file that was loaded, and its name on show.
  if (!RunFileDialog(*OpenDialog1, this)) {
    Label4->setText(shown);
    return;
  }
  GuardedThen(
      [&] {
        const QString fileName = OpenDialog1->selectedFiles().first();
        Label4->setText(fileName);
        Label4->setToolTip(fileName);
        state_.AudioPath = fileName.toStdString();
        FreeAudioPlay();
        try {
          OpenAudioPlay(fileName.toStdString());
        } catch (...) {
          FreeAudioPlay();
          RefreshFileInfo();
          throw;
        }
        RefreshFileInfo();
      },
      [&] { UpdateControls(); });
}

void TForm5::OpenAudioPlay(const std::string &fileName) {
  FreeAudioPlay();
  player_ = OpenPlayer(fileName, deviceIndex_);
  recording_.SetPlayer(player_.get());
  showAsTime_ = player_->GetTimeFormat() == TIME_FORMAT_MEDIA_TIME;
  canSeek_ = (player_->Capabilities() & AudioCapability::CanSeekAbsolute) != 0;
}

void TForm5::FreeAudioPlay() {
  recording_.SetPlayer(nullptr);
  player_.reset();
}

void TForm5::RefreshFileInfo() {
  std::int32_t balance = 0;
  std::int32_t volume = 0;
  std::uint32_t capabilities = 0;
  if (player_) {
    lblDuration->setText(LongTimeToStr(player_->Duration()));
    balance = player_->GetBalance();
    volume = player_->GetVolume();
    capabilities = player_->Capabilities() & 0xFF;
  } else {
    lblDuration->setText(LongTimeToStr(0));
  }
  UpdateControls();
  for (std::size_t bit = 0; bit < capabilityBoxes_.size(); ++bit)
    capabilityBoxes_[bit]->setChecked((capabilities >> bit & 1) != 0);
  {
    FlagScope scope(updatingBalance_);
    tbarBalance->setValue(balance);
  }
  {
    FlagScope scope(updatingVolume_);
    tbarVolume->setValue(volume);
  }
  ShowPosition();
}

void TForm5::ShowPosition() {
  FlagScope scope(updatingPosition_);
  if (!player_) {
    tbarPosition->setValue(0);
    lblPosition->setText(LongTimeToStr(0));
    return;
  }
  if (const std::optional<int> percent = recorder::PositionPercent(
          player_->GetPosition(), player_->Duration(), player_->Capabilities()))
    tbarPosition->setValue(*percent);
  lblPosition->setText(LongTimeToStr(player_->GetPosition()));
}

QString TForm5::LongTimeToStr(std::int64_t value) const {
  return ::LongTimeToStr(value, showAsTime_);
}

void TForm5::FollowRecord() {
  if (recording_.Running() && !record_.Active()) {
    record_.Start(
        History, QString::fromStdString(state_.ChosenSerial()), history::JobKind::Record,
        history::RecordDetails(QString::fromStdString(state_.AudioPath), ComboBox1->currentText()));
  } else if (!recording_.Running() && record_.Active()) {
    record_.End(jobs::RecordEnd(recording_, prompt_.Last()));
  }
}

void TForm5::UpdateControls() {
  const recorder::RecorderControls c = recorder::EnabledControls(
      player_ != nullptr, recording_.Playing(), recording_.CurrentPhase());
  btnPlay->setEnabled(c.play);
  btnPause->setEnabled(c.pause);
  btnStop->setEnabled(c.stop);
  Button1->setEnabled(c.record);
  Button2->setEnabled(c.open);
  Button3->setEnabled(c.cancel);
  tbarPosition->setEnabled(c.bars);
  tbarBalance->setEnabled(c.bars);
  tbarVolume->setEnabled(c.bars);
  const QString recording =
      RecordingText(recording_.CurrentPhase(), recording_.RtsClearedSeconds());
  if (LabelRecording->text() != recording) LabelRecording->setText(recording);
  if (c.record) focusReturn_.Back();
}

void TForm5::btnPlayClick() {
  GuardedThen([&] { recording_.PlayAction(); }, [&] { UpdateControls(); });
}

void TForm5::btnPauseClick() {
  GuardedThen([&] { recording_.PauseAction(); }, [&] { UpdateControls(); });
}

void TForm5::btnStopClick() {
  GuardedThen(
      [&] {
        recording_.StopAction();
        ShowPosition();
      },
      [&] { UpdateControls(); });
}

void TForm5::Button1Click() {
  focusReturn_.Pressed(Button1);
  prompt_.ForgetLast();
  GuardedThen([&] { recording_.Start(); },
              [&] {
                FollowRecord();
                UpdateControls();
              });
}

void TForm5::Button3Click() {
  close();
}

void TForm5::ComboBox1Change(int index) {
  if (index >= 0) deviceIndex_ = index;
}

void TForm5::tbarPositionChange(int value) {
  // The window's own moves of the bar are not the user's and are shown already.
  if (updatingPosition_) return;
  Guarded([&] {
    if (canSeek_ && player_)
      player_->SetPosition(static_cast<std::int64_t>(value) * player_->Duration() / 100,
                           AM_SEEKING_AbsolutePositioning);
    ShowPosition();
  });
}

void TForm5::tbarBalanceChange(int value) {
  if (!player_ || updatingBalance_) return;
  Guarded([&] { player_->SetBalance(value); });
}

void TForm5::tbarVolumeChange(int value) {
  if (!player_ || updatingVolume_) return;
  Guarded([&] { player_->SetVolume(value); });
}

void TForm5::Timer1Timer() {
  GuardedThen([&] { recording_.Step(); },
              [&] {
                FollowRecord();
                UpdateControls();
              });
}

void TForm5::Timer2Timer() {
  GuardedThen([&] { recording_.LimitReached(); },
              [&] {
                FollowRecord();
                UpdateControls();
              });
}

void TForm5::Timer3Timer() {
  GuardedThen([&] { recording_.WatchSound(); }, [&] { UpdateControls(); });
}

void TForm5::StartLimit() {
  Timer2->start();
}

void TForm5::StopLimit() {
  Timer2->stop();
}

void TForm5::StartSoundWatch() {
  Timer3->start();
}

void TForm5::StopSoundWatch() {
  Timer3->stop();
}

int TForm5::PositionShown() const {
  return tbarPosition->value();
}

void TForm5::Show() {
  UpdateControls();
}
