#include "gui/canvas.h"

#include <algorithm>
#include <cmath>
#include <cwchar>

namespace brl::gui {

namespace {

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// Two hex digits at text[at]; -1 if either is no hex digit.
int HexByte(const String& text, size_t at) {
    const int high = HexDigit(text[at]);
    const int low = HexDigit(text[at + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

Point Add(Point a, Point b) {
    return {a.x + b.x, a.y + b.y};
}
Point Sub(Point a, Point b) {
    return {a.x - b.x, a.y - b.y};
}
Point Scale(Point a, float s) {
    return {a.x * s, a.y * s};
}
float Length(Point a) {
    return std::sqrt(a.x * a.x + a.y * a.y);
}
Point Normalised(Point a) {
    const float length = Length(a);
    return length > 0.0f ? Scale(a, 1.0f / length) : Point{};
}

Point ArcPoint(Point centre, float radius, float angle) {
    return {centre.x + radius * std::cos(angle), centre.y + radius * std::sin(angle)};
}

Point CubicPoint(const PathSegment& s, float t) {
    const float u = 1.0f - t;
    const float a = u * u * u;
    const float b = 3.0f * u * u * t;
    const float c = 3.0f * u * t * t;
    const float d = t * t * t;
    return {a * s.start.x + b * s.control1.x + c * s.control2.x + d * s.end.x,
            a * s.start.y + b * s.control1.y + c * s.control2.y + d * s.end.y};
}

int PieceCount(float length, float step) {
    if (!(length > 0.0f) || !(step > 0.0f)) {
        return 1;
    }
    return std::clamp(static_cast<int>(std::ceil(length / step)), 1, 256);
}

} // namespace

Colour ParseColour(const String& text) {
    if (text.size() != 10 || text[0] != L'#' || text[7] != L',') {
        return Colour();
    }
    const int r = HexByte(text, 1);
    const int g = HexByte(text, 3);
    const int b = HexByte(text, 5);
    const int a = HexByte(text, 8);
    if (r < 0 || g < 0 || b < 0 || a < 0) {
        return Colour();
    }
    return Colour::Rgba(r, g, b, a);
}

String FormatColour(Colour colour) {
    wchar_t text[16];
    std::swprintf(text, 16, L"#%02x%02x%02x,%02x", colour.R(), colour.G(), colour.B(), colour.A());
    return text;
}

Colour MixColours(Colour a, Colour b) {
    const unsigned a1 = a.A();
    const unsigned a2 = b.A();
    const unsigned total = a1 + a2;
    if (total == 0) {
        return Colour(0);
    }
    return Colour::Rgba((a.R() * a1 + b.R() * a2) / total, (a.G() * a1 + b.G() * a2) / total,
                        (a.B() * a1 + b.B() * a2) / total, total / 2);
}

Colour Greyscale(Colour colour) {
    const unsigned grey = (colour.R() + colour.G() + colour.B()) / 3;
    return Colour::Rgba(grey, grey, grey, colour.A());
}

namespace {

// Relative luminance of the sRGB colour, 0 (black) to 1 (white).
double Luminance(Colour colour) {
    const auto linear = [](unsigned channel) {
        const double c = channel / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.R()) + 0.7152 * linear(colour.G()) + 0.0722 * linear(colour.B());
}

double Contrast(double a, double b) {
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

} // namespace

Colour ReadableOn(Colour text, Colour fill) {
    if (fill.A() != 255) {
        return text;
    }
    const double background = Luminance(fill);
    if (Contrast(Luminance(text), background) >= 4.5) {
        return text;
    }
    const unsigned alpha = text.A();
    return Contrast(0.0, background) >= Contrast(1.0, background) ? Colour::Rgba(0, 0, 0, alpha)
                                                                  : Colour::Rgba(255, 255, 255, alpha);
}

void Path::AddLine(Point from, Point to) {
    PathSegment segment;
    segment.kind = PathSegment::Kind::Line;
    segment.start = from;
    segment.end = to;
    segments.push_back(segment);
}

void Path::AddArc(Point centre, float radius, float startAngle, float sweep) {
    PathSegment segment;
    segment.kind = PathSegment::Kind::Arc;
    segment.centre = centre;
    segment.radius = radius;
    segment.startAngle = startAngle;
    segment.sweep = sweep;
    segment.start = ArcPoint(centre, radius, startAngle);
    segment.end = ArcPoint(centre, radius, startAngle + sweep);
    segments.push_back(segment);
}

void Path::AddCubic(Point from, Point control1, Point control2, Point to) {
    PathSegment segment;
    segment.kind = PathSegment::Kind::Cubic;
    segment.start = from;
    segment.control1 = control1;
    segment.control2 = control2;
    segment.end = to;
    segments.push_back(segment);
}

PointList Path::Flatten(float step) const {
    PointList points;
    for (const PathSegment& s : segments) {
        if (points.empty() || !(points.back() == s.start)) {
            points.push_back(s.start);
        }
        switch (s.kind) {
        case PathSegment::Kind::Line:
            break;
        case PathSegment::Kind::Arc: {
            const int pieces = PieceCount(std::fabs(s.sweep) * s.radius, step);
            for (int i = 1; i < pieces; ++i) {
                points.push_back(ArcPoint(s.centre, s.radius, s.startAngle + s.sweep * i / pieces));
            }
            break;
        }
        case PathSegment::Kind::Cubic: {
            const float hull = Length(Sub(s.control1, s.start)) + Length(Sub(s.control2, s.control1)) +
                               Length(Sub(s.end, s.control2));
            const int pieces = PieceCount(hull, step);
            for (int i = 1; i < pieces; ++i) {
                points.push_back(CubicPoint(s, static_cast<float>(i) / pieces));
            }
            break;
        }
        }
        points.push_back(s.end);
    }
    return points;
}

Path CurvePath(const PointList& p) {
    Path path;
    if (p.size() != 6) {
        return path;
    }
    // The ends are quadratic pieces steered by points 2 and 5, written as cubics.
    auto quadratic = [&path](Point from, Point control, Point to) {
        path.AddCubic(from, Add(from, Scale(Sub(control, from), 2.0f / 3.0f)),
                      Add(to, Scale(Sub(control, to), 2.0f / 3.0f)), to);
    };
    quadratic(p[0], p[1], p[2]);
    // The middle leaves point 3 in the direction it arrived and enters point 4
    // against the direction point 6 is left in, so the whole curve is smooth.
    const float reach = Length(Sub(p[3], p[2])) * 0.5f;
    Point out = Normalised(Sub(p[2], p[1]));
    if (Length(out) == 0.0f) {
        out = Normalised(Sub(p[2], p[0]));
    }
    Point in = Normalised(Sub(p[3], p[4]));
    if (Length(in) == 0.0f) {
        in = Normalised(Sub(p[3], p[5]));
    }
    path.AddCubic(p[2], Add(p[2], Scale(out, reach)), Add(p[3], Scale(in, reach)), p[3]);
    quadratic(p[3], p[4], p[5]);
    return path;
}

Path SplinePath(const PointList& p) {
    Path path;
    const size_t n = p.size();
    if (n < 2) {
        return path;
    }
    for (size_t i = 0; i + 1 < n; ++i) {
        const Point before = p[i == 0 ? 0 : i - 1];
        const Point after = p[i + 2 < n ? i + 2 : n - 1];
        path.AddCubic(p[i], Add(p[i], Scale(Sub(p[i + 1], before), 1.0f / 6.0f)),
                      Sub(p[i + 1], Scale(Sub(after, p[i]), 1.0f / 6.0f)), p[i + 1]);
    }
    return path;
}

Path RoundCorners(const PointList& input, float radius) {
    PointList points;
    for (const Point& point : input) {
        if (points.empty() || !(points.back() == point)) {
            points.push_back(point);
        }
    }
    Path path;
    if (points.size() < 2) {
        return path;
    }
    Point current = points.front();
    const size_t last = points.size() - 1;
    for (size_t i = 1; i < last; ++i) {
        const Point corner = points[i];
        const Point in = Normalised(Sub(corner, points[i - 1]));
        const Point out = Normalised(Sub(points[i + 1], corner));
        const float cross = in.x * out.y - in.y * out.x;
        const float dot = std::clamp(in.x * out.x + in.y * out.y, -1.0f, 1.0f);
        if (std::fabs(cross) < 1e-6f || !(radius > 0.0f)) {
            // Straight on, or a reversal: no arc fits.
            path.AddLine(current, corner);
            current = corner;
            continue;
        }
        // A piece shared by two corners gives each half of it; the end pieces
        // belong to one corner only.
        const float lengthIn = Length(Sub(corner, points[i - 1])) * (i == 1 ? 1.0f : 0.5f);
        const float lengthOut = Length(Sub(points[i + 1], corner)) * (i + 1 == last ? 1.0f : 0.5f);
        const float turn = std::acos(dot);
        const float halfTan = std::tan(turn / 2.0f);
        const float tangent = std::min({radius * halfTan, lengthIn, lengthOut});
        const float r = tangent / halfTan;
        const Point arcStart = Sub(corner, Scale(in, tangent));
        const Point inside = cross > 0.0f ? Point{-in.y, in.x} : Point{in.y, -in.x};
        const Point centre = Add(arcStart, Scale(inside, r));
        if (!(arcStart == current)) {
            path.AddLine(current, arcStart);
        }
        const float startAngle = std::atan2(arcStart.y - centre.y, arcStart.x - centre.x);
        path.AddArc(centre, r, startAngle, cross > 0.0f ? turn : -turn);
        current = Add(corner, Scale(out, tangent));
    }
    if (!(current == points[last])) {
        path.AddLine(current, points[last]);
    }
    return path;
}

} // namespace brl::gui
