#include "app/startup.h"

#include <QApplication>
#include <QDirIterator>
#include <QIcon>
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

}  // namespace

TForm3 *CreateWindows(std::string programFolder, AudioOutputLister listOutputs) {
  auto main = std::make_unique<TForm3>(std::move(programFolder));
  main->ListOutputs = std::move(listOutputs);
  SharedState &state = main->State();
  auto *console = new TForm1(state, main.get());
  auto *firmware = new TForm2(state, main.get());
  auto *choice = new TForm4(state, main.get());
  auto *recorder = new TForm5(state, main.get());
  auto *settings = new TForm6(state, main.get());
  main->SetWindows(console, firmware, choice, recorder, settings);
  return main.release();
}

QWidget *startUp() {
  QApplication::setApplicationName("Tolvane");
  // Before the first window exists: its window-system name (the Wayland app id, X11's desktop
  // file property) ties it to the menu entry, and every window shows the program's icon.
  QGuiApplication::setDesktopFileName(QLatin1String(kAppId));
  QApplication::setWindowIcon(ProgramIcon());
  TForm3 *main = CreateWindows(DetectProgramFolder(), ListAudioOutputs);
  main->show();
  return main;
}
