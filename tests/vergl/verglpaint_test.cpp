#include "verglui_fixture.h"

#include "support/recording_canvas.h"

#include <algorithm>

namespace verglui {
namespace {

using brl::gui::Colour;
using brl::gui::Point;
using brl::gui::PointList;
using brl::testing::CanvasCall;
using brl::testing::RecordingCanvas;
using Ops = std::vector<std::string>;

// Ops without the grid lines.
Ops ShapeOps(const RecordingCanvas& canvas) {
    Ops ops = canvas.Ops();
    ops.erase(std::remove(ops.begin(), ops.end(), "Line"), ops.end());
    return ops;
}

// Node a (named, commented, coloured) linked from its output to the input of b below it.
class Painting : public ViewFixture {
protected:
    Painting() {
        theme = Theme::Dark();
        theme.showGrid = false;
        theme.showCross = false;
        view.SetTheme(theme);
        a = Node(0, 0, 0, 1);
        a->SetName(L"lead");
        a->SetComment(L"osc");
        a->SetColor(Colour::Rgba(10, 20, 30).value);
        b = Node(0, 100, 1, 0);
        link = graph.Link(Out(a, 0), In(b, 0));
        view.ScrollTo(-100, -100); // window pixels are graph units plus 100
    }
    RecordingCanvas Paint() {
        RecordingCanvas canvas;
        view.Paint(canvas);
        return canvas;
    }
    CanvasCall LinkPath() { return Paint().Of("RoundedPath").at(0); }

    Theme theme;
    CNode* a;
    CNode* b;
    CLink* link;
};

TEST_F(Painting, AFrameStartsClearWithTheFontAndEndsWithTheTransformUndone) {
    view.ScrollTo(30, 40);
    RecordingCanvas plain = Paint();
    ASSERT_GE(plain.calls.size(), 4u);
    EXPECT_EQ(plain.calls[0].op, "Clear");
    EXPECT_EQ(plain.calls[0].colours[0], Colour::Rgba(0x20, 0x20, 0x20));
    EXPECT_EQ(plain.calls[1].op, "SetFont");
    EXPECT_EQ(plain.calls[1].args, (std::vector<float>{10.0f, 1.0f, 0.0f, 0.0f}));
    EXPECT_EQ(plain.calls[2].op, "SetOrigin");
    EXPECT_EQ(plain.calls[2].args, (std::vector<float>{-30.0f, -40.0f}));
    EXPECT_TRUE(plain.Of("SetScale").empty());
    EXPECT_EQ(plain.calls.back().op, "SetOrigin");
    EXPECT_EQ(plain.calls.back().args, (std::vector<float>{0.0f, 0.0f}));
    view.MouseWheel(120, 0, 0);
    RecordingCanvas zoomed = Paint();
    EXPECT_FLOAT_EQ(zoomed.calls[2].args[0], -33.0f);
    EXPECT_EQ(zoomed.calls[3].op, "SetScale");
    EXPECT_FLOAT_EQ(zoomed.calls[3].args[0], 1.1f);
    const size_t n = zoomed.calls.size();
    EXPECT_EQ(zoomed.calls[n - 2].op, "SetScale");
    EXPECT_EQ(zoomed.calls[n - 2].args[0], 1.0f);
    EXPECT_EQ(zoomed.calls[n - 1].op, "SetOrigin");
}

TEST_F(Painting, TheGridStaysWithinAThousandUnitsOfTheOrigin) {
    theme.showGrid = true;
    theme.showCross = true;
    view.SetTheme(theme);
    view.ScrollTo(5000, 5000);
    EXPECT_TRUE(Paint().Of("Line").empty());
    // Columns 900..1700 and rows -100..500 are visible.
    view.ScrollTo(900, -100);
    int vertical = 0;
    int horizontal = 0;
    int axes = 0;
    for (const CanvasCall& line : Paint().Of("Line")) {
        EXPECT_LE(std::max(line.args[0], line.args[2]), 1000.0f);
        EXPECT_EQ(line.args[4], 1.0f);
        if (line.colours[0] == theme.gridDarkColor) {
            ++axes; // only the horizontal axis is in view
            EXPECT_EQ(line.args, (std::vector<float>{900, 0, 1000, 0, 1}));
        } else if (line.args[0] == line.args[2]) {
            ++vertical;
            EXPECT_EQ(static_cast<int>(line.args[0]) % 12, 0);
            EXPECT_EQ(line.args[1], -100.0f);
            EXPECT_EQ(line.args[3], 502.0f);
        } else {
            ++horizontal;
        }
    }
    EXPECT_EQ(vertical, 8);    // 912 .. 996
    EXPECT_EQ(horizontal, 50); // -96 .. 492
    EXPECT_EQ(axes, 1);
}

TEST_F(Painting, WhatLiesWhollyOutsideTheWindowIsLeftOut) {
    const size_t drawn = Paint().calls.size();
    CNode* far = Node(5000, 5000, 2, 2);
    graph.Link(Out(far, 0), In(Node(5000, 5200, 2, 2), 1));
    view.SelectOnly(far);
    EXPECT_EQ(Paint().calls.size(), drawn);
    // A link into the window from far away is drawn.
    graph.Link(Out(far, 1), In(b, 0));
    EXPECT_EQ(Paint().Of("RoundedPath").size(), 2u);
    // A long name reaches into the window from a node left of it.
    Node(-180, 0, 0, 0)->SetName(L"a name of some length");
    const auto texts = Paint().Of("Text");
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2].text, L"a name of some length");
}

TEST_F(Painting, BodiesThenPinsThenLinksAndOnlyDecoratedEntitiesAgainOnTop) {
    const Ops plain{"Clear",
                    "SetFont",
                    "SetOrigin",
                    "RoundedRectangle",
                    "Text",
                    "Text",
                    "RoundedRectangle",
                    "Text",
                    "Text",
                    "RoundedRectangle",
                    "RoundedRectangle",
                    "RoundedPath",
                    "SetOrigin"};
    EXPECT_EQ(ShapeOps(Paint()), plain);
    view.SelectOnly(a);
    view.MouseMotion(98, 186, {}); // over b's input pin, off the link
    ASSERT_TRUE(view.IsHovered(In(b, 0)));
    const RecordingCanvas canvas = Paint();
    Ops decorated = plain;
    decorated.insert(decorated.end() - 1, {"RoundedRectangle", "Text", "Text", "RoundedRectangle"});
    EXPECT_EQ(ShapeOps(canvas), decorated);
    const auto bodies = canvas.Of("RoundedRectangle");
    // a: plain with its own colour, then selected on top; then b's input pin hovered.
    EXPECT_EQ(bodies[0].args, (std::vector<float>{-12, -12, 24, 24, 3, 1.0f}));
    EXPECT_EQ(bodies[0].colours, (std::vector<Colour>{Colour::Rgba(10, 20, 30), theme.outlineColor}));
    EXPECT_EQ(bodies[4].args, (std::vector<float>{-12, -12, 24, 24, 3, 5.0f}));
    EXPECT_EQ(bodies[4].colours, (std::vector<Colour>{theme.selectionFillColor, theme.selectionColor}));
    EXPECT_EQ(bodies[5].args, (std::vector<float>{-12, 76, 12, 12, 2, theme.hoverWidth}));
    EXPECT_EQ(bodies[5].colours, (std::vector<Colour>{theme.hoverFillColor, theme.hoverColor}));
}

TEST_F(Painting, LinksMixThePinColoursWithTheLinkColourAndHighlightWinsOverSelection) {
    Out(a, 0)->SetColor(Colour::Rgba(255, 0, 0).value);
    In(b, 0)->SetColor(Colour::Rgba(0, 0, 255).value);
    // The pins give (127, 0, 127, 255); with the link colour (128, 128, 128, 127), (127, 42, 127, 191).
    EXPECT_EQ(LinkPath().colours[0], Colour::Rgba(127, 42, 127, 191));
    theme.linkColorFromPins = false;
    view.SetTheme(theme);
    EXPECT_EQ(LinkPath().colours[0], Colour::Rgba(0x80, 0x80, 0x80, 0x7f));
    EXPECT_EQ(LinkPath().args[0], 5.0f);

    view.SelectOnly(link);
    view.SetHighlight({link});
    auto paths = Paint().Of("RoundedPath");
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[1].colours[0], theme.highlightColor);
    EXPECT_EQ(paths[1].args[0], theme.highlightWidth);
    Behaviours behaviours;
    behaviours.showHighlight = false;
    view.SetBehaviours(behaviours);
    paths = Paint().Of("RoundedPath");
    EXPECT_EQ(paths[1].colours[0], theme.selectionColor);
    EXPECT_EQ(paths[1].args[0], theme.selectionWidth);
}

TEST_F(Painting, LinkShapesFollowTheTheme) {
    EXPECT_EQ(LinkPath().path.Segments().front().start, (Point{-6, 24}));
    EXPECT_EQ(LinkPath().path.Segments().back().end, (Point{-6, 76}));
    theme.steppedLinksRound = false;
    view.SetTheme(theme);
    EXPECT_EQ(Paint().Of("Polyline")[0].points, view.SteppedLinkPoints(link));
    theme.steppedLinks = false;
    view.SetTheme(theme);
    EXPECT_EQ(Paint().Of("Curve")[0].points,
              (PointList{{-6, 24}, {-6, 36}, {-6, 42}, {-6, 58}, {-6, 64}, {-6, 76}}));
    theme.linkCornerRadius = 0;
    view.SetTheme(theme);
    EXPECT_EQ(Paint().Of("Polyline")[0].points, (PointList{{-6, 24}, {-6, 36}, {-6, 64}, {-6, 76}}));
}

TEST_F(Painting, GreyscaleTurnsEveryDrawnColourGrey) {
    theme = Theme::Base();
    theme.outlineColor = Colour::Rgba(0xff, 0, 0);
    theme.fontColor = Colour::Rgba(0, 0x30, 0, 0x40);
    theme.greyscale = true;
    view.SetTheme(theme);
    const RecordingCanvas canvas = Paint();
    EXPECT_EQ(canvas.Of("RoundedRectangle")[0].colours,
              (std::vector<Colour>{Colour::Rgba(20, 20, 20), Colour::Rgba(0x55, 0x55, 0x55)}));
    EXPECT_EQ(canvas.Of("Text")[0].colours[0], Colour::Rgba(0x10, 0x10, 0x10, 0x40));
}

TEST_F(Painting, NodeTextsSitOnTwoLinesOrCentred) {
    auto texts = Paint().Of("Text"); // a spans x -12..12, y -12..12
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0].text, L"lead");
    EXPECT_EQ(texts[0].args, (std::vector<float>{-11, -12}));
    EXPECT_EQ(texts[0].colours[0], theme.fontColor);
    EXPECT_EQ(texts[1].text, L"osc");
    EXPECT_EQ(texts[1].args, (std::vector<float>{-11, -1}));
    theme.nodeNameCentered = true;
    view.SetTheme(theme);
    texts = Paint().Of("Text");
    ASSERT_EQ(texts.size(), 2u);                              // b shows nothing
    EXPECT_EQ(texts[0].args, (std::vector<float>{-12, -12})); // 4 letters of 6
    EXPECT_EQ(texts[1].args, (std::vector<float>{-9, -1}));
    a->SetName(L"");
    texts = Paint().Of("Text");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].args, (std::vector<float>{-9, -6}));
    theme.nodeNameCentered = false;
    theme.nodeShowName = false;
    view.SetTheme(theme);
    texts = Paint().Of("Text");
    EXPECT_EQ(texts[0].text, L"osc");
    EXPECT_EQ(texts[0].args, (std::vector<float>{-11, -6})); // one text line: a is 12 high
}

TEST_F(Painting, APinOfStyleOneGetsFourBlackSquares) {
    Out(a, 0)->SetStyle(1);
    const auto squares = Paint().Of("Rectangle");
    ASSERT_EQ(squares.size(), 4u);
    // The pin spans x -12..0, y 12..24: squares of 2.4 at 1/5 and 3/5.
    EXPECT_FLOAT_EQ(squares[0].args[0], -12 + 2.4f);
    EXPECT_FLOAT_EQ(squares[0].args[1], 12 + 2.4f);
    EXPECT_FLOAT_EQ(squares[3].args[0], -12 + 7.2f);
    EXPECT_FLOAT_EQ(squares[3].args[3], 12 + 9.6f);
    for (const CanvasCall& square : squares) {
        EXPECT_EQ(square.colours, (std::vector<Colour>{Colour::Rgba(0, 0, 0), Colour(0)}));
    }
}

TEST_F(Painting, TheConnectingLinkAndTheSelectionRectangleAreDrawnWhileTheirGestureLasts) {
    view.MouseDown(MouseButton::Left, 94, 118, {});
    view.MouseMotion(150, 180, {});
    RecordingCanvas canvas = Paint();
    const auto ops = ShapeOps(canvas);
    ASSERT_GE(ops.size(), 2u);
    EXPECT_EQ(ops[ops.size() - 2], "Curve");
    const CanvasCall curve = canvas.Of("Curve").back();
    EXPECT_EQ(curve.points, (PointList{{-6, 24}, {-6, 36}, {-6, 42}, {50, 68}, {50, 74}, {50, 80}}));
    EXPECT_EQ(curve.colours[0], theme.actionColor);
    EXPECT_EQ(curve.args[0], theme.actionWidth);
    theme.linkCornerRadius = 0;
    view.SetTheme(theme);
    EXPECT_EQ(Paint().Of("Polyline").back().points, (PointList{{-6, 24}, {-6, 36}, {50, 68}, {50, 80}}));
    view.MouseUp(MouseButton::Left, 150, 180, {});
    EXPECT_TRUE(Paint().Of("Polyline").empty());

    const Modifiers shift{false, true};
    view.MouseDown(MouseButton::Left, 300, 300, shift);
    view.MouseMotion(240, 350, shift);
    const auto rectangles = Paint().Of("Rectangle");
    ASSERT_EQ(rectangles.size(), 1u);
    EXPECT_EQ(rectangles[0].args, (std::vector<float>{140, 200, 200, 250, 1.0f}));
    EXPECT_EQ(rectangles[0].colours, (std::vector<Colour>{theme.selectionFillColor, theme.selectionColor}));
}

} // namespace
} // namespace verglui
