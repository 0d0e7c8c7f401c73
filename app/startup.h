// Start-up of the program: the application title, the list of sound outputs and the six windows.
#pragma once

#include <functional>
#include <string>
#include <vector>

class QWidget;
class TForm3;

// With the QApplication made: sets the application title, names the desktop entry the windows
// belong to and sets their icon, creates the main window and shows it, and only it, with its
// caption complete; lets it reach the screen (its first paint, while the user's input waits); then
// creates the other five windows and starts the history in the steps of StepsAfterFirstPaint,
// letting the event loop turn between them. Returns the main window with the six windows made;
// the caller runs the message loop, in which the main window scans the devices and lists the
// sound outputs after its first paint, and deletes the main window, which takes the other windows
// with it.
QWidget *startUp();

// Lists the sound outputs by display name (ListAudioOutputs in the program).
using AudioOutputLister = std::function<std::vector<std::string>()>;

// A step of start-up that follows the main window's first paint: its name, as the start-up
// benchmark prints it, and what it does.
struct StartUpStep {
  const char *name;
  std::function<void()> run;
};

// The steps after the first paint, in order: the program's icon to the window system, the other
// five windows, each made in a step of its own and handed to the main window with the last, then
// the start of the history's writer. Each holds the interface thread for a short while;
// startUp() lets the event loop turn between them.
std::vector<StartUpStep> StepsAfterFirstPaint(TForm3 &main);
// Of them, those that make the other five windows.
std::vector<StartUpStep> WindowSteps(TForm3 &main);

// Creates the six windows in their start-up order (main window, console, firmware, device
// choice, recorder, settings), the other five as children of the main window, which owns the
// shared state with this program folder. `listOutputs` gives the list of sound outputs once after
// the main window's first paint (on a thread of its own) and again each time "Message recorder"
// is pressed; without it there are none. The history's writer is started. Nothing is shown.
TForm3 *CreateWindows(std::string programFolder, AudioOutputLister listOutputs);
