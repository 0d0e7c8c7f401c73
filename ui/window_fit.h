// Every window of the program on any screen and at any font size: sized to the screen it opens on,
// its buttons and labelled fields reachable by Alt and a letter, and its long texts held to the
// width they are given.
#pragma once

class QLabel;
class QString;
class QWidget;

// Sizes `window` to its layout's wish, but no larger than the free area of the screen it opens
// on, and moves it so that the whole of it lies on that screen.
void FitToScreen(QWidget *window);

// Gives every button and every label with a buddy under `window` that has no access key yet one
// of its own letters, "&" before it: a letter that starts a word first, and one that no other
// control of the window uses where there is one. The letters shown stay the same.
void GiveAccessKeys(QWidget *window);

// The text of a caption with its access key's "&" taken out ("&&" stays one "&").
QString ShownText(const QString &caption);

// A label whose text never widens its window: it wraps at blanks, and the whole text is also in
// its tooltip, for the part that a narrow window cuts.
void KeepNarrow(QLabel *label);
// Sets the text of such a label and its tooltip.
void SetNarrowText(QLabel *label, const QString &text);

// Gives the keyboard back to `window` once a dialog or box over it has closed: the window is
// made active again and its focus is on the control that had it (or on its first control).
void RestoreFocus(QWidget *window);

// Keeps the control that started a job for the focus to come back to once the job has ended and
// the window's controls are enabled again.
class FocusReturn {
 public:
  void Pressed(QWidget *control) { control_ = control; }
  // Called once the controls are in line: the focus goes back to the pressed control once it is
  // enabled again (a disabled control loses the focus to wherever Qt puts it).
  void Back();

 private:
  QWidget *control_ = nullptr;
};
