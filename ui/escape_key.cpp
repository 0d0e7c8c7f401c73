#include "ui/escape_key.h"

#include <QAbstractButton>
#include <QKeyEvent>

bool EscapePressesCancel(QKeyEvent *event, QAbstractButton *cancel) {
  if (!event->matches(QKeySequence::Cancel)) return false;
  event->accept();
  cancel->click();  // nothing while it is disabled
  return true;
}
