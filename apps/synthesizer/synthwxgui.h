#pragma once

#include "korvax/korvaxmanager.h"
#include "libbrelm/application.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"
#include "synthesizer/guiwxwgraph.h"

#include <wx/weakref.h>

#include <memory>

namespace brl::Synth {
class NativeManager;
}

// The GUI root: the main window and the slider bank over the state manager,
// with the devices of the native manager opened once the main window is up.
//
// Threads: GUI thread only.
namespace brl::Synth::Gui {

class Schiebebank;

class SynthWxGui {
public:
    // In this order: the log channel "korvaxgui", the main window (shown),
    // with a native manager its Init, the slider bank, the audio device and
    // the MIDI inputs, the level meter settings. `native` is the manager's
    // device side, or nullptr to run without devices.
    SynthWxGui(Korvax::Manager& manager, NativeManager* native, Config::Frontend& config,
               const ApplicationInfo& application, const String& build, Logging::Channel* logTarget,
               Logging::ChannelBuffer* logBuffer);
    ~SynthWxGui();

    Graph* MainWindow() const { return graph; }
    Schiebebank* SliderBank() const;
    Logging::Logger& Log() { return log; }

private:
    void OpenDevices();

    Korvax::Manager& manager;
    NativeManager* native;
    Config::Frontend& config;
    ApplicationInfo application;
    Logging::Logger log;
    wxWeakRef<Graph> graph;
};

} // namespace brl::Synth::Gui
