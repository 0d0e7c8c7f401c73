#include "app/startup.h"

#include <QApplication>
#include <memory>

#include "app/choice_window.h"
#include "app/config.h"
#include "app/main_window.h"
#include "console/console_window.h"
#include "firmware/firmware_window.h"
#include "recorder/audio_devices.h"
#include "recorder/recorder_window.h"
#include "settings/settings_window.h"

TForm3 *CreateWindows(std::string programFolder, AudioOutputLister listOutputs) {
  std::vector<std::string> audioDevices;
  if (listOutputs) audioDevices = listOutputs();
  auto main = std::make_unique<TForm3>(std::move(programFolder));
  main->ListOutputs = std::move(listOutputs);
  SharedState &state = main->State();
  state.AudioDeviceList = std::move(audioDevices);
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
  TForm3 *main = CreateWindows(DetectProgramFolder(), ListAudioOutputs);
  main->show();
  return main;
}
