#include "korvax/korvaxfileio.h"
#include "korvax/korvaxmanager.h"
#include "korvax/korvaxundo.h"
#include "support/deviceless_manager.h"

#include "support/sample_graph.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::testing::DevicelessManager;
using brl::testing::SampleVoice;
using brl::vergl::CVergl;

struct Rig {
    brl::Logging::NullChannel log;
    std::unique_ptr<DevicelessManager> manager = std::make_unique<DevicelessManager>(&log);
    EditHistory history{*manager};
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

} // namespace
