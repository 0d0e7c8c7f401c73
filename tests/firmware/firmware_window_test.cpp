#include "firmware/firmware_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <functional>

#include "d2xx/backend.h"
#include "d2xx/emulated_provider.h"
#include "history/format.h"
#include "history/journal.h"
#include "history/store.h"
#include "session/config.h"
#include "session/shared_state.h"
#include "sim/in_process.h"
#include "sim/link_server.h"
#include "tests/firmware/hex_records.h"
#include "tests/support/emulated_backend.h"
#include "tests/support/modal_script.h"
#include "tests/support/private_runtime_dir.h"
#include "tests/support/temp_folder.h"
#include "ui/status_colour.h"
#include "ui/window_fit.h"

using namespace std::chrono_literals;

namespace {

constexpr const char *kSerial = "VRT00031";
// A small firmware file: two words, and a record at byte address 0x3000 that ends the image.
const std::string kSmallFile = hexfile::Text(
    {hexfile::Data(0x10, {1, 2}), hexfile::Data(0x3000, {0xFF, 0xFF}), hexfile::EndOfFile()});

// Chooses the unit kSerial and opens its port as "Select device" does, then makes the window.
std::unique_ptr<TForm2> OpenWindowOnTheUnit(SharedState &state) {
  state.SerialList[0] = kSerial;
  state.ChosenIndex = 0;
  state.DeviceChosen = true;
  state.UnitCount = 1;
  state.Port = std::make_unique<TFT232>(kSerial);
  ConfigurePort(*state.Port);
  return std::make_unique<TForm2>(state, nullptr);
}

class FirmwareWindow : public ::testing::Test {
 protected:
  FirmwareWindow() : unit(units.Add({.serial = kSerial})), state(temp.Folder()) {
    window = OpenWindowOnTheUnit(state);
  }
  ~FirmwareWindow() override {
    if (window->isVisible()) window->close();
  }

  template <typename T>
  T *Find(const char *name) {
    T *child = window->findChild<T *>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  QPushButton *Button(int n) { return Find<QPushButton>(("Button" + std::to_string(n)).c_str()); }
  std::vector<bool> Enabled() {
    return {Button(1)->isEnabled(), Button(2)->isEnabled(), Button(3)->isEnabled()};
  }

  std::string WriteFile(const std::string &name, const std::string &content) {
    const std::string path = files.File(name);
    QFile file(QString::fromStdString(path));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content.data(), static_cast<qint64>(content.size()));
    return path;
  }

  // Presses the open button and picks `path` in the dialog (cancels it when empty).
  void Choose(const std::string &path) {
    answerer.onDialog = [path](QFileDialog *dialog) {
      if (path.empty()) {
        dialog->reject();
        return;
      }
      ModalScript::ChooseFile(dialog, QString::fromStdString(path));
    };
    QTest::mouseClick(Button(1), Qt::LeftButton);
  }

  // Steps Timer1 while it runs, moving the unit's clock with every tick.
  int StepDownload(int limit = 100000) {
    auto *timer = Find<QTimer>("Timer1");
    int ticks = 0;
    while (timer->isActive() && ticks < limit) {
      units.clock().Advance(5ms);
      QMetaObject::invokeMethod(timer, "timeout");
      ++ticks;
    }
    return ticks;
  }

  std::string FileText(const std::string &path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return "<none>";
    return file.readAll().toStdString();
  }

  sim::InstalledUnits units;
  sim::Unit &unit;
  TempFolder temp;   // program folder
  TempFolder files;  // where the firmware files lie
  SharedState state;
  ModalScript answerer{ModalScript::kAnswerBoxes};
  std::unique_ptr<TForm2> window;
};

TEST(FirmwareControls, FollowThePhaseAndTheLoadedFile) {
  using firmware::Phase;
  EXPECT_EQ(firmware::EnabledControls(Phase::Idle, false), (firmware::Controls{true, false, true}));
  EXPECT_EQ(firmware::EnabledControls(Phase::Idle, true), (firmware::Controls{true, true, true}));
  EXPECT_EQ(firmware::EnabledControls(Phase::Connecting, true),
            (firmware::Controls{false, false, false}));
  EXPECT_EQ(firmware::EnabledControls(Phase::Transferring, true),
            (firmware::Controls{false, false, false}));
  EXPECT_EQ(firmware::EnabledControls(Phase::Ended, true),
            (firmware::Controls{false, false, true}));
  EXPECT_EQ(firmware::EnabledControls(Phase::Ended, false),
            (firmware::Controls{false, false, true}));
}

TEST(FirmwareFileName, ExtensionAndLengthRules) {
  EXPECT_EQ(FileExtension("/a/b/firm.hex"), "HEX");
  EXPECT_EQ(FileExtension("/a/b/firm.HeX \t"), "HEX");
  EXPECT_EQ(FileExtension("/a/b.old/firm"), "OLD/FIRM");
  EXPECT_EQ(FileExtension("firmware"), "FIRMWARE");
  EXPECT_EQ(FileExtension("/a/firm.hex.bak"), "BAK");
  EXPECT_TRUE(AcceptableFirmwareName("/tmp/a.hex"));
  EXPECT_TRUE(AcceptableFirmwareName("/t/a.HEX"));  // 8 characters
  EXPECT_FALSE(AcceptableFirmwareName("/a.HEX"));   // 7 characters
  EXPECT_FALSE(AcceptableFirmwareName("/tmp/firmware.txt"));
  EXPECT_FALSE(AcceptableFirmwareName("/tmp/firmware.hexa"));
  EXPECT_EQ(ScrollPages(0), 1);
  EXPECT_EQ(ScrollPages(30), 1);
  EXPECT_EQ(ScrollPages(31), 2);
  EXPECT_EQ(ScrollPages(62), 3);
}

TEST_F(FirmwareWindow, ControlsHaveTheirNamesPlacesAndCaptions) {
  EXPECT_EQ(window->objectName(), "TForm2");
  EXPECT_EQ(window->windowTitle(), "Load Firmware");
  EXPECT_EQ(window->size(), QSize(654, 443));
  EXPECT_EQ(ShownText(Button(1)->text()), "Open file *.HEX ");
  EXPECT_EQ(ShownText(Button(2)->text()), "Write to VertikoMate PCB");
  EXPECT_EQ(ShownText(Button(3)->text()), "Cancel");
  for (int n = 1; n <= 3; ++n) EXPECT_FALSE(Button(n)->autoDefault());
  EXPECT_FALSE(Button(2)->isEnabled());
  EXPECT_EQ(Find<QLabel>("Label3")->text(), "VRT00000");
  EXPECT_TRUE(Find<QLabel>("Label3")->font().bold());
  EXPECT_EQ(Find<QLabel>("Label3")->font().pixelSize(), 13);
  EXPECT_EQ(Find<QLabel>("Label1")->text(), "-----------");
  EXPECT_TRUE(Find<QLabel>("Label2")->wordWrap());
  EXPECT_TRUE(Find<QPlainTextEdit>("Memo1")->isReadOnly());
  EXPECT_TRUE(Find<QPlainTextEdit>("Memo2")->isReadOnly());
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  EXPECT_EQ(Find<QPlainTextEdit>("Memo2")->font().family(), fixed.family());
  EXPECT_EQ(Find<QPlainTextEdit>("Memo2")->font().pointSizeF(), fixed.pointSizeF());
  auto *timer = Find<QTimer>("Timer1");
  EXPECT_EQ(timer->interval(), 5);
  EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
  EXPECT_FALSE(timer->isActive());
}

// At its design size, at its smallest and larger, no control covers another or leaves the window,
// and the status, the two bars and the log stand one below the other.
TEST_F(FirmwareWindow, AfterTheFileDialogTheKeysWorkInTheWindowAgain) {
  window->show();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  const std::string path = WriteFile("app.HEX", hexfile::FirmwareFile(0x40));
  for (const std::string &chosen : {std::string(), path}) {
    Choose(chosen);  // cancelled, then answered
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->isActiveWindow(); }, 2000));
    QWidget *focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    EXPECT_EQ(focus->window(), window.get());
    for (QWidget *popup : QApplication::topLevelWidgets())
      EXPECT_FALSE(popup->isVisible() && popup->windowType() == Qt::Popup) << "a completion list";
  }
  // Esc from wherever the focus is reaches the window: it is Cancel.
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
  EXPECT_FALSE(window->isVisible());
}

TEST_F(FirmwareWindow, NoControlCoversAnotherAtAnySize) {
  window->show();
  const char *const names[] = {"Button1", "Label3",  "CheckBoxFast", "Label2",
                               "Memo1",   "Label1",  "ProgressBar2", "ProgressBar1",
                               "Memo2",   "Button2", "Button3"};
  for (const QSize size : {QSize(654, 443), QSize(1, 1), QSize(500, 350), QSize(1000, 700)}) {
    window->resize(size);
    QApplication::processEvents();
    EXPECT_GE(window->width(), std::max(size.width(), window->minimumSizeHint().width()));
    for (const char *a : names) {
      const QRect ra = Find<QWidget>(a)->geometry();
      EXPECT_TRUE(window->rect().contains(ra)) << a << " at " << size.width();
      EXPECT_GE(ra.height(), Find<QWidget>(a)->minimumSizeHint().height()) << a;
      for (const char *b : names) {
        if (a == b) continue;
        EXPECT_FALSE(ra.intersects(Find<QWidget>(b)->geometry()))
            << a << " and " << b << " at " << size.width() << "x" << size.height();
      }
    }
    EXPECT_LT(Find<QWidget>("ProgressBar2")->geometry().bottom(),
              Find<QWidget>("ProgressBar1")->geometry().top());
  }
}

TEST_F(FirmwareWindow, ShowingPreparesTheWindow) {
  unit.Say("RING\r\n");
  state.ReplyBuffer = "old";
  window->show();
  EXPECT_EQ(Find<QLabel>("Label1")->text(), "--------");
  EXPECT_EQ(Find<QLabel>("Label3")->text(), kSerial);
  EXPECT_EQ(Find<QLabel>("Label2")->text(), "");
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(state.ReplyBuffer, "RING\r\n") << "what was waiting is taken off the link";
  EXPECT_EQ(Find<QProgressBar>("ProgressBar1")->value(), 0);
  EXPECT_EQ(Find<QProgressBar>("ProgressBar2")->value(), 0);
  EXPECT_EQ(state.FirmPath, temp.Folder()) << "no remembered path: the program folder";
}

TEST_F(FirmwareWindow, TheFileDialogHasItsTitleFilterAndStartingFolder) {
  const std::string path = WriteFile("remembered.HEX", kSmallFile);
  WriteRememberedPath(temp.Folder(), "FIRM", path);
  window->show();
  QString title, folder, suffix;
  QStringList filters;
  bool native = true;
  answerer.onDialog = [&](QFileDialog *dialog) {
    title = dialog->windowTitle();
    filters = dialog->nameFilters();
    folder = dialog->directory().absolutePath();
    suffix = dialog->defaultSuffix();
    native = !dialog->testOption(QFileDialog::DontUseNativeDialog);
    dialog->reject();
  };
  QTest::mouseClick(Button(1), Qt::LeftButton);
  EXPECT_EQ(title, "HEX file for Vertiko Mate");
  EXPECT_EQ(filters, QStringList{"File with programm *.HEX (*.HEX)"});
  EXPECT_EQ(suffix, "HEX");
  EXPECT_FALSE(native);
  EXPECT_EQ(folder + "/", QString::fromStdString(files.Folder()))
      << "a remembered file: the dialog starts in its folder";
  // Cancelled: nothing changed.
  EXPECT_EQ(Find<QLabel>("Label2")->text(), "");
  EXPECT_EQ(state.FirmPath, path);
  EXPECT_FALSE(Button(2)->isEnabled());
  EXPECT_TRUE(answerer.boxes.empty());
}

TEST_F(FirmwareWindow, OpenDialog1IsMadeWithTheWindowAndUsedAgainAtEveryClick) {
  auto *made = window->findChild<QFileDialog *>("OpenDialog1");
  ASSERT_NE(made, nullptr) << "made with the window";
  EXPECT_EQ(made->parent(), window.get());
  const std::string first = WriteFile("first.HEX", kSmallFile);
  window->show();
  Choose(first);
  ASSERT_EQ(state.FirmPath, first);
  std::vector<QFileDialog *> used{made};
  QStringList proposed{"<not shown>"};
  QString folder;
  answerer.onDialog = [&](QFileDialog *dialog) {
    used.push_back(dialog);
    proposed = dialog->selectedFiles();
    folder = dialog->directory().absolutePath();
    EXPECT_EQ(dialog->windowTitle(), "HEX file for Vertiko Mate");
    dialog->reject();
  };
  QTest::mouseClick(Button(1), Qt::LeftButton);
  EXPECT_EQ(used, (std::vector<QFileDialog *>{made, made}));
  EXPECT_TRUE(proposed.isEmpty()) << "no file name is proposed: "
                                  << proposed.join(' ').toStdString();
  EXPECT_EQ(folder + "/", QString::fromStdString(files.Folder()));
}

TEST_F(FirmwareWindow, ALoadedFileIsShownScrolledToItsEndAndEnablesWriting) {
  std::string content;
  for (unsigned a = 0x10; a < 0x10 + 16 * 60; a += 16) content += hexfile::Data(a, {1, 2}) + "\n";
  content += hexfile::Data(0x3000, {0xFF, 0xFF}) + "\n";
  content += hexfile::EndOfFile();  // 62 lines, LF line ends
  const std::string path = WriteFile("firmware.hex", content);
  window->show();
  Choose(path);
  auto *memo = Find<QPlainTextEdit>("Memo1");
  EXPECT_EQ(memo->toPlainText().toStdString(), content);
  EXPECT_EQ(memo->document()->blockCount(), 62);
  EXPECT_EQ(memo->verticalScrollBar()->value(), memo->verticalScrollBar()->maximum());
  EXPECT_GT(memo->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(Find<QLabel>("Label2")->text().toStdString(), path);
  EXPECT_EQ(state.FirmPath, path);
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, true, true}));
  EXPECT_TRUE(answerer.boxes.empty());
}

TEST_F(FirmwareWindow, ARejectedSecondFileLeavesTheFirstLoaded) {
  const std::string good = WriteFile("good.HEX", kSmallFile);
  const std::string bad = WriteFile("notes.txt", "text");
  window->show();
  Choose(good);
  Choose(bad);
  ASSERT_EQ(answerer.boxes.size(), 1u);
  EXPECT_EQ(answerer.boxes[0].text, "Error file");
  EXPECT_EQ(Find<QLabel>("Label2")->text().toStdString(), bad);
  EXPECT_EQ(state.FirmPath, bad);
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText(),
            QString::fromStdString(kSmallFile).replace("\r\n", "\n"));
  EXPECT_TRUE(Button(2)->isEnabled());
}

TEST_F(FirmwareWindow, ADamagedFileIsShownAndRefusedWithItsFirstBadLine) {
  const std::string damaged =
      hexfile::Text({hexfile::Data(0x10, {1, 2}), hexfile::Record(0, 0x20, {1, 2}, 0x3F)});
  window->show();
  Choose(WriteFile("good.HEX", kSmallFile));
  Choose(WriteFile("app.hex", damaged));
  ASSERT_EQ(answerer.boxes.size(), 1u);
  EXPECT_EQ(answerer.boxes[0].text, "app.hex, line 2: the checksum is 3F, the record needs DB");
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText().toStdString(),
            hexfile::Data(0x10, {1, 2}) + "\n" + hexfile::Record(0, 0x20, {1, 2}, 0x3F));
  EXPECT_FALSE(Button(2)->isEnabled());
}

TEST_F(FirmwareWindow, AReadErrorEmptiesTheFileViewAndDisablesWriting) {
  const std::string good = WriteFile("good.HEX", kSmallFile);
  const std::string broken = files.File("broken.HEX");
  ASSERT_EQ(symlink("/proc/self/mem", broken.c_str()), 0);  // opens, but every read fails
  window->show();
  Choose(good);
  Choose(broken);
  ASSERT_EQ(answerer.boxes.size(), 1u);
  EXPECT_TRUE(answerer.boxes[0].text.startsWith("Cannot read file"))
      << answerer.boxes[0].text.toStdString();
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText(), "");
  EXPECT_FALSE(Button(2)->isEnabled());
}

TEST_F(FirmwareWindow, TypingChangesNothing) {
  const std::string path = WriteFile("firmware.HEX", kSmallFile);
  window->show();
  Choose(path);
  auto *memo = Find<QPlainTextEdit>("Memo1");
  QTest::keyClicks(memo, "abc:0");
  QTest::keyClick(memo, Qt::Key_Return);
  QTest::keyClick(memo, Qt::Key_Backspace);
  QTest::keyClicks(window.get(), "xyz");
  EXPECT_EQ(memo->toPlainText(), QString::fromStdString(kSmallFile).replace("\r\n", "\n"));
  EXPECT_TRUE(window->isVisible());
}

TEST_F(FirmwareWindow, ClosingRemembersTheLastFileChosen) {
  const std::string path = WriteFile("firmware.HEX", kSmallFile);
  window->show();
  Choose(path);
  QTest::mouseClick(Button(3), Qt::LeftButton);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(ConfigFile(ConfigFileName(temp.Folder())).Read("PATH", "FIRM"), path);
}

TEST_F(FirmwareWindow, ADownloadRunsToItsEndAndShowsTheLog) {
  const std::string text = hexfile::FirmwareFile(0x200);
  const std::string path = WriteFile("firmware.HEX", text);
  window->show();
  Choose(path);
  std::vector<bool> enabledAtBox;
  QString statusAtBox;
  answerer.onBox = [&](const ModalScript::Box &) {
    enabledAtBox = Enabled();
    statusAtBox = Find<QLabel>("Label1")->text();
  };
  QTest::mouseClick(Button(2), Qt::LeftButton);

  ASSERT_EQ(answerer.boxes.size(), 1u);
  const auto &question = answerer.boxes[0];
  EXPECT_EQ(question.title, kSerial);
  EXPECT_EQ(question.text.toStdString(), firmware::kConfirmation);
  EXPECT_EQ(question.icon, QMessageBox::Critical);
  EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(question.defaultButton, QMessageBox::No);
  EXPECT_EQ(question.modality, Qt::ApplicationModal);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(Find<QTimer>("Timer1")->isActive());
  EXPECT_EQ(Enabled(), (std::vector<bool>{false, false, false}));
  EXPECT_FALSE(Find<QCheckBox>("CheckBoxFast")->isEnabled()) << "not while a download runs";
  EXPECT_EQ(unit.CurrentMode(), sim::Unit::Mode::LoaderHandshake);

  StepDownload(3);
  EXPECT_EQ(Find<QLabel>("Label1")->text(), "Connect");
  EXPECT_TRUE(Find<QTimer>("Timer1")->isActive()) << "the timer keeps running";
  StepDownload();

  ASSERT_EQ(answerer.boxes.size(), 2u);
  EXPECT_EQ(answerer.boxes[1].text, "Download firmware to Vertiko mate is successfully complete");
  EXPECT_EQ(statusAtBox, "Finish");
  EXPECT_EQ(enabledAtBox, (std::vector<bool>{false, false, false}));
  EXPECT_EQ(Enabled(), (std::vector<bool>{false, false, true}));
  EXPECT_TRUE(Find<QCheckBox>("CheckBoxFast")->isEnabled());
  EXPECT_FALSE(Find<QTimer>("Timer1")->isActive());
  auto *overall = Find<QProgressBar>("ProgressBar1");
  auto *line = Find<QProgressBar>("ProgressBar2");
  const firmware::Image image = firmware::ReadImage(text, text.size());
  EXPECT_EQ(overall->maximum(), firmware::OverallMaximum(image.LineCount()));
  EXPECT_EQ(overall->value(), overall->maximum());
  EXPECT_EQ(line->maximum(), 10);
  EXPECT_EQ(line->value(), 10);
  const QString log = QString::fromLatin1(FileText(temp.File("LOG_file1.TXT")));
  EXPECT_TRUE(log.contains("\r\nPOSLAL<=>PRIJAL\r\n<=>OK\r\n\r\n77<=>Y\r\n"));
  EXPECT_TRUE(log.contains("\r\nFF<=>Z\r\n========================\r\n"));
  EXPECT_EQ(Find<QPlainTextEdit>("Memo2")->toPlainText(), QString(log).replace("\r\n", "\n"))
      << "the log view shows the transfer log";
  EXPECT_EQ(unit.GetRecord().loaderLines.size(), static_cast<std::size_t>(image.LineCount() - 1));

  // Reopened, the window is ready for another file.
  window->close();
  window->show();
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(Find<QLabel>("Label1")->text(), "--------");
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText(), "");
  EXPECT_EQ(Find<QPlainTextEdit>("Memo2")->toPlainText(), "");
  EXPECT_EQ(overall->value(), 0);
}

// A bar from 0 to 0 is a busy bar, animated all the time it is shown: the bars are never so,
// neither before a download nor in one of fewer than 20 lines, whose overall maximum is 0.
TEST_F(FirmwareWindow, TheBarsAreEmptyBeforeAndFullAfterAShortDownloadAndNeverBusy) {
  const std::string text = hexfile::FirmwareFile(0x30);
  ASSERT_LT(firmware::ReadImage(text, text.size()).LineCount(), 20);
  window->show();
  auto *overall = Find<QProgressBar>("ProgressBar1");
  auto *line = Find<QProgressBar>("ProgressBar2");
  auto empty = [](QProgressBar *bar) {
    return bar->minimum() < bar->maximum() && bar->value() == bar->minimum();
  };
  auto full = [](QProgressBar *bar) {
    return bar->minimum() < bar->maximum() && bar->value() == bar->maximum();
  };
  EXPECT_TRUE(empty(overall));
  EXPECT_TRUE(empty(line));

  Choose(WriteFile("short.HEX", text));
  QTest::mouseClick(Button(2), Qt::LeftButton);
  ASSERT_TRUE(Find<QTimer>("Timer1")->isActive());
  int busyTicks = 0;
  while (Find<QTimer>("Timer1")->isActive() && StepDownload(1) == 1)
    busyTicks += overall->minimum() == overall->maximum() || line->minimum() == line->maximum();
  EXPECT_EQ(busyTicks, 0);
  ASSERT_EQ(answerer.boxes.back().text,
            "Download firmware to Vertiko mate is successfully complete");
  EXPECT_TRUE(full(overall));
  EXPECT_TRUE(full(line));

  // Cancel is the one button left, and Esc is Cancel.
  QTest::keyClick(window.get(), Qt::Key_Escape);
  EXPECT_FALSE(window->isVisible());
  window->show();
  EXPECT_TRUE(empty(overall));
  EXPECT_TRUE(empty(line));
  QTest::keyClick(window.get(), Qt::Key_Escape);
  EXPECT_FALSE(window->isVisible()) << "with no download Esc is Cancel";
}

// The share of a bar's middle row that its fill covers in the window as it was last drawn on the
// screen (what the window system shows, not a new rendering of the window).
double FilledShare(QWidget *window, QProgressBar *bar) {
  const QImage image = window->screen()->grabWindow(window->winId()).toImage();
  const QRect r(bar->mapTo(window, QPoint(0, 0)), bar->size());
  const QColor fill = bar->palette().color(QPalette::Highlight);
  int filled = 0;
  for (int x = r.left(); x <= r.right(); ++x) {
    const QColor c = image.pixelColor(x, r.center().y());
    filled += std::abs(c.red() - fill.red()) + std::abs(c.green() - fill.green()) +
                  std::abs(c.blue() - fill.blue()) <
              90;
  }
  return static_cast<double>(filled) / r.width();
}

TEST_F(FirmwareWindow, TheOverallBarIsSeenFillingDuringADownload) {
  const std::string text = hexfile::FirmwareFile(0x800);
  window->show();
  Choose(WriteFile("firmware.HEX", text));
  QTest::mouseClick(Button(2), Qt::LeftButton);
  auto *overall = Find<QProgressBar>("ProgressBar1");
  QApplication::processEvents();
  EXPECT_LT(FilledShare(window.get(), overall), 0.05);
  // Each tick drawn as it comes, as on a screen.
  while (Find<QTimer>("Timer1")->isActive() && overall->value() * 2 < overall->maximum()) {
    StepDownload(1);
    QApplication::processEvents();
  }
  ASSERT_GT(overall->maximum(), 10);
  const double share = FilledShare(window.get(), overall);
  EXPECT_GT(share, 0.3) << "a half-done download shows a half-filled bar";
  EXPECT_LT(share, 0.7);
  window->close();
}

TEST(StatusColour, TextIsWhiteOnBlueAndBlackOnMagentaAndLightGreen) {
  EXPECT_EQ(ContrastingText(QColor::fromRgb(0x0000FF)), QColor(Qt::white));
  EXPECT_EQ(ContrastingText(QColor::fromRgb(0xFF00FF)), QColor(Qt::black));
  EXPECT_EQ(ContrastingText(QColor::fromRgb(0xC0DCC0)), QColor(Qt::black));
}

TEST_F(FirmwareWindow, AFileWithoutFirmwareDataIsNotDownloaded) {
  const std::string path =
      WriteFile("empty.HEX", hexfile::Text({hexfile::Record(4, 0, {0, 0}), hexfile::EndOfFile()}));
  window->show();
  Choose(path);
  QTest::mouseClick(Button(2), Qt::LeftButton);
  ASSERT_EQ(answerer.boxes.size(), 2u);
  EXPECT_EQ(answerer.boxes[1].text.toStdString(), firmware::kNoImageMessage);
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, true, true}));
  EXPECT_FALSE(Find<QTimer>("Timer1")->isActive());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(unit.GetRecord().received, "") << "nothing was sent";
}

TEST_F(FirmwareWindow, NoStopsTheStart) {
  const std::string path = WriteFile("firmware.HEX", hexfile::FirmwareFile(0x40));
  window->show();
  Choose(path);
  answerer.buttons = {QMessageBox::No};
  QTest::mouseClick(Button(2), Qt::LeftButton);
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, true, true}));
  EXPECT_FALSE(Find<QTimer>("Timer1")->isActive());
  EXPECT_EQ(unit.GetRecord().received, "");
}

TEST_F(FirmwareWindow, ClosingDuringADownloadAsksAndYesStopsItWithTheLogsFooter) {
  const std::string path = WriteFile("firmware.HEX", hexfile::FirmwareFile(0x200));
  window->show();
  Choose(path);
  QTest::mouseClick(Button(2), Qt::LeftButton);
  QTest::keyClick(window.get(), Qt::Key_Escape);
  EXPECT_TRUE(window->isVisible()) << "Esc does not break off a download that waits for the unit";
  StepDownload(20);
  ASSERT_EQ(window->findChild<QLabel *>("Label1")->text(), "Connect");
  QTest::keyClick(window.get(), Qt::Key_Escape);
  QTest::keyClick(Find<QPlainTextEdit>("Memo1"), Qt::Key_Escape);
  EXPECT_TRUE(window->isVisible()) << "Esc does not break off a download";
  const std::size_t asked = answerer.boxes.size();
  answerer.buttons = {QMessageBox::No, QMessageBox::Yes};
  window->close();
  ASSERT_EQ(answerer.boxes.size(), asked + 1);
  const auto &question = answerer.boxes.back();
  EXPECT_EQ(question.text,
            "The download is not finished: the unit stays in its loader until a download "
            "completes. Stop it?");
  EXPECT_EQ(question.defaultButton, QMessageBox::No);
  EXPECT_TRUE(window->isVisible()) << "No keeps the download going";
  EXPECT_TRUE(Find<QTimer>("Timer1")->isActive());
  window->close();
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(Find<QTimer>("Timer1")->isActive());
  const std::string log = FileText(temp.File("LOG_file1.TXT"));
  EXPECT_NE(log.find("POSLAL<=>PRIJAL\r\n"), std::string::npos);
  EXPECT_NE(log.find("77<=>Y\r\n"), std::string::npos);
  EXPECT_TRUE(log.ends_with("\r\nstopped by the user\r\n")) << log;
  EXPECT_NE(log.find("========================"), log.rfind("========================"))
      << "the footer's rule";
  EXPECT_EQ(ConfigFile(ConfigFileName(temp.Folder())).Read("PATH", "FIRM"), path);
}

TEST_F(FirmwareWindow, FastTransferIsABoxRememberedInTheConfigurationFile) {
  auto *box = Find<QCheckBox>("CheckBoxFast");
  EXPECT_EQ(ShownText(box->text()), "Fast transfer");
  window->show();
  EXPECT_FALSE(box->isChecked()) << "off without VERT.ini";
  EXPECT_TRUE(box->isEnabled());
  box->click();
  window->close();
  const ConfigFile ini(ConfigFileName(temp.Folder()));
  EXPECT_EQ(ini.Read("Setup", "FAST"), "1");
  window->show();
  EXPECT_TRUE(box->isChecked());
  box->click();
  window->close();
  EXPECT_EQ(ini.Read("Setup", "FAST"), "0");
  window->show();
  EXPECT_FALSE(box->isChecked());
}

// The window over the emulated device link to a unit whose line has a real unit's timing: the
// port's data wakes a fast transfer, which Timer1 does not step.
class FirmwareWindowOverTheLink : public ::testing::Test {
 protected:
  FirmwareWindowOverTheLink() : state(temp.Folder()) {
    unit = &server.Add({.serial = kSerial, .wire = {.timed = true, .latency = 1ms}});
    server.Start();
    window = OpenWindowOnTheUnit(state);
  }
  ~FirmwareWindowOverTheLink() override {
    if (window->isVisible()) window->close();
    window.reset();
    state.Port.reset();
    server.Stop();
  }
  template <typename T>
  T *Find(const char *name) {
    return window->findChild<T *>(name);
  }

  PrivateRuntimeDir runtime;
  d2xx::ScopedBackend backend{EmulatedBackend()};
  sim::SystemClock clock;
  sim::LinkServer server{clock};
  sim::Unit *unit = nullptr;
  TempFolder temp;
  TempFolder files;
  SharedState state;
  ModalScript answerer{ModalScript::kAnswerBoxes};
  std::unique_ptr<TForm2> window;
};

TEST_F(FirmwareWindowOverTheLink, AFastTransferIsWokenByThePortsDataAndTheUnitHoldsTheImage) {
  const std::string text = hexfile::FirmwareFile(0x40);
  const firmware::Image image = firmware::ReadImage(text, text.size());
  const std::string path = files.File("firmware.HEX");
  {
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.data(), static_cast<qint64>(text.size()));
  }
  ConfigFile(ConfigFileName(temp.Folder())).Write("Setup", "FAST", "1");
  window->show();
  ASSERT_TRUE(Find<QCheckBox>("CheckBoxFast")->isChecked());
  answerer.onDialog = [path](QFileDialog *dialog) {
    ModalScript::ChooseFile(dialog, QString::fromStdString(path));
  };
  QTest::mouseClick(Find<QPushButton>("Button1"), Qt::LeftButton);
  ASSERT_TRUE(Find<QPushButton>("Button2")->isEnabled());
  QTest::mouseClick(Find<QPushButton>("Button2"), Qt::LeftButton);

  EXPECT_FALSE(Find<QCheckBox>("CheckBoxFast")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("Button3")->isEnabled());
  EXPECT_TRUE(Find<QTimer>("TimerFast")->isActive());
  bool ticked = false;
  QObject::connect(Find<QTimer>("Timer1"), &QTimer::timeout, [&] { ticked = true; });
  int wokenByData = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (auto *notifier = Find<QSocketNotifier>("NotifierPort"))
      wokenByData += notifier->isEnabled();
  });
  watch.start(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.boxes.size() >= 2; }, 30000));

  EXPECT_EQ(answerer.boxes[1].text, "Download firmware to Vertiko mate is successfully complete");
  EXPECT_FALSE(ticked) << "Timer1 does not step a fast transfer";
  EXPECT_GT(wokenByData, 0) << "the transfer waited on the port's data";
  EXPECT_FALSE(Find<QTimer>("TimerFast")->isActive());
  auto *notifier = Find<QSocketNotifier>("NotifierPort");
  ASSERT_NE(notifier, nullptr);
  EXPECT_FALSE(notifier->isEnabled());
  EXPECT_TRUE(Find<QCheckBox>("CheckBoxFast")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("Button3")->isEnabled());
  const QString log = Find<QPlainTextEdit>("Memo2")->toPlainText();
  // Each line acknowledged once, counted from the loader's "Y" (the "K" of the start command's
  // "OK" can come in a read of its own).
  const QString transfer = log.mid(log.indexOf(QRegularExpression("Y\n")));
  EXPECT_EQ(transfer.count("<=>K\n"), image.LineCount() - 1) << log.toStdString();
  EXPECT_TRUE(log.contains("\nFF<=>Z\n========================\n"));
  const auto lock = server.Lock();
  const sim::Record &record = unit->GetRecord();
  EXPECT_EQ(record.loaderLines.size(), static_cast<std::size_t>(image.LineCount() - 1));
  EXPECT_TRUE(record.problems.empty()) << record.problems.front();
}

}  // namespace

namespace {

// A download's record: none after No, ok with its file, lines and log, interrupted when closed.
TEST_F(FirmwareWindow, EachDownloadStartedHasItsRecordInTheHistory) {
  const QString historyFile = QString::fromStdString(files.File("history.sqlite"));
  history::Journal journal("tolvane", historyFile, "bench");
  journal.Start();
  window->History = &journal;
  const std::string path = WriteFile("firmware.HEX", hexfile::FirmwareFile(0x80));
  window->show();
  Choose(path);
  answerer.buttons = {QMessageBox::No};
  QTest::mouseClick(Button(2), Qt::LeftButton);
  answerer.buttons = {};
  QTest::mouseClick(Button(2), Qt::LeftButton);
  StepDownload();
  window->close();
  window->show();
  Choose(path);
  QTest::mouseClick(Button(2), Qt::LeftButton);
  StepDownload(20);
  window->close();
  ASSERT_TRUE(journal.Flush());

  history::Store store;
  ASSERT_TRUE(store.Open(historyFile, history::Store::Mode::Read));
  const auto jobs = store.Jobs({}, true);
  ASSERT_EQ(jobs.size(), 2u) << "none for the download that No stopped";
  const QJsonObject closed = QJsonDocument::fromJson(jobs[0].details).object();
  const QJsonObject done = QJsonDocument::fromJson(jobs[1].details).object();
  EXPECT_EQ(jobs[0].outcome, "interrupted");
  EXPECT_EQ(jobs[1].outcome, "ok");
  EXPECT_EQ(jobs[1].message, "Download firmware to Vertiko mate is successfully complete");
  EXPECT_EQ(done["file"].toString(), QString::fromStdString(path));
  EXPECT_EQ(done["sha256"].toString(), history::FileSha256(QString::fromStdString(path)));
  EXPECT_EQ(done["sent"].toInt(), done["lines"].toInt());
  EXPECT_TRUE(done["log"].toString().contains("FF<=>Z"));
  EXPECT_LT(closed["sent"].toInt(), closed["lines"].toInt());
}

}  // namespace
