#include "ui/icon_cache.h"

#include <QGuiApplication>
#include <QWidget>

QIcon StandardIconCache::standardIcon(StandardPixmap icon, const QStyleOption *option,
                                      const QWidget *widget) const {
  // An option may ask for anything; without one, the icon depends on the direction of writing
  // alone (arrows point the other way from right to left).
  if (option != nullptr) return QProxyStyle::standardIcon(icon, option, widget);
  const Qt::LayoutDirection direction =
      widget != nullptr ? widget->layoutDirection() : QGuiApplication::layoutDirection();
  const int key = static_cast<int>(icon) * 2 + (direction == Qt::RightToLeft ? 1 : 0);
  auto found = icons_.constFind(key);
  if (found == icons_.constEnd())
    found = icons_.insert(key, QProxyStyle::standardIcon(icon, option, widget));
  return *found;
}
