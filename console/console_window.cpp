#include "console/console_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QStringList>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>
#include <utility>
#include <vector>

#include "history/format.h"
#include "jobs/descriptor.h"
#include "session/config.h"
#include "session/shared_state.h"
#include "ui/guarded.h"
#include "ui/message_boxes.h"
#include "ui/status_colour.h"
#include "ui/window_fit.h"

namespace {

constexpr int kWidth = 674;
constexpr int kHeight = 595;

// At the initial size rows 1 to 23 are in view; the rows scroll.
constexpr int kRowsInView = 23;
constexpr int kMargin = 8;

// The longest command line: the most that VERT.ini gives back of a stored value.
constexpr int kMaxCommandLength = 2047;

const char *const kSection = "Setup";

const QColor kLineClearColour(192, 220, 192);
const QColor kSendErrorColour(255, 0, 0);

std::string Key(int row) {
  return "E" + std::to_string(row);
}

QColor ButtonFace() {
  return QApplication::palette().color(QPalette::Button);
}

void Paint(QLabel *label, const QString &text, const QColor &background) {
  label->setText(text);
  PaintStatus(label, background);
}

QLabel *Indicator(QWidget *parent, const char *name) {
  auto *label = new QLabel(parent);
  label->setObjectName(name);
  label->setAlignment(Qt::AlignCenter);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Paint(label, QString(), Qt::white);
  return label;
}

QPushButton *Button(QWidget *parent, const QString &name, const QString &text) {
  auto *button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

TForm1::TForm1(SharedState &state, QWidget *parent)
    : QDialog(parent), state_(state), session_(state, *this) {
  setObjectName("TForm1");
  setWindowTitle("Test VertikoCenter");

  Label5 = new QLabel("Device:", this);
  Label5->setObjectName("Label5");
  Label4 = new QLabel(this);
  Label4->setObjectName("Label4");
  QFont bold = Label4->font();
  bold.setBold(true);
  Label4->setFont(bold);
  Label4->setAccessibleName("Unit");

  CheckBox1 = new QCheckBox("RTS", this);
  CheckBox1->setObjectName("CheckBox1");
  CheckBox1->setAccessibleName("RTS cleared");
  Label3 = Indicator(this, "Label3");
  Label2 = Indicator(this, "Label2");
  SayStatus(Label3, "CTS line", "unknown");
  SayStatus(Label2, "Last send", "none yet");

  Button1 = Button(this, "Button1", "Clear");
  Button2 = Button(this, "Button2", "Cancel");

  Label1 = new QLabel("Receive:", this);
  Label1->setObjectName("Label1");
  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName("Memo1");
  Memo1->setAccessibleName("Received lines");
  Memo1->setReadOnly(true);  // what is typed there is discarded
  Memo1->setTabChangesFocus(true);
  Memo1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  Memo1->setUndoRedoEnabled(false);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->document()->setMaximumBlockCount(static_cast<int>(console::kMaxLines));
  Label1->setBuddy(Memo1);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  ClearALLCommands1 = PopupMenu1->addAction("Clear ALL Commands");
  ClearALLCommands1->setObjectName("ClearALLCommands1");
  SaveALLcommands1 = PopupMenu1->addAction("Save ALL commands");
  SaveALLcommands1->setObjectName("SaveALLcommands1");
  RetreiveALLCommands1 = PopupMenu1->addAction("Retreive ALL Commands");
  RetreiveALLCommands1->setObjectName("RetreiveALLCommands1");

  // The command rows scroll. Rows 1 to 22 have Button3 to Button24, rows 23 to 30 Button25 to
  // Button32. Every command line, line 15 included, offers the context menu; Enter in a line
  // presses its row's Send. All the Send buttons share Alt+S, which goes from one to the next.
  auto *rows = new QWidget;
  rows->setObjectName("Rows");
  auto *grid = new QGridLayout(rows);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setVerticalSpacing(1);
  for (int row = 1; row <= kRows; ++row) {
    auto *send = Button(rows, QString("Button%1").arg(row + 2), "&Send");
    send->setAccessibleName(QString("Send %1").arg(row));
    auto *edit = new QLineEdit(rows);
    edit->setObjectName(QString("Edit%1").arg(row));
    edit->setAccessibleName(QString("Command %1").arg(row));
    edit->setMaxLength(kMaxCommandLength);
    edit->setContextMenuPolicy(Qt::CustomContextMenu);
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance('0') * 16);
    grid->addWidget(send, row - 1, 0);
    grid->addWidget(edit, row - 1, 1);
    sendButtons_[static_cast<std::size_t>(row - 1)] = send;
    edits_[static_cast<std::size_t>(row - 1)] = edit;
    connect(send, &QPushButton::clicked, this, [this, row] { SendClick(row); });
    connect(edit, &QLineEdit::returnPressed, send, [send] { send->click(); });
    connect(edit, &QLineEdit::customContextMenuRequested, this,
            [this, edit](const QPoint &pos) { PopupMenu1->popup(edit->mapToGlobal(pos)); });
  }
  Rows = new QScrollArea(this);
  Rows->setObjectName("ScrollRows");
  Rows->setAccessibleName("Command lines");
  Rows->setWidgetResizable(true);
  Rows->setFrameShape(QFrame::NoFrame);
  Rows->setFocusPolicy(Qt::NoFocus);
  Rows->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Rows->setWidget(rows);
  Rows->setMinimumWidth(rows->sizeHint().width() + Rows->verticalScrollBar()->sizeHint().width());
  connect(qApp, &QApplication::focusChanged, Rows, [this, rows](QWidget *, QWidget *now) {
    if (now && rows->isAncestorOf(now)) Rows->ensureWidgetVisible(now);
  });

  auto *heading = new QHBoxLayout;
  heading->addWidget(Label5);
  heading->addWidget(Label4);
  heading->addSpacing(kMargin);
  heading->addWidget(CheckBox1);
  for (QLabel *indicator : {Label3, Label2}) {
    indicator->setMinimumWidth(indicator->fontMetrics().horizontalAdvance("VCCVC"));
    heading->addWidget(indicator);
  }
  heading->addStretch();
  heading->addWidget(Button1);
  heading->addWidget(Button2);
  auto *received = new QVBoxLayout;
  received->addWidget(Label1);
  received->addWidget(Memo1, 1);
  auto *body = new QHBoxLayout;
  body->addWidget(Rows);
  body->addLayout(received, 1);
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
  layout->addLayout(heading);
  layout->addLayout(body, 1);
  GiveAccessKeys(this);
  // Tall enough for the first rows, as wide as the rows and a received line of 40 characters.
  const int rowPitch = edits_[0]->sizeHint().height() + grid->verticalSpacing();
  resize(std::max(kWidth, Rows->minimumWidth() + Memo1->fontMetrics().horizontalAdvance('0') * 40),
         std::max(kHeight, heading->sizeHint().height() + kRowsInView * rowPitch + 3 * kMargin));

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(console::kTickMs);

  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(ClearALLCommands1, &QAction::triggered, this, &TForm1::ClearAllCommandsClick);
  connect(SaveALLcommands1, &QAction::triggered, this, &TForm1::SaveAllCommandsClick);
  connect(RetreiveALLCommands1, &QAction::triggered, this, &TForm1::RetreiveAllCommandsClick);
}

void TForm1::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  FitToScreen(this);
  FormShow();
  edits_[0]->setFocus(Qt::OtherFocusReason);
}

void TForm1::FormShow() {
  Guarded([&] {
    showing_ = true;
    CheckBox1->setChecked(false);
    ClearMemo();
    session_.Reset();
    loaded_ = false;
    if (!state_.Port) return;
    session_.Start();
    Label4->setText(QString::fromStdString(state_.ChosenSerial()));
    RetreiveAllCommandsClick();
    loaded_ = true;
  });
}

void TForm1::done(int result) {
  const std::optional<QString> error = FormClose();
  QDialog::done(result);
  if (error) ShowError(*error);
}

std::optional<QString> TForm1::FormClose() {
  if (!showing_) return std::nullopt;
  showing_ = false;
  session_.Stop();
  EndSendRecord();
  if (!loaded_) return std::nullopt;
  try {
    SaveAllCommands();
  } catch (const std::exception &e) {
    return QString::fromStdString(e.what());
  }
  return std::nullopt;
}

void TForm1::Timer1Timer() {
  Guarded(
      [&] {
        session_.SetRtsCleared(CheckBox1->isChecked());
        session_.Step();
      },
      // Ticking on would repeat the error ten times a second.
      [&] { session_.Stop(); });
}

void TForm1::StartTicking() {
  Timer1->start();
}

void TForm1::StopTicking() {
  Timer1->stop();
}

void TForm1::ShowTick(const console::TickResult &result) {
  if (!result.ran) return;
  if (shownCtsClear_ != result.ctsClear) {
    shownCtsClear_ = result.ctsClear;
    if (result.ctsClear)
      Paint(Label3, "VCC", kLineClearColour);
    else
      Paint(Label3, "---", ButtonFace());
    SayStatus(Label3, "CTS line", result.ctsClear ? "VCC, clear" : "not clear");
  }
  if (shownSendFailed_ != result.sendFailed) {
    shownSendFailed_ = result.sendFailed;
    if (result.sendFailed)
      Paint(Label2, "Err", kSendErrorColour);
    else
      Paint(Label2, QString(), ButtonFace());
    SayStatus(Label2, "Last send", result.sendFailed ? "Err, not sent" : "sent");
  }
  if (!result.added.empty()) AppendToMemo(result.added);
  if (record_.Active() && recordReply_.Tick(result.added, state_.ReplyBuffer, Timer1->interval()))
    EndSendRecord();
}

void TForm1::EndSendRecord() {
  record_.End(jobs::SendEnd(recordReply_));
}

void TForm1::AppendToMemo(const std::vector<std::string> &lines) {
  QStringList texts;
  texts.reserve(static_cast<qsizetype>(lines.size()));
  for (const std::string &line : lines)
    texts.append(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
  QScrollBar *bar = Memo1->verticalScrollBar();
  const bool atBottom = bar->value() == bar->maximum();
  QTextCursor cursor(Memo1->document());
  cursor.movePosition(QTextCursor::End);
  // An empty document already has one empty block; the first line goes into it.
  if (!memoEmpty_) cursor.insertBlock();
  cursor.insertText(texts.join('\n'));
  memoEmpty_ = false;
  if (atBottom) bar->setValue(bar->maximum());
}

void TForm1::ClearMemo() {
  Memo1->clear();
  memoEmpty_ = true;
}

void TForm1::SendClick(int row) {
  Guarded([&] {
    const QString text = edits_[static_cast<std::size_t>(row - 1)]->text();
    EndSendRecord();
    record_.Start(History, QString::fromStdString(state_.ChosenSerial()), history::JobKind::Send,
                  history::SendDetails(text.toLatin1().toStdString()));
    recordReply_ = {};
    recordReply_.SetSent(false);
    session_.Send(text.toLatin1().toStdString());
    recordReply_.SetSent(state_.LastSendResult);
  });
}

void TForm1::Button1Click() {
  session_.ClearList();
  ClearMemo();
}

void TForm1::Button2Click() {
  close();
}

void TForm1::ClearAllCommandsClick() {
  for (QLineEdit *edit : edits_) edit->clear();
}

void TForm1::SaveAllCommands() {
  std::vector<std::pair<std::string, std::string>> entries;
  entries.reserve(kRows);
  for (int row = 1; row <= kRows; ++row)
    entries.emplace_back(Key(row), edits_[static_cast<std::size_t>(row - 1)]->text().toStdString());
  ConfigFile(ConfigFileName(state_.ProgramFolder)).WriteAll(kSection, entries);
}

void TForm1::SaveAllCommandsClick() {
  Guarded([&] { SaveAllCommands(); });
}

void TForm1::RetreiveAllCommandsClick() {
  Guarded([&] {
    const ConfigFile file(ConfigFileName(state_.ProgramFolder));
    for (int row = 1; row <= kRows; ++row)
      edits_[static_cast<std::size_t>(row - 1)]->setText(
          QString::fromStdString(file.Read(kSection, Key(row))));
  });
}
