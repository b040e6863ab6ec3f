#pragma once

#include "controllerwidget.h"
#include "korvax/korvaxmanager.h"
#include "libbrelm/config.h"

#include <wx/frame.h>

#include <functional>
#include <memory>
#include <vector>

class wxFlexGridSizer;
class wxScrolledWindow;

// The slider bank: a frame "schiebebank" with one controller widget for each
// of the controllers 0..239 of the current program, four to a row (label,
// control and value text each) in a scrolled panel.
//
// Threads: GUI thread only.
namespace brl::Synth::Gui {

class Schiebebank : public wxFrame, public Korvax::Listener {
public:
    static constexpr int kWidgets = 240;
    static constexpr int kColumns = 12;
    static constexpr const wchar_t* kPlacementName = L"Schiebebank";

    Schiebebank(wxWindow* parent, Korvax::Manager& manager, Config::Frontend& config);
    ~Schiebebank() override;

    // Relabels (and rebuilds where the kind changed) every widget for the new
    // current program.
    void ProgramSelected() override;
    // Relabels one widget when the channel is the current program and the
    // controller one of the 240 shown.
    void ControllerNameChanged(int channel, int controller) override;
    // Shows the current program's controller values.
    void Refresh() override;

    // Given to every widget, now and when it is rebuilt (see
    // ControllerWidget::beforeLearnChange).
    void SetBeforeLearnChange(std::function<void()> hook);

    ControllerWidget& Widget(int index) const { return *widgets[static_cast<size_t>(index)]; }
    wxScrolledWindow* Panel() const { return panel; }
    wxFlexGridSizer* Grid() const { return grid; }
    // How often a widget has been relabelled (for the observers of this window).
    uint64_t RelabelCount() const { return relabels; }

private:
    // The widget for one controller of the current program, of the control its
    // kind asks for; the old one is replaced when the kind differs.
    void BindWidget(int index);
    void Relabel(int index);
    void OnClose(wxCloseEvent& event);

    Korvax::Manager& synth;
    Config::Frontend& config;
    wxScrolledWindow* panel = nullptr;
    wxFlexGridSizer* grid = nullptr;
    std::vector<std::unique_ptr<ControllerWidget>> widgets;
    uint64_t relabels = 0;
    std::function<void()> beforeLearnChange;
};

} // namespace brl::Synth::Gui
