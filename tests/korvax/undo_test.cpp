#include "korvax/korvaxfileio.h"
#include "korvax/korvaxmanager.h"
#include "korvax/korvaxundo.h"

#include "support/sample_graph.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::testing::ReadFile;
using brl::testing::SampleVoice;
using brl::testing::TempDir;
using brl::vergl::CNode;
using brl::vergl::CVergl;

const std::string kDemoPatch = std::string(KORVAX_SOURCE_DIR) + "/examples/demo/demo.korvax";

// A manager without an audio device: events apply at once, nothing renders.
class DevicelessManager : public Manager {
public:
    using Manager::Manager;
    int64_t GetPosition() const override { return 0; }
    int64_t GetSampleRate() const override { return 96000; }
    int64_t GetInputLatency() const override { return 0; }
    int64_t GetOutputLatency() const override { return 0; }
    bool IsDeviceless() const override { return true; }
};

// Counts what the manager tells its listeners.
class Counter : public Listener {
public:
    using Listener::Listener;
    void ProgramSelected() override { ++programSelections; }
    void ControllerNameChanged(int channel, int controller) override {
        renamed.emplace_back(channel, controller);
    }
    void Refresh() override { ++refreshes; }
    void ControllerChanged(int channel, int controller) override {
        changed.emplace_back(channel, controller);
    }

    int programSelections = 0;
    int refreshes = 0;
    std::vector<std::pair<int, int>> renamed;
    std::vector<std::pair<int, int>> changed;
};

struct Rig {
    brl::Logging::NullChannel log;
    std::unique_ptr<DevicelessManager> manager = std::make_unique<DevicelessManager>(&log);
    EditHistory history{*manager};

    explicit Rig(size_t stepLimit = EditHistory::kDefaultStepLimit,
                 size_t byteLimit = EditHistory::kDefaultByteLimit)
        : history(*manager, stepLimit, byteLimit) {}

    PatchSet& Patches() { return manager->Patches(); }
    // What a save writes now.
    std::string Text() { return SynthFileIo(*manager).SavePatchesToText(L"test"); }
    float Slot(int channel, int number) {
        return manager->Memory()[channel * kControllersPerChannel + number];
    }

    // Records, edits, and checks that undo gives back the text from before the
    // edit and redo the text after it. Leaves the state after the edit.
    void RoundTrip(const String& label, const std::function<void()>& edit) {
        SCOPED_TRACE(brl::ToUtf8(label));
        const std::string before = Text();
        history.Record(label);
        edit();
        const std::string after = Text();
        ASSERT_NE(before, after) << "the edit changed nothing";
        EXPECT_EQ(history.UndoLabel(), label);
        ASSERT_TRUE(history.Undo(true));
        EXPECT_EQ(Text(), before);
        EXPECT_EQ(history.RedoLabel(), label);
        ASSERT_TRUE(history.Redo(true));
        EXPECT_EQ(Text(), after);
    }
};

CNode* NodeAt(CVergl& graph, size_t index) {
    return graph.Nodes().At(index);
}

TEST(EditHistory, EveryKindOfEditUndoesToTheBytesSavedBeforeItAndRedoesToTheBytesAfter) {
    Rig rig;
    CVergl& voice = rig.Patches().Voice(0);
    SampleVoice sample(*rig.manager, voice);
    ASSERT_TRUE(rig.manager->Compile());
    rig.history.Clear();
    const std::string start = rig.Text();
    std::vector<std::string> texts{start};

    // Nodes are looked up afresh in every edit: a restore rebuilds the graphs.
    rig.RoundTrip(L"add node", [&] { rig.manager->CreateNode(voice, SampleVoice::kEnvelope, 0); });
    rig.RoundTrip(L"delete node", [&] { voice.DestroyNode(NodeAt(voice, 3)); }); // the linked filter
    rig.RoundTrip(L"move", [&] { NodeAt(voice, 0)->SetPosition(500, -20); });
    rig.RoundTrip(L"link", [&] {
        ASSERT_TRUE(rig.manager->CreateConnection(voice, NodeAt(voice, 1)->Outputs().At(0),
                                                  NodeAt(voice, 3)->Inputs().At(0)));
    });
    rig.RoundTrip(L"unlink", [&] { voice.DestroyLink(voice.Links().At(0)); });
    rig.RoundTrip(L"paste", [&] {
        SynthFileIo io(*rig.manager);
        const std::string copied = io.SaveGraphToString({NodeAt(voice, 1), NodeAt(voice, 2)}, 0);
        ASSERT_TRUE(io.LoadGraphFromString(copied, rig.Patches().Voice(3), 3));
    });
    rig.RoundTrip(L"value", [&] { rig.manager->SetControllerValue(0, 130, 0.3f); });
    rig.RoundTrip(L"controller name", [&] { rig.manager->SetControllerName(3, 129, L"Cut\u00f6ff"); });
    rig.RoundTrip(L"channel name", [&] { rig.Patches().channelNames[7] = L"b\u00e4ss & <drums>"; });
    rig.RoundTrip(L"buffer", [&] {
        CNode* buffer = rig.manager->CreateNodeBufferOutput(rig.Patches().Mix());
        rig.manager->SetBufferNumber(buffer, 5);
    });
    rig.RoundTrip(L"song", [&] { rig.Patches().song = Song{99, {1, 2}, {3}}; });
    const std::string end = rig.Text();

    // The whole chain back and forth, through the steps kept as differences.
    ASSERT_EQ(rig.history.UndoCount(), 11u);
    while (rig.history.CanUndo()) {
        ASSERT_TRUE(rig.history.Undo(true));
    }
    EXPECT_EQ(rig.Text(), start);
    EXPECT_FALSE(rig.history.Undo(true));
    while (rig.history.CanRedo()) {
        ASSERT_TRUE(rig.history.Redo(true));
    }
    EXPECT_EQ(rig.Text(), end);
}

TEST(EditHistory, UndoGivesBackIdsControllersAndExactValues) {
    Rig rig;
    CVergl& voice = rig.Patches().Voice(2);
    rig.manager->CreateNode(voice, SampleVoice::kOscillator, 2);
    ASSERT_TRUE(rig.manager->SetControllerValue(2, 128, 0.3f)); // saved as 38: 0.296875
    const uint32_t nextId = voice.NextId();
    const int freeController = rig.manager->FindFreeController(2);

    rig.history.Record(L"add envelope");
    CNode* first = rig.manager->CreateNode(voice, SampleVoice::kEnvelope, 2);
    const uint32_t firstId = first->Id();
    ASSERT_TRUE(rig.history.Undo(false));
    EXPECT_EQ(voice.NextId(), nextId);
    EXPECT_EQ(rig.manager->FindFreeController(2), freeController);
    EXPECT_EQ(rig.Slot(2, 128), 0.3f);
    // The same edit made again hands out the same id and controllers.
    EXPECT_EQ(rig.manager->CreateNode(voice, SampleVoice::kEnvelope, 2)->Id(), firstId);
}

TEST(EditHistory, CompilingIsTheCallersChoice) {
    Rig rig;
    CVergl& voice = rig.Patches().Voice(0);
    SampleVoice sample(*rig.manager, voice);
    ASSERT_TRUE(rig.manager->Compile());
    const CompiledProgram before = rig.manager->LastProgram();
    rig.history.Record(L"delete output");
    voice.DestroyNode(sample.output);
    ASSERT_TRUE(rig.manager->Compile());
    const CompiledProgram after = rig.manager->LastProgram();
    ASSERT_NE(after.opcodes, before.opcodes);

    ASSERT_TRUE(rig.history.Undo(false));
    EXPECT_EQ(rig.manager->LastProgram().opcodes, after.opcodes);
    ASSERT_TRUE(rig.history.Redo(false));
    ASSERT_TRUE(rig.history.Undo(true));
    EXPECT_EQ(rig.manager->LastProgram().opcodes, before.opcodes);
    EXPECT_EQ(rig.manager->LastProgram().operands, before.operands);
}

TEST(EditHistory, LabelsFollowTheStacksAndANewRecordForgetsRedo) {
    Rig rig;
    EXPECT_FALSE(rig.history.CanUndo());
    EXPECT_EQ(rig.history.UndoLabel(), L"");
    rig.history.Record(L"a");
    rig.Patches().channelNames[0] = L"a";
    rig.history.Record(L"b");
    rig.Patches().channelNames[0] = L"b";
    ASSERT_TRUE(rig.history.Undo(true));
    EXPECT_EQ(rig.history.UndoLabel(), L"a");
    EXPECT_EQ(rig.history.RedoLabel(), L"b");
    EXPECT_EQ(rig.Patches().channelNames[0], L"a");

    rig.history.Record(L"c");
    rig.Patches().channelNames[1] = L"c";
    EXPECT_FALSE(rig.history.CanRedo());
    EXPECT_FALSE(rig.history.Redo(true));
    EXPECT_EQ(rig.history.UndoLabel(), L"c");
    EXPECT_EQ(rig.history.UndoCount(), 2u);

    rig.history.Clear();
    EXPECT_FALSE(rig.history.CanUndo());
    EXPECT_FALSE(rig.history.CanRedo());
    EXPECT_FALSE(rig.history.Undo(true));
    EXPECT_EQ(rig.Patches().channelNames[1], L"c");
}

TEST(EditHistory, EditsThatChangedNothingLeaveNoStep) {
    Rig rig;
    CVergl& voice = rig.Patches().Voice(0);
    CNode* a = rig.manager->CreateNode(voice, SampleVoice::kEnvelope, 0);
    CNode* b = rig.manager->CreateNode(voice, SampleVoice::kEnvelope, 0);
    const std::string start = rig.Text();

    rig.history.Record(L"refused link"); // two inputs: refused
    EXPECT_FALSE(rig.manager->CreateConnection(voice, a->Inputs().At(0), b->Inputs().At(0)));
    rig.history.Record(L"move");
    a->SetPosition(40, 40);
    EXPECT_EQ(rig.history.UndoCount(), 1u);
    EXPECT_EQ(rig.history.UndoLabel(), L"move");

    // A step recorded last whose edit did not happen is passed over.
    rig.history.Record(L"nothing");
    ASSERT_TRUE(rig.history.Undo(true));
    EXPECT_EQ(rig.Text(), start);
    EXPECT_EQ(rig.history.RedoLabel(), L"move");
    EXPECT_FALSE(rig.history.CanUndo());

    rig.history.Record(L"given up");
    rig.history.DropLastRecord();
    EXPECT_FALSE(rig.history.CanUndo());
}

TEST(EditHistory, TheLimitsDropTheOldestSteps) {
    Rig rig;
    ASSERT_GE(rig.history.StepLimit(), 200u);
    const size_t limit = rig.history.StepLimit();
    for (size_t edit = 1; edit <= limit + 4; ++edit) {
        rig.history.Record(L"rename");
        rig.Patches().channelNames[0] = std::to_wstring(edit);
    }
    EXPECT_EQ(rig.history.UndoCount(), limit);
    while (rig.history.Undo(false)) {
    }
    EXPECT_EQ(rig.Patches().channelNames[0], L"4"); // the state before edit 5
    EXPECT_EQ(rig.history.RedoCount(), limit);

    // With too small a byte budget only the newest step stays.
    Rig tight(10, 1);
    for (const wchar_t* name : {L"x", L"y", L"z"}) {
        tight.history.Record(name);
        tight.Patches().channelNames[3] = name;
    }
    EXPECT_EQ(tight.history.UndoCount(), 1u);
    ASSERT_TRUE(tight.history.Undo(true));
    EXPECT_EQ(tight.Patches().channelNames[3], L"y");
}

TEST(EditHistory, ListenersHearOfRestoredNamesAndValuesAndTheSelectionStays) {
    Rig rig;
    CVergl& voice = rig.Patches().Voice(4);
    CNode* filter = rig.manager->CreateNode(voice, SampleVoice::kFilterMoog, 4);
    ASSERT_TRUE(rig.manager->Compile());
    ASSERT_TRUE(rig.manager->SetCurrentProgram(4));
    const int number = GetPinRecord(filter->Inputs().At(1))->controllerNumber;
    const String name = rig.manager->ControllerName(4, number);
    const float value = rig.Slot(4, number);

    rig.history.Record(L"rename and set");
    rig.manager->SetControllerName(4, number, L"Tone");
    rig.manager->SetControllerValue(4, number, 0.75f);

    Counter counter(*rig.manager);
    counter.Subscribe();
    ASSERT_TRUE(rig.history.Undo(true));
    EXPECT_EQ(rig.manager->ControllerName(4, number), name);
    EXPECT_EQ(rig.Slot(4, number), value);
    EXPECT_EQ(counter.renamed, (std::vector<std::pair<int, int>>{{4, number}}));
    EXPECT_EQ(counter.changed, (std::vector<std::pair<int, int>>{{4, number}}));
    EXPECT_EQ(counter.programSelections, 1);
    EXPECT_EQ(counter.refreshes, 1);
    EXPECT_EQ(rig.manager->GetCurrentProgram(), 4);
}

TEST(EditHistory, UndoOnTheDemoSavesTheFileAsItWasAndKeepsTheStepsSmall) {
    TempDir dir;
    Rig rig;
    ASSERT_TRUE(rig.manager->LoadState(brl::FromUtf8(kDemoPatch)));
    rig.history.Clear();
    ASSERT_TRUE(rig.manager->SaveState(brl::FromUtf8(dir.File("before.korvax")), L"demo", false));

    // The voice graph with the most links loses a linked node, then gets moves.
    CVergl* busiest = &rig.Patches().Voice(0);
    for (CVergl* graph : rig.Patches().AllGraphs()) {
        if (graph->Links().Count() > busiest->Links().Count()) {
            busiest = graph;
        }
    }
    ASSERT_GT(busiest->Links().Count(), 2u);
    rig.history.Record(L"delete");
    busiest->DestroyNode(busiest->Links().At(0)->Pin1()->Node());
    ASSERT_TRUE(rig.manager->Compile());
    const std::string whole = rig.Text();
    for (int step = 0; step < 20; ++step) {
        rig.history.Record(L"move");
        CNode* node = busiest->Nodes().At(static_cast<size_t>(step) % busiest->Nodes().Count());
        node->SetPosition(node->X() + 12, node->Y());
    }
    // Twenty-one whole copies would take this much; the steps share what is equal.
    EXPECT_LT(rig.history.StoredBytes(), 4 * whole.size());

    while (rig.history.CanUndo()) {
        ASSERT_TRUE(rig.history.Undo(true));
    }
    ASSERT_TRUE(rig.manager->SaveState(brl::FromUtf8(dir.File("after.korvax")), L"demo", false));
    EXPECT_EQ(ReadFile(dir.File("after.korvax")), ReadFile(dir.File("before.korvax")));
}

} // namespace
