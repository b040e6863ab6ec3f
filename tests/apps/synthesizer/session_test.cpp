// A whole editing session with the devices of the native manager, and the
// screenshots of the main window.
#include "gui/gui_test_support.h"
#include "mainwindow_test_support.h"

#include "gui/logpanelwx.h"
#include "korvax/korvaxfileio.h"
#include "libbrelm/debug.h"
#include "support/log_capture.h"
#include "synthesizer/guiwxwgraph.h"
#include "synthesizer/ppmdisplay.h"
#include "synthesizer/synth_native.h"
#include "synthesizer/synthwxgui.h"

#include <gtest/gtest.h>

#include <wx/listbox.h>
#include <wx/menu.h>
#include <wx/notebook.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using namespace mainwintest;
using brl::FromUtf8;
using brl::String;
using namespace brl::Synth::Gui;
namespace Config = brl::Config;
namespace Korvax = brl::Korvax;
namespace vergl = brl::vergl;
using namespace std::chrono_literals;

const std::string kDemo = KORVAX_SOURCE_DIR "/examples/demo/demo.korvax";

// Reads the "fd" backend's 16-bit stereo frames at 96000 a second, as a sound
// card would, and keeps the loudest sample since the last reset.
class PipeListener {
public:
    PipeListener() {
        if (pipe(fds) != 0) {
            ADD_FAILURE() << "no pipe";
            return;
        }
        reader = std::thread([this] {
            int16_t samples[1024];
            const auto start = std::chrono::steady_clock::now();
            for (;;) {
                const auto due = start + std::chrono::microseconds(frames.load() * 1000000 / 96000);
                std::this_thread::sleep_until(due);
                const ssize_t got = read(fds[0], samples, sizeof samples);
                if (got <= 0) {
                    break;
                }
                int peak = loudest.load();
                for (ssize_t i = 0; i < got / 2; ++i) {
                    peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
                }
                loudest.store(peak);
                frames.fetch_add(static_cast<uint64_t>(got / 4));
            }
        });
    }
    ~PipeListener() {
        CloseWriteEnd();
        if (reader.joinable()) {
            reader.join();
        }
        close(fds[0]);
    }
    void CloseWriteEnd() {
        if (fds[1] >= 0) {
            close(fds[1]);
            fds[1] = -1;
        }
    }
    int WriteFd() const { return fds[1]; }
    void Reset() { loudest.store(0); }
    int Loudest() const { return loudest.load(); }
    uint64_t Frames() const { return frames.load(); }

private:
    int fds[2] = {-1, -1};
    std::thread reader;
    std::atomic<int> loudest{0};
    std::atomic<uint64_t> frames{0};
};

// The audio backend (for "fd", 16-bit samples into `fd`) and the computer keyboard as MIDI input.
Config::Frontend& UseDevices(Config::Frontend& config, const String& audio, int fd = -1) {
    Config::Setting<std::vector<String>>(config, "Audio/Backends", {}).Set({audio});
    Config::Setting<int>(config, "Audio/Io/Fd/OutFd", -1).Set(fd);
    Config::Setting<int>(config, "Audio/Io/Fd/BytesPerSample", 2).Set(2);
    Config::Setting<std::vector<String>>(config, "Midi/Backends", {}).Set({L"keyboard"});
    return config;
}

// The centre of a pin in the view's window pixels.
wxPoint PinPoint(const vergl::CUiWxw& view, const vergl::CPin* pin) {
    const vergl::NodeRect bounds = view.PinBounds(pin);
    const double x = (bounds.left + bounds.right) / 2.0;
    const double y = (bounds.top + bounds.bottom) / 2.0;
    return wxPoint(static_cast<int>((x - view.ScrollX()) * view.Zoom()),
                   static_cast<int>((y - view.ScrollY()) * view.Zoom()));
}

// An empty spot of the view, in window pixels.
wxPoint EmptySpot(const vergl::CUiWxw& view) {
    const wxSize size = const_cast<vergl::CUiWxw&>(view).GetClientSize();
    for (int y = size.y - 40; y > 40; y -= 24) {
        for (int x = size.x - 60; x > 40; x -= 24) {
            bool free = true;
            for (int dy = -40; dy <= 40 && free; dy += 10) {
                for (int dx = -60; dx <= 60 && free; dx += 10) {
                    free = view.vergl::CUi::HitTest(view.GraphX(x + dx), view.GraphY(y + dy)) == nullptr;
                }
            }
            if (free) {
                return wxPoint(x, y);
            }
        }
    }
    ADD_FAILURE() << "no empty spot in the view";
    return wxPoint(0, 0);
}

// A menu command as the menu sends it.
void Command(Graph* window, int id) {
    wxCommandEvent event(wxEVT_MENU, id);
    window->GetEventHandler()->ProcessEvent(event);
}

std::string SaveText(Korvax::Manager& manager) {
    return Korvax::SynthFileIo(manager).SavePatchesToText(L"core v19");
}

// The native manager on the "fd" device with the demo loaded before the windows, as at start-up.
struct EditorSession : ::testing::Test {
    Settings settings;
    PipeListener speaker;
    Config::Frontend& config = UseDevices(settings.config, L"fd", speaker.WriteFd());
    brl::testing::LogCapture capture;
    brl::Synth::NativeManager native{&capture};
    bool loaded = native.LoadState(FromUtf8(kDemo));
    SynthWxGui root{native, &native, config, Identity(), L"core v19", &capture, nullptr};
    Graph* window = root.MainWindow();
    ScriptedPrompts prompts;
    void SetUp() override {
        window->SetPromptHook(&prompts);
        ASSERT_TRUE(loaded);
        ASSERT_TRUE(guitest::PumpUntil([&] { return speaker.Frames() > 4800; }))
            << "no audio from the device";
    }
    void TearDown() override { window->SetPromptHook(nullptr); }
};

TEST_F(EditorSession, TheDemoIsEditedPlayedFromTheKeyboardSavedAndReopened) {
    ASSERT_NE(window->Keyboard(), nullptr) << "the keyboard input is not started";
    EXPECT_TRUE(guitest::PumpUntil([&] { return root.SliderBank() != nullptr; })) << "after the first frame";
    // Add a "Map note" node on the bass voice from the module menu.
    window->SelectChannel(0);
    window->SelectPage(kPageVoice);
    guitest::Pump(100ms);
    vergl::CUiWxw* view = window->View(kPageVoice);
    vergl::CVergl& voice = native.Patches().Voice(0);
    const size_t nodes = voice.Nodes().Count();
    const size_t links = voice.Links().Count();
    const wxPoint spot = EmptySpot(*view);
    window->SetPopupHook([](wxMenu&) { return ModuleCommand(13); });
    Click(view, wxEVT_MOTION, spot.x, spot.y);
    Click(view, wxEVT_RIGHT_UP, spot.x, spot.y);
    ASSERT_EQ(voice.Nodes().Count(), nodes + 1);
    vergl::CNode* added = nullptr;
    for (vergl::CNode* node : voice.Nodes()) {
        added = node;
    }
    // Drag a link from its output to the first free value input that takes it.
    vergl::CPin* output = *added->Outputs().begin();
    vergl::CPin* linkedTo = nullptr;
    for (vergl::CNode* node : voice.Nodes()) {
        if (node == added || linkedTo != nullptr) {
            continue;
        }
        for (vergl::CPin* input : node->Inputs()) {
            const Korvax::PinRecord* record = Korvax::GetPinRecord(input);
            if (record == nullptr || !record->value || !input->HasNoLinks()) {
                continue;
            }
            view->CenterObject(node);
            guitest::Pump(20ms);
            const wxPoint from = PinPoint(*view, output);
            const wxPoint to = PinPoint(*view, input);
            Click(view, wxEVT_LEFT_DOWN, from.x, from.y);
            Click(view, wxEVT_MOTION, (from.x + to.x) / 2, (from.y + to.y) / 2);
            Click(view, wxEVT_MOTION, to.x, to.y);
            Click(view, wxEVT_LEFT_UP, to.x, to.y);
            if (voice.Links().Count() == links + 1) {
                linkedTo = input;
                break;
            }
        }
    }
    ASSERT_NE(linkedTo, nullptr) << "no link could be drawn from the new node";
    EXPECT_EQ((*linkedTo->Links().begin())->Graph(), &voice);
    capture.Clear();
    Command(window, kIdCompile);
    EXPECT_FALSE(capture.Find(L"compile ok.").empty());
    // Play C of octave 5 on the computer keyboard and hear it.
    guitest::Pump(200ms);
    speaker.Reset();
    guitest::Pump(200ms);
    const int silence = speaker.Loudest();
    EXPECT_TRUE(Key(view, wxEVT_KEY_DOWN, kRawF5));
    EXPECT_TRUE(Key(view, wxEVT_KEY_DOWN, kRawQ));
    EXPECT_TRUE(guitest::PumpUntil([&] { return speaker.Loudest() > std::max(silence, 64); }, 3000ms))
        << "silence after the key; loudest sample " << speaker.Loudest();
    EXPECT_TRUE(Key(view, wxEVT_KEY_UP, kRawQ));
    // Save, reopen, compare.
    const std::string edited = SaveText(native);
    prompts.files = {FromUtf8(settings.dir.File("session"))};
    Command(window, wxID_SAVEAS);
    const String path = FromUtf8(settings.dir.File("session.korvax"));
    ASSERT_EQ(window->FileName(), path);
    prompts.answers = {Answer::No};
    Command(window, wxID_NEW);
    ASSERT_EQ(voice.Nodes().Count(), 0u);
    prompts.files = {path};
    Command(window, wxID_OPEN);
    EXPECT_EQ(voice.Nodes().Count(), nodes + 1);
    EXPECT_EQ(voice.Links().Count(), links + 1);
    EXPECT_EQ(SaveText(native), edited);
    EXPECT_EQ(window->View(kPageVoice)->Graph(), &voice);
}

TEST_F(EditorSession, TheSongPlaysFromTheButtonsAndTheSpaceBarButNotFromATextField) {
    wxStatusBar* status = window->GetStatusBar();
    Command(window, kIdSongPlay);
    ASSERT_TRUE(native.IsLiveSongPlaying());
    EXPECT_TRUE(guitest::PumpUntil([&] {
        window->Redraw();
        return native.GetLiveSongPosition() > 100 &&
               status->GetStatusText(kStatusSong).StartsWith("song 0:0");
    })) << status->GetStatusText(kStatusSong);
    EXPECT_TRUE(status->GetStatusText(kStatusCpu).StartsWith("CPU ")) << status->GetStatusText(kStatusCpu);
    Command(window, kIdSongStop);
    EXPECT_FALSE(native.IsLiveSongPlaying());
    window->Redraw();
    EXPECT_EQ(status->GetStatusText(kStatusSong), "");
    // The space bar toggles it, on its first press only; the keyboard's MIDI input never sees it.
    wxWindow* list = window->ChannelList();
    EXPECT_TRUE(Key(list, wxEVT_KEY_DOWN, kRawSpace));
    EXPECT_TRUE(native.IsLiveSongPlaying());
    EXPECT_TRUE(Key(list, wxEVT_KEY_DOWN, kRawSpace)) << "auto-repeat";
    EXPECT_TRUE(native.IsLiveSongPlaying());
    Key(list, wxEVT_KEY_UP, kRawSpace);
    EXPECT_TRUE(Key(list, wxEVT_KEY_DOWN, kRawSpace));
    EXPECT_FALSE(native.IsLiveSongPlaying());
    Key(list, wxEVT_KEY_UP, kRawSpace);
    // In a graph view the released space bar asks for the module menu; the song stays off.
    vergl::CUiWxw* view = window->View(kPageVoice);
    int menus = 0;
    window->SetPopupHook([&menus](wxMenu&) {
        ++menus;
        return wxID_NONE;
    });
    view->SetFocus();
    wxKeyEvent spaceDown(wxEVT_KEY_DOWN), spaceUp(wxEVT_KEY_UP);
    for (wxKeyEvent* event : {&spaceDown, &spaceUp}) {
        event->m_rawCode = event->m_rawFlags = kRawSpace;
        event->m_keyCode = WXK_SPACE;
        event->SetEventObject(view);
        view->GetEventHandler()->ProcessEvent(*event);
    }
    EXPECT_EQ(menus, 1);
    EXPECT_FALSE(native.IsLiveSongPlaying());
    window->SetPopupHook(nullptr);
    // In a text field the space bar types a space and the song stays as it is.
    auto* field = new wxTextCtrl(window, wxID_ANY, "");
    field->SetFocus();
    guitest::Pump(100ms);
    wxUIActionSimulator input;
    input.Char(' ');
    input.Char('b');
    EXPECT_TRUE(guitest::PumpUntil([&] { return field->GetValue() == " b"; }, 2000ms)) << field->GetValue();
    EXPECT_FALSE(native.IsLiveSongPlaying());
    field->Destroy();
    EXPECT_TRUE(native.StartLiveSong());
    prompts.answers = {Answer::No};
    Command(window, wxID_NEW);
    EXPECT_FALSE(native.IsLiveSongPlaying()) << "a new state stops the old song";
    EXPECT_FALSE(window->PlaySong()) << "no song";
}

// Screenshots ----------------------------------------------------------------

std::string ScreenshotDir() {
    const char* dir = std::getenv("KORVAX_SCREENSHOT_DIR");
    return dir != nullptr ? dir : "";
}

// Opens the module menu for real and saves the whole screen while it is open.
void SaveModuleMenuScreenshot(Graph* window) {
    vergl::CUiWxw* view = window->View(kPageVoice);
    const wxPoint spot = view->ClientToScreen(EmptySpot(*view));
    wxUIActionSimulator input;
    input.MouseMove(spot);
    guitest::Pump(100ms);
    Click(view, wxEVT_MOTION, view->ScreenToClient(spot).x, view->ScreenToClient(spot).y);
    bool saved = false;
    int step = 0;
    wxTimer shoot;
    // Opens the "generators" submenu, reads the screen and closes both menus.
    shoot.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (step++ == 0) {
            for (int i = 0; i < 5; ++i) {
                input.Char(WXK_DOWN);
            }
            input.Char(WXK_RIGHT);
            shoot.StartOnce(500);
            return;
        }
        const std::string path = ScreenshotDir() + "/module-menu.png";
        const std::string command =
            "import -display '" + std::string(std::getenv("DISPLAY")) + "' -window root 'png:" + path + "'";
        saved = std::system(command.c_str()) == 0;
        input.Char(WXK_ESCAPE);
        input.Char(WXK_ESCAPE);
    });
    shoot.StartOnce(500);
    window->SetPopupHook(nullptr);
    window->ContextRequested();
    EXPECT_TRUE(saved) << "the screen was not read while the module menu was open";
}

TEST(EditorScreenshots, DemoInBothThemes) {
    if (ScreenshotDir().empty()) {
        GTEST_SKIP() << "KORVAX_SCREENSHOT_DIR is not set";
    }
    Settings settings;
    // The log pane shows what a user sees at the default console level.
    Config::Setting<int>(settings.config, "Ui/Log/Level", 9).Set(6);
    brl::Logging::ChannelBuffer buffer;
    brl::Logging::Channel* previous = brl::Debug::GetProcessLogChannel();
    brl::Debug::SetProcessLogChannel(&buffer);
    {
        TestManager manager(&buffer);
        ASSERT_TRUE(manager.LoadState(FromUtf8(kDemo)));
        ScriptedPrompts prompts;
        auto* window = new Graph(manager, settings.config, Identity(), L"core v19", &buffer, &buffer);
        window->SetPromptHook(&prompts);
        window->AdoptInitialLoad(FromUtf8(kDemo), true);
        window->SetSize(wxRect(0, 0, 1500, 1000));
        window->Show();
        window->SelectChannel(0);
        window->SelectPage(kPageVoice);
        guitest::Pump(300ms);
        // The status bar with the intro size of the loaded demo.
        EXPECT_TRUE(guitest::PumpUntil(
            [&] {
                window->Redraw();
                return window->GetStatusBar()->GetStatusText(kStatusIntroSize).StartsWith("intro ");
            },
            20s));
        guitest::Pump(200ms);
        guitest::SaveScreenshot(window, "main-window.png");
        guitest::SaveScreenshot(window->View(kPageVoice), "graph-voice.png");
        guitest::SaveScreenshot(window->LogPane(), "log-pane.png");
        SaveModuleMenuScreenshot(window);
        window->SelectPage(kPageMix);
        guitest::Pump(200ms);
        guitest::SaveScreenshot(window->View(kPageMix), "graph-mix.png");
        Config::Setting<bool>(settings.config, "Ui/Theme/Dark", true).Set(false);
        window->SelectPage(kPageVoice);
        guitest::Pump(300ms);
        guitest::SaveScreenshot(window, "main-window-light.png");
        manager.deviceless = true;
        window->SetPromptHook(nullptr);
        guitest::DestroyNow(window);
    }
    brl::Debug::SetProcessLogChannel(previous);
}

TEST(EditorScreenshots, LevelMetersUnderTheDemoSongWithTheLeftSideClipping) {
    if (ScreenshotDir().empty()) {
        GTEST_SKIP() << "KORVAX_SCREENSHOT_DIR is not set";
    }
    mainwintest::Settings settings;
    // The dummy device keeps time, so the song plays as fast as it would be heard.
    UseDevices(settings.config, L"dummy");
    brl::testing::LogCapture capture;
    {
        brl::Synth::NativeManager native(&capture);
        ASSERT_TRUE(native.LoadState(FromUtf8(kDemo)));
        SynthWxGui root(native, &native, settings.config, Identity(), L"core v19", &capture, nullptr);
        Graph* window = root.MainWindow();
        window->SetSize(wxRect(0, 0, 1500, 1000));
        ScriptedPrompts prompts;
        window->SetPromptHook(&prompts);
        ASSERT_TRUE(guitest::PumpUntil([&] { return native.IsAudioPlaying(); })) << "no audio device";
        ASSERT_TRUE(window->PlaySong());
        // Panned channels loud and far left without echo, the others silent: only the left clips.
        for (int channel = 0; channel < Korvax::kChannels; ++channel) {
            std::vector<std::pair<int, const Korvax::PinRecord*>> values; // module, unlinked value input
            for (vergl::CNode* node : native.Patches().ChannelPost(channel).Nodes()) {
                const Korvax::NodeRecord* record = Korvax::GetNodeRecord(node);
                for (vergl::CPin* pin : node->Inputs()) {
                    const Korvax::PinRecord* input = Korvax::GetPinRecord(pin);
                    if (record != nullptr && input != nullptr && input->value && pin->HasNoLinks()) {
                        values.emplace_back(record->number, input);
                    }
                }
            }
            const bool panned = std::any_of(values.begin(), values.end(), [](const auto& value) {
                return value.first == static_cast<int>(Korvax::ModuleId::Panning);
            });
            bool level = true; // the first amp is the channel's level, a later one its echo send
            for (const auto& [module, input] : values) {
                float to = -1.0f;
                if (module == static_cast<int>(Korvax::ModuleId::Panning)) {
                    to = 0.1f;
                } else if (module == static_cast<int>(Korvax::ModuleId::Amp)) {
                    to = panned && level ? 1.0f : 0.0f;
                    level = false;
                }
                if (to >= 0.0f) {
                    native.SetControllerValue(input->controllerChannel, input->controllerNumber, to);
                }
            }
        }
        EXPECT_TRUE(guitest::PumpUntil([&] { return native.OutputMeters()[0].ClipOut(); }, 20s))
            << "the left output does not clip; song at " << native.GetLiveSongPosition() << " of "
            << native.GetLiveSongLength();
        EXPECT_FALSE(native.OutputMeters()[1].ClipOut());
        guitest::Pump(300ms);
        window->Redraw();
        guitest::Pump(100ms);
        guitest::SaveScreenshot(window->Meters()->GetParent(), "level-meters.png");
        guitest::SaveScreenshot(window, "main-window-playing.png");
        window->StopSong();
        window->SetPromptHook(nullptr);
    }
}

} // namespace
