#include "gui/canvas.h"
#include "gui/canvasstyle.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace brl::gui;

TEST(ColourText, ReadsExactlyTenCharactersAndAnythingElseIsOpaqueBlack) {
    const struct {
        const wchar_t* text;
        Colour expected;
    } cases[] = {
        {L"#ffffcc,ff", Colour::Rgba(0xff, 0xff, 0xcc, 0xff)},
        {L"#12AbEf,7F", Colour::Rgba(0x12, 0xab, 0xef, 0x7f)},
        {L"#000000,00", Colour(0)},
        {L"#ffffcc,f", Colour::Rgba(0, 0, 0)},
        {L"#ffffcc,fff", Colour::Rgba(0, 0, 0)},
        {L"#ffffcg,ff", Colour::Rgba(0, 0, 0)},
        {L"ffffccc,ff", Colour::Rgba(0, 0, 0)},
        {L"#ffffcc;ff", Colour::Rgba(0, 0, 0)},
        {L"", Colour::Rgba(0, 0, 0)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseColour(c.text), c.expected) << brl::ToUtf8(c.text);
    }
    EXPECT_EQ(FormatColour(Colour::Rgba(0x12, 0xab, 0xef, 0x7f)), L"#12abef,7f");
    EXPECT_EQ(ParseColour(FormatColour(Colour(0x80ccddeeu))), Colour(0x80ccddeeu));
}

TEST(ColourRules, MixingWeighsByAlphaAndTwoInvisibleColoursMixToNothing) {
    EXPECT_EQ(MixColours(Colour::Rgba(200, 0, 100, 255), Colour::Rgba(0, 90, 100, 85)),
              Colour::Rgba(150, 22, 100, 170));
    EXPECT_EQ(MixColours(Colour::Rgba(200, 0, 100, 0), Colour::Rgba(0, 90, 30, 0)), Colour(0));
    EXPECT_EQ(MixColours(Colour::Rgba(200, 10, 100, 0), Colour::Rgba(0, 90, 30, 2)),
              Colour::Rgba(0, 90, 30, 1));
    EXPECT_EQ(Greyscale(Colour::Rgba(0xff, 0, 0, 0xff)), Colour::Rgba(0x55, 0x55, 0x55, 0xff));
    EXPECT_EQ(Greyscale(Colour::Rgba(1, 1, 2, 9)), Colour::Rgba(1, 1, 1, 9));
}

TEST(ToolkitPens, AlphaPicksThePenAndBrushStyleAndTheFakeAntialiasColour) {
    using P = PenStyle;
    using B = BrushStyle;
    const struct {
        unsigned alpha;
        PenStyle pen, fakePen;
        BrushStyle brush, fakeBrush;
    } cases[] = {
        {0, P::Transparent, P::Transparent, B::Transparent, B::Transparent},
        {1, P::Transparent, P::Dotted, B::Transparent, B::Transparent},
        {63, P::Transparent, P::Dotted, B::Transparent, B::Transparent},
        {64, P::Solid, P::Dotted, B::Solid, B::CrossHatch},
        {86, P::Solid, P::DotDash, B::Solid, B::CrossHatch},
        {127, P::Solid, P::DotDash, B::Solid, B::CrossHatch},
        {128, P::Solid, P::ShortDash, B::Solid, B::DiagonalCrossHatch},
        {171, P::Solid, P::LongDash, B::Solid, B::DiagonalCrossHatch},
        {213, P::Solid, P::LongDash, B::Solid, B::Solid},
        {214, P::Solid, P::Solid, B::Solid, B::Solid},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PenStyleFor(c.alpha, false), c.pen) << c.alpha;
        EXPECT_EQ(PenStyleFor(c.alpha, true), c.fakePen) << c.alpha;
        EXPECT_EQ(BrushStyleFor(c.alpha, false), c.brush) << c.alpha;
        EXPECT_EQ(BrushStyleFor(c.alpha, true), c.fakeBrush) << c.alpha;
    }
    // The fake antialias stroke lies a third of the way from the background.
    EXPECT_EQ(FakeAntialiasColour(Colour::Rgba(255, 0, 90, 40), Colour::Rgba(0, 30, 0)),
              Colour::Rgba(85, 20, 30, 255));
    EXPECT_EQ(FakeAntialiasColour(Colour::Rgba(16, 16, 16), Colour::Rgba(16, 16, 16)),
              Colour::Rgba(16, 16, 16));
}

TEST(GlyphAtlas, CellsFormANearSquareGridInAPowerOfTwoTexture) {
    const GlyphAtlasLayout printable = LayoutGlyphAtlas(191, 9, 15, 2);
    EXPECT_EQ(printable.columns, 13);
    EXPECT_EQ(printable.rows, 15);
    EXPECT_EQ(printable.cellWidth, 13);
    EXPECT_EQ(printable.cellHeight, 19);
    EXPECT_EQ(printable.textureSize, 512); // the grid is 169 x 285
    EXPECT_EQ(printable.CellX(14), 13);
    EXPECT_EQ(printable.CellY(14), 19);
    EXPECT_EQ(LayoutGlyphAtlas(4, 5, 5, 1).textureSize, 64);
    EXPECT_EQ(LayoutGlyphAtlas(9, 20, 20, 6).textureSize, 128); // exactly 96 wide: 3 x 32
    EXPECT_EQ(LayoutGlyphAtlas(16, 16, 16, 0).textureSize, 64); // exactly 64
}

float Distance(Point a, Point b) {
    return std::hypot(a.x - b.x, a.y - b.y);
}

TEST(Paths, RoundedCornersAreQuarterArcsThatShrinkOnShortPiecesAndStraightCornersStayLines) {
    const Path path = RoundCorners({{0, 0}, {0, 30}, {100, 30}, {100, 40}}, 6);
    ASSERT_EQ(path.Segments().size(), 5u);
    const PathSegment& first = path.Segments()[1];
    EXPECT_EQ(first.kind, PathSegment::Kind::Arc);
    EXPECT_NEAR(first.radius, 6.0f, 1e-5f);
    EXPECT_NEAR(first.centre.x, 6.0f, 1e-5f);
    EXPECT_NEAR(first.centre.y, 24.0f, 1e-5f);
    EXPECT_NEAR(std::fabs(first.sweep), 3.14159265f / 2, 1e-5f);
    EXPECT_NEAR(Distance(first.start, {0, 24}), 0.0f, 1e-4f);
    EXPECT_NEAR(Distance(first.end, {6, 30}), 0.0f, 1e-4f);
    // A piece of 4 between two corners leaves each of them 2.
    const Path tight = RoundCorners({{0, 0}, {0, 30}, {4, 30}, {4, 60}}, 6);
    EXPECT_NEAR(tight.Segments()[1].radius, 2.0f, 1e-5f);
    // Every flattened point of an arc lies on its circle.
    Path arc;
    arc.AddArc({10, 10}, 5, 0.0f, 3.0f);
    for (const Point& p : arc.Flatten(0.5f)) {
        EXPECT_NEAR(Distance(p, {10, 10}), 5.0f, 1e-4f);
    }
    // Straight-on and reversed corners get no arc.
    const Path straight = RoundCorners({{0, 0}, {0, 10}, {0, 10}, {0, 40}}, 6);
    for (const PathSegment& s : straight.Segments()) {
        EXPECT_EQ(s.kind, PathSegment::Kind::Line);
    }
    EXPECT_EQ(straight.Flatten().back(), (Point{0, 40}));
    const Path back = RoundCorners({{0, 0}, {0, 10}, {0, 5}}, 6);
    EXPECT_EQ(back.Segments().size(), 2u);
    EXPECT_TRUE(RoundCorners({{3, 3}}, 6).Empty());
}

TEST(Paths, TheSixPointCurvePassesThroughPointsOneThreeFourAndSixSmoothly) {
    const PointList p = {{0, 0}, {0, 12}, {0, 18}, {100, 82}, {100, 88}, {100, 100}};
    const Path curve = CurvePath(p);
    ASSERT_EQ(curve.Segments().size(), 3u);
    EXPECT_EQ(curve.Segments()[0].start, p[0]);
    EXPECT_EQ(curve.Segments()[0].end, p[2]);
    EXPECT_EQ(curve.Segments()[1].end, p[3]);
    EXPECT_EQ(curve.Segments()[2].end, p[5]);
    // Leaving point 3 the way it arrived, entering point 4 the way it leaves.
    const PathSegment& middle = curve.Segments()[1];
    EXPECT_EQ(middle.control1.x, 0.0f);
    EXPECT_GT(middle.control1.y, 18.0f);
    EXPECT_EQ(middle.control2.x, 100.0f);
    EXPECT_LT(middle.control2.y, 82.0f);
    EXPECT_TRUE(CurvePath({{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}}).Empty());
}

TEST(Paths, TheSplinePassesThroughEveryPoint) {
    const PointList p = {{0, 0}, {10, 30}, {40, 20}, {60, 60}};
    const Path spline = SplinePath(p);
    ASSERT_EQ(spline.Segments().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(spline.Segments()[i].start, p[i]);
        EXPECT_EQ(spline.Segments()[i].end, p[i + 1]);
    }
    EXPECT_TRUE(SplinePath({{1, 1}}).Empty());
}

} // namespace
