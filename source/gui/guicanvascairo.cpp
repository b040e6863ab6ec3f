#include "gui/guicanvascairo.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

namespace brl::gui {

namespace {

// A string shaped in one font: its layout and, where every glyph is a plain
// one, the glyphs with their positions ready for Cairo, font by font.
struct ShapedText {
    struct Run {
        cairo_scaled_font_t* font; // owned by the layout's font
        std::vector<cairo_glyph_t> glyphs;
    };
    PangoLayout* layout = nullptr;
    std::vector<Run> runs;
    bool glyphsOnly = true;
    float width = 0.0f;
};

// Takes the glyphs out of a layout (positions relative to its top-left corner).
void CollectGlyphs(ShapedText& shaped) {
    PangoLayoutIter* iter = pango_layout_get_iter(shaped.layout);
    do {
        PangoLayoutRun* run = pango_layout_iter_get_run_readonly(iter);
        if (run == nullptr) {
            continue;
        }
        PangoRectangle logical;
        pango_layout_iter_get_run_extents(iter, nullptr, &logical);
        const int baseline = pango_layout_iter_get_baseline(iter);
        ShapedText::Run out;
        out.font = pango_cairo_font_get_scaled_font(PANGO_CAIRO_FONT(run->item->analysis.font));
        if (out.font == nullptr) {
            shaped.glyphsOnly = false;
            break;
        }
        int x = logical.x;
        for (int i = 0; i < run->glyphs->num_glyphs; ++i) {
            const PangoGlyphInfo& info = run->glyphs->glyphs[i];
            if (info.glyph & PANGO_GLYPH_UNKNOWN_FLAG) {
                // Pango draws a box for a character no font has.
                shaped.glyphsOnly = false;
            } else if (info.glyph != PANGO_GLYPH_EMPTY) {
                out.glyphs.push_back({info.glyph,
                                      static_cast<double>(x + info.geometry.x_offset) / PANGO_SCALE,
                                      static_cast<double>(baseline + info.geometry.y_offset) / PANGO_SCALE});
            }
            x += info.geometry.width;
        }
        shaped.runs.push_back(std::move(out));
    } while (pango_layout_iter_next_run(iter));
    pango_layout_iter_free(iter);
}

// Shaped strings by font and text, for the GUI thread. Shaping is the costly
// part of drawing text; the glyph images themselves stay in Cairo's own cache.
class TextShapes {
public:
    static constexpr size_t kMaxKept = 4096;

    static TextShapes& Instance() {
        static TextShapes shapes;
        return shapes;
    }

    const ShapedText& Shape(const std::string& fontKey, const FontDescription& font, const String& face,
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
        ShapedText shaped;
        shaped.layout = layout;
        PangoRectangle logical;
        pango_layout_get_extents(layout, nullptr, &logical);
        shaped.width = static_cast<float>(logical.width) / PANGO_SCALE;
        CollectGlyphs(shaped);
        return layouts.emplace(std::move(key), std::move(shaped)).first->second;
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
            g_object_unref(entry.second.layout);
        }
        layouts.clear();
    }

    PangoContext* context;
    std::unordered_map<std::string, ShapedText> layouts;
};

// Corners of at most this radius in pixels are cut by two straight pieces
// instead of arcs: at that size the two look alike and the cut is cheaper.
constexpr double kSmallCorner = 3.0;
// Opaque shapes on whole pixels with a one pixel outline and corners of at
// most this radius are drawn in whole pixels.
constexpr double kPixelCorner = 4.0;

// A rectangle given in device pixels, added to the path in user units (the
// transformation only moves and scales, so it stays on whole pixels).
void DeviceRectangle(cairo_t* cr, double x, double y, double width, double height) {
    double x0 = x;
    double y0 = y;
    double x1 = x + width;
    double y1 = y + height;
    cairo_device_to_user(cr, &x0, &y0);
    cairo_device_to_user(cr, &x1, &y1);
    cairo_rectangle(cr, x0, y0, x1 - x0, y1 - y0);
}

// A rectangle of whole device pixels whose rows near the top and bottom are
// drawn in as far as a corner circle of radius r leaves them out.
void PixelShape(cairo_t* cr, double left, double top, double right, double bottom, double r) {
    const int rows = std::min(static_cast<int>(std::ceil(r)), static_cast<int>((bottom - top) / 2.0));
    int stepped = 0;
    for (int k = 0; k < rows; ++k) {
        const double dy = r - k - 0.5;
        const double inset = std::round(r - std::sqrt(std::max(r * r - dy * dy, 0.0)));
        if (inset <= 0.0) {
            break;
        }
        DeviceRectangle(cr, left + inset, top + k, right - left - 2.0 * inset, 1.0);
        DeviceRectangle(cr, left + inset, bottom - k - 1.0, right - left - 2.0 * inset, 1.0);
        stepped = k + 1;
    }
    DeviceRectangle(cr, left, top + stepped, right - left, bottom - top - 2.0 * stepped);
}

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
    if (haveSource && source == colour) {
        return;
    }
    cairo_set_source_rgba(cr, colour.R() / 255.0, colour.G() / 255.0, colour.B() / 255.0, colour.A() / 255.0);
    haveSource = true;
    source = colour;
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
    // The saved state keeps the source colour of the shapes.
    cairo_save(cr);
    cairo_set_matrix(cr, &base);
    cairo_set_source_rgba(cr, colour.R() / 255.0, colour.G() / 255.0, colour.B() / 255.0, colour.A() / 255.0);
    cairo_paint(cr);
    cairo_restore(cr);
}

void CairoPainter::Line(float x1, float y1, float x2, float y2, Colour colour, float width) {
    if (colour.Invisible() || !(width > 0.0f)) {
        return;
    }
    double ax = x1;
    double ay = y1;
    double bx = x2;
    double by = y2;
    cairo_user_to_device(cr, &ax, &ay);
    cairo_user_to_device(cr, &bx, &by);
    double dx = width;
    double dy = 0.0;
    cairo_user_to_device_distance(cr, &dx, &dy);
    const bool vertical = std::fabs(ax - bx) < 1e-3;
    const bool horizontal = std::fabs(ay - by) < 1e-3;
    if ((vertical || horizontal) && std::hypot(dx, dy) <= 1.5) {
        // A thin line along the pixel grid becomes one crisp row or column of
        // pixels: sharper than a stroke, which smears it over two, and a much
        // cheaper fill.
        if (vertical) {
            const double top = std::round(std::min(ay, by));
            DeviceRectangle(cr, std::floor(ax), top, 1.0, std::max(std::round(std::max(ay, by)) - top, 1.0));
        } else {
            const double left = std::round(std::min(ax, bx));
            DeviceRectangle(cr, left, std::floor(ay), std::max(std::round(std::max(ax, bx)) - left, 1.0),
                            1.0);
        }
        Source(colour);
        cairo_fill(cr);
        return;
    }
    Stroke(PointList{{x1, y1}, {x2, y2}}, colour, width);
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

bool CairoPainter::PixelRectangle(float x, float y, float w, float h, float radius, Colour fill, Colour line,
                                  float lineWidth) {
    double left = x;
    double top = y;
    double right = x + w;
    double bottom = y + h;
    cairo_user_to_device(cr, &left, &top);
    cairo_user_to_device(cr, &right, &bottom);
    double lineX = lineWidth;
    double lineY = 0.0;
    cairo_user_to_device_distance(cr, &lineX, &lineY);
    auto whole = [](double v) { return std::fabs(v - std::round(v)) < 1e-3; };
    if (!whole(left) || !whole(top) || !whole(right) || !whole(bottom) || std::fabs(lineX - 1.0) > 1e-3 ||
        lineY != 0.0 || radius * scale > kPixelCorner || right - left < 3.0 || bottom - top < 3.0) {
        return false;
    }
    // Whole pixels: a one pixel outline just inside the edges, the corners
    // stepped along their circle.
    const double r = radius * scale;
    PixelShape(cr, left, top, right, bottom, r);
    Source(line);
    cairo_fill(cr);
    PixelShape(cr, left + 1.0, top + 1.0, right - 1.0, bottom - 1.0, std::max(r - 1.0, 0.0));
    Source(fill);
    cairo_fill(cr);
    return true;
}

void CairoPainter::Rectangle(float x, float y, float w, float h, float radius, Colour fill, Colour line,
                             float lineWidth) {
    const bool outlined = !line.Invisible() && lineWidth > 0.0f;
    if (fill.Invisible() && !outlined) {
        return;
    }
    if (outlined && fill.A() == 255 && line.A() == 255 &&
        PixelRectangle(x, y, w, h, radius, fill, line, lineWidth)) {
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
    const ShapedText& shaped =
        TextShapes::Instance().Shape(fontKey, font, font.face.empty() ? defaultFace : font.face, text);
    Source(colour);
    if (!shaped.glyphsOnly) {
        cairo_move_to(cr, x, y);
        pango_cairo_show_layout(cr, shaped.layout);
        cairo_new_path(cr);
        return;
    }
    for (const ShapedText::Run& run : shaped.runs) {
        glyphs.assign(run.glyphs.begin(), run.glyphs.end());
        for (cairo_glyph_t& glyph : glyphs) {
            glyph.x += x;
            glyph.y += y;
        }
        cairo_set_scaled_font(cr, run.font);
        cairo_show_glyphs(cr, glyphs.data(), static_cast<int>(glyphs.size()));
    }
}

float CairoPainter::TextWidth(const String& text) {
    if (text.empty()) {
        return 0.0f;
    }
    return TextShapes::Instance()
        .Shape(fontKey, font, font.face.empty() ? defaultFace : font.face, text)
        .width;
}

} // namespace brl::gui
