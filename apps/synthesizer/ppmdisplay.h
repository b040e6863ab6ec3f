#pragma once

#include "gui/canvaswindow.h"
#include "libbrelm/config.h"
#include "ppmdisplaylogic.h"

#include <functional>
#include <memory>
#include <vector>

// The level meter windows: PPM_Display2 shows the two output meters, the older
// PPM_Display a row per debug meter. Both draw through the canvas and read the
// meters through functions that return their published values, so any meter
// can be shown.
//
// Threads: GUI thread only; the sources are called on it.
namespace brl::Synth::Gui {

using MeterSource = std::function<MeterLevels()>;

class PPM_Display2 : public gui::CanvasWindow {
public:
    PPM_Display2(wxWindow* parent, Config::Frontend& config, MeterSource left, MeterSource right);
    ~PPM_Display2() override;

    // Reads the meters and repaints (the main window's redraw timer calls it).
    void UpdateDisplay();
    // Takes the "Ui/PPMDisplay/..." settings again (on a configuration change).
    void ReloadSettings();
    const PpmDisplaySettings& DisplaySettings() const { return settings; }

protected:
    void Redraw(gui::Canvas& canvas) override;

private:
    MeterSource left;
    MeterSource right;
    PpmDisplaySettings settings;
    std::unique_ptr<Config::ChangeListener> listener;
};

class PPM_Display : public gui::CanvasWindow {
public:
    PPM_Display(wxWindow* parent, Config::Frontend& config, std::vector<MeterSource> meters,
                std::vector<String> labels);

    void UpdateDisplay();

protected:
    void Redraw(gui::Canvas& canvas) override;

private:
    std::vector<MeterSource> meters;
    std::vector<String> labels;
};

} // namespace brl::Synth::Gui
