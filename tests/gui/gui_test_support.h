#pragma once

#include <wx/checkbox.h>
#include <wx/checklst.h>
#include <wx/choice.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/slider.h>
#include <wx/spinctrl.h>
#include <wx/window.h>

#include <chrono>
#include <functional>
#include <string>

namespace guitest {

// Runs the toolkit's event loop for a while.
void Pump(std::chrono::milliseconds duration);
// Runs the event loop until the condition holds; false after the timeout.
bool PumpUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
// Destroys a top-level window now, not at the next idle time, so it never
// outlives the objects of the test that made it.
void DestroyNow(wxWindow* window);
// What the screen shows of a window (a frame whole, any other window by its
// client area), read back from the X server.
wxImage Grab(wxWindow* window);
// Saves a window's picture as <KORVAX_SCREENSHOT_DIR>/<name> when that
// variable is set; returns the path written, or empty.
std::string SaveScreenshot(wxWindow* window, const std::string& name);

// A frame destroyed when the test ends, even after a failed assertion; widgets
// declared after it go first.
struct Frame {
    wxFrame* frame;
    explicit Frame(const wxString& title, wxSize size = wxSize(900, 600))
        : frame(new wxFrame(nullptr, wxID_ANY, title, wxPoint(40, 40), size)) {}
    ~Frame() { DestroyNow(frame); }
    void Show() {
        frame->Show();
        Pump(std::chrono::milliseconds(200));
    }
};

// A control changed as the user changes it: its value, then the event it sends
// (a spin control's event carries the value the control kept).
template <typename Event> void Send(wxWindow* window, Event&& event, int value) {
    event.SetEventObject(window);
    event.SetInt(value);
    window->GetEventHandler()->ProcessEvent(event);
}
inline void Choose(wxChoice* choice, int entry) {
    choice->SetSelection(entry);
    Send(choice, wxCommandEvent(wxEVT_CHOICE, choice->GetId()), entry);
}
inline void Spin(wxSpinCtrl* spin, int value) {
    spin->SetValue(value);
    Send(spin, wxSpinEvent(wxEVT_SPINCTRL, spin->GetId()), spin->GetValue());
}
inline void Tick(wxCheckBox* box, bool value) {
    box->SetValue(value);
    Send(box, wxCommandEvent(wxEVT_CHECKBOX, box->GetId()), value ? 1 : 0);
}
inline void Tick(wxCheckListBox* list, int index, bool value) {
    list->Check(static_cast<unsigned>(index), value);
    Send(list, wxCommandEvent(wxEVT_CHECKLISTBOX, list->GetId()), index);
}
inline void Slide(wxSlider* slider, int position) {
    slider->SetValue(position);
    Send(slider, wxCommandEvent(wxEVT_SLIDER, slider->GetId()), position);
}

} // namespace guitest
