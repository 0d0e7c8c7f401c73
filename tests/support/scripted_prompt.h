// The UserPrompt of every test: records every box in the order it opened and answers questions
// from a script. A test that needs more (a log shared with other calls, the state at each box)
// hooks onBox, which sees each box as it opens, or derives from it to play a second part.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "session/user_prompt.h"

class ScriptedPrompt : public UserPrompt {
 public:
  struct Box {
    std::string kind;  // "inform" or "ask"
    std::string text;
    std::string caption;
  };
  std::vector<Box> shown;
  std::deque<bool> answers;                // answers to questions, in order
  bool answerWhenOut = true;               // the answer once `answers` has run out: Yes unless told
  std::function<void(const Box &)> onBox;  // called with each box after it is recorded

  void Inform(const std::string &text, const std::string &caption = {}) override {
    Record({"inform", text, caption});
  }
  bool Ask(const std::string &question, const std::string &caption = {}) override {
    Record({"ask", question, caption});
    if (answers.empty()) return answerWhenOut;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }

  // The texts of the information boxes shown, in order.
  std::vector<std::string> Informed() const {
    std::vector<std::string> out;
    for (const Box &box : shown)
      if (box.kind == "inform") out.push_back(box.text);
    return out;
  }

 private:
  void Record(Box box) {
    shown.push_back(std::move(box));
    if (onBox) onBox(shown.back());
  }
};
