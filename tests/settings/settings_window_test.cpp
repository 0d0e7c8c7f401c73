#include "settings/settings_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "session/config.h"
#include "session/shared_state.h"
#include "settings/parameters.h"
#include "settings/profile.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/modal_script.h"
#include "tests/support/temp_folder.h"
#include "ui/window_fit.h"

namespace {

const std::string kDefaultQuestion =
    "Restore the unit's default settings? Its parameters will be overwritten.";
const std::string kStopQuestion =
    "The write is not finished: the unit keeps only the lines sent so far. Stop it?";

QString latin1(std::string_view s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

class SettingsWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    fake->add("VRT00042");
    state.SerialList[0] = "VRT00042";
    state.UnitCount = 1;
    state.DeviceChosen = true;
    state.Port = std::make_unique<TFT232>("VRT00042");
  }
  void TearDown() override {
    if (window.isVisible()) window.reject();
  }

  template <class T>
  T *child(const char *name) {
    auto *found = window.findChild<T *>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  QComboBox *combo(const char *name) { return child<QComboBox>(name); }
  QLineEdit *edit(const char *name) { return child<QLineEdit>(name); }
  QPushButton *button(const char *text) {
    for (auto *b : window.findChildren<QPushButton *>())
      if (ShownText(b->text()) == text) return b;
    ADD_FAILURE() << text;
    return nullptr;
  }
  // One tick of a window timer, as its timeout would run it.
  void tick(const char *timer) {
    QMetaObject::invokeMethod(child<QTimer>(timer), "timeout", Qt::DirectConnection);
  }
  bool buttonsEnabled() {
    const bool one = button("Default setting")->isEnabled();
    EXPECT_EQ(button("Write to Skarvel")->isEnabled(), one);
    EXPECT_EQ(button("Cancel")->isEnabled(), one);
    EXPECT_EQ(child<QPushButton>("ButtonSaveProfile")->isEnabled(), one);
    EXPECT_EQ(child<QPushButton>("ButtonLoadProfile")->isEnabled(), one);
    return one;
  }
  void show() {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  }
  // Waits (bounded) until the focus has settled in `w`.
  bool focusSettlesIn(QWidget *w) {
    for (int i = 0; i < 100 && QApplication::focusWidget() != w; ++i) QTest::qWait(5);
    return QApplication::focusWidget() == w;
  }
  fake::Device &unit() { return fake->devices[0]; }
  void reply(std::string_view bytes) {
    unit().rx.insert(unit().rx.end(), bytes.begin(), bytes.end());
  }
  std::string received() {
    std::string out;
    out.swap(unit().written);
    return out;
  }
  // The lines of a whole write of the fields, every line accepted.
  std::string writeAll() {
    received();
    button("Write to Skarvel")->click();
    std::string lines = received();
    for (int step = 1; step <= 27; ++step) {
      reply("OK\r\n");
      tick("Timer1");
      lines += received();
    }
    return lines;
  }
  // Clicks a profile button and chooses `file` in its dialog, after `check` looked at it.
  void profile(const char *buttonName, const QString &file,
               std::function<void(QFileDialog *)> check = {}) {
    int dialogs = 0;
    boxes.onDialog = [&](QFileDialog *dialog) {
      ++dialogs;
      if (check) check(dialog);
      ModalScript::ChooseFile(dialog, file);
    };
    child<QPushButton>(buttonName)->click();
    boxes.onDialog = {};
    EXPECT_EQ(dialogs, 1);
  }

  fake::Installed fake;
  SharedState state{"/tmp/"};
  TForm6 window{state, nullptr};
  ModalScript boxes{ModalScript::kAnswerBoxes};  // answers any box, so that no test can hang on one
};

TEST_F(SettingsWindow, HasEveryGroupRowAndFieldWithItsInitialValue) {
  EXPECT_EQ(window.objectName(), "TForm6");
  EXPECT_EQ(window.windowTitle(), "Setting parameters");

  QStringList groups;
  for (auto *g : window.findChildren<QGroupBox *>()) groups << g->title();
  for (const char *caption :
       {" Automat parameters ", " Dial DTMF ", " CLIP parameters ", "Code", "LiftSetting"})
    EXPECT_TRUE(groups.contains(caption)) << caption;

  QStringList labels, boldLabels;
  for (auto *l : window.findChildren<QLabel *>()) {
    labels << ShownText(l->text());
    if (l->font().bold()) boldLabels << l->text();
  }
  for (const auto &p : params::Table()) {
    if (p.kind == params::Kind::Radio) {
      EXPECT_EQ(ShownText(child<QRadioButton>(std::string(p.field).c_str())->text()),
                latin1(p.label));
      EXPECT_EQ(ShownText(child<QRadioButton>(std::string(p.field2).c_str())->text()),
                latin1(p.label2));
      continue;
    }
    EXPECT_TRUE(labels.contains(latin1(p.label))) << p.word;
    if (p.number) {
      EXPECT_TRUE(boldLabels.contains(QString::number(p.number))) << p.word;
    }
  }
  EXPECT_FALSE(boldLabels.contains("9"));
  EXPECT_FALSE(boldLabels.contains("14"));
  EXPECT_EQ(labels.count("sec"), 4);
  EXPECT_EQ(labels.count("ms"), 8);
  EXPECT_TRUE(labels.contains("Device:"));
  EXPECT_EQ(child<QLabel>("lblSerial")->text(), "VRT00000");
  EXPECT_TRUE(child<QLabel>("lblSerial")->font().bold());

  for (int n = 1; n <= 14; ++n) EXPECT_NE(combo(("ComboBox" + std::to_string(n)).c_str()), nullptr);
  for (int n = 1; n <= 4; ++n)
    EXPECT_EQ(edit(("Edit" + std::to_string(n)).c_str())->maxLength(), 6);
  for (int n = 5; n <= 10; ++n)
    EXPECT_EQ(edit(("Edit" + std::to_string(n)).c_str())->maxLength(), 2);
  EXPECT_EQ(combo("ComboBox1")->currentText(), "1.0");
  EXPECT_EQ(combo("ComboBox11")->currentText(), "80");
  EXPECT_EQ(combo("ComboBox13")->currentText(), "250");
  EXPECT_EQ(combo("ComboBox6")->currentText(), "8.0");
  EXPECT_EQ(combo("ComboBox5")->currentText(), "ID + CALL + LAST+ CNT");
  EXPECT_EQ(combo("ComboBox5")->count(), 5);
  EXPECT_EQ(edit("Edit1")->text(), "*66");
  EXPECT_EQ(edit("Edit8")->text(), "51");
  EXPECT_EQ(edit("Edit10")->text(), "##");
  EXPECT_TRUE(child<QRadioButton>("RadioButton1")->isChecked());
  EXPECT_TRUE(child<QRadioButton>("RadioButton3")->isChecked());

  // The two pairs are independent of each other.
  child<QRadioButton>("RadioButton2")->click();
  EXPECT_FALSE(child<QRadioButton>("RadioButton1")->isChecked());
  EXPECT_TRUE(child<QRadioButton>("RadioButton3")->isChecked());
  child<QRadioButton>("RadioButton4")->click();
  EXPECT_TRUE(child<QRadioButton>("RadioButton2")->isChecked());
  EXPECT_FALSE(child<QRadioButton>("RadioButton3")->isChecked());

  EXPECT_EQ(child<QTimer>("Timer1")->interval(), 80);
  EXPECT_EQ(child<QTimer>("Timer2")->interval(), 50);
  EXPECT_FALSE(child<QTimer>("Timer1")->isActive());
  EXPECT_FALSE(child<QTimer>("Timer2")->isActive());
  // The window's own buttons; those of its file dialogs belong to the dialogs' windows.
  for (auto *b : window.findChildren<QPushButton *>())
    if (b->window() == &window) {
      EXPECT_FALSE(b->autoDefault()) << b->text().toStdString();
    }
  EXPECT_EQ(button("Save profile...")->objectName(), "ButtonSaveProfile");
  EXPECT_EQ(button("Load profile...")->objectName(), "ButtonLoadProfile");
  EXPECT_EQ(button("Default setting")->objectName(), "Button1");
  EXPECT_EQ(button("Write to Skarvel")->objectName(), "Button2");
  EXPECT_EQ(button("Cancel")->objectName(), "Button3");
}

TEST_F(SettingsWindow, ShowingPutsTheSerialAndChoosesTheEntryThatIsShown) {
  QWidget owner;
  owner.setGeometry(0, 0, 800, 600);  // the screen's size: the window fits it
  owner.show();
  window.setParent(&owner, window.windowFlags());
  combo("ComboBox2")->setEditText("15.0");
  combo("ComboBox3")->setEditText("15.0");  // no such entry: the choice stays
  combo("ComboBox3")->setCurrentIndex(4);
  combo("ComboBox3")->setEditText("15.0");
  show();
  EXPECT_EQ(child<QLabel>("lblSerial")->text(), "VRT00042");
  EXPECT_TRUE(buttonsEnabled());
  EXPECT_EQ(combo("ComboBox2")->currentIndex(), 5);
  EXPECT_EQ(combo("ComboBox3")->currentIndex(), 4);
  EXPECT_EQ(combo("ComboBox1")->currentIndex(), 2);
  const QPoint offset = window.frameGeometry().center() - owner.frameGeometry().center();
  EXPECT_LE(offset.manhattanLength(), 4) << offset.x() << "," << offset.y();
  window.reject();
  window.setParent(nullptr);
}

TEST_F(SettingsWindow, ListFieldsTakeNoTypingOrPasting) {
  show();
  QApplication::clipboard()->setText("2.0");
  for (const char *name : {"ComboBox1", "ComboBox3", "ComboBox5", "ComboBox13"}) {
    QComboBox *c = combo(name);
    const QString shown = c->currentText();
    const int index = c->currentIndex();
    const int count = c->count();
    c->setFocus();
    QTest::keyClicks(c, "5a .");
    QTest::keyClick(c, Qt::Key_Backspace);
    QTest::keyClick(c, Qt::Key_Delete);
    QTest::keyClick(c, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(c, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(c->currentText(), shown) << name;
    EXPECT_EQ(c->currentIndex(), index) << name;
    EXPECT_EQ(c->count(), count) << name;
  }
}

TEST_F(SettingsWindow, CodeFieldsTakeOnlyTheirCharacters) {
  show();
  QLineEdit *e1 = edit("Edit1");
  e1->setFocus();
  e1->end(false);
  QTest::keyClicks(e1, "a 1*#bX9");
  EXPECT_EQ(e1->text(), "*661*#");  // six at most

  QLineEdit *e5 = edit("Edit5");
  e5->setFocus();
  e5->setSelection(1, 1);
  QTest::keyClicks(e5, "*# a");
  EXPECT_EQ(e5->text(), "51");
  QTest::keyClicks(e5, "7");
  EXPECT_EQ(e5->text(), "57");

  QLineEdit *e10 = edit("Edit10");
  e10->setFocus();
  e10->selectAll();
  QTest::keyClicks(e10, "a ");
  EXPECT_EQ(e10->text(), "##");
  QTest::keyClicks(e10, "*");
  QTest::keyClicks(e10, "#");
  EXPECT_EQ(e10->text(), "*#");

  QLineEdit *e8 = edit("Edit8");
  e8->setFocus();
  e8->setSelection(0, 1);
  QTest::keyClicks(e8, "#*x3");
  EXPECT_EQ(e8->text(), "31");
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(SettingsWindow, PastedAndDroppedTextObeysTheFilters) {
  show();
  QLineEdit *e2 = edit("Edit2");
  e2->setFocus();
  e2->selectAll();
  QApplication::clipboard()->setText(" 1a2*#b3 4");
  QTest::keyClick(e2, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(e2->text(), "12*#34");

  // Text that reaches the field by any other way (context menu, drop) passes its validator.
  QLineEdit *e9 = edit("Edit9");
  e9->setFocus();
  e9->selectAll();
  QApplication::clipboard()->setText("*7");
  e9->paste();
  EXPECT_EQ(e9->text(), "7");
  e9->clear();
  e9->insert("a8");
  EXPECT_EQ(e9->text(), "8");
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(SettingsWindow, AWriteSendsWhatTheFieldsHeldAtItsPressAndTakesNoEditMeanwhile) {
  show();
  QLineEdit *e10 = edit("Edit10");
  e10->setFocus();
  button("Write to Skarvel")->click();
  for (auto *field : {static_cast<QWidget *>(e10), static_cast<QWidget *>(combo("ComboBox5")),
                      static_cast<QWidget *>(child<QRadioButton>("RadioButton4"))})
    EXPECT_FALSE(field->isEnabled()) << field->objectName().toStdString();
  e10->setText("**");  // what a change could still do: it does not reach the unit
  std::string lines;
  for (int step = 1; step <= 27; ++step) {
    reply("OK\r\n");
    tick("Timer1");
    lines += received();
  }
  EXPECT_TRUE(lines.ends_with("AT@P2451\r\nAT@P25##\r\n"));
  EXPECT_TRUE(buttonsEnabled());
  EXPECT_TRUE(e10->isEnabled());
  EXPECT_TRUE(boxes.Texts().empty()) << "no field check ran during the write";
}

TEST_F(SettingsWindow, LeavingEdit6WithOneDigitIsAccepted) {
  show();
  QLineEdit *e6 = edit("Edit6");
  e6->setFocus();
  e6->selectAll();
  QTest::keyClicks(e6, "5");
  EXPECT_EQ(e6->text(), "5");
  edit("Edit7")->setFocus();
  EXPECT_TRUE(focusSettlesIn(edit("Edit7")));
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(SettingsWindow, LeavingEdit7WithOneDigitShowsTheMessageAndReturnsTheFocus) {
  show();
  QLineEdit *e7 = edit("Edit7");
  e7->setFocus();
  e7->selectAll();
  QTest::keyClicks(e7, "5");
  EXPECT_TRUE(boxes.Texts().empty());  // no check while typing
  QTest::mouseClick(edit("Edit8"), Qt::LeftButton);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"You must fill in this field"});
  EXPECT_TRUE(focusSettlesIn(e7));
  QTest::qWait(30);
  EXPECT_EQ(boxes.Texts().size(), 1u);
}

TEST_F(SettingsWindow, EmptyingEdit4ShowsTheMessageAtOnce) {
  show();
  QLineEdit *e4 = edit("Edit4");
  e4->setFocus();
  e4->selectAll();
  QTest::keyClick(e4, Qt::Key_Backspace);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"You must fill in this field"});
  EXPECT_TRUE(focusSettlesIn(e4));
  // Edit4 is not checked again on leaving.
  edit("Edit3")->setFocus();
  EXPECT_TRUE(focusSettlesIn(edit("Edit3")));
  EXPECT_EQ(boxes.Texts().size(), 1u);
}

TEST_F(SettingsWindow, Edit5IsCheckedAtEveryChangeAndOnLeaving) {
  show();
  QLineEdit *e5 = edit("Edit5");
  e5->setFocus();
  e5->end(false);
  QTest::keyClick(e5, Qt::Key_Backspace);
  EXPECT_EQ(e5->text(), "5");
  EXPECT_EQ(boxes.Texts().size(), 1u);  // at once, and not again when the box takes the focus
  EXPECT_TRUE(focusSettlesIn(e5));
  edit("Edit6")->setFocus();
  EXPECT_EQ(boxes.Texts().size(), 2u);
  EXPECT_TRUE(focusSettlesIn(e5));
  QTest::keyClicks(e5, "3");
  edit("Edit6")->setFocus();
  EXPECT_TRUE(focusSettlesIn(edit("Edit6")));
  EXPECT_EQ(boxes.Texts().size(), 2u);
}

TEST_F(SettingsWindow, TwoEmptyFieldsNeverPassTheMessageBackAndForth) {
  show();
  edit("Edit1")->clear();
  edit("Edit2")->clear();
  edit("Edit1")->setFocus();
  QTest::mouseClick(edit("Edit2"), Qt::LeftButton);
  EXPECT_TRUE(focusSettlesIn(edit("Edit1")));
  QTest::qWait(50);
  EXPECT_EQ(boxes.Texts().size(), 1u);
  EXPECT_EQ(QApplication::focusWidget(), edit("Edit1"));
}

TEST_F(SettingsWindow, NoCheckWhenTheFocusGoesToAnotherWindow) {
  show();
  edit("Edit7")->setText("5");
  edit("Edit7")->setFocus();
  QLineEdit elsewhere;
  elsewhere.show();
  elsewhere.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
  EXPECT_TRUE(boxes.Texts().empty());
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(SettingsWindow, AWriteAfterDefaultSendsTheDefaultsWithThePairsKept) {
  show();
  child<QRadioButton>("RadioButton2")->click();
  child<QRadioButton>("RadioButton4")->click();
  combo("ComboBox11")->setCurrentIndex(9);
  edit("Edit8")->setText("77");
  reply("stale");

  button("Default setting")->click();
  EXPECT_EQ(received(), "AT@DEFAULT\r\n");
  EXPECT_FALSE(buttonsEnabled());
  EXPECT_TRUE(child<QTimer>("Timer2")->isActive());
  EXPECT_EQ(combo("ComboBox11")->currentText(), "100");
  EXPECT_EQ(combo("ComboBox12")->currentText(), "100");
  EXPECT_EQ(edit("Edit8")->text(), "61");
  EXPECT_EQ(edit("Edit9")->text(), "62");
  EXPECT_TRUE(child<QRadioButton>("RadioButton2")->isChecked());
  EXPECT_TRUE(child<QRadioButton>("RadioButton4")->isChecked());
  reply("NEW\r\nOK\r\n");
  tick("Timer2");
  EXPECT_FALSE(buttonsEnabled());  // not the answer to the default command
  state.ReplyBuffer.clear();
  reply("OK\r\n");
  tick("Timer2");
  EXPECT_TRUE(buttonsEnabled());
  EXPECT_FALSE(child<QTimer>("Timer2")->isActive());

  button("Write to Skarvel")->click();
  EXPECT_FALSE(buttonsEnabled());
  EXPECT_TRUE(child<QTimer>("Timer1")->isActive());
  std::string lines = received();
  for (int step = 1; step <= 27; ++step) {
    reply("OK\r\n");
    tick("Timer1");
    lines += received();
  }
  EXPECT_EQ(
      lines,
      "AT@NORM\r\nAT@P013\r\nAT@P024\r\nAT@P031\r\nAT@P042\r\nAT@P051\r\nAT@P065\r\n"
      "AT@P075\r\nAT@P085\r\nAT@P17*67\r\nAT@P105\r\nAT@P115\r\nAT@P1224\r\nAT@P1311\r\n"
      "AT@P18*68\r\nAT@P1524\r\nAT@P16*66\r\nAT@MOD0\r\nAT@TYPE0\r\nAT@TYPG4\r\n"
      "AT@P19*69\r\nAT@P2051\r\nAT@P2152\r\nAT@P2253\r\nAT@P2361\r\nAT@P2462\r\nAT@P25##\r\n");
  EXPECT_TRUE(buttonsEnabled());
  EXPECT_FALSE(child<QTimer>("Timer1")->isActive());
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{kDefaultQuestion}) << "the only box";
}

TEST_F(SettingsWindow, DefaultSettingAsksFirstAndNoLeavesTheUnitAlone) {
  show();
  received();
  boxes.buttons = {QMessageBox::No, QMessageBox::Yes};
  button("Default setting")->click();
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text.toStdString(), kDefaultQuestion);
  EXPECT_EQ(boxes.boxes[0].buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(boxes.boxes[0].defaultButton, QMessageBox::No);
  EXPECT_EQ(received(), "") << "No: nothing sent";
  EXPECT_FALSE(child<QTimer>("Timer2")->isActive());

  button("Default setting")->click();
  EXPECT_EQ(received(), "AT@DEFAULT\r\n");
  EXPECT_TRUE(child<QTimer>("Timer2")->isActive());
  reply("OK\r\n");
  tick("Timer2");
  EXPECT_EQ(window.focusWidget(), button("Default setting")) << "the focus comes back";
}

TEST_F(SettingsWindow, ClosingDuringAWriteAsksAndNoLetsTheWriteGoOn) {
  show();
  button("Write to Skarvel")->click();
  reply("OK\r\n");
  tick("Timer1");
  received();
  boxes.buttons = {QMessageBox::No, QMessageBox::Yes};
  window.close();
  EXPECT_TRUE(window.isVisible()) << "No: the write goes on";
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{kStopQuestion});
  reply("OK\r\n");
  tick("Timer1");
  EXPECT_EQ(received(), "AT@P024\r\n");
  window.close();
  EXPECT_FALSE(window.isVisible()) << "Yes: the write stops";
  EXPECT_FALSE(child<QTimer>("Timer1")->isActive());
  EXPECT_EQ(boxes.Texts().size(), 2u);
}

TEST_F(SettingsWindow, ARefusedLineStopsTheTimerBeforeItsMessage) {
  show();
  bool timerRanDuringMessage = true;
  boxes.onBox = [&](const ModalScript::Box &) {
    timerRanDuringMessage = child<QTimer>("Timer1")->isActive();
  };
  button("Write to Skarvel")->click();
  for (int step = 1; step <= 9; ++step) {
    reply("OK\r\n");
    tick("Timer1");
  }
  EXPECT_TRUE(received().ends_with("AT@P17*67\r\n"));
  reply("ERR\r\n");
  tick("Timer1");
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Error value - P17"});
  EXPECT_FALSE(timerRanDuringMessage);
  EXPECT_TRUE(buttonsEnabled());
  EXPECT_EQ(received(), "");
}

TEST_F(SettingsWindow, ClosingDuringAWriteStopsItAndReopeningShowsTheFieldsAsTheyWere) {
  show();
  edit("Edit10")->setText("*1");
  combo("ComboBox14")->setCurrentIndex(0);
  button("Write to Skarvel")->click();
  for (int step = 1; step <= 3; ++step) {
    reply("OK\r\n");
    tick("Timer1");
  }
  EXPECT_TRUE(received().ends_with("AT@P031\r\n"));
  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(child<QTimer>("Timer1")->isActive());
  reply("OK\r\n");
  tick("Timer1");
  EXPECT_EQ(received(), "");
  EXPECT_EQ(unit().rx.size(), 4u);

  show();
  EXPECT_TRUE(buttonsEnabled());
  EXPECT_EQ(edit("Edit10")->text(), "*1");
  EXPECT_EQ(combo("ComboBox14")->currentText(), "20");
  EXPECT_EQ(combo("ComboBox11")->currentText(), "80");
}

// Esc is the Cancel button: nothing while an exchange runs (Cancel disabled), wherever the focus
// is; it closes the window once the exchange has ended. The title bar's close still stops one.
TEST_F(SettingsWindow, EscapeDoesWhatCancelDoesAndNothingDuringAnExchange) {
  show();
  button("Default setting")->click();
  ASSERT_TRUE(child<QTimer>("Timer2")->isActive());
  QTest::keyClick(&window, Qt::Key_Escape);
  edit("Edit7")->setFocus();
  QTest::keyClick(edit("Edit7"), Qt::Key_Escape);
  QTest::keyClick(combo("ComboBox3"), Qt::Key_Escape);
  EXPECT_TRUE(window.isVisible()) << "Esc broke off the default wait";
  EXPECT_TRUE(child<QTimer>("Timer2")->isActive());
  reply("OK\r\n");
  tick("Timer2");
  EXPECT_TRUE(buttonsEnabled());
  received();

  button("Write to Skarvel")->click();
  for (int step = 1; step <= 3; ++step) {
    reply("OK\r\n");
    tick("Timer1");
  }
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_TRUE(window.isVisible()) << "Esc broke off the write";
  reply("OK\r\n");
  tick("Timer1");
  EXPECT_TRUE(received().ends_with("AT@P042\r\n")) << "the write goes on";
  window.close();  // the title bar's close: stops the write
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(child<QTimer>("Timer1")->isActive());

  show();
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_FALSE(window.isVisible()) << "with no exchange Esc is Cancel";
  EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{kDefaultQuestion, kStopQuestion}));
}

TEST_F(SettingsWindow, AProfileSavedAndLoadedBackGivesTheSameWriteAndARefusedOneChangesNothing) {
  TempFolder temp;
  state.ProgramFolder = temp.Folder();
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(temp.File("profiles"))));
  const QString file = QString::fromStdString(temp.File("profiles/lift.ini"));
  show();
  combo("ComboBox13")->setCurrentIndex(0);  // P12 "01"
  combo("ComboBox5")->setCurrentIndex(0);   // TYPG "0"
  edit("Edit2")->setText("#1");
  edit("Edit6")->setText("7");
  child<QRadioButton>("RadioButton2")->click();
  const std::string saved = writeAll();
  ASSERT_EQ(std::count(saved.begin(), saved.end(), '\n'), 27);

  profile("ButtonSaveProfile", file, [&](QFileDialog *dialog) {
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(dialog->nameFilters(), (QStringList{"Profiles (*.ini)", "All files (*)"}));
    EXPECT_EQ(dialog->directory().absolutePath(), QDir::homePath()) << "nothing remembered yet";
  });
  ASSERT_TRUE(QFile::exists(file));
  EXPECT_EQ(ConfigFile(ConfigFileName(temp.Folder())).Read("PATH", "PROFILE"),
            temp.File("profiles"));

  // Other values everywhere, then the profile back.
  for (auto *c : window.findChildren<QComboBox *>()) c->setCurrentIndex(c->count() - 1);
  for (auto *e : window.findChildren<QLineEdit *>())
    if (e->objectName().startsWith("Edit")) e->setText("00");
  child<QRadioButton>("RadioButton1")->click();
  child<QRadioButton>("RadioButton4")->click();
  ASSERT_NE(writeAll(), saved);
  profile("ButtonLoadProfile", file, [&](QFileDialog *dialog) {
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), temp.File("profiles"));
  });
  EXPECT_EQ(writeAll(), saved);
  EXPECT_TRUE(boxes.Texts().empty());

  // A refused profile: the message, and every field as it was.
  std::string text = settings::ProfileText(settings::ParameterValues(), {});  // initial values
  QFile bad(QString::fromStdString(temp.File("profiles/bad.ini")));
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write(text.replace(text.find("P20=51"), 6, "P20=5").c_str());
  bad.close();
  for (auto *c : window.findChildren<QComboBox *>()) c->setCurrentIndex(1);
  const std::string before = writeAll();
  profile("ButtonLoadProfile", bad.fileName());
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Profile " + bad.fileName().toStdString() +
                                                    ": P20=\"5\" has 1 character, P20 takes 2"});
  EXPECT_EQ(writeAll(), before);
}

// A profile named without an extension is loaded as named; a save refused by its folder leaves
// the remembered folder as it was.
TEST_F(SettingsWindow, AProfileWithoutExtensionLoadsAndARefusedSaveIsNotRemembered) {
  TempFolder temp;
  state.ProgramFolder = temp.Folder();
  settings::ParameterValues values;
  values["P25"] = "*7";
  QFile file(QString::fromStdString(temp.File("bench")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(settings::ProfileText(values, {}).c_str());
  file.close();
  show();
  profile("ButtonLoadProfile", file.fileName());
  EXPECT_EQ(edit("Edit10")->text(), "*7");
  EXPECT_TRUE(boxes.Texts().empty());
  const ConfigFile ini(ConfigFileName(temp.Folder()));
  EXPECT_EQ(ini.Read("PATH", "PROFILE"), temp.Folder().substr(0, temp.Folder().size() - 1));

  profile("ButtonSaveProfile", "/proc/bench.ini");
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Unable to write to /proc/bench.ini"});
  EXPECT_EQ(ini.Read("PATH", "PROFILE"), temp.Folder().substr(0, temp.Folder().size() - 1));
}

}  // namespace
