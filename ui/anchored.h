// Anchored placement: a window laid out at its design size keeps its controls at their design
// positions when it grows, except those anchored to its right or bottom edge, which move with that
// edge, and those that stretch down, which grow with the window's height.
#pragma once

#include <QRect>
#include <QSize>
#include <vector>

class QWidget;

class AnchoredPlacement {
 public:
  explicit AnchoredPlacement(QSize design) : design_(design) {}

  // Names the widget, puts it at its design rectangle and keeps its anchors.
  void Place(QWidget *widget, const char *name, QRect design, bool right, bool bottom,
             bool stretchDown = false);

  // Places every widget for the window's new size.
  void Apply(QSize size) const;

 private:
  struct Anchor {
    QWidget *widget;
    QRect design;
    bool right, bottom, stretchDown;
  };
  QSize design_;
  std::vector<Anchor> anchors_;
};
