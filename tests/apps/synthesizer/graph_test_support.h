#pragma once

// The main window's tests, with and without a window: settings in a temporary
// INI file, a state manager without devices and prompts answered from a script.
#include "support/deviceless_manager.h"
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

// Without devices, but saying it has some unless told: closing then asks to save.
class TestManager : public brl::testing::DevicelessManager {
public:
    using DevicelessManager::DevicelessManager;
    bool IsDeviceless() const override { return deviceless; }
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
    bool AskText(const String&, const String&, String& result) override { return Take(texts, result); }
    void ShowError(const String& text) override { errors.push_back(text); }
    std::deque<Answer> answers;
    std::deque<String> files;
    std::deque<String> texts;
    std::vector<String> questions;
    std::vector<FileKind> kinds;
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
