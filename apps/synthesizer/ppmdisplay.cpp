#include "ppmdisplay.h"

namespace brl::Synth::Gui {

PPM_Display2::PPM_Display2(wxWindow* parent, Config::Frontend& config, MeterSource leftMeter,
                           MeterSource rightMeter)
    : CanvasWindow(parent, config, L"Ui/PPMDisplay"), left(std::move(leftMeter)),
      right(std::move(rightMeter)), settings(PpmDisplaySettings::Read(config)) {
    SetMinSize(wxSize(static_cast<int>(settings.Length()), static_cast<int>(settings.Breadth())));
    // Settings changes arrive on the thread that made them; the window takes
    // them on the GUI thread.
    listener =
        std::make_unique<Config::ChangeListener>(config, [this] { CallAfter([this] { ReloadSettings(); }); });
}

PPM_Display2::~PPM_Display2() {
    listener.reset();
}

void PPM_Display2::ReloadSettings() {
    settings = PpmDisplaySettings::Read(CanvasWindow::Settings());
    Refresh(false);
}

void PPM_Display2::UpdateDisplay() {
    Refresh(false);
}

void PPM_Display2::Redraw(gui::Canvas& canvas) {
    PaintPpmDisplay2(canvas, settings, left ? left() : MeterLevels{}, right ? right() : MeterLevels{});
}

PPM_Display::PPM_Display(wxWindow* parent, Config::Frontend& config, std::vector<MeterSource> sources,
                         std::vector<String> meterLabels)
    : CanvasWindow(parent, config, L"Ui/PPMDisplay"), meters(std::move(sources)),
      labels(std::move(meterLabels)) {
    SetMinSize(wxSize(320, static_cast<int>(meters.size()) * 20 + 12));
}

void PPM_Display::UpdateDisplay() {
    Refresh(false);
}

void PPM_Display::Redraw(gui::Canvas& canvas) {
    std::vector<MeterLevels> levels;
    levels.reserve(meters.size());
    for (const MeterSource& meter : meters) {
        levels.push_back(meter ? meter() : MeterLevels{});
    }
    PaintPpmDisplay(canvas, levels, labels);
}

} // namespace brl::Synth::Gui
