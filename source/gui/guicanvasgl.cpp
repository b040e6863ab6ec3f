// The OpenGL backend of the canvas: client-side vertex arrays on the fixed
// function pipeline, glyphs from one texture per font.
#include "gui/guicanvasbackends.h"

#include "libbrelm/debug.h"

#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/image.h>

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

// Every OpenGL call is followed by an error check.
#define BRL_GL(call)                                                                                         \
    do {                                                                                                     \
        call;                                                                                                \
        ::brl::gui::glcheck(#call);                                                                          \
    } while (0)

namespace brl::gui {

namespace {

Logging::Logger& GlLog() {
    static Logging::Logger log(&Debug::ProcessChannel(), L"gui");
    return log;
}

// The characters a glyph texture holds.
std::vector<wchar_t> GlyphSet() {
    std::vector<wchar_t> set;
    for (wchar_t c = 32; c < 127; ++c) {
        set.push_back(c);
    }
    for (wchar_t c = 160; c < 256; ++c) {
        set.push_back(c);
    }
    return set;
}

constexpr int kGlyphMargin = 2;

void AppendQuad(std::vector<float>& v, Point a, Point b, Point c, Point d) {
    v.insert(v.end(), {a.x, a.y, b.x, b.y, c.x, c.y, a.x, a.y, c.x, c.y, d.x, d.y});
}

// The outline of a rounded rectangle, clockwise.
PointList RoundedOutline(float x, float y, float w, float h, float r) {
    r = std::clamp(r, 0.0f, std::min(w, h) / 2.0f);
    PointList outline;
    const float pi = 3.14159265f;
    const struct {
        float cx, cy, start;
    } corners[] = {{x + w - r, y + r, -pi / 2},
                   {x + w - r, y + h - r, 0.0f},
                   {x + r, y + h - r, pi / 2},
                   {x + r, y + r, pi}};
    const int steps = r > 0.0f ? std::clamp(static_cast<int>(r), 2, 8) : 0;
    for (const auto& corner : corners) {
        for (int i = 0; i <= steps; ++i) {
            const float angle = corner.start + (pi / 2) * (steps > 0 ? static_cast<float>(i) / steps : 0.0f);
            outline.push_back({corner.cx + r * std::cos(angle), corner.cy + r * std::sin(angle)});
            if (steps == 0) {
                break;
            }
        }
    }
    return outline;
}

std::unique_ptr<GlFont> BuildFont(const FontDescription& description) {
    auto result = std::make_unique<GlFont>();
    const std::vector<wchar_t> set = GlyphSet();
    const wxFont font = MakeWxFont(description);
    wxBitmap probe(8, 8, 24);
    wxMemoryDC measure(probe);
    measure.SetFont(font);
    std::vector<int> widths;
    int maxWidth = 1;
    int maxHeight = 1;
    for (wchar_t c : set) {
        wxCoord w = 0;
        wxCoord h = 0;
        measure.GetTextExtent(wxString(c), &w, &h);
        widths.push_back(w);
        maxWidth = std::max(maxWidth, static_cast<int>(w));
        maxHeight = std::max(maxHeight, static_cast<int>(h));
    }
    measure.SelectObject(wxNullBitmap);
    const GlyphAtlasLayout layout =
        LayoutGlyphAtlas(static_cast<int>(set.size()), maxWidth, maxHeight, kGlyphMargin);
    result->lineHeight = maxHeight;

    // White glyphs on black; the coverage becomes the texel's alpha.
    wxBitmap sheet(layout.textureSize, layout.textureSize, 24);
    {
        wxMemoryDC dc(sheet);
        dc.SetBackground(*wxBLACK_BRUSH);
        dc.Clear();
        dc.SetFont(font);
        dc.SetTextForeground(*wxWHITE);
        for (size_t i = 0; i < set.size(); ++i) {
            const int x = layout.CellX(static_cast<int>(i)) + layout.margin;
            const int y = layout.CellY(static_cast<int>(i)) + layout.margin;
            dc.DrawText(wxString(set[i]), x, y);
            const float edge = static_cast<float>(layout.textureSize);
            result->glyphs[set[i]] = {x / edge, y / edge, (x + widths[i]) / edge, (y + maxHeight) / edge,
                                      static_cast<float>(widths[i])};
        }
    }
    const wxImage image = sheet.ConvertToImage();
    const unsigned char* rgb = image.GetData();
    std::vector<unsigned char> texels(static_cast<size_t>(layout.textureSize) * layout.textureSize * 4);
    for (size_t i = 0; i < texels.size() / 4; ++i) {
        texels[i * 4 + 0] = 255;
        texels[i * 4 + 1] = 255;
        texels[i * 4 + 2] = 255;
        texels[i * 4 + 3] = rgb[i * 3];
    }
    GLuint texture = 0;
    BRL_GL(glGenTextures(1, &texture));
    BRL_GL(glBindTexture(GL_TEXTURE_2D, texture));
    BRL_GL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR));
    BRL_GL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR));
    BRL_GL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT));
    BRL_GL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT));
    BRL_GL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
    BRL_GL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, layout.textureSize, layout.textureSize, 0, GL_RGBA,
                        GL_UNSIGNED_BYTE, texels.data()));
    BRL_GL(glBindTexture(GL_TEXTURE_2D, 0));
    result->texture = texture;
    return result;
}

} // namespace

bool glcheck(const char* call) {
    bool ok = true;
    // A lost context can report errors forever; a few reads are enough.
    for (int i = 0; i < 8; ++i) {
        const GLenum error = glGetError();
        if (error == GL_NO_ERROR) {
            break;
        }
        ok = false;
        char code[16];
        std::snprintf(code, sizeof code, "0x%04x", static_cast<unsigned>(error));
        BRL_LOG_ERROR(GlLog(), "OpenGL error ", code, " after ", call);
    }
    return ok;
}

GlResources::~GlResources() {
    for (auto& [description, font] : fonts) {
        if (font->texture != 0) {
            GLuint texture = font->texture;
            BRL_GL(glDeleteTextures(1, &texture));
        }
    }
}

const GlFont& GlResources::Font(const FontDescription& description) {
    for (const auto& [known, font] : fonts) {
        if (known == description) {
            return *font;
        }
    }
    fonts.emplace_back(description, BuildFont(description));
    return *fonts.back().second;
}

GlCanvas::GlCanvas(GlResources& fontCache, Size canvasSize) : Canvas(canvasSize), resources(fontCache) {
    BRL_GL(glViewport(0, 0, static_cast<GLsizei>(size.width), static_cast<GLsizei>(size.height)));
    BRL_GL(glMatrixMode(GL_PROJECTION));
    BRL_GL(glLoadIdentity());
    BRL_GL(glOrtho(0.0, size.width, size.height, 0.0, -1.0, 1.0));
    BRL_GL(glDisable(GL_DEPTH_TEST));
    BRL_GL(glDisable(GL_CULL_FACE));
    BRL_GL(glEnable(GL_BLEND));
    BRL_GL(glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA));
    BRL_GL(glEnableClientState(GL_VERTEX_ARRAY));
    ApplyTransform();
}

GlCanvas::~GlCanvas() {
    BRL_GL(glDisableClientState(GL_VERTEX_ARRAY));
}

void GlCanvas::ApplyTransform() {
    BRL_GL(glMatrixMode(GL_MODELVIEW));
    BRL_GL(glLoadIdentity());
    BRL_GL(glTranslatef(originX, originY, 0.0f));
    BRL_GL(glScalef(scale, scale, 1.0f));
}

void GlCanvas::Clear(Colour colour) {
    if (colour.Invisible()) {
        return;
    }
    BRL_GL(glClearColor(colour.R() / 255.0f, colour.G() / 255.0f, colour.B() / 255.0f, colour.A() / 255.0f));
    BRL_GL(glClear(GL_COLOR_BUFFER_BIT));
}

void GlCanvas::SetOrigin(float x, float y) {
    originX = x;
    originY = y;
    ApplyTransform();
}

void GlCanvas::SetScale(float s) {
    scale = s;
    ApplyTransform();
}

void GlCanvas::Draw(unsigned mode, const std::vector<float>& vertices, Colour colour) {
    if (vertices.empty()) {
        return;
    }
    BRL_GL(glColor4ub(static_cast<GLubyte>(colour.R()), static_cast<GLubyte>(colour.G()),
                      static_cast<GLubyte>(colour.B()), static_cast<GLubyte>(colour.A())));
    BRL_GL(glVertexPointer(2, GL_FLOAT, 0, vertices.data()));
    BRL_GL(glDrawArrays(mode, 0, static_cast<GLsizei>(vertices.size() / 2)));
}

void GlCanvas::Stroke(const PointList& points, bool closed, Colour colour, float width) {
    if (colour.Invisible() || points.size() < 2) {
        return;
    }
    // Each piece is a quad, lengthened by half the width at both ends so that
    // corners close; hairlines stay one pixel wide whatever the scale.
    const float half = std::max(width, 1.0f / std::max(scale, 0.001f)) / 2.0f;
    std::vector<float> v;
    v.reserve(points.size() * 12);
    const size_t count = closed ? points.size() : points.size() - 1;
    for (size_t i = 0; i < count; ++i) {
        const Point a = points[i];
        const Point b = points[(i + 1) % points.size()];
        const float dx = b.x - a.x;
        const float dy = b.y - a.y;
        const float length = std::hypot(dx, dy);
        if (!(length > 0.0f)) {
            continue;
        }
        const float ux = dx / length * half;
        const float uy = dy / length * half;
        AppendQuad(v, {a.x - ux - uy, a.y - uy + ux}, {b.x + ux - uy, b.y + uy + ux},
                   {b.x + ux + uy, b.y + uy - ux}, {a.x - ux + uy, a.y - uy - ux});
    }
    Draw(GL_TRIANGLES, v, colour);
}

void GlCanvas::Fill(const PointList& polygon, Colour colour) {
    if (colour.Invisible() || polygon.size() < 3) {
        return;
    }
    // Convex shapes only: a fan from the first corner.
    std::vector<float> v;
    v.reserve(polygon.size() * 2);
    for (const Point& p : polygon) {
        v.push_back(p.x);
        v.push_back(p.y);
    }
    Draw(GL_TRIANGLE_FAN, v, colour);
}

void GlCanvas::Line(float x1, float y1, float x2, float y2, Colour colour, float width) {
    Stroke({{x1, y1}, {x2, y2}}, false, colour, width);
}

void GlCanvas::Polyline(const PointList& points, Colour colour, float width) {
    Stroke(points, false, colour, width);
}

void GlCanvas::RoundedPath(const Path& path, Colour colour, float width) {
    Stroke(path.Flatten(), false, colour, width);
}

void GlCanvas::Curve(const PointList& points, Colour colour, float width) {
    if (points.size() == 6) {
        Stroke(CurvePath(points).Flatten(), false, colour, width);
    }
}

void GlCanvas::Spline(const PointList& points, Colour colour, float width) {
    if (points.size() >= 2) {
        Stroke(SplinePath(points).Flatten(), false, colour, width);
    }
}

void GlCanvas::Rectangle(float x1, float y1, float x2, float y2, Colour fill, Colour line, float lineWidth) {
    const PointList corners = {{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}};
    Fill(corners, fill);
    Stroke(corners, true, line, lineWidth);
}

void GlCanvas::RoundedRectangle(float x, float y, float width, float height, float radius, Colour fill,
                                Colour line, float lineWidth) {
    const PointList outline = RoundedOutline(x, y, width, height, radius);
    Fill(outline, fill);
    Stroke(outline, true, line, lineWidth);
}

void GlCanvas::SetFont(const String& face, float fontSize, float weight, float italic, float spacing) {
    Canvas::SetFont(face, fontSize, weight, italic, spacing);
    glfont = nullptr;
}

void GlCanvas::Text(float x, float y, Colour colour, const String& text) {
    if (colour.Invisible() || text.empty()) {
        return;
    }
    if (glfont == nullptr) {
        glfont = &resources.Font(font);
    }
    std::vector<float> v;
    std::vector<float> uv;
    const float height = static_cast<float>(glfont->lineHeight);
    for (wchar_t c : text) {
        auto glyph = glfont->glyphs.find(c);
        if (glyph == glfont->glyphs.end()) {
            glyph = glfont->glyphs.find(L'?');
        }
        const GlFont::Glyph& g = glyph->second;
        AppendQuad(v, {x, y}, {x + g.width, y}, {x + g.width, y + height}, {x, y + height});
        uv.insert(uv.end(), {g.u0, g.v0, g.u1, g.v0, g.u1, g.v1, g.u0, g.v0, g.u1, g.v1, g.u0, g.v1});
        x += g.width + font.spacing;
    }
    BRL_GL(glEnable(GL_TEXTURE_2D));
    BRL_GL(glBindTexture(GL_TEXTURE_2D, glfont->texture));
    BRL_GL(glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE));
    BRL_GL(glEnableClientState(GL_TEXTURE_COORD_ARRAY));
    BRL_GL(glTexCoordPointer(2, GL_FLOAT, 0, uv.data()));
    Draw(GL_TRIANGLES, v, colour);
    BRL_GL(glDisableClientState(GL_TEXTURE_COORD_ARRAY));
    BRL_GL(glBindTexture(GL_TEXTURE_2D, 0));
    BRL_GL(glDisable(GL_TEXTURE_2D));
}

float GlCanvas::TextWidth(const String& text) {
    if (glfont == nullptr) {
        glfont = &resources.Font(font);
    }
    float width = 0.0f;
    for (wchar_t c : text) {
        auto glyph = glfont->glyphs.find(c);
        if (glyph == glfont->glyphs.end()) {
            glyph = glfont->glyphs.find(L'?');
        }
        width += glyph->second.width + font.spacing;
    }
    return width;
}

} // namespace brl::gui
