#include "ppmdisplaylogic.h"

#include "korvax/korvaxmanager.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace brl::Synth::Gui {

namespace {

constexpr float kSqrt2 = 1.4142135f;
const wchar_t* const kPrefix = L"Ui/PPMDisplay/";

gui::Colour Scaled(gui::Colour colour, float fraction) {
    const float alpha = static_cast<float>(colour.A()) * std::clamp(fraction, 0.0f, 1.0f);
    return colour.WithAlpha(static_cast<unsigned>(alpha + 0.5f));
}

int Count(double dB, double perSegment) {
    if (!(perSegment > 0.0) || !(dB > 0.0)) {
        return 0;
    }
    const double count = dB / perSegment;
    return count >= PpmDisplaySettings::kMaxSegments ? PpmDisplaySettings::kMaxSegments
                                                     : static_cast<int>(count);
}

// Maps positions along and across the bars to canvas rectangles: bars run
// left to right, or bottom to top when the canvas is taller than wide.
struct Frame {
    bool vertical = false;
    float length = 0.0f;

    void Box(float along, float across, float alongSize, float acrossSize, float& x, float& y, float& w,
             float& h) const {
        if (vertical) {
            x = across;
            y = length - along - alongSize;
            w = acrossSize;
            h = alongSize;
        } else {
            x = along;
            y = across;
            w = alongSize;
            h = acrossSize;
        }
    }
    void Point(float along, float across, float& x, float& y) const {
        x = vertical ? across : along;
        y = vertical ? length - along : across;
    }
};

} // namespace

MeterLevels ReadMeter(const Korvax::PpmMeter& meter) noexcept {
    MeterLevels levels;
    levels.peakOut = meter.PeakOut();
    levels.rmsOut = meter.RmsOut();
    levels.dcOut = meter.DcOut();
    levels.peakHold = meter.PeakHold();
    levels.rmsHold = meter.RmsHold();
    levels.dcHold = meter.DcHold();
    levels.clipOut = meter.ClipOut();
    return levels;
}

float LevelDb(float value) noexcept {
    if (value <= 0.0f) {
        return -std::numeric_limits<float>::infinity();
    }
    return 20.0f * std::log10(value);
}

PpmDisplaySettings PpmDisplaySettings::Read(Config::Frontend& config) {
    PpmDisplaySettings s;
    const auto key = [](const wchar_t* name) { return Config::Key(String(kPrefix) + name); };
    const auto number = [&](const wchar_t* name, double fallback) {
        return Config::Setting<double>(config, key(name), fallback).Get();
    };
    const auto size = [&](const wchar_t* name, float fallback) {
        return static_cast<float>(number(name, fallback));
    };
    const auto colour = [&](const wchar_t* name, gui::Colour fallback) {
        return Config::Setting<gui::Colour>(config, key(name), fallback).Get();
    };
    s.scale = Config::Setting<bool>(config, key(L"Scale"), s.scale).Get();
    s.dBPerSegment = number(L"dBPerSegment", s.dBPerSegment);
    s.dBGreen = number(L"dBGreen", s.dBGreen);
    s.dBYellow = number(L"dBYellow", s.dBYellow);
    s.dBRed = number(L"dBRed", s.dBRed);
    s.dBGroupSize = number(L"dBGroupSize", s.dBGroupSize);
    s.borderWidth = size(L"BorderWidth", s.borderWidth);
    s.segmentSpacingHorizontal = size(L"SegmentSpacingHorizontal", s.segmentSpacingHorizontal);
    s.segmentSpacingVertical = size(L"SegmentSpacingVertical", s.segmentSpacingVertical);
    s.segmentWidth = size(L"SegmentWidth", s.segmentWidth);
    s.segmentHeight = size(L"SegmentHeight", s.segmentHeight);
    s.segmentBorder = size(L"SegmentBorder", s.segmentBorder);
    s.segmentRadius = size(L"SegmentRadius", s.segmentRadius);
    s.segmentGroupLineWidth = size(L"SegmentGroupLineWidth", s.segmentGroupLineWidth);
    s.fontSize = size(L"FontSize", s.fontSize);
    s.groupColour = colour(L"SegmentGroupColor", s.groupColour);
    s.blue = colour(L"Blue", s.blue);
    s.blueBorder = colour(L"BlueBorder", s.blueBorder);
    s.green = colour(L"Green", s.green);
    s.greenBorder = colour(L"GreenBorder", s.greenBorder);
    s.yellow = colour(L"Yellow", s.yellow);
    s.yellowBorder = colour(L"YellowBorder", s.yellowBorder);
    s.red = colour(L"Red", s.red);
    s.redBorder = colour(L"RedBorder", s.redBorder);
    s.showDC = Config::Setting<bool>(config, key(L"ShowDC"), s.showDC).Get();
    return s;
}

int PpmDisplaySettings::GreenSegments() const {
    return Count(dBGreen, dBPerSegment);
}

int PpmDisplaySettings::YellowSegments() const {
    return std::min(Count(dBYellow, dBPerSegment), kMaxSegments - GreenSegments());
}

int PpmDisplaySettings::RedSegments() const {
    return std::min(Count(dBRed, dBPerSegment), kMaxSegments - GreenSegments() - YellowSegments());
}

int PpmDisplaySettings::GroupCount() const {
    return Count(dBGroupSize, dBPerSegment);
}

SegmentRange PpmDisplaySettings::Bounds(int segment) const {
    const float n = static_cast<float>(Segments());
    const float d = static_cast<float>(dBPerSegment);
    const float j = static_cast<float>(segment);
    return SegmentRange{-(n - j) * d, -(n - j - 1.0f) * d};
}

bool PpmDisplaySettings::GroupLineAfter(int segment) const {
    const int group = GroupCount();
    if (group <= 0) {
        return false;
    }
    const double hi = std::trunc(static_cast<double>(Bounds(segment).hi));
    return std::isfinite(hi) && std::fmod(hi, static_cast<double>(group)) == 0.0;
}

float PpmDisplaySettings::Length() const {
    return static_cast<float>(Segments()) * (segmentWidth + segmentSpacingHorizontal) + segmentWidth +
           2.0f * borderWidth;
}

float PpmDisplaySettings::Breadth() const {
    return 4.0f * (segmentHeight + segmentSpacingVertical) + fontSize + 2.0f * borderWidth;
}

float SegmentFraction(float levelDb, SegmentRange range) noexcept {
    if (std::isnan(levelDb) || levelDb < range.lo) {
        return 0.0f;
    }
    if (levelDb > range.hi) {
        return 1.0f;
    }
    return (levelDb - range.lo) / (range.hi - range.lo);
}

std::array<BarLevels, 4> MakeBars(const MeterLevels& left, const MeterLevels& right) noexcept {
    const auto rms = [](const MeterLevels& m, bool clip) {
        return BarLevels{LevelDb(m.rmsOut * kSqrt2), LevelDb(m.rmsHold * kSqrt2), LevelDb(m.dcOut),
                         LevelDb(m.dcHold), clip};
    };
    const auto peak = [](const MeterLevels& m, bool clip) {
        return BarLevels{LevelDb(m.peakOut), LevelDb(m.peakHold), LevelDb(m.dcOut), LevelDb(m.dcHold), clip};
    };
    return {rms(left, left.clipOut), peak(left, left.clipOut), peak(right, right.clipOut),
            rms(right, right.clipOut)};
}

void PaintPpmDisplay2(gui::Canvas& canvas, const PpmDisplaySettings& s, const MeterLevels& left,
                      const MeterLevels& right) {
    const gui::Size window = canvas.GetSize();
    Frame frame;
    frame.vertical = window.height > window.width;
    frame.length = s.Length();
    const float along = frame.vertical ? window.height : window.width;
    const float across = frame.vertical ? window.width : window.height;

    canvas.Clear(gui::Colour::Rgba(20, 20, 20));
    canvas.SetOrigin(0.0f, 0.0f);
    float scale = 1.0f;
    if (s.scale && s.Length() > 0.0f && s.Breadth() > 0.0f) {
        scale = std::min(along / s.Length(), across / s.Breadth());
    }
    canvas.SetScale(scale);
    if (frame.vertical) {
        // Bars grow upwards from the bottom of the window.
        canvas.SetOrigin(0.0f, window.height - s.Length() * scale);
    }

    const int n = s.Segments();
    const float w = s.segmentWidth;
    const float h = s.segmentHeight;
    const float pitchAlong = w + s.segmentSpacingHorizontal;
    const float pitchAcross = h + s.segmentSpacingVertical;
    const float labelRow = s.borderWidth + 2.0f * pitchAcross;
    const auto barAcross = [&](int bar) {
        return s.borderWidth + s.segmentSpacingVertical * 0.5f + static_cast<float>(bar) * pitchAcross +
               (bar >= 2 ? s.fontSize : 0.0f);
    };
    const auto segmentAlong = [&](int segment) {
        return s.borderWidth + static_cast<float>(segment) * pitchAlong;
    };
    const auto segmentColours = [&](int segment, gui::Colour& fill, gui::Colour& line) {
        if (segment < s.GreenSegments()) {
            fill = s.green;
            line = s.greenBorder;
        } else if (segment < s.GreenSegments() + s.YellowSegments()) {
            fill = s.yellow;
            line = s.yellowBorder;
        } else {
            fill = s.red;
            line = s.redBorder;
        }
    };
    const auto drawSegment = [&](int bar, int segment, gui::Colour fill, gui::Colour line) {
        float x, y, bw, bh;
        frame.Box(segmentAlong(segment), barAcross(bar), w, h, x, y, bw, bh);
        canvas.RoundedRectangle(x, y, bw, bh, s.segmentRadius, fill, line, s.segmentBorder);
    };

    const std::array<BarLevels, 4> bars = MakeBars(left, right);
    for (int bar = 0; bar < 4; ++bar) {
        for (int segment = 0; segment < n; ++segment) {
            const SegmentRange range = s.Bounds(segment);
            gui::Colour fill, line;
            segmentColours(segment, fill, line);
            drawSegment(bar, segment, Scaled(fill, SegmentFraction(bars[bar].hold, range)),
                        Scaled(line, SegmentFraction(bars[bar].current, range)));
        }
    }
    if (s.showDC) {
        for (int bar = 0; bar < 4; ++bar) {
            for (int segment = 0; segment < n; ++segment) {
                const SegmentRange range = s.Bounds(segment);
                drawSegment(bar, segment, Scaled(s.blue, SegmentFraction(bars[bar].dcHold, range)),
                            Scaled(s.blueBorder, SegmentFraction(bars[bar].dc, range)));
            }
        }
    }
    for (int bar = 0; bar < 4; ++bar) {
        drawSegment(bar, n, bars[bar].clip ? s.red.WithAlpha(255) : s.red.WithAlpha(0),
                    s.redBorder.WithAlpha(0));
    }

    canvas.SetFont(L"Arial", s.fontSize, 1.0f, 0.0f, 0.0f);
    for (int segment = 0; segment < n; ++segment) {
        if (!s.GroupLineAfter(segment)) {
            continue;
        }
        const float at = segmentAlong(segment) + w + s.segmentSpacingHorizontal * 0.5f;
        const float topStart = s.borderWidth;
        const float topEnd = labelRow;
        const float bottomStart = labelRow + s.fontSize;
        const float bottomEnd = bottomStart + 2.0f * pitchAcross;
        float x1, y1, x2, y2;
        frame.Point(at, topStart, x1, y1);
        frame.Point(at, topEnd, x2, y2);
        canvas.Line(x1, y1, x2, y2, s.groupColour, s.segmentGroupLineWidth);
        frame.Point(at, bottomStart, x1, y1);
        frame.Point(at, bottomEnd, x2, y2);
        canvas.Line(x1, y1, x2, y2, s.groupColour, s.segmentGroupLineWidth);

        const String label = std::to_wstring(static_cast<int>(s.Bounds(segment).hi));
        const float textWidth = canvas.TextWidth(label);
        float x, y;
        frame.Point(at, labelRow, x, y);
        if (frame.vertical) {
            canvas.Text(labelRow + (s.fontSize - textWidth) * 0.5f, y - s.fontSize * 0.5f, s.groupColour,
                        label);
        } else {
            canvas.Text(x - textWidth * 0.5f, labelRow - s.fontSize * 0.125f, s.groupColour, label);
        }
    }
}

float DebugBarFraction(float value) noexcept {
    const float db = LevelDb(value);
    if (std::isnan(db)) {
        return 0.0f;
    }
    return std::clamp((db + 60.0f) / 60.0f, 0.0f, 1.0f);
}

void PaintPpmDisplay(gui::Canvas& canvas, const std::vector<MeterLevels>& meters,
                     const std::vector<String>& labels) {
    constexpr float kRow = 20.0f;
    constexpr float kMargin = 6.0f;
    constexpr float kBarHeight = 12.0f;
    const gui::Colour background = gui::Colour::Rgba(20, 20, 20);
    const gui::Colour track = gui::Colour::Rgba(60, 60, 60);
    const gui::Colour text = gui::Colour::Rgba(220, 220, 220);
    const gui::Colour peak = gui::Colour::Rgba(0, 200, 0);
    const gui::Colour rms = gui::Colour::Rgba(0, 255, 0);
    const gui::Colour hold = gui::Colour::Rgba(255, 255, 0);
    const gui::Colour clip = gui::Colour::Rgba(255, 0, 0);

    canvas.Clear(background);
    canvas.SetOrigin(0.0f, 0.0f);
    canvas.SetScale(1.0f);
    canvas.SetFont(L"Arial", 10.0f, 1.0f, 0.0f, 0.0f);
    float labelWidth = 0.0f;
    for (const String& label : labels) {
        labelWidth = std::max(labelWidth, canvas.TextWidth(label));
    }
    const float barLeft = kMargin + labelWidth + kMargin;
    const float clipWidth = kBarHeight;
    const float barWidth = std::max(canvas.GetSize().width - barLeft - clipWidth - 2.0f * kMargin, 10.0f);

    for (size_t i = 0; i < meters.size(); ++i) {
        const MeterLevels& m = meters[i];
        const float top = kMargin + static_cast<float>(i) * kRow;
        if (i < labels.size()) {
            canvas.Text(kMargin, top, text, labels[i]);
        }
        canvas.Rectangle(barLeft, top, barLeft + barWidth, top + kBarHeight, track, gui::Colour(0), 0.0f);
        const float peakEnd = barLeft + barWidth * DebugBarFraction(m.peakOut);
        canvas.Rectangle(barLeft, top, peakEnd, top + kBarHeight, peak, gui::Colour(0), 0.0f);
        const float rmsEnd = barLeft + barWidth * DebugBarFraction(m.rmsOut * kSqrt2);
        canvas.Rectangle(barLeft, top + kBarHeight * 0.25f, rmsEnd, top + kBarHeight * 0.75f, rms,
                         gui::Colour(0), 0.0f);
        const float holdAt = barLeft + barWidth * DebugBarFraction(m.peakHold);
        canvas.Line(holdAt, top, holdAt, top + kBarHeight, hold, 2.0f);
        const float clipLeft = barLeft + barWidth + kMargin;
        canvas.Rectangle(clipLeft, top, clipLeft + clipWidth, top + kBarHeight, m.clipOut ? clip : track,
                         gui::Colour(0), 0.0f);
    }
}

} // namespace brl::Synth::Gui
