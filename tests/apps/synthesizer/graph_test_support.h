#pragma once

// Shared by the main window's tests, with and without a window: settings in a
// temporary INI file, a state manager without devices and prompts answered
// from a script.
#include "korvax/korvaxmanager.h"
#include "support/ini_settings.h"
#include "synthesizer/graphlogic.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace mainwintest {

using brl::String;
using brl::Synth::Gui::Answer;
using brl::Synth::Gui::FileKind;

using Settings = brl::testing::IniSettings;

class TestManager : public brl::Korvax::Manager {
public:
    explicit TestManager(brl::Logging::Channel* log = nullptr) : Manager(log) {}
    int64_t GetPosition() const override { return position; }
    int64_t GetSampleRate() const override { return rate; }
    int64_t GetInputLatency() const override { return 480; }
    int64_t GetOutputLatency() const override { return 960; }
    bool IsDeviceless() const override { return deviceless; }
    int64_t position = 0;
    int64_t rate = 96000;
    bool deviceless = false;
};

inline brl::ApplicationInfo Identity() {
    brl::ApplicationInfo info;
    info.vendorLongName = L"Brelm";
    info.applicationShortName = L"korvax";
    info.applicationLongName = L"korvax";
    return info;
}

class ScriptedPrompts : public brl::Synth::Gui::Prompts {
public:
    Answer Ask(const String& question, bool) override {
        questions.push_back(question);
        Answer answer = Answer::Cancel;
        EXPECT_TRUE(Take(answers, answer)) << "unexpected question";
        return answer;
    }
    bool ChooseFile(FileKind kind, const String&, String& path) override {
        kinds.push_back(kind);
        return Take(files, path);
    }
    bool AskText(const String& title, const String& value, String& result) override {
        textTitles.push_back(title);
        textValues.push_back(value);
        return Take(texts, result);
    }
    void ShowError(const String& text) override { errors.push_back(text); }
    std::deque<Answer> answers;
    std::deque<String> files;
    std::deque<String> texts;
    std::vector<String> questions;
    std::vector<FileKind> kinds;
    std::vector<String> textTitles;
    std::vector<String> textValues;
    std::vector<String> errors;

private:
    // The next scripted reply, if there is one.
    template <typename T> static bool Take(std::deque<T>& replies, T& reply) {
        if (replies.empty()) {
            return false;
        }
        reply = replies.front();
        replies.pop_front();
        return true;
    }
};

} // namespace mainwintest
