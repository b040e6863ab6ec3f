#include "gui/canvaswindow.h"

#include "gui/guicanvasbackends.h"
#include "libbrelm/debug.h"

#include <wx/dcclient.h>
#include <wx/glcanvas.h>

#include <GL/gl.h>

namespace brl::gui {

class CanvasWindowImpl {
public:
    virtual ~CanvasWindowImpl() = default;
    virtual CanvasWindow::Backend Kind() const = 0;
};

// The device context of a paint event, wrapped in a WxCanvas.
class CanvasWindowImplWx : public CanvasWindowImpl {
public:
    explicit CanvasWindowImplWx(CanvasWindow& owner)
        : window(owner), cairo(owner.Settings(), "Ui/Draw/Cairo", true),
          fakeAntialias(owner.Settings(), "Ui/Draw/Wx/FakeAA", false),
          fakeAlpha(owner.Settings(), "Ui/Draw/Wx/FakeAlpha", false) {
        window.SetBackgroundStyle(wxBG_STYLE_PAINT);
        window.Bind(wxEVT_PAINT, &CanvasWindowImplWx::OnPaint, this);
    }
    ~CanvasWindowImplWx() override { window.Unbind(wxEVT_PAINT, &CanvasWindowImplWx::OnPaint, this); }
    CanvasWindow::Backend Kind() const override { return CanvasWindow::Backend::Toolkit; }

private:
    void OnPaint(wxPaintEvent&) {
        wxPaintDC dc(&window);
        WxCanvas::Options options;
        options.graphicsContext = cairo.Get();
        options.fakeAntialias = fakeAntialias.Get();
        options.fakeAlpha = fakeAlpha.Get();
        WxCanvas canvas(dc, options);
        window.RunRedraw(canvas);
    }

    CanvasWindow& window;
    Config::Setting<bool> cairo;
    Config::Setting<bool> fakeAntialias;
    Config::Setting<bool> fakeAlpha;
};

// The OpenGL surface: a child covering the window that hands its input
// events on to the window.
class PropagatingGlCanvas2 : public wxGLCanvas {
public:
    PropagatingGlCanvas2(CanvasWindow* parent, const wxGLAttributes& attributes)
        : wxGLCanvas(parent, attributes, wxID_ANY, wxPoint(0, 0), parent->GetClientSize()), target(parent) {
        SetBackgroundStyle(wxBG_STYLE_PAINT);
        for (const wxEventTypeTag<wxMouseEvent>& type :
             {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_LEFT_DCLICK, wxEVT_MIDDLE_DOWN, wxEVT_MIDDLE_UP,
              wxEVT_MIDDLE_DCLICK, wxEVT_RIGHT_DOWN, wxEVT_RIGHT_UP, wxEVT_RIGHT_DCLICK, wxEVT_MOTION,
              wxEVT_MOUSEWHEEL, wxEVT_ENTER_WINDOW, wxEVT_LEAVE_WINDOW}) {
            Bind(type, &PropagatingGlCanvas2::ForwardMouse, this);
        }
        for (const wxEventTypeTag<wxKeyEvent>& type : {wxEVT_KEY_DOWN, wxEVT_KEY_UP, wxEVT_CHAR}) {
            Bind(type, &PropagatingGlCanvas2::ForwardKey, this);
        }
        Bind(wxEVT_MOUSE_CAPTURE_LOST, &PropagatingGlCanvas2::ForwardCaptureLost, this);
    }

private:
    void ForwardMouse(wxMouseEvent& event) {
        wxMouseEvent copy(event);
        Forward(copy);
    }
    void ForwardKey(wxKeyEvent& event) {
        wxKeyEvent copy(event);
        Forward(copy);
    }
    void ForwardCaptureLost(wxMouseCaptureLostEvent& event) {
        wxMouseCaptureLostEvent copy(event);
        Forward(copy);
    }
    void Forward(wxEvent& event) {
        event.SetEventObject(target);
        event.SetId(target->GetId());
        target->GetEventHandler()->ProcessEvent(event);
    }

    CanvasWindow* target;
};

class CanvasWindowImplOpenGL : public CanvasWindowImpl {
public:
    // Nothing when this display has no usable OpenGL.
    static std::unique_ptr<CanvasWindowImplOpenGL> Create(CanvasWindow& owner, Logging::Logger& log) {
        wxGLAttributes attributes;
        attributes.PlatformDefaults().RGBA().DoubleBuffer().EndList();
        if (!wxGLCanvas::IsDisplaySupported(attributes)) {
            BRL_LOG_WARNING(log, "this display offers no OpenGL; drawing through the toolkit");
            return nullptr;
        }
        std::unique_ptr<CanvasWindowImplOpenGL> impl(new CanvasWindowImplOpenGL(owner, attributes));
        if (!impl->context->IsOK()) {
            BRL_LOG_WARNING(log, "no OpenGL context could be made; drawing through the toolkit");
            return nullptr;
        }
        return impl;
    }

    ~CanvasWindowImplOpenGL() override {
        window.Unbind(wxEVT_SIZE, &CanvasWindowImplOpenGL::OnSize, this);
        surface->Unbind(wxEVT_PAINT, &CanvasWindowImplOpenGL::OnPaint, this);
        // The glyph textures belong to the context: delete them while it is current.
        if (context->IsOK()) {
            surface->SetCurrent(*context);
        }
        resources.reset();
        context.reset();
        surface->Destroy();
    }

    CanvasWindow::Backend Kind() const override { return CanvasWindow::Backend::OpenGL; }

private:
    CanvasWindowImplOpenGL(CanvasWindow& owner, const wxGLAttributes& attributes)
        : window(owner), surface(new PropagatingGlCanvas2(&owner, attributes)),
          context(std::make_unique<wxGLContext>(surface)), resources(std::make_unique<GlResources>()) {
        window.Bind(wxEVT_SIZE, &CanvasWindowImplOpenGL::OnSize, this);
        surface->Bind(wxEVT_PAINT, &CanvasWindowImplOpenGL::OnPaint, this);
    }

    void OnSize(wxSizeEvent& event) {
        surface->SetSize(window.GetClientSize());
        surface->Refresh(false);
        event.Skip();
    }

    void OnPaint(wxPaintEvent&) {
        wxPaintDC dc(surface);
        const wxSize size = surface->GetClientSize();
        if (size.GetWidth() <= 0 || size.GetHeight() <= 0 || !surface->SetCurrent(*context)) {
            return;
        }
        glcheck("Canvas OpenGL SetCurrent()");
        {
            GlCanvas canvas(*resources,
                            Size{static_cast<float>(size.GetWidth()), static_cast<float>(size.GetHeight())});
            window.RunRedraw(canvas);
        }
        glFlush();
        glcheck("glFlush()");
        surface->SwapBuffers();
        glcheck("Canvas OpenGL SwapBuffers()");
    }

    CanvasWindow& window;
    PropagatingGlCanvas2* surface;
    std::unique_ptr<wxGLContext> context;
    std::unique_ptr<GlResources> resources;
};

CanvasWindow::CanvasWindow(wxWindow* parent, Config::Frontend& settings, const String& settingsPrefix,
                           wxWindowID id, const wxPoint& position, const wxSize& size)
    : wxWindow(parent, id, position, size, wxWANTS_CHARS | wxFULL_REPAINT_ON_RESIZE), config(settings),
      prefix(settingsPrefix), log(&Debug::ProcessChannel(), L"gui") {
    const std::string base = ToUtf8(prefix);
    const bool direct2dDefault = Config::Setting<bool>(config, "Ui/Draw/Direct2D", true).Get();
    const bool openGlDefault = Config::Setting<bool>(config, "Ui/Draw/OpenGL", false).Get();
    const bool direct2d =
        Config::Setting<bool>(config, Config::Key((base + "/Draw/Direct2D").c_str()), direct2dDefault).Get();
    const bool openGl =
        Config::Setting<bool>(config, Config::Key((base + "/Draw/OpenGL").c_str()), openGlDefault).Get();
    if (direct2d) {
        BRL_LOG_VERBOSE(log, "Direct2D is not available on this platform");
    }
    if (openGl) {
        impl = CanvasWindowImplOpenGL::Create(*this, log);
    }
    if (impl == nullptr) {
        impl = std::make_unique<CanvasWindowImplWx>(*this);
    }
}

CanvasWindow::~CanvasWindow() {
    impl.reset();
}

CanvasWindow::Backend CanvasWindow::ActiveBackend() const {
    return impl->Kind();
}

void CanvasWindow::Redraw(Canvas& canvas) {
    if (redrawFunction) {
        redrawFunction(canvas);
    }
}

void CanvasWindow::RunRedraw(Canvas& canvas) {
    ++paints;
    Redraw(canvas);
}

} // namespace brl::gui
