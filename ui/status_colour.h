// Status labels painted in a colour of their own: the text takes white or black, whichever reads
// better on the colour (at least 4.5:1 wherever black or white can give it), and the state is
// always in the text as well, for whoever cannot tell the colours apart.
#pragma once

#include <QColor>

class QLabel;
class QString;

// The contrast ratio of two colours, from 1 to 21 (WCAG 2).
double ContrastRatio(const QColor &a, const QColor &b);

// The text colour that reads on `background`: white or black, whichever contrasts more.
QColor ContrastingText(const QColor &background);

// Fills the label's background with `background` and writes its text in the contrasting colour.
void PaintStatus(QLabel *label, const QColor &background);

// Names a status label for a screen reader: `name` and, as its description, the state it shows
// in words (`state`; its text when none is given).
void SayStatus(QLabel *label, const QString &name, const QString &state);
