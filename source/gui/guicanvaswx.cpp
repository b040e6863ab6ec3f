// The toolkit backend of the canvas: a device context, through a Cairo
// graphics context when one is asked for.
#include "gui/guicanvasbackends.h"

#include "gui/guicanvascairo.h"

#include "libbrelm/debug.h"

#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/settings.h>

#include <algorithm>
#include <cmath>

namespace brl::gui {

namespace {

wxColour ToWxOpaque(Colour colour) {
    return wxColour(colour.R(), colour.G(), colour.B());
}

int Round(float v) {
    return static_cast<int>(std::lround(std::clamp(v, -1.0e9f, 1.0e9f)));
}

wxPenStyle ToWx(PenStyle style) {
    switch (style) {
    case PenStyle::Transparent:
        return wxPENSTYLE_TRANSPARENT;
    case PenStyle::Dotted:
        return wxPENSTYLE_DOT;
    case PenStyle::DotDash:
        return wxPENSTYLE_DOT_DASH;
    case PenStyle::ShortDash:
        return wxPENSTYLE_SHORT_DASH;
    case PenStyle::LongDash:
        return wxPENSTYLE_LONG_DASH;
    case PenStyle::Solid:
        break;
    }
    return wxPENSTYLE_SOLID;
}

wxBrushStyle ToWx(BrushStyle style) {
    switch (style) {
    case BrushStyle::Transparent:
        return wxBRUSHSTYLE_TRANSPARENT;
    case BrushStyle::CrossHatch:
        return wxBRUSHSTYLE_CROSS_HATCH;
    case BrushStyle::DiagonalCrossHatch:
        return wxBRUSHSTYLE_CROSSDIAG_HATCH;
    case BrushStyle::Solid:
        break;
    }
    return wxBRUSHSTYLE_SOLID;
}

} // namespace

wxFont MakeWxFont(const FontDescription& description) {
    const double points = std::clamp(description.size, 1.0f, 500.0f) * 72.0 / 96.0;
    wxFontInfo info(points);
    if (!description.face.empty()) {
        info.FaceName(wxString(description.face));
    }
    info.Weight(std::clamp(static_cast<int>(std::lround(description.weight * 400.0f)), 1, 1000));
    info.Italic(description.italic != 0.0f);
    return wxFont(info);
}

WxCanvas::WxCanvas(wxDC& target, const Options& canvasOptions)
    : Canvas(Size{static_cast<float>(target.GetSize().GetWidth()),
                  static_cast<float>(target.GetSize().GetHeight())}),
      dc(target), options(canvasOptions) {
    if (options.graphicsContext) {
        if (wxGraphicsRenderer* renderer = wxGraphicsRenderer::GetCairoRenderer()) {
            gc.reset(renderer->CreateContextFromUnknownDC(dc));
        }
        auto* context = gc != nullptr ? static_cast<cairo_t*>(gc->GetNativeContext()) : nullptr;
        if (context != nullptr) {
            static const String defaultFace =
                wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT).GetFaceName().ToStdWstring();
            painter = std::make_unique<CairoPainter>(context, defaultFace);
        } else {
            gc.reset();
            static Logging::Logger log(&Debug::ProcessChannel(), L"gui");
            BRL_LOG_WARNING(log, "no Cairo graphics context for this device context; drawing without it");
        }
    }
    if (painter == nullptr) {
        wxfont = MakeWxFont(font);
    }
}

WxCanvas::~WxCanvas() {
    painter.reset();
    if (gc == nullptr) {
        dc.SetDeviceOrigin(0, 0);
        dc.SetUserScale(1.0, 1.0);
    }
}

void WxCanvas::ApplyTransform() {
    if (painter != nullptr) {
        painter->SetTransform(originX, originY, scale);
    } else {
        dc.SetDeviceOrigin(Round(originX), Round(originY));
        dc.SetUserScale(scale, scale);
    }
}

void WxCanvas::SetOrigin(float x, float y) {
    originX = x;
    originY = y;
    ApplyTransform();
}

void WxCanvas::SetScale(float s) {
    scale = s;
    ApplyTransform();
}

void WxCanvas::Clear(Colour colour) {
    background = colour;
    if (painter != nullptr) {
        painter->Clear(colour);
    } else if (!colour.Invisible()) {
        dc.SetBackground(wxBrush(ToWxOpaque(colour)));
        dc.Clear();
    }
}

bool WxCanvas::UsePen(Colour colour, float width) {
    const PenStyle style =
        colour.Invisible() ? PenStyle::Transparent : PenStyleFor(colour.A(), options.fakeAlpha);
    if (style == PenStyle::Transparent) {
        return false;
    }
    dc.SetPen(wxPen(ToWxOpaque(colour), std::max(Round(width), 1), ToWx(style)));
    return true;
}

bool WxCanvas::UseBrush(Colour colour) {
    const BrushStyle style =
        colour.Invisible() ? BrushStyle::Transparent : BrushStyleFor(colour.A(), options.fakeAlpha);
    dc.SetBrush(style == BrushStyle::Transparent ? *wxTRANSPARENT_BRUSH
                                                 : wxBrush(ToWxOpaque(colour), ToWx(style)));
    return style != BrushStyle::Transparent;
}

void WxCanvas::Line(float x1, float y1, float x2, float y2, Colour colour, float width) {
    if (painter != nullptr) {
        painter->Line(x1, y1, x2, y2, colour, width);
    } else if (UsePen(colour, width)) {
        dc.DrawLine(Round(x1), Round(y1), Round(x2), Round(y2));
    }
}

void WxCanvas::DcStroke(const PointList& points, Colour colour, float width) {
    if (points.size() < 2 || colour.Invisible() ||
        PenStyleFor(colour.A(), options.fakeAlpha) == PenStyle::Transparent) {
        return;
    }
    std::vector<wxPoint> pixels;
    pixels.reserve(points.size());
    for (const Point& p : points) {
        pixels.emplace_back(Round(p.x), Round(p.y));
    }
    if (options.fakeAntialias) {
        dc.SetPen(wxPen(ToWxOpaque(FakeAntialiasColour(colour, background)), std::max(Round(width), 1) + 1));
        dc.DrawLines(static_cast<int>(pixels.size()), pixels.data());
    }
    UsePen(colour, width);
    dc.DrawLines(static_cast<int>(pixels.size()), pixels.data());
}

void WxCanvas::Polyline(const PointList& points, Colour colour, float width) {
    if (points.size() < 2) {
        return;
    }
    if (painter != nullptr) {
        painter->Stroke(points, colour, width);
    } else {
        DcStroke(points, colour, width);
    }
}

void WxCanvas::StrokePath(const Path& path, Colour colour, float width) {
    if (path.Empty()) {
        return;
    }
    if (painter != nullptr) {
        painter->Stroke(path, colour, width);
    } else {
        DcStroke(path.Flatten(std::max(1.0f, 2.0f / std::max(scale, 0.01f))), colour, width);
    }
}

void WxCanvas::RoundedPath(const Path& path, Colour colour, float width) {
    StrokePath(path, colour, width);
}

void WxCanvas::Curve(const PointList& points, Colour colour, float width) {
    if (points.size() == 6) {
        StrokePath(CurvePath(points), colour, width);
    }
}

void WxCanvas::Spline(const PointList& points, Colour colour, float width) {
    if (points.size() >= 2) {
        StrokePath(SplinePath(points), colour, width);
    }
}

void WxCanvas::Rectangle(float x1, float y1, float x2, float y2, Colour fill, Colour line, float lineWidth) {
    const float left = std::min(x1, x2);
    const float top = std::min(y1, y2);
    const float width = std::fabs(x2 - x1);
    const float height = std::fabs(y2 - y1);
    if (painter != nullptr) {
        painter->Rectangle(left, top, width, height, 0.0f, fill, line, lineWidth);
        return;
    }
    const bool filled = UseBrush(fill);
    const bool outlined = UsePen(line, lineWidth);
    if (!outlined) {
        dc.SetPen(*wxTRANSPARENT_PEN);
    }
    if (filled || outlined) {
        dc.DrawRectangle(Round(left), Round(top), Round(left + width) - Round(left),
                         Round(top + height) - Round(top));
    }
}

void WxCanvas::RoundedRectangle(float x, float y, float width, float height, float radius, Colour fill,
                                Colour line, float lineWidth) {
    if (painter != nullptr) {
        painter->Rectangle(x, y, width, height, radius, fill, line, lineWidth);
        return;
    }
    const bool filled = UseBrush(fill);
    const bool outlined = UsePen(line, lineWidth);
    if (!outlined) {
        dc.SetPen(*wxTRANSPARENT_PEN);
    }
    if (filled || outlined) {
        dc.DrawRoundedRectangle(Round(x), Round(y), Round(x + width) - Round(x), Round(y + height) - Round(y),
                                radius);
    }
}

void WxCanvas::SetFont(const String& face, float fontSize, float weight, float italic, float spacing) {
    const FontDescription before = font;
    Canvas::SetFont(face, fontSize, weight, italic, spacing);
    if (painter != nullptr) {
        painter->SetFont(font);
    } else if (!(before == font) || !wxfont.IsOk()) {
        wxfont = MakeWxFont(font);
    }
}

void WxCanvas::Text(float x, float y, Colour colour, const String& text) {
    if (colour.Invisible() || text.empty()) {
        return;
    }
    if (painter != nullptr) {
        painter->Text(x, y, colour, text);
        return;
    }
    dc.SetFont(wxfont);
    dc.SetTextForeground(ToWxOpaque(colour));
    if (font.spacing == 0.0f) {
        dc.DrawText(wxString(text), Round(x), Round(y));
        return;
    }
    // Letter spacing: one character at a time.
    for (wchar_t c : text) {
        const String letter(1, c);
        dc.DrawText(wxString(letter), Round(x), Round(y));
        x += TextWidth(letter);
    }
}

float WxCanvas::TextWidth(const String& text) {
    if (text.empty()) {
        return 0.0f;
    }
    if (painter != nullptr) {
        return painter->TextWidth(text);
    }
    dc.SetFont(wxfont);
    wxCoord w = 0;
    wxCoord h = 0;
    dc.GetTextExtent(wxString(text), &w, &h);
    return static_cast<float>(w) + font.spacing * static_cast<float>(text.size());
}

} // namespace brl::gui
