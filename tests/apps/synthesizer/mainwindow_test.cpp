// The main window in a real window with prompts answered by a hook, a whole
// session with the native manager's devices, and the main window's screenshots.
#include "graph_test_support.h"
#include "gui/gui_test_support.h"

#include "gui/logpanelwx.h"
#include "midi/midiiokeyboard.h"
#include "support/log_capture.h"
#include "synthesizer/ppmdisplay.h"
#include "synthesizer/schiebebank.h"
#include "synthesizer/synth_native.h"
#include "synthesizer/synthwxgui.h"

#include <gtest/gtest.h>

#include <wx/scrolwin.h>
#include <wx/uiaction.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using namespace mainwintest;
using brl::FromUtf8;
using brl::String;
using namespace brl::Synth::Gui;
namespace Config = brl::Config;
namespace Korvax = brl::Korvax;
namespace Midi = brl::Midi;
namespace vergl = brl::vergl;
using namespace std::chrono_literals;

const std::string kDemo = KORVAX_SOURCE_DIR "/examples/demo/demo.korvax";

// X key codes (wx reports them in GetRawKeyFlags()).
constexpr uint32_t kRawQ = 24;
constexpr uint32_t kRawW = 25;
constexpr uint32_t kRawZ = 52;
constexpr uint32_t kRawF5 = 71;

// The module menu's command for a module id.
inline int ModuleCommand(int moduleId) {
    const auto* table = brl::Korvax::kModuleTable;
    const auto* found = std::find_if(table, table + brl::Korvax::kModuleCount,
                                     [&](const auto& module) { return module.id == moduleId; });
    EXPECT_NE(found, table + brl::Korvax::kModuleCount) << "no module " << moduleId;
    return brl::Synth::Gui::kIdModuleFirst + static_cast<int>(found - table);
}

// A mouse event at window pixels; returns whether a handler took it.
inline bool Click(wxWindow* window, wxEventType type, int x, int y) {
    wxMouseEvent event(type);
    event.SetPosition(wxPoint(x, y));
    event.SetEventObject(window);
    if (type == wxEVT_LEFT_DOWN || type == wxEVT_MOTION) {
        event.m_leftDown = true;
    }
    return window->GetEventHandler()->ProcessEvent(event);
}

// A key event with the X key code; returns whether a handler or filter took it.
inline bool Key(wxWindow* window, wxEventType type, uint32_t raw, int modifiers = wxMOD_NONE) {
    wxKeyEvent event(type);
    event.m_rawCode = raw;
    event.m_rawFlags = raw;
    event.m_keyCode = WXK_NONE;
    event.SetControlDown((modifiers & wxMOD_CONTROL) != 0);
    event.SetRawControlDown((modifiers & wxMOD_CONTROL) != 0);
    event.SetAltDown((modifiers & wxMOD_ALT) != 0);
    event.SetEventObject(window);
    return window->GetEventHandler()->ProcessEvent(event);
}

// A menu command as the menu sends it.
void Send(Graph* window, int id) {
    wxCommandEvent event(wxEVT_MENU, id);
    window->GetEventHandler()->ProcessEvent(event);
}

struct MainWindowTest : ::testing::Test {
    mainwintest::Settings settings;
    brl::testing::LogCapture capture;
    TestManager manager;
    ScriptedPrompts prompts;
    Graph* window = nullptr;
    MainWindowTest() { MakeWindow(); }
    ~MainWindowTest() override { CloseWindow(); }
    void MakeWindow() {
        window = new Graph(manager, settings.config, Identity(), L"core v19", &capture, nullptr);
        window->SetPromptHook(&prompts);
        window->Show();
        guitest::Pump(50ms);
    }
    void CloseWindow() {
        if (window != nullptr) {
            window->SetPromptHook(nullptr);
            guitest::DestroyNow(window);
            window = nullptr;
        }
    }
    vergl::CVergl& Voice(int channel) { return manager.Patches().Voice(channel); }
};

TEST_F(MainWindowTest, ModuleMenuAddsNodesWhereTheMouseIsAndRefusesVoiceNodesInSongGraphs) {
    window->SelectPage(kPageVoice);
    // A right click on empty space asks for the module menu; the hook picks "Oscillator".
    vergl::CUiWxw* view = window->View(kPageVoice);
    int chosen = ModuleCommand(1);
    window->SetPopupHook([&](wxMenu& shown) {
        EXPECT_NE(shown.FindItem(chosen), nullptr);
        return chosen;
    });
    Click(view, wxEVT_RIGHT_UP, 137, 95);
    ASSERT_EQ(Voice(0).Nodes().Count(), 1u);
    const vergl::CNode* node = *Voice(0).Nodes().begin();
    // Its corner snapped to the grid of 12, near the mouse.
    const vergl::NodeRect bounds = view->NodeBounds(node);
    EXPECT_EQ(bounds.left % 12 + bounds.top % 12, 0);
    EXPECT_NEAR(node->X(), view->GraphX(137), 12 + bounds.Width());
    EXPECT_TRUE(view->IsSelected(node));
    EXPECT_FALSE(manager.LastProgram().operands.empty()) << "compiled at once";
    Send(window, kIdUndo); // the Edit menu reaches the history
    EXPECT_EQ(Voice(0).Nodes().Count(), 0u);
    Send(window, kIdRedo);
    EXPECT_EQ(Voice(0).Nodes().Count(), 1u);
    window->SelectPage(kPageMix);
    std::unique_ptr<wxMenu> mixMenu(window->BuildModuleMenu());
    EXPECT_FALSE(mixMenu->FindItemByPosition(0)->IsEnabled());
    Send(window, kIdVoiceParamsSource);
    EXPECT_EQ(capture.Find(L"Invalid in Songmode").size(), 1u);
    EXPECT_EQ(manager.Patches().Mix().Nodes().Count(), 0u);
    Send(window, kIdBufferLoad);
    EXPECT_EQ(manager.Patches().Mix().Nodes().Count(), 1u);
}

TEST_F(MainWindowTest, CloseAsksToSaveAndStoresThePaneLayout) {
    prompts.answers = {Answer::Cancel};
    EXPECT_FALSE(window->Close());
    EXPECT_EQ(prompts.questions.back(), L"save that shit?");
    window->Panes().GetPane("logpane").Hide();
    window->Panes().Update();
    prompts.answers = {Answer::No};
    EXPECT_TRUE(window->Close());
    guitest::Pump(20ms);
    window = nullptr;
    MakeWindow(); // the stored layout applies again
    EXPECT_FALSE(window->Panes().GetPane("logpane").IsShown());
}

TEST_F(MainWindowTest, ToolWindowsOpenOnceUnbuiltOnesSaySoAndTheCpuLoadShows) {
    // A second command brings the same window up again.
    const std::pair<int, const char*> tools[] = {
        {kIdSynthState, "synth-state.png"}, {kIdSynthDebug, "synth-debug.png"}, {kIdSettings, nullptr}};
    for (const auto& [command, screenshot] : tools) {
        Send(window, command);
        wxWindow* tool = window->ToolWindow(command);
        ASSERT_NE(tool, nullptr) << command;
        EXPECT_TRUE(tool->IsShown());
        if (screenshot != nullptr) {
            guitest::Pump(100ms);
            guitest::SaveScreenshot(tool, screenshot);
        }
        tool->Hide();
        Send(window, command);
        EXPECT_EQ(window->ToolWindow(command), tool);
        EXPECT_TRUE(tool->IsShown());
    }
    EXPECT_TRUE(prompts.errors.empty());
    Send(window, kIdProfiler);
    ASSERT_EQ(prompts.errors.size(), 1u);
    EXPECT_NE(prompts.errors[0].find(L"not built yet"), String::npos);
    // The status bar's CPU load and its meter window.
    wxStatusBar* status = window->GetStatusBar();
    window->Redraw();
    EXPECT_EQ(status->GetStatusText(kStatusCpu), "CPU 0% (peak 0%)");
    EXPECT_EQ(status->GetStatusText(kStatusIntroSize), "") << "nothing compiled yet";
    window->cpuLoad = [] { return std::pair<float, float>(0.254f, 0.5f); };
    window->Redraw();
    EXPECT_EQ(status->GetStatusText(kStatusCpu), "CPU 25% (peak 50%)");
    guitest::SaveScreenshot(window->CpuMeterWindow(), "cpu-meter.png");
}

// Counts the notes the computer keyboard sends from its thread (their bytes: midiio_test.cpp).
struct NoteCounter : Midi::InputHandler {
    std::atomic<int> on{0};
    std::atomic<int> off{0};
    void OnMidiEvent(Midi::Stream&, const Midi::Event& event) override {
        if ((event.status & 0xF0) == 0x90) {
            ++on;
        } else if ((event.status & 0xF0) == 0x80) {
            ++off;
        }
    }
};

TEST_F(MainWindowTest, TheComputerKeyboardPlaysOnlyUnmodifiedKeysOutsideTextFields) {
    brl::Logging::Logger logger{nullptr, L"keyboard"};
    Midi::KeyboardStream stream{logger};
    NoteCounter notes;
    ASSERT_TRUE(stream.Start(&notes));
    window->SetKeyboard(&stream);
    auto played = [&](int on, int off) {
        guitest::PumpUntil([&] { return notes.on >= on && notes.off >= off; });
        guitest::Pump(30ms);
        return notes.on == on && notes.off == off;
    };
    wxWindow* view = window->View(kPageVoice);
    EXPECT_TRUE(Key(view, wxEVT_KEY_DOWN, kRawQ));
    EXPECT_TRUE(Key(view, wxEVT_KEY_UP, kRawQ));
    EXPECT_TRUE(played(1, 1));
    EXPECT_FALSE(Key(view, wxEVT_KEY_DOWN, kRawZ, wxMOD_CONTROL));
    EXPECT_FALSE(Key(view, wxEVT_KEY_DOWN, kRawQ, wxMOD_ALT));
    wxTextCtrl editable(window, wxID_ANY, "");
    EXPECT_FALSE(Key(&editable, wxEVT_KEY_DOWN, kRawQ));
    EXPECT_TRUE(played(1, 1));
    // Focus loss releases the held key.
    EXPECT_TRUE(Key(view, wxEVT_KEY_DOWN, kRawW));
    wxActivateEvent deactivated(wxEVT_ACTIVATE, false);
    deactivated.SetEventObject(window);
    window->GetEventHandler()->ProcessEvent(deactivated);
    EXPECT_TRUE(played(2, 2));
    EXPECT_TRUE(Key(view, wxEVT_KEY_DOWN, kRawW)); // no longer held: plays again at once
    EXPECT_TRUE(played(3, 2));
    // A pane floating in its own frame still plays.
    window->Panes().GetPane("helppane").Float();
    window->Panes().Update();
    guitest::Pump(50ms);
    ASSERT_NE(wxGetTopLevelParent(window->HelpText()), window);
    EXPECT_TRUE(Key(window->HelpText(), wxEVT_KEY_DOWN, kRawQ));
    EXPECT_TRUE(played(4, 2));
    window->SetKeyboard(nullptr);
    stream.Stop();
}

// A whole session ----------------------------------------------------------

// Reads the "fd" backend's 16-bit stereo frames from a pipe at 96000 a second,
// as a sound card would, keeping every sample.
class PipeListener {
public:
    PipeListener() {
        if (::pipe(fds) != 0) {
            ADD_FAILURE() << "no pipe";
            return;
        }
        reader = std::thread([this] {
            int16_t samples[1024];
            const auto start = std::chrono::steady_clock::now();
            ssize_t got = 0;
            while (
                std::this_thread::sleep_until(start + std::chrono::microseconds(Frames() * 1000000 / 96000)),
                (got = ::read(fds[0], samples, sizeof samples)) > 0) {
                std::lock_guard<std::mutex> lock(mutex);
                samplesRead.insert(samplesRead.end(), samples, samples + got / 2);
            }
        });
    }
    ~PipeListener() {
        ::close(fds[1]);
        if (reader.joinable()) {
            reader.join();
        }
        ::close(fds[0]);
    }
    int WriteFd() const { return fds[1]; }
    uint64_t Frames() {
        std::lock_guard<std::mutex> lock(mutex);
        return samplesRead.size() / 2;
    }
    int Loudest(uint64_t fromFrame) {
        std::lock_guard<std::mutex> lock(mutex);
        int loudest = 0;
        for (size_t i = 2 * fromFrame; i < samplesRead.size(); ++i) {
            loudest = std::max(loudest, std::abs(static_cast<int>(samplesRead[i])));
        }
        return loudest;
    }

private:
    int fds[2] = {-1, -1};
    std::thread reader;
    std::mutex mutex;
    std::vector<int16_t> samplesRead;
};

// The audio backend (for "fd", 16-bit samples into `fd`) and the computer keyboard as MIDI input.
Config::Frontend& UseDevices(Config::Frontend& config, const String& audio, int fd) {
    Config::Setting<std::vector<String>>(config, "Audio/Backends", {}).Set({audio});
    Config::Setting<int>(config, "Audio/Io/Fd/OutFd", -1).Set(fd);
    Config::Setting<int>(config, "Audio/Io/Fd/BytesPerSample", 2).Set(2);
    Config::Setting<std::vector<String>>(config, "Midi/Backends", {}).Set({L"keyboard"});
    return config;
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

// The native manager on the "fd" device with the demo loaded before the windows, as at start-up.
struct EditorSession : ::testing::Test {
    mainwintest::Settings settings;
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

TEST_F(EditorSession, TheDemoIsEditedCompiledAndPlayedFromTheKeyboardAndItsSongFromTheButtons) {
    ASSERT_NE(window->Keyboard(), nullptr) << "the keyboard input is not started";
    ASSERT_TRUE(guitest::PumpUntil([&] { return root.SliderBank() != nullptr; })) << "after the first frame";
    Schiebebank* bank = root.SliderBank();
    bank->Show();
    guitest::Pump(100ms);
    int first = 0; // the rows from the first controller the program uses on
    while (first + 1 < Schiebebank::kWidgets && native.Memory()[first] == 0.0f) {
        ++first;
    }
    bank->Panel()->Scroll(0, bank->Widget(first).Control()->GetPosition().y - 4);
    guitest::Pump(100ms);
    guitest::SaveScreenshot(root.SliderBank(), "slider-bank.png");
    root.SliderBank()->Hide();
    // Add a "Map note" node on the bass voice from the module menu.
    window->SelectChannel(0);
    window->SelectPage(kPageVoice);
    guitest::Pump(100ms);
    vergl::CUiWxw* view = window->View(kPageVoice);
    vergl::CVergl& voice = native.Patches().Voice(0);
    const size_t nodes = voice.Nodes().Count();
    const wxPoint spot = EmptySpot(*view);
    window->SetPopupHook([](wxMenu&) { return ModuleCommand(13); });
    Click(view, wxEVT_MOTION, spot.x, spot.y);
    Click(view, wxEVT_RIGHT_UP, spot.x, spot.y);
    ASSERT_EQ(voice.Nodes().Count(), nodes + 1);
    capture.Clear();
    Send(window, kIdCompile);
    EXPECT_FALSE(capture.Find(L"compile ok.").empty());
    // Play C of octave 5 on the computer keyboard and hear it.
    guitest::Pump(200ms);
    const uint64_t quiet = speaker.Frames();
    guitest::Pump(200ms);
    const int silence = speaker.Loudest(quiet);
    EXPECT_TRUE(Key(view, wxEVT_KEY_DOWN, kRawF5));
    EXPECT_TRUE(Key(view, wxEVT_KEY_DOWN, kRawQ));
    EXPECT_TRUE(guitest::PumpUntil([&] { return speaker.Loudest(quiet) > std::max(silence, 64); }, 3000ms))
        << "silence after the key; loudest sample " << speaker.Loudest(quiet);
    EXPECT_TRUE(Key(view, wxEVT_KEY_UP, kRawQ));
    // The song plays from the buttons and the space bar.
    wxStatusBar* status = window->GetStatusBar();
    Send(window, kIdSongPlay);
    ASSERT_TRUE(native.IsLiveSongPlaying());
    EXPECT_TRUE(guitest::PumpUntil([&] {
        window->Redraw();
        return native.GetLiveSongPosition() > 100 &&
               status->GetStatusText(kStatusSong).StartsWith("song 0:0");
    })) << status->GetStatusText(kStatusSong);
    Send(window, kIdSongStop);
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
    EXPECT_TRUE(native.StartLiveSong());
    prompts.answers = {Answer::No};
    Send(window, wxID_NEW);
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
    mainwintest::Settings settings;
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

// On the session's fd device, which keeps time as a sound card would.
TEST_F(EditorSession, LevelMetersScreenshotUnderTheDemoSongWithTheLeftSideClipping) {
    if (ScreenshotDir().empty()) {
        GTEST_SKIP() << "KORVAX_SCREENSHOT_DIR is not set";
    }
    window->SetSize(wxRect(0, 0, 1500, 1000));
    ASSERT_TRUE(window->PlaySong());
    // Panned channels loud and far left without echo, the others silent: only the left clips.
    for (int channel = 0; channel < Korvax::kChannels; ++channel) {
        std::vector<std::pair<bool, const Korvax::PinRecord*>> values; // pan or amp, unlinked value input
        for (vergl::CNode* node : native.Patches().ChannelPost(channel).Nodes()) {
            const Korvax::NodeRecord* record = Korvax::GetNodeRecord(node);
            const int module = record != nullptr ? record->number : -1;
            const bool pan = module == static_cast<int>(Korvax::ModuleId::Panning);
            for (vergl::CPin* pin : node->Inputs()) {
                const Korvax::PinRecord* input = Korvax::GetPinRecord(pin);
                if ((pan || module == static_cast<int>(Korvax::ModuleId::Amp)) && input != nullptr &&
                    input->value && pin->HasNoLinks()) {
                    values.emplace_back(pan, input);
                }
            }
        }
        // The first amp is the channel's level, a later one its echo send.
        bool level = std::any_of(values.begin(), values.end(), [](const auto& value) { return value.first; });
        for (const auto& [pan, input] : values) {
            const float to = pan ? 0.1f : level ? 1.0f : 0.0f;
            native.SetControllerValue(input->controllerChannel, input->controllerNumber, to);
            level = level && pan;
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
}

} // namespace
