#include "ui/buttons.h"

#include <QPushButton>

QPushButton *MakeButton(QWidget *parent, const char *name, const char *caption) {
  auto *button = new QPushButton(caption, parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}
