#include "settings/settings_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <QValidator>
#include <algorithm>
#include <exception>
#include <memory>

#include "history/format.h"
#include "jobs/descriptor.h"
#include "session/config.h"
#include "session/shared_state.h"
#include "settings/profile.h"
#include "ui/escape_key.h"
#include "ui/guarded.h"
#include "ui/open_dialog.h"
#include "ui/window_fit.h"

namespace {

constexpr char kFillIn[] = "You must fill in this field";
constexpr char kDefaultQuestion[] =
    "Restore the unit's default settings? Its parameters will be overwritten.";
constexpr char kStopQuestion[] =
    "The write is not finished: the unit keeps only the lines sent so far. Stop it?";
constexpr char kProfileKey[] = "PROFILE";  // [PATH] of VERT.ini: the folder of the last profile
// Profiles are saved with ".ini"; one without (or with another extension) is loaded as well.
const QStringList kProfileFilters = {"Profiles (*.ini)", "All files (*)"};

bool accepts(std::string_view characters, QChar c) {
  return c.unicode() < 0x80 && characters.find(static_cast<char>(c.unicode())) != std::string::npos;
}

// The keyboard filter of a code field as a validator, so that pasted and dropped text obeys it as
// typed text does: characters outside the field's set are removed and the text is held to the
// field's length.
class CodeValidator : public QValidator {
 public:
  CodeValidator(std::string_view characters, int maxLength, QObject *parent)
      : QValidator(parent), characters_(characters), maxLength_(maxLength) {}

  State validate(QString &input, int &pos) const override {
    QString kept;
    int keptPos = 0;
    for (int i = 0; i < input.size(); ++i) {
      if (!accepts(characters_, input[i])) continue;
      kept.append(input[i]);
      if (i < pos) ++keptPos;
    }
    if (kept.size() > maxLength_) kept.truncate(maxLength_);
    input = kept;
    pos = std::min(keptPos, static_cast<int>(kept.size()));
    return Acceptable;
  }

 private:
  std::string_view characters_;
  int maxLength_;
};

QLabel *boldLabel(const QString &text) {
  auto *label = new QLabel(text);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

QString text(std::string_view s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

// What a screen reader calls a parameter's control: its word and its label.
QString spoken(const params::Parameter &p, std::string_view label) {
  return text(p.word) + " " + text(label).trimmed();
}

// The label of a field, which gives the field its access key.
QLabel *labelOf(std::string_view caption, QWidget *field) {
  auto *label = new QLabel(text(caption));
  label->setBuddy(field);
  return label;
}

}  // namespace

TForm6::TForm6(SharedState &state, QWidget *parent)
    : QDialog(parent),
      state_(state),
      write_(state, *this, prompt_, writeView_),
      default_(state, *this, prompt_, defaultView_) {
  setObjectName("TForm6");
  setWindowTitle("Setting parameters");

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(settings::kWriteTickMs);
  connect(Timer1, &QTimer::timeout, this, &TForm6::Timer1Timer);
  writeView_.SetTimer(Timer1);
  Timer2 = new QTimer(this);
  Timer2->setObjectName("Timer2");
  Timer2->setInterval(settings::kDefaultTickMs);
  connect(Timer2, &QTimer::timeout, this, &TForm6::Timer2Timer);
  defaultView_.SetTimer(Timer2);

  buildWindow();

  connect(qApp, &QApplication::focusChanged, this, &TForm6::focusChanged);
  for (const auto &[field, rule] : checks_) {
    if (!rule.onChange) continue;
    auto *edit = qobject_cast<QLineEdit *>(field);
    connect(edit, &QLineEdit::textChanged, this, [this, edit] { check(edit); });
  }
  connect(Button1, &QPushButton::clicked, this, &TForm6::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm6::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm6::reject);
  connect(ButtonSaveProfile, &QPushButton::clicked, this, &TForm6::ButtonSaveProfileClick);
  connect(ButtonLoadProfile, &QPushButton::clicked, this, &TForm6::ButtonLoadProfileClick);
}

QWidget *TForm6::makeField(const params::Parameter &p) {
  QWidget *field = nullptr;
  switch (p.kind) {
    case params::Kind::List:
    case params::Kind::Index: {
      // A drop-down list whose entry line takes no typing: a value is only chosen from the list.
      auto *combo = new QComboBox(this);
      combo->setEditable(true);
      combo->setInsertPolicy(QComboBox::NoInsert);
      combo->setCompleter(nullptr);
      combo->lineEdit()->setReadOnly(true);
      for (const auto &entry : p.entries) combo->addItem(QString::fromStdString(entry));
      combo->setCurrentIndex(params::PositionOf(p, p.initial) - 1);
      checks_[combo] = {1, true, false};
      field = combo;
      break;
    }
    case params::Kind::Code: {
      auto *edit = new QLineEdit(this);
      edit->setMaxLength(p.maxLength);
      edit->setValidator(new CodeValidator(p.characters, p.maxLength, edit));
      edit->installEventFilter(this);
      edit->setText(QString::fromStdString(p.initial));
      characters_[edit] = p.characters;
      // Edit4 is checked at every change only, Edit5 at every change and on leaving.
      const bool edit4 = p.field == "Edit4", edit5 = p.field == "Edit5";
      checks_[edit] = {p.minLength, !edit4, edit4 || edit5};
      field = edit;
      break;
    }
    case params::Kind::Radio: {
      auto *first = new QRadioButton(text(p.label), this);
      auto *second = new QRadioButton(text(p.label2), this);
      second->setObjectName(text(p.field2));
      first->setAccessibleName(spoken(p, p.label));
      second->setAccessibleName(spoken(p, p.label2));
      auto *pair = new QButtonGroup(this);
      pair->addButton(first);
      pair->addButton(second);
      (p.initial == "1" ? first : second)->setChecked(true);
      field = first;
      break;
    }
  }
  field->setObjectName(text(p.field));
  if (p.kind != params::Kind::Radio) field->setAccessibleName(spoken(p, p.label));
  fields_[p.word] = field;
  return field;
}

void TForm6::buildWindow() {
  for (const auto &p : params::Table()) makeField(p);
  auto combo = [this](const char *name) { return findChild<QComboBox *>(name); };
  auto edit = [this](const char *name) { return findChild<QLineEdit *>(name); };
  auto radio = [this](const char *name) { return findChild<QRadioButton *>(name); };
  ComboBox1 = combo("ComboBox1"), ComboBox2 = combo("ComboBox2"), ComboBox3 = combo("ComboBox3");
  ComboBox4 = combo("ComboBox4"), ComboBox5 = combo("ComboBox5"), ComboBox6 = combo("ComboBox6");
  ComboBox7 = combo("ComboBox7"), ComboBox8 = combo("ComboBox8"), ComboBox9 = combo("ComboBox9");
  ComboBox10 = combo("ComboBox10"), ComboBox11 = combo("ComboBox11");
  ComboBox12 = combo("ComboBox12"), ComboBox13 = combo("ComboBox13");
  ComboBox14 = combo("ComboBox14");
  Edit1 = edit("Edit1"), Edit2 = edit("Edit2"), Edit3 = edit("Edit3"), Edit4 = edit("Edit4");
  Edit5 = edit("Edit5"), Edit6 = edit("Edit6"), Edit7 = edit("Edit7"), Edit8 = edit("Edit8");
  Edit9 = edit("Edit9"), Edit10 = edit("Edit10");
  RadioButton1 = radio("RadioButton1"), RadioButton2 = radio("RadioButton2");
  RadioButton3 = radio("RadioButton3"), RadioButton4 = radio("RadioButton4");

  // A numbered row: the number in bold, the label, the field and its unit.
  auto rows = [this](const char *caption, std::initializer_list<std::string_view> words) {
    auto *group = new QGroupBox(caption);
    auto *grid = new QGridLayout(group);
    int row = 0;
    for (auto word : words) {
      const auto &p = *params::Find(word);
      grid->addWidget(boldLabel(QString::number(p.number)), row, 0, Qt::AlignRight);
      grid->addWidget(labelOf(p.label, fields_.at(word)), row, 1);
      grid->addWidget(fields_.at(word), row, 2);
      grid->addWidget(new QLabel(text(p.unit)), row, 3);
      ++row;
    }
    grid->setColumnStretch(1, 1);
    return group;
  };
  auto *automat =
      rows(" Automat parameters ", {"P01", "P02", "P03", "P04", "P15", "P16", "P17", "P18", "P19"});
  automat->setObjectName("GroupBox1");
  auto *dial = rows(" Dial DTMF ", {"P05", "P06", "P07", "P08"});
  dial->setObjectName("GroupBox2");
  auto *clip = rows(" CLIP parameters ", {"P10", "P11", "P12", "P13"});
  clip->setObjectName("GroupBox3");

  // Two rows of three small two-character fields.
  auto *code = new QGroupBox("Code");
  code->setObjectName("GroupBox4");
  auto *codeGrid = new QGridLayout(code);
  const std::string_view codeWords[2][3] = {{"P20", "P21", "P22"}, {"P23", "P24", "P25"}};
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 3; ++c) {
      const auto &p = *params::Find(codeWords[r][c]);
      QWidget *field = fields_.at(p.word);
      field->setFixedWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 12);
      codeGrid->addWidget(labelOf(p.label, field), r, 2 * c, Qt::AlignRight);
      codeGrid->addWidget(field, r, 2 * c + 1);
    }
  }

  auto *lift = new QGroupBox("LiftSetting");
  lift->setObjectName("GroupBox5");
  auto *liftRow = new QHBoxLayout(lift);
  auto *dayNight = new QVBoxLayout;
  dayNight->addWidget(RadioButton1);
  dayNight->addWidget(RadioButton2);
  liftRow->addLayout(dayNight);
  auto *callFrame = new QFrame;
  callFrame->setObjectName("Panel1");
  callFrame->setFrameShape(QFrame::StyledPanel);
  auto *callType = new QVBoxLayout(callFrame);
  callType->addWidget(RadioButton3);
  callType->addWidget(RadioButton4);
  liftRow->addWidget(callFrame);
  auto *acknowledge = new QVBoxLayout;
  acknowledge->addWidget(labelOf(params::Find("TYPG")->label, ComboBox5));
  acknowledge->addWidget(ComboBox5);
  liftRow->addLayout(acknowledge);
  liftRow->addStretch();

  auto *deviceFrame = new QFrame;
  deviceFrame->setObjectName("Panel2");
  deviceFrame->setFrameShape(QFrame::StyledPanel);
  auto *deviceRow = new QHBoxLayout(deviceFrame);
  deviceRow->addWidget(new QLabel("Device:"));
  lblSerial = boldLabel("VRT00000");
  lblSerial->setObjectName("lblSerial");
  lblSerial->setAccessibleName("Unit");
  deviceRow->addWidget(lblSerial);

  Button1 = new QPushButton("Default setting");
  Button1->setObjectName("Button1");
  Button2 = new QPushButton("Write to Skarvel");
  Button2->setObjectName("Button2");
  Button3 = new QPushButton("Cancel");
  Button3->setObjectName("Button3");
  ButtonSaveProfile = new QPushButton("Save profile...");
  ButtonSaveProfile->setObjectName("ButtonSaveProfile");
  ButtonLoadProfile = new QPushButton("Load profile...");
  ButtonLoadProfile->setObjectName("ButtonLoadProfile");
  auto *bottom = new QHBoxLayout;
  bottom->addWidget(deviceFrame);
  for (auto *button : {ButtonSaveProfile, ButtonLoadProfile}) {
    button->setAutoDefault(false);
    bottom->addWidget(button);
  }
  bottom->addStretch();
  for (auto *button : {Button1, Button2, Button3}) {
    button->setAutoDefault(false);
    bottom->addWidget(button);
  }

  auto *right = new QVBoxLayout;
  right->addWidget(dial);
  right->addWidget(clip);
  right->addWidget(code);
  right->addStretch();
  // The parameters scroll when the screen is too small for them; the buttons stay in view.
  auto *parameters = new QWidget;
  parameters->setObjectName("Parameters");
  auto *top = new QHBoxLayout;
  top->addWidget(automat, 1);
  top->addLayout(right);
  auto *inner = new QVBoxLayout(parameters);
  inner->setContentsMargins(0, 0, 0, 0);
  inner->addLayout(top);
  inner->addWidget(lift);
  auto *scroll = new QScrollArea(this);
  scroll->setObjectName("ScrollParameters");
  scroll->setAccessibleName("Parameters");
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidget(parameters);
  scroll->setFocusPolicy(Qt::NoFocus);
  // As large as the parameters wish, where the screen has room for it.
  const QSize wish = parameters->sizeHint();
  scroll->setMinimumSize(std::min(wish.width() + 24, 320), std::min(wish.height(), 160));
  auto *layout = new QVBoxLayout(this);
  layout->addWidget(scroll, 1);
  layout->addLayout(bottom);
  // A field that takes the focus is scrolled into view.
  connect(qApp, &QApplication::focusChanged, scroll, [scroll, parameters](QWidget *, QWidget *now) {
    if (now && parameters->isAncestorOf(now)) scroll->ensureWidgetVisible(now);
  });
  GiveAccessKeys(this);
  resize(wish.width() + 2 * layout->contentsMargins().left() + 24,
         wish.height() + bottom->sizeHint().height() + 3 * layout->spacing() +
             2 * layout->contentsMargins().top());
}

int TForm6::ChosenPosition(const params::Parameter &p) const {
  auto *combo = qobject_cast<QComboBox *>(fields_.at(p.word));
  return combo ? combo->currentIndex() + 1 : 0;
}

std::string TForm6::Text(const params::Parameter &p) const {
  auto *edit = qobject_cast<QLineEdit *>(fields_.at(p.word));
  return edit ? edit->text().toLatin1().toStdString() : std::string();
}

bool TForm6::FirstChosen(const params::Parameter &p) const {
  auto *radio = qobject_cast<QRadioButton *>(fields_.at(p.word));
  return radio && radio->isChecked();
}

void TForm6::PutDefaults() {
  for (const auto &p : params::Table()) {
    if (!p.defaultValue) continue;
    QWidget *field = fields_.at(p.word);
    if (auto *combo = qobject_cast<QComboBox *>(field))
      combo->setCurrentIndex(params::PositionOf(p, *p.defaultValue) - 1);
    else if (auto *edit = qobject_cast<QLineEdit *>(field))
      edit->setText(QString::fromStdString(*p.defaultValue));
  }
}

void TForm6::updateButtons() {
  const bool enabled = settings::ButtonsEnabled(write_.Running(), default_.Running());
  for (auto *button : {Button1, Button2, Button3, ButtonSaveProfile, ButtonLoadProfile})
    button->setEnabled(enabled);
  if (enabled) focusReturn_.Back();
  // A write sends what the fields held when it began: they take no edit until it ends.
  const bool editable = !write_.Running();
  for (const auto &p : params::Table()) {
    fields_.at(p.word)->setEnabled(editable);
    if (p.kind == params::Kind::Radio)
      findChild<QRadioButton *>(text(p.field2))->setEnabled(editable);
  }
}

void TForm6::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TForm6::FormShow() {
  FitToScreen(this);  // its size first: the window is centred at the size it opens with
  if (QWidget *owner = parentWidget()) {
    const QRect over = owner->window()->frameGeometry();
    move(over.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
  }
  FitToScreen(this);  // and kept on the screen
  lblSerial->setText(QString::fromStdString(state_.ChosenSerial()));
  updateButtons();
  // The first parameter's field takes the keys.
  fields_.at(params::Table().front().word)->setFocus(Qt::OtherFocusReason);
  // Each list chooses the entry whose text equals the text it shows.
  for (const auto &[word, field] : fields_) {
    auto *combo = qobject_cast<QComboBox *>(field);
    if (!combo) continue;
    const int index =
        combo->findText(combo->currentText(), Qt::MatchFixedString | Qt::MatchCaseSensitive);
    if (index >= 0) combo->setCurrentIndex(index);
  }
  checking_ = false;
}

void TForm6::keyPressEvent(QKeyEvent *event) {
  // Esc is the Cancel button, which is disabled while a write or a default wait runs: neither is
  // cut short by Esc. Closing the window from its title bar still stops them.
  if (EscapePressesCancel(event, Button3)) return;
  QDialog::keyPressEvent(event);
}

void TForm6::done(int result) {
  // A write cut off leaves the unit half written: closing asks first. The ticks go on while the
  // question is open, and may end the write meanwhile.
  if ((write_.Running() || default_.Running()) &&
      !prompt_.Ask(kStopQuestion, state_.ChosenSerial()))
    return;
  FormClose();
  QDialog::done(result);
}

void TForm6::FormClose() {
  // A write or a default wait ends where it stands; nothing further is sent or taken.
  const QJsonObject began =
      write_.Running() ? jobs::EndDetails(write_) : jobs::EndDetails(default_);
  write_.Stop();
  default_.Stop();
  Timer1->stop();
  Timer2->stop();
  record_.End(history::Outcome::Interrupted, {}, began);
  updateButtons();
}

template <class Exchange>
void TForm6::endRecord(const Exchange &exchange) {
  record_.End(jobs::SettingsEnd(exchange, prompt_.Last()));
}

void TForm6::Button1Click() {
  if (!prompt_.Ask(kDefaultQuestion, state_.ChosenSerial())) return;
  focusReturn_.Pressed(Button1);
  Guarded(
      [&] {
        prompt_.ForgetLast();
        record_.Start(History, QString::fromStdString(state_.ChosenSerial()),
                      history::JobKind::Defaults, {});
        default_.Start();
        updateButtons();
      },
      [&] {
        default_.Stop();
        Timer2->stop();
        endRecord(default_);
        updateButtons();
      });
}

void TForm6::Button2Click() {
  focusReturn_.Pressed(Button2);
  Guarded(
      [&] {
        prompt_.ForgetLast();
        const auto values = settings::WriteValues(*this);
        record_.Start(History, QString::fromStdString(state_.ChosenSerial()),
                      history::JobKind::Settings,
                      history::SettingsDetails(values, values == profileValues_
                                                           ? std::optional<QString>(profileFile_)
                                                           : std::nullopt));
        write_.Start();
        updateButtons();
      },
      [&] {
        write_.Stop();
        Timer1->stop();
        endRecord(write_);
        updateButtons();
      });
}

QString TForm6::chooseProfile(bool save) {
  // Qt's own dialog, as the program's other file dialogs, on "*.ini"; made for this use only.
  const std::unique_ptr<QFileDialog> dialog(
      MakeOpenDialog(this, save ? "Save profile" : "Load profile"));
  if (save) {
    dialog->setObjectName("SaveDialog1");
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
  }
  // A saved profile gets ".ini" when its name has no extension; a loaded one is taken as named.
  if (save) dialog->setDefaultSuffix("ini");
  dialog->setNameFilters(kProfileFilters);
  PrepareOpenDialog(*dialog, ReadRememberedPath(state_.ProgramFolder, kProfileKey),
                    state_.ProgramFolder);
  if (!RunFileDialog(*dialog, this)) return {};
  return dialog->selectedFiles().first();
}

void TForm6::rememberFolder(const QString &fileName) {
  WriteRememberedPath(state_.ProgramFolder, kProfileKey,
                      QFileInfo(fileName).absolutePath().toStdString());
}

void TForm6::ButtonSaveProfileClick() {
  const QString fileName = chooseProfile(true);
  if (fileName.isEmpty()) return;
  // The folder is remembered once the profile is in it: a folder that refused it is not offered
  // again.
  Guarded([&] {
    settings::WriteProfile(fileName.toStdString(), *this);
    rememberFolder(fileName);
  });
}

void TForm6::ButtonLoadProfileClick() {
  const QString fileName = chooseProfile(false);
  if (fileName.isEmpty()) return;
  // Read whole before any field changes: a refused profile leaves every field as it was.
  Guarded([&] {
    putProfile(settings::ReadProfile(fileName.toStdString()));
    rememberFolder(fileName);
    profileFile_ = fileName;
    profileValues_ = settings::WriteValues(*this);
  });
}

void TForm6::putProfile(const settings::ParameterFields &profile) {
  for (const auto &p : params::Table()) {
    QWidget *field = fields_.at(p.word);
    if (auto *combo = qobject_cast<QComboBox *>(field)) {
      combo->setCurrentIndex(profile.ChosenPosition(p) - 1);
    } else if (auto *edit = qobject_cast<QLineEdit *>(field)) {
      edit->setText(QString::fromStdString(profile.Text(p)));
    } else if (auto *first = qobject_cast<QRadioButton *>(field)) {
      auto *second = findChild<QRadioButton *>(text(p.field2));
      (profile.FirstChosen(p) ? first : second)->setChecked(true);
    }
  }
}

void TForm6::Timer1Timer() {
  Guarded(
      [&] {
        write_.Step();
        if (!write_.Running()) endRecord(write_);
      },
      [&] {
        write_.Stop();
        Timer1->stop();
        endRecord(write_);
        updateButtons();
      });
}

void TForm6::Timer2Timer() {
  Guarded(
      [&] {
        default_.Step();
        if (!default_.Running()) endRecord(default_);
      },
      [&] {
        default_.Stop();
        Timer2->stop();
        endRecord(default_);
        updateButtons();
      });
}

bool TForm6::eventFilter(QObject *watched, QEvent *event) {
  // The keyboard filter of the code fields: a typed character outside the field's set is
  // discarded; backspace and the other control keys pass.
  if (event->type() == QEvent::KeyPress) {
    auto it = characters_.find(watched);
    if (it != characters_.end()) {
      auto *key = static_cast<QKeyEvent *>(event);
      if (key->matches(QKeySequence::Paste)) {
        // Pasted from the keyboard: the accepted characters of the whole clipboard text, as far
        // as they fit (the field would otherwise cut the text to its length before filtering).
        auto *edit = static_cast<QLineEdit *>(watched);
        QString kept;
        for (QChar c : QApplication::clipboard()->text())
          if (accepts(it->second, c)) kept.append(c);
        if (!edit->isReadOnly()) edit->insert(kept);
        return true;
      }
      const QString typed = key->text();
      if (!typed.isEmpty() && typed[0].isPrint() && !accepts(it->second, typed[0])) return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

QWidget *TForm6::checkedFieldOf(QWidget *widget) const {
  for (QWidget *w = widget; w && w != this; w = w->parentWidget())
    if (checks_.count(w)) return w;
  return nullptr;
}

void TForm6::focusChanged(QWidget *old, QWidget *now) {
  // A field is checked on leaving only when the focus goes to another control of this window:
  // not to a message box or another window, not while a check gives the focus back, and not
  // during a write, whose fields are disabled.
  if (checking_ || write_.Running() || !isVisible() || !old || !now || now->window() != this)
    return;
  QWidget *field = checkedFieldOf(old);
  if (!field || checkedFieldOf(now) == field || !checks_.at(field).onLeave) return;
  check(field);
}

void TForm6::check(QWidget *field) {
  if (checking_ || write_.Running() || !isVisible()) return;
  const Check rule = checks_.at(field);
  qsizetype length = 0;
  if (auto *combo = qobject_cast<QComboBox *>(field))
    length = combo->currentText().size();
  else if (auto *edit = qobject_cast<QLineEdit *>(field))
    length = edit->text().size();
  if (length >= rule.minLength) return;
  checking_ = true;
  prompt_.Warn(kFillIn);
  activateWindow();
  field->setFocus(Qt::OtherFocusReason);
  checking_ = false;
}
