#include "gui/guicanvascairo.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

namespace brl::gui {

namespace {

// Shaped strings by font and text, for the GUI thread. Shaping is the costly
// part of drawing text; the glyph images themselves stay in Cairo's own cache.
class TextShapes {
public:
    static constexpr size_t kMaxKept = 4096;

    static TextShapes& Instance() {
        static TextShapes shapes;
        return shapes;
    }

    PangoLayout* Layout(const std::string& fontKey, const FontDescription& font, const String& face,
                        const String& text) {
        std::string key = fontKey;
        key.push_back('\x1f');
        key += ToUtf8(text);
        const auto found = layouts.find(key);
        if (found != layouts.end()) {
            return found->second;
        }
        if (layouts.size() >= kMaxKept) {
            Forget();
        }
        PangoLayout* layout = pango_layout_new(context);
        PangoFontDescription* description = pango_font_description_new();
        pango_font_description_set_family(description, ToUtf8(face).c_str());
        pango_font_description_set_absolute_size(description,
                                                 std::clamp(font.size, 1.0f, 500.0f) * PANGO_SCALE);
        pango_font_description_set_weight(
            description, static_cast<PangoWeight>(
                             std::clamp(static_cast<int>(std::lround(font.weight * 400.0f)), 100, 1000)));
        pango_font_description_set_style(description,
                                         font.italic != 0.0f ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
        pango_layout_set_font_description(layout, description);
        pango_font_description_free(description);
        if (font.spacing != 0.0f) {
            PangoAttrList* attributes = pango_attr_list_new();
            pango_attr_list_insert(
                attributes, pango_attr_letter_spacing_new(static_cast<int>(font.spacing * PANGO_SCALE)));
            pango_layout_set_attributes(layout, attributes);
            pango_attr_list_unref(attributes);
        }
        const std::string utf8 = key.substr(fontKey.size() + 1);
        pango_layout_set_text(layout, utf8.c_str(), static_cast<int>(utf8.size()));
        layouts.emplace(std::move(key), layout);
        return layout;
    }

    size_t Size() const { return layouts.size(); }

private:
    TextShapes() {
        context = pango_font_map_create_context(pango_cairo_font_map_get_default());
        // Shapes independent of the zoom: the same layout serves every scale.
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
        pango_cairo_context_set_font_options(context, options);
        cairo_font_options_destroy(options);
    }
    ~TextShapes() {
        Forget();
        g_object_unref(context);
    }
    void Forget() {
        for (auto& entry : layouts) {
            g_object_unref(entry.second);
        }
        layouts.clear();
    }

    PangoContext* context;
    std::unordered_map<std::string, PangoLayout*> layouts;
};

// Corners of at most this radius in pixels are cut by two straight pieces
// instead of arcs: at that size the two look alike and the cut is cheaper.
constexpr double kSmallCorner = 3.0;

void RoundedRectanglePath(cairo_t* cr, double x, double y, double w, double h, double r, double scale) {
    r = std::min({r, w / 2.0, h / 2.0});
    if (!(r > 0.0)) {
        cairo_rectangle(cr, x, y, w, h);
        return;
    }
    if (r * scale <= kSmallCorner) {
        // Points at 0, 45 and 90 degrees of each corner.
        const double k = r * (1.0 - std::sqrt(0.5));
        cairo_move_to(cr, x + r, y);
        cairo_line_to(cr, x + w - r, y);
        cairo_line_to(cr, x + w - k, y + k);
        cairo_line_to(cr, x + w, y + r);
        cairo_line_to(cr, x + w, y + h - r);
        cairo_line_to(cr, x + w - k, y + h - k);
        cairo_line_to(cr, x + w - r, y + h);
        cairo_line_to(cr, x + r, y + h);
        cairo_line_to(cr, x + k, y + h - k);
        cairo_line_to(cr, x, y + h - r);
        cairo_line_to(cr, x, y + r);
        cairo_line_to(cr, x + k, y + k);
        cairo_close_path(cr);
        return;
    }
    const double pi = 3.14159265358979323846;
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -pi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, pi / 2);
    cairo_arc(cr, x + r, y + h - r, r, pi / 2, pi);
    cairo_arc(cr, x + r, y + r, r, pi, 3 * pi / 2);
    cairo_close_path(cr);
}

} // namespace

CairoPainter::CairoPainter(cairo_t* context, const String& face) : cr(context), defaultFace(face) {
    cairo_get_matrix(cr, &base);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    SetFont(font);
}

CairoPainter::~CairoPainter() {
    cairo_new_path(cr);
    cairo_set_matrix(cr, &base);
}

size_t CairoPainter::CachedTexts() {
    return TextShapes::Instance().Size();
}

void CairoPainter::Source(Colour colour) {
    cairo_set_source_rgba(cr, colour.R() / 255.0, colour.G() / 255.0, colour.B() / 255.0, colour.A() / 255.0);
}

void CairoPainter::SetTransform(float originX, float originY, float userScale) {
    scale = userScale;
    cairo_matrix_t matrix = base;
    cairo_matrix_translate(&matrix, originX, originY);
    cairo_matrix_scale(&matrix, scale, scale);
    cairo_set_matrix(cr, &matrix);
}

void CairoPainter::Clear(Colour colour) {
    if (colour.Invisible()) {
        return;
    }
    cairo_save(cr);
    cairo_set_matrix(cr, &base);
    Source(colour);
    cairo_paint(cr);
    cairo_restore(cr);
}

void CairoPainter::Stroke(const PointList& points, Colour colour, float width) {
    if (points.size() < 2 || colour.Invisible() || !(width > 0.0f)) {
        return;
    }
    cairo_new_path(cr);
    cairo_move_to(cr, points[0].x, points[0].y);
    for (size_t i = 1; i < points.size(); ++i) {
        cairo_line_to(cr, points[i].x, points[i].y);
    }
    Source(colour);
    cairo_set_line_width(cr, width);
    cairo_stroke(cr);
}

void CairoPainter::Stroke(const Path& path, Colour colour, float width) {
    if (path.Empty() || colour.Invisible() || !(width > 0.0f)) {
        return;
    }
    cairo_new_path(cr);
    bool first = true;
    Point last;
    for (const PathSegment& s : path.Segments()) {
        if (first || !(last == s.start)) {
            cairo_move_to(cr, s.start.x, s.start.y);
            first = false;
        }
        switch (s.kind) {
        case PathSegment::Kind::Line:
            cairo_line_to(cr, s.end.x, s.end.y);
            break;
        case PathSegment::Kind::Arc:
            if (s.sweep > 0.0f) {
                cairo_arc(cr, s.centre.x, s.centre.y, s.radius, s.startAngle, s.startAngle + s.sweep);
            } else {
                cairo_arc_negative(cr, s.centre.x, s.centre.y, s.radius, s.startAngle,
                                   s.startAngle + s.sweep);
            }
            break;
        case PathSegment::Kind::Cubic:
            cairo_curve_to(cr, s.control1.x, s.control1.y, s.control2.x, s.control2.y, s.end.x, s.end.y);
            break;
        }
        last = s.end;
    }
    Source(colour);
    cairo_set_line_width(cr, width);
    cairo_stroke(cr);
}

void CairoPainter::Rectangle(float x, float y, float w, float h, float radius, Colour fill, Colour line,
                             float lineWidth) {
    const bool outlined = !line.Invisible() && lineWidth > 0.0f;
    if (fill.Invisible() && !outlined) {
        return;
    }
    if (outlined && fill.A() == 255 && line.A() == 255) {
        // Opaque: the outline as a filled band under the body looks as a stroke
        // does and costs a fraction of it.
        const float half = lineWidth / 2.0f;
        RoundedRectanglePath(cr, x - half, y - half, w + lineWidth, h + lineWidth,
                             radius > 0.0f ? radius + half : 0, scale);
        Source(line);
        cairo_fill(cr);
        if (w > lineWidth && h > lineWidth) {
            RoundedRectanglePath(cr, x + half, y + half, w - lineWidth, h - lineWidth,
                                 std::max(radius - half, 0.0f), scale);
            Source(fill);
            cairo_fill(cr);
        }
        return;
    }
    RoundedRectanglePath(cr, x, y, w, h, radius, scale);
    if (!fill.Invisible()) {
        Source(fill);
        cairo_fill_preserve(cr);
    }
    if (outlined) {
        Source(line);
        cairo_set_line_width(cr, lineWidth);
        cairo_stroke(cr);
    }
    cairo_new_path(cr);
}

void CairoPainter::SetFont(const FontDescription& description) {
    font = description;
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "\x1f%g\x1f%g\x1f%g\x1f%g", font.size, font.weight, font.italic,
                  font.spacing);
    fontKey = ToUtf8(font.face.empty() ? defaultFace : font.face) + numbers;
}

void CairoPainter::Text(float x, float y, Colour colour, const String& text) {
    if (colour.Invisible() || text.empty()) {
        return;
    }
    PangoLayout* layout =
        TextShapes::Instance().Layout(fontKey, font, font.face.empty() ? defaultFace : font.face, text);
    cairo_move_to(cr, x, y);
    Source(colour);
    pango_cairo_show_layout(cr, layout);
    cairo_new_path(cr);
}

float CairoPainter::TextWidth(const String& text) {
    if (text.empty()) {
        return 0.0f;
    }
    PangoLayout* layout =
        TextShapes::Instance().Layout(fontKey, font, font.face.empty() ? defaultFace : font.face, text);
    PangoRectangle logical;
    pango_layout_get_extents(layout, nullptr, &logical);
    return static_cast<float>(logical.width) / PANGO_SCALE;
}

} // namespace brl::gui
