#pragma once

#include "gui/canvas.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"
#include "vergl/vergl.h"

#include <cstdint>
#include <unordered_set>
#include <vector>

// The interactive view of one graph, without a toolkit: display state (scroll,
// zoom, selection, hover, highlight, the mouse gesture), geometry, hit testing,
// link routing, the mouse and key rules, and the painting through a
// gui::Canvas. A toolkit window (CUiWxw) feeds it events in window pixels and
// hands it a canvas on every paint; the tests drive it directly.
//
// The view owns no graph data. Everything the user asks for that changes the
// model (a link, a deletion) goes to the owner as a request (IUiHandler); only
// moving nodes by dragging is done by the view itself, and reported afterwards.
//
// An owner with several views (one per graph page) does, for each view:
//   - SetTheme(ReadTheme(config)) and SetBehaviours(ReadEditorBehaviours(config))
//     at start and on every configuration change;
//   - SetGraph(graph) for the page's graph (again when the page shows another
//     graph) and SetHandler(this); SetGraph(nullptr) before a graph is destroyed;
//   - UpdateHighlights() from its redraw timer, SetHighlight() to show a set;
//   - for its commands: Selection(), SelectedNodes() (cut, copy), SetSelection()
//     (paste), SelectAll(), and MouseX()/MouseY() with SnapToGrid() to place a
//     node added from a menu where the context action was asked for.
//
// Threads: GUI thread only.
namespace brl::vergl {

using gui::Colour;

// The look of a view. Every field has a configuration key under
// "Vergl/Theme/" (see ForEachThemeField); the initial values are the base
// defaults.
struct Theme {
    int gridSize = 12;
    int pinSize = 12;
    float linkWidth = 1.5f;
    int textOffset = 1;
    int textSize = 12;
    int nodeCornerRadius = 3;
    int pinCornerRadius = 2;
    float zoomStep = 1.1f;
    int linkClickDistance = 4;
    float selectionWidth = 5.0f;
    float actionWidth = 2.0f;
    Colour backgroundColor;
    Colour gridDarkColor;
    Colour gridColor;
    Colour outlineColor;
    float outlineWidth = 1.0f;
    Colour linkColor;
    Colour selectionColor;
    Colour actionColor;
    Colour fontColor;
    Colour hoverColor = Colour::Rgba(0xcc, 0xcc, 0xff);
    float hoverWidth = 3.0f;
    int linkCornerRadius = 6;
    int linkCornerDistance = 12;
    int steppedCornerRadius = 6;
    int steppedCornerDistance = 6;
    String fontName; // empty: the toolkit's default font
    float fontWeight = 1.0f;
    float fontItalic = 0.0f;
    float fontSpacing = 0.0f;
    float defaultZoom = 1.0f;
    Colour selectionFillColor = Colour(0);
    Colour hoverFillColor = Colour(0);
    Colour highlightColor;
    Colour highlightFillColor;
    float highlightWidth = 3.0f;
    bool showCross = true;
    bool showGrid = true;
    int pinThickness = 12;
    bool nodeShowName = true;
    bool nodeShowType = true;
    bool linkColorFromPins = true;
    bool steppedLinks = true;
    bool steppedLinksRound = true;
    bool steppedLinksOffsetStart = false;
    bool steppedLinksStaircase = true;
    bool steppedLinksAvoidNodeCrossing = true;
    bool nodeNameCentered = false;
    bool nodeCenterPins = false;
    bool greyscale = false;

    static Theme Base() { return Theme(); }
    static Theme Dark();
    static Theme Light();
};

// Calls visit(key, field) for every theme field, in the record's order, with
// the key relative to "Vergl/Theme/".
template <typename ThemeT, typename Visit> void ForEachThemeField(ThemeT& t, Visit&& visit);

// Reads every key under "Vergl/Theme/", each defaulting to the preset's value.
Theme ReadTheme(Config::Frontend& config, const Theme& preset);
// The dark preset while "Ui/Theme/Dark" (default true) is on, else the light
// one, read through ReadTheme.
Theme ReadTheme(Config::Frontend& config);

// The feel of a view; keys under "Vergl/Behaviours/".
struct Behaviours {
    bool middlePanning = false;   // "MiddlePanning"
    bool alignToGrid = false;     // "AlignToGrid"
    bool showHover = true;        // "ShowHover"
    bool showHighlight = true;    // "ShowHighlight"
    int highlightTimeoutMs = 500; // "HighlightTimeoutMS"
};
Behaviours ReadBehaviours(Config::Frontend& config);
// ReadBehaviours, then align to grid and show hover from the editor's own
// settings "Editor/AlignToGrid" and "Editor/ShowHover" (both default true).
Behaviours ReadEditorBehaviours(Config::Frontend& config);

// One node moved by a drag: where it was when the drag started and where it
// ended up (after snapping).
struct NodeMove {
    CNode* node = nullptr;
    int32_t fromX = 0;
    int32_t fromY = 0;
    int32_t toX = 0;
    int32_t toY = 0;
};

// What a view asks of its owner. The owner decides and changes the model; the
// model tells the view through IView. Requests come from the view the user is
// working in; the entities carry their graph (CEntity::Graph()), and
// SelectionsChanged and ContextRequested concern the view's current selection
// (CUi::Focus(), CUi::Selection()) and mouse position (CUi::MousePosition()).
// A request may be refused by returning false; the view then changes nothing.
class IUiHandler {
public:
    virtual ~IUiHandler() = default;
    // The selection set changed (called once per change).
    virtual void SelectionsChanged() = 0;
    // The user dragged a link from pin A (where the drag started) to pin B.
    virtual bool ConnectRequested(CPin* pinA, CPin* pinB) = 0;
    // The user pressed Delete on a link, or on a node.
    virtual bool DeleteLinkRequested(CLink* link) = 0;
    virtual bool DeleteNodeRequested(CNode* node) = 0;
    // Right button released, or space released: the context action.
    virtual void ContextRequested() = 0;
    // A drag moved nodes (the model already holds the new positions). Called
    // once at the end of the drag, only when a node ended up elsewhere; lets the
    // owner mark the document changed or record the move.
    virtual void NodesMoved(const std::vector<NodeMove>& moves) { (void)moves; }
};

struct NodeRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    int32_t Width() const { return right - left; }
    int32_t Height() const { return bottom - top; }
    // Half-open: left and top belong to the rectangle, right and bottom not.
    bool Contains(int32_t x, int32_t y) const { return x >= left && x < right && y >= top && y < bottom; }
};

enum class MouseButton { Left, Middle, Right };
enum class UiKey { Space, Delete, Other };
enum class UiCursor { Normal, Link, Move, Pan };
enum class Gesture { None, Panning, Dragging, Linking, Selecting };

struct Modifiers {
    bool ctrl = false;
    bool shift = false;
};

class CUi : public IView {
public:
    CUi();
    // Detaches from the graph if it is still attached.
    ~CUi() override;
    CUi(const CUi&) = delete;
    CUi& operator=(const CUi&) = delete;

    // Shows a graph (or none) and makes this view its IView; the old graph is
    // detached and the display state of its entities is forgotten. A graph must
    // be detached (SetGraph(nullptr) or another graph) before it is destroyed.
    void SetGraph(CVergl* graph);
    CVergl* Graph() const { return graph; }
    // The owner, not owned; without one, requests are ignored.
    void SetHandler(IUiHandler* owner) { handler = owner; }
    IUiHandler* Handler() const { return handler; }

    // Model notifications: a removed entity leaves the selection, hover and
    // highlight sets. Each redraws.
    void ObjectAdded(CEntity* entity) override;
    void ObjectMoved(CEntity* entity) override;
    void ObjectChanged(CEntity* entity) override;
    void ObjectRemoved(CEntity* entity) override;

    // Replace the look or the feel and redraw. The zoom and the scroll stay (a
    // view at zoom step 0 follows a changed default zoom).
    virtual void SetTheme(const Theme& newTheme);
    const Theme& GetTheme() const { return theme; }
    void SetBehaviours(const Behaviours& newBehaviours);
    const Behaviours& GetBehaviours() const { return behaviours; }

    // Asks the window to paint again; the toolkit part overrides it.
    virtual void RequestRedraw() {}
    // Scrolls so that graph point (x, y) is the top-left corner, and redraws.
    virtual void ScrollTo(double x, double y);
    // The window's size in pixels; the toolkit part supplies it, windowless
    // views report what SetViewSize gave.
    virtual gui::Size ViewSize() const { return viewSize; }
    void SetViewSize(float width, float height) { viewSize = {width, height}; }

    double ScrollX() const { return scrollX; }
    double ScrollY() const { return scrollY; }
    double Zoom() const { return zoom; }
    int ZoomSteps() const { return zoomSteps; }
    // The last mouse position seen, in graph units.
    int32_t MouseX() const { return mouseX; }
    int32_t MouseY() const { return mouseY; }
    // Window pixels to graph units (truncated).
    int32_t GraphX(float windowX) const;
    int32_t GraphY(float windowY) const;

    // Selection. Each change calls SelectionsChanged once and redraws; setting
    // the selection it already has does nothing.
    void SelectOnly(CEntity* entity);
    void AddToSelection(CEntity* entity);
    void RemoveFromSelection(CEntity* entity);
    void SetSelection(const std::vector<CEntity*>& entities);
    // Every node, pin and link of the graph.
    void SelectAll();
    bool IsSelected(const CEntity* entity) const { return selected.count(entity) != 0; }
    // The single selected entity, or nothing unless exactly one is selected.
    CEntity* Focus() const { return selection.size() == 1 ? selection.front() : nullptr; }
    size_t SelectionCount() const { return selection.size(); }
    // In the order they were selected.
    const std::vector<CEntity*>& Selection() const { return selection; }
    // The selected nodes in the graph's node order.
    std::vector<CNode*> SelectedNodes() const;

    // Scrolls so that a node's centre, a pin's node's centre, or the midpoint of
    // a link's two nodes is in the middle of the window. False (with an error)
    // for anything else.
    bool CenterObject(CEntity* entity);

    // Hover: what lies under the mouse. Highlight: a set the owner shows for a
    // while (for example the nodes using a controller).
    bool IsHovered(const CEntity* entity) const { return hovered.count(entity) != 0; }
    const std::unordered_set<const CEntity*>& HoverSet() const { return hovered; }
    void SetHighlight(const std::vector<CEntity*>& entities);
    bool IsHighlighted(const CEntity* entity) const { return highlighted.count(entity) != 0; }
    // Clears the highlight set once the highlight time-out has passed since it
    // was set (redrawing then). Called by the owner's redraw timer.
    void UpdateHighlights();

    // Geometry in graph units.
    NodeRect NodeBounds(const CNode* node) const;
    NodeRect PinBounds(const CPin* pin) const;
    // The middle of the pin's outer edge.
    gui::Point AttachPoint(const CPin* pin) const;
    // The link's path: the plain shape (4 points with link corner radius 0,
    // else 6) or the stepped path (4 or 6 points), as the theme says.
    gui::PointList LinkPoints(const CLink* link) const;
    gui::PointList PlainLinkPoints(const CPin* source, const CPin* target) const;
    gui::PointList SteppedLinkPoints(const CLink* link) const;
    // The connecting link from a pin to a graph position.
    gui::PointList ConnectingLinkPoints(const CPin* pin, int32_t x, int32_t y) const;
    // Where a node moved to (x, y) lands with grid snapping: its top-left corner
    // on the grid.
    void SnapToGrid(const CNode* node, int32_t& x, int32_t& y) const;

    // The entity under a graph position (the last hit of links, then nodes in
    // order with their top and bottom pins), or nothing; HitAll collects every
    // entity hit.
    CEntity* HitTest(int32_t x, int32_t y) const;
    std::vector<CEntity*> HitAll(int32_t x, int32_t y) const;
    bool LinkHit(const CLink* link, int32_t x, int32_t y) const;

    // Input, positions in window pixels. Besides the click and drag gestures, a left
    // drag that starts on empty space with Shift held, or whenever middle-button
    // panning is on (the left button then does not pan), spans a selection
    // rectangle: releasing selects the nodes lying wholly inside it, in place of
    // the selection or, with Ctrl, in addition to it.
    void MouseDown(MouseButton button, float x, float y, Modifiers modifiers);
    void MouseUp(MouseButton button, float x, float y, Modifiers modifiers);
    void MouseMotion(float x, float y, Modifiers modifiers);
    void MouseDoubleClick(float x, float y, Modifiers modifiers);
    // Rotation below 0 zooms out one step, above 0 in one step, keeping the
    // graph point under the mouse in place.
    void MouseWheel(int rotation, float x, float y);
    void KeyUp(UiKey key);
    void Resized() { RequestRedraw(); }
    // Ends a gesture without its effect (the window lost the mouse).
    void CancelGesture();
    Gesture CurrentGesture() const { return gesture; }
    // The selection rectangle being spanned (graph units), while selecting.
    NodeRect SelectionRectangle() const;
    UiCursor Cursor() const { return cursor; }

    // Draws the whole view.
    void Paint(gui::Canvas& canvas);

protected:
    // The toolkit part shows the cursor.
    virtual void CursorChanged(UiCursor shape) { (void)shape; }
    // Milliseconds of a monotonic clock, for the highlight time-out.
    virtual uint64_t NowMilliseconds() const;

private:
    struct Visible {
        double left, top, right, bottom;
    };
    enum class Pass { Normal, Decoration };
    struct Style {
        float width;
        Colour line;
        Colour fill;
    };

    void ChangeSelection(std::vector<CEntity*> entities);
    void Forget(const CEntity* entity);
    void Notify();
    void SetCursorShape(UiCursor shape);
    void UpdateMouse(float x, float y);
    bool RebuildHover();
    void ResetZoom(float x, float y);
    void ZoomAround(float x, float y, double newZoom);
    void PanTo(float x, float y);
    void StartDrag();
    void MoveSelectedNodes(int32_t dx, int32_t dy, bool snap);
    void FinishGesture(MouseButton button, Modifiers modifiers);

    gui::Point PinOut(const CPin* pin, float distance) const;
    gui::Point IntegerPinOut(const CPin* pin) const;
    int StaircaseSteps(const CPin* pin) const;
    bool SegmentHit(gui::Point a, gui::Point b, float x, float y) const;

    Visible VisibleArea() const;
    float StrokeReach() const;
    bool InView(double left, double top, double right, double bottom) const;
    bool NodeInView(const CNode* node) const;
    Colour Look(Colour colour) const;
    bool Decorated(const CEntity* entity) const;
    bool StyleFor(const CEntity* entity, Pass pass, Colour normalFill, float normalWidth, Colour normalLine,
                  Style& style) const;
    void PaintGrid(gui::Canvas& canvas);
    void PaintNode(gui::Canvas& canvas, Pass pass, CNode* node);
    void PaintNodeTexts(gui::Canvas& canvas, CNode* node, const NodeRect& bounds, Colour fill);
    void PaintNodePin(gui::Canvas& canvas, Pass pass, CPin* pin);
    void PaintLink(gui::Canvas& canvas, Pass pass, CLink* link);
    void PaintConnectingLink(gui::Canvas& canvas);
    void PaintSelectionRectangle(gui::Canvas& canvas);

    CVergl* graph = nullptr;
    IUiHandler* handler = nullptr;
    Theme theme;
    Behaviours behaviours;
    gui::Size viewSize;

    double scrollX = 0.0;
    double scrollY = 0.0;
    double zoom = 1.0;
    int zoomSteps = 0;
    int32_t mouseX = 0;
    int32_t mouseY = 0;

    std::vector<CEntity*> selection;
    std::unordered_set<const CEntity*> selected;
    std::unordered_set<const CEntity*> hovered;
    std::unordered_set<const CEntity*> highlighted;
    uint64_t highlightSince = 0;

    Visible paintArea{0.0, 0.0, 0.0, 0.0};
    Gesture gesture = Gesture::None;
    MouseButton panButton = MouseButton::Left;
    float panStartMouseX = 0.0f;
    float panStartMouseY = 0.0f;
    double panStartScrollX = 0.0;
    double panStartScrollY = 0.0;
    int32_t dragLastX = 0;
    int32_t dragLastY = 0;
    int32_t selectStartX = 0;
    int32_t selectStartY = 0;
    std::vector<NodeMove> dragStart;
    UiCursor cursor = UiCursor::Normal;

    Logging::Logger log;
};

template <typename ThemeT, typename Visit> void ForEachThemeField(ThemeT& t, Visit&& visit) {
    visit("GridSize", t.gridSize);
    visit("PinSize", t.pinSize);
    visit("LinkWidth", t.linkWidth);
    visit("TextOffset", t.textOffset);
    visit("TextSize", t.textSize);
    visit("NodeCornerRadius", t.nodeCornerRadius);
    visit("PinCornerRadius", t.pinCornerRadius);
    visit("ZoomStep", t.zoomStep);
    visit("LinkClickDistance", t.linkClickDistance);
    visit("SelectionWidth", t.selectionWidth);
    visit("ActionWidth", t.actionWidth);
    visit("BackgroundColor", t.backgroundColor);
    visit("GridDarkColor", t.gridDarkColor);
    visit("GridColor", t.gridColor);
    visit("OutlineColor", t.outlineColor);
    visit("OutlineWidth", t.outlineWidth);
    visit("LinkColor", t.linkColor);
    visit("SelectionColor", t.selectionColor);
    visit("ActionColor", t.actionColor);
    visit("FontColor", t.fontColor);
    visit("HoverColor", t.hoverColor);
    visit("HoverWidth", t.hoverWidth);
    visit("LinkCornerRadius", t.linkCornerRadius);
    visit("LinkCornerDistance", t.linkCornerDistance);
    visit("LinkHoudiniStyleCornerRadius", t.steppedCornerRadius);
    visit("LinkHoudiniStyleCornerDistance", t.steppedCornerDistance);
    visit("FontName", t.fontName);
    visit("FontWeight", t.fontWeight);
    visit("FontItalic", t.fontItalic);
    visit("FontSpacing", t.fontSpacing);
    visit("DefaultZoom", t.defaultZoom);
    visit("SelectionFillColor", t.selectionFillColor);
    visit("HoverFillColor", t.hoverFillColor);
    visit("HighlightColor", t.highlightColor);
    visit("HighlightFillColor", t.highlightFillColor);
    visit("HighlightWidth", t.highlightWidth);
    visit("ShowCross", t.showCross);
    visit("ShowGrid", t.showGrid);
    visit("PinThickness", t.pinThickness);
    visit("NodeShowName", t.nodeShowName);
    visit("NodeShowType", t.nodeShowType);
    visit("LinkColorFromPins", t.linkColorFromPins);
    visit("LinkHoudiniStyle", t.steppedLinks);
    visit("LinkHoudiniStyleRound", t.steppedLinksRound);
    visit("LinkHoudiniStyleOffsetStart", t.steppedLinksOffsetStart);
    visit("LinkHoudiniStyleStaircase", t.steppedLinksStaircase);
    visit("LinkHoudiniStyleAvoidNodeCrossing", t.steppedLinksAvoidNodeCrossing);
    visit("NodeNameCentered", t.nodeNameCentered);
    visit("NodeCenterPins", t.nodeCenterPins);
    visit("Greyscale", t.greyscale);
}

} // namespace brl::vergl
