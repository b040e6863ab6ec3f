#include "gui/canvasstyle.h"

#include <algorithm>
#include <cmath>

namespace brl::gui {

PenStyle PenStyleFor(unsigned alpha, bool fakeAlpha) {
    alpha = std::min(alpha, 255u);
    if (!fakeAlpha) {
        return alpha / 64 == 0 ? PenStyle::Transparent : PenStyle::Solid;
    }
    static constexpr PenStyle kStyles[] = {PenStyle::Transparent, PenStyle::Dotted,   PenStyle::DotDash,
                                           PenStyle::ShortDash,   PenStyle::LongDash, PenStyle::Solid};
    unsigned index = alpha * 3 / 128;
    if (alpha > 0 && index == 0) {
        index = 1;
    }
    return kStyles[index];
}

BrushStyle BrushStyleFor(unsigned alpha, bool fakeAlpha) {
    const unsigned index = std::min(alpha, 255u) / 64;
    if (!fakeAlpha) {
        return index == 0 ? BrushStyle::Transparent : BrushStyle::Solid;
    }
    static constexpr BrushStyle kStyles[] = {BrushStyle::Transparent, BrushStyle::CrossHatch,
                                             BrushStyle::DiagonalCrossHatch, BrushStyle::Solid};
    return kStyles[index];
}

Colour FakeAntialiasColour(Colour stroke, Colour background) {
    return Colour::Rgba((stroke.R() + 2 * background.R()) / 3, (stroke.G() + 2 * background.G()) / 3,
                        (stroke.B() + 2 * background.B()) / 3, 255);
}

GlyphAtlasLayout LayoutGlyphAtlas(int glyphCount, int glyphWidth, int glyphHeight, int margin) {
    GlyphAtlasLayout layout;
    const int n = std::max(glyphCount, 1);
    layout.columns = std::max(1, static_cast<int>(std::floor(std::sqrt(static_cast<double>(n)))));
    layout.rows = (n + layout.columns - 1) / layout.columns;
    layout.margin = std::max(margin, 0);
    layout.cellWidth = std::max(glyphWidth, 1) + 2 * layout.margin;
    layout.cellHeight = std::max(glyphHeight, 1) + 2 * layout.margin;
    const int extent = std::max({64, layout.columns * layout.cellWidth, layout.rows * layout.cellHeight});
    layout.textureSize = 1;
    while (layout.textureSize < extent) {
        layout.textureSize *= 2;
    }
    return layout;
}

} // namespace brl::gui
