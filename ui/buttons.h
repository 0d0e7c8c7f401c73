// Push buttons of the windows: named, and never the dialog's default button, so that Enter does
// not press them. The window's layout places them.
#pragma once

class QPushButton;
class QWidget;

QPushButton *MakeButton(QWidget *parent, const char *name, const char *caption);
