#include "synthesizer/synthwxgui.h"

#include "audio/audio.h"

#include "synthesizer/guiwxwgraph.h"
#include "synthesizer/schiebebank.h"
#include <algorithm>

#if defined(KORVAX_WITH_DEVICES)
#include "midi/midiiokeyboard.h"
#include "synthesizer/synth_native.h"
#endif

namespace brl::Synth::Gui {

SynthWxGui::SynthWxGui(Korvax::Manager& synth, NativeManager* device, Config::Frontend& configuration,
                       const ApplicationInfo& app, const String& build, Logging::Channel* logTarget,
                       Logging::ChannelBuffer* logBuffer)
    : manager(synth), native(device), config(configuration), application(app), log(logTarget, L"korvaxgui") {
    graph = new Graph(manager, config, application, build, logTarget, logBuffer);
    graph->Show();
    OpenDevices();
    graph->CreateSliderBankLater();
}

SynthWxGui::~SynthWxGui() {
    // The main window is normally gone already (closed by the user); one still
    // open goes now, before the devices close.
    if (Graph* window = graph.get(); window != nullptr && !window->IsBeingDeleted()) {
        delete window;
    }
}

Schiebebank* SynthWxGui::SliderBank() const {
    return graph != nullptr ? dynamic_cast<Schiebebank*>(graph->ToolWindow(kIdSchiebebank)) : nullptr;
}

void SynthWxGui::OpenDevices() {
#if defined(KORVAX_WITH_DEVICES)
    if (native == nullptr || manager.IsDeviceless()) {
        return;
    }
    if (!native->Init(config)) {
        BRL_LOG_ERROR(log, "the audio and midi devices could not be set up; running silent");
        return;
    }
    const Audio::DeviceSettings device = Audio::DeviceSettings::Read(config);
    native->SetSampleRate(static_cast<float>(device.SamplingRate));
    int index = 0;
    if (!device.Api.empty() && !device.Id.empty()) {
        index = std::max(0, native->GetAudioMaster()->FindDevice(device.Api, device.Id));
    }
    native->SetAudioDevice(index, device.SamplingRate, device.LatencyMs, device.ChannelMask, application);
    if (Midi::IoMaster* midi = native->GetMidiMaster()) {
        for (size_t i = 0; i < midi->Inputs().size(); ++i) {
            if (midi->IsInputActive(i)) {
                native->StartMidiDevice(static_cast<int>(i));
            }
        }
        graph->SetKeyboard(midi->Keyboard());
    }
    native->ConfigureMeters(config);
    graph->SetNative(native);
    NativeManager* nativeManager = native;
    Config::Frontend* settings = &config;
    graph->resetMeters = [nativeManager, settings] { nativeManager->ConfigureMeters(*settings); };
#endif
}

} // namespace brl::Synth::Gui
