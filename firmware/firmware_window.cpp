#include "firmware/firmware_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTimer>
#include <QVBoxLayout>

#include "history/format.h"
#include "jobs/descriptor.h"
#include "session/config.h"
#include "session/shared_state.h"
#include "ui/escape_key.h"
#include "ui/guarded.h"
#include "ui/open_dialog.h"
#include "ui/status_colour.h"
#include "ui/window_fit.h"

namespace {

constexpr int kClientWidth = 654;
constexpr int kClientHeight = 443;
constexpr int kLinesPerPage = 31;
constexpr std::string_view kStopQuestion =
    "The download is not finished: the unit stays in its loader until a download completes. "
    "Stop it?";
const char *const kFirmKey = "FIRM";
// Whether the window downloads as a fast transfer: "1" on, anything else (or none) off.
const char *const kFastSection = "Setup";
const char *const kFastKey = "FAST";

}  // namespace

int ScrollPages(int lineCount) {
  return lineCount / kLinesPerPage + 1;
}

void WrappingButton::paintEvent(QPaintEvent *) {
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  option.text.clear();
  painter.drawControl(QStyle::CE_PushButton, option);
  style()->drawItemText(&painter, rect().adjusted(4, 2, -4, -2),
                        Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, palette(),
                        isEnabled(), text(), QPalette::ButtonText);
}

bool FirmwarePrompt::Ask(const std::string &question, const std::string &caption) {
  QMessageBox box(QMessageBox::Critical, QString::fromStdString(caption),
                  QString::fromStdString(question), QMessageBox::Yes | QMessageBox::No, parent_);
  box.setDefaultButton(QMessageBox::No);
  box.setWindowModality(Qt::ApplicationModal);
  return box.exec() == QMessageBox::Yes;
}

TForm2::TForm2(SharedState &state, QWidget *parent)
    : QDialog(parent), state_(state), prompt_(this), download_(state, prompt_, *this) {
  setObjectName("TForm2");
  setWindowTitle("Load Firmware");

  auto named = [](QWidget *widget, const char *name) {
    widget->setObjectName(name);
    return widget;
  };

  Button1 = new WrappingButton("Open file *.HEX ", this);
  named(Button1, "Button1");
  Button1->setMinimumSize(89, 41);

  Label3 = new QLabel("VRT00000", this);
  named(Label3, "Label3");
  Label3->setAlignment(Qt::AlignCenter);
  QFont bold = Label3->font();
  bold.setBold(true);
  bold.setPixelSize(13);
  Label3->setFont(bold);

  Label2 = new QLabel(this);
  named(Label2, "Label2");
  Label2->setWordWrap(true);
  Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  Memo1 = new QPlainTextEdit(this);
  named(Memo1, "Memo1");
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);

  Label1 = new QLabel("-----------", this);
  named(Label1, "Label1");
  Label1->setAlignment(Qt::AlignCenter);

  ProgressBar2 = new QProgressBar(this);
  named(ProgressBar2, "ProgressBar2");
  ProgressBar1 = new QProgressBar(this);
  named(ProgressBar1, "ProgressBar1");
  for (QProgressBar *bar : {ProgressBar1, ProgressBar2}) {
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
  }

  // The transfer log in the system's fixed-width font at its normal size, so that its columns of
  // bytes and replies line up and can be read.
  Memo2 = new QPlainTextEdit(this);
  named(Memo2, "Memo2");
  Memo2->setReadOnly(true);
  Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo2->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

  Button2 = new QPushButton("Write to VertikoMate PCB", this);
  named(Button2, "Button2");
  Button2->setEnabled(false);
  Button3 = new QPushButton("Cancel", this);
  named(Button3, "Button3");
  for (QPushButton *button : {static_cast<QPushButton *>(Button1), Button2, Button3}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  Button2->setMinimumHeight(41);
  Button3->setMinimumSize(89, 41);

  CheckBoxFast = new QCheckBox("Fast transfer", this);
  named(CheckBoxFast, "CheckBoxFast");

  // A layout, so that no control covers another at any size and the window cannot be made
  // smaller than its controls need: the file view on the left, the status, the two bars, the
  // log and the buttons on the right, each below the one before.
  auto *heading = new QGridLayout;
  heading->addWidget(Button1, 0, 0, 2, 1, Qt::AlignTop);
  heading->addWidget(Label3, 0, 1);
  heading->addWidget(CheckBoxFast, 0, 2, Qt::AlignRight);
  heading->addWidget(Label2, 1, 1, 1, 2);
  heading->setColumnStretch(1, 1);

  auto *buttons = new QHBoxLayout;
  buttons->addWidget(Button2, 1);
  buttons->addWidget(Button3);
  auto *right = new QVBoxLayout;
  right->addWidget(Label1);
  right->addWidget(ProgressBar2);
  right->addWidget(ProgressBar1);
  right->addWidget(Memo2, 1);
  right->addLayout(buttons);

  auto *body = new QHBoxLayout;
  body->addWidget(Memo1, 329);
  body->addLayout(right, 281);

  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 4, 8, 8);
  layout->addLayout(heading);
  layout->addLayout(body, 1);
  resize(kClientWidth, kClientHeight);

  Label3->setAccessibleName("Unit");
  Label2->setAccessibleName("Firmware file");
  KeepNarrow(Label2);
  Memo1->setAccessibleName("Firmware file contents");
  Memo2->setAccessibleName("Transfer log");
  ProgressBar1->setAccessibleName("Overall progress");
  ProgressBar2->setAccessibleName("Line progress");
  SayStatus(Label1, "Download status", Label1->text());
  for (QPlainTextEdit *memo : {Memo1, Memo2}) memo->setTabChangesFocus(true);
  GiveAccessKeys(this);

  OpenDialog1 = MakeOpenDialog(this, "HEX file for Vertiko Mate");
  OpenDialog1->setDefaultSuffix("HEX");
  OpenDialog1->setNameFilter("File with programm *.HEX (*.HEX)");

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setTimerType(Qt::PreciseTimer);
  Timer1->setInterval(firmware::kTickInterval);
  fastTimer_ = new QTimer(this);
  fastTimer_->setObjectName("TimerFast");
  fastTimer_->setTimerType(Qt::PreciseTimer);
  fastTimer_->setSingleShot(true);
  connect(fastTimer_, &QTimer::timeout, this, &TForm2::FastStep);

  connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm2::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm2::Button3Click);
  connect(Timer1, &QTimer::timeout, this, &TForm2::Timer1Timer);
}

TForm2::~TForm2() {
  StopTicking();
  // The notifier watches a descriptor of the download, which goes before the window's children.
  delete portNotifier_;
  portNotifier_ = nullptr;
  if (busy_) QApplication::restoreOverrideCursor();
}

void TForm2::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  FitToScreen(this);
  FormShow();
  Button1->setFocus(Qt::OtherFocusReason);
}

void TForm2::done(int result) {
  // A download cut off leaves the unit in its loader: closing asks first. The ticks go on while
  // the question is open, and may end the download meanwhile.
  if (download_.Running()) {
    if (!prompt_.Ask(std::string(kStopQuestion), state_.ChosenSerial())) return;
    Guarded([&] { download_.StopByUser(); });
  }
  FormClose();
  QDialog::done(result);
}

void TForm2::keyPressEvent(QKeyEvent *event) {
  // Esc is the Cancel button: disabled during a download, which Esc must not break off either
  // (that leaves the unit in its loader).
  if (EscapePressesCancel(event, Button3)) return;
  QDialog::keyPressEvent(event);
}

void TForm2::FormShow() {
  closed_ = false;
  state_.FirmPath = ReadRememberedPath(state_.ProgramFolder, kFirmKey);
  CheckBoxFast->setChecked(
      ConfigFile(ConfigFileName(state_.ProgramFolder)).Read(kFastSection, kFastKey) == "1");
  download_.Reset();
  imageLength_ = 0;
  imageText_.clear();
  fileLoaded_ = false;
  Memo1->clear();
  Label2->clear();
  Guarded([&] { state_.ReplyBuffer = state_.ReceiveAll(); });
  logShown_ = false;
  Memo2->clear();
  Show();
  Label3->setText(QString::fromStdString(state_.ChosenSerial()));
}

void TForm2::FormClose() {
  if (closed_) return;
  closed_ = true;
  StopTicking();
  download_.Stop();
  EndRecord(history::Outcome::Interrupted, {});
  if (busy_) SetBusy(false);
  Guarded([&] {
    WriteRememberedPath(state_.ProgramFolder, kFirmKey, state_.FirmPath);
    ConfigFile(ConfigFileName(state_.ProgramFolder))
        .Write(kFastSection, kFastKey, CheckBoxFast->isChecked() ? "1" : "0");
  });
}

void TForm2::Button1Click() {
  PrepareOpenDialog(*OpenDialog1, state_.FirmPath, state_.ProgramFolder);
  if (!RunFileDialog(*OpenDialog1, this)) return;

  fileName_ = OpenDialog1->selectedFiles().first();
  state_.FirmPath = fileName_.toStdString();
  SetNarrowText(Label2, fileName_);
  if (!AcceptableFirmwareName(fileName_)) {
    prompt_.Warn("Error file");
    return;
  }
  LoadFile(fileName_);
}

void TForm2::LoadFile(const QString &fileName) {
  firmware::FirmwareText read = firmware::ReadFirmwareFile(fileName);
  if (!read.error.isEmpty()) {
    // What was read no longer matches the file: nothing of it may be downloaded.
    Memo1->clear();
    imageText_.clear();
    imageLength_ = 0;
    fileLoaded_ = false;
    Show();
    ShowError(read.error);
    return;
  }
  imageText_ = std::move(read.text);
  Memo1->setPlainText(QString::fromLatin1(QByteArray(imageText_).replace("\r\n", "\n")));
  QScrollBar *bar = Memo1->verticalScrollBar();
  for (int i = 0; i < ScrollPages(read.lines); ++i) {
    bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
    Memo1->viewport()->repaint();
  }
  bar->setValue(bar->maximum());  // the end of the file in view, whatever the page height
  Memo1->viewport()->repaint();
  Memo1->setFocus();
  imageLength_ = static_cast<std::size_t>(imageText_.size());
  // A damaged file, or one that would leave the unit in its loader, is shown, but nothing of it
  // may be written.
  const std::string refusal =
      firmware::Refusal(QFileInfo(fileName).fileName().toStdString(),
                        std::string_view(imageText_.constData(), imageLength_));
  fileLoaded_ = refusal.empty();
  Show();
  if (!fileLoaded_) prompt_.Warn(refusal);
}

void TForm2::Button2Click() {
  if (!fileLoaded_ || download_.Running()) return;
  focusReturn_.Pressed(Button2);
  download_.SetFast(CheckBoxFast->isChecked());
  const bool started = Guarded(
      [&] {
        if (download_.Start(std::string_view(imageText_.constData(), imageText_.size()),
                            imageLength_))
          record_.Start(History, QString::fromStdString(state_.ChosenSerial()),
                        history::JobKind::Firmware,
                        history::FirmwareDetails(fileName_, download_.CurrentImage().LineCount(),
                                                 download_.Fast()));
      },
      [&] {
        if (busy_) SetBusy(false);
        Failed();
      });
  if (started) Show();
}

void TForm2::Button3Click() {
  close();
}

void TForm2::Timer1Timer() {
  Advance(&firmware::FirmwareDownload::Step);
}

void TForm2::FastStep() {
  Advance(&firmware::FirmwareDownload::Wake);
}

void TForm2::Advance(void (firmware::FirmwareDownload::*step)()) {
  if (Guarded([&] { (download_.*step)(); }, [&] { Failed(); })) Show();
  if (download_.CurrentPhase() == firmware::Phase::Ended && record_.Active())
    record_.End(jobs::FirmwareEnd(download_));
}

void TForm2::Failed() {
  StopTicking();
  download_.Stop();
  EndRecord(history::Outcome::Failed, QString::fromStdString(prompt_.Last()));
  Show();
}

void TForm2::EndRecord(history::Outcome outcome, const QString &message) {
  if (record_.Active()) record_.End(outcome, message, jobs::FirmwareDetails(download_));
}

void TForm2::SetBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void TForm2::StartTicking() {
  Timer1->start();
}

void TForm2::StopTicking() {
  Timer1->stop();
  fastTimer_->stop();
  if (portNotifier_) portNotifier_->setEnabled(false);
}

void TForm2::Await(int descriptor, std::chrono::nanoseconds wait) {
  if (descriptor >= 0 && (!portNotifier_ || portNotifier_->socket() != descriptor)) {
    if (portNotifier_) {
      // It may be the notifier whose signal runs this step.
      portNotifier_->setEnabled(false);
      portNotifier_->deleteLater();
    }
    portNotifier_ = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    portNotifier_->setObjectName("NotifierPort");
    connect(portNotifier_, &QSocketNotifier::activated, this, &TForm2::FastStep);
  }
  if (portNotifier_) portNotifier_->setEnabled(descriptor >= 0);
  fastTimer_->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
}

void TForm2::Show() {
  const QString status = QString::fromLatin1(download_.Status());
  if (Label1->text() != status) {
    Label1->setText(status);
    SayStatus(Label1, "Download status", status);
  }
  if (download_.Colour() != shownColour_) {
    shownColour_ = download_.Colour();
    if (shownColour_ == firmware::StatusColour::None) {
      Label1->setAutoFillBackground(false);
      Label1->setPalette(QPalette());
    } else {
      PaintStatus(Label1, QColor::fromRgb(static_cast<QRgb>(shownColour_)));
    }
  }
  // A position past the maximum shows a full bar. A bar's range is never empty: Qt draws a bar
  // from 0 to 0 as a busy bar, animated for as long as it is shown. A maximum of 0 (before any
  // download, and all through one of fewer than 20 lines) is shown as 0 to 1: empty, then full
  // once the position has passed 0.
  auto show = [](QProgressBar *bar, int maximum, int position) {
    maximum = std::max(1, maximum);
    if (bar->maximum() != maximum) bar->setMaximum(maximum);
    bar->setValue(std::clamp(position, 0, maximum));
  };
  show(ProgressBar1, download_.OverallMax(), download_.OverallPosition());
  show(ProgressBar2, download_.LineMax(), download_.LinePosition());

  const firmware::Controls buttons =
      firmware::EnabledControls(download_.CurrentPhase(), fileLoaded_);
  Button1->setEnabled(buttons.open);
  Button2->setEnabled(buttons.write);
  Button3->setEnabled(buttons.cancel);
  if (!download_.Running()) focusReturn_.Back();
  CheckBoxFast->setEnabled(!download_.Running());

  if (download_.CurrentPhase() == firmware::Phase::Ended && !logShown_) {
    logShown_ = true;
    Memo2->setPlainText(QString::fromLatin1(download_.LogView()));
  }
}
