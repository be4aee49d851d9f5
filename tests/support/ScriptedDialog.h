#pragma once

#include <deque>
#include <optional>
#include <string>

#include "lists/ListCommands.h"

// A file dialog that gives the answers it was handed, one per use: a name, or nullopt for Cancel.
class ScriptedDialog : public ListDialog {
  public:
    std::deque<std::optional<std::string>> answers;
    int shown = 0;

    bool execute() override {
        ++shown;
        if (answers.empty()) return false;
        const auto answer = answers.front();
        answers.pop_front();
        if (answer) name_ = *answer;
        return answer.has_value();
    }
    std::string fileName() const override { return name_; }

  private:
    std::string name_;
};
