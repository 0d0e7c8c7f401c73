#include "console/console_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "session/config.h"
#include "session/shared_state.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/modal_script.h"
#include "tests/support/temp_folder.h"
#include "ui/window_fit.h"

namespace {

const char *const kSerial = "VRT0042";

std::string slurp(const std::string &name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string key(int row) {
  return "E" + std::to_string(row);
}

class ConsoleWindowTest : public ::testing::Test {
 protected:
  ConsoleWindowTest() : state(tmp.Folder()) {
    fake->add(kSerial).modemStatus = 0x10;
    state.SerialList[0] = kSerial;
    state.UnitCount = 1;
    state.DeviceChosen = true;
  }

  void openPort() {
    state.Port = std::make_unique<TFT232>(kSerial);
    fake->clearCalls();
  }

  // Shows the window with the unit open; Timer1 is then stepped by the test alone.
  void showWithPort() {
    openPort();
    form.show();
    ASSERT_TRUE(find<QTimer>("Timer1")->isActive());
    find<QTimer>("Timer1")->stop();
    fake->clearCalls();
  }

  template <typename T>
  T *find(const QString &name) {
    T *child = form.findChild<T *>(name);
    EXPECT_NE(child, nullptr) << name.toStdString();
    return child;
  }
  QLineEdit *edit(int row) { return find<QLineEdit>(QString("Edit%1").arg(row)); }

  void tick() { ASSERT_TRUE(QMetaObject::invokeMethod(find<QTimer>("Timer1"), "timeout")); }
  void arrive(const std::string &bytes) {
    fake::Device &unit = *fake->bySerial(kSerial);
    unit.rx.insert(unit.rx.end(), bytes.begin(), bytes.end());
  }
  QStringList memoLines() { return find<QPlainTextEdit>("Memo1")->toPlainText().split('\n'); }
  QColor background(const char *name) {
    QLabel *label = find<QLabel>(name);
    return label->palette().color(QPalette::Window);
  }

  std::string iniName() { return ConfigFileName(tmp.Folder()); }
  ConfigFile ini() { return ConfigFile(iniName()); }

  fake::Installed fake;
  TempFolder tmp;
  SharedState state;
  TForm1 form{state, nullptr};
};

}  // namespace

TEST_F(ConsoleWindowTest, TheWindowHasItsControlsWhereTheTechnicianExpectsThem) {
  EXPECT_EQ(form.objectName(), "TForm1");
  EXPECT_EQ(form.windowTitle(), "Test VertikoCenter");
  EXPECT_EQ(form.width(), 674);
  EXPECT_GE(form.height(), 595) << "or as tall as 23 rows need";
  EXPECT_EQ(find<QLabel>("Label5")->text(), "Device:");
  EXPECT_TRUE(find<QLabel>("Label4")->font().bold());
  EXPECT_EQ(ShownText(find<QCheckBox>("CheckBox1")->text()), "RTS");
  EXPECT_EQ(ShownText(find<QPushButton>("Button1")->text()), "Clear");
  EXPECT_EQ(ShownText(find<QPushButton>("Button2")->text()), "Cancel");
  EXPECT_EQ(ShownText(find<QLabel>("Label1")->text()), "Receive:");
  EXPECT_EQ(find<QTimer>("Timer1")->interval(), 100);
  EXPECT_FALSE(find<QTimer>("Timer1")->isActive());
  for (QPushButton *button : form.findChildren<QPushButton *>())
    EXPECT_FALSE(button->autoDefault()) << button->objectName().toStdString();

  // Thirty rows evenly apart, each a "Send" button beside its command line, in a list that
  // scrolls; rows 1 to 23 are in view at the window's initial size.
  const int top = edit(1)->y();
  const int pitch = edit(2)->y() - top;
  auto *rows = find<QScrollArea>("ScrollRows");
  for (int row = 1; row <= 30; ++row) {
    QPushButton *button = find<QPushButton>(QString("Button%1").arg(row + 2));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(ShownText(button->text()), "Send");
    EXPECT_EQ(edit(row)->y(), top + (row - 1) * pitch) << row;
    EXPECT_EQ(button->geometry().center().y(), edit(row)->geometry().center().y()) << row;
    EXPECT_LT(button->x(), edit(row)->x());
    EXPECT_EQ(edit(row)->window(), &form);
  }
  EXPECT_EQ(form.findChildren<QLineEdit *>().size(), 30);

  // The received list stretches with the window; a taller window shows the last rows.
  auto *memo = find<QPlainTextEdit>("Memo1");
  form.show();  // shown without a unit: nothing talks to the link
  for (int row = 1; row <= 23; ++row)
    EXPECT_LE(edit(row)->geometry().bottom(), rows->viewport()->height()) << row;
  const int memoHeight = memo->height();
  const int formHeight = form.height();
  form.resize(form.width(), formHeight + 100);
  QCoreApplication::processEvents();
  EXPECT_EQ(memo->height(), memoHeight + 100);
}

TEST_F(ConsoleWindowTest, TypingIntoTheReceivedListIsDiscarded) {
  showWithPort();
  arrive("OK\r\n");
  tick();
  auto *memo = find<QPlainTextEdit>("Memo1");
  memo->setFocus();
  QTest::keyClicks(memo, "typed");
  QTest::keyClick(memo, Qt::Key_Backspace);
  QTest::keyClick(memo, Qt::Key_Return);
  EXPECT_EQ(memo->toPlainText(), "OK");
}

TEST_F(ConsoleWindowTest, ShowWithoutAPortStartsNoTimerAndRestoresNothing) {
  ini().Write("Setup", "E1", "AT@NORM");
  const std::string before = slurp(iniName());
  edit(2)->setText("left over");
  find<QCheckBox>("CheckBox1")->setChecked(true);
  form.show();
  EXPECT_FALSE(find<QTimer>("Timer1")->isActive());
  EXPECT_EQ(edit(1)->text(), "");
  EXPECT_EQ(edit(2)->text(), "left over");
  EXPECT_FALSE(find<QCheckBox>("CheckBox1")->isChecked());
  form.close();
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(slurp(iniName()), before);  // nothing was restored, so nothing is saved
}

TEST_F(ConsoleWindowTest, ShowWithAPortDrainsTheLinkShowsTheSerialAndRestoresTheLines) {
  ini().WriteAll("Setup", {{"E1", "AT@NORM"}, {"E15", "AT@P013"}, {"E30", " AT@MOD1"}});
  for (int row = 1; row <= 30; ++row) edit(row)->setText("old");
  find<QCheckBox>("CheckBox1")->setChecked(true);
  state.ReplyBuffer = "stale";
  state.LastSendResult = false;
  openPort();
  arrive("bytes from before\r\n");
  form.show();
  auto *timer = find<QTimer>("Timer1");
  EXPECT_TRUE(timer->isActive());
  timer->stop();
  EXPECT_EQ(find<QLabel>("Label4")->text(), kSerial);
  EXPECT_FALSE(find<QCheckBox>("CheckBox1")->isChecked());
  EXPECT_TRUE(fake->bySerial(kSerial)->rx.empty());
  EXPECT_EQ(state.ReplyBuffer, "");
  EXPECT_TRUE(state.LastSendResult);
  EXPECT_EQ(edit(1)->text(), "AT@NORM");
  EXPECT_EQ(edit(15)->text(), "AT@P013");
  EXPECT_EQ(edit(30)->text(), " AT@MOD1");
  EXPECT_EQ(edit(2)->text(), "");  // an absent key empties its line
  tick();
  EXPECT_EQ(find<QPlainTextEdit>("Memo1")->toPlainText(), "");
}

TEST_F(ConsoleWindowTest, EachSendButtonSendsItsOwnCommandLine) {
  showWithPort();
  edit(1)->setText("AT@RESET");
  QTest::mouseClick(find<QPushButton>("Button3"), Qt::LeftButton);
  EXPECT_EQ(fake->bySerial(kSerial)->written, "AT@RESET\r\n");
  EXPECT_EQ(fake->names(), std::vector<std::string>(10, "Write"));

  for (int row = 1; row <= 30; ++row) edit(row)->setText(QString("AT@R%1").arg(row));
  const std::vector<std::pair<int, int>> rows = {{4, 2}, {24, 22}, {25, 23}, {32, 30}};
  for (const auto &[button, row] : rows) {
    fake->bySerial(kSerial)->written.clear();
    QTest::mouseClick(find<QPushButton>(QString("Button%1").arg(button)), Qt::LeftButton);
    EXPECT_EQ(fake->bySerial(kSerial)->written, "AT@R" + std::to_string(row) + "\r\n") << button;
  }
}

TEST_F(ConsoleWindowTest, TheIndicatorsShowCtsAndTheLastSendResult) {
  showWithPort();
  const QColor buttonFace = QApplication::palette().color(QPalette::Button);
  fake::Device &unit = *fake->bySerial(kSerial);
  unit.modemStatus = 0xEF;
  tick();
  EXPECT_EQ(find<QLabel>("Label3")->text(), "VCC");
  EXPECT_EQ(background("Label3"), QColor(192, 220, 192));
  EXPECT_EQ(find<QLabel>("Label2")->text(), "");
  EXPECT_EQ(background("Label2"), buttonFace);

  unit.modemStatus = 0x10;
  unit.writesBeforeFailure = 2;
  edit(5)->setText("AT@NORM");
  QTest::mouseClick(find<QPushButton>("Button7"), Qt::LeftButton);
  EXPECT_EQ(find<QLabel>("Label2")->text(), "");  // shown at the next tick
  tick();
  EXPECT_EQ(find<QLabel>("Label3")->text(), "---");
  EXPECT_EQ(background("Label3"), buttonFace);
  EXPECT_EQ(find<QLabel>("Label2")->text(), "Err");
  EXPECT_EQ(background("Label2"), QColor(255, 0, 0));

  unit.writesBeforeFailure = -1;
  QTest::mouseClick(find<QPushButton>("Button7"), Qt::LeftButton);
  tick();
  EXPECT_EQ(find<QLabel>("Label2")->text(), "");
  EXPECT_EQ(background("Label2"), buttonFace);
}

TEST_F(ConsoleWindowTest, TheRtsLineFollowsTheCheckBoxAtEveryTick) {
  showWithPort();
  fake::Device &unit = *fake->bySerial(kSerial);
  auto *box = find<QCheckBox>("CheckBox1");
  tick();
  EXPECT_TRUE(unit.rts);
  QTest::mouseClick(box, Qt::LeftButton);
  ASSERT_TRUE(box->isChecked());
  EXPECT_TRUE(unit.rts);  // the line moves at the next tick
  fake->clearCalls();
  tick();
  tick();
  EXPECT_FALSE(unit.rts);
  const auto names = fake->names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "ClrRts"), 2);
  QTest::mouseClick(box, Qt::LeftButton);
  tick();
  EXPECT_TRUE(unit.rts);
}

TEST_F(ConsoleWindowTest, RepliesAppearInTheReceivedListAndClearEmptiesIt) {
  showWithPort();
  arrive("O");
  tick();
  EXPECT_EQ(find<QPlainTextEdit>("Memo1")->toPlainText(), "");
  arrive("K\r\n");
  tick();
  EXPECT_EQ(memoLines(), QStringList{"OK"});
  arrive("\r\n");
  tick();
  arrive("ERR\n");
  tick();
  EXPECT_EQ(memoLines(), (QStringList{"OK", "", "ERR"}));

  arrive("PA");
  tick();
  QTest::mouseClick(find<QPushButton>("Button1"), Qt::LeftButton);
  EXPECT_EQ(find<QPlainTextEdit>("Memo1")->toPlainText(), "");
  EXPECT_EQ(state.ReplyBuffer, "PA");
  arrive("\r\n");
  tick();
  arrive("\r\nOK\r\n");  // an empty line is a line of its own
  tick();
  EXPECT_EQ(memoLines(), (QStringList{"PA", "", "OK"}));
}

TEST_F(ConsoleWindowTest, TheReceivedListNeverHoldsMoreThan200Lines) {
  showWithPort();
  auto *memo = find<QPlainTextEdit>("Memo1");
  auto burst = [this](int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) text += "L" + std::to_string(i) + "\r\n";
    arrive(text);
    tick();
  };
  burst(0, 450);
  EXPECT_EQ(memo->document()->blockCount(), 200);
  EXPECT_EQ(memoLines().front(), "L250");
  EXPECT_EQ(memoLines().back(), "L449");
  QScrollBar *bar = memo->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());  // the newest line is in view
  for (int i = 0; i < 4; ++i) burst(1000 + i * 60, 1000 + (i + 1) * 60);
  EXPECT_EQ(memo->document()->blockCount(), 200);
  EXPECT_EQ(memoLines().front(), "L1040");
  EXPECT_EQ(memoLines().back(), "L1239");

  QTest::mouseClick(find<QPushButton>("Button1"), Qt::LeftButton);
  burst(2000, 2300);
  EXPECT_EQ(memo->document()->blockCount(), 200);
  EXPECT_EQ(memoLines().front(), "L2100");
}

TEST_F(ConsoleWindowTest, OpenAndCloseWithoutChangesRewritesTheThirtyLinesUnchanged) {
  ini().WriteAll("Setup", {{"E1", "AT@NORM"}, {"E3", "  AT@P01 3"}, {"E29", "AT@#"}});
  ini().Write("PATH", "AUDIO", "/home/x/a.wav");
  showWithPort();
  QTest::mouseClick(find<QPushButton>("Button2"), Qt::LeftButton);
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(find<QTimer>("Timer1")->isActive());
  const std::string text = slurp(iniName());
  for (int row = 1; row <= 30; ++row)
    EXPECT_NE(text.find("\n" + key(row) + "="), std::string::npos) << row;  // every key written
  EXPECT_EQ(ini().Read("Setup", "E1"), "AT@NORM");
  EXPECT_EQ(ini().Read("Setup", "E3"), "  AT@P01 3");
  EXPECT_EQ(ini().Read("Setup", "E29"), "AT@#");
  EXPECT_EQ(ini().Read("Setup", "E2"), "");
  EXPECT_EQ(ini().Read("PATH", "AUDIO"), "/home/x/a.wav");
}

TEST_F(ConsoleWindowTest, ClosingStopsTheTickWhicheverWayTheWindowIsClosed) {
  openPort();
  form.show();
  EXPECT_TRUE(find<QTimer>("Timer1")->isActive());
  edit(1)->setText("by Esc");
  QTest::keyClick(&form, Qt::Key_Escape);
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(find<QTimer>("Timer1")->isActive());
  EXPECT_EQ(ini().Read("Setup", "E1"), "by Esc");

  form.show();
  EXPECT_TRUE(find<QTimer>("Timer1")->isActive());
  edit(1)->setText("by close");
  form.close();
  EXPECT_FALSE(find<QTimer>("Timer1")->isActive());
  EXPECT_EQ(ini().Read("Setup", "E1"), "by close");
}

TEST_F(ConsoleWindowTest, ClearAllCommandsLeavesTheFileUntilTheWindowCloses) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (int row = 1; row <= 30; ++row) entries.emplace_back(key(row), "AT@X" + std::to_string(row));
  ini().WriteAll("Setup", entries);
  const std::string before = slurp(iniName());
  showWithPort();
  EXPECT_EQ(edit(30)->text(), "AT@X30");
  find<QAction>("ClearALLCommands1")->trigger();
  for (int row = 1; row <= 30; ++row) EXPECT_EQ(edit(row)->text(), "") << row;
  EXPECT_EQ(slurp(iniName()), before);
  form.close();
  for (int row = 1; row <= 30; ++row) EXPECT_EQ(ini().Read("Setup", key(row)), "") << row;
  EXPECT_NE(slurp(iniName()), before);
}

TEST_F(ConsoleWindowTest, SaveAndRetreiveAllCommandsFromTheMenu) {
  showWithPort();
  auto *menu = find<QMenu>("PopupMenu1");
  QStringList texts;
  for (QAction *action : menu->actions()) texts << action->text();
  EXPECT_EQ(texts,
            (QStringList{"Clear ALL Commands", "Save ALL commands", "Retreive ALL Commands"}));

  edit(1)->setText("AT@NORM");
  edit(30)->setText("AT@P25 ;x=1,2");
  find<QAction>("SaveALLcommands1")->trigger();
  EXPECT_EQ(ini().Read("Setup", "E1"), "AT@NORM");
  EXPECT_EQ(ini().Read("Setup", "E30"), "AT@P25 ;x=1,2");

  edit(1)->setText("changed");
  edit(2)->setText("not in the file");
  ini().Write("Setup", "E2", "");
  find<QAction>("RetreiveALLCommands1")->trigger();
  EXPECT_EQ(edit(1)->text(), "AT@NORM");
  EXPECT_EQ(edit(2)->text(), "");
  EXPECT_EQ(edit(30)->text(), "AT@P25 ;x=1,2");
}

TEST_F(ConsoleWindowTest, EveryCommandLineOffersTheMenuLine15Included) {
  showWithPort();
  auto *menu = find<QMenu>("PopupMenu1");
  for (int row : {1, 15, 30}) {
    ASSERT_EQ(edit(row)->contextMenuPolicy(), Qt::CustomContextMenu);
    emit edit(row)->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(menu->isVisible()) << row;
    menu->close();
  }
}

TEST_F(ConsoleWindowTest, ARefusedWriteIsShownAndTheWindowStillCloses) {
  state.ProgramFolder = tmp.Folder() + "missing/";  // a folder that does not exist
  const std::string name = state.ProgramFolder + "VERT.ini";
  showWithPort();
  edit(1)->setText("AT@NORM");
  ModalScript answerer{ModalScript::kAnswerBoxes};

  find<QAction>("SaveALLcommands1")->trigger();
  EXPECT_EQ(answerer.Texts(), std::vector<std::string>{"Unable to write to " + name});
  EXPECT_TRUE(form.isVisible());

  answerer.boxes.clear();
  QTest::mouseClick(find<QPushButton>("Button2"), Qt::LeftButton);
  EXPECT_EQ(answerer.Texts(), std::vector<std::string>{"Unable to write to " + name});
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(find<QTimer>("Timer1")->isActive());
}
