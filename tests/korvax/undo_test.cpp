#include "korvax/korvaxfileio.h"
#include "korvax/korvaxmanager.h"
#include "korvax/korvaxundo.h"
#include "support/deviceless_manager.h"

#include "support/sample_graph.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::testing::DevicelessManager;
using brl::testing::SampleVoice;
using brl::vergl::CNode;
using brl::vergl::CVergl;

// Writes down what the manager tells its listeners, in order.
class Heard : public Listener {
public:
    using Listener::Listener;
    void ProgramSelected() override { calls.push_back("program"); }
    void ControllerNameChanged(int c, int n) override { calls.push_back(Format("name", c, n)); }
    void Refresh() override { calls.push_back("refresh"); }
    void ControllerChanged(int c, int n) override { calls.push_back(Format("value", c, n)); }
    static std::string Format(const char* what, int c, int n) {
        return std::string(what) + " " + std::to_string(c) + ":" + std::to_string(n);
    }
    std::vector<std::string> calls;
};

struct Rig {
    brl::Logging::NullChannel log;
    std::unique_ptr<DevicelessManager> manager = std::make_unique<DevicelessManager>(&log);
    EditHistory history;
    explicit Rig(size_t steps = EditHistory::kDefaultStepLimit, size_t bytes = EditHistory::kDefaultByteLimit)
        : history(*manager, steps, bytes) {}
    PatchSet& Patches() { return manager->Patches(); }
    // What a save writes now.
    std::string Text() { return SynthFileIo(*manager).SavePatchesToText(L"test"); }
    // Records and edits; undo must give back the text from before the edit,
    // redo the text after it. Leaves the state after the edit.
    void RoundTrip(const String& label, const std::function<void()>& edit) {
        SCOPED_TRACE(brl::ToUtf8(label));
        const std::string before = Text();
        history.Record(label);
        edit();
        const std::string after = Text();
        ASSERT_NE(before, after) << "the edit changed nothing";
        ASSERT_TRUE(history.Undo(true));
        EXPECT_EQ(Text(), before);
        EXPECT_EQ(history.RedoLabel(), label);
        ASSERT_TRUE(history.Redo(true));
        EXPECT_EQ(Text(), after);
    }
};

TEST(EditHistory, EveryKindOfEditUndoesToTheBytesSavedBeforeItAndRedoesToTheBytesAfter) {
    Rig rig;
    CVergl& voice = rig.Patches().Voice(0);
    SampleVoice sample(*rig.manager, voice);
    const std::string start = rig.Text();
    // Nodes are looked up afresh in every edit: a restore rebuilds the graphs.
    const auto node = [&](size_t index) { return voice.Nodes().At(index); };
    rig.RoundTrip(L"add node", [&] { rig.manager->CreateNode(voice, SampleVoice::kEnvelope, 0); });
    rig.RoundTrip(L"delete node", [&] { voice.DestroyNode(node(3)); }); // the linked filter
    rig.RoundTrip(L"move", [&] { node(0)->SetPosition(500, -20); });
    rig.RoundTrip(L"link", [&] {
        ASSERT_TRUE(rig.manager->CreateConnection(voice, node(1)->Outputs().At(0), node(3)->Inputs().At(0)));
    });
    rig.RoundTrip(L"unlink", [&] { voice.DestroyLink(voice.Links().At(0)); });
    rig.RoundTrip(L"paste", [&] {
        SynthFileIo io(*rig.manager);
        const std::string copied = io.SaveGraphToString({node(1), node(2)}, 0);
        ASSERT_TRUE(io.LoadGraphFromString(copied, rig.Patches().Voice(3), 3));
    });
    rig.RoundTrip(L"value", [&] { rig.manager->SetControllerValue(0, 130, 0.3f); });
    rig.RoundTrip(L"controller name", [&] { rig.manager->SetControllerName(3, 129, L"Cut\u00f6ff"); });
    rig.RoundTrip(L"channel name", [&] { rig.Patches().channelNames[7] = L"b\u00e4ss & <drums>"; });
    rig.RoundTrip(L"buffer", [&] {
        rig.manager->SetBufferNumber(rig.manager->CreateNodeBufferOutput(rig.Patches().Mix()), 5);
    });
    rig.RoundTrip(L"song", [&] { rig.Patches().song = Song{99, {1, 2}, {3}}; });
    const std::string end = rig.Text();
    // The whole chain back and forth, through the steps kept as differences.
    ASSERT_EQ(rig.history.UndoCount(), 11u);
    while (rig.history.CanUndo()) {
        ASSERT_TRUE(rig.history.Undo(false));
    }
    EXPECT_EQ(rig.Text(), start);
    EXPECT_FALSE(rig.history.Undo(true));
    while (rig.history.Redo(false)) {
    }
    EXPECT_EQ(rig.Text(), end);
}

TEST(EditHistory, UndoGivesBackIdsControllersExactValuesAndCompilesOnlyWhenAsked) {
    Rig rig;
    CVergl& voice = rig.Patches().Voice(2);
    SampleVoice sample(*rig.manager, voice);
    ASSERT_TRUE(rig.manager->SetControllerValue(0, 128, 0.3f)); // saved as 38: 0.296875
    ASSERT_TRUE(rig.manager->Compile());
    const CompiledProgram before = rig.manager->LastProgram();
    const uint32_t nextId = voice.NextId();
    const int freeController = rig.manager->FindFreeController(2);
    rig.history.Record(L"replace output");
    voice.DestroyNode(sample.output);
    const uint32_t newId = rig.manager->CreateNode(voice, SampleVoice::kEnvelope, 2)->Id();
    ASSERT_TRUE(rig.manager->Compile());
    const CompiledProgram after = rig.manager->LastProgram();
    ASSERT_NE(after.opcodes, before.opcodes);
    ASSERT_TRUE(rig.history.Undo(false));
    EXPECT_EQ(rig.manager->LastProgram().opcodes, after.opcodes); // the caller compiles
    EXPECT_EQ(voice.NextId(), nextId);
    EXPECT_EQ(rig.manager->FindFreeController(2), freeController);
    EXPECT_EQ(rig.manager->Slot(0, 128), 0.3f);
    ASSERT_TRUE(rig.history.Redo(false));
    ASSERT_TRUE(rig.history.Undo(true));
    EXPECT_EQ(rig.manager->LastProgram().opcodes, before.opcodes);
    EXPECT_EQ(rig.manager->LastProgram().operands, before.operands);
    // The same edit made again hands out the same id.
    EXPECT_EQ(rig.manager->CreateNode(voice, SampleVoice::kEnvelope, 2)->Id(), newId);
}

TEST(EditHistory, LabelsFollowTheStacksANewRecordForgetsRedoAndEmptyEditsLeaveNoStep) {
    Rig rig;
    std::wstring& name = rig.Patches().channelNames[0];
    EXPECT_EQ(rig.history.UndoLabel(), L"");
    rig.history.Record(L"a");
    name = L"a";
    rig.history.Record(L"refused"); // an edit that did not happen
    rig.history.Record(L"b");
    name = L"b";
    EXPECT_EQ(rig.history.UndoCount(), 2u);
    ASSERT_TRUE(rig.history.Undo(true));
    EXPECT_EQ(name, L"a");
    EXPECT_EQ(rig.history.UndoLabel(), L"a");
    EXPECT_EQ(rig.history.RedoLabel(), L"b");
    rig.history.Record(L"c");
    name = L"c";
    EXPECT_FALSE(rig.history.Redo(true));
    EXPECT_EQ(rig.history.UndoLabel(), L"c");
    // A step recorded last whose edit did not happen is passed over.
    rig.history.Record(L"nothing");
    ASSERT_TRUE(rig.history.Undo(true));
    EXPECT_EQ(name, L"a");
    EXPECT_EQ(rig.history.RedoLabel(), L"c");
    rig.history.Record(L"given up");
    rig.history.DropLastRecord();
    EXPECT_EQ(rig.history.UndoLabel(), L"a");
    rig.history.Clear();
    EXPECT_FALSE(rig.history.CanUndo() || rig.history.CanRedo() || rig.history.Undo(true));
    EXPECT_EQ(name, L"a");
}

TEST(EditHistory, TheLimitsDropTheOldestSteps) {
    Rig rig;
    const size_t limit = rig.history.StepLimit();
    ASSERT_GE(limit, 200u);
    for (size_t edit = 1; edit <= limit + 4; ++edit) {
        rig.history.Record(L"rename");
        rig.Patches().channelNames[0] = std::to_wstring(edit);
    }
    EXPECT_EQ(rig.history.UndoCount(), limit);
    while (rig.history.Undo(false)) {
    }
    EXPECT_EQ(rig.Patches().channelNames[0], L"4"); // the state before edit 5
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
    CNode* filter = rig.manager->CreateNode(rig.Patches().Voice(4), SampleVoice::kFilterMoog, 4);
    ASSERT_TRUE(rig.manager->Compile());
    ASSERT_TRUE(rig.manager->SetCurrentProgram(4));
    const int number = GetPinRecord(filter->Inputs().At(1))->controllerNumber;
    const String name = rig.manager->ControllerName(4, number);
    const float value = rig.manager->Slot(4, number);
    rig.history.Record(L"rename and set");
    rig.manager->SetControllerName(4, number, L"Tone");
    rig.manager->SetControllerValue(4, number, 0.75f);
    Heard heard(*rig.manager);
    heard.Subscribe();
    ASSERT_TRUE(rig.history.Undo(true));
    EXPECT_EQ(rig.manager->ControllerName(4, number), name);
    EXPECT_EQ(rig.manager->Slot(4, number), value);
    EXPECT_EQ(heard.calls,
              (std::vector<std::string>{Heard::Format("name", 4, number), Heard::Format("value", 4, number),
                                        "program", "refresh"}));
    EXPECT_EQ(rig.manager->GetCurrentProgram(), 4);
}

TEST(EditHistory, UndoOnTheDemoSavesTheFileAsItWasAndKeepsTheStepsSmall) {
    brl::testing::TempDir dir;
    Rig rig;
    ASSERT_TRUE(rig.manager->LoadState(brl::FromUtf8(KORVAX_SOURCE_DIR "/examples/demo/demo.korvax")));
    ASSERT_TRUE(rig.manager->SaveState(dir.WideFile("before.korvax"), L"demo", false));
    // The graph with the most links loses a linked node, then its nodes move.
    CVergl* busiest = &rig.Patches().Voice(0);
    for (CVergl* graph : rig.Patches().AllGraphs()) {
        busiest = graph->Links().Count() > busiest->Links().Count() ? graph : busiest;
    }
    ASSERT_GT(busiest->Links().Count(), 2u);
    rig.history.Record(L"delete");
    busiest->DestroyNode(busiest->Links().At(0)->Pin1()->Node());
    for (size_t step = 0; step < 20; ++step) {
        rig.history.Record(L"move");
        CNode* node = busiest->Nodes().At(step % busiest->Nodes().Count());
        node->SetPosition(node->X() + 12, node->Y());
    }
    // Less than four whole copies for twenty-one steps: they share what is equal.
    EXPECT_LT(rig.history.StoredBytes(), 4 * rig.Text().size());
    while (rig.history.Undo(true)) {
    }
    ASSERT_TRUE(rig.manager->SaveState(dir.WideFile("after.korvax"), L"demo", false));
    EXPECT_EQ(brl::testing::ReadFile(dir.File("after.korvax")),
              brl::testing::ReadFile(dir.File("before.korvax")));
}

} // namespace
