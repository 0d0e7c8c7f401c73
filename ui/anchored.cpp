#include "ui/anchored.h"

#include <QWidget>
#include <algorithm>

void AnchoredPlacement::Place(QWidget *widget, const char *name, QRect design, bool right,
                              bool bottom, bool stretchDown) {
  widget->setObjectName(name);
  widget->setGeometry(design);
  anchors_.push_back({widget, design, right, bottom, stretchDown});
}

void AnchoredPlacement::Apply(QSize size) const {
  const int dx = size.width() - design_.width();
  const int dy = size.height() - design_.height();
  for (const Anchor &anchor : anchors_) {
    QRect r = anchor.design;
    if (anchor.right) r.translate(dx, 0);
    if (anchor.bottom) r.translate(0, dy);
    if (anchor.stretchDown) r.setHeight(std::max(0, r.height() + dy));
    anchor.widget->setGeometry(r);
  }
}
