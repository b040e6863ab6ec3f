// The painting passes of the graph view.
#include "vergl/verglui.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace brl::vergl {

namespace {

// Half of the grid and its axes may reach this far from the origin.
constexpr double kGridExtent = 1000.0;

} // namespace

CUi::Visible CUi::VisibleArea() const {
    const gui::Size size = ViewSize();
    return {scrollX, scrollY, scrollX + size.width / zoom, scrollY + size.height / zoom};
}

float CUi::StrokeReach() const {
    return std::max({theme.outlineWidth, theme.selectionWidth, theme.highlightWidth, theme.hoverWidth,
                     theme.linkWidth, theme.actionWidth}) /
               2.0f +
           1.0f;
}

bool CUi::InView(double left, double top, double right, double bottom) const {
    return right >= paintArea.left && left <= paintArea.right && bottom >= paintArea.top &&
           top <= paintArea.bottom;
}

bool CUi::NodeInView(const CNode* node) const {
    const NodeRect b = NodeBounds(node);
    // Pins stick out by their thickness; texts may run past the node, at most
    // a text size per letter.
    const size_t letters = std::max(node->Name().size(), node->Comment().size());
    const double reach = std::max({static_cast<double>(theme.pinThickness),
                                   static_cast<double>(letters) * std::max(theme.textSize, 1), 0.0}) +
                         StrokeReach();
    return InView(b.left - reach, b.top - reach, b.right + reach, b.bottom + reach);
}

Colour CUi::Look(Colour colour) const {
    return theme.greyscale ? gui::Greyscale(colour) : colour;
}

bool CUi::Decorated(const CEntity* entity) const {
    return (behaviours.showHighlight && IsHighlighted(entity)) || IsSelected(entity) ||
           (behaviours.showHover && IsHovered(entity));
}

bool CUi::StyleFor(const CEntity* entity, Pass pass, Colour normalFill, float normalWidth, Colour normalLine,
                   Style& style) const {
    if (pass == Pass::Normal) {
        style = {normalWidth, normalLine, normalFill};
    } else if (behaviours.showHighlight && IsHighlighted(entity)) {
        style = {theme.highlightWidth, theme.highlightColor, theme.highlightFillColor};
    } else if (IsSelected(entity)) {
        style = {theme.selectionWidth, theme.selectionColor, theme.selectionFillColor};
    } else if (behaviours.showHover && IsHovered(entity)) {
        style = {theme.hoverWidth, theme.hoverColor, theme.hoverFillColor};
    } else {
        return false;
    }
    style.line = Look(style.line);
    style.fill = Look(style.fill);
    return true;
}

void CUi::Paint(gui::Canvas& canvas) {
    canvas.Clear(theme.backgroundColor);
    canvas.SetFont(theme.fontName, static_cast<float>(theme.textSize - 2 * theme.textOffset),
                   theme.fontWeight, theme.fontItalic, theme.fontSpacing);
    const bool scaled = !(zoomSteps == 0 && theme.defaultZoom == 1.0f);
    if (scaled) {
        canvas.SetOrigin(static_cast<float>(-scrollX * zoom), static_cast<float>(-scrollY * zoom));
        canvas.SetScale(static_cast<float>(zoom));
    } else {
        canvas.SetOrigin(static_cast<float>(-scrollX), static_cast<float>(-scrollY));
    }

    PaintGrid(canvas);
    if (graph != nullptr) {
        // Entities wholly outside the window are left out; the picture is the same.
        paintArea = VisibleArea();
        std::vector<char> shown;
        shown.reserve(graph->Nodes().Count());
        for (CNode* node : graph->Nodes()) {
            shown.push_back(NodeInView(node) ? 1 : 0);
        }
        size_t index = 0;
        for (CNode* node : graph->Nodes()) {
            if (shown[index++]) {
                PaintNode(canvas, Pass::Normal, node);
            }
        }
        index = 0;
        for (CNode* node : graph->Nodes()) {
            if (!shown[index++]) {
                continue;
            }
            for (int location = 1; location <= kLocationCount; ++location) {
                for (CPin* pin : node->Pins(location)) {
                    PaintNodePin(canvas, Pass::Normal, pin);
                }
            }
        }
        for (CLink* link : graph->Links()) {
            PaintLink(canvas, Pass::Normal, link);
        }
        // Decoration: the few highlighted, selected or hovered entities on top.
        index = 0;
        for (CNode* node : graph->Nodes()) {
            if (!shown[index++]) {
                continue;
            }
            PaintNode(canvas, Pass::Decoration, node);
            for (int location = 1; location <= kLocationCount; ++location) {
                for (CPin* pin : node->Pins(location)) {
                    PaintNodePin(canvas, Pass::Decoration, pin);
                }
            }
        }
        for (CLink* link : graph->Links()) {
            PaintLink(canvas, Pass::Decoration, link);
        }
    }
    if (gesture == Gesture::Linking) {
        PaintConnectingLink(canvas);
    } else if (gesture == Gesture::Selecting) {
        PaintSelectionRectangle(canvas);
    }

    if (scaled) {
        canvas.SetScale(1.0f);
    }
    canvas.SetOrigin(0.0f, 0.0f);
}

void CUi::PaintGrid(gui::Canvas& canvas) {
    const Visible v = VisibleArea();
    const double spanLeft = std::max(-kGridExtent, v.left);
    const double spanRight = std::min(kGridExtent, v.right + 2.0);
    const double spanTop = std::max(-kGridExtent, v.top);
    const double spanBottom = std::min(kGridExtent, v.bottom + 2.0);
    if (spanLeft > spanRight || spanTop > spanBottom) {
        return;
    }
    const float x0 = static_cast<float>(spanLeft);
    const float x1 = static_cast<float>(spanRight);
    const float y0 = static_cast<float>(spanTop);
    const float y1 = static_cast<float>(spanBottom);
    const int g = theme.gridSize;
    if (theme.showGrid && g > 0) {
        const Colour colour = Look(theme.gridColor);
        // Multiples strictly inside the visible columns, within the grid square.
        const long first = std::max(static_cast<long>(std::floor(v.left / g)) + 1,
                                    static_cast<long>(std::ceil(spanLeft / g)));
        const long last = std::min(static_cast<long>(std::ceil(v.right / g)) - 1,
                                   static_cast<long>(std::floor(spanRight / g)));
        for (long k = first; k <= last; ++k) {
            const float x = static_cast<float>(k * g);
            canvas.Line(x, y0, x, y1, colour, 1.0f);
        }
        const long top =
            std::max(static_cast<long>(std::floor(v.top / g)) + 1, static_cast<long>(std::ceil(spanTop / g)));
        const long bottom = std::min(static_cast<long>(std::ceil(v.bottom / g)) - 1,
                                     static_cast<long>(std::floor(spanBottom / g)));
        for (long k = top; k <= bottom; ++k) {
            const float y = static_cast<float>(k * g);
            canvas.Line(x0, y, x1, y, colour, 1.0f);
        }
    }
    if (theme.showCross) {
        const Colour colour = Look(theme.gridDarkColor);
        if (v.top < 0.0 && v.bottom > 0.0) {
            canvas.Line(x0, 0.0f, x1, 0.0f, colour, 1.0f);
        }
        if (v.left < 0.0 && v.right > 0.0) {
            canvas.Line(0.0f, y0, 0.0f, y1, colour, 1.0f);
        }
    }
}

void CUi::PaintNode(gui::Canvas& canvas, Pass pass, CNode* node) {
    if (pass == Pass::Decoration && !Decorated(node)) {
        return;
    }
    Style style;
    StyleFor(node, pass, Look(Colour(node->Color())), theme.outlineWidth, Look(theme.outlineColor), style);
    const NodeRect b = NodeBounds(node);
    canvas.RoundedRectangle(static_cast<float>(b.left), static_cast<float>(b.top),
                            static_cast<float>(b.Width()), static_cast<float>(b.Height()),
                            static_cast<float>(theme.nodeCornerRadius), style.fill, style.line, style.width);
    PaintNodeTexts(canvas, node, b, style.fill);
}

void CUi::PaintNodeTexts(gui::Canvas& canvas, CNode* node, const NodeRect& b, Colour fill) {
    // The theme's font colour; a text that lies wholly on the node takes black or
    // white instead where that colour is hard to read on the node's colour.
    const Colour colour = Look(theme.fontColor);
    const Colour onNode = gui::ReadableOn(colour, fill);
    const auto put = [&](float x, float y, const String& text, float width) {
        const bool inside = x >= static_cast<float>(b.left) && x + width <= static_cast<float>(b.right);
        canvas.Text(x, y, inside ? onNode : colour, text);
    };
    const float left = static_cast<float>(b.left + theme.textOffset);
    const float firstLine = static_cast<float>(b.top + theme.textOffset - 1);
    const float secondLine = static_cast<float>(b.top + theme.textOffset + theme.textSize - 2);
    const String& name = node->Name();
    const String& type = node->Comment();
    if (!theme.nodeNameCentered) {
        if (theme.nodeShowName) {
            put(left, firstLine, name, canvas.TextWidth(name));
        }
        if (theme.nodeShowType) {
            put(left, theme.nodeShowName ? secondLine : firstLine, type, canvas.TextWidth(type));
        }
        return;
    }
    const float centreX = static_cast<float>(node->X());
    const auto centred = [&](float y, const String& text) {
        const float width = canvas.TextWidth(text);
        put(centreX - width / 2.0f, y, text, width);
    };
    if (theme.nodeShowName && theme.nodeShowType && !name.empty() && !type.empty()) {
        centred(firstLine, name);
        centred(secondLine, type);
        return;
    }
    const String* single = nullptr;
    if (theme.nodeShowName && !name.empty()) {
        single = &name;
    } else if (theme.nodeShowType && !type.empty()) {
        single = &type;
    }
    if (single != nullptr) {
        centred(static_cast<float>(node->Y()) - theme.textSize / 2.0f, *single);
    }
}

void CUi::PaintNodePin(gui::Canvas& canvas, Pass pass, CPin* pin) {
    if (pass == Pass::Decoration && !Decorated(pin)) {
        return;
    }
    Style style;
    StyleFor(pin, pass, Look(Colour(pin->Color())), theme.outlineWidth, Look(theme.outlineColor), style);
    const NodeRect r = PinBounds(pin);
    const float x = static_cast<float>(r.left);
    const float y = static_cast<float>(r.top);
    const float w = static_cast<float>(r.Width());
    const float h = static_cast<float>(r.Height());
    canvas.RoundedRectangle(x, y, w, h, static_cast<float>(theme.pinCornerRadius), style.fill, style.line,
                            style.width);
    if (pin->Style() == 1) {
        const Colour black = Look(Colour::Rgba(0, 0, 0));
        for (float row : {1.0f, 3.0f}) {
            for (float column : {1.0f, 3.0f}) {
                const float left = x + w * column / 5.0f;
                const float top = y + h * row / 5.0f;
                canvas.Rectangle(left, top, left + w / 5.0f, top + h / 5.0f, black, Colour(0), 0.0f);
            }
        }
    }
}

void CUi::PaintLink(gui::Canvas& canvas, Pass pass, CLink* link) {
    if (pass == Pass::Decoration && !Decorated(link)) {
        return;
    }
    Colour normal = theme.linkColor;
    if (theme.linkColorFromPins) {
        normal = gui::MixColours(
            gui::MixColours(Colour(link->Pin1()->Color()), Colour(link->Pin2()->Color())), theme.linkColor);
    }
    Style style;
    StyleFor(link, pass, Colour(0), theme.linkWidth, Look(normal), style);
    const gui::PointList points = LinkPoints(link);
    float left = points[0].x;
    float top = points[0].y;
    float right = left;
    float bottom = top;
    for (const gui::Point& p : points) {
        left = std::min(left, p.x);
        top = std::min(top, p.y);
        right = std::max(right, p.x);
        bottom = std::max(bottom, p.y);
    }
    // A plain curve may swing out by half the distance between its middle points.
    float reach = style.width / 2.0f + StrokeReach();
    if (!theme.steppedLinks && points.size() == 6) {
        reach += std::hypot(points[3].x - points[2].x, points[3].y - points[2].y) / 2.0f;
    }
    if (!InView(left - reach, top - reach, right + reach, bottom + reach)) {
        return;
    }
    if (theme.steppedLinks) {
        if (theme.steppedLinksRound) {
            canvas.RoundedPath(gui::RoundCorners(points, static_cast<float>(theme.steppedCornerRadius)),
                               style.line, style.width);
        } else {
            canvas.Polyline(points, style.line, style.width);
        }
        return;
    }
    if (theme.linkCornerRadius <= 0) {
        canvas.Polyline(points, style.line, style.width);
    } else {
        canvas.Curve(points, style.line, style.width);
    }
}

void CUi::PaintConnectingLink(gui::Canvas& canvas) {
    CEntity* focus = Focus();
    if (focus == nullptr || focus->Type() != kTypePin) {
        return;
    }
    const gui::PointList points = ConnectingLinkPoints(focus->AsPin(), mouseX, mouseY);
    const Colour colour = Look(theme.actionColor);
    if (theme.linkCornerRadius <= 0) {
        canvas.Polyline(points, colour, theme.actionWidth);
    } else {
        canvas.Curve(points, colour, theme.actionWidth);
    }
}

void CUi::PaintSelectionRectangle(gui::Canvas& canvas) {
    const NodeRect r = SelectionRectangle();
    canvas.Rectangle(static_cast<float>(r.left), static_cast<float>(r.top), static_cast<float>(r.right),
                     static_cast<float>(r.bottom), Look(theme.selectionFillColor), Look(theme.selectionColor),
                     1.0f);
}

} // namespace brl::vergl
