#include "cpumeter.h"

#include <algorithm>
#include <cmath>

namespace brl::Synth::Gui {

namespace {

float Share(float value) noexcept {
    return value > 0.0f ? value : 0.0f; // NaN compares false
}

} // namespace

void CpuMeter::Update(float newCurrent, float newPeak) noexcept {
    current = Share(newCurrent);
    peak = std::max(Share(newPeak), current);
}

int CpuMeter::Percent(float share) noexcept {
    const float percent = Share(share) * 100.0f + 0.5f;
    return percent < 100000.0f ? static_cast<int>(percent) : 100000;
}

String CpuMeter::ShortText() const {
    return L"CPU " + std::to_wstring(Percent(current)) + L"%";
}

String CpuMeter::Text() const {
    return ShortText() + L" (peak " + std::to_wstring(Percent(peak)) + L"%)";
}

CpuMeter::Level CpuMeter::LevelOf(float share) noexcept {
    if (share >= kOver) {
        return Level::Over;
    }
    return share >= kHigh ? Level::High : Level::Low;
}

void PaintCpuMeter(gui::Canvas& canvas, const CpuMeter& meter) {
    constexpr float kMargin = 2.0f;
    const gui::Colour background = gui::Colour::Rgba(20, 20, 20);
    const gui::Colour track = gui::Colour::Rgba(60, 60, 60);
    const gui::Colour text = gui::Colour::Rgba(240, 240, 240);
    const gui::Colour peakLine = gui::Colour::Rgba(255, 255, 255);
    const gui::Colour levels[] = {gui::Colour::Rgba(0, 160, 0), gui::Colour::Rgba(200, 170, 0),
                                  gui::Colour::Rgba(220, 0, 0)};

    canvas.Clear(background);
    canvas.SetOrigin(0.0f, 0.0f);
    canvas.SetScale(1.0f);
    const gui::Size size = canvas.GetSize();
    const float width = std::max(size.width - 2.0f * kMargin, 1.0f);
    const float height = std::max(size.height - 2.0f * kMargin, 1.0f);
    canvas.Rectangle(kMargin, kMargin, kMargin + width, kMargin + height, track, gui::Colour(0), 0.0f);
    const float current = std::min(meter.Current(), 1.0f);
    if (current > 0.0f) {
        const gui::Colour fill = levels[static_cast<int>(CpuMeter::LevelOf(meter.Current()))];
        canvas.Rectangle(kMargin, kMargin, kMargin + width * current, kMargin + height, fill, gui::Colour(0),
                         0.0f);
    }
    const float peakAt = kMargin + width * std::min(meter.Peak(), 1.0f);
    canvas.Line(peakAt, kMargin, peakAt, kMargin + height, peakLine, 2.0f);

    const float fontSize = std::clamp(height * 0.6f, 6.0f, 12.0f);
    canvas.SetFont(L"Arial", fontSize, 1.0f, 0.0f, 0.0f);
    String label = meter.Text();
    if (canvas.TextWidth(label) + 8.0f > width) {
        label = meter.ShortText();
    }
    const float y = kMargin + std::max((height - fontSize * 1.3f) * 0.5f, 0.0f);
    // A dark shadow keeps the text legible over the bar and the peak line.
    canvas.Text(kMargin + 5.0f, y + 1.0f, background, label);
    canvas.Text(kMargin + 4.0f, y, text, label);
}

} // namespace brl::Synth::Gui
