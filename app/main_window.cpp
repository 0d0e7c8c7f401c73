#include "app/main_window.h"

#include <QApplication>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <system_error>

#include "app/choice_window.h"
#include "app/history_window.h"
#include "console/console_window.h"
#include "firmware/firmware_window.h"
#include "history/server_sender.h"
#include "history/store.h"
#include "recorder/recorder_window.h"
#include "session/config.h"
#include "session/version.h"
#include "settings/settings_window.h"
#include "ui/buttons.h"
#include "ui/guarded.h"
#include "ui/message_boxes.h"
#include "ui/window_fit.h"

namespace {

void SetLabelFont(QLabel *label, int pointSize, bool bold) {
  QFont font = label->font();
  font.setPointSize(pointSize);
  font.setBold(bold);
  label->setFont(font);
}

}  // namespace

QImage BannerPicture() {
  QImage image(473, 157, QImage::Format_RGB888);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, image.height());
  sky.setColorAt(0, QColor(18, 52, 96));
  sky.setColorAt(1, QColor(44, 128, 150));
  painter.fillRect(image.rect(), sky);

  // A lift shaft with its car, doors ajar.
  painter.setPen(QPen(QColor(220, 230, 240), 3));
  painter.setBrush(QColor(30, 40, 60));
  painter.drawRect(40, 14, 110, 130);
  painter.setBrush(QColor(200, 205, 215));
  painter.drawRect(52, 40, 40, 96);
  painter.drawRect(98, 40, 40, 96);
  painter.setBrush(QColor(240, 190, 60));
  painter.drawEllipse(QPointF(95, 26), 7, 7);

  // The call going out over the line.
  painter.setBrush(Qt::NoBrush);
  for (int ring = 0; ring < 4; ++ring) {
    painter.setPen(QPen(QColor(240, 190, 60, 230 - 45 * ring), 4));
    const double r = 30 + 26 * ring;
    painter.drawArc(QRectF(170 - r, 79 - r, 2 * r, 2 * r), -50 * 16, 100 * 16);
  }
  QPainterPath wave;
  wave.moveTo(280, 79);
  for (int x = 280; x <= 450; x += 2)
    wave.lineTo(x, 79 + 22 * std::sin((x - 280) / 11.0) * std::exp(-(x - 280) / 140.0));
  painter.setPen(QPen(QColor(230, 240, 250), 3));
  painter.drawPath(wave);
  return image;
}

QString MainCaption(const std::string &version) {
  return QStringLiteral("TolvaneAlarm  - V ") + QString::fromStdString(version);
}

TForm3::TForm3(std::string programFolder, QWidget *parent)
    : TForm3(std::move(programFolder), BannerPicture, parent) {}

TForm3::TForm3(std::string programFolder, const std::function<QImage()> &banner, QWidget *parent)
    : QWidget(parent), state_(std::move(programFolder)) {
  setObjectName("TForm3");
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

  Panel1 = new QFrame(this);
  Panel1->setObjectName("Panel1");
  Panel1->setFrameShape(QFrame::StyledPanel);

  Label2 = new QLabel("Skarvel - Tolvane for Alarm", Panel1);
  Label2->setObjectName("Label2");
  Label2->setAlignment(Qt::AlignCenter);
  Label2->setWordWrap(true);
  QFont large = Label2->font();
  large.setPointSize(20);
  large.setBold(true);
  large.setItalic(true);
  Label2->setFont(large);

  Label3 = new QLabel(
      " Technical support - command, programming parameter, upgrade firmware and recording "
      "messages. ",
      Panel1);
  Label3->setObjectName("Label3");
  Label3->setAlignment(Qt::AlignCenter);
  Label3->setWordWrap(true);
  SetLabelFont(Label3, Label3->font().pointSize(), true);

  Image1 = new QLabel(Panel1);
  Image1->setObjectName("Image1");
  Image1->setFixedSize(473, 157);
  Image1->setAccessibleName("Skarvel banner");

  auto *heading = new QVBoxLayout(Panel1);
  heading->addWidget(Label2);
  heading->addWidget(Label3);
  heading->addWidget(Image1, 0, Qt::AlignHCenter);

  Button5 = MakeButton(this, "Button5", "Select device");

  Label1 = new QLabel("- - - - - -", this);
  Label1->setObjectName("Label1");
  Label1->setTextFormat(Qt::PlainText);
  Label1->setWordWrap(true);
  Label1->setAccessibleName("Unit");
  SetLabelFont(Label1, Label1->font().pointSize(), true);

  Button6 = MakeButton(this, "Button6", "Set parameters");
  Button1 = MakeButton(this, "Button1", "Communicator");
  Button2 = MakeButton(this, "Button2", "Message recorder");
  Button3 = MakeButton(this, "Button3", "Firmware");
  Button4 = MakeButton(this, "Button4", "Exit");
  ButtonHistory = MakeButton(this, "ButtonHistory", "History");
  LabelHistory = new QLabel(this);
  LabelHistory->setObjectName("LabelHistory");
  LabelHistory->setAccessibleName("History");
  KeepNarrow(LabelHistory);

  auto *buttons = new QGridLayout;
  buttons->addWidget(Button5, 0, 0);
  buttons->addWidget(Label1, 0, 1, 1, 3);
  buttons->addWidget(Button6, 1, 0);
  buttons->addWidget(Button1, 1, 1);
  buttons->addWidget(Button2, 1, 2);
  buttons->addWidget(Button3, 1, 3);
  buttons->addWidget(ButtonHistory, 2, 0);
  buttons->addWidget(LabelHistory, 2, 1, 1, 2);
  buttons->addWidget(Button4, 2, 3);
  for (int column = 0; column < 4; ++column) buttons->setColumnStretch(column, 1);
  for (QPushButton *button : {Button5, Button6, Button1, Button2, Button3, Button4, ButtonHistory})
    button->setMinimumHeight(button->sizeHint().height() * 5 / 4);
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->addWidget(Panel1);
  layout->addLayout(buttons);
  GiveAccessKeys(this);
  // The design's size, or what a larger font needs: not to be resized.
  setFixedSize(QSize(656, 428).expandedTo(layout->totalSizeHint()));

  connect(Button1, &QPushButton::clicked, this, &TForm3::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm3::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm3::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm3::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &TForm3::Button5Click);
  connect(Button6, &QPushButton::clicked, this, &TForm3::Button6Click);
  connect(ButtonHistory, &QPushButton::clicked, this, &TForm3::ButtonHistoryClick);

  state_.LogFolder = DetectLogFolder(state_.ProgramFolder);

  // The history of the jobs: VERT.ini names its file and the bench; its writer, started once the
  // windows are made, opens the file on a thread of its own and its state reaches the label by
  // queued calls.
  const std::string configName = ConfigFileName(state_.ProgramFolder);
  const ConfigFile config(configName);
  journal_ = std::make_unique<history::Journal>(
      "tolvane",
      history::ConfiguredLocation(QString::fromStdString(config.Read("History", "Location")),
                                  QFileInfo(QString::fromStdString(configName)).absolutePath()),
      QString::fromStdString(config.Read("History", "Station")));
  // With the workshop's server, a sender of its own takes the file's records there and tries
  // again every 30 s while the window is open; the label says whether the history is shared.
  journal_->SetServer(QString::fromStdString(config.Read("History", "Server")));
  journal_->StateChanged = [this](const QString &) {
    QMetaObject::invokeMethod(
        this, [this] { ShowHistoryState(); }, Qt::QueuedConnection);
  };
  ShowHistoryState();

  Image1->setPixmap(QPixmap::fromImage(banner()));
  UpdateButtons();

  if (const QScreen *screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  FitToScreen(this);
}

TForm3::~TForm3() {
  // A start-up list of sound outputs still being read is waited for; its result is dropped.
  if (firstOutputs_.joinable()) firstOutputs_.join();
  // The other windows use the shared state, so they go before it.
  delete Form6;
  delete Form5;
  delete Form4;
  delete Form2;
  delete Form1;
  delete historyWindow_;
}

QString SharedHistoryLabel(const QString &state, qint64 waiting) {
  if (state == history::kSharedState) return "History: shared";
  return QString("History: on this bench, %1 %2 for the server (%3)")
      .arg(waiting)
      .arg(waiting == 1 ? "record waits" : "records wait", state);
}

QString HistoryLabelText(history::HistoryState state, const QString &text) {
  return state == history::HistoryState::NotKept ? "History " + text : "History: " + text;
}

void TForm3::ShowHistoryState() {
  const history::HistoryState state = journal_->StateValue();
  if (state == history::HistoryState::Kept && journal_->HasServer()) {
    const QString server = journal_->ServerState();
    SetNarrowText(LabelHistory, SharedHistoryLabel(
                                    server.isEmpty() ? QString("connecting to the server") : server,
                                    journal_->Waiting()));
  } else {
    SetNarrowText(LabelHistory, HistoryLabelText(state, journal_->State()));
  }
}

void TForm3::ButtonHistoryClick() {
  if (!historyWindow_)
    historyWindow_ = new HistoryWindow(
        journal_->Off() ? QString() : journal_->FileName(),
        QString::fromStdString(
            ConfigFile(ConfigFileName(state_.ProgramFolder)).Read("History", "Server")),
        this);
  historyWindow_->SetUnit(state_.DeviceChosen ? QString::fromStdString(state_.ChosenSerial())
                                              : QString());
  ShowModally(historyWindow_);
}

void TForm3::SetWindows(TForm1 *console, TForm2 *firmware, TForm4 *choice, TForm5 *recorder,
                        TForm6 *settings) {
  Form1 = console;
  Form2 = firmware;
  Form4 = choice;
  Form5 = recorder;
  Form6 = settings;
  if (console) console->History = History();
  if (firmware) firmware->History = History();
  if (recorder) recorder->History = History();
  if (settings) settings->History = History();
}

void TForm3::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (event->spontaneous() || shown_) return;
  shown_ = true;
  FormShow();
}

bool TForm3::event(QEvent *event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::Paint && shown_ && !painted_) {
    painted_ = true;
    // Runs once this paint has reached the screen.
    QTimer::singleShot(0, this, &TForm3::AfterFirstPaint);
  }
  return handled;
}

void TForm3::FormShow() {
  Guarded(
      [this] {
        std::string version;
        GetVersion(QCoreApplication::applicationFilePath().toStdString(), version);
        setWindowTitle(MainCaption(version));
        startScanDue_ = true;
      },
      [this] { UpdateButtons(); });
}

void TForm3::StartHistory() {
  journal_->Start();
}

void TForm3::AfterFirstPaint() {
  if (ListOutputs && !outputsReadByPress_) {
    try {
      firstOutputs_ = std::thread([this, list = ListOutputs] {
        std::vector<std::string> outputs;
        try {
          outputs = list();
        } catch (...) {
          // A listing that fails finds no sound output, as at a press.
        }
        QMetaObject::invokeMethod(
            this, [this, outputs = std::move(outputs)] { TakeFirstOutputs(outputs); },
            Qt::QueuedConnection);
      });
    } catch (const std::system_error &) {
      // No thread to be had: the list is first read at a press of "Message recorder".
    }
  }
  if (!startScanDue_) return;
  startScanDue_ = false;
  Guarded(
      [this] {
        ScanDevices(state_);
        SetLabelFont(Label1, 9, false);
        Label1->setText(QString::fromStdString(DeviceCountText(state_.DeviceCount)));
      },
      [this] { UpdateButtons(); });
}

void TForm3::TakeFirstOutputs(const std::vector<std::string> &outputs) {
  if (firstOutputs_.joinable()) firstOutputs_.join();
  if (!outputsReadByPress_) state_.AudioDeviceList = outputs;
}

void TForm3::UpdateButtons() {
  const bool enabled = UnitButtonsEnabled(state_);
  for (QPushButton *button : {Button6, Button1, Button2, Button3}) button->setEnabled(enabled);
}

void TForm3::ShowSelection(const std::string &label) {
  SetLabelFont(Label1, 14, true);
  Label1->setText(QString::fromStdString(label));
  UpdateButtons();
}

void TForm3::ChooseUnit() {
  if (Form4) Form4->exec();
}

void TForm3::ShowModally(QDialog *window) {
  Guarded(
      [&] {
        if (window) window->exec();
        UpdateButtons();
      },
      [this] { UpdateButtons(); });
}

void TForm3::Button5Click() {
  startScanDue_ = false;
  Guarded(
      [this] {
        MessageBoxPrompt prompt(this);
        SelectDevice(state_, *this, prompt);
      },
      [this] { UpdateButtons(); });
}

void TForm3::Button6Click() {
  ShowModally(Form6);
}

void TForm3::Button1Click() {
  ShowModally(Form1);
}

void TForm3::Button3Click() {
  ShowModally(Form2);
}

void TForm3::Button2Click() {
  Guarded(
      [this] {
        outputsReadByPress_ = true;
        state_.AudioDeviceList.clear();
        if (ListOutputs) state_.AudioDeviceList = ListOutputs();
        if (state_.AudioDeviceList.empty()) {
          MessageBoxPrompt(this).Warn(kNoSoundCard);
          return;
        }
        ShowModally(Form5);
      },
      [] {});
}

void TForm3::Button4Click() {
  close();
}
