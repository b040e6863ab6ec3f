#pragma once

#include "gui/canvas.h"

#include <string>
#include <vector>

namespace brl::testing {

// One canvas operation as it was called.
struct CanvasCall {
    std::string op;                   // the operation's name: "Line", "RoundedRectangle", ...
    std::vector<float> args;          // its numbers in argument order (coordinates, sizes, widths)
    std::vector<gui::Colour> colours; // its colours in argument order (fill before line)
    gui::PointList points;            // Polyline, Curve, Spline
    gui::Path path;                   // RoundedPath
    String text;                      // Text, SetFont (face), TextWidth
    // The transform in force when the call was made.
    float originX = 0.0f;
    float originY = 0.0f;
    float scale = 1.0f;
};

// A canvas that draws nothing and keeps every call in order. Text is as wide
// as its character count times a fixed width.
class RecordingCanvas : public gui::Canvas {
public:
    explicit RecordingCanvas(float width = 800.0f, float height = 600.0f, float characterWidth = 6.0f)
        : Canvas(gui::Size{width, height}), charWidth(characterWidth) {}

    void Clear(gui::Colour colour) override { Add("Clear", {}, {colour}); }
    void SetOrigin(float x, float y) override {
        originX = x;
        originY = y;
        Add("SetOrigin", {x, y}, {});
    }
    void SetScale(float s) override {
        scale = s;
        Add("SetScale", {s}, {});
    }
    void Line(float x1, float y1, float x2, float y2, gui::Colour colour, float width) override {
        Add("Line", {x1, y1, x2, y2, width}, {colour});
    }
    void Polyline(const gui::PointList& points, gui::Colour colour, float width) override {
        Add("Polyline", {width}, {colour}).points = points;
    }
    void RoundedPath(const gui::Path& path, gui::Colour colour, float width) override {
        Add("RoundedPath", {width}, {colour}).path = path;
    }
    void Curve(const gui::PointList& points, gui::Colour colour, float width) override {
        Add("Curve", {width}, {colour}).points = points;
    }
    void Spline(const gui::PointList& points, gui::Colour colour, float width) override {
        Add("Spline", {width}, {colour}).points = points;
    }
    void Rectangle(float x1, float y1, float x2, float y2, gui::Colour fill, gui::Colour line,
                   float lineWidth) override {
        Add("Rectangle", {x1, y1, x2, y2, lineWidth}, {fill, line});
    }
    void RoundedRectangle(float x, float y, float width, float height, float radius, gui::Colour fill,
                          gui::Colour line, float lineWidth) override {
        Add("RoundedRectangle", {x, y, width, height, radius, lineWidth}, {fill, line});
    }
    void Text(float x, float y, gui::Colour colour, const String& text) override {
        Add("Text", {x, y}, {colour}).text = text;
    }
    void SetFont(const String& face, float size, float weight, float italic, float spacing) override {
        Canvas::SetFont(face, size, weight, italic, spacing);
        Add("SetFont", {size, weight, italic, spacing}, {}).text = face;
    }
    float TextWidth(const String& text) override { return charWidth * static_cast<float>(text.size()); }

    // The calls of one operation, in order.
    std::vector<CanvasCall> Of(const std::string& op) const {
        std::vector<CanvasCall> found;
        for (const CanvasCall& call : calls) {
            if (call.op == op) {
                found.push_back(call);
            }
        }
        return found;
    }
    // The operation names in order.
    std::vector<std::string> Ops() const {
        std::vector<std::string> ops;
        for (const CanvasCall& call : calls) {
            ops.push_back(call.op);
        }
        return ops;
    }

    std::vector<CanvasCall> calls;

private:
    CanvasCall& Add(const char* op, std::vector<float> args, std::vector<gui::Colour> colours) {
        CanvasCall call;
        call.op = op;
        call.args = std::move(args);
        call.colours = std::move(colours);
        call.originX = originX;
        call.originY = originY;
        call.scale = scale;
        calls.push_back(std::move(call));
        return calls.back();
    }

    float charWidth;
    float originX = 0.0f;
    float originY = 0.0f;
    float scale = 1.0f;
};

} // namespace brl::testing
