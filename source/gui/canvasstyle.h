#pragma once

#include "gui/canvas.h"

// How the backends turn colours into pens, brushes and glyph textures. These
// are decisions without a toolkit, kept here so that they are checked on
// their own; the backends in the "gui" library apply them.
//
// Threads: pure functions, any thread.
namespace brl::gui {

// Pen styles a device context without alpha can draw, from faint to opaque.
enum class PenStyle { Transparent, Dotted, DotDash, ShortDash, LongDash, Solid };
// Brush styles likewise.
enum class BrushStyle { Transparent, CrossHatch, DiagonalCrossHatch, Solid };

// Without FakeAlpha, alpha 0..63 gives a transparent pen and 64..255 a solid
// one. With FakeAlpha, (alpha x 3) / 128 picks transparent, dotted, dot-dash,
// short dash, long dash or solid, except that any alpha above 0 draws at least
// dotted: a faint colour stays visible as a sparse line.
PenStyle PenStyleFor(unsigned alpha, bool fakeAlpha);
// alpha / 64 picks transparent, solid, solid, solid; with FakeAlpha
// transparent, cross hatch, diagonal cross hatch, solid.
BrushStyle BrushStyleFor(unsigned alpha, bool fakeAlpha);

// The colour of the FakeAA under-stroke: a third of the way from the
// background to the stroke colour, (stroke + 2 x background) / 3 per channel,
// opaque. It is drawn one unit wider than the stroke, before it.
Colour FakeAntialiasColour(Colour stroke, Colour background);

// Where the glyphs of one font go in a square texture: floor(sqrt(n)) columns,
// ceil(n / columns) rows, each cell the largest glyph plus a margin on every
// side, and the texture edge the next power of two not below the larger of 64
// and the grid's extent.
struct GlyphAtlasLayout {
    int columns = 0;
    int rows = 0;
    int cellWidth = 0;  // glyph width plus both margins
    int cellHeight = 0; // glyph height plus both margins
    int margin = 0;
    int textureSize = 0;

    // Top-left corner of glyph i's cell.
    int CellX(int glyph) const { return (glyph % columns) * cellWidth; }
    int CellY(int glyph) const { return (glyph / columns) * cellHeight; }
};
GlyphAtlasLayout LayoutGlyphAtlas(int glyphCount, int glyphWidth, int glyphHeight, int margin);

} // namespace brl::gui
