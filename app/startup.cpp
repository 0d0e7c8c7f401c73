#include "app/startup.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QStyle>
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
#include "ui/icon_cache.h"

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
  for (const StartUpStep &step : WindowSteps(main)) step.run();
}

// What the first file dialog would find to do that later ones find done (StandardIconCache keeps
// it): the icons that its buttons and side bar ask the style for, in two steps.
void PrepareDialogIcons(std::initializer_list<QStyle::StandardPixmap> icons) {
  const QStyle *style = QApplication::style();
  for (const QStyle::StandardPixmap icon : icons) style->standardIcon(icon);
}

// And the file icons of the icon theme that its model asks for.
void PrepareFileIcons() {
  const QFileIconProvider icons;
  for (const auto type : {QFileIconProvider::Computer, QFileIconProvider::Drive,
                          QFileIconProvider::Folder, QFileIconProvider::File})
    icons.icon(type);
  icons.icon(QFileInfo(QDir::currentPath()));
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

std::vector<StartUpStep> WindowSteps(TForm3 &main) {
  struct Made {
    TForm1 *console = nullptr;
    TForm2 *firmware = nullptr;
    TForm4 *choice = nullptr;
    TForm5 *recorder = nullptr;
  };
  auto made = std::make_shared<Made>();
  SharedState &state = main.State();
  return {
      {"console window", [made, &state, &main] { made->console = new TForm1(state, &main); }},
      {"standard icons of the open dialogs (buttons)",
       [] {
         PrepareDialogIcons({QStyle::SP_ArrowBack, QStyle::SP_ArrowForward,
                             QStyle::SP_FileDialogToParent, QStyle::SP_FileDialogNewFolder,
                             QStyle::SP_FileDialogListView, QStyle::SP_FileDialogDetailedView,
                             QStyle::SP_DialogOpenButton, QStyle::SP_DialogCancelButton});
       }},
      {"standard icons of the open dialogs (places)",
       [] {
         PrepareDialogIcons({QStyle::SP_DirIcon, QStyle::SP_FileIcon, QStyle::SP_DriveHDIcon,
                             QStyle::SP_ComputerIcon, QStyle::SP_DirHomeIcon,
                             QStyle::SP_TrashIcon});
       }},
      {"file icons of the open dialogs", PrepareFileIcons},
      {"firmware window (with its open dialog)",
       [made, &state, &main] { made->firmware = new TForm2(state, &main); }},
      {"choice window", [made, &state, &main] { made->choice = new TForm4(state, &main); }},
      {"recorder window (with its open dialog)",
       [made, &state, &main] { made->recorder = new TForm5(state, &main); }},
      {"settings window",
       [made, &state, &main] {
         main.SetWindows(made->console, made->firmware, made->choice, made->recorder,
                         new TForm6(state, &main));
       }},
  };
}

std::vector<StartUpStep> StepsAfterFirstPaint(TForm3 &main) {
  // Every window shows the program's icon. Handing an icon of eight sizes to the window system
  // takes longer than the main window's first frame on X11 (about 10 ms), so it follows that
  // frame.
  std::vector<StartUpStep> steps{{"program icon (built-in sizes) to the window system",
                                  [] { QApplication::setWindowIcon(ProgramIcon()); }}};
  for (StartUpStep &step : WindowSteps(main)) steps.push_back(std::move(step));
  // Last, so that the loading of its libraries (Qt SQL's driver, libpq) and the server's
  // connection on threads of their own do not slow the steps above.
  steps.push_back({"history started (its file and server on threads of their own)",
                   [&main] { main.StartHistory(); }});
  return steps;
}

TForm3 *CreateWindows(std::string programFolder, AudioOutputLister listOutputs) {
  auto main = std::make_unique<TForm3>(std::move(programFolder));
  main->ListOutputs = std::move(listOutputs);
  CreateOtherWindows(*main);
  main->StartHistory();
  return main.release();
}

QWidget *startUp() {
  // The first text of a window waits for the font database (fontconfig's first load), and the
  // main window for its banner picture: both are made on threads of their own while the main
  // window's controls are made.
  std::jthread fonts([] { QFontMetrics(QFont()).height(); });
  std::future<QImage> banner = std::async(std::launch::async, BannerPicture);
  QApplication::setApplicationName("Tolvane");
  // Standard icons found once, for all the windows (each file dialog asks for a dozen).
  QApplication::setStyle(new StandardIconCache);
  // Before the first window exists: its window-system name (the Wayland app id, X11's desktop
  // file property) ties it to the menu entry.
  QGuiApplication::setDesktopFileName(QLatin1String(kAppId));
  // The main window is on screen before anything else is made.
  auto main = std::make_unique<TForm3>(DetectProgramFolder(), [&banner] { return banner.get(); });
  main->ListOutputs = ListAudioOutputs;
  main->show();
  AwaitFirstPaint(*main);
  fonts.join();
  // The rest one step at a time, the event loop turning between them (the window system's events
  // and the timers; the user's input waits until start-up returns), so that no step holds the
  // interface thread long.
  for (const StartUpStep &step : StepsAfterFirstPaint(*main)) {
    step.run();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  return main.release();
}
