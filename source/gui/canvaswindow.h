#pragma once

#include "gui/canvas.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"

#include <wx/window.h>

#include <functional>
#include <memory>

// A child window that draws through a Canvas: it picks its backend from the
// settings, makes a canvas of its current size on every paint and hands it to
// the owner's redraw.
//
// Backend choice, with P the window's settings prefix (for example "Vergl"):
// "P/Draw/Direct2D" (default: "Ui/Draw/Direct2D", on) would pick Direct2D,
// which this platform does not have, so the choice goes on; "P/Draw/OpenGL"
// (default: "Ui/Draw/OpenGL", off) picks OpenGL; otherwise, or when OpenGL
// cannot be set up, the toolkit's device context. A toolkit canvas draws
// through a Cairo graphics context while "Ui/Draw/Cairo" (on) is set; without
// it "Ui/Draw/Wx/FakeAA" and "Ui/Draw/Wx/FakeAlpha" (both off) decide how the
// plain device context shows alpha and smooth lines.
//
// Mouse, key and focus events of the OpenGL surface are passed on to this
// window, so owners bind their handlers here whatever the backend.
//
// Threads: GUI thread only.
namespace brl::gui {

class CanvasWindowImpl;

class CanvasWindow : public wxWindow {
public:
    enum class Backend { Toolkit, OpenGL, Direct2D };

    CanvasWindow(wxWindow* parent, Config::Frontend& config, const String& prefix, wxWindowID id = wxID_ANY,
                 const wxPoint& position = wxDefaultPosition, const wxSize& size = wxDefaultSize);
    ~CanvasWindow() override;

    Backend ActiveBackend() const;
    Config::Frontend& Settings() const { return config; }
    const String& Prefix() const { return prefix; }
    // For owners that do not derive from this class.
    void SetRedraw(std::function<void(Canvas&)> redraw) { redrawFunction = std::move(redraw); }
    // Paints made so far (each one called Redraw once).
    uint64_t PaintCount() const { return paints; }

protected:
    // Draws the frame; the default calls the function given to SetRedraw.
    virtual void Redraw(Canvas& canvas);

private:
    friend class CanvasWindowImplWx;
    friend class CanvasWindowImplOpenGL;
    void RunRedraw(Canvas& canvas);

    Config::Frontend& config;
    String prefix;
    std::function<void(Canvas&)> redrawFunction;
    std::unique_ptr<CanvasWindowImpl> impl;
    uint64_t paints = 0;
    Logging::Logger log;
};

} // namespace brl::gui
