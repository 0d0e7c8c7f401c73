// Message boxes of the program: the UserPrompt of the windows, and the general error handler
// that every slot and timer handler hands its exceptions to.
#pragma once

#include <QMessageBox>
#include <QString>
#include <exception>

#include "session/user_prompt.h"

class QWidget;

// Shows QMessageBox boxes over `parent`; a question has Yes and No, No the default.
class MessageBoxPrompt : public UserPrompt {
 public:
  explicit MessageBoxPrompt(QWidget *parent) : parent_(parent) {}
  void Inform(const std::string &text, const std::string &caption = {}) override;
  void Warn(const std::string &text, const std::string &caption = {}) override;
  bool Ask(const std::string &question, const std::string &caption = {}) override;

  // The text of the last box shown since ForgetLast, for the job's record.
  const std::string &Last() const { return last_; }
  void ForgetLast() { last_.clear(); }

 private:
  void Show(QMessageBox::Icon icon, const std::string &text, const std::string &caption);

  QWidget *parent_;
  std::string last_;
};

// The general error handler: shows the error's text in a warning box and the program goes on.
// One box at a time: errors that arrive while a box is open are shown after it, in order.
void ShowError(const QString &text);
void ShowError(const std::exception &error);
