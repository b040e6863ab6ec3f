// The level meter display painted on a recording canvas.
#include "synthesizer/ppmdisplaylogic.h"

#include "korvax/korvaxmanager.h"
#include "support/recording_canvas.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using namespace brl::Synth::Gui;
using brl::testing::CanvasCall;
using brl::testing::RecordingCanvas;

float FromDb(float db) {
    return std::pow(10.0f, db / 20.0f);
}

MeterLevels Steady(float peakDb, float holdDb) {
    MeterLevels m;
    m.peakOut = FromDb(peakDb);
    m.peakHold = FromDb(holdDb);
    m.rmsOut = FromDb(peakDb) / 1.4142135f;
    m.rmsHold = FromDb(holdDb) / 1.4142135f;
    return m;
}

// The segment call of bar b (0..3), segment j (0 lowest), in drawing order.
const CanvasCall& SegmentOf(const std::vector<CanvasCall>& calls, int bar, int segment) {
    return calls[static_cast<size_t>(bar * 30 + segment)];
}

// A nonsense segment size from the settings gives no segments, never billions.
TEST(LevelMeterSegments, NonsenseSegmentSizesGiveNoSegments) {
    PpmDisplaySettings s;
    for (double perSegment : {0.0, -2.0, std::nan("")}) {
        s.dBPerSegment = perSegment;
        EXPECT_EQ(s.Segments(), 0) << perSegment;
        EXPECT_EQ(s.GroupCount(), 0) << perSegment;
    }
    s.dBPerSegment = 1e-9; // would be 4.2e10 segments
    EXPECT_LE(s.Segments(), PpmDisplaySettings::kMaxSegments);
}

TEST(LevelMeterSegments, FullScaleSineReadsZeroDecibelsOnRmsAndPeak) {
    brl::Korvax::PpmMeter meter;
    // One second of 1 kHz ending on a crest (the peak decays between crests), fast and slow.
    std::vector<float> sine(96000 - 72);
    for (size_t i = 0; i < sine.size(); ++i) {
        sine[i] = static_cast<float>(std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(i) / 96000.0));
    }
    for (bool fast : {false, true}) {
        meter.Configure(96000.0, brl::Korvax::PpmSettings{});
        if (fast) {
            meter.RunFast(sine.data(), static_cast<uint32_t>(sine.size()));
        } else {
            meter.RunSlow(sine.data(), static_cast<uint32_t>(sine.size()));
        }
        const MeterLevels levels = ReadMeter(meter);
        const auto bars = MakeBars(levels, levels);
        for (int bar = 0; bar < 4; ++bar) {
            EXPECT_NEAR(bars[bar].current, 0.0f, 0.1f) << "bar " << bar << (fast ? " fast" : " slow");
            EXPECT_NEAR(bars[bar].hold, 0.0f, 0.1f) << "bar " << bar;
            EXPECT_FALSE(bars[bar].clip);
        }
        const PpmDisplaySettings s;
        EXPECT_GT(SegmentFraction(bars[0].current, s.Bounds(29)), 0.95f);
        EXPECT_GT(SegmentFraction(bars[1].current, s.Bounds(29)), 0.95f);
    }
}

TEST(LevelMeterPainting, OutlineFollowsTheLevelAndFillTheHold) {
    const PpmDisplaySettings s;
    // Left: peak at -59 dB (half of the lowest segment), hold -30 dB. Right: silent.
    const MeterLevels left = Steady(-59.0f, -30.0f);
    RecordingCanvas canvas(600, 100);
    PaintPpmDisplay2(canvas, s, left, MeterLevels{});
    const auto segments = canvas.Of("RoundedRectangle");
    ASSERT_EQ(segments.size(), 4u * 30u + 4u);            // four bars of 30 segments, four clip segments
    const CanvasCall& lowest = SegmentOf(segments, 1, 0); // left peak bar
    EXPECT_EQ(lowest.colours[0], s.green);                // hold -30 dB lies above it
    EXPECT_NEAR(lowest.colours[1].A(), 0xbb / 2.0, 1.0);
    EXPECT_EQ(SegmentOf(segments, 1, 1).colours[1].A(), 0u);   // -58..-56 not reached
    EXPECT_EQ(SegmentOf(segments, 1, 14).colours[0], s.green); // -32..-30: hold reaches its top
    EXPECT_EQ(SegmentOf(segments, 1, 15).colours[0].A(), 0u);  // -30..-28: above the hold
}

} // namespace
