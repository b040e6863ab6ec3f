#pragma once

#include "gui/canvas.h"
#include "gui/canvasstyle.h"
#include "libbrelm/logging.h"

#include <wx/dc.h>
#include <wx/font.h>
#include <wx/graphics.h>

#include <map>
#include <memory>
#include <vector>

// The canvas backends: the toolkit's device context (WxCanvas) and OpenGL
// (GlCanvas). Direct2D does not exist on this platform.
//
// Threads: GUI thread only.
namespace brl::gui {

// The toolkit font for a canvas font description: the size is in device
// independent pixels (1/96 inch) and becomes points; weight 1 is regular
// (400), italic is any non-zero value.
wxFont MakeWxFont(const FontDescription& description);

class CairoPainter;

// Draws on a device context. With a graphics context (Cairo) shapes are
// anti-aliased and colours keep their alpha. Without one the device context
// has no alpha: pens and brushes follow PenStyleFor and BrushStyleFor
// (FakeAlpha), strokes of paths get the FakeAA under-stroke, and coordinates
// are rounded to whole pixels.
class WxCanvas : public Canvas {
public:
    struct Options {
        bool graphicsContext = true;
        bool fakeAntialias = false;
        bool fakeAlpha = false;
    };
    // Width and height are taken from the device context.
    WxCanvas(wxDC& dc, const Options& options);
    ~WxCanvas();
    WxCanvas(const WxCanvas&) = delete;
    WxCanvas& operator=(const WxCanvas&) = delete;

    // True when drawing goes through a graphics context.
    bool UsesGraphicsContext() const { return painter != nullptr; }

    void Clear(Colour colour) override;
    void SetOrigin(float x, float y) override;
    void SetScale(float scale) override;
    void Line(float x1, float y1, float x2, float y2, Colour colour, float width) override;
    void Polyline(const PointList& points, Colour colour, float width) override;
    void RoundedPath(const Path& path, Colour colour, float width) override;
    void Curve(const PointList& points, Colour colour, float width) override;
    void Spline(const PointList& points, Colour colour, float width) override;
    void Rectangle(float x1, float y1, float x2, float y2, Colour fill, Colour line,
                   float lineWidth) override;
    void RoundedRectangle(float x, float y, float width, float height, float radius, Colour fill, Colour line,
                          float lineWidth) override;
    void Text(float x, float y, Colour colour, const String& text) override;
    void SetFont(const String& face, float size, float weight, float italic, float spacing) override;
    float TextWidth(const String& text) override;

private:
    void ApplyTransform();
    void StrokePath(const Path& path, Colour colour, float width);
    bool UsePen(Colour colour, float width);
    bool UseBrush(Colour colour);
    void DcStroke(const PointList& points, Colour colour, float width);

    wxDC& dc;
    std::unique_ptr<wxGraphicsContext> gc;
    std::unique_ptr<CairoPainter> painter;
    Options options;
    float originX = 0.0f;
    float originY = 0.0f;
    float scale = 1.0f;
    Colour background;
    wxFont wxfont;
};

// Reports an OpenGL error left by the call named, under brl::gui::glcheck.
// Drawing goes on. Returns false after an error.
bool glcheck(const char* call);

// The glyph texture of one font: the printable ASCII and Latin-1 letters in
// one grid (LayoutGlyphAtlas); other characters draw as "?".
struct GlFont {
    unsigned texture = 0;
    int lineHeight = 0;
    struct Glyph {
        float u0, v0, u1, v1;
        float width;
    };
    std::map<wchar_t, Glyph> glyphs;
};

// What an OpenGL window keeps between frames: the glyph textures, made once
// per font. Destroy it while the window's context is current.
class GlResources {
public:
    GlResources() = default;
    ~GlResources();
    GlResources(const GlResources&) = delete;
    GlResources& operator=(const GlResources&) = delete;

    const GlFont& Font(const FontDescription& description);
    size_t FontCount() const { return fonts.size(); }

private:
    std::vector<std::pair<FontDescription, std::unique_ptr<GlFont>>> fonts;
};

// Draws with OpenGL into the current context (a fixed-function pipeline: the
// projection maps window pixels, y growing downwards). Strokes are triangles,
// so every width draws; colours keep their alpha.
class GlCanvas : public Canvas {
public:
    GlCanvas(GlResources& resources, Size size);
    ~GlCanvas();
    GlCanvas(const GlCanvas&) = delete;
    GlCanvas& operator=(const GlCanvas&) = delete;

    void Clear(Colour colour) override;
    void SetOrigin(float x, float y) override;
    void SetScale(float scale) override;
    void Line(float x1, float y1, float x2, float y2, Colour colour, float width) override;
    void Polyline(const PointList& points, Colour colour, float width) override;
    void RoundedPath(const Path& path, Colour colour, float width) override;
    void Curve(const PointList& points, Colour colour, float width) override;
    void Spline(const PointList& points, Colour colour, float width) override;
    void Rectangle(float x1, float y1, float x2, float y2, Colour fill, Colour line,
                   float lineWidth) override;
    void RoundedRectangle(float x, float y, float width, float height, float radius, Colour fill, Colour line,
                          float lineWidth) override;
    void Text(float x, float y, Colour colour, const String& text) override;
    void SetFont(const String& face, float size, float weight, float italic, float spacing) override;
    float TextWidth(const String& text) override;

private:
    void ApplyTransform();
    void Stroke(const PointList& points, bool closed, Colour colour, float width);
    void Fill(const PointList& polygon, Colour colour);
    void Draw(unsigned mode, const std::vector<float>& vertices, Colour colour);

    GlResources& resources;
    const GlFont* glfont = nullptr;
    float originX = 0.0f;
    float originY = 0.0f;
    float scale = 1.0f;
};

} // namespace brl::gui
