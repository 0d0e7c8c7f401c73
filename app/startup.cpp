#include "app/startup.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QIcon>
#include <QTimer>
#include <chrono>
#include <memory>

#include "app/choice_window.h"
#include "app/main_window.h"
#include "console/console_window.h"
#include "firmware/firmware_window.h"
#include "recorder/audio_devices.h"
#include "recorder/recorder_window.h"
#include "session/config.h"
#include "settings/settings_window.h"

namespace {

// The desktop entry's name without ".desktop", which is also the icon's name in the hicolor theme.
constexpr char kAppId[] = TOLVANE_APP_ID;

// The program's icon: the installed one of the icon theme, else the sizes built into the program.
QIcon ProgramIcon() {
  QIcon builtIn;
  QDirIterator it(QStringLiteral(":/icons/hicolor"), {QStringLiteral("*.png")}, QDir::Files,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) builtIn.addFile(it.next());
  return QIcon::fromTheme(QLatin1String(kAppId), builtIn);
}

// The other five windows, children of the main window, in their start-up order.
void CreateOtherWindows(TForm3 &main) {
  SharedState &state = main.State();
  auto *console = new TForm1(state, &main);
  auto *firmware = new TForm2(state, &main);
  auto *choice = new TForm4(state, &main);
  auto *recorder = new TForm5(state, &main);
  auto *settings = new TForm6(state, &main);
  main.SetWindows(console, firmware, choice, recorder, settings);
}

// Lets the shown main window reach the screen: its show, expose and first paint are handled, the
// user's input is kept for the message loop (the buttons' windows do not exist yet). A window
// system that does not expose it within the time given holds start-up no longer.
void AwaitFirstPaint(const TForm3 &main) {
  constexpr std::chrono::milliseconds kFirstPaintWait{500};
  const QDeadlineTimer deadline(kFirstPaintWait);
  QTimer wake;  // ends each wait below, so that the deadline is seen
  wake.start(10);
  while (!main.Painted() && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::WaitForMoreEvents);
  // What the paint left to do once it is on screen.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace

TForm3 *CreateWindows(std::string programFolder, AudioOutputLister listOutputs) {
  auto main = std::make_unique<TForm3>(std::move(programFolder));
  main->ListOutputs = std::move(listOutputs);
  CreateOtherWindows(*main);
  return main.release();
}

QWidget *startUp() {
  QApplication::setApplicationName("Tolvane");
  // Before the first window exists: its window-system name (the Wayland app id, X11's desktop
  // file property) ties it to the menu entry, and every window shows the program's icon.
  QGuiApplication::setDesktopFileName(QLatin1String(kAppId));
  QApplication::setWindowIcon(ProgramIcon());
  // The main window is on screen before the other five windows are made.
  auto main = std::make_unique<TForm3>(DetectProgramFolder());
  main->ListOutputs = ListAudioOutputs;
  main->show();
  AwaitFirstPaint(*main);
  CreateOtherWindows(*main);
  return main.release();
}
