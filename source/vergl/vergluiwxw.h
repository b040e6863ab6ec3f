#pragma once

#include "gui/canvaswindow.h"
#include "vergl/verglui.h"

// The graph view in a toolkit window: paints through the canvas window and
// turns mouse and key events into the view's input (CUi). The settings prefix
// of its canvas is "Vergl" ("Vergl/Draw/OpenGL", ...).
//
// Threads: GUI thread only.
namespace brl::vergl {

class CUiWxw : public gui::CanvasWindow, public CUi {
public:
    CUiWxw(wxWindow* parent, Config::Frontend& config, wxWindowID id = wxID_ANY,
           const wxPoint& position = wxDefaultPosition, const wxSize& size = wxDefaultSize);
    ~CUiWxw() override;

    void RequestRedraw() override;
    gui::Size ViewSize() const override;

protected:
    void Redraw(gui::Canvas& canvas) override;
    void CursorChanged(UiCursor shape) override;

private:
    void OnMouse(wxMouseEvent& event);
    void OnKeyUp(wxKeyEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnCaptureLost(wxMouseCaptureLostEvent& event);
    void Capture(bool on);
};

} // namespace brl::vergl
