#pragma once

#include "gui/canvas.h"
#include "libbrelm/config.h"

#include <array>
#include <vector>

namespace brl::Korvax {
class PpmMeter;
}

// The level meter displays without a toolkit: the published values they read,
// their settings, the segment maths and the painting through a Canvas.
//
// Threads: the GUI thread. ReadMeter may run while the audio thread writes the
// meter; a torn read shows a wrong level for one redraw.
namespace brl::Synth::Gui {

// The published values of one level meter.
struct MeterLevels {
    float peakOut = 0.0f;
    float rmsOut = 0.0f;
    float dcOut = 0.0f;
    float peakHold = 0.0f;
    float rmsHold = 0.0f;
    float dcHold = 0.0f;
    bool clipOut = false;
};

MeterLevels ReadMeter(const Korvax::PpmMeter& meter) noexcept;

// 20 * log10(value); minus infinity for 0, NaN for NaN.
float LevelDb(float value) noexcept;

// The dB interval of a segment.
struct SegmentRange {
    float lo = 0.0f;
    float hi = 0.0f;
};

// The 25 settings "Ui/PPMDisplay/..." of the level meter display.
struct PpmDisplaySettings {
    bool scale = false;
    double dBPerSegment = 2.0;
    double dBGreen = 42.0;
    double dBYellow = 6.0;
    double dBRed = 12.0;
    double dBGroupSize = 6.0;
    float borderWidth = 6.0f;
    float segmentSpacingHorizontal = 5.0f;
    float segmentSpacingVertical = 6.0f;
    float segmentWidth = 8.0f;
    float segmentHeight = 6.0f;
    float segmentBorder = 4.0f;
    float segmentRadius = 1.0f;
    float segmentGroupLineWidth = 1.0f;
    float fontSize = 8.0f;
    gui::Colour groupColour = gui::Colour::Rgba(0xcc, 0xcc, 0xcc, 0xcc);
    gui::Colour blue = gui::Colour::Rgba(0x00, 0x00, 0xff, 0x66);
    gui::Colour blueBorder = gui::Colour::Rgba(0x00, 0x00, 0xff, 0x44);
    gui::Colour green = gui::Colour::Rgba(0x00, 0xff, 0x00, 0xdd);
    gui::Colour greenBorder = gui::Colour::Rgba(0x00, 0xff, 0x00, 0xbb);
    gui::Colour yellow = gui::Colour::Rgba(0xff, 0xff, 0x00, 0xdd);
    gui::Colour yellowBorder = gui::Colour::Rgba(0xff, 0xff, 0x00, 0xbb);
    gui::Colour red = gui::Colour::Rgba(0xff, 0x00, 0x00, 0xdd);
    gui::Colour redBorder = gui::Colour::Rgba(0xff, 0x00, 0x00, 0xbb);
    bool showDC = false;

    // Counts of a range: its dB extent / dB per segment, truncated. A dB per
    // segment that is not positive, and a negative extent, give no segments;
    // all three together are kept within kMaxSegments.
    static constexpr int kMaxSegments = 1000;
    static PpmDisplaySettings Read(Config::Frontend& config);

    int GreenSegments() const;
    int YellowSegments() const;
    int RedSegments() const;
    int Segments() const { return GreenSegments() + YellowSegments() + RedSegments(); }
    // Segments between group lines; 0 (no lines) when the group size is smaller
    // than one segment.
    int GroupCount() const;
    // Segment j (0 the lowest) covers lo = -(N - j) * d .. hi = -(N - j - 1) * d.
    SegmentRange Bounds(int segment) const;
    // A group line (and label) follows the segment.
    bool GroupLineAfter(int segment) const;

    // The drawing's size along the bars (N segments and the clip segment) and
    // across them (four bars and the row of labels), unscaled.
    float Length() const;
    float Breadth() const;
};

// The part of a segment that a level reaches: 0 below lo, 1 above hi, else
// (v - lo) / (hi - lo). NaN counts as no level.
float SegmentFraction(float levelDb, SegmentRange range) noexcept;

// One bar as it is drawn: levels in dB.
struct BarLevels {
    float current = 0.0f;
    float hold = 0.0f;
    float dc = 0.0f;
    float dcHold = 0.0f;
    bool clip = false;
};

// The four bars, in order: left rms, left peak, right peak, right rms. The rms
// levels are multiplied by the square root of 2 first, so a full-scale sine
// reads 0 dB on both.
std::array<BarLevels, 4> MakeBars(const MeterLevels& left, const MeterLevels& right) noexcept;

// Draws the display on the canvas for the canvas's size: bars along the longer
// side, scaled to fit when the settings ask for it.
void PaintPpmDisplay2(gui::Canvas& canvas, const PpmDisplaySettings& settings, const MeterLevels& left,
                      const MeterLevels& right);

// The older display used for the debug meters: one row per meter with its
// label, a peak bar over -60..0 dB, the rms inside it, the peak hold as a tick
// and the clip indication, all scaled to the canvas's width.
void PaintPpmDisplay(gui::Canvas& canvas, const std::vector<MeterLevels>& meters,
                     const std::vector<String>& labels);
// The share of the older display's bar that a level fills: -60 dB .. 0 dB as 0..1.
float DebugBarFraction(float value) noexcept;

} // namespace brl::Synth::Gui
