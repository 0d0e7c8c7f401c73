// The recorder window through its controls, found by name: an emulated unit in the test process
// behind the port, and scripted players in place of the audio player (the window's OpenPlayer),
// so that what the window asks of its player can be seen. Timer1 is stepped by the test.
#include "recorder/recorder_window.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include "history/format.h"
#include "history/journal.h"
#include "history/store.h"
#include "link/link.h"
#include "session/config.h"
#include "session/shared_state.h"
#include "sim/in_process.h"
#include "tests/recorder/scripted_player.h"
#include "tests/support/modal_script.h"
#include "tests/support/temp_folder.h"
#include "ui/window_fit.h"

using recorder::Phase;

namespace {

constexpr const char *kSerial = "VRT00012";
constexpr std::int64_t kSecond = ScriptedPlayer::kSecond;

const std::vector<std::string> kDevices = {"Speakers", "Headphones", "HDMI"};

class RecorderWindow : public ::testing::Test {
 protected:
  RecorderWindow() : unit(units.Add({.serial = kSerial})), state(folder.Folder()) {
    state.SerialList[0] = kSerial;
    state.ChosenIndex = 0;
    state.UnitCount = 1;
    state.DeviceChosen = true;
    state.AudioDeviceList = kDevices;
    state.Port = std::make_unique<TFT232>(kSerial);
    ConfigurePort(*state.Port);
    form = std::make_unique<TForm5>(state);
    form->Recording().Sleep = [](std::chrono::milliseconds) {};
    form->OpenPlayer = [this](const std::string &fileName, int deviceIndex) {
      opened.push_back({fileName, deviceIndex});
      if (failOpen)
        throw EAudioPlayError("DirectShow call failed: 80040265\rCannot play back the file.",
                              AudioResult::VFW_E_UNSUPPORTED_STREAM);
      auto player = std::make_unique<ScriptedPlayer>(duration, capabilities);
      player->volume = -1500;
      player->balance = 2500;
      player->timeFormat = timeFormat;
      player->failPlay = failPlay;
      return std::unique_ptr<recorder::Player>(std::move(player));
    };
    QDir(QString::fromStdString(folder.Folder())).mkdir("sounds");
    audioFile = QString::fromStdString(folder.Folder()) + "sounds/message.wav";
    QFile file(audioFile);
    file.open(QIODevice::WriteOnly);
    file.write("RIFF");
  }
  ~RecorderWindow() override { form.reset(); }

  template <typename T>
  T *find(const char *name) {
    T *found = form->findChild<T *>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  // Shows the window; Timer1 is then stepped by the test alone.
  void Show() {
    form->show();
    ASSERT_TRUE(find<QTimer>("Timer1")->isActive());
    find<QTimer>("Timer1")->stop();
  }

  // "Open audio file", answered with `file` (or cancelled when it is empty) from the dialog.
  void OpenFile(const QString &file, std::function<void(QFileDialog *)> check = {}) {
    ModalScript script;
    script.Then([file, check](QWidget *modal) {
      auto *dialog = qobject_cast<QFileDialog *>(modal);
      ASSERT_NE(dialog, nullptr) << "no file dialog";
      if (check) check(dialog);
      if (file.isEmpty()) {
        dialog->reject();
        return;
      }
      ModalScript::ChooseFile(dialog, file);
    });
    if (failOpen)
      script.ThenMessage("DirectShow call failed: 80040265\rCannot play back the file.");
    find<QPushButton>("Button2")->click();
  }

  ScriptedPlayer *Player() { return static_cast<ScriptedPlayer *>(form->CurrentPlayer()); }

  // Enabled: Play, Pause, Stop, RECORD MESSAGE, Open audio file, Cancel, the three bars.
  std::string Enabled() {
    std::string shown;
    for (const char *name : {"btnPlay", "btnPause", "btnStop", "Button1", "Button2", "Button3"})
      shown += find<QPushButton>(name)->isEnabled() ? '1' : '0';
    shown += ' ';
    for (const char *name : {"tbarPosition", "tbarBalance", "tbarVolume"})
      shown += find<QSlider>(name)->isEnabled() ? '1' : '0';
    return shown;
  }

  std::string Remembered() {
    return ConfigFile(ConfigFileName(state.ProgramFolder)).Read("PATH", "AUDIO");
  }

  sim::InstalledUnits units;
  sim::Unit &unit;
  TempFolder folder;
  SharedState state;
  std::unique_ptr<TForm5> form;
  QString audioFile;

  struct Opened {
    std::string file;
    int device;
  };
  std::vector<Opened> opened;
  bool failOpen = false;
  bool failPlay = false;
  std::int64_t duration = 3 * kSecond;
  std::uint32_t capabilities = 0x3F;
  TGuid timeFormat = TIME_FORMAT_MEDIA_TIME;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The window as it is made.

TEST_F(RecorderWindow, ControlsCarryTheirNamesCaptionsAndRanges) {
  EXPECT_EQ(form->objectName(), "TForm5");
  EXPECT_EQ(form->windowTitle(), "Recorder of message to Skarvel");
  const std::vector<std::pair<const char *, const char *>> buttons = {
      {"Button2", "Open audio file"}, {"btnPlay", "Play"},
      {"btnPause", "Pause"},          {"btnStop", "Stop"},
      {"Button1", "RECORD MESSAGE"},  {"Button3", "Cancel"}};
  for (const auto &[name, caption] : buttons) {
    QPushButton *button = find<QPushButton>(name);
    EXPECT_EQ(ShownText(button->text()), caption);
    EXPECT_FALSE(button->autoDefault()) << name;
  }
  const std::vector<std::pair<const char *, const char *>> labels = {
      {"lblPosition", "00:00:00:000"},
      {"Label1", "of"},
      {"lblDuration", "00:00:00:000"},
      {"Label5", "Device:"},
      {"Label7", "Device:"},
      {"Label2", "Balance:"},
      {"Label3", "Volume:"}};
  for (const auto &[name, caption] : labels)
    EXPECT_EQ(ShownText(find<QLabel>(name)->text()), caption);
  for (const char *name : {"lblPosition", "Label1", "lblDuration"}) {
    EXPECT_EQ(find<QLabel>(name)->font().family(),
              QFontDatabase::systemFont(QFontDatabase::FixedFont).family())
        << name;
    EXPECT_TRUE(find<QLabel>(name)->font().bold()) << name;
  }
  EXPECT_TRUE(find<QLabel>("Label6")->font().bold());
  EXPECT_TRUE(find<QLabel>("Label4")->wordWrap());
  find<QComboBox>("ComboBox1");
  EXPECT_EQ(find<QGroupBox>("GroupBox2")->title(), "Control");

  QSlider *position = find<QSlider>("tbarPosition");
  EXPECT_EQ(position->minimum(), 0);
  EXPECT_EQ(position->maximum(), 100);
  QSlider *balance = find<QSlider>("tbarBalance");
  EXPECT_EQ(balance->minimum(), -10000);
  EXPECT_EQ(balance->maximum(), 10000);
  EXPECT_EQ(balance->tickInterval(), 10000);
  QSlider *volume = find<QSlider>("tbarVolume");
  EXPECT_EQ(volume->minimum(), -10000);
  EXPECT_EQ(volume->maximum(), 0);
  EXPECT_EQ(volume->tickInterval(), 1000);
  EXPECT_EQ(balance->parent(), find<QGroupBox>("GroupBox2"));
  EXPECT_EQ(volume->parent(), find<QGroupBox>("GroupBox2"));

  QGroupBox *capabilities = find<QGroupBox>("GroupBox1");
  EXPECT_EQ(capabilities->title(), "Capabilities:");
  EXPECT_TRUE(capabilities->isHidden());
  EXPECT_FALSE(capabilities->isEnabled());
  const QStringList captions = {"Seek to an absolute position",
                                "Seek forward",
                                "Seek backwards",
                                "Report its current position",
                                "Report its stop position",
                                "Report its duration",
                                "Play backward",
                                "Do seamless looping "};
  for (int i = 0; i < 8; ++i) {
    auto *box = find<QCheckBox>(QString("CheckBox%1").arg(i + 1).toLatin1().constData());
    EXPECT_EQ(box->text(), captions[i]);
    EXPECT_EQ(box->parent(), capabilities);
    EXPECT_FALSE(box->isEnabled());
  }

  QTimer *timer1 = find<QTimer>("Timer1");
  QTimer *timer2 = find<QTimer>("Timer2");
  EXPECT_EQ(timer1->interval(), 250);
  EXPECT_EQ(timer2->interval(), 9900);
  EXPECT_FALSE(timer1->isActive());
  EXPECT_FALSE(timer2->isActive());
  EXPECT_TRUE(form->ShowAsTime());
  EXPECT_EQ(form->DeviceIndex(), 0);
}

TEST(LongTimeToStr, ShowsATimeOfDayToTheMillisecondOrThePlainNumber) {
  EXPECT_EQ(LongTimeToStr(0, true), "00:00:00:000");
  EXPECT_EQ(LongTimeToStr(652500000, true), "00:01:05:250");  // one minute and 5.25 seconds
  EXPECT_EQ(LongTimeToStr(37230040000, true), "01:02:03:004");
  EXPECT_EQ(LongTimeToStr(12345, true), "00:00:00:001");
  EXPECT_EQ(LongTimeToStr(15000, true), "00:00:00:002");
  EXPECT_EQ(LongTimeToStr(864000000000 + 30000, true), "00:00:00:003") << "a day wraps round";
  EXPECT_EQ(LongTimeToStr(-652500000, true), "00:01:05:250");
  EXPECT_EQ(LongTimeToStr(std::numeric_limits<std::int64_t>::min(), true).size(), 12);
  EXPECT_EQ(LongTimeToStr(12345, false), "12345");
  EXPECT_EQ(LongTimeToStr(-7, false), "-7");
}

// ---------------------------------------------------------------------------------------------
// Showing, the file and the remembered path.

TEST_F(RecorderWindow, ShowingListsEachDeviceOnceSetsRtsAndStartsWithNoFile) {
  state.Port->ClearRts(true);
  unit.Say("OK\r\n");
  Show();
  EXPECT_TRUE(unit.Rts());
  EXPECT_TRUE(state.ReplyBuffer.empty());
  EXPECT_EQ(find<QLabel>("Label6")->text(), kSerial);
  EXPECT_EQ(find<QLabel>("Label4")->text(), "");
  EXPECT_EQ(Enabled(), "000011 000");
  form->close();
  form->show();
  QComboBox *box = find<QComboBox>("ComboBox1");
  ASSERT_EQ(box->count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(box->itemText(i).toStdString(), kDevices[i]);
  EXPECT_EQ(box->currentIndex(), 0);
  form->close();
}

TEST_F(RecorderWindow, TheFileDialogStartsInTheHomeFolderAndThenFromTheChosenFile) {
  Show();
  OpenFile(audioFile, [this](QFileDialog *dialog) {
    EXPECT_EQ(dialog->objectName(), "OpenDialog1");
    EXPECT_EQ(dialog->windowTitle(), "Recorder of message to Skarvel");
    EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
    // (Qt's dialog simplifies the blanks of the captions.)
    EXPECT_EQ(dialog->nameFilters(),
              (QStringList{"File with audio (*.WAV *.MP3 *.WMA *.AVI)", "All files (*)"}));
    EXPECT_EQ(dialog->selectedNameFilter(), "File with audio");
    EXPECT_EQ(dialog->directory().absolutePath(), QDir::homePath()) << "nothing remembered yet";
    EXPECT_EQ(find<QLabel>("Label4")->text(), "") << "emptied while the dialog is open";
  });
  EXPECT_EQ(find<QLabel>("Label4")->text(), audioFile);
  EXPECT_EQ(state.AudioPath, audioFile.toStdString());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].file, audioFile.toStdString());
  EXPECT_EQ(opened[0].device, 0);
  EXPECT_EQ(find<QLabel>("lblDuration")->text(), "00:00:03:000");
  EXPECT_EQ(Enabled(), "111111 111");
  EXPECT_TRUE(form->CanSeek());

  form->close();
  EXPECT_EQ(form->CurrentPlayer(), nullptr) << "the file is closed with the window";
  EXPECT_EQ(Remembered(), audioFile.toStdString());

  form->show();
  find<QTimer>("Timer1")->stop();
  EXPECT_EQ(Enabled(), "000011 000") << "no file after a new showing";
  OpenFile("", [this](QFileDialog *dialog) {
    EXPECT_EQ(dialog->directory().absolutePath() + "/",
              QString::fromStdString(folder.Folder()) + "sounds/");
    // The audio files are listed whatever the case of their extensions.
    auto *list = dialog->findChild<QListView *>("listView");
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->model()->rowCount(list->rootIndex()) > 0; }))
        << "message.wav is not listed";
    EXPECT_TRUE(dialog->selectedFiles().isEmpty() || dialog->selectedFiles().first() != audioFile)
        << "no file name is proposed";
  });
  form->close();
}

TEST_F(RecorderWindow, OpenDialog1IsMadeWithTheWindowAndUsedAgainAtEveryClick) {
  auto *made = form->findChild<QFileDialog *>("OpenDialog1");
  ASSERT_NE(made, nullptr) << "made with the window";
  EXPECT_EQ(made->parent(), form.get());
  EXPECT_FALSE(made->isVisible());
  Show();
  std::vector<QFileDialog *> used;
  OpenFile(audioFile, [&](QFileDialog *dialog) {
    used.push_back(dialog);
    dialog->selectNameFilter("All files");  // the user's last filter is not kept
  });
  OpenFile("", [&](QFileDialog *dialog) {
    used.push_back(dialog);
    EXPECT_EQ(dialog->selectedNameFilter(), "File with audio");
    EXPECT_EQ(dialog->directory().absolutePath() + "/",
              QString::fromStdString(folder.Folder()) + "sounds/");
    EXPECT_TRUE(dialog->selectedFiles().isEmpty()) << "no file name is proposed";
  });
  EXPECT_EQ(used, (std::vector<QFileDialog *>{made, made}));
  form->close();
}

TEST_F(RecorderWindow, CancellingTheDialogKeepsTheOpenFile) {
  Show();
  OpenFile(audioFile);
  const recorder::Player *open = form->CurrentPlayer();
  ASSERT_NE(open, nullptr);
  const QString duration = find<QLabel>("lblDuration")->text();
  OpenFile("");
  EXPECT_EQ(form->CurrentPlayer(), open);
  EXPECT_EQ(find<QLabel>("Label4")->text(), audioFile);
  EXPECT_EQ(find<QLabel>("lblDuration")->text(), duration);
  EXPECT_EQ(state.AudioPath, audioFile.toStdString());
  form->close();
}

TEST_F(RecorderWindow, AFileThatCannotBeOpenedShowsThePlayersErrorAndLeavesNoFile) {
  Show();
  failOpen = true;
  OpenFile(audioFile);
  EXPECT_EQ(form->CurrentPlayer(), nullptr);
  EXPECT_EQ(Enabled(), "000011 000");
  EXPECT_EQ(find<QLabel>("Label4")->text(), audioFile);
  EXPECT_EQ(state.AudioPath, audioFile.toStdString());
  form->close();
  EXPECT_EQ(Remembered(), audioFile.toStdString());
}

TEST_F(RecorderWindow, AChoiceInTheDeviceBoxIsTheDeviceOfTheFilesOpenedAfterIt) {
  Show();
  OpenFile(audioFile);
  QComboBox *box = find<QComboBox>("ComboBox1");
  box->setCurrentIndex(2);
  emit box->activated(2);
  EXPECT_EQ(form->DeviceIndex(), 2);
  EXPECT_EQ(opened.back().device, 0) << "the open file stays where it plays";
  OpenFile(audioFile);
  EXPECT_EQ(opened.back().device, 2);
  form->close();

  form->show();
  find<QTimer>("Timer1")->stop();
  EXPECT_EQ(box->currentIndex(), 0);
  EXPECT_EQ(form->DeviceIndex(), 0) << "each showing starts again from the first device";
  OpenFile(audioFile);
  EXPECT_EQ(opened.back().device, 0);
  form->close();
}

// ---------------------------------------------------------------------------------------------
// The player's controls.

TEST_F(RecorderWindow, PlayDisablesRecordMessageAndPauseAndStopEnableIt) {
  Show();
  OpenFile(audioFile);
  EXPECT_EQ(Enabled(), "111111 111");
  find<QPushButton>("btnPlay")->click();
  EXPECT_EQ(Player()->state, 2);
  EXPECT_EQ(Enabled(), "111011 111");
  Player()->position = 3 * kSecond / 2;
  form->Timer1Timer();
  EXPECT_EQ(find<QSlider>("tbarPosition")->value(), 50);
  EXPECT_EQ(find<QLabel>("lblPosition")->text(), "00:00:01:500");
  EXPECT_EQ(Enabled(), "111011 111");

  find<QPushButton>("btnPause")->click();
  EXPECT_EQ(Player()->state, 1);
  EXPECT_EQ(Enabled(), "111111 111");
  EXPECT_EQ(Player()->position, 3 * kSecond / 2);

  find<QPushButton>("btnPlay")->click();
  EXPECT_EQ(Enabled(), "111011 111");
  find<QPushButton>("btnStop")->click();
  EXPECT_EQ(Player()->state, 0);
  EXPECT_EQ(Player()->position, 0) << "Stop rewinds";
  EXPECT_EQ(find<QSlider>("tbarPosition")->value(), 0);
  EXPECT_EQ(Enabled(), "111111 111");

  // Played by hand to its end: rewound at the next tick, RTS set again.
  find<QPushButton>("btnPlay")->click();
  Player()->ReachEnd();
  state.Port->ClearRts(true);
  form->Timer1Timer();
  EXPECT_EQ(Player()->position, 0);
  EXPECT_TRUE(unit.Rts());
  EXPECT_EQ(Enabled(), "111111 111");
  form->close();
}

TEST_F(RecorderWindow, AFileOpenedWhileAnotherPlaysCanBeRecorded) {
  Show();
  OpenFile(audioFile);
  find<QPushButton>("btnPlay")->click();
  ASSERT_EQ(Enabled(), "111011 111");
  OpenFile(audioFile);
  EXPECT_EQ(Player()->state, 0) << "a new file starts stopped";
  EXPECT_FALSE(form->Recording().Playing());
  EXPECT_EQ(Enabled(), "111111 111") << "RECORD MESSAGE follows the new file";

  // Played, then the dialog cancelled: no file; the next one is not playing either.
  find<QPushButton>("btnPlay")->click();
  OpenFile("");
  OpenFile(audioFile);
  ASSERT_EQ(Enabled(), "111111 111");
  {
    ModalScript script;
    script.ThenMessage("Have you got connect audio cable Jack 3.5mm?");
    find<QPushButton>("Button1")->click();
  }
  EXPECT_EQ(form->Recording().CurrentPhase(), Phase::AwaitingReply);
  form->close();
}

TEST_F(RecorderWindow, ThePositionBarSeeksOnlyAFileThatCanSeek) {
  Show();
  OpenFile(audioFile);
  QSlider *bar = find<QSlider>("tbarPosition");
  bar->setValue(40);
  EXPECT_EQ(Player()->position, 12 * kSecond / 10);
  EXPECT_EQ(find<QLabel>("lblPosition")->text(), "00:00:01:200");
  bar->setValue(100);
  form->Timer1Timer();
  EXPECT_EQ(Player()->position, 0) << "dragged to its end, the file is rewound at the next tick";

  capabilities = 0x3E;  // no absolute seeking
  OpenFile(audioFile);
  EXPECT_FALSE(form->CanSeek());
  Player()->position = kSecond;
  bar->setValue(80);
  EXPECT_EQ(Player()->Count("SetPosition"), 0);
  EXPECT_EQ(bar->value(), 33) << "the bar returns at once to the current position";
  form->close();
}

TEST_F(RecorderWindow, ATimeFormatOtherThanMediaTimeShowsPlainNumbers) {
  Show();
  timeFormat = TGuid{1, 2, 3, {4}};
  OpenFile(audioFile);
  EXPECT_FALSE(form->ShowAsTime());
  EXPECT_EQ(find<QLabel>("lblDuration")->text(), "30000000");
  EXPECT_EQ(find<QLabel>("lblPosition")->text(), "0");
  form->close();
}

TEST_F(RecorderWindow, BalanceAndVolumeBarsFollowTheFileAndSetIt) {
  Show();
  find<QSlider>("tbarBalance")->setValue(300);  // no file: nothing happens
  find<QSlider>("tbarVolume")->setValue(-300);
  OpenFile(audioFile);
  EXPECT_EQ(find<QSlider>("tbarBalance")->value(), 2500);
  EXPECT_EQ(find<QSlider>("tbarVolume")->value(), -1500);
  EXPECT_EQ(Player()->Count("SetBalance"), 0) << "the window's own moves are not the user's";
  EXPECT_EQ(Player()->Count("SetVolume"), 0);
  find<QSlider>("tbarBalance")->setValue(-4000);
  find<QSlider>("tbarVolume")->setValue(-2000);
  EXPECT_EQ(Player()->balance, -4000);
  EXPECT_EQ(Player()->volume, -2000);
  form->close();
}

// ---------------------------------------------------------------------------------------------
// Recording from the window.

TEST_F(RecorderWindow, RecordMessageRunsTheRecordingToTheEndOfTheFile) {
  Show();
  OpenFile(audioFile);
  {
    ModalScript script;
    script.ThenMessage("Have you got connect audio cable Jack 3.5mm?");
    find<QPushButton>("Button1")->click();
  }
  EXPECT_EQ(unit.GetRecord().commandLines.back(), "AT@OGRIE\r\n");
  EXPECT_EQ(Enabled(), "000000 111") << "the bars stay usable";
  form->Timer1Timer();
  EXPECT_EQ(form->Recording().CurrentPhase(), Phase::Recording);
  EXPECT_FALSE(unit.Rts());
  EXPECT_TRUE(find<QTimer>("Timer2")->isActive());
  EXPECT_EQ(Player()->state, 2);
  EXPECT_EQ(Enabled(), "000000 111");

  Player()->ReachEnd();
  form->Timer1Timer();
  EXPECT_TRUE(unit.Rts());
  EXPECT_FALSE(find<QTimer>("Timer2")->isActive());
  EXPECT_EQ(Player()->position, 0);
  EXPECT_EQ(Enabled(), "111111 111");
  EXPECT_TRUE(unit.GetRecord().recordings.at(0).stop.has_value());
  form->close();
}

TEST_F(RecorderWindow, Timer2EndsTheRecording) {
  Show();
  duration = 20 * kSecond;
  OpenFile(audioFile);
  {
    ModalScript script;
    script.ThenMessage("Have you got connect audio cable Jack 3.5mm?");
    find<QPushButton>("Button1")->click();
  }
  form->Timer1Timer();
  ASSERT_TRUE(find<QTimer>("Timer2")->isActive());
  form->Timer2Timer();
  EXPECT_TRUE(unit.Rts());
  EXPECT_FALSE(find<QTimer>("Timer2")->isActive());
  EXPECT_EQ(Enabled(), "111111 111");
  form->close();
}

TEST_F(RecorderWindow, APlayFailureEndsTheRecordingBeforeTheErrorIsShown) {
  Show();
  failPlay = true;
  OpenFile(audioFile);
  {
    ModalScript script;
    script.ThenMessage("Have you got connect audio cable Jack 3.5mm?");
    find<QPushButton>("Button1")->click();
  }
  bool checked = false;
  {
    ModalScript script;
    script.Then([&](QWidget *modal) {
      auto *box = qobject_cast<QMessageBox *>(modal);
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->text(), "play failed");
      EXPECT_TRUE(unit.Rts()) << "the unit has its stop signal before the error shows";
      EXPECT_FALSE(find<QTimer>("Timer2")->isActive());
      EXPECT_FALSE(form->Recording().WaitingReply());
      EXPECT_EQ(Enabled(), "111111 111");
      checked = true;
      ModalScript::Click(box->button(QMessageBox::Ok));
    });
    form->Timer1Timer();
  }
  EXPECT_TRUE(checked);
  EXPECT_TRUE(unit.GetRecord().recordings.empty()) << "no start signal without sound";
  form->close();
}

TEST_F(RecorderWindow, ClosingDuringARecordingGivesTheStopSignal) {
  Show();
  OpenFile(audioFile);
  {
    ModalScript script;
    script.ThenMessage("Have you got connect audio cable Jack 3.5mm?");
    find<QPushButton>("Button1")->click();
  }
  form->Timer1Timer();
  ASSERT_FALSE(unit.Rts());
  {
    ModalScript script;
    for (auto answer : {QMessageBox::No, QMessageBox::Yes})
      script.Then([answer](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "The recording is not finished. Stop it?");
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
        ModalScript::Click(box->button(answer));
      });
    form->reject();  // the close box: Cancel is disabled
    EXPECT_TRUE(form->isVisible()) << "No goes on recording";
    EXPECT_FALSE(unit.Rts());
    form->reject();
  }
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(unit.Rts());
  EXPECT_FALSE(find<QTimer>("Timer1")->isActive());
  EXPECT_FALSE(find<QTimer>("Timer2")->isActive());
  EXPECT_EQ(form->CurrentPlayer(), nullptr);
  EXPECT_EQ(form->Recording().CurrentPhase(), Phase::Idle);
  EXPECT_EQ(Remembered(), audioFile.toStdString());
}

TEST_F(RecorderWindow, ARecordingWhoseStopSignalIsLostSaysSo) {
  Show();
  OpenFile(audioFile);
  {
    ModalScript script;
    script.ThenMessage("Have you got connect audio cable Jack 3.5mm?");
    find<QPushButton>("Button1")->click();
  }
  form->Timer1Timer();
  ASSERT_EQ(form->Recording().CurrentPhase(), Phase::Recording);
  units.Unplug(kSerial);
  Player()->ReachEnd();
  {
    ModalScript script;
    script.ThenMessage("The stop signal did not reach VRT00012: check the unit's message");
    form->Timer1Timer();
  }
  EXPECT_EQ(form->Recording().CurrentResult(), recorder::Result::StopLost);
  EXPECT_EQ(Enabled(), "111111 111");
  form->close();
}

// Esc is the Cancel button: nothing from "RECORD MESSAGE" to the end of the recording (Cancel
// disabled), the window closed otherwise.
TEST_F(RecorderWindow, EscapeDoesWhatCancelDoesAndNothingDuringARecording) {
  Show();
  OpenFile(audioFile);
  {
    ModalScript script;
    script.ThenMessage("Have you got connect audio cable Jack 3.5mm?");
    find<QPushButton>("Button1")->click();
  }
  ASSERT_EQ(form->Recording().CurrentPhase(), Phase::AwaitingReply);
  QTest::keyClick(form.get(), Qt::Key_Escape);
  EXPECT_TRUE(form->isVisible()) << "Esc broke off the wait for the reply";
  form->Timer1Timer();
  ASSERT_EQ(form->Recording().CurrentPhase(), Phase::Recording);
  QTest::keyClick(form.get(), Qt::Key_Escape);
  QTest::keyClick(find<QSlider>("tbarVolume"), Qt::Key_Escape);
  EXPECT_TRUE(form->isVisible()) << "Esc broke off the recording";
  EXPECT_FALSE(unit.Rts());
  EXPECT_EQ(form->Recording().CurrentPhase(), Phase::Recording);

  Player()->ReachEnd();
  form->Timer1Timer();
  ASSERT_TRUE(unit.Rts());
  QTest::keyClick(form.get(), Qt::Key_Escape);
  EXPECT_FALSE(form->isVisible()) << "after the recording Esc is Cancel";
  EXPECT_EQ(form->CurrentPlayer(), nullptr);
  EXPECT_EQ(Remembered(), audioFile.toStdString());
}

// A recording's record: ok with the file, its SHA-256, the output and RTS's time when it ran to
// its end, interrupted when the window closed.
TEST_F(RecorderWindow, EachRecordingStartedHasItsRecordInTheHistory) {
  const QString historyFile = QString::fromStdString(folder.File("history.sqlite"));
  history::Journal journal("tolvane", historyFile, "bench");
  journal.Start();
  form->History = &journal;
  Show();
  OpenFile(audioFile);
  auto record = [&] {
    ModalScript script;
    script.ThenMessage("Have you got connect audio cable Jack 3.5mm?");
    find<QPushButton>("Button1")->click();
  };
  record();
  form->Timer1Timer();
  Player()->ReachEnd();
  form->Timer1Timer();
  record();
  form->Timer1Timer();
  {
    ModalScript script;
    script.Then([](QWidget *modal) {
      auto *box = qobject_cast<QMessageBox *>(modal);
      ASSERT_NE(box, nullptr);
      ModalScript::Click(box->button(QMessageBox::Yes));
    });
    form->reject();  // closed mid-recording, the question answered Yes
  }
  ASSERT_TRUE(journal.Flush());

  history::Store store;
  ASSERT_TRUE(store.Open(historyFile, history::Store::Mode::Read));
  const auto jobs = store.Jobs({});
  ASSERT_EQ(jobs.size(), 2u);
  const auto &done = jobs[0].outcome == "ok" ? jobs[0] : jobs[1];
  const auto &closed = jobs[0].outcome == "ok" ? jobs[1] : jobs[0];
  EXPECT_EQ(done.outcome, "ok");
  EXPECT_EQ(done.job, "record");
  EXPECT_EQ(closed.outcome, "interrupted");
  const QJsonObject details = QJsonDocument::fromJson(done.details).object();
  EXPECT_EQ(details["file"].toString(), audioFile);
  EXPECT_EQ(details["sha256"].toString(), history::FileSha256(audioFile));
  EXPECT_EQ(details["output"].toString(), QString::fromStdString(kDevices[0]));
  EXPECT_GE(details["seconds"].toDouble(), 0.0);
}

namespace {

TEST(RecordingText, SaysRecordingWithTheWholeSecondsOnlyWhileTheUnitRecords) {
  EXPECT_EQ(RecordingText(recorder::Phase::Recording, 3.7), QString::fromUtf8("Recording… 3 s"));
  EXPECT_EQ(RecordingText(recorder::Phase::AwaitingReply, 3.7), "");
  EXPECT_EQ(RecordingText(recorder::Phase::Idle, 0), "");
}

}  // namespace
