#pragma once

#include "korvax/korvaxmanager.h"
#include "libbrelm/application.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"

#include <wx/frame.h>
#include <wx/panel.h>

#include <vector>

class wxCheckBox;
class wxCheckListBox;
class wxChoice;
class wxNotebook;
class wxSpinCtrl;
class wxTextCtrl;

// The settings window: the pages "ui", "korvax", "editor", "audio" and "midi"
// (the last two only for the native manager), and "advanced" and "backends"
// while "Ui/Settings/Advanced/ShowBackends" is on. Every control writes its
// setting at once and applies it: audio changes reopen the device through the
// native manager, MIDI ticks start and stop inputs, the channel mapping goes
// to the MIDI converter; the rest reaches the main window through the
// configuration's change notification. Closing (or "OK") hides the window and
// stores its placement ("Settings").
//
// Threads: GUI thread only.
namespace brl::Synth {
class NativeManager;
}

namespace brl::Synth::Gui {

class SettingsKorvaxPanel : public wxPanel {
public:
    SettingsKorvaxPanel(wxWindow* parent, Korvax::Manager& manager, Config::Frontend& config);
    void Reload();

    wxSpinCtrl* UpdateInterval() const { return updateInterval; }
    wxChoice* ChannelMapping() const { return channelMapping; }
    wxSpinCtrl* RedrawInterval() const { return redrawInterval; }

private:
    Korvax::Manager& synth;
    Config::Frontend& config;
    wxSpinCtrl* updateInterval = nullptr;
    wxChoice* channelMapping = nullptr;
    wxSpinCtrl* redrawInterval = nullptr;
};

class SettingsVerglPanel : public wxPanel {
public:
    SettingsVerglPanel(wxWindow* parent, Config::Frontend& config);
    void Reload();

    wxCheckBox* AlignToGrid() const { return alignToGrid; }
    wxCheckBox* ShowHover() const { return showHover; }
    wxCheckBox* AutoCompile() const { return autoCompile; }

private:
    Config::Frontend& config;
    wxCheckBox* alignToGrid = nullptr;
    wxCheckBox* showHover = nullptr;
    wxCheckBox* autoCompile = nullptr;
};

class SettingsAudioPanel : public wxPanel {
public:
    SettingsAudioPanel(wxWindow* parent, NativeManager& manager, Config::Frontend& config,
                       const ApplicationInfo& application);

    // The device choice anew from the audio master, the setting's device chosen.
    void RebuildDevices();
    // The rates the chosen device offers, the setting's rate chosen.
    void RebuildRates();
    // SetAudioDevice with the chosen device and rate, the latency and the
    // channel mask; false when no device is chosen or it does not play.
    bool ReopenDevice();

    wxCheckListBox* Backends() const { return backends; }
    wxChoice* Device() const { return device; }
    wxChoice* Rate() const { return rate; }
    wxSpinCtrl* Latency() const { return latency; }
    wxTextCtrl* ChannelMask() const { return channelMask; }
    // The backend names the list shows, in its order.
    const std::vector<String>& BackendNames() const { return backendNames; }

    // What each control does after its change (the events call these too).
    void BackendsChanged();
    void DeviceChosen();
    void RateChosen();
    void LatencyChanged();
    // Takes the mask text: a number (decimal, or hexadecimal with "0x");
    // other text is refused (false) and the setting shown again.
    bool ChannelMaskEntered();

private:
    NativeManager& native;
    Config::Frontend& config;
    ApplicationInfo application;
    std::vector<String> backendNames;
    std::vector<uint32_t> rates;
    wxCheckListBox* backends = nullptr;
    wxChoice* device = nullptr;
    wxChoice* rate = nullptr;
    wxSpinCtrl* latency = nullptr;
    wxTextCtrl* channelMask = nullptr;
};

class SettingsMidiPanel : public wxPanel {
public:
    SettingsMidiPanel(wxWindow* parent, NativeManager& manager);
    void Rebuild();
    // Writes the input's "/active" setting, then starts or stops it.
    void InputTicked(int index, bool active);

    wxCheckListBox* Inputs() const { return inputs; }

private:
    NativeManager& native;
    wxCheckListBox* inputs = nullptr;
};

class Settings : public wxFrame {
public:
    static constexpr const wchar_t* kPlacementName = L"Settings";

    Settings(wxWindow* parent, Korvax::Manager& manager, Config::Frontend& config,
             const ApplicationInfo& application, Logging::Channel* logTarget);

    wxNotebook* Notebook() const { return notebook; }
    std::vector<String> PageNames() const;
    // The page of that name, or nullptr.
    wxWindow* Page(const String& name) const;
    SettingsKorvaxPanel* KorvaxPage() const { return korvaxPage; }
    SettingsVerglPanel* EditorPage() const { return editorPage; }
    SettingsAudioPanel* AudioPage() const { return audioPage; }
    SettingsMidiPanel* MidiPage() const { return midiPage; }

private:
    void OnClose(wxCloseEvent& event);

    Config::Frontend& config;
    wxNotebook* notebook = nullptr;
    SettingsKorvaxPanel* korvaxPage = nullptr;
    SettingsVerglPanel* editorPage = nullptr;
    SettingsAudioPanel* audioPage = nullptr;
    SettingsMidiPanel* midiPage = nullptr;
};

} // namespace brl::Synth::Gui
