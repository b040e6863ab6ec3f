#include "vergl/verglui.h"

#include "libbrelm/debug.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <type_traits>

namespace brl::vergl {

namespace {

constexpr const char* kThemePrefix = "Vergl/Theme/";
constexpr const char* kBehavioursPrefix = "Vergl/Behaviours/";

template <typename T> T ReadSetting(Config::Frontend& config, const std::string& key, const T& fallback) {
    return Config::SettingTraits<T>::FromValue(
        config.BackendRead(Config::Key(key.c_str()), Config::SettingTraits<T>::ToValue(fallback)));
}

// Halves away from zero.
double Nearest(double v) {
    return v >= 0.0 ? std::floor(v + 0.5) : std::ceil(v - 0.5);
}

int32_t ToGraphUnit(double v) {
    return static_cast<int32_t>(std::clamp(v, -2.0e9, 2.0e9));
}

// Unit vector pointing away from the node, across the pin's edge.
gui::Point OutVector(int location) {
    switch (location) {
    case kLocationTop:
        return {0.0f, -1.0f};
    case kLocationBottom:
        return {0.0f, 1.0f};
    case kLocationLeft:
        return {-1.0f, 0.0f};
    default:
        return {1.0f, 0.0f};
    }
}

float Sign(float v) {
    return v > 0.0f ? 1.0f : (v < 0.0f ? -1.0f : 0.0f);
}

} // namespace

Theme Theme::Dark() {
    Theme t;
    t.backgroundColor = Colour::Rgba(0x20, 0x20, 0x20);
    t.gridDarkColor = Colour::Rgba(0x40, 0x40, 0x40);
    t.gridColor = Colour::Rgba(0x30, 0x30, 0x30);
    t.outlineColor = Colour::Rgba(0x80, 0x80, 0x80);
    t.linkColor = Colour::Rgba(0x80, 0x80, 0x80, 0x7f);
    t.selectionColor = Colour::Rgba(0x99, 0x99, 0xff);
    t.actionColor = Colour::Rgba(0x00, 0xcc, 0x00);
    t.fontColor = Colour::Rgba(0x80, 0x80, 0x80);
    t.hoverColor = Colour::Rgba(0xff, 0xff, 0xcc);
    t.hoverFillColor = Colour::Rgba(0xff, 0xff, 0xcc, 0x7f);
    t.selectionFillColor = Colour::Rgba(0xcc, 0xcc, 0xff, 0x7f);
    t.highlightColor = Colour::Rgba(0x00, 0xcc, 0x00);
    t.highlightFillColor = Colour::Rgba(0x00, 0xcc, 0x00, 0x80);
    t.linkWidth = 5.0f;
    return t;
}

Theme Theme::Light() {
    Theme t;
    t.backgroundColor = Colour::Rgba(0xff, 0xff, 0xff);
    t.gridDarkColor = Colour::Rgba(0xe0, 0xe0, 0xe0);
    t.gridColor = Colour::Rgba(0xf0, 0xf0, 0xf0);
    t.outlineColor = Colour::Rgba(0x00, 0x00, 0x00);
    t.linkColor = Colour::Rgba(0x00, 0x00, 0x00);
    t.selectionColor = Colour::Rgba(0x80, 0x80, 0x80);
    t.actionColor = Colour::Rgba(0x00, 0x00, 0xcc);
    t.fontColor = Colour::Rgba(0x00, 0x00, 0x00);
    t.highlightColor = Colour::Rgba(0x00, 0x00, 0xcc);
    t.highlightFillColor = Colour::Rgba(0x00, 0x00, 0xcc, 0x80);
    return t;
}

Theme ReadTheme(Config::Frontend& config, const Theme& preset) {
    Theme theme = preset;
    ForEachThemeField(theme, [&config](const char* key, auto& field) {
        using T = std::decay_t<decltype(field)>;
        field = ReadSetting<T>(config, std::string(kThemePrefix) + key, field);
    });
    return theme;
}

Theme ReadTheme(Config::Frontend& config) {
    const bool dark = ReadSetting<bool>(config, "Ui/Theme/Dark", true);
    return ReadTheme(config, dark ? Theme::Dark() : Theme::Light());
}

Behaviours ReadBehaviours(Config::Frontend& config) {
    const std::string prefix = kBehavioursPrefix;
    Behaviours b;
    b.middlePanning = ReadSetting<bool>(config, prefix + "MiddlePanning", b.middlePanning);
    b.alignToGrid = ReadSetting<bool>(config, prefix + "AlignToGrid", b.alignToGrid);
    b.showHover = ReadSetting<bool>(config, prefix + "ShowHover", b.showHover);
    b.showHighlight = ReadSetting<bool>(config, prefix + "ShowHighlight", b.showHighlight);
    b.highlightTimeoutMs = ReadSetting<int>(config, prefix + "HighlightTimeoutMS", b.highlightTimeoutMs);
    return b;
}

Behaviours ReadEditorBehaviours(Config::Frontend& config) {
    Behaviours b = ReadBehaviours(config);
    b.alignToGrid = ReadSetting<bool>(config, "Editor/AlignToGrid", true);
    b.showHover = ReadSetting<bool>(config, "Editor/ShowHover", true);
    return b;
}

CUi::CUi() : log(&Debug::ProcessChannel(), L"vergl") {}

CUi::~CUi() {
    if (graph != nullptr && graph->View() == this) {
        graph->SetView(nullptr);
    }
}

void CUi::SetGraph(CVergl* newGraph) {
    if (newGraph == graph) {
        return;
    }
    if (graph != nullptr && graph->View() == this) {
        graph->SetView(nullptr);
    }
    gesture = Gesture::None;
    dragStart.clear();
    SetCursorShape(UiCursor::Normal);
    hovered.clear();
    highlighted.clear();
    graph = newGraph;
    if (graph != nullptr) {
        graph->SetView(this);
    }
    ChangeSelection({});
    RequestRedraw();
}

void CUi::ObjectAdded(CEntity*) {
    RequestRedraw();
}

void CUi::ObjectMoved(CEntity*) {
    RequestRedraw();
}

void CUi::ObjectChanged(CEntity*) {
    RequestRedraw();
}

void CUi::ObjectRemoved(CEntity* entity) {
    Forget(entity);
    RequestRedraw();
}

void CUi::Forget(const CEntity* entity) {
    hovered.erase(entity);
    highlighted.erase(entity);
    dragStart.erase(std::remove_if(dragStart.begin(), dragStart.end(),
                                   [entity](const NodeMove& move) { return move.node == entity; }),
                    dragStart.end());
    if (selected.count(entity) != 0) {
        std::vector<CEntity*> rest;
        for (CEntity* e : selection) {
            if (e != entity) {
                rest.push_back(e);
            }
        }
        ChangeSelection(std::move(rest));
    }
}

void CUi::SetTheme(const Theme& newTheme) {
    const bool followDefault = zoomSteps == 0;
    theme = newTheme;
    if (followDefault) {
        zoom = theme.defaultZoom > 0.0f ? theme.defaultZoom : 1.0;
    }
    RequestRedraw();
}

void CUi::SetBehaviours(const Behaviours& newBehaviours) {
    behaviours = newBehaviours;
    RequestRedraw();
}

void CUi::ScrollTo(double x, double y) {
    scrollX = x;
    scrollY = y;
    RequestRedraw();
}

int32_t CUi::GraphX(float windowX) const {
    return ToGraphUnit(windowX / zoom + scrollX);
}

int32_t CUi::GraphY(float windowY) const {
    return ToGraphUnit(windowY / zoom + scrollY);
}

uint64_t CUi::NowMilliseconds() const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Selection --------------------------------------------------------------------

void CUi::ChangeSelection(std::vector<CEntity*> entities) {
    std::unordered_set<const CEntity*> set;
    std::vector<CEntity*> ordered;
    for (CEntity* entity : entities) {
        if (entity != nullptr && set.insert(entity).second) {
            ordered.push_back(entity);
        }
    }
    if (set == selected) {
        return;
    }
    selection = std::move(ordered);
    selected = std::move(set);
    Notify();
    RequestRedraw();
}

void CUi::Notify() {
    if (handler != nullptr) {
        handler->SelectionsChanged();
    }
}

void CUi::SelectOnly(CEntity* entity) {
    ChangeSelection(entity != nullptr ? std::vector<CEntity*>{entity} : std::vector<CEntity*>{});
}

void CUi::AddToSelection(CEntity* entity) {
    std::vector<CEntity*> next = selection;
    next.push_back(entity);
    ChangeSelection(std::move(next));
}

void CUi::RemoveFromSelection(CEntity* entity) {
    std::vector<CEntity*> next;
    for (CEntity* e : selection) {
        if (e != entity) {
            next.push_back(e);
        }
    }
    ChangeSelection(std::move(next));
}

void CUi::SetSelection(const std::vector<CEntity*>& entities) {
    ChangeSelection(entities);
}

void CUi::SelectAll() {
    std::vector<CEntity*> all;
    if (graph != nullptr) {
        for (CNode* node : graph->Nodes()) {
            all.push_back(node);
            for (int location = 1; location <= kLocationCount; ++location) {
                for (CPin* pin : node->Pins(location)) {
                    all.push_back(pin);
                }
            }
        }
        for (CLink* link : graph->Links()) {
            all.push_back(link);
        }
    }
    ChangeSelection(std::move(all));
}

std::vector<CNode*> CUi::SelectedNodes() const {
    std::vector<CNode*> nodes;
    if (graph != nullptr) {
        for (CNode* node : graph->Nodes()) {
            if (IsSelected(node)) {
                nodes.push_back(node);
            }
        }
    }
    return nodes;
}

bool CUi::CenterObject(CEntity* entity) {
    double x = 0.0;
    double y = 0.0;
    const int type = entity != nullptr ? entity->Type() : 0;
    if (type == kTypeNode || type == kTypePin) {
        const CNode* node = entity->AsNode();
        x = node->X();
        y = node->Y();
    } else if (type == kTypeLink) {
        const CLink* link = entity->AsLink();
        x = (static_cast<double>(link->Pin1()->Node()->X()) + link->Pin2()->Node()->X()) / 2.0;
        y = (static_cast<double>(link->Pin1()->Node()->Y()) + link->Pin2()->Node()->Y()) / 2.0;
    } else {
        BRL_LOG_ERROR(log, "cannot centre an entity of type ", type);
        return false;
    }
    const gui::Size size = ViewSize();
    ScrollTo(x - size.width / 2.0 / zoom, y - size.height / 2.0 / zoom);
    return true;
}

void CUi::SetHighlight(const std::vector<CEntity*>& entities) {
    highlighted.clear();
    for (CEntity* entity : entities) {
        if (entity != nullptr) {
            highlighted.insert(entity);
        }
    }
    highlightSince = NowMilliseconds();
    RequestRedraw();
}

void CUi::UpdateHighlights() {
    if (highlighted.empty()) {
        return;
    }
    const uint64_t now = NowMilliseconds();
    const uint64_t timeout = static_cast<uint64_t>(std::max(behaviours.highlightTimeoutMs, 0));
    if (now - highlightSince > timeout) {
        highlighted.clear();
        RequestRedraw();
    }
}

// Geometry ---------------------------------------------------------------------

NodeRect CUi::NodeBounds(const CNode* node) const {
    const int32_t p = theme.pinSize;
    const int32_t across = static_cast<int32_t>(
        std::max({size_t{2}, node->Pins(kLocationTop).Count(), node->Pins(kLocationBottom).Count()}));
    const size_t lines = theme.nodeShowName && theme.nodeShowType ? 2 : 1;
    const int32_t down = static_cast<int32_t>(
        std::max({lines, node->Pins(kLocationLeft).Count(), node->Pins(kLocationRight).Count()}));
    const int32_t width = p * across;
    const int32_t height = p * down;
    return {node->X() - width / 2, node->Y() - height / 2, node->X() + width / 2, node->Y() + height / 2};
}

NodeRect CUi::PinBounds(const CPin* pin) const {
    const NodeRect b = NodeBounds(pin->Node());
    const int32_t p = theme.pinSize;
    const int32_t t = theme.pinThickness;
    const int location = pin->Location();
    const int32_t index = static_cast<int32_t>(pin->Index());
    const int32_t count = static_cast<int32_t>(pin->Node()->Pins(location).Count());
    const bool horizontal = location == kLocationTop || location == kLocationBottom;
    const int32_t edge = horizontal ? b.Width() : b.Height();
    const int32_t shift = theme.nodeCenterPins ? (edge - count * p) / 2 : 0;
    NodeRect r;
    if (horizontal) {
        r.left = b.left + shift + index * p;
        r.right = r.left + p;
        r.top = location == kLocationTop ? b.top - t : b.bottom;
        r.bottom = r.top + t;
    } else {
        r.top = b.top + shift + index * p;
        r.bottom = r.top + p;
        r.left = location == kLocationLeft ? b.left - t : b.right;
        r.right = r.left + t;
    }
    return r;
}

gui::Point CUi::AttachPoint(const CPin* pin) const {
    const NodeRect r = PinBounds(pin);
    const int32_t half = theme.pinSize / 2;
    switch (pin->Location()) {
    case kLocationTop:
        return {static_cast<float>(r.left + half), static_cast<float>(r.top)};
    case kLocationBottom:
        return {static_cast<float>(r.left + half), static_cast<float>(r.bottom)};
    case kLocationLeft:
        return {static_cast<float>(r.left), static_cast<float>(r.top + half)};
    default:
        return {static_cast<float>(r.right), static_cast<float>(r.top + half)};
    }
}

gui::Point CUi::PinOut(const CPin* pin, float distance) const {
    const gui::Point a = AttachPoint(pin);
    const gui::Point out = OutVector(pin->Location());
    return {a.x + out.x * distance, a.y + out.y * distance};
}

gui::Point CUi::IntegerPinOut(const CPin* pin) const {
    const int32_t near = theme.linkCornerDistance;
    const int32_t far = theme.linkCornerDistance + theme.linkCornerRadius;
    const gui::Point a = AttachPoint(pin);
    const gui::Point out = OutVector(pin->Location());
    const int32_t ax = static_cast<int32_t>(a.x);
    const int32_t ay = static_cast<int32_t>(a.y);
    const int32_t ox = static_cast<int32_t>(out.x);
    const int32_t oy = static_cast<int32_t>(out.y);
    return {static_cast<float>((ax + ox * near + ax + ox * far) / 2),
            static_cast<float>((ay + oy * near + ay + oy * far) / 2)};
}

gui::PointList CUi::PlainLinkPoints(const CPin* source, const CPin* target) const {
    const float distance = static_cast<float>(theme.linkCornerDistance);
    const float reach = static_cast<float>(theme.linkCornerDistance + theme.linkCornerRadius);
    if (theme.linkCornerRadius <= 0) {
        return {AttachPoint(source), PinOut(source, reach), PinOut(target, reach), AttachPoint(target)};
    }
    return {AttachPoint(source),   PinOut(source, distance), PinOut(source, reach),
            PinOut(target, reach), PinOut(target, distance), AttachPoint(target)};
}

int CUi::StaircaseSteps(const CPin* pin) const {
    int steps = 0;
    for (const CPin* other : pin->Node()->Pins(pin->Location())) {
        if (other->Index() > pin->Index() && !other->HasNoLinks()) {
            ++steps;
        }
    }
    return steps;
}

gui::PointList CUi::SteppedLinkPoints(const CLink* link) const {
    const CPin* s = link->Pin1();
    const CPin* e = link->Pin2();
    const float d = static_cast<float>(theme.steppedCornerDistance);
    const gui::Point a = AttachPoint(s);
    const gui::Point b = AttachPoint(e);
    const int k = theme.steppedLinksStaircase ? StaircaseSteps(s) : 0;
    const float offset =
        std::min(theme.linkWidth, std::max(theme.pinSize / 2.0f - theme.linkWidth / 2.0f, 0.0f));
    float startX = a.x;
    float endX = b.x;
    if (theme.steppedLinksOffsetStart && a.x != b.x) {
        startX += offset * Sign(b.x - a.x);
        endX += offset * Sign(a.x - b.x);
    }
    const float drop = a.y + d + k * d;
    if (b.y - d >= drop) {
        return {{startX, a.y}, {startX, drop}, {endX, drop}, {endX, b.y}};
    }
    float middle = (startX + endX) / 2.0f;
    if (theme.steppedLinksAvoidNodeCrossing && a.x != b.x) {
        const NodeRect sb = NodeBounds(s->Node());
        const NodeRect eb = NodeBounds(e->Node());
        middle = b.x < a.x ? (eb.right + sb.left) / 2.0f : (eb.left + sb.right) / 2.0f;
    }
    return {{startX, a.y}, {startX, drop}, {middle, drop}, {middle, b.y - d}, {endX, b.y - d}, {endX, b.y}};
}

gui::PointList CUi::LinkPoints(const CLink* link) const {
    return theme.steppedLinks ? SteppedLinkPoints(link) : PlainLinkPoints(link->Pin1(), link->Pin2());
}

gui::PointList CUi::ConnectingLinkPoints(const CPin* pin, int32_t x, int32_t y) const {
    const float mx = static_cast<float>(x);
    const float my = static_cast<float>(y);
    const float p = static_cast<float>(theme.pinSize);
    // Towards the mouse the link arrives from the side the pin points to.
    gui::Point approach;
    switch (pin->Location()) {
    case kLocationBottom:
        approach = {0.0f, -1.0f};
        break;
    case kLocationTop:
        approach = {0.0f, 1.0f};
        break;
    case kLocationLeft:
        approach = {1.0f, 0.0f};
        break;
    default:
        approach = {-1.0f, 0.0f};
        break;
    }
    const gui::Point near = {mx + approach.x * p, my + approach.y * p};
    const gui::Point nearer = {mx + approach.x * p / 2.0f, my + approach.y * p / 2.0f};
    const float distance = static_cast<float>(theme.linkCornerDistance);
    const float reach = static_cast<float>(theme.linkCornerDistance + theme.linkCornerRadius);
    if (theme.linkCornerRadius <= 0) {
        return {AttachPoint(pin), PinOut(pin, reach), near, {mx, my}};
    }
    return {AttachPoint(pin), PinOut(pin, distance), PinOut(pin, reach), near, nearer, {mx, my}};
}

void CUi::SnapToGrid(const CNode* node, int32_t& x, int32_t& y) const {
    const int32_t g = theme.gridSize;
    if (g <= 0) {
        return;
    }
    const NodeRect b = NodeBounds(node);
    const int32_t halfWidth = b.Width() / 2;
    const int32_t halfHeight = b.Height() / 2;
    y = ToGraphUnit(Nearest(static_cast<double>(y - halfHeight) / g) * g + halfHeight);
    x = ToGraphUnit(Nearest(static_cast<double>(x - halfWidth) / g) * g + halfWidth);
}

// Hit testing ------------------------------------------------------------------

bool CUi::SegmentHit(gui::Point a, gui::Point b, float x, float y) const {
    const float d = static_cast<float>(theme.linkClickDistance);
    if (x < std::min(a.x, b.x) - d || x > std::max(a.x, b.x) + d || y < std::min(a.y, b.y) - d ||
        y > std::max(a.y, b.y) + d) {
        return false;
    }
    const float length = std::hypot(b.x - a.x, b.y - a.y);
    const float distance = length > 0.0f
                               ? std::fabs((a.y - b.y) * (x - a.x) + (b.x - a.x) * (y - a.y)) / length
                               : std::hypot(x - a.x, y - a.y);
    return distance < d;
}

bool CUi::LinkHit(const CLink* link, int32_t x, int32_t y) const {
    const float px = static_cast<float>(x);
    const float py = static_cast<float>(y);
    if (!theme.steppedLinks) {
        return SegmentHit(IntegerPinOut(link->Pin1()), IntegerPinOut(link->Pin2()), px, py);
    }
    const gui::PointList points = SteppedLinkPoints(link);
    if (!theme.steppedLinksRound) {
        for (size_t i = 1; i < points.size(); ++i) {
            if (SegmentHit(points[i - 1], points[i], px, py)) {
                return true;
            }
        }
        return false;
    }
    const float d = static_cast<float>(theme.linkClickDistance);
    const gui::Path path = gui::RoundCorners(points, static_cast<float>(theme.steppedCornerRadius));
    for (const gui::PathSegment& segment : path.Segments()) {
        if (segment.kind == gui::PathSegment::Kind::Arc) {
            const float left = std::min(segment.start.x, segment.end.x);
            const float right = std::max(segment.start.x, segment.end.x);
            const float top = std::min(segment.start.y, segment.end.y);
            const float bottom = std::max(segment.start.y, segment.end.y);
            if (px < left || px > right || py < top || py > bottom) {
                continue;
            }
            const float radius = ((right - left) + (bottom - top)) / 2.0f;
            if (std::fabs(std::hypot(px - segment.centre.x, py - segment.centre.y) - radius) <= d) {
                return true;
            }
        } else if (SegmentHit(segment.start, segment.end, px, py)) {
            return true;
        }
    }
    return false;
}

std::vector<CEntity*> CUi::HitAll(int32_t x, int32_t y) const {
    std::vector<CEntity*> hits;
    if (graph == nullptr) {
        return hits;
    }
    for (CLink* link : graph->Links()) {
        if (LinkHit(link, x, y)) {
            hits.push_back(link);
        }
    }
    for (CNode* node : graph->Nodes()) {
        if (NodeBounds(node).Contains(x, y)) {
            hits.push_back(node);
        }
        for (int location : {kLocationTop, kLocationBottom}) {
            for (CPin* pin : node->Pins(location)) {
                if (PinBounds(pin).Contains(x, y)) {
                    hits.push_back(pin);
                }
            }
        }
    }
    return hits;
}

CEntity* CUi::HitTest(int32_t x, int32_t y) const {
    const std::vector<CEntity*> hits = HitAll(x, y);
    return hits.empty() ? nullptr : hits.back();
}

// Input ------------------------------------------------------------------------

void CUi::SetCursorShape(UiCursor shape) {
    if (shape != cursor) {
        cursor = shape;
        CursorChanged(shape);
    }
}

void CUi::UpdateMouse(float x, float y) {
    mouseX = GraphX(x);
    mouseY = GraphY(y);
}

bool CUi::RebuildHover() {
    std::unordered_set<const CEntity*> now;
    for (CEntity* entity : HitAll(mouseX, mouseY)) {
        now.insert(entity);
    }
    if (now == hovered) {
        return false;
    }
    hovered = std::move(now);
    return true;
}

void CUi::ZoomAround(float x, float y, double newZoom) {
    const double graphX = x / zoom + scrollX;
    const double graphY = y / zoom + scrollY;
    zoom = newZoom;
    ScrollTo(graphX - x / zoom, graphY - y / zoom);
}

void CUi::ResetZoom(float x, float y) {
    zoomSteps = 0;
    ZoomAround(x, y, theme.defaultZoom > 0.0f ? theme.defaultZoom : 1.0);
}

void CUi::PanTo(float x, float y) {
    ScrollTo(panStartScrollX + (panStartMouseX - x) / zoom, panStartScrollY + (panStartMouseY - y) / zoom);
}

void CUi::StartDrag() {
    gesture = Gesture::Dragging;
    dragLastX = mouseX;
    dragLastY = mouseY;
    dragStart.clear();
    for (CNode* node : SelectedNodes()) {
        dragStart.push_back({node, node->X(), node->Y(), node->X(), node->Y()});
    }
    SetCursorShape(UiCursor::Move);
}

void CUi::MoveSelectedNodes(int32_t dx, int32_t dy, bool snap) {
    for (CNode* node : SelectedNodes()) {
        int32_t x = node->X() + dx;
        int32_t y = node->Y() + dy;
        if (snap) {
            SnapToGrid(node, x, y);
        }
        if (x != node->X() || y != node->Y()) {
            node->SetPosition(x, y);
        }
    }
}

void CUi::MouseDown(MouseButton button, float x, float y, Modifiers modifiers) {
    UpdateMouse(x, y);
    if (gesture != Gesture::None) {
        return;
    }
    if (button == MouseButton::Middle) {
        if (behaviours.middlePanning) {
            gesture = Gesture::Panning;
            panButton = MouseButton::Middle;
            panStartMouseX = x;
            panStartMouseY = y;
            panStartScrollX = scrollX;
            panStartScrollY = scrollY;
            SetCursorShape(UiCursor::Pan);
        }
        return;
    }
    if (button != MouseButton::Left) {
        return;
    }
    CEntity* hit = HitTest(mouseX, mouseY);
    bool linkFromFocus = false;
    if (!modifiers.ctrl) {
        if (hit == nullptr) {
            SelectOnly(nullptr);
        } else if (!IsSelected(hit)) {
            SelectOnly(hit);
        }
    } else {
        const CEntity* focus = Focus();
        if (focus != nullptr && focus->Type() == kTypePin && hit != nullptr && hit->Type() == kTypePin) {
            linkFromFocus = true;
        } else if (hit != nullptr) {
            if (IsSelected(hit)) {
                RemoveFromSelection(hit);
            } else {
                AddToSelection(hit);
            }
        }
    }
    if (hit == nullptr && (modifiers.shift || behaviours.middlePanning)) {
        gesture = Gesture::Selecting;
        selectStartX = mouseX;
        selectStartY = mouseY;
        return;
    }
    const CEntity* focus = Focus();
    if (linkFromFocus || (focus != nullptr && focus->Type() == kTypePin)) {
        gesture = Gesture::Linking;
        SetCursorShape(UiCursor::Link);
    } else if ((focus != nullptr && focus->Type() == kTypeNode) || selection.size() >= 2) {
        StartDrag();
    } else if (selection.empty() && !behaviours.middlePanning) {
        gesture = Gesture::Panning;
        panButton = MouseButton::Left;
        panStartMouseX = x;
        panStartMouseY = y;
        panStartScrollX = scrollX;
        panStartScrollY = scrollY;
        SetCursorShape(UiCursor::Pan);
    }
}

NodeRect CUi::SelectionRectangle() const {
    return {std::min(selectStartX, mouseX), std::min(selectStartY, mouseY), std::max(selectStartX, mouseX),
            std::max(selectStartY, mouseY)};
}

void CUi::FinishGesture(MouseButton button, Modifiers modifiers) {
    if (gesture == Gesture::Selecting && button == MouseButton::Left) {
        gesture = Gesture::None;
        const NodeRect area = SelectionRectangle();
        std::vector<CEntity*> chosen;
        if (modifiers.ctrl) {
            chosen = selection;
        }
        if (graph != nullptr) {
            for (CNode* node : graph->Nodes()) {
                const NodeRect b = NodeBounds(node);
                if (b.left >= area.left && b.right <= area.right && b.top >= area.top &&
                    b.bottom <= area.bottom) {
                    chosen.push_back(node);
                }
            }
        }
        ChangeSelection(std::move(chosen));
    } else if (gesture == Gesture::Dragging && button == MouseButton::Left) {
        MoveSelectedNodes(mouseX - dragLastX, mouseY - dragLastY, behaviours.alignToGrid);
        std::vector<NodeMove> moves;
        for (NodeMove move : dragStart) {
            move.toX = move.node->X();
            move.toY = move.node->Y();
            if (move.toX != move.fromX || move.toY != move.fromY) {
                moves.push_back(move);
            }
        }
        dragStart.clear();
        gesture = Gesture::None;
        if (!moves.empty() && handler != nullptr) {
            handler->NodesMoved(moves);
        }
    } else if (gesture == Gesture::Linking && button == MouseButton::Left) {
        gesture = Gesture::None;
        CEntity* focus = Focus();
        CEntity* target = HitTest(mouseX, mouseY);
        // A press and release on pins of one node (a plain click on a pin) is
        // no link: a graph never links a node to itself.
        if (focus != nullptr && focus->Type() == kTypePin && target != nullptr &&
            target->Type() == kTypePin && focus->AsNode() != target->AsNode() && handler != nullptr) {
            handler->ConnectRequested(focus->AsPin(), target->AsPin());
        }
    }
}

void CUi::MouseUp(MouseButton button, float x, float y, Modifiers modifiers) {
    UpdateMouse(x, y);
    switch (button) {
    case MouseButton::Left:
        if (gesture == Gesture::Panning && panButton == MouseButton::Left) {
            PanTo(x, y);
            gesture = Gesture::None;
        } else {
            FinishGesture(button, modifiers);
        }
        break;
    case MouseButton::Middle:
        if (!behaviours.middlePanning) {
            ResetZoom(x, y);
        } else {
            if (modifiers.ctrl) {
                ResetZoom(x, y);
            }
            if (gesture == Gesture::Panning && panButton == MouseButton::Middle) {
                PanTo(x, y);
                gesture = Gesture::None;
            }
        }
        break;
    case MouseButton::Right:
        if (gesture != Gesture::None) {
            return;
        }
        SelectOnly(HitTest(mouseX, mouseY));
        RequestRedraw();
        if (handler != nullptr) {
            handler->ContextRequested();
        }
        return;
    }
    if (gesture == Gesture::None) {
        SetCursorShape(UiCursor::Normal);
    }
    RequestRedraw();
}

void CUi::MouseMotion(float x, float y, Modifiers) {
    UpdateMouse(x, y);
    if (RebuildHover() && behaviours.showHover) {
        RequestRedraw();
    }
    switch (gesture) {
    case Gesture::Panning:
        PanTo(x, y);
        break;
    case Gesture::Dragging:
        if (mouseX != dragLastX || mouseY != dragLastY) {
            MoveSelectedNodes(mouseX - dragLastX, mouseY - dragLastY, false);
            dragLastX = mouseX;
            dragLastY = mouseY;
        }
        break;
    case Gesture::Linking:
    case Gesture::Selecting:
        RequestRedraw();
        break;
    case Gesture::None:
        break;
    }
}

void CUi::MouseDoubleClick(float x, float y, Modifiers) {
    UpdateMouse(x, y);
    SelectOnly(HitTest(mouseX, mouseY));
    if (CEntity* focus = Focus()) {
        CenterObject(focus);
    }
}

void CUi::MouseWheel(int rotation, float x, float y) {
    UpdateMouse(x, y);
    const double step = theme.zoomStep;
    if (rotation == 0 || !(step > 0.0)) {
        return;
    }
    double next;
    if (rotation < 0) {
        --zoomSteps;
        next = zoom / step;
    } else {
        ++zoomSteps;
        next = zoom * step;
    }
    if (zoomSteps == 0) {
        next = theme.defaultZoom > 0.0f ? theme.defaultZoom : 1.0;
    }
    ZoomAround(x, y, next);
}

void CUi::KeyUp(UiKey key) {
    if (key == UiKey::Space) {
        if (handler != nullptr) {
            handler->ContextRequested();
        }
        return;
    }
    if (key != UiKey::Delete) {
        return;
    }
    CEntity* focus = Focus();
    if (focus != nullptr && handler != nullptr) {
        if (focus->Type() == kTypeNode) {
            handler->DeleteNodeRequested(focus->AsNode());
        } else if (focus->Type() == kTypeLink) {
            handler->DeleteLinkRequested(focus->AsLink());
        }
    }
    RequestRedraw();
}

void CUi::CancelGesture() {
    gesture = Gesture::None;
    dragStart.clear();
    SetCursorShape(UiCursor::Normal);
    RequestRedraw();
}

} // namespace brl::vergl
