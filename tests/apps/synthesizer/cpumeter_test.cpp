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

TEST(CpuMeterPainting, DrawsTheShareAsABarThePeakAsALineAndTheText) {
    CpuMeter meter;
    meter.Update(0.25f, 0.75f);
    RecordingCanvas canvas(204.0f, 24.0f);
    PaintCpuMeter(canvas, meter);
    const auto bars = canvas.Of("Rectangle");
    ASSERT_EQ(bars.size(), 2u); // the track and the bar
    EXPECT_FLOAT_EQ(bars[0].args[2] - bars[0].args[0], 200.0f);
    EXPECT_FLOAT_EQ(bars[1].args[2] - bars[1].args[0], 50.0f);
    EXPECT_EQ(bars[1].colours[0].G() > bars[1].colours[0].R(), true); // green while low
    const auto lines = canvas.Of("Line");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FLOAT_EQ(lines[0].args[0], 2.0f + 150.0f);
    ASSERT_EQ(canvas.Of("Text").size(), 1u);
    EXPECT_EQ(canvas.Of("Text")[0].text, L"CPU 25% (peak 75%)");

    // Over the period: the bar and the line stop at the end, red; a narrow meter says less.
    meter.Update(1.4f, 1.4f);
    RecordingCanvas narrow(64.0f, 18.0f);
    PaintCpuMeter(narrow, meter);
    const auto over = narrow.Of("Rectangle");
    ASSERT_EQ(over.size(), 2u);
    EXPECT_FLOAT_EQ(over[1].args[2], over[0].args[2]);
    EXPECT_GT(over[1].colours[0].R(), over[1].colours[0].G());
    EXPECT_FLOAT_EQ(narrow.Of("Line")[0].args[0], over[0].args[2]);
    EXPECT_EQ(narrow.Of("Text")[0].text, L"CPU 140%");

    // Idle: no bar at all.
    meter.Update(0.0f, 0.0f);
    RecordingCanvas idle(100.0f, 18.0f);
    PaintCpuMeter(idle, meter);
    EXPECT_EQ(idle.Of("Rectangle").size(), 1u);
}

} // namespace
