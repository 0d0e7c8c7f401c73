// The program's style with a memory: the style of the platform, which finds each standard icon
// (a file dialog's buttons, a message box's symbol) anew at every request, searching the icon
// theme and reading its pictures; this one keeps what it found, so that only the first of the
// windows that show an icon pays for it.
#pragma once

#include <QHash>
#include <QIcon>
#include <QProxyStyle>

class StandardIconCache : public QProxyStyle {
 public:
  QIcon standardIcon(StandardPixmap icon, const QStyleOption *option = nullptr,
                     const QWidget *widget = nullptr) const override;

 private:
  mutable QHash<int, QIcon> icons_;
};
