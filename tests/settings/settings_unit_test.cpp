// The settings exchanges and window against an emulated unit served in the test process.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <thread>

#include "d2xx/backend.h"
#include "d2xx/emulated_provider.h"
#include "link/link.h"
#include "session/shared_state.h"
#include "settings/settings_exchange.h"
#include "settings/settings_window.h"
#include "sim/in_process.h"
#include "sim/link_server.h"
#include "tests/support/counting_view.h"
#include "tests/support/emulated_backend.h"
#include "tests/support/modal_script.h"
#include "tests/support/private_runtime_dir.h"
#include "tests/support/scripted_prompt.h"

namespace {

using namespace std::chrono_literals;

const std::string kDefaultQuestion =
    "Restore the unit's default settings? Its parameters will be overwritten.";

std::vector<std::string> withCrLf(std::vector<std::string> lines) {
  for (auto &line : lines) line += "\r\n";
  return lines;
}

// The worked example: the default values, day mode and emergency calls.
const std::vector<std::string> kWorkedExample =
    withCrLf({"AT@NORM",   "AT@P013",  "AT@P024",   "AT@P031",  "AT@P042",  "AT@P051",  "AT@P065",
              "AT@P075",   "AT@P085",  "AT@P17*67", "AT@P105",  "AT@P115",  "AT@P1224", "AT@P1311",
              "AT@P18*68", "AT@P1524", "AT@P16*66", "AT@MOD1",  "AT@TYPE1", "AT@TYPG4", "AT@P19*69",
              "AT@P2051",  "AT@P2152", "AT@P2253",  "AT@P2361", "AT@P2462", "AT@P25##"});

class AgainstUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    state.SerialList[0] = "VRT00007";
    state.UnitCount = 1;
    state.DeviceChosen = true;
    state.Port = std::make_unique<TFT232>("VRT00007");
  }
  const sim::Record &record() { return unit.GetRecord(); }

  sim::InstalledUnits units;  // outlives the port
  sim::Unit &unit = units.Add({.serial = "VRT00007", .neverWritten = true});
  SharedState state{"/tmp/"};
};

class ExchangeAgainstUnit : public AgainstUnit {
 protected:
  // Polls as the timer would, letting `step` of unit time pass before each poll.
  template <class E>
  void runToEnd(E &exchange, std::chrono::milliseconds step = 80ms) {
    for (int polls = 0; exchange.Running() && polls < 500; ++polls) {
      units.clock().Advance(step);
      exchange.Step();
    }
    EXPECT_FALSE(exchange.Running());
  }

  settings::ParameterValues values;
  ScriptedPrompt prompt;
  CountingView view;
  settings::WriteExchange write{state, values, prompt, view};
  settings::DefaultExchange defaults{state, values, prompt, view};
};

TEST_F(ExchangeAgainstUnit, ANeverWrittenUnitTakesTheWholeWriteAndKeepsTheValues) {
  write.Start();
  runToEnd(write);
  EXPECT_TRUE(prompt.shown.empty());
  ASSERT_EQ(record().commandLines.size(), 27u);
  EXPECT_EQ(record().commandLines.front(), "AT@NORM\r\n");
  EXPECT_EQ(record().replies.front(), "NEW\r\nOK\r\n");
  EXPECT_EQ(record().replies.size(), 27u);
  EXPECT_EQ(record().commandLines.back(), "AT@P25##\r\n");
  EXPECT_TRUE(record().problems.empty());
  EXPECT_EQ(unit.Value("P01"), "3");
  EXPECT_EQ(unit.Value("P10"), "3");
  EXPECT_EQ(unit.Value("P11"), "3");
  EXPECT_EQ(unit.Value("P12"), "24");
  EXPECT_EQ(unit.Value("P15"), "24");
  EXPECT_EQ(unit.Value("P17"), "*67");
  EXPECT_EQ(unit.Value("P23"), "51");
  EXPECT_EQ(unit.Value("P24"), "51");
  EXPECT_EQ(unit.Value("MOD"), "1");
  EXPECT_EQ(unit.Value("TYPE"), "1");
  EXPECT_EQ(unit.Value("TYPG"), "4");
  EXPECT_TRUE(state.ReplyBuffer.empty());
}

TEST_F(ExchangeAgainstUnit, DefaultThenWriteDeliversTheWorkedExample) {
  values["P23"] = "11";
  defaults.Start();
  EXPECT_EQ(values["P23"], "61");
  runToEnd(defaults, 50ms);
  EXPECT_TRUE(prompt.shown.empty());
  EXPECT_EQ(unit.Value("P23"), "61");
  EXPECT_EQ(unit.Value("P10"), "5");

  unit.ClearRecord();
  write.Start();
  runToEnd(write);
  EXPECT_EQ(record().commandLines, kWorkedExample);
  EXPECT_TRUE(prompt.shown.empty());
}

TEST_F(ExchangeAgainstUnit, AnswersInPiecesAndLateAreFollowedLineByLine) {
  unit.AddFault(sim::LineFault{.kind = sim::LineFault::Kind::Split, .delay = 30ms, .pieceSize = 1});
  write.Start();
  runToEnd(write, 40ms);
  EXPECT_EQ(record().commandLines.size(), 27u);
  EXPECT_TRUE(prompt.shown.empty());
}

TEST_F(ExchangeAgainstUnit, ARefusedLineEndsTheWriteNamingIt) {
  unit.AddFault(sim::LineFault{.kind = sim::LineFault::Kind::Err, .word = "P17"});
  write.Start();
  runToEnd(write);
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].text, "Error value - P17");
  ASSERT_EQ(record().commandLines.size(), 10u);
  EXPECT_EQ(record().commandLines.back(), "AT@P17*67\r\n");
}

TEST_F(ExchangeAgainstUnit, AValueTheUnitDoesNotTakeEndsTheWriteNamingIt) {
  values["P20"] = "5";  // two digits wanted
  write.Start();
  runToEnd(write);
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_EQ(prompt.shown[0].text, "Error value - P20");
  EXPECT_EQ(record().commandLines.back(), "AT@P205\r\n");
}

class WindowAgainstUnit : public AgainstUnit {
 protected:
  template <class T>
  T *child(const char *name) {
    auto *found = window.findChild<T *>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  // Ticks a window timer until it stops, as its timeouts would.
  void tickUntilStopped(const char *name) {
    auto *timer = child<QTimer>(name);
    for (int ticks = 0; timer->isActive() && ticks < 500; ++ticks) {
      units.clock().Advance(std::chrono::milliseconds(timer->interval()));
      QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
    }
    EXPECT_FALSE(timer->isActive()) << name;
  }
  bool buttonsEnabled() {
    bool all = true;
    for (const char *name : {"Button1", "Button2", "Button3"})
      all = all && child<QPushButton>(name)->isEnabled();
    return all;
  }

  TForm6 window{state, nullptr};
  ModalScript boxes{ModalScript::kAnswerBoxes};
};

TEST_F(WindowAgainstUnit, DefaultSettingThenWriteToSkarvel) {
  window.show();
  child<QRadioButton>("RadioButton2")->click();
  child<QComboBox>("ComboBox8")->setCurrentIndex(9);
  child<QLineEdit>("Edit3")->setText("#1");

  child<QPushButton>("Button1")->click();
  EXPECT_FALSE(buttonsEnabled());
  tickUntilStopped("Timer2");
  EXPECT_TRUE(buttonsEnabled());
  EXPECT_EQ(child<QComboBox>("ComboBox8")->currentText(), "100");
  EXPECT_EQ(child<QLineEdit>("Edit3")->text(), "*68");
  EXPECT_EQ(record().commandLines, std::vector<std::string>{"AT@DEFAULT\r\n"});

  unit.ClearRecord();
  child<QPushButton>("Button2")->click();
  EXPECT_FALSE(buttonsEnabled());
  tickUntilStopped("Timer1");
  EXPECT_TRUE(buttonsEnabled());
  auto expected = kWorkedExample;
  expected[17] = "AT@MOD0\r\n";
  EXPECT_EQ(record().commandLines, expected);
  EXPECT_EQ(unit.Value("MOD"), "0");
  EXPECT_EQ(unit.Value("P06"), "5");
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{kDefaultQuestion}) << "the only box";
  window.reject();
}

// Unplugged, the unit answers nothing: the write gives up with a message within 4 s, every
// button enabled; plugged in again, the next write goes through.
TEST_F(WindowAgainstUnit, AWriteToAnUnpluggedUnitGivesUpAndTheNextOneGoesThrough) {
  window.show();
  units.Unplug("VRT00007");
  QElapsedTimer elapsed;
  elapsed.start();
  child<QPushButton>("Button2")->click();
  EXPECT_FALSE(child<QLineEdit>("Edit10")->isEnabled()) << "no edits during a write";
  QTRY_VERIFY_WITH_TIMEOUT(!child<QTimer>("Timer1")->isActive(), 4000);
  EXPECT_LT(elapsed.elapsed(), 4000);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"No reply from VRT00007 to AT@NORM"});
  EXPECT_TRUE(buttonsEnabled());
  EXPECT_TRUE(child<QPushButton>("ButtonLoadProfile")->isEnabled());
  EXPECT_TRUE(child<QLineEdit>("Edit10")->isEnabled());

  units.PlugIn("VRT00007");
  child<QPushButton>("Button2")->click();
  tickUntilStopped("Timer1");
  EXPECT_EQ(record().commandLines.size(), 27u);
  EXPECT_EQ(boxes.Texts().size(), 1u);
  window.reject();
}

TEST_F(WindowAgainstUnit, ARefusedDefaultShowsItsMessage) {
  unit.AddFault(sim::LineFault{.kind = sim::LineFault::Kind::Err, .word = "DEFAULT"});
  window.show();
  child<QPushButton>("Button1")->click();
  tickUntilStopped("Timer2");
  EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{kDefaultQuestion, "Error value - DEFAULT"}));
  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[1].icon, QMessageBox::Warning) << "a failure";
  EXPECT_TRUE(buttonsEnabled());
  EXPECT_EQ(child<QLineEdit>("Edit8")->text(), "61");
  window.reject();
}

// Over the emulated device link, whose open waits for the unit's hello as a real unit's does: a
// write started right after the unit is plugged back finds it and goes through.
TEST(SettingsOverTheLink, AWriteRightAfterAPlugBackFindsTheUnitAndGoesThrough) {
  PrivateRuntimeDir runtime;
  d2xx::ScopedBackend backend{EmulatedBackend()};
  sim::SystemClock clock;
  sim::LinkServer server{clock};
  sim::Unit &unit = server.Add({.serial = "VRT00007"});
  server.Start();
  SharedState state{"/tmp/"};
  state.SerialList[0] = "VRT00007";
  state.UnitCount = 1;
  state.DeviceChosen = true;
  state.Port = OpenConfiguredPort("VRT00007");
  server.Unplug("VRT00007");
  server.PlugIn("VRT00007");

  settings::ParameterValues values;
  ScriptedPrompt prompt;
  CountingView view;
  settings::WriteExchange write{state, values, prompt, view};
  write.Start();
  for (int ticks = 0; write.Running() && ticks < 200; ++ticks) {
    std::this_thread::sleep_for(80ms);
    write.Step();
  }
  EXPECT_TRUE(prompt.shown.empty()) << prompt.shown.front().text;
  EXPECT_EQ(write.CurrentResult(), settings::Result::Accepted);
  EXPECT_EQ(unit.GetRecord().commandLines.size(), 27u);
  state.Port.reset();
  server.Stop();
}

}  // namespace
