// The main window and the choice window, driven through their controls as a user would.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "app/startup.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/modal_script.h"
#include "tests/support/temp_folder.h"
#include "ui/window_fit.h"

namespace {

using Names = std::vector<std::string>;

const QString kCountZero = "                        Number of connected devices = 0";

// A lister of sound outputs that counts its calls in `listed`: its first list comes once
// `release` is set (at most 5 s), every later one at once.
AudioOutputLister SlowFirstList(std::atomic<int> &listed, std::promise<void> &release, Names first,
                                Names later) {
  std::shared_future<void> released = release.get_future().share();
  return [&listed, released, first, later]() -> Names {
    if (++listed == 1) {
      released.wait_for(std::chrono::seconds(5));
      return first;
    }
    return later;
  };
}

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override { QApplication::setQuitOnLastWindowClosed(false); }

  // Creates the six windows over the fake, shows the main window and runs the event loop until
  // the steps that follow its first paint have shown the device count.
  void Start(std::vector<std::string> audioDevices = {}) {
    window.reset(CreateWindows(folder.Folder(), [audioDevices] { return audioDevices; }));
    ShowAndSettle();
  }

  void ShowAndSettle() {
    window->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Label1()->text().contains("Number of"); }, 10000));
  }

  template <class T = QPushButton>
  T *Control(const char *name) {
    T *control = window->findChild<T *>(name, Qt::FindDirectChildrenOnly);
    EXPECT_NE(control, nullptr) << name;
    return control;
  }
  QLabel *Label1() { return Control<QLabel>("Label1"); }

  std::vector<bool> UnitButtons() {
    std::vector<bool> enabled;
    for (const char *name : {"Button6", "Button1", "Button2", "Button3"})
      enabled.push_back(Control(name)->isEnabled());
    return enabled;
  }

  void Click(const char *name) { QTest::mouseClick(Control(name), Qt::LeftButton); }

  // Types `text` into the open choice window and presses "Select".
  static ModalScript::Step Typing(const QString &text) {
    return [text](QWidget *modal) {
      ASSERT_EQ(modal->objectName(), "TForm4");
      auto *combo = modal->findChild<QComboBox *>("ComboBox1");
      ASSERT_NE(combo, nullptr);
      combo->lineEdit()->clear();
      QTest::keyClicks(combo->lineEdit(), text);
      ModalScript::Click(modal->findChild<QPushButton *>("Button2"));
    };
  }

  static ModalScript::Step Cancelling() {
    return [](QWidget *modal) {
      ASSERT_EQ(modal->objectName(), "TForm4");
      ModalScript::Click(modal->findChild<QPushButton *>("Button1"));
    };
  }

  // "Select device" choosing the unit with this serial number by typing it.
  void OpenUnit(const QString &serial) {
    ModalScript script;
    script.Then(Typing(serial));
    Click("Button5");
    ASSERT_EQ(Label1()->text(), serial);
    ASSERT_NE(window->State().Port, nullptr);
  }

  static void ExpectSelectionFont(const QLabel *label) {
    EXPECT_EQ(label->font().pointSize(), 14);
    EXPECT_TRUE(label->font().bold());
  }

  fake::Installed fake;
  TempFolder folder;
  std::unique_ptr<TForm3> window;
};

const std::vector<bool> kDisabled{false, false, false, false};
const std::vector<bool> kEnabled{true, true, true, true};

}  // namespace

TEST_F(MainWindow, StartUpCreatesTheSixWindowsAndShowsOnlyTheMainWindow) {
  QApplication::setApplicationName("other");
  std::unique_ptr<QWidget> main(startUp());
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(QApplication::applicationName(), "Tolvane");
  EXPECT_EQ(main->objectName(), "TForm3");
  EXPECT_TRUE(main->isVisible());
  EXPECT_EQ(main->windowTitle(), "TolvaneAlarm  - V 5.00.00.04");

  std::vector<std::pair<QString, QString>> windows;
  for (QDialog *dialog : main->findChildren<QDialog *>(QString(), Qt::FindDirectChildrenOnly)) {
    windows.emplace_back(dialog->objectName(), dialog->windowTitle());
    EXPECT_FALSE(dialog->isVisible()) << dialog->objectName().toStdString();
  }
  const std::vector<std::pair<QString, QString>> expected{
      {"TForm1", "Test VertikoCenter"},
      {"TForm2", "Load Firmware"},
      {"TForm4", "Choose Skarvel"},
      {"TForm5", "Recorder of message to Skarvel"},
      {"TForm6", "Setting parameters"}};
  EXPECT_EQ(windows, expected) << "created in the start-up order";
  int visible = 0;
  for (QWidget *top : QApplication::topLevelWidgets()) visible += top->isVisible();
  EXPECT_EQ(visible, 1);
}

TEST_F(MainWindow, WithoutDevicesShowsCountZeroAndKeepsTheUnitButtonsDisabled) {
  window.reset(CreateWindows(folder.Folder(), {}));
  EXPECT_EQ(Label1()->text(), "- - - - - -");
  EXPECT_TRUE(Label1()->font().bold());
  EXPECT_TRUE(Label1()->wordWrap());

  ShowAndSettle();

  EXPECT_EQ(window->windowTitle(), "TolvaneAlarm  - V 5.00.00.04");
  EXPECT_EQ(Label1()->text(), kCountZero);
  EXPECT_EQ(Label1()->font().pointSize(), 9);
  EXPECT_FALSE(Label1()->font().bold());
  EXPECT_EQ(UnitButtons(), kDisabled);
  EXPECT_TRUE(Control("Button5")->isEnabled());
  EXPECT_TRUE(Control("Button4")->isEnabled());

  // The show steps run once: showing the window again does not scan again.
  const auto calls = fake->calls.size();
  window->hide();
  window->show();
  QTest::qWait(50);
  EXPECT_EQ(fake->calls.size(), calls);
}

TEST_F(MainWindow, SoundOutputsAreListedAfterTheFirstPaintAndAPressReadsThemAfresh) {
  std::atomic<int> listed{0};
  std::promise<void> release;
  // The first list (the one after the first paint) is read slowly; a press reads another.
  window.reset(
      CreateWindows(folder.Folder(), SlowFirstList(listed, release, {"Before"}, {"Null Output"})));
  fake->add("VRT00001");
  window->show();
  EXPECT_EQ(listed, 0) << "nothing listed before the window is on screen";
  EXPECT_TRUE(fake->calls.empty()) << "no scan before the window is on screen";
  ASSERT_TRUE(QTest::qWaitFor([&] { return listed == 1; }, 10000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return Label1()->text().endsWith("= 1"); }, 10000))
      << "the count shows while the sound outputs are still being listed";

  // Released now, the slow start-up list arrives and is the sound check's list.
  release.set_value();
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return window->State().AudioDeviceList == Names{"Before"}; }, 10000));
  EXPECT_EQ(listed, 1);

  OpenUnit("VRT00001");
  ModalScript script;
  script.Then([](QWidget *modal) {
    EXPECT_EQ(modal->objectName(), "TForm5");
    qobject_cast<QDialog *>(modal)->reject();
  });
  Click("Button2");
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(listed, 2);
  EXPECT_EQ(window->State().AudioDeviceList, Names{"Null Output"});
}

TEST_F(MainWindow, AStartUpListOfSoundOutputsThatArrivesAfterAPressIsNotTaken) {
  fake->add("VRT00001");
  std::atomic<int> listed{0};
  std::promise<void> release;
  window.reset(CreateWindows(folder.Folder(), SlowFirstList(listed, release, {"Gone"}, {})));
  ShowAndSettle();
  ASSERT_TRUE(QTest::qWaitFor([&] { return listed == 1; }, 10000));
  OpenUnit("VRT00001");
  ModalScript script;
  script.ThenMessage("It is impossible to play sound files, a sound card isn't installed");
  Click("Button2");
  EXPECT_TRUE(script.Done());

  release.set_value();
  QTest::qWait(300);
  EXPECT_TRUE(window->State().AudioDeviceList.empty()) << "the press's list stands";
  window.reset();  // waits for the listing thread
  EXPECT_EQ(listed, 2);
}

TEST_F(MainWindow, LayoutAndTexts) {
  Start();
  EXPECT_EQ(window->size(), QSize(656, 428));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window->windowFlags() & Qt::WindowCloseButtonHint);
  const std::vector<std::pair<const char *, QString>> buttons{
      {"Button5", "Select device"},    {"Button6", "Set parameters"}, {"Button1", "Communicator"},
      {"Button2", "Message recorder"}, {"Button3", "Firmware"},       {"Button4", "Exit"}};
  for (const auto &[name, text] : buttons) {
    EXPECT_EQ(ShownText(Control(name)->text()), text) << name;
    EXPECT_FALSE(Control(name)->autoDefault()) << name;
  }
  const QLabel *picture = window->findChild<QLabel *>("Image1");
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->pixmap().size(), QSize(473, 157));
  EXPECT_EQ(BannerPicture().format(), QImage::Format_RGB888);
  EXPECT_EQ(window->findChild<QLabel *>("Label2")->text(), "Skarvel - Tolvane for Alarm");
  EXPECT_EQ(window->findChild<QLabel *>("Label3")->text(),
            " Technical support - command, programming parameter, upgrade firmware and "
            "recording messages. ");
  EXPECT_EQ(SharedHistoryLabel("away", 1),
            "History: on this bench, 1 record waits for the server (away)");
  EXPECT_EQ(SharedHistoryLabel("away", 2),
            "History: on this bench, 2 records wait for the server (away)");
}

TEST_F(MainWindow, CountsEveryFtDevice) {
  fake->add("FT000001", "USB Serial Converter");
  fake->add("VRT00001");
  Start();
  EXPECT_EQ(Label1()->text(), "                        Number of connected devices = 2");
  EXPECT_EQ(UnitButtons(), kDisabled);
}

TEST_F(MainWindow, ChoosingTheSecondOfTwoUnitsOpensItAt9600) {
  fake->add("VRT00001");
  fake->add("ABC12345");  // "VERTIKOmate" without a unit's serial number
  fake->add("VRT00002");
  Start();
  ModalScript script;
  script.Then([&](QWidget *modal) {
    ASSERT_EQ(modal->objectName(), "TForm4");
    EXPECT_EQ(modal->windowTitle(), "Choose Skarvel");
    EXPECT_EQ(ShownText(modal->findChild<QLabel *>("Label1")->text()), "Select the  device:");
    auto *combo = modal->findChild<QComboBox *>("ComboBox1");
    ASSERT_NE(combo, nullptr);
    EXPECT_TRUE(combo->isEditable());
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(0), "VRT00001");
    EXPECT_EQ(combo->itemText(1), "VRT00002");
    EXPECT_EQ(combo->currentIndex(), -1) << "nothing preselected";
    EXPECT_EQ(combo->currentText(), "");
    auto *select = modal->findChild<QPushButton *>("Button2");
    auto *cancel = modal->findChild<QPushButton *>("Button1");
    EXPECT_EQ(ShownText(select->text()), "Select");
    EXPECT_EQ(ShownText(cancel->text()), "Cancel");
    QWidget *first = modal->nextInFocusChain();
    while (first != modal && !(first->focusPolicy() & Qt::TabFocus))
      first = first->nextInFocusChain();
    EXPECT_EQ(first, select) << "Select comes first in the tab order, not "
                             << first->metaObject()->className() << " "
                             << first->objectName().toStdString();
    combo->setCurrentIndex(1);
    fake->clearCalls();
    ModalScript::Click(select);
  });

  Click("Button5");

  EXPECT_TRUE(script.Done());
  EXPECT_EQ(Label1()->text(), "VRT00002");
  ExpectSelectionFont(Label1());
  EXPECT_EQ(UnitButtons(), kEnabled);
  EXPECT_EQ(window->State().ChosenIndex, 2);
  EXPECT_EQ(fake->names(), (Names{"OpenEx", "SetBitMode", "SetDtr", "ClrRts", "SetBaudRate"}));
  EXPECT_EQ(fake->calls[1].args, (std::vector<std::uint64_t>{0, 0}));
  EXPECT_EQ(fake->calls[4].args, std::vector<std::uint64_t>{9600});
  EXPECT_TRUE(fake->devices[2].isOpen);
  EXPECT_FALSE(fake->devices[0].isOpen);
}

TEST_F(MainWindow, SelectKeepsTheChoiceWindowOpenUntilItsTextNamesAnOfferedUnit) {
  fake->add("VRT00001");
  fake->add("ABC12345");
  Start();
  ModalScript script;
  for (const QString text : {"", "   ", "VRT99999", "ABC12345", "vrt00001"}) {
    script.Then([](QWidget *modal) { ASSERT_EQ(modal->objectName(), "TForm4"); });
    script.Then(Typing(text));
  }
  script.Then([](QWidget *modal) { QTest::keyClick(modal, Qt::Key_Escape); });
  script.ThenMessage("USB device not selected");

  Click("Button5");

  EXPECT_TRUE(script.Done());
  const Names calls = fake->names();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "OpenEx"), 0) << "no unit opened";
  EXPECT_EQ(Label1()->text(), "");
  ExpectSelectionFont(Label1());
  EXPECT_EQ(UnitButtons(), kDisabled);
}

TEST_F(MainWindow, TypedSerialWithBlanksIsTaken) {
  fake->add("VRT00001");
  fake->add("VRT00002");
  Start();
  ModalScript script;
  script.Then(Typing("  VRT00002 "));
  Click("Button5");
  EXPECT_EQ(Label1()->text(), "VRT00002");
  EXPECT_TRUE(fake->devices[1].isOpen);
}

TEST_F(MainWindow, SelectDeviceWhileAUnitIsOpenClosesItAndACancelLeavesNone) {
  fake->add("VRT00001");
  Start();
  OpenUnit("VRT00001");
  ASSERT_EQ(UnitButtons(), kEnabled);

  ModalScript script;
  script.Then([&](QWidget *modal) {
    EXPECT_FALSE(fake->devices[0].isOpen) << "the unit is closed before the choice";
    Cancelling()(modal);
  });
  script.ThenMessage("USB device not selected");
  Click("Button5");

  EXPECT_TRUE(script.Done());
  EXPECT_EQ(window->State().Port, nullptr);
  EXPECT_FALSE(fake->devices[0].isOpen);
  EXPECT_EQ(Label1()->text(), "");
  EXPECT_EQ(UnitButtons(), kDisabled);
}

TEST_F(MainWindow, NoUnitEmptiesTheLabelBeforeItsMessage) {
  fake->add("FT000001", "USB Serial Converter");
  Start();
  ModalScript script;
  script.Then([&](QWidget *modal) {
    EXPECT_EQ(Label1()->text(), "");
    ExpectSelectionFont(Label1());
    EXPECT_EQ(modal->windowTitle(), "Tolvane");
  });
  script.ThenMessage("None of USB device not found");
  // The first step only looks; the message box is answered by the second.
  Click("Button5");
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(UnitButtons(), kDisabled);
}

TEST_F(MainWindow, AFailedOpenShowsItsMessageBeforeTheLabel) {
  fake->add("VRT00001").openStatus = FT_DEVICE_NOT_OPENED;
  Start();
  ModalScript script;
  script.Then(Typing("VRT00001"));
  script.Then([&](QWidget *) { EXPECT_EQ(Label1()->text(), kCountZero.chopped(1) + "1"); });
  script.ThenMessage("USB device VRT00001 not connected");
  Click("Button5");

  EXPECT_TRUE(script.Done());
  EXPECT_EQ(Label1()->text(), "VRT00001");
  ExpectSelectionFont(Label1());
  EXPECT_EQ(UnitButtons(), kDisabled);
  EXPECT_EQ(window->State().Port, nullptr);
}

TEST_F(MainWindow, UnitButtonsOpenTheirWindowsModally) {
  fake->add("VRT00001");
  Start({"Null Output"});
  OpenUnit("VRT00001");
  const std::vector<std::pair<const char *, QString>> buttons{
      {"Button6", "TForm6"}, {"Button1", "TForm1"}, {"Button3", "TForm2"}, {"Button2", "TForm5"}};
  for (const auto &[button, form] : buttons) {
    ModalScript script;
    bool opened = false;
    script.Then([&, form = form](QWidget *modal) {
      EXPECT_EQ(modal->objectName(), form);
      EXPECT_EQ(modal->parentWidget(), window.get());
      opened = true;
      qobject_cast<QDialog *>(modal)->reject();
    });
    Click(button);
    EXPECT_TRUE(opened) << button;
    EXPECT_TRUE(window->isVisible());
  }
  EXPECT_EQ(UnitButtons(), kEnabled);
}

TEST_F(MainWindow, MessageRecorderWithoutSoundOutputOpensNothing) {
  fake->add("VRT00001");
  Start({});
  OpenUnit("VRT00001");
  ModalScript script;
  script.ThenMessage("It is impossible to play sound files, a sound card isn't installed");
  Click("Button2");
  EXPECT_TRUE(script.Done());
  EXPECT_FALSE(window->findChild<QDialog *>("TForm5")->isVisible());
}

TEST_F(MainWindow, ExitClosesTheMainWindow) {
  Start();
  Click("Button4");
  EXPECT_FALSE(window->isVisible());
}

namespace {
// A driver whose listing breaks down with an exception.
class BrokenListing : public fake::Backend {
 public:
  bool broken = false;
  FT_STATUS ListDevices(void *arg1, void *arg2, DWORD flags) override {
    if (broken) throw std::runtime_error("driver gone");
    return fake::Backend::ListDevices(arg1, arg2, flags);
  }
};
}  // namespace

TEST(MainWindowErrors, AnErrorInSelectDeviceReachesTheGeneralHandlerAndTheButtonsFollow) {
  QApplication::setQuitOnLastWindowClosed(false);
  auto owned = std::make_unique<BrokenListing>();
  BrokenListing &driver = *owned;
  d2xx::ScopedBackend scope(std::move(owned));
  driver.add("VRT00001");
  TempFolder folder;
  std::unique_ptr<TForm3> window(CreateWindows(folder.Folder(), {}));
  window->show();
  {
    ModalScript script;
    script.Then([](QWidget *modal) {
      qobject_cast<QComboBox *>(modal->findChild<QComboBox *>("ComboBox1"))->setCurrentIndex(0);
      ModalScript::Click(modal->findChild<QPushButton *>("Button2"));
    });
    QTest::mouseClick(window->findChild<QPushButton *>("Button5"), Qt::LeftButton);
  }
  ASSERT_NE(window->State().Port, nullptr);

  driver.broken = true;
  ModalScript script;
  script.ThenMessage("driver gone");
  QTest::mouseClick(window->findChild<QPushButton *>("Button5"), Qt::LeftButton);
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(window->State().Port, nullptr);
  EXPECT_FALSE(window->findChild<QPushButton *>("Button6")->isEnabled());
  EXPECT_TRUE(window->isVisible());
}
