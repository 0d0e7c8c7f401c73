#include "ui/message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringList>

#include "ui/window_fit.h"

namespace {
QString title(const std::string &caption) {
  return caption.empty() ? QApplication::applicationName() : QString::fromStdString(caption);
}
}  // namespace

void MessageBoxPrompt::Show(QMessageBox::Icon icon, const std::string &text,
                            const std::string &caption) {
  last_ = text;
  QMessageBox box(icon, title(caption), QString::fromStdString(text), QMessageBox::Ok, parent_);
  box.exec();
  RestoreFocus(parent_);
}

void MessageBoxPrompt::Inform(const std::string &text, const std::string &caption) {
  Show(QMessageBox::Information, text, caption);
}

void MessageBoxPrompt::Warn(const std::string &text, const std::string &caption) {
  Show(QMessageBox::Warning, text, caption);
}

bool MessageBoxPrompt::Ask(const std::string &question, const std::string &caption) {
  QMessageBox box(QMessageBox::Question, title(caption), QString::fromStdString(question),
                  QMessageBox::Yes | QMessageBox::No, parent_);
  box.setDefaultButton(QMessageBox::No);  // Enter changes nothing
  const bool yes = box.exec() == QMessageBox::Yes;
  RestoreFocus(parent_);
  return yes;
}

void ShowError(const QString &text) {
  static QStringList pending;
  static bool showing = false;
  pending.append(text);
  if (showing) return;
  showing = true;
  while (!pending.isEmpty()) {
    const QString next = pending.takeFirst();
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), next, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
  }
  showing = false;
}

void ShowError(const std::exception &error) {
  ShowError(QString::fromLocal8Bit(error.what()));
}
