// The file-open dialogs of the firmware and recorder windows: each window makes its own
// `OpenDialog1` with the window and uses it again at every click of its open button.
#pragma once

#include <string>

class QFileDialog;
class QString;
class QWidget;

// Makes a window's lasting open dialog `OpenDialog1`: the program's own dialog (not the
// desktop's), for one existing file, without the filters' patterns in their names. The window
// sets its filters.
QFileDialog *MakeOpenDialog(QWidget *window, const QString &title);

// The folder a file dialog starts in: the folder of the remembered file, or the remembered
// folder, while it is there; else the home folder, never the current working folder. The program
// folder, which a window remembers while nothing was chosen, counts as nothing remembered.
QString DialogStartFolder(const std::string &remembered, const std::string &programFolder = {});

// Makes a lasting open dialog ready for its next use: it starts in DialogStartFolder, on its
// first filter, and proposes no file name: what was chosen or typed in it last time is not
// filled in again.
void PrepareOpenDialog(QFileDialog &dialog, const std::string &remembered,
                       const std::string &programFolder);

// Runs a file dialog of `window` and gives the keyboard back to the window however it was
// answered: the name field's completion list is closed with it. True when a file was chosen.
bool RunFileDialog(QFileDialog &dialog, QWidget *window);
