#pragma once

// Input events for the main window tests, besides the shared helpers.
#include "graph_test_support.h"
#include "gui/gui_test_support.h"
#include "korvax/korvaxcatalogue.h"
#include "synthesizer/guiwxwgraph.h"

#include <gtest/gtest.h>

#include <wx/event.h>
#include <wx/window.h>

namespace mainwintest {

// X key codes (wx reports them in GetRawKeyFlags()).
constexpr uint32_t kRawEscape = 9;
constexpr uint32_t kRawQ = 24;
constexpr uint32_t kRawW = 25;
constexpr uint32_t kRawZ = 52;
constexpr uint32_t kRawF5 = 71;

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
