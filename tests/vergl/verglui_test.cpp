#include "support/recording_canvas.h"
#include "vergl/verglui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace verglui {
namespace {

using namespace brl::vergl;
using brl::gui::Colour;
using brl::testing::RecordingCanvas;

// A window-less view on a test clock.
class TestView : public CUi {
public:
    TestView() { SetViewSize(800.0f, 600.0f); }
    void RequestRedraw() override {}
    uint64_t NowMilliseconds() const override { return 1000; }
};

// Journals every request and accepts it.
class TestOwner : public IUiHandler {
public:
    void SelectionsChanged() override { calls.push_back("selections"); }
    bool ConnectRequested(CPin* a, CPin* b) override {
        calls.push_back("connect");
        connects.emplace_back(a, b);
        return true;
    }
    bool DeleteLinkRequested(CLink*) override { return calls.push_back("delete link"), true; }
    bool DeleteNodeRequested(CNode*) override { return calls.push_back("delete node"), true; }
    void ContextRequested() override { calls.push_back("context"); }
    void NodesMoved(const std::vector<NodeMove>& m) override {
        calls.push_back("moved");
        moves = m;
    }

    std::vector<std::string> calls;
    std::vector<std::pair<CPin*, CPin*>> connects;
    std::vector<NodeMove> moves;
};

// A graph shown in a test view with a test owner, at scroll (0, 0) and zoom 1 so that
// window pixels equal graph units; the theme and behaviours are for a test to change.
class ViewFixture : public ::testing::Test {
protected:
    ViewFixture() {
        view.SetGraph(&graph);
        view.SetHandler(&owner);
    }
    ~ViewFixture() override { view.SetGraph(nullptr); }

    // A node at (x, y) with the given pins on top (inputs) and bottom (outputs).
    CNode* Node(int32_t x, int32_t y, size_t inputs, size_t outputs) {
        CNode* node = graph.CreateNode();
        graph.SetPinCount(node->Inputs(), inputs);
        graph.SetPinCount(node->Outputs(), outputs);
        node->SetPosition(x, y);
        return node;
    }
    static CPin* In(CNode* node, size_t i) { return node->Inputs().At(i); }
    static CPin* Out(CNode* node, size_t i) { return node->Outputs().At(i); }

    void Press(float x, float y, Modifiers m = {}) { view.MouseDown(MouseButton::Left, x, y, m); }
    void Move(float x, float y, Modifiers m = {}) { view.MouseMotion(x, y, m); }
    void Release(float x, float y, Modifiers m = {}) { view.MouseUp(MouseButton::Left, x, y, m); }
    void Drag(float x0, float y0, float x1, float y1, Modifiers m = {}) {
        Press(x0, y0, m);
        Move((x0 + x1) / 2, (y0 + y1) / 2, m);
        Move(x1, y1, m);
        Release(x1, y1, m);
    }

    CVergl graph;
    TestView view;
    TestOwner owner;
    Theme theme;
    Behaviours behaviours;
};

using HitTesting = ViewFixture;

// A node at (100, 100) with two inputs and one output spans x and y 88..112; its
// input pins lie on y 76..88, its output pin on y 112..124.
TEST_F(HitTesting, PinEdgesBelongToOneEntitySidePinsToNoneAndLaterNodesWin) {
    CNode* node = Node(100, 100, 2, 1);
    const struct {
        int32_t x, y;
        CEntity* expected;
    } cases[] = {{88, 76, In(node, 0)},   {99, 87, In(node, 0)},   {100, 80, In(node, 1)},
                 {111, 87, In(node, 1)},  {112, 80, nullptr},      {95, 75, nullptr},
                 {95, 88, node},          {87, 100, nullptr},      {111, 111, node},
                 {95, 112, Out(node, 0)}, {95, 123, Out(node, 0)}, {95, 124, nullptr},
                 {100, 118, nullptr}};
    for (const auto& c : cases) {
        EXPECT_EQ(view.HitTest(c.x, c.y), c.expected) << "at " << c.x << "," << c.y;
    }

    CNode* below = Node(0, 0, 0, 0);
    graph.SetPinCount(below->Pins(kLocationLeft), 1);
    const NodeRect side = view.PinBounds(below->Pins(kLocationLeft).At(0));
    EXPECT_EQ(side.left, -24);
    EXPECT_EQ(view.HitTest(side.left + 2, side.top + 2), nullptr);
    EXPECT_TRUE(view.HitAll(side.left + 2, side.top + 2).empty());
    CNode* above = Node(10, 10, 0, 0);
    EXPECT_EQ(view.HitTest(5, 5), above);
    EXPECT_EQ(view.HitAll(5, 5), (std::vector<CEntity*>{below, above}));
}

using Zooming = ViewFixture;

TEST_F(Zooming, StepsReturnExactlyToTheDefaultZoomAndKeepTheGraphPointUnderTheCursor) {
    view.ScrollTo(40, -30);
    const auto underX = [this] { return 300 / view.Zoom() + view.ScrollX(); };
    const auto underY = [this] { return 250 / view.Zoom() + view.ScrollY(); };
    const double graphX = underX();
    const double graphY = underY();
    for (int i = 0; i < 10; ++i) {
        view.MouseWheel(120, 300, 250);
    }
    EXPECT_EQ(view.ZoomSteps(), 10);
    EXPECT_NEAR(view.Zoom(), std::pow(Theme().zoomStep, 10), 1e-9);
    EXPECT_NEAR(underX(), graphX, 1e-9);
    EXPECT_NEAR(underY(), graphY, 1e-9);
    for (int i = 0; i < 10; ++i) {
        view.MouseWheel(-120, 300, 250);
    }
    EXPECT_EQ(view.ZoomSteps(), 0);
    EXPECT_EQ(view.Zoom(), 1.0);
    EXPECT_NEAR(view.ScrollX(), 40.0, 1e-9);
    EXPECT_NEAR(view.ScrollY(), -30.0, 1e-9);
}

using Selecting = ViewFixture;

TEST_F(Selecting, DraggingMovesTheWholeSelectionAndSnapsOnlyWhenReleased) {
    CNode* a = Node(0, 0, 0, 0);
    CNode* b = Node(100, 0, 0, 0);
    view.SetSelection({a, b});
    owner.calls.clear();
    Drag(100, 0, 130, 20);
    EXPECT_EQ(a->X(), 30);
    EXPECT_EQ(a->Y(), 20);
    EXPECT_EQ(b->X(), 130);
    EXPECT_EQ(owner.calls, (std::vector<std::string>{"moved"}));
    ASSERT_EQ(owner.moves.size(), 2u);
    EXPECT_EQ(owner.moves[0].node, a);
    EXPECT_EQ(owner.moves[0].fromX, 0);
    EXPECT_EQ(owner.moves[0].toX, 30);

    behaviours.alignToGrid = true;
    view.SetBehaviours(behaviours);
    CNode* node = Node(0, 300, 0, 0);
    Press(5, 305);
    EXPECT_EQ(view.Cursor(), UiCursor::Move);
    Move(22, 330);
    EXPECT_EQ(node->X(), 17);
    EXPECT_EQ(node->Y(), 325);
    Release(22, 330);
    EXPECT_EQ(node->X(), 12);
    EXPECT_EQ(node->Y(), 324);
    ASSERT_EQ(owner.moves.size(), 1u);
    EXPECT_EQ(owner.moves[0].toY, 324);
}

TEST_F(Selecting, RemovedEntitiesLeaveEverySet) {
    CNode* a = Node(0, 0, 1, 0);
    CNode* b = Node(0, -100, 0, 1);
    CLink* link = graph.Link(Out(b, 0), In(a, 0));
    view.SetSelection({In(a, 0), link, b});
    view.SetHighlight({a, link});
    Move(0, 0);
    EXPECT_TRUE(view.IsHovered(a));
    owner.calls.clear();
    graph.DestroyNode(a);
    EXPECT_EQ(view.Selection(), (std::vector<CEntity*>{b}));
    EXPECT_TRUE(view.HoverSet().empty());
    EXPECT_FALSE(view.IsHighlighted(link));
    EXPECT_NE(std::find(owner.calls.begin(), owner.calls.end(), "selections"), owner.calls.end());
}

using Gestures = ViewFixture;

TEST_F(Gestures, ADragFromAnOutputToAnotherNodesInputRequestsExactlyThatLink) {
    CNode* a = Node(0, 0, 2, 2);
    CNode* b = Node(200, 200, 2, 0);
    Press(6, 18);
    EXPECT_EQ(view.Focus(), Out(a, 1));
    EXPECT_EQ(view.CurrentGesture(), Gesture::Linking);
    EXPECT_EQ(view.Cursor(), UiCursor::Link);
    Move(100, 100);
    Move(190, 180);
    Release(190, 180);
    ASSERT_EQ(owner.connects.size(), 1u);
    EXPECT_EQ(owner.connects[0], std::make_pair(Out(a, 1), In(b, 0)));
    EXPECT_TRUE(graph.Links().Empty()); // the view itself made nothing
    EXPECT_EQ(view.CurrentGesture(), Gesture::None);
    // Away from any pin, back on the same pin or on the same node's input: nothing.
    Drag(6, 18, 300, 300);
    Drag(6, 18, 6, 18);
    Drag(6, 18, 6, -18);
    EXPECT_EQ(owner.connects.size(), 1u);
    EXPECT_EQ(view.Focus(), Out(a, 1));
}

// Painting ----------------------------------------------------------------------

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
        graph.Link(Out(a, 0), In(b, 0));
        view.ScrollTo(-100, -100); // window pixels are graph units plus 100
    }
    RecordingCanvas Paint() {
        RecordingCanvas canvas;
        view.Paint(canvas);
        return canvas;
    }

    CNode* a;
    CNode* b;
};

TEST_F(Painting, BodiesThenPinsThenLinksAndOnlyDecoratedEntitiesAgainOnTop) {
    view.SelectOnly(a);
    view.MouseMotion(98, 186, {}); // over b's input pin, off the link
    ASSERT_TRUE(view.IsHovered(In(b, 0)));
    const RecordingCanvas canvas = Paint();
    EXPECT_EQ(ShapeOps(canvas),
              (Ops{"Clear", "SetFont", "SetOrigin", "RoundedRectangle", "Text", "Text", "RoundedRectangle",
                   "Text", "Text", "RoundedRectangle", "RoundedRectangle", "RoundedPath", "RoundedRectangle",
                   "Text", "Text", "RoundedRectangle", "SetOrigin"}));
    const auto bodies = canvas.Of("RoundedRectangle");
    // a: plain with its own colour, then selected on top; then b's input pin hovered.
    EXPECT_EQ(bodies[0].args, (std::vector<float>{-12, -12, 24, 24, 3, 1.0f}));
    EXPECT_EQ(bodies[0].colours, (std::vector<Colour>{Colour::Rgba(10, 20, 30), theme.outlineColor}));
    EXPECT_EQ(bodies[4].args, (std::vector<float>{-12, -12, 24, 24, 3, 5.0f}));
    EXPECT_EQ(bodies[4].colours, (std::vector<Colour>{theme.selectionFillColor, theme.selectionColor}));
    EXPECT_EQ(bodies[5].args, (std::vector<float>{-12, 76, 12, 12, 2, theme.hoverWidth}));
    EXPECT_EQ(bodies[5].colours, (std::vector<Colour>{theme.hoverFillColor, theme.hoverColor}));
}

} // namespace
} // namespace verglui
