#include "ui/message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringList>

namespace {
QString title(const std::string &caption) {
  return caption.empty() ? QApplication::applicationName() : QString::fromStdString(caption);
}
}  // namespace

void MessageBoxPrompt::Inform(const std::string &text, const std::string &caption) {
  last_ = text;
  QMessageBox box(QMessageBox::Information, title(caption), QString::fromStdString(text),
                  QMessageBox::Ok, parent_);
  box.exec();
}

bool MessageBoxPrompt::Ask(const std::string &question, const std::string &caption) {
  QMessageBox box(QMessageBox::Question, title(caption), QString::fromStdString(question),
                  QMessageBox::Yes | QMessageBox::No, parent_);
  box.setDefaultButton(QMessageBox::No);  // Enter changes nothing
  return box.exec() == QMessageBox::Yes;
}

void ShowError(const QString &text) {
  static QStringList pending;
  static bool showing = false;
  pending.append(text);
  if (showing) return;
  showing = true;
  while (!pending.isEmpty()) {
    const QString next = pending.takeFirst();
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), next, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
  }
  showing = false;
}

void ShowError(const std::exception &error) {
  ShowError(QString::fromLocal8Bit(error.what()));
}
