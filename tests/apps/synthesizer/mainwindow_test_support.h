#pragma once

// Shared by the main window tests: settings in a temporary INI file, a state
// manager without devices, prompts answered from a script, and input events.
#include "gui/gui_test_support.h"
#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxmanager.h"
#include "libbrelm/configini.h"
#include "support/temp_dir.h"
#include "synthesizer/graphlogic.h"
#include "synthesizer/guiwxwgraph.h"

#include <gtest/gtest.h>

#include <wx/event.h>
#include <wx/window.h>

#include <deque>

namespace mainwintest {

using brl::String;
using brl::Synth::Gui::Answer;
using brl::Synth::Gui::FileKind;

// X key codes (wx reports them in GetRawKeyFlags()).
constexpr uint32_t kRawEscape = 9;
constexpr uint32_t kRawQ = 24;
constexpr uint32_t kRawW = 25;
constexpr uint32_t kRawZ = 52;
constexpr uint32_t kRawF5 = 71;

struct Settings {
    brl::testing::TempDir dir;
    brl::Config::IniProvider ini{dir.WideFile("config.ini"), true};
    brl::Config::Frontend config;
    Settings() {
        config.AddBase(&ini);
        config.AddWrite(&ini);
    }
};

class TestManager : public brl::Korvax::Manager {
public:
    explicit TestManager(brl::Logging::Channel* log = nullptr) : Manager(log) {}
    int64_t GetPosition() const override { return position; }
    int64_t GetSampleRate() const override { return 96000; }
    int64_t GetInputLatency() const override { return 480; }
    int64_t GetOutputLatency() const override { return 960; }
    bool IsDeviceless() const override { return deviceless; }
    int64_t position = 0;
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
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question";
            return Answer::Cancel;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    bool ChooseFile(FileKind kind, const String&, String& path) override {
        kinds.push_back(kind);
        if (files.empty()) {
            return false;
        }
        path = files.front();
        files.pop_front();
        return true;
    }
    bool AskText(const String& title, const String& value, String& result) override {
        textTitles.push_back(title);
        textValues.push_back(value);
        if (texts.empty()) {
            return false;
        }
        result = texts.front();
        texts.pop_front();
        return true;
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
};

// The module menu's command for a module id.
inline int ModuleCommand(int moduleId) {
    for (int i = 0; i < brl::Korvax::kModuleCount; ++i) {
        if (brl::Korvax::kModuleTable[i].id == moduleId) {
            return brl::Synth::Gui::kIdModuleFirst + i;
        }
    }
    ADD_FAILURE() << "no module " << moduleId;
    return 0;
}

// A mouse event at window pixels; returns whether a handler took it.
inline bool Click(wxWindow* window, wxEventType type, int x, int y) {
    wxMouseEvent event(type);
    event.SetPosition(wxPoint(x, y));
    event.SetEventObject(window);
    if (type == wxEVT_LEFT_DOWN || type == wxEVT_MOTION) {
        event.m_leftDown = true;
    }
    return window->GetEventHandler()->ProcessEvent(event);
}

// A key event with the X key code; returns whether a handler or filter took it.
inline bool Key(wxWindow* window, wxEventType type, uint32_t raw, int modifiers = wxMOD_NONE) {
    wxKeyEvent event(type);
    event.m_rawCode = raw;
    event.m_rawFlags = raw;
    event.m_keyCode = WXK_NONE;
    event.SetControlDown((modifiers & wxMOD_CONTROL) != 0);
    event.SetRawControlDown((modifiers & wxMOD_CONTROL) != 0);
    event.SetAltDown((modifiers & wxMOD_ALT) != 0);
    event.SetEventObject(window);
    return window->GetEventHandler()->ProcessEvent(event);
}

} // namespace mainwintest
