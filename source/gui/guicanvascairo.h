#pragma once

#include "gui/canvas.h"

#include <cairo.h>

#include <string>
#include <vector>

// The drawing of the toolkit canvas when it has a Cairo graphics context: the
// shapes go straight to the context's cairo_t, and text is shaped once per
// font and string (the shaped lines are kept, not images of them).
//
// Threads: GUI thread only (the text cache is shared by all canvases).
namespace brl::gui {

class CairoPainter {
public:
    // Draws on `cr` from its current transformation on; `defaultFace` stands
    // for an empty font face.
    CairoPainter(cairo_t* cr, const String& defaultFace);
    ~CairoPainter();
    CairoPainter(const CairoPainter&) = delete;
    CairoPainter& operator=(const CairoPainter&) = delete;

    void SetTransform(float originX, float originY, float scale);
    void Clear(Colour colour);
    void Line(float x1, float y1, float x2, float y2, Colour colour, float width);
    void Stroke(const PointList& points, Colour colour, float width);
    void Stroke(const Path& path, Colour colour, float width);
    void Rectangle(float x, float y, float width, float height, float radius, Colour fill, Colour line,
                   float lineWidth);
    void SetFont(const FontDescription& font);
    void Text(float x, float y, Colour colour, const String& text);
    float TextWidth(const String& text);

    // Strings shaped so far and still kept (for tests of the cache bound).
    static size_t CachedTexts();

private:
    void Source(Colour colour);
    bool PixelRectangle(float x, float y, float w, float h, float radius, Colour fill, Colour line,
                        float lineWidth);

    cairo_t* cr;
    cairo_matrix_t base;
    String defaultFace;
    std::string fontKey;
    FontDescription font;
    float scale = 1.0f;
    // The colour last made the source.
    bool haveSource = false;
    Colour source;
    std::vector<cairo_glyph_t> glyphs; // placed glyphs of the text being drawn
};

} // namespace brl::gui
