// Push buttons of the windows: placed at their design position, named, and never the dialog's
// default button, so that Enter does not press them.
#pragma once

#include <QRect>

class QPushButton;
class QWidget;

QPushButton *MakeButton(QWidget *parent, const char *name, const char *caption, QRect geometry);
