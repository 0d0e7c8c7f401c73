// Status labels painted in a colour of their own: the text takes white or black, whichever
// contrasts with the colour (white on blue, magenta or red, black on light green or white).
#pragma once

#include <QColor>

class QLabel;

// The text colour that reads on `background`: white on a dark one, black on a light one.
QColor ContrastingText(const QColor &background);

// Fills the label's background with `background` and writes its text in the contrasting colour.
void PaintStatus(QLabel *label, const QColor &background);
