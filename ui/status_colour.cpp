#include "ui/status_colour.h"

#include <QLabel>
#include <QPalette>
#include <QString>
#include <algorithm>
#include <cmath>

namespace {

// The relative luminance of an sRGB colour.
double Luminance(const QColor &colour) {
  auto linear = [](double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
         0.0722 * linear(colour.blueF());
}

}  // namespace

double ContrastRatio(const QColor &a, const QColor &b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ContrastingText(const QColor &background) {
  const QColor white(Qt::white), black(Qt::black);
  return ContrastRatio(background, white) > ContrastRatio(background, black) ? white : black;
}

void PaintStatus(QLabel *label, const QColor &background) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, background);
  palette.setColor(QPalette::WindowText, ContrastingText(background));
  label->setPalette(palette);
  label->setAutoFillBackground(true);
}

void SayStatus(QLabel *label, const QString &name, const QString &state) {
  label->setAccessibleName(name);
  label->setAccessibleDescription(state.isEmpty() ? label->text() : state);
}
