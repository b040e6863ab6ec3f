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

// Ops without the grid lines.
std::vector<std::string> ShapeOps(const RecordingCanvas& canvas) {
    std::vector<std::string> ops;
    for (const std::string& op : canvas.Ops()) {
        if (op != "Line") {
            ops.push_back(op);
        }
    }
    return ops;
}

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
        // Everything in view: window pixels are graph units plus 100.
        view.ScrollTo(-100, -100);
    }
    RecordingCanvas Paint() {
        RecordingCanvas canvas;
        view.Paint(canvas);
        return canvas;
    }
    void Use(const Theme& changed) {
        theme = changed;
        view.SetTheme(theme);
    }

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
    EXPECT_EQ(zoomed.calls[2].op, "SetOrigin");
    EXPECT_FLOAT_EQ(zoomed.calls[2].args[0], -33.0f);
    EXPECT_EQ(zoomed.calls[3].op, "SetScale");
    EXPECT_FLOAT_EQ(zoomed.calls[3].args[0], 1.1f);
    const size_t n = zoomed.calls.size();
    EXPECT_EQ(zoomed.calls[n - 2].op, "SetScale");
    EXPECT_EQ(zoomed.calls[n - 2].args[0], 1.0f);
    EXPECT_EQ(zoomed.calls[n - 1].op, "SetOrigin");
}

TEST_F(Painting, TheGridStaysWithinAThousandUnitsOfTheOrigin) {
    Theme gridded = theme;
    gridded.showGrid = true;
    gridded.showCross = true;
    Use(gridded);
    view.ScrollTo(5000, 5000);
    EXPECT_TRUE(Paint().Of("Line").empty());

    // Columns 900..1700 and rows -100..500 are visible.
    view.ScrollTo(900, -100);
    const RecordingCanvas canvas = Paint();
    const auto lines = canvas.Of("Line");
    int vertical = 0;
    int horizontal = 0;
    int axes = 0;
    for (const CanvasCall& line : lines) {
        EXPECT_LE(std::max(line.args[0], line.args[2]), 1000.0f);
        EXPECT_EQ(line.args[4], 1.0f);
        if (line.colours[0] == theme.gridDarkColor) {
            ++axes;
            EXPECT_EQ(line.args[1], 0.0f); // only the horizontal axis is in view
            EXPECT_EQ(line.args[0], 900.0f);
            EXPECT_EQ(line.args[2], 1000.0f);
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
    CNode* farther = Node(5000, 5200, 2, 2);
    graph.Link(Out(far, 0), In(farther, 1));
    view.SelectOnly(far);
    EXPECT_EQ(Paint().calls.size(), drawn);
    // A link into the window from far away is drawn.
    graph.Link(Out(far, 1), In(b, 0));
    EXPECT_EQ(Paint().Of("RoundedPath").size(), 2u);
    // A long name reaches into the window from a node left of it.
    CNode* left = Node(-180, 0, 0, 0);
    left->SetName(L"a name of some length");
    const auto texts = Paint().Of("Text");
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back().text, L"");
    EXPECT_EQ(texts[texts.size() - 2].text, L"a name of some length");
}

TEST_F(Painting, BodiesThenPinsThenLinksAndOnlyDecoratedEntitiesAgainOnTop) {
    EXPECT_EQ(ShapeOps(Paint()),
              (std::vector<std::string>{"Clear", "SetFont", "SetOrigin", "RoundedRectangle", "Text", "Text",
                                        "RoundedRectangle", "Text", "Text", "RoundedRectangle",
                                        "RoundedRectangle", "RoundedPath", "SetOrigin"}));
    view.SelectOnly(a);
    view.MouseMotion(98, 186, {}); // over b's input pin, off the link
    ASSERT_TRUE(view.IsHovered(In(b, 0)));
    const RecordingCanvas canvas = Paint();
    EXPECT_EQ(ShapeOps(canvas),
              (std::vector<std::string>{"Clear", "SetFont", "SetOrigin", "RoundedRectangle", "Text", "Text",
                                        "RoundedRectangle", "Text", "Text", "RoundedRectangle",
                                        "RoundedRectangle", "RoundedPath", "RoundedRectangle", "Text", "Text",
                                        "RoundedRectangle", "SetOrigin"}));
    const auto bodies = canvas.Of("RoundedRectangle");
    // a: plain with its own colour, then selected on top.
    EXPECT_EQ(bodies[0].args, (std::vector<float>{-12, -12, 24, 24, 3, 1.0f}));
    EXPECT_EQ(bodies[0].colours, (std::vector<Colour>{Colour::Rgba(10, 20, 30), theme.outlineColor}));
    EXPECT_EQ(bodies[4].args, (std::vector<float>{-12, -12, 24, 24, 3, 5.0f}));
    EXPECT_EQ(bodies[4].colours, (std::vector<Colour>{theme.selectionFillColor, theme.selectionColor}));
    // b's input pin hovered.
    EXPECT_EQ(bodies[5].args, (std::vector<float>{-12, 76, 12, 12, 2, theme.hoverWidth}));
    EXPECT_EQ(bodies[5].colours, (std::vector<Colour>{theme.hoverFillColor, theme.hoverColor}));
}

TEST_F(Painting, HighlightWinsOverSelectionWhileItIsShown) {
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

TEST_F(Painting, LinksTakeTheLinkColourOrThePinsMixedWithIt) {
    Out(a, 0)->SetColor(Colour::Rgba(255, 0, 0).value);
    In(b, 0)->SetColor(Colour::Rgba(0, 0, 255).value);
    // (255, 0, 0) and (0, 0, 255) give (127, 0, 127, 255); with the link
    // colour (128, 128, 128, 127) that gives (127, 42, 127, 191).
    EXPECT_EQ(Paint().Of("RoundedPath")[0].colours[0], Colour::Rgba(127, 42, 127, 191));
    Theme own = theme;
    own.linkColorFromPins = false;
    Use(own);
    const auto path = Paint().Of("RoundedPath")[0];
    EXPECT_EQ(path.colours[0], Colour::Rgba(0x80, 0x80, 0x80, 0x7f));
    EXPECT_EQ(path.args[0], 5.0f);
}

TEST_F(Painting, LinkShapesFollowTheTheme) {
    // Stepped and rounded: a rounded path along the stepped points.
    const auto rounded = Paint().Of("RoundedPath")[0];
    EXPECT_EQ(rounded.path.Segments().front().start, (Point{-6, 24}));
    EXPECT_EQ(rounded.path.Segments().back().end, (Point{-6, 76}));
    Theme shape = theme;
    shape.steppedLinksRound = false;
    Use(shape);
    EXPECT_EQ(Paint().Of("Polyline")[0].points, view.SteppedLinkPoints(link));
    shape.steppedLinks = false;
    Use(shape);
    EXPECT_EQ(Paint().Of("Curve")[0].points,
              (PointList{{-6, 24}, {-6, 36}, {-6, 42}, {-6, 58}, {-6, 64}, {-6, 76}}));
    shape.linkCornerRadius = 0;
    Use(shape);
    EXPECT_EQ(Paint().Of("Polyline")[0].points, (PointList{{-6, 24}, {-6, 36}, {-6, 64}, {-6, 76}}));
}

TEST_F(Painting, GreyscaleTurnsEveryDrawnColourGrey) {
    Theme grey = Theme::Base();
    grey.outlineColor = Colour::Rgba(0xff, 0, 0);
    grey.fontColor = Colour::Rgba(0, 0x30, 0, 0x40);
    grey.greyscale = true;
    Use(grey);
    const RecordingCanvas canvas = Paint();
    EXPECT_EQ(canvas.Of("RoundedRectangle")[0].colours[1], Colour::Rgba(0x55, 0x55, 0x55));
    EXPECT_EQ(canvas.Of("RoundedRectangle")[0].colours[0], Colour::Rgba(20, 20, 20));
    EXPECT_EQ(canvas.Of("Text")[0].colours[0], Colour::Rgba(0x10, 0x10, 0x10, 0x40));
}

TEST_F(Painting, NodeTextsSitOnTwoLinesOrCentred) {
    auto texts = Paint().Of("Text");
    // a spans x -12..12, y -12..12.
    EXPECT_EQ(texts[0].text, L"lead");
    EXPECT_EQ(texts[0].args, (std::vector<float>{-11, -12}));
    EXPECT_EQ(texts[1].text, L"osc");
    EXPECT_EQ(texts[1].args, (std::vector<float>{-11, -1}));
    EXPECT_EQ(texts[2].text, L""); // b's empty name is drawn as it is
    EXPECT_EQ(texts[0].colours[0], theme.fontColor);

    Theme centred = theme;
    centred.nodeNameCentered = true;
    Use(centred);
    texts = Paint().Of("Text");
    ASSERT_EQ(texts.size(), 2u);                              // b shows nothing
    EXPECT_EQ(texts[0].args, (std::vector<float>{-12, -12})); // 4 letters of 6
    EXPECT_EQ(texts[1].args, (std::vector<float>{-9, -1}));
    a->SetName(L"");
    texts = Paint().Of("Text");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].args, (std::vector<float>{-9, -6}));

    Theme typeOnly = theme;
    typeOnly.nodeNameCentered = false;
    typeOnly.nodeShowName = false;
    Use(typeOnly);
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

TEST_F(Painting, TheConnectingLinkFollowsTheMouseInTheActionColour) {
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

    Theme sharp = theme;
    sharp.linkCornerRadius = 0;
    Use(sharp);
    EXPECT_EQ(Paint().Of("Polyline").back().points, (PointList{{-6, 24}, {-6, 36}, {50, 68}, {50, 80}}));
    view.MouseUp(MouseButton::Left, 150, 180, {});
    EXPECT_TRUE(Paint().Of("Polyline").empty());
}

TEST_F(Painting, TheSelectionRectangleIsDrawnWhileItIsSpanned) {
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
