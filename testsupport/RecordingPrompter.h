#pragma once
// A prompter that records every question and answers without a window: boxes
// with a choice get `answer`, OK-only boxes get OK. It is the current prompter
// while it lives.
#include <string>
#include <vector>

#include "Seams.h"

namespace kvr::test {

class RecordingPrompter : public Prompter {
public:
    struct Question {
        std::string text, title;
        PromptButtons buttons;
        PromptIcon icon;
    };
    explicit RecordingPrompter(PromptAnswer answerToChoices = PromptAnswer::OK) : answer(answerToChoices) {
        SetPrompter(this);
    }
    ~RecordingPrompter() override { SetPrompter(nullptr); }
    RecordingPrompter(const RecordingPrompter&) = delete;
    RecordingPrompter& operator=(const RecordingPrompter&) = delete;

    PromptAnswer Ask(const std::string& text, const std::string& title, PromptButtons buttons,
                     PromptIcon icon) override {
        questions.push_back({text, title, buttons, icon});
        return buttons == PromptButtons::OK ? PromptAnswer::OK : answer;
    }

    PromptAnswer answer;
    std::vector<Question> questions;
};

}  // namespace kvr::test
