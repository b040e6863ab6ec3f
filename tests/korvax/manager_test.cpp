#include "korvax/korvaxfileio.h"
#include "korvax/korvaxmanager.h"

#include "support/deviceless_manager.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::testing::ReadFile;
using brl::testing::TempDir;
namespace logging = brl::Logging;
using Lines = std::vector<std::pair<int, String>>;

// The level and text of each line a function of the manager logged.
Lines Of(const brl::testing::LogCapture& log, const std::string& function) {
    Lines lines;
    for (const auto& record : log.Records()) {
        lines.insert(lines.end(), record.function == "brl::Korvax::Manager::" + function ? 1 : 0,
                     {record.level, record.message});
    }
    return lines;
}

using TestManager = brl::testing::DevicelessManager;

struct Rig {
    brl::testing::LogCapture log;
    std::unique_ptr<TestManager> manager = std::make_unique<TestManager>(&log);

    // Plays a note for one buffer; returns the loudest output sample.
    float Play(int note) {
        const SynthEvent event{kEventNoteOn, 0, -1, static_cast<float>(note) / 128.0f};
        EXPECT_TRUE(manager->QueueEvents(&event, 1, SynthesizerRealtime::kQueueDrop));
        return Render();
    }
    float Render() {
        manager->RenderBuffer();
        const float* out = manager->Memory() + kOutputLeft;
        return *std::max_element(out, out + 2 * kSamplesPerBuffer,
                                 [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    }
};

// Saves a patch whose voice on channel 0 plays its note value on both outputs.
String SaveNotePatch(const TempDir& dir) {
    Rig author;
    brl::vergl::CVergl& graph = author.manager->Patches().Voice(0);
    brl::vergl::CPin* note = author.manager->CreateNodeVoiceParamsOutput(graph)->Outputs().At(1);
    brl::vergl::CNode* output = author.manager->CreateNode(graph, 42, 0);
    EXPECT_TRUE(author.manager->CreateConnection(graph, note, output->Inputs().At(0)));
    EXPECT_TRUE(author.manager->CreateConnection(graph, note, output->Inputs().At(1)));
    EXPECT_TRUE(author.manager->SaveState(dir.WideFile("note.korvax"), L"test", false));
    return dir.WideFile("note.korvax");
}

TEST(ManagerState, LoadAndClearLogProgressAndAlwaysCutSoundsAndLoadCompilesOrStopsTheProgram) {
    TempDir dir;
    Rig rig;
    const String path = SaveNotePatch(dir);
    ASSERT_TRUE(rig.manager->LoadState(path));
    EXPECT_FLOAT_EQ(rig.Play(60), 60.0f / 128.0f);
    const String missing = dir.WideFile("missing.korvax");
    EXPECT_FALSE(rig.manager->LoadState(missing));
    EXPECT_EQ(Of(rig.log, "LoadState"), (Lines{{logging::Verbose, L"loading '" + path + L"' ..."},
                                               {logging::Info, L"loaded '" + path + L"'."},
                                               {logging::Verbose, L"loading '" + missing + L"' ..."},
                                               {logging::Error, L"loading failed"}}));
    EXPECT_EQ(rig.Render(), 0.0f);                 // a failed load cuts sounds too
    EXPECT_FLOAT_EQ(rig.Play(64), 64.0f / 128.0f); // the kept patch set was compiled again
    // A patch that does not compile (a buffer feeding "fin") stops the previous program.
    Rig author;
    brl::vergl::CVergl& graph = author.manager->Patches().Voice(0);
    brl::vergl::CNode* gain = author.manager->CreateNode(graph, 15, 0);
    ASSERT_NE(
        graph.Link(gain->Outputs().At(0), author.manager->CreateNodeVoiceParamsInput(graph)->Inputs().At(0)),
        nullptr);
    ASSERT_TRUE(author.manager->SaveState(dir.WideFile("broken.korvax"), L"test", false));
    EXPECT_TRUE(rig.manager->LoadState(dir.WideFile("broken.korvax")));
    EXPECT_EQ(rig.Play(60), 0.0f);
    // Clearing empties the patch set and the controller names and cuts sounds.
    ASSERT_TRUE(rig.manager->LoadState(path));
    rig.manager->SetControllerName(3, 4, L"cutoff");
    EXPECT_TRUE(rig.manager->ClearState());
    EXPECT_EQ(Of(rig.log, "ClearState"),
              (Lines{{logging::Info, L"unloading data ..."}, {logging::Info, L"unloaded."}}));
    for (const brl::vergl::CVergl* graph : rig.manager->Patches().AllGraphs()) {
        EXPECT_EQ(graph->Nodes().Count(), 0u);
    }
    EXPECT_EQ(rig.manager->ControllerName(3, 4), L"");
}

// The bytes of the values header written next to a patch file.
std::vector<int> ValuesHeaderBytes(const std::string& path) {
    const std::string text = ReadFile(path + ".values.h");
    std::vector<int> bytes;
    for (size_t at = text.find("0x"); at != std::string::npos; at = text.find("0x", at + 2)) {
        bytes.push_back(std::stoi(text.substr(at + 2, 2), nullptr, 16));
    }
    return bytes;
}

TEST(ManagerEditingWithoutAudio, DefaultsPastedAndSetValuesAreSavedCopiedAndExported) {
    TempDir dir;
    Rig author;
    Manager& editor = *author.manager;
    brl::vergl::CNode* envelope = editor.CreateNode(editor.Patches().Voice(2), 5, 2); // (2, 128..135)
    EXPECT_TRUE(editor.SetControllerValue(2, 130, 0.75f));
    SynthFileIo io(editor);
    ASSERT_TRUE(io.LoadGraphFromString(io.SaveGraphToString({envelope}, 2), editor.Patches().Voice(3), 3));
    EXPECT_TRUE(editor.SetControllerValue(3, 135, 0.125f));
    ASSERT_TRUE(editor.SaveState(dir.WideFile("edited.korvax"), L"test", true));
    const float channel2[] = {0.5f, 0.5f, 0.75f, 0.0f, 0.9921875f, 0.5f, 0.25f, 0.0f};
    const float channel3[] = {0.5f, 0.5f, 0.75f, 0.0f, 0.9921875f, 0.5f, 0.25f, 0.125f};
    Rig reader;
    ASSERT_TRUE(reader.manager->LoadState(dir.WideFile("edited.korvax")));
    const std::vector<int> exported = ValuesHeaderBytes(dir.File("edited.korvax"));
    ASSERT_EQ(exported.size(), static_cast<size_t>(kParameterCount));
    for (int k = 0; k < 8; ++k) {
        for (const auto& [channel, values] : {std::pair{2, channel2}, std::pair{3, channel3}}) {
            const int slot = channel * kControllersPerChannel + 128 + k;
            EXPECT_EQ(reader.manager->Memory()[slot], values[k]) << channel << " " << k;
            EXPECT_EQ(exported[static_cast<size_t>(slot)], static_cast<int>(values[k] * 128.0f));
        }
    }
    EXPECT_EQ(editor.QueuedCount(), 0u); // nothing waits for an audio thread that never comes
}

// Records each call as (listener, "what channel controller").
using Calls = std::vector<std::pair<const Listener*, std::string>>;
struct Recorder : Listener {
    Recorder(Manager& manager, Calls& sink) : Listener(manager), calls(sink) {}
    void Add(const std::string& what, int channel = -1, int controller = -1) {
        calls.emplace_back(this, what + " " + std::to_string(channel) + " " + std::to_string(controller));
    }
    void ProgramSelected() override { Add("program"); }
    void ControllerNameChanged(int channel, int controller) override { Add("name", channel, controller); }
    void Refresh() override {
        Add("refresh");
        if (onRefresh) {
            onRefresh();
        }
    }
    void ControllerChanged(int channel, int controller) override { Add("value", channel, controller); }
    Calls& calls;
    std::function<void()> onRefresh;
};

TEST(ManagerListeners, NotificationsReachTheSubscribedListenersInAddressOrderAndNoneOutlivesTheManager) {
    Rig rig;
    Calls calls;
    std::vector<std::unique_ptr<Recorder>> sorted; // in address order
    for (int i = 0; i < 4; ++i) {
        sorted.push_back(std::make_unique<Recorder>(*rig.manager, calls));
        sorted.back()->Subscribe();
    }
    std::sort(sorted.begin(), sorted.end());
    const auto called = [&](const std::string& what) {
        std::vector<const Listener*> who;
        for (const auto& [listener, text] : calls) {
            who.insert(who.end(), text == what ? 1 : 0, listener);
        }
        return who;
    };
    sorted[2]->Subscribe(); // a second subscription changes nothing
    rig.manager->NotifyProgramSelected();
    rig.manager->SetControllerName(3, 7, L"cutoff");
    for (auto [channel, number] : {std::pair{32, 0}, {-1, 0}, {0, 256}, {0, -1}}) {
        rig.manager->ControllerNameChanged(channel, number, L"not passed on");
    }
    rig.manager->Update();
    rig.manager->NotifyControllerChanged(5, 200);
    std::vector<const Listener*> all;
    std::transform(sorted.begin(), sorted.end(), std::back_inserter(all), [](auto& r) { return r.get(); });
    for (const char* what : {"program -1 -1", "name 3 7", "refresh -1 -1", "value 5 200"}) {
        EXPECT_EQ(called(what), all) << what;
    }
    EXPECT_EQ(calls.size(), 16u);
    // Destroyed or leaving listeners stop receiving, even during a notification.
    calls.clear();
    sorted[1]->Unsubscribe();
    EXPECT_FALSE(sorted[1]->IsSubscribed());
    Recorder* first = sorted[0].get();
    const Recorder* third = sorted[2].get();
    first->onRefresh = [&] { // leaves, and destroys the last one
        first->Unsubscribe();
        sorted[3].reset();
    };
    rig.manager->Update();
    rig.manager->Update();
    EXPECT_EQ(called("refresh -1 -1"), (std::vector<const Listener*>{first, third, third}));
    // Listeners outliving their manager, subscribed or not, are let go; their
    // destructors must not reach it.
    first->Subscribe();
    rig.manager.reset();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sorted[i]->GetManager(), nullptr);
        EXPECT_FALSE(sorted[i]->IsSubscribed());
    }
    sorted.clear();
}

// Nonsense meter settings are clamped: the RMS window stays inside its ring, and
// huge or NaN samples leave the readings finite.
TEST(LevelMeter, NonsenseSettingsAreClampedAndWildSamplesStayFinite) {
    PpmMeter meter;
    EXPECT_FALSE(meter.Configure(0.0, PpmSettings{}));
    ASSERT_TRUE(meter.Configure(96000.0, {-1.0, 1e9, -5.0, 11.0, 11.0, 11.0, 1e12}));
    EXPECT_EQ(meter.RmsWindow(), static_cast<int32_t>(PpmMeter::kRingSize - 1));
    EXPECT_EQ(meter.DcWindow(), 1);
    EXPECT_EQ(meter.PeakDecay(), 1.0f);
    for (const float value : {1e6f, std::nanf("")}) {
        const std::vector<float> block(1000, value);
        meter.RunSlow(block.data(), 1000);
    }
    EXPECT_TRUE(std::isfinite(meter.RmsOut()) && std::isfinite(meter.PeakOut()));
}

} // namespace
