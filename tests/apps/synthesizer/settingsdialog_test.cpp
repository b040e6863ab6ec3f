// The settings window with the native manager on dummy devices.
#include "gui/gui_test_support.h"

#include "support/ini_settings.h"
#include "support/log_capture.h"
#include "support/sound_servers.h"
#include "synthesizer/settingsdialog.h"
#include "synthesizer/synth_native.h"

#include <gtest/gtest.h>

#include <wx/notebook.h>

#include <algorithm>
#include <memory>

namespace {

using brl::String;
using namespace brl::Synth::Gui;
using brl::Synth::NativeManager;
namespace Config = brl::Config;
namespace Korvax = brl::Korvax;
using namespace std::chrono_literals;

using guitest::Choose;
using guitest::Spin;
using guitest::Tick;

struct Rig {
    brl::testing::LogCapture log;
    brl::testing::IniSettings settings;
    Config::Frontend& config = settings.config;
    brl::ApplicationInfo application;
    std::unique_ptr<NativeManager> manager;
    Settings* window = nullptr;
    explicit Rig(bool showBackends = false, std::vector<String> audioBackends = {L"dummy"}) {
        Config::Setting<std::vector<String>>(config, "Audio/Backends", {}).Set(audioBackends);
        Config::Setting<std::vector<String>>(config, "Midi/Backends", {}).Set({L"dummy", L"keyboard"});
        Config::Setting<bool>(config, "Ui/Settings/Advanced/ShowBackends", false).Set(showBackends);
        application.applicationLongName = L"korvax";
        manager = std::make_unique<NativeManager>(&log);
        EXPECT_TRUE(manager->Init(config));
        window = new Settings(nullptr, *manager, config, application, &log);
        window->Show();
        guitest::Pump(100ms);
    }
    ~Rig() {
        guitest::DestroyNow(window);
        guitest::Pump(20ms);
        manager->Deinit();
    }
    void Shoot(const String& page, const std::string& file) {
        window->Notebook()->SetSelection(window->Notebook()->FindPage(window->Page(page)));
        guitest::Pump(100ms);
        guitest::SaveScreenshot(window, file);
    }
    size_t Opened() const { return log.Find(L"Using device ").size(); }
};

TEST(SettingsWindow, HasItsPagesActsOnTheManagerHidesOnCloseAndReopensTheDeviceOnAudioChanges) {
    Rig rig(true);
    EXPECT_EQ(rig.window->PageNames(), (std::vector<String>{L"ui", L"korvax", L"editor", L"audio", L"midi",
                                                            L"advanced", L"backends"}));
    rig.Shoot(L"ui", "settings-ui.png");
    rig.Shoot(L"advanced", "settings-grid.png");
    rig.Shoot(L"editor", "settings-editor.png");
    // The korvax and MIDI pages act on the manager.
    SettingsKorvaxPanel* korvax = rig.window->KorvaxPage();
    EXPECT_EQ(rig.manager->GetSynthChannelFromMidiChannel(5), 0);
    Choose(korvax->ChannelMapping(), 1);
    EXPECT_EQ(Config::Setting<int>(rig.config, "Korvax/Midi/ChannelMapping", 0).Get(), 1);
    EXPECT_EQ(rig.manager->GetSynthChannelFromMidiChannel(5), 5);
    rig.Shoot(L"korvax", "settings-korvax.png");
    // Ticking a MIDI input writes its setting and starts it.
    SettingsMidiPanel* midi = rig.window->MidiPage();
    ASSERT_NE(midi, nullptr);
    const String key = L"Midi/Input/" + rig.manager->GetMidiMaster()->Inputs().at(0)->Name() + L"/active";
    Tick(midi->Inputs(), 0, true);
    EXPECT_TRUE(Config::Setting<bool>(rig.config, key, false).Get());
    EXPECT_TRUE(rig.manager->IsMidiDeviceStarted(0));
    rig.Shoot(L"midi", "settings-midi.png");
    Tick(midi->Inputs(), 0, false);
    EXPECT_FALSE(rig.manager->IsMidiDeviceStarted(0));
    // Audio changes reopen the device.
    SettingsAudioPanel* audio = rig.window->AudioPage();
    ASSERT_NE(audio, nullptr);
    const auto& devices = rig.manager->GetAudioMaster()->GetDevices();
    ASSERT_EQ(audio->Device()->GetCount(), devices.size());
    const int last = static_cast<int>(devices.size()) - 1;
    Choose(audio->Device(), last);
    EXPECT_EQ(Config::Setting<String>(rig.config, "Audio/Device/API", L"").Get(), devices[last]->GetApi());
    EXPECT_EQ(rig.manager->GetAudioDeviceIndex(), last);
    EXPECT_TRUE(rig.manager->IsAudioPlaying());
    const size_t opened = rig.Opened();
    Spin(audio->Latency(), 40);
    EXPECT_EQ(Config::Setting<int>(rig.config, "Audio/Latency", 0).Get(), 40);
    EXPECT_EQ(rig.Opened(), opened + 1);
    // Another rate the device offers: the synthesizer and the device take it.
    const int other = audio->Rate()->FindString(L"48000");
    ASSERT_GE(other, 0) << "the dummy device offers no 48000";
    Choose(audio->Rate(), other);
    EXPECT_EQ(Config::Setting<int>(rig.config, "Audio/SamplingRate", 0).Get(), 48000);
    EXPECT_EQ(rig.manager->GetSampleRate(), 48000);
    rig.Shoot(L"audio", "settings-audio.png");
    // Closing hides the window and keeps its placement.
    rig.window->SetSize(40, 50, 700, 560);
    guitest::Pump(50ms);
    EXPECT_FALSE(rig.window->Close(false));
    EXPECT_FALSE(rig.window->IsShown());
    EXPECT_EQ(Config::Setting<int>(rig.config, "Settings/Width", 0).Get(), 700);
}

// The device chosen in the page is the one the manager opens on a real server.
TEST(SettingsWindow, ChoosingADeviceOfAJackServerOpensItThere) {
    brl::testing::JackServer server(96000, 1024);
    ASSERT_TRUE(server.Ok()) << server.Error();
    Rig rig(false, {L"jack", L"dummy"});
    SettingsAudioPanel* audio = rig.window->AudioPage();
    ASSERT_NE(audio, nullptr);
    const auto& devices = rig.manager->GetAudioMaster()->GetDevices();
    const auto found = std::find_if(devices.begin(), devices.end(),
                                    [](const auto& d) { return d->GetApi() == L"UNIX_JACK"; });
    ASSERT_NE(found, devices.end()) << "no device of the JACK server";
    const int jack = static_cast<int>(found - devices.begin());
    Choose(audio->Device(), static_cast<int>(devices.size()) - 1); // the dummy device first
    ASSERT_NE(rig.manager->GetAudioDeviceIndex(), jack);
    Choose(audio->Device(), jack);
    EXPECT_EQ(Config::Setting<String>(rig.config, "Audio/Device/API", L"").Get(), L"UNIX_JACK");
    EXPECT_EQ(rig.manager->GetAudioDeviceIndex(), jack);
    EXPECT_TRUE(rig.manager->IsAudioPlaying());
    const int64_t start = rig.manager->GetPosition();
    EXPECT_TRUE(guitest::PumpUntil([&] { return rig.manager->GetPosition() > start + 4096; }))
        << "the server does not call the synthesizer";
}

} // namespace
