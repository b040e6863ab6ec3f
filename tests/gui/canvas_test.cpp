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
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseColour(c.text), c.expected) << brl::ToUtf8(c.text);
    }
    for (const wchar_t* text :
         {L"#ffffcc,f", L"#ffffcc,fff", L"#ffffcg,ff", L"ffffccc,ff", L"#ffffcc;ff", L""}) {
        EXPECT_EQ(ParseColour(text), Colour::Rgba(0, 0, 0)) << brl::ToUtf8(text);
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

// Node texts: the theme colour where it reads, else black or white.
TEST(ColourContrast, TextKeepsItsColourWhereItReadsAndOtherwiseTurnsBlackOrWhite) {
    const Colour grey = Colour::Rgba(0x80, 0x80, 0x80);
    EXPECT_EQ(ReadableOn(grey, Colour::Rgba(0x10, 0x10, 0x10)), grey);
    EXPECT_EQ(ReadableOn(grey, Colour::Rgba(0xFF, 0xFF, 0xFF)), Colour::Rgba(0, 0, 0));
    EXPECT_EQ(ReadableOn(grey, Colour::Rgba(0xFF, 0x00, 0xFF)), Colour::Rgba(0, 0, 0));
    EXPECT_EQ(ReadableOn(grey, Colour::Rgba(0x00, 0x00, 0xA0)), Colour::Rgba(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(ReadableOn(grey.WithAlpha(0x40), Colour::Rgba(0xFF, 0xFF, 0xFF)), Colour::Rgba(0, 0, 0, 0x40));
    EXPECT_EQ(ReadableOn(grey, Colour::Rgba(0xFF, 0xFF, 0xFF, 0x80)), grey); // a see-through fill
}

} // namespace
