#include "ui/window_fit.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QSet>
#include <QWidget>
#include <algorithm>

void FitToScreen(QWidget *window) {
  QScreen *screen = window->screen();
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  // The frame is only known once the window has been shown: before that, room is kept for a
  // title bar.
  QSize frame = window->frameGeometry().size() - window->geometry().size();
  if (frame.isEmpty()) frame = QSize(8, 40);
  const QSize room = area.size() - frame;
  QSize wanted = window->size();
  if (window->layout()) wanted = wanted.expandedTo(window->sizeHint());
  window->resize(wanted.boundedTo(room).expandedTo(window->minimumSize()));
  QRect placed = window->frameGeometry();
  if (placed.width() > area.width() || placed.height() > area.height() || !area.contains(placed)) {
    placed.moveLeft(std::clamp(placed.left(), area.left(),
                               std::max(area.left(), area.right() - placed.width() + 1)));
    placed.moveTop(std::clamp(placed.top(), area.top(),
                              std::max(area.top(), area.bottom() - placed.height() + 1)));
    window->move(placed.topLeft());
  }
}

namespace {

// The index of the access key's "&" in `caption`, or -1.
qsizetype AccessKeyAt(const QString &caption) {
  for (qsizetype i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] != '&') return i;
    ++i;
  }
  return -1;
}

// The caption with "&" before the letter chosen for it; `used` holds the letters taken.
QString WithAccessKey(const QString &caption, QSet<QChar> &used) {
  qsizetype chosen = -1;
  // Word starts first, then any letter or digit; a letter already taken only when all are.
  for (int pass = 0; pass < 3 && chosen < 0; ++pass) {
    for (qsizetype i = 0; i < caption.size() && chosen < 0; ++i) {
      const QChar c = caption[i];
      if (!c.isLetterOrNumber() || c.unicode() >= 0x80) continue;
      const bool wordStart = i == 0 || !caption[i - 1].isLetterOrNumber();
      if (pass == 0 && !wordStart) continue;
      if (pass < 2 && used.contains(c.toLower())) continue;
      chosen = i;
    }
  }
  QString escaped = caption;
  if (chosen < 0) return escaped;
  used.insert(caption[chosen].toLower());
  escaped.insert(chosen, '&');
  return escaped;
}

// A drop-down list as a screen reader meets it: its own name where it was given one, else its
// label's (Qt names a list by its value on Linux), and its chosen entry as its value.
class NamedList : public QAccessibleWidget {
 public:
  explicit NamedList(QComboBox *list) : QAccessibleWidget(list, QAccessible::ComboBox) {}
  QString text(QAccessible::Text t) const override {
    auto *list = static_cast<QComboBox *>(widget());
    if (t == QAccessible::Value) return list->currentText();
    if (t == QAccessible::Name && !list->accessibleName().isEmpty()) return list->accessibleName();
    return QAccessibleWidget::text(t);
  }
};

QAccessibleInterface *NamedLists(const QString &key, QObject *object) {
  if (key != QLatin1String("QComboBox")) return nullptr;
  // Every list: an interface is made once, at the list's first event, maybe before its name.
  auto *list = qobject_cast<QComboBox *>(object);
  return list ? new NamedList(list) : nullptr;
}

}  // namespace

void GiveAccessKeys(QWidget *window) {
  static const bool named = [] {
    QAccessible::installFactory(NamedLists);
    return true;
  }();
  (void)named;
  QSet<QChar> used;
  QList<QAbstractButton *> buttons;
  QList<QLabel *> labels;
  for (QAbstractButton *button : window->findChildren<QAbstractButton *>()) {
    if (button->window() != window) continue;
    const qsizetype at = AccessKeyAt(button->text());
    if (at >= 0)
      used.insert(button->text()[at + 1].toLower());
    else if (!button->text().trimmed().isEmpty())
      buttons.append(button);
  }
  for (QLabel *label : window->findChildren<QLabel *>()) {
    if (label->window() != window || !label->buddy()) continue;
    const qsizetype at = AccessKeyAt(label->text());
    if (at >= 0)
      used.insert(label->text()[at + 1].toLower());
    else
      labels.append(label);
  }
  // Push buttons first: they act at once, so they get the letters of their own words.
  std::stable_sort(buttons.begin(), buttons.end(), [](QAbstractButton *a, QAbstractButton *b) {
    return a->inherits("QPushButton") && !b->inherits("QPushButton");
  });
  for (QAbstractButton *button : buttons) {
    QString caption = button->text();
    caption.replace('&', "&&");
    button->setText(WithAccessKey(caption, used));
  }
  for (QLabel *label : labels) {
    QString caption = label->text();
    caption.replace('&', "&&");
    label->setText(WithAccessKey(caption, used));
  }
}

QString ShownText(const QString &caption) {
  QString shown;
  for (qsizetype i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) ++i;
    shown.append(caption[i]);
  }
  return shown;
}

void KeepNarrow(QLabel *label) {
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  label->setMinimumWidth(0);
  QSizePolicy policy = label->sizePolicy();
  policy.setHorizontalPolicy(QSizePolicy::Ignored);
  label->setSizePolicy(policy);
}

void SetNarrowText(QLabel *label, const QString &text) {
  label->setText(text);
  label->setToolTip(text);
}

void RestoreFocus(QWidget *window) {
  if (!window) return;
  window = window->window();
  if (!window->isVisible()) return;
  window->activateWindow();
  QWidget *focus = window->focusWidget();
  if (focus && focus->isEnabled() && focus->isVisible())
    focus->setFocus(Qt::OtherFocusReason);
  else
    window->setFocus(Qt::OtherFocusReason);  // the window gives it to its first control
}

void FocusReturn::Back() {
  if (!control_ || !control_->isEnabled() || !control_->isVisible()) return;
  control_->setFocus(Qt::OtherFocusReason);
  control_ = nullptr;
}
