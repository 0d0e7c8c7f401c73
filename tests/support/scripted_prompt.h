// A UserPrompt for tests: records every box and answers questions from a script.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "app/user_prompt.h"

class ScriptedPrompt : public UserPrompt {
 public:
  struct Box {
    std::string kind;  // "inform" or "ask"
    std::string text;
    std::string caption;
  };
  std::vector<Box> shown;
  std::deque<bool> answers;  // answers to questions, in order; Yes when the script runs out

  void Inform(const std::string &text, const std::string &caption = {}) override {
    shown.push_back({"inform", text, caption});
  }
  bool Ask(const std::string &question, const std::string &caption = {}) override {
    shown.push_back({"ask", question, caption});
    if (answers.empty()) return true;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
};
