// The console end to end against emulated units served inside the test process.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "app/main_window.h"
#include "app/startup.h"
#include "console/console_window.h"
#include "link/link.h"
#include "session/shared_state.h"
#include "sim/in_process.h"
#include "tests/support/modal_script.h"
#include "tests/support/temp_folder.h"

using namespace std::chrono_literals;

namespace {

const char *const kSerial = "VRT00007";

template <typename T>
T *child(QWidget *window, const QString &name) {
  T *found = window->findChild<T *>(name);
  EXPECT_NE(found, nullptr) << name.toStdString();
  return found;
}

void tick(QWidget *console) {
  ASSERT_TRUE(QMetaObject::invokeMethod(child<QTimer>(console, "Timer1"), "timeout"));
}

QString memoText(QWidget *console) {
  return child<QPlainTextEdit>(console, "Memo1")->toPlainText();
}

// A console over an emulated unit that the main window has opened and configured.
class ConsoleWithUnitTest : public ::testing::Test {
 protected:
  ConsoleWithUnitTest() : unit(units.Add({.serial = kSerial})), state(folder.Folder()) {
    state.SerialList[0] = kSerial;
    state.UnitCount = 1;
    state.DeviceChosen = true;
    state.Port = std::make_unique<TFT232>(kSerial);
    ConfigurePort(*state.Port);
    form.show();
    child<QTimer>(&form, "Timer1")->stop();  // the test steps the tick
  }
  ~ConsoleWithUnitTest() override { form.reject(); }

  void send(int row, const QString &text) {
    child<QLineEdit>(&form, QString("Edit%1").arg(row))->setText(text);
    QTest::mouseClick(child<QPushButton>(&form, QString("Button%1").arg(row + 2)), Qt::LeftButton);
  }

  sim::InstalledUnits units;
  sim::Unit &unit;
  TempFolder folder;
  SharedState state;
  TForm1 form{state, nullptr};
};

}  // namespace

TEST_F(ConsoleWithUnitTest, ACommandLineReachesTheUnitAndItsReplyIsShown) {
  send(1, "AT@NORM");
  EXPECT_EQ(unit.GetRecord().commandLines, std::vector<std::string>{"AT@NORM\r\n"});
  tick(&form);
  EXPECT_EQ(memoText(&form), "OK");
  EXPECT_EQ(child<QLabel>(&form, "Label3")->text(), "VCC");
  EXPECT_EQ(child<QLabel>(&form, "Label2")->text(), "");

  send(30, "AT@P09");    // a parameter the unit does not have
  send(2, "AT@NOSUCH");  // a command word the unit does not know
  tick(&form);
  EXPECT_EQ(memoText(&form), "OK\nERR\nERR");
  unit.Say("RING\r\n");  // the unit's own lines are shown too
  tick(&form);
  EXPECT_EQ(memoText(&form), "OK\nERR\nERR\nRING");
  EXPECT_TRUE(unit.GetRecord().problems.empty());
}

TEST_F(ConsoleWithUnitTest, AnAnswerInPiecesIsShownOnceWhole) {
  unit.AddFault(sim::LineFault{
      .kind = sim::LineFault::Kind::Split, .word = "MOD", .delay = 100ms, .pieceSize = 2});
  send(1, "AT@MOD1");
  tick(&form);
  EXPECT_EQ(memoText(&form), "");
  units.clock().Advance(100ms);
  tick(&form);
  EXPECT_EQ(memoText(&form), "OK");
  units.clock().Advance(500ms);
  tick(&form);
  EXPECT_EQ(memoText(&form), "OK");
}

TEST_F(ConsoleWithUnitTest, TheRtsCheckBoxMovesTheUnitsRtsLine) {
  auto *box = child<QCheckBox>(&form, "CheckBox1");
  tick(&form);
  EXPECT_TRUE(unit.Rts());  // unchecked: RTS set
  QTest::mouseClick(box, Qt::LeftButton);
  tick(&form);
  EXPECT_FALSE(unit.Rts());
  QTest::mouseClick(box, Qt::LeftButton);
  tick(&form);
  EXPECT_TRUE(unit.Rts());
  // The unit saw the level at every tick, changed or not.
  const auto &levels = unit.GetRecord().levels;
  ASSERT_GE(levels.size(), 3u);
  EXPECT_TRUE(levels.back().rts);
  EXPECT_FALSE(levels[levels.size() - 2].rts);
}

TEST_F(ConsoleWithUnitTest, PowerAndUnplugShowOnTheIndicatorsAndTheConsoleTakesTheUnitUpAgain) {
  tick(&form);
  EXPECT_EQ(child<QLabel>(&form, "Label3")->text(), "VCC");
  unit.SetPowered(false);
  tick(&form);
  EXPECT_EQ(child<QLabel>(&form, "Label3")->text(), "---");
  unit.SetPowered(true);
  tick(&form);
  EXPECT_EQ(child<QLabel>(&form, "Label3")->text(), "VCC");

  units.Unplug(kSerial);
  send(1, "AT@NORM");
  tick(&form);
  EXPECT_EQ(child<QLabel>(&form, "Label2")->text(), "Err");
  EXPECT_EQ(child<QLabel>(&form, "Label3")->text(), "---");

  // Plugged in again: a tick's ReceiveAll reopens it and the console goes on on the new port.
  units.PlugIn(kSerial);
  tick(&form);
  tick(&form);
  send(1, "AT@NORM");
  tick(&form);
  EXPECT_EQ(child<QLabel>(&form, "Label2")->text(), "");
  EXPECT_EQ(child<QLabel>(&form, "Label3")->text(), "VCC");
  EXPECT_EQ(memoText(&form), "OK");
  EXPECT_EQ(unit.GetRecord().connections, 2);
}

// The whole program: the unit chosen in the main window, the console opened from "Communicator",
// and the command lines back after the program is started again.
TEST(ConsoleInTheProgram, TalksToTheChosenUnitAndKeepsItsLinesAcrossRuns) {
  QApplication::setQuitOnLastWindowClosed(false);
  sim::InstalledUnits units;
  sim::Unit &unit = units.Add({.serial = kSerial});
  TempFolder folder;

  auto run = [&](const std::function<void(QWidget *)> &inConsole) {
    std::unique_ptr<TForm3> window(CreateWindows(folder.Folder(), {}));
    window->show();
    {
      ModalScript choose;
      choose.Then([](QWidget *modal) {
        auto *combo = modal->findChild<QComboBox *>("ComboBox1");
        ASSERT_NE(combo, nullptr);
        combo->setCurrentIndex(combo->findText(kSerial));
        ModalScript::Click(modal->findChild<QPushButton *>("Button2"));
      });
      QTest::mouseClick(window->findChild<QPushButton *>("Button5", Qt::FindDirectChildrenOnly),
                        Qt::LeftButton);
      EXPECT_TRUE(choose.Done());
    }
    auto *communicator = window->findChild<QPushButton *>("Button1", Qt::FindDirectChildrenOnly);
    ASSERT_NE(communicator, nullptr);
    ASSERT_TRUE(communicator->isEnabled());
    ModalScript script;
    script.Then([&](QWidget *modal) {
      ASSERT_EQ(modal->objectName(), "TForm1");
      EXPECT_EQ(child<QLabel>(modal, "Label4")->text(), kSerial);
      inConsole(modal);
      ModalScript::Click(child<QPushButton>(modal, "Button2"));
    });
    QTest::mouseClick(communicator, Qt::LeftButton);
    EXPECT_TRUE(script.Done());
  };

  run([&](QWidget *console) {
    EXPECT_TRUE(child<QTimer>(console, "Timer1")->isActive());
    child<QLineEdit>(console, "Edit1")->setText("AT@NORM");
    child<QLineEdit>(console, "Edit30")->setText("AT@P01 3");
    QTest::mouseClick(child<QPushButton>(console, "Button3"), Qt::LeftButton);
    tick(console);
    EXPECT_EQ(memoText(console), "OK");
    QTest::mouseClick(child<QCheckBox>(console, "CheckBox1"), Qt::LeftButton);
    tick(console);
    EXPECT_FALSE(unit.Rts());
  });
  EXPECT_EQ(unit.GetRecord().commandLines, std::vector<std::string>{"AT@NORM\r\n"});

  run([&](QWidget *console) {
    EXPECT_EQ(child<QLineEdit>(console, "Edit1")->text(), "AT@NORM");
    EXPECT_EQ(child<QLineEdit>(console, "Edit30")->text(), "AT@P01 3");
    EXPECT_EQ(child<QLineEdit>(console, "Edit2")->text(), "");
    EXPECT_FALSE(child<QCheckBox>(console, "CheckBox1")->isChecked());
    EXPECT_EQ(memoText(console), "");
  });
}
