#include "settingsdialog.h"

#include "audio/audioio.h"
#include "gui/settingspanels.h"
#include "midi/midiio.h"
#include "synth_native.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/checklst.h>
#include <wx/choice.h>
#include <wx/notebook.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <cwchar>

namespace brl::Synth::Gui {

namespace {

constexpr int kDefaultUpdateMs = 100;
constexpr int kDefaultRedrawMs = 50;

wxSpinCtrl* MakeSpin(wxWindow* parent, int lo, int hi, int value) {
    return new wxSpinCtrl(parent, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS,
                          lo, hi, std::clamp(value, lo, hi));
}

// A page laid out as label and control per row.
struct RowSizer {
    wxWindow* page;
    wxFlexGridSizer* grid = new wxFlexGridSizer(2, wxSize(8, 6));

    void Add(const wchar_t* label, wxWindow* control) {
        grid->Add(new wxStaticText(page, wxID_ANY, label), 0, wxALIGN_CENTER_VERTICAL);
        grid->Add(control, 0, wxEXPAND);
    }
    void Finish(wxSizer* above = nullptr) {
        grid->AddGrowableCol(1);
        auto* outer = new wxBoxSizer(wxVERTICAL);
        if (above != nullptr) {
            outer->Add(above, 0, wxALL | wxEXPAND, 10);
        }
        outer->Add(grid, 0, wxALL | wxEXPAND, 10);
        page->SetSizer(outer);
    }
};

// A channel mask as typed: decimal, or hexadecimal after "0x".
bool ParseMask(const wxString& text, int& mask) {
    const std::wstring value = text.Strip(wxString::both).ToStdWstring();
    if (value.empty()) {
        return false;
    }
    const bool hex = value.size() > 2 && value[0] == L'0' && (value[1] == L'x' || value[1] == L'X');
    wchar_t* end = nullptr;
    const unsigned long long parsed = std::wcstoull(value.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (end == nullptr || *end != L'\0' || parsed > 0x7FFFFFFFull || (!hex && value[0] == L'-')) {
        return false;
    }
    mask = static_cast<int>(parsed);
    return true;
}

} // namespace

// ---------------------------------------------------------------- korvax page

SettingsKorvaxPanel::SettingsKorvaxPanel(wxWindow* parent, Korvax::Manager& manager,
                                         Config::Frontend& frontend)
    : wxPanel(parent, wxID_ANY), synth(manager), config(frontend) {
    RowSizer rows{this};
    updateInterval = MakeSpin(this, 10, 250, kDefaultUpdateMs);
    rows.Add(L"synth ui update interval [ms]:", updateInterval);
    wxArrayString mappings;
    mappings.Add(L"midi program");
    mappings.Add(L"midi channel");
    channelMapping = new wxChoice(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, mappings);
    auto* mapping = new wxBoxSizer(wxHORIZONTAL);
    mapping->Add(channelMapping, 0, wxRIGHT, 6);
    mapping->Add(new wxStaticText(this, wxID_ANY, L"to each korvax channel"), 0, wxALIGN_CENTER_VERTICAL);
    rows.grid->Add(new wxStaticText(this, wxID_ANY, L"map a"), 0, wxALIGN_CENTER_VERTICAL);
    rows.grid->Add(mapping);
    redrawInterval = MakeSpin(this, 10, 250, kDefaultRedrawMs);
    rows.Add(L"synth ui redraw interval [ms]:", redrawInterval);
    rows.Finish();

    updateInterval->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent&) {
        Config::Setting<int>(config, "Korvax/Ui/UpdateInterval", kDefaultUpdateMs)
            .Set(updateInterval->GetValue());
    });
    redrawInterval->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent&) {
        Config::Setting<int>(config, "Korvax/Ui/RedrawInterval", kDefaultRedrawMs)
            .Set(redrawInterval->GetValue());
    });
    channelMapping->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) {
        const int index = channelMapping->GetSelection();
        Config::Setting<int>(config, "Korvax/Midi/ChannelMapping", 0).Set(index);
        synth.SetUseMidiChannel(index != 0);
    });
    Reload();
}

void SettingsKorvaxPanel::Reload() {
    updateInterval->SetValue(
        Config::Setting<int>(config, "Korvax/Ui/UpdateInterval", kDefaultUpdateMs).Get());
    redrawInterval->SetValue(
        Config::Setting<int>(config, "Korvax/Ui/RedrawInterval", kDefaultRedrawMs).Get());
    channelMapping->SetSelection(
        Config::Setting<int>(config, "Korvax/Midi/ChannelMapping", 0).Get() != 0 ? 1 : 0);
}

// ---------------------------------------------------------------- editor page

SettingsVerglPanel::SettingsVerglPanel(wxWindow* parent, Config::Frontend& frontend)
    : wxPanel(parent, wxID_ANY), config(frontend) {
    auto* column = new wxBoxSizer(wxVERTICAL);
    const auto check = [&](wxCheckBox*& box, const wchar_t* label, const char* key) {
        box = new wxCheckBox(this, wxID_ANY, label);
        column->Add(box, 0, wxBOTTOM, 6);
        box->Bind(wxEVT_CHECKBOX, [this, box, key](wxCommandEvent&) {
            Config::Setting<bool>(config, key, true).Set(box->GetValue());
        });
    };
    check(alignToGrid, L"align to grid", "Editor/AlignToGrid");
    check(showHover, L"show hovering highlights", "Editor/ShowHover");
    check(autoCompile, L"auto compile", "Editor/AutoCompile");
    auto* outer = new wxBoxSizer(wxVERTICAL);
    outer->Add(column, 0, wxALL, 10);
    SetSizer(outer);
    Reload();
}

void SettingsVerglPanel::Reload() {
    alignToGrid->SetValue(Config::Setting<bool>(config, "Editor/AlignToGrid", true).Get());
    showHover->SetValue(Config::Setting<bool>(config, "Editor/ShowHover", true).Get());
    autoCompile->SetValue(Config::Setting<bool>(config, "Editor/AutoCompile", true).Get());
}

// ---------------------------------------------------------------- audio page

SettingsAudioPanel::SettingsAudioPanel(wxWindow* parent, NativeManager& manager, Config::Frontend& frontend,
                                       const ApplicationInfo& app)
    : wxPanel(parent, wxID_ANY), native(manager), config(frontend), application(app) {
    // Every backend this build has, the configured ones first in their order.
    const std::vector<String> configured =
        Config::Setting<std::vector<String>>(config, "Audio/Backends", Audio::IoMaster::DefaultBackends())
            .Get();
    for (const String& name : configured) {
        if (Audio::IoMaster::IsAvailable(name) &&
            std::find(backendNames.begin(), backendNames.end(), name) == backendNames.end()) {
            backendNames.push_back(name);
        }
    }
    for (const String& name : Audio::IoMaster::KnownBackends()) {
        if (Audio::IoMaster::IsAvailable(name) &&
            std::find(backendNames.begin(), backendNames.end(), name) == backendNames.end()) {
            backendNames.push_back(name);
        }
    }
    wxArrayString names;
    for (const String& name : backendNames) {
        names.Add(wxString(name));
    }
    backends = new wxCheckListBox(this, wxID_ANY, wxDefaultPosition, wxSize(-1, 120), names);
    for (size_t i = 0; i < backendNames.size(); ++i) {
        backends->Check(static_cast<unsigned>(i),
                        std::find(configured.begin(), configured.end(), backendNames[i]) != configured.end());
    }

    RowSizer rows{this};
    device = new wxChoice(this, wxID_ANY, wxDefaultPosition, wxSize(360, -1));
    rows.Add(L"device:", device);
    rate = new wxChoice(this, wxID_ANY);
    rows.Add(L"sampling rate [Hz]:", rate);
    latency =
        MakeSpin(this, 1, 250, Config::Setting<int>(config, "Audio/Latency", Audio::kDefaultLatencyMs).Get());
    rows.Add(L"latency [ms]:", latency);
    channelMask =
        new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, wxTE_PROCESS_ENTER);
    rows.Add(L"channel mask [bitmask]:", channelMask);
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(new wxStaticText(this, wxID_ANY, L"audio backends:"), 0, wxBOTTOM, 4);
    top->Add(backends, 0, wxEXPAND);
    rows.Finish(top);

    channelMask->ChangeValue(
        std::to_wstring(Config::Setting<int>(config, "Audio/ChannelMask", Audio::kDefaultChannelMask).Get()));
    RebuildDevices();

    backends->Bind(wxEVT_CHECKLISTBOX, [this](wxCommandEvent&) { BackendsChanged(); });
    device->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) { DeviceChosen(); });
    rate->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) { RateChosen(); });
    latency->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent&) { LatencyChanged(); });
    channelMask->Bind(wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { ChannelMaskEntered(); });
    channelMask->Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& event) {
        ChannelMaskEntered();
        event.Skip();
    });
}

void SettingsAudioPanel::RebuildDevices() {
    device->Clear();
    Audio::IoMaster* master = native.GetAudioMaster();
    if (master != nullptr) {
        for (const Audio::Io* io : master->GetDevices()) {
            device->Append(wxString(io->GetProviderName() + L": " + io->GetDeviceName()));
        }
        const Audio::DeviceSettings settings = Audio::DeviceSettings::Read(config);
        const int index = master->FindDevice(settings.Api, settings.Id);
        if (device->GetCount() > 0) {
            device->SetSelection(index >= 0 ? index : 0);
        }
    }
    RebuildRates();
}

void SettingsAudioPanel::RebuildRates() {
    rate->Clear();
    rates.clear();
    const int wanted = Config::Setting<int>(config, "Audio/SamplingRate", Audio::kDefaultSamplingRate).Get();
    Audio::IoMaster* master = native.GetAudioMaster();
    const int chosen = device->GetSelection();
    if (master != nullptr && chosen >= 0) {
        rates = master->GetDevices()[static_cast<size_t>(chosen)]->GetCaps().FramesPerSecond;
    }
    if (std::find(rates.begin(), rates.end(), static_cast<uint32_t>(std::max(wanted, 0))) == rates.end() &&
        wanted > 0) {
        // A device that lists no rates (or not this one) still shows the setting.
        rates.push_back(static_cast<uint32_t>(wanted));
        std::sort(rates.begin(), rates.end());
    }
    for (uint32_t framesPerSecond : rates) {
        rate->Append(wxString(std::to_wstring(framesPerSecond)));
        if (framesPerSecond == static_cast<uint32_t>(wanted)) {
            rate->SetSelection(rate->GetCount() - 1);
        }
    }
}

bool SettingsAudioPanel::ReopenDevice() {
    const int index = device->GetSelection();
    const int chosenRate = rate->GetSelection();
    if (index < 0 || chosenRate < 0) {
        return false;
    }
    const int mask = Config::Setting<int>(config, "Audio/ChannelMask", Audio::kDefaultChannelMask).Get();
    return native.SetAudioDevice(index, static_cast<int>(rates[static_cast<size_t>(chosenRate)]),
                                 latency->GetValue(), mask, application);
}

void SettingsAudioPanel::BackendsChanged() {
    std::vector<String> ticked;
    for (size_t i = 0; i < backendNames.size(); ++i) {
        if (backends->IsChecked(static_cast<unsigned>(i))) {
            ticked.push_back(backendNames[i]);
        }
    }
    Config::Setting<std::vector<String>>(config, "Audio/Backends", Audio::IoMaster::DefaultBackends())
        .Set(ticked);
    native.RecreateAudioMaster(config);
    RebuildDevices();
    ReopenDevice();
}

void SettingsAudioPanel::DeviceChosen() {
    Audio::IoMaster* master = native.GetAudioMaster();
    const int index = device->GetSelection();
    if (master == nullptr || index < 0) {
        return;
    }
    const Audio::Io* io = master->GetDevices()[static_cast<size_t>(index)];
    Config::Setting<String>(config, "Audio/Device/API", String()).Set(io->GetApi());
    Config::Setting<String>(config, "Audio/Device/ID", String()).Set(io->GetDeviceId());
    RebuildRates();
    ReopenDevice();
}

void SettingsAudioPanel::RateChosen() {
    const int chosen = rate->GetSelection();
    if (chosen < 0) {
        return;
    }
    const uint32_t framesPerSecond = rates[static_cast<size_t>(chosen)];
    Config::Setting<int>(config, "Audio/SamplingRate", Audio::kDefaultSamplingRate)
        .Set(static_cast<int>(framesPerSecond));
    native.SetSampleRate(static_cast<float>(framesPerSecond));
    ReopenDevice();
}

void SettingsAudioPanel::LatencyChanged() {
    Config::Setting<int>(config, "Audio/Latency", Audio::kDefaultLatencyMs).Set(latency->GetValue());
    ReopenDevice();
}

bool SettingsAudioPanel::ChannelMaskEntered() {
    Config::Setting<int> setting(config, "Audio/ChannelMask", Audio::kDefaultChannelMask);
    int mask = 0;
    if (!ParseMask(channelMask->GetValue(), mask)) {
        channelMask->ChangeValue(std::to_wstring(setting.Get()));
        return false;
    }
    if (mask != setting.Get()) {
        setting.Set(mask);
        ReopenDevice();
    }
    return true;
}

// ---------------------------------------------------------------- midi page

SettingsMidiPanel::SettingsMidiPanel(wxWindow* parent, NativeManager& manager)
    : wxPanel(parent, wxID_ANY), native(manager) {
    inputs = new wxCheckListBox(this, wxID_ANY, wxDefaultPosition, wxSize(-1, 200));
    auto* outer = new wxBoxSizer(wxVERTICAL);
    outer->Add(new wxStaticText(this, wxID_ANY, L"midi inputs:"), 0, wxLEFT | wxTOP | wxRIGHT, 10);
    outer->Add(inputs, 1, wxALL | wxEXPAND, 10);
    SetSizer(outer);
    inputs->Bind(wxEVT_CHECKLISTBOX, [this](wxCommandEvent& event) {
        const int index = event.GetInt();
        InputTicked(index, inputs->IsChecked(static_cast<unsigned>(index)));
    });
    Rebuild();
}

void SettingsMidiPanel::Rebuild() {
    inputs->Clear();
    Midi::IoMaster* master = native.GetMidiMaster();
    if (master == nullptr) {
        return;
    }
    for (size_t i = 0; i < master->Inputs().size(); ++i) {
        inputs->Append(wxString(master->Inputs()[i]->Name()));
        inputs->Check(static_cast<unsigned>(i), master->IsInputActive(i));
    }
}

void SettingsMidiPanel::InputTicked(int index, bool active) {
    Midi::IoMaster* master = native.GetMidiMaster();
    if (master == nullptr || index < 0) {
        return;
    }
    master->SetInputActive(static_cast<size_t>(index), active);
    if (active) {
        native.StartMidiDevice(index);
    } else {
        native.StopMidiDevice(index);
    }
}

// ---------------------------------------------------------------- window

Settings::Settings(wxWindow* parent, Korvax::Manager& manager, Config::Frontend& frontend,
                   const ApplicationInfo& application, Logging::Channel* logTarget)
    : wxFrame(parent, wxID_ANY, L"settings", wxDefaultPosition, wxSize(640, 520)), config(frontend) {
    auto* panel = new wxPanel(this);
    notebook = new wxNotebook(panel, wxID_ANY);
    notebook->AddPage(new gui::SettingsUiPanel(notebook, config), L"ui");
    korvaxPage = new SettingsKorvaxPanel(notebook, manager, config);
    notebook->AddPage(korvaxPage, L"korvax");
    editorPage = new SettingsVerglPanel(notebook, config);
    notebook->AddPage(editorPage, L"editor");
    if (auto* native = dynamic_cast<NativeManager*>(&manager)) {
        audioPage = new SettingsAudioPanel(notebook, *native, config, application);
        notebook->AddPage(audioPage, L"audio");
        midiPage = new SettingsMidiPanel(notebook, *native);
        notebook->AddPage(midiPage, L"midi");
    }
    if (Config::Setting<bool>(config, "Ui/Settings/Advanced/ShowBackends", false).Get()) {
        notebook->AddPage(new gui::SettingsAdvancedPanel(notebook, config, logTarget), L"advanced");
        notebook->AddPage(new gui::SettingsBackendsPanel(notebook, config), L"backends");
    }
    auto* ok = new wxButton(panel, wxID_OK, L"OK");
    ok->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Close(); });
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(notebook, 1, wxEXPAND | wxALL, 6);
    column->Add(ok, 0, wxALIGN_RIGHT | wxRIGHT | wxBOTTOM, 6);
    panel->SetSizer(column);
    Bind(wxEVT_CLOSE_WINDOW, &Settings::OnClose, this);
    gui::RestoreWindowPlacement(*this, config, kPlacementName);
}

std::vector<String> Settings::PageNames() const {
    std::vector<String> names;
    for (size_t i = 0; i < notebook->GetPageCount(); ++i) {
        names.push_back(notebook->GetPageText(i).ToStdWstring());
    }
    return names;
}

wxWindow* Settings::Page(const String& name) const {
    for (size_t i = 0; i < notebook->GetPageCount(); ++i) {
        if (notebook->GetPageText(i).ToStdWstring() == name) {
            return notebook->GetPage(i);
        }
    }
    return nullptr;
}

void Settings::OnClose(wxCloseEvent& event) {
    gui::HideOnClose(*this, event, config, kPlacementName);
}

} // namespace brl::Synth::Gui
