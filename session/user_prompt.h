// How the logic behind a window asks the user something or tells the user something. Windows
// implement it with message boxes; tests implement it with scripted answers.
#pragma once

#include <string>

class UserPrompt {
 public:
  virtual ~UserPrompt() = default;
  // A plain information box with an OK button; returns when the user has closed it.
  virtual void Inform(const std::string &text, const std::string &caption = {}) = 0;
  // A failure told the user: an information box that shows it is one (a warning), where the
  // prompt can tell them apart.
  virtual void Warn(const std::string &text, const std::string &caption = {}) {
    Inform(text, caption);
  }
  // A question with Yes and No; true for Yes.
  virtual bool Ask(const std::string &question, const std::string &caption = {}) = 0;
};
