// The toolkit backend of the canvas: a device context, through a Cairo
// graphics context when one is asked for.
#include "gui/guicanvasbackends.h"

#include "libbrelm/debug.h"

#include <wx/dcclient.h>
#include <wx/dcmemory.h>

#include <algorithm>
#include <cmath>

namespace brl::gui {

namespace {

wxColour ToWx(Colour colour) {
    return wxColour(colour.R(), colour.G(), colour.B(), colour.A());
}

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

wxGraphicsPath ToGraphicsPath(wxGraphicsContext& gc, const Path& path) {
    wxGraphicsPath result = gc.CreatePath();
    bool first = true;
    Point last;
    for (const PathSegment& s : path.Segments()) {
        if (first || !(last == s.start)) {
            result.MoveToPoint(s.start.x, s.start.y);
            first = false;
        }
        switch (s.kind) {
        case PathSegment::Kind::Line:
            result.AddLineToPoint(s.end.x, s.end.y);
            break;
        case PathSegment::Kind::Arc:
            result.AddArc(s.centre.x, s.centre.y, s.radius, s.startAngle, s.startAngle + s.sweep,
                          s.sweep > 0.0f);
            break;
        case PathSegment::Kind::Cubic:
            result.AddCurveToPoint(s.control1.x, s.control1.y, s.control2.x, s.control2.y, s.end.x, s.end.y);
            break;
        }
        last = s.end;
    }
    return result;
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
        if (gc != nullptr) {
            gc->SetAntialiasMode(wxANTIALIAS_DEFAULT);
            baseTransform = gc->GetTransform();
        } else {
            static Logging::Logger log(&Debug::ProcessChannel(), L"gui");
            BRL_LOG_WARNING(log, "no Cairo graphics context for this device context; drawing without it");
        }
    }
    wxfont = MakeWxFont(font);
}

WxCanvas::~WxCanvas() {
    if (gc == nullptr) {
        dc.SetDeviceOrigin(0, 0);
        dc.SetUserScale(1.0, 1.0);
    }
}

void WxCanvas::ApplyTransform() {
    if (gc != nullptr) {
        wxGraphicsMatrix matrix = baseTransform;
        matrix.Translate(originX, originY);
        matrix.Scale(scale, scale);
        gc->SetTransform(matrix);
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
    if (colour.Invisible()) {
        return;
    }
    if (gc != nullptr) {
        gc->SetTransform(baseTransform);
        gc->SetPen(wxNullGraphicsPen);
        gc->SetBrush(gc->CreateBrush(wxBrush(ToWx(colour))));
        gc->DrawRectangle(0, 0, size.width, size.height);
        havePen = haveBrush = false;
        ApplyTransform();
        return;
    }
    dc.SetBackground(wxBrush(ToWxOpaque(colour)));
    dc.Clear();
}

bool WxCanvas::UsePen(Colour colour, float width) {
    if (colour.Invisible()) {
        return false;
    }
    if (gc != nullptr) {
        if (!havePen || penColour != colour || penWidth != width) {
            gc->SetPen(gc->CreatePen(wxGraphicsPenInfo(ToWx(colour), std::max(width, 0.0f))));
            havePen = true;
            penColour = colour;
            penWidth = width;
        }
        return true;
    }
    const PenStyle style = PenStyleFor(colour.A(), options.fakeAlpha);
    if (style == PenStyle::Transparent) {
        return false;
    }
    dc.SetPen(wxPen(ToWxOpaque(colour), std::max(Round(width), 1), ToWx(style)));
    return true;
}

bool WxCanvas::UseBrush(Colour colour) {
    if (gc != nullptr) {
        if (!haveBrush || brushColour != colour) {
            gc->SetBrush(colour.Invisible() ? wxNullGraphicsBrush : gc->CreateBrush(wxBrush(ToWx(colour))));
            haveBrush = true;
            brushColour = colour;
        }
        return !colour.Invisible();
    }
    const BrushStyle style =
        colour.Invisible() ? BrushStyle::Transparent : BrushStyleFor(colour.A(), options.fakeAlpha);
    dc.SetBrush(style == BrushStyle::Transparent ? *wxTRANSPARENT_BRUSH
                                                 : wxBrush(ToWxOpaque(colour), ToWx(style)));
    return style != BrushStyle::Transparent;
}

void WxCanvas::Line(float x1, float y1, float x2, float y2, Colour colour, float width) {
    if (!UsePen(colour, width)) {
        return;
    }
    if (gc != nullptr) {
        gc->StrokeLine(x1, y1, x2, y2);
    } else {
        dc.DrawLine(Round(x1), Round(y1), Round(x2), Round(y2));
    }
}

void WxCanvas::DcStroke(const PointList& points, Colour colour, float width) {
    if (points.size() < 2 || PenStyleFor(colour.A(), options.fakeAlpha) == PenStyle::Transparent ||
        colour.Invisible()) {
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
    if (gc == nullptr) {
        DcStroke(points, colour, width);
        return;
    }
    if (!UsePen(colour, width)) {
        return;
    }
    std::vector<wxPoint2DDouble> corners;
    corners.reserve(points.size());
    for (const Point& p : points) {
        corners.emplace_back(p.x, p.y);
    }
    gc->StrokeLines(corners.size(), corners.data());
}

void WxCanvas::StrokePath(const Path& path, Colour colour, float width) {
    if (path.Empty()) {
        return;
    }
    if (gc == nullptr) {
        DcStroke(path.Flatten(std::max(1.0f, 2.0f / std::max(scale, 0.01f))), colour, width);
        return;
    }
    if (UsePen(colour, width)) {
        gc->StrokePath(ToGraphicsPath(*gc, path));
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
    const bool filled = UseBrush(fill);
    const bool outlined = UsePen(line, lineWidth);
    if (gc != nullptr) {
        if (!outlined) {
            gc->SetPen(wxNullGraphicsPen);
            havePen = false;
        }
        if (filled || outlined) {
            gc->DrawRectangle(left, top, width, height);
        }
        return;
    }
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
    const bool filled = UseBrush(fill);
    const bool outlined = UsePen(line, lineWidth);
    if (gc != nullptr) {
        if (!outlined) {
            gc->SetPen(wxNullGraphicsPen);
            havePen = false;
        }
        if (filled || outlined) {
            gc->DrawRoundedRectangle(x, y, width, height, radius);
        }
        return;
    }
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
    if (!(before == font) || !wxfont.IsOk()) {
        wxfont = MakeWxFont(font);
        haveFontColour = false;
    }
}

void WxCanvas::Text(float x, float y, Colour colour, const String& text) {
    if (colour.Invisible() || text.empty()) {
        return;
    }
    if (gc != nullptr) {
        if (!haveFontColour || fontColour != colour) {
            gc->SetFont(wxfont, ToWx(colour));
            haveFontColour = true;
            fontColour = colour;
        }
    } else {
        dc.SetFont(wxfont);
        dc.SetTextForeground(ToWxOpaque(colour));
    }
    if (font.spacing == 0.0f) {
        if (gc != nullptr) {
            gc->DrawText(wxString(text), x, y);
        } else {
            dc.DrawText(wxString(text), Round(x), Round(y));
        }
        return;
    }
    // Letter spacing: one character at a time.
    for (wchar_t c : text) {
        const String letter(1, c);
        if (gc != nullptr) {
            gc->DrawText(wxString(letter), x, y);
        } else {
            dc.DrawText(wxString(letter), Round(x), Round(y));
        }
        x += TextWidth(letter);
    }
}

float WxCanvas::TextWidth(const String& text) {
    if (text.empty()) {
        return 0.0f;
    }
    double width = 0.0;
    if (gc != nullptr) {
        if (!haveFontColour) {
            gc->SetFont(wxfont, *wxBLACK);
            haveFontColour = true;
            fontColour = Colour::Rgba(0, 0, 0);
        }
        double height = 0.0;
        gc->GetTextExtent(wxString(text), &width, &height);
    } else {
        dc.SetFont(wxfont);
        wxCoord w = 0;
        wxCoord h = 0;
        dc.GetTextExtent(wxString(text), &w, &h);
        width = w;
    }
    return static_cast<float>(width) + font.spacing * static_cast<float>(text.size());
}

} // namespace brl::gui
