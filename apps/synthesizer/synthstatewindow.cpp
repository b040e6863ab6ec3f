#include "synthstatewindow.h"

#include "gui/settingspanels.h"

#include <wx/dcbuffer.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>

namespace brl::Synth::Gui {

namespace {

// The dump is laid out in columns, so it is drawn in a fixed-pitch font of the
// GUI font's size.
wxFont StateFont() {
    const wxFont gui = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    return wxFont(wxFontInfo(gui.GetPointSize()).Family(wxFONTFAMILY_TELETYPE));
}

} // namespace

SynthStateWindow::SynthStateWindow(wxWindow* parent, Korvax::Manager& manager, Config::Frontend& frontend)
    : wxFrame(parent, wxID_ANY, L"synth state", wxDefaultPosition, wxSize(1100, 360)), synth(manager),
      config(frontend), timer(this) {
    surface = new wxPanel(this, wxID_ANY);
    surface->SetBackgroundStyle(wxBG_STYLE_PAINT);
    surface->Bind(wxEVT_PAINT, [this](wxPaintEvent&) { OnPaint(); });
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
        TakeIntroSize();
        if (IsShown()) {
            surface->Refresh(false);
        }
    });
    Bind(wxEVT_CLOSE_WINDOW, &SynthStateWindow::OnClose, this);
    gui::RestoreWindowPlacement(*this, config, kPlacementName);
    timer.Start(kRepaintMs);
}

SynthStateWindow::~SynthStateWindow() {
    timer.Stop();
}

void SynthStateWindow::UpdateIntroSize() {
    // The value bytes as an export would write them.
    synth.SettleEvents();
    synth.Patches().StoreParameterValues(synth.Memory());
    introMeter.Request(Korvax::MakeIntroTables(synth.Patches(), synth.LastProgram()));
}

bool SynthStateWindow::TakeIntroSize() {
    const std::optional<Korvax::IntroSizeMeter::Result> result = introMeter.Take();
    if (!result) {
        return false;
    }
    introLine = result->size ? Korvax::IntroSizeText(*result->size) : String(L"intro tables: size not known");
    return true;
}

void SynthStateWindow::OnPaint() {
    wxAutoBufferedPaintDC dc(surface);
    const wxColour background = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW);
    dc.SetBackground(wxBrush(background));
    dc.Clear();
    lines.clear();
    if (!introLine.empty()) {
        lines.push_back(introLine);
    }
    Korvax::SynthesizerRealtime::DumpState(synth, [this](const String& line) { lines.push_back(line); });
    dc.SetFont(StateFont());
    dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
    int y = 1;
    for (const String& line : lines) {
        const wxString text(line);
        dc.DrawText(text, 2, y);
        y += dc.GetTextExtent(text.empty() ? wxString(L" ") : text).y;
    }
    ++paints;
}

void SynthStateWindow::OnClose(wxCloseEvent& event) {
    gui::HideOnClose(*this, event, config, kPlacementName);
}

SynthDebugWindow::SynthDebugWindow(wxWindow* parent, Korvax::Manager& manager, Config::Frontend& frontend)
    : wxFrame(parent, wxID_ANY, L"synth debug", wxDefaultPosition, wxSize(560, 220)), config(frontend),
      timer(this) {
    std::vector<MeterSource> sources;
    std::vector<String> labels;
    for (int i = 0; i < Korvax::Manager::kDebugMeters; ++i) {
        const Korvax::PpmMeter* meter = &manager.DebugMeters()[static_cast<size_t>(i)];
        sources.push_back([meter] { return ReadMeter(*meter); });
        labels.push_back(L"debug " + std::to_wstring(i));
    }
    display = new PPM_Display(this, config, std::move(sources), std::move(labels));
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(display, 1, wxEXPAND);
    SetSizer(sizer);
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
        if (IsShown()) {
            display->UpdateDisplay();
        }
    });
    Bind(wxEVT_CLOSE_WINDOW, &SynthDebugWindow::OnClose, this);
    gui::RestoreWindowPlacement(*this, config, kPlacementName);
    timer.Start(kRepaintMs);
}

SynthDebugWindow::~SynthDebugWindow() {
    timer.Stop();
}

void SynthDebugWindow::OnClose(wxCloseEvent& event) {
    gui::HideOnClose(*this, event, config, kPlacementName);
}

} // namespace brl::Synth::Gui
