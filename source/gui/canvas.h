#pragma once

#include "libbrelm/config.h"
#include "libbrelm/string.h"

#include <cstdint>
#include <vector>

// The drawing interface every custom-drawn window uses, so the same drawing
// code runs on the toolkit's device context, on OpenGL, or on anything else
// that implements Canvas (the tests record the calls). This header knows no
// toolkit.
//
// Threads: a canvas is made, used and destroyed on the GUI thread by the code
// that draws; the value types here may be used from any thread.
namespace brl::gui {

// A colour packed as 0xAABBGGRR: red in the lowest byte, alpha in the highest.
// Alpha 0 means "leave this part away" in every canvas operation.
struct Colour {
    uint32_t value = 0xFF000000u;

    constexpr Colour() = default;
    constexpr explicit Colour(uint32_t abgr) : value(abgr) {}
    static constexpr Colour Rgba(unsigned r, unsigned g, unsigned b, unsigned a = 255) {
        return Colour((a & 0xFFu) << 24 | (b & 0xFFu) << 16 | (g & 0xFFu) << 8 | (r & 0xFFu));
    }

    constexpr unsigned R() const { return value & 0xFFu; }
    constexpr unsigned G() const { return value >> 8 & 0xFFu; }
    constexpr unsigned B() const { return value >> 16 & 0xFFu; }
    constexpr unsigned A() const { return value >> 24; }
    constexpr bool Invisible() const { return A() == 0; }
    constexpr Colour WithAlpha(unsigned a) const { return Rgba(R(), G(), B(), a); }

    friend constexpr bool operator==(Colour a, Colour b) { return a.value == b.value; }
    friend constexpr bool operator!=(Colour a, Colour b) { return a.value != b.value; }
};

// The text form used in settings: "#rrggbb,aa" (exactly 10 characters, hex
// digits in either case). Any other text reads as opaque black.
Colour ParseColour(const String& text);
String FormatColour(Colour colour);

// Each channel weighted by its alpha: (c1 a1 + c2 a2) / (a1 + a2), alpha the
// mean of both. Two invisible colours mix to transparent black.
Colour MixColours(Colour a, Colour b);
// r, g and b each become (r + g + b) / 3; alpha stays.
Colour Greyscale(Colour colour);
// `text` where it stands out enough on an opaque `fill` (a contrast ratio of
// at least 4.5), otherwise black or white, whichever stands out more. On a
// fill that is not opaque the text stays as it is.
Colour ReadableOn(Colour text, Colour fill);

struct Point {
    float x = 0.0f;
    float y = 0.0f;
    friend bool operator==(const Point& a, const Point& b) { return a.x == b.x && a.y == b.y; }
};
using PointList = std::vector<Point>;

struct Size {
    float width = 0.0f;
    float height = 0.0f;
};

// A path of connected pieces: straight lines, circular arcs and cubic Bézier
// curves. Each piece starts where the previous one ended.
struct PathSegment {
    enum class Kind { Line, Arc, Cubic };
    Kind kind = Kind::Line;
    Point start;
    Point end;
    // Cubic: the two control points.
    Point control1;
    Point control2;
    // Arc: centre, radius, start angle and signed sweep in radians. Angles grow
    // from +x towards +y, so a positive sweep turns clockwise on screen.
    Point centre;
    float radius = 0.0f;
    float startAngle = 0.0f;
    float sweep = 0.0f;
};

class Path {
public:
    void AddLine(Point from, Point to);
    void AddArc(Point centre, float radius, float startAngle, float sweep);
    void AddCubic(Point from, Point control1, Point control2, Point to);

    const std::vector<PathSegment>& Segments() const { return segments; }
    bool Empty() const { return segments.empty(); }
    // The path as a polyline; arcs and curves are cut into pieces no longer
    // than about `step` units.
    PointList Flatten(float step = 2.0f) const;

private:
    std::vector<PathSegment> segments;
};

// The path drawn by Canvas::Curve: through points 1, 3, 4 and 6 of six, with
// points 2 and 5 steering the ends; empty for any other count.
Path CurvePath(const PointList& points);
// The path drawn by Canvas::Spline: a smooth curve through every point
// (Catmull-Rom); empty for fewer than 2 points.
Path SplinePath(const PointList& points);

// A polyline whose corners are replaced by circular arcs of `radius`; a corner
// whose neighbouring pieces are shorter than twice the radius gets a smaller arc.
Path RoundCorners(const PointList& points, float radius);

struct FontDescription {
    String face;
    float size = 10.0f;
    float weight = 1.0f;  // 1 is the regular weight
    float italic = 0.0f;  // non-zero is italic
    float spacing = 0.0f; // extra space between letters

    friend bool operator==(const FontDescription& a, const FontDescription& b) {
        return a.face == b.face && a.size == b.size && a.weight == b.weight && a.italic == b.italic &&
               a.spacing == b.spacing;
    }
};

// The drawing operations. Coordinates, widths, scale and font sizes are user
// units; the origin and scale map them to device pixels (device = origin +
// scale * user). A canvas is made and destroyed by the code that draws, never
// through a pointer to this base.
class Canvas {
public:
    virtual Size GetSize() const { return size; }
    // Fills everything, without an outline; remembers the background colour.
    virtual void Clear(Colour colour) = 0;
    virtual void SetOrigin(float x, float y) = 0;
    virtual void SetScale(float scale) = 0;
    virtual void Line(float x1, float y1, float x2, float y2, Colour colour, float width) = 0;
    // Draws nothing for fewer than 2 points.
    virtual void Polyline(const PointList& points, Colour colour, float width) = 0;
    virtual void RoundedPath(const Path& path, Colour colour, float width) = 0;
    // Exactly 6 points (see CurvePath); draws nothing for any other count.
    virtual void Curve(const PointList& points, Colour colour, float width) = 0;
    // Draws nothing for fewer than 2 points.
    virtual void Spline(const PointList& points, Colour colour, float width) = 0;
    // Corners (x1, y1) and (x2, y2). An invisible fill leaves the inside empty,
    // an invisible line colour leaves the outline away.
    virtual void Rectangle(float x1, float y1, float x2, float y2, Colour fill, Colour line,
                           float lineWidth) = 0;
    virtual void RoundedRectangle(float x, float y, float width, float height, float radius, Colour fill,
                                  Colour line, float lineWidth) = 0;
    // The text's top-left corner at (x, y), in the current font.
    virtual void Text(float x, float y, Colour colour, const String& text) = 0;
    virtual void SetFont(const String& face, float size, float weight, float italic, float spacing) {
        font = FontDescription{face, size, weight, italic, spacing};
    }
    virtual float TextWidth(const String& text) = 0;

    const FontDescription& Font() const { return font; }

protected:
    Canvas() = default;
    explicit Canvas(Size canvasSize) : size(canvasSize) {}
    ~Canvas() = default;
    Canvas(const Canvas&) = default;
    Canvas& operator=(const Canvas&) = default;

    FontDescription font;
    Size size;
};

} // namespace brl::gui

namespace brl::Config {

// Colours are kept in settings in their "#rrggbb,aa" text form.
template <> struct SettingTraits<gui::Colour> {
    static Value ToValue(gui::Colour colour) { return Value(gui::FormatColour(colour)); }
    static gui::Colour FromValue(const Value& value) { return gui::ParseColour(value.ToString()); }
};

} // namespace brl::Config
