#pragma once

#include "cpumeter.h"
#include "gui/canvaswindow.h"
#include "libbrelm/config.h"

#include <functional>
#include <utility>

// The CPU meter as a small window for the level meter pane and the status
// bar: it reads its source on each update and repaints.
//
// Threads: GUI thread only; the source is called on it.
namespace brl::Synth::Gui {

// The current share and the peak share (the native manager's GetCallbackLoad).
using CpuLoadSource = std::function<std::pair<float, float>()>;

class CpuMeterDisplay : public gui::CanvasWindow {
public:
    CpuMeterDisplay(wxWindow* parent, Config::Frontend& config, CpuLoadSource source);

    // Reads the source and repaints (the main window's redraw timer calls it).
    void UpdateDisplay();
    const CpuMeter& Meter() const { return meter; }

protected:
    void Redraw(gui::Canvas& canvas) override;

private:
    CpuLoadSource source;
    CpuMeter meter;
};

} // namespace brl::Synth::Gui
