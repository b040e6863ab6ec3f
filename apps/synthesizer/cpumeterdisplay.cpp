#include "cpumeterdisplay.h"

namespace brl::Synth::Gui {

CpuMeterDisplay::CpuMeterDisplay(wxWindow* parent, Config::Frontend& config, CpuLoadSource loadSource)
    : CanvasWindow(parent, config, L"Ui/PPMDisplay"), source(std::move(loadSource)) {
    SetMinSize(wxSize(150, 18));
    SetToolTip(L"share of the audio period the synthesizer takes, and its peak of the last seconds");
}

void CpuMeterDisplay::UpdateDisplay() {
    if (source) {
        const auto [current, peak] = source();
        meter.Update(current, peak);
    }
    Refresh(false);
}

void CpuMeterDisplay::Redraw(gui::Canvas& canvas) {
    PaintCpuMeter(canvas, meter);
}

} // namespace brl::Synth::Gui
