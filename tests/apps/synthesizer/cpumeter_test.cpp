#include "synthesizer/cpumeter.h"

#include "support/recording_canvas.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using brl::Synth::Gui::CpuMeter;
using brl::Synth::Gui::PaintCpuMeter;
using brl::testing::RecordingCanvas;

TEST(CpuMeterFigures, TakeTheManagersSharesAsWholePercent) {
    CpuMeter meter;
    EXPECT_EQ(meter.Text(), L"CPU 0% (peak 0%)");
    meter.Update(0.1234f, 0.345f);
    EXPECT_EQ(meter.Text(), L"CPU 12% (peak 35%)");
    EXPECT_EQ(meter.ShortText(), L"CPU 12%");
    // A peak read before the current share was published is never below it.
    meter.Update(0.5f, 0.2f);
    EXPECT_EQ(meter.Peak(), 0.5f);
    meter.Update(std::numeric_limits<float>::quiet_NaN(), -1.0f);
    EXPECT_EQ(meter.Current(), 0.0f);
    EXPECT_EQ(meter.Peak(), 0.0f);
    meter.Update(2.5f, std::numeric_limits<float>::infinity());
    EXPECT_EQ(meter.Text(), L"CPU 250% (peak 100000%)");

    EXPECT_EQ(CpuMeter::LevelOf(0.59f), CpuMeter::Level::Low);
    EXPECT_EQ(CpuMeter::LevelOf(0.6f), CpuMeter::Level::High);
    EXPECT_EQ(CpuMeter::LevelOf(0.9f), CpuMeter::Level::Over);
}

TEST(CpuMeterPainting, TheBarAndThePeakLineStopAtTheEndOfTheTrack) {
    CpuMeter meter;
    meter.Update(0.25f, 0.75f);
    RecordingCanvas canvas(204.0f, 24.0f);
    PaintCpuMeter(canvas, meter);
    auto bars = canvas.Of("Rectangle"); // the track, then the bar
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_FLOAT_EQ(bars[1].args[2] - bars[1].args[0], (bars[0].args[2] - bars[0].args[0]) * 0.25f);
    EXPECT_FLOAT_EQ(canvas.Of("Line")[0].args[0], bars[0].args[0] + 150.0f);
    EXPECT_EQ(canvas.Of("Text")[0].text, L"CPU 25% (peak 75%)");

    // Over the period, on a meter too narrow for the peak's text.
    meter.Update(1.4f, 1.4f);
    RecordingCanvas narrow(64.0f, 18.0f);
    PaintCpuMeter(narrow, meter);
    bars = narrow.Of("Rectangle");
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_FLOAT_EQ(bars[1].args[2], bars[0].args[2]);
    EXPECT_FLOAT_EQ(narrow.Of("Line")[0].args[0], bars[0].args[2]);
    EXPECT_EQ(narrow.Of("Text")[0].text, L"CPU 140%");
}

} // namespace
