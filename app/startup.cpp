#include "app/startup.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QTimer>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

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
  // The first text of a window waits for the font database (fontconfig's first load), and the
  // main window for its banner picture: both are made on threads of their own while the main
  // window's controls are made.
  std::jthread fonts([] { QFontMetrics(QFont()).height(); });
  std::future<QImage> banner = std::async(std::launch::async, BannerPicture);
  QApplication::setApplicationName("Tolvane");
  // Before the first window exists: its window-system name (the Wayland app id, X11's desktop
  // file property) ties it to the menu entry.
  QGuiApplication::setDesktopFileName(QLatin1String(kAppId));
  // The main window is on screen before the other five windows are made.
  auto main = std::make_unique<TForm3>(DetectProgramFolder(), [&banner] { return banner.get(); });
  main->ListOutputs = ListAudioOutputs;
  main->show();
  AwaitFirstPaint(*main);
  fonts.join();
  // Every window shows the program's icon. Handing an icon of eight sizes to the window system
  // takes longer than the main window's first frame on X11 (about 10 ms), so it follows that
  // frame.
  QApplication::setWindowIcon(ProgramIcon());
  CreateOtherWindows(*main);
  return main.release();
}
