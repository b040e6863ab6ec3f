#include "schiebebank.h"

#include "gui/settingspanels.h"

#include <algorithm>

#include <wx/display.h>
#include <wx/scrolwin.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

namespace brl::Synth::Gui {

Schiebebank::Schiebebank(wxWindow* parent, Korvax::Manager& manager, Config::Frontend& frontend)
    : wxFrame(parent, wxID_ANY, L"schiebebank", wxDefaultPosition, wxSize(1400, 800)), Listener(manager),
      synth(manager), config(frontend) {
    panel = new wxScrolledWindow(this, wxID_ANY);
    panel->SetScrollRate(1, 1);
    grid = new wxFlexGridSizer(kColumns, wxSize(1, 0));
    panel->SetSizer(grid);
    widgets.resize(kWidgets);
    panel->Freeze();
    for (int index = 0; index < kWidgets; ++index) {
        BindWidget(index);
    }
    panel->Thaw();
    panel->FitInside();
    // Wide enough for the four columns of widgets, as tall as fits the screen.
    const wxSize content = grid->GetMinSize();
    const wxRect screen =
        wxDisplay(static_cast<unsigned>(std::max(wxDisplay::GetFromWindow(this), 0))).GetClientArea();
    SetClientSize(std::min(content.x + wxSystemSettings::GetMetric(wxSYS_VSCROLL_X, this) + 8, screen.width),
                  std::min(content.y, std::min(800, screen.height)));
    Bind(wxEVT_CLOSE_WINDOW, &Schiebebank::OnClose, this);
    gui::RestoreWindowPlacement(*this, config, kPlacementName);
    Subscribe();
}

Schiebebank::~Schiebebank() {
    Unsubscribe();
    widgets.clear();
}

void Schiebebank::BindWidget(int index) {
    const int program = synth.GetCurrentProgram();
    const Korvax::PinKind kind = synth.GetPreferredControllerRange(program, index);
    auto& slot = widgets[static_cast<size_t>(index)];
    if (slot && slot->Channel() == program && slot->RangeKind() == kind) {
        Relabel(index);
        return;
    }
    std::unique_ptr<ControllerWidget> widget = ControllerWidget::Create(panel, synth, program, index, kind);
    const size_t first = static_cast<size_t>(index) * 3;
    if (slot) {
        // The new windows take the old ones' cells.
        grid->Replace(slot->Label(), widget->Label());
        grid->Replace(slot->Control(), widget->Control());
        grid->Replace(slot->ValueLabel(), widget->ValueLabel());
    } else {
        grid->Insert(first, widget->Label(), 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 6);
        grid->Insert(first + 1, widget->Control(), 0, wxALIGN_CENTER_VERTICAL | wxEXPAND);
        grid->Insert(first + 2, widget->ValueLabel(), 0, wxALIGN_CENTER_VERTICAL);
    }
    widget->beforeLearnChange = beforeLearnChange;
    slot = std::move(widget);
    Relabel(index);
}

void Schiebebank::SetBeforeLearnChange(std::function<void()> hook) {
    beforeLearnChange = std::move(hook);
    for (const auto& widget : widgets) {
        widget->beforeLearnChange = beforeLearnChange;
    }
}

void Schiebebank::Relabel(int index) {
    ControllerWidget& widget = *widgets[static_cast<size_t>(index)];
    widget.SetLabel(synth.ControllerName(widget.Channel(), index));
    ++relabels;
}

void Schiebebank::ProgramSelected() {
    panel->Freeze();
    for (int index = 0; index < kWidgets; ++index) {
        BindWidget(index);
    }
    Refresh();
    panel->Thaw();
    panel->Layout();
    panel->FitInside();
}

void Schiebebank::ControllerNameChanged(int channel, int controller) {
    if (channel != synth.GetCurrentProgram() || controller < 0 || controller >= kWidgets) {
        return;
    }
    BindWidget(controller);
    panel->Layout();
    panel->FitInside();
}

void Schiebebank::Refresh() {
    synth.SettleEvents();
    for (const auto& widget : widgets) {
        widget->ShowSlotValue();
    }
}

void Schiebebank::OnClose(wxCloseEvent& event) {
    gui::HideOnClose(*this, event, config, kPlacementName);
}

} // namespace brl::Synth::Gui
