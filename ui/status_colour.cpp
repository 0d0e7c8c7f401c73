#include "ui/status_colour.h"

#include <QLabel>
#include <QPalette>

QColor ContrastingText(const QColor &background) {
  // Relative luminance of the sRGB colour (its channels taken as linear: close enough to tell a
  // dark colour from a light one).
  const double luminance =
      0.2126 * background.redF() + 0.7152 * background.greenF() + 0.0722 * background.blueF();
  return luminance < 0.5 ? QColor(Qt::white) : QColor(Qt::black);
}

void PaintStatus(QLabel *label, const QColor &background) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, background);
  palette.setColor(QPalette::WindowText, ContrastingText(background));
  label->setPalette(palette);
  label->setAutoFillBackground(true);
}
