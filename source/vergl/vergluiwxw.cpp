#include "vergl/vergluiwxw.h"

#include <wx/cursor.h>

namespace brl::vergl {

namespace {

Modifiers ModifiersOf(const wxMouseEvent& event) {
    Modifiers modifiers;
    modifiers.ctrl = event.ControlDown();
    modifiers.shift = event.ShiftDown();
    return modifiers;
}

} // namespace

CUiWxw::CUiWxw(wxWindow* parent, Config::Frontend& config, wxWindowID id, const wxPoint& position,
               const wxSize& size)
    : CanvasWindow(parent, config, L"Vergl", id, position, size) {
    for (const wxEventTypeTag<wxMouseEvent>& type :
         {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_LEFT_DCLICK, wxEVT_MIDDLE_DOWN, wxEVT_MIDDLE_UP,
          wxEVT_RIGHT_UP, wxEVT_MOTION, wxEVT_MOUSEWHEEL}) {
        Bind(type, &CUiWxw::OnMouse, this);
    }
    Bind(wxEVT_KEY_UP, &CUiWxw::OnKeyUp, this);
    Bind(wxEVT_SIZE, &CUiWxw::OnSize, this);
    Bind(wxEVT_MOUSE_CAPTURE_LOST, &CUiWxw::OnCaptureLost, this);
}

CUiWxw::~CUiWxw() {
    // The owner may be going away already (a frame destroys its children
    // last): it hears nothing more.
    SetHandler(nullptr);
    SetGraph(nullptr);
    if (HasCapture()) {
        ReleaseMouse();
    }
}

void CUiWxw::RequestRedraw() {
    Refresh(false);
}

gui::Size CUiWxw::ViewSize() const {
    const wxSize size = GetClientSize();
    return {static_cast<float>(size.GetWidth()), static_cast<float>(size.GetHeight())};
}

void CUiWxw::Redraw(gui::Canvas& canvas) {
    Paint(canvas);
}

void CUiWxw::CursorChanged(UiCursor shape) {
    switch (shape) {
    case UiCursor::Normal:
        SetCursor(wxNullCursor);
        break;
    case UiCursor::Link:
        SetCursor(wxCursor(wxCURSOR_CROSS));
        break;
    case UiCursor::Move:
        SetCursor(wxCursor(wxCURSOR_SIZING));
        break;
    case UiCursor::Pan:
        SetCursor(wxCursor(wxCURSOR_HAND));
        break;
    }
}

void CUiWxw::Capture(bool on) {
    if (on && !HasCapture()) {
        CaptureMouse();
    } else if (!on && HasCapture()) {
        ReleaseMouse();
    }
}

void CUiWxw::OnMouse(wxMouseEvent& event) {
    const float x = static_cast<float>(event.GetX());
    const float y = static_cast<float>(event.GetY());
    const Modifiers modifiers = ModifiersOf(event);
    const wxEventType type = event.GetEventType();
    if (type == wxEVT_LEFT_DOWN || type == wxEVT_MIDDLE_DOWN) {
        SetFocus();
        MouseDown(type == wxEVT_LEFT_DOWN ? MouseButton::Left : MouseButton::Middle, x, y, modifiers);
        Capture(CurrentGesture() != Gesture::None);
    } else if (type == wxEVT_LEFT_UP || type == wxEVT_MIDDLE_UP || type == wxEVT_RIGHT_UP) {
        const MouseButton button = type == wxEVT_LEFT_UP     ? MouseButton::Left
                                   : type == wxEVT_MIDDLE_UP ? MouseButton::Middle
                                                             : MouseButton::Right;
        MouseUp(button, x, y, modifiers);
        Capture(CurrentGesture() != Gesture::None);
    } else if (type == wxEVT_LEFT_DCLICK) {
        MouseDoubleClick(x, y, modifiers);
    } else if (type == wxEVT_MOTION) {
        MouseMotion(x, y, modifiers);
    } else if (type == wxEVT_MOUSEWHEEL) {
        MouseWheel(event.GetWheelRotation(), x, y);
    }
    event.Skip();
}

void CUiWxw::OnKeyUp(wxKeyEvent& event) {
    switch (event.GetKeyCode()) {
    case WXK_SPACE:
        KeyUp(UiKey::Space);
        break;
    case WXK_DELETE:
        KeyUp(UiKey::Delete);
        break;
    default:
        event.Skip();
        break;
    }
}

void CUiWxw::OnSize(wxSizeEvent& event) {
    Resized();
    event.Skip();
}

void CUiWxw::OnCaptureLost(wxMouseCaptureLostEvent&) {
    CancelGesture();
}

} // namespace brl::vergl
