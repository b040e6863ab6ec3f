#pragma once

#include "gui/canvas.h"
#include "libbrelm/string.h"

// The CPU meter without a toolkit: the audio callback's share of its period
// and the highest share of the last seconds, as the native manager measures
// them, turned into a text and painted as a bar through a Canvas.
//
// Threads: the GUI thread.
namespace brl::Synth::Gui {

class CpuMeter {
public:
    // Shares of 1.0 and more mean the callback took its whole period.
    enum class Level { Low, High, Over };
    static constexpr float kHigh = 0.6f;
    static constexpr float kOver = 0.9f;

    // Takes the manager's figures; negative and NaN shares read 0, and the
    // peak is never below the current share.
    void Update(float current, float peak) noexcept;
    float Current() const noexcept { return current; }
    float Peak() const noexcept { return peak; }

    // Whole percent, rounded: "CPU 12%" and "CPU 12% (peak 34%)".
    static int Percent(float share) noexcept;
    String Text() const;
    String ShortText() const;
    static Level LevelOf(float share) noexcept;

private:
    float current = 0.0f;
    float peak = 0.0f;
};

// A dark track with the current share as a bar coloured by its level (green,
// yellow, red), the peak as a line, and the text over it; 0..100 % spans the
// canvas's width less a margin.
void PaintCpuMeter(gui::Canvas& canvas, const CpuMeter& meter);

} // namespace brl::Synth::Gui
