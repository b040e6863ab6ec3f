// The main window's decisions without a window, prompts answered from a script.
#include "graph_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace mainwintest;
using brl::FromUtf8;
using namespace brl::Synth::Gui;
namespace Korvax = brl::Korvax;

struct GraphCommandsTest : ::testing::Test {
    Settings settings;
    TestManager manager;
    ScriptedPrompts prompts;
    brl::Logging::Logger log{nullptr, L"test"};
    brl::ApplicationInfo app = Identity();
    GraphCommands commands{manager, settings.config, prompts, app, L"core v19", log};
    int before = 0;
    int after = 0;
    GraphCommandsTest() {
        commands.beforeStateChange = [this] { ++before; };
        commands.afterStateChange = [this] {
            // The window rebuilds its views only after it let go of them.
            EXPECT_EQ(before, after + 1);
            ++after;
        };
    }
    void AddNode() { ASSERT_NE(manager.CreateNode(manager.Patches().Voice(0), 1, 0), nullptr); }
    size_t Nodes() { return manager.Patches().Voice(0).Nodes().Count(); }
    String File(const char* name) { return FromUtf8(settings.dir.File(name)); }
    // "save as" with the dialog answered by this file.
    bool SaveAs(const char* name) {
        prompts.files = {File(name)};
        return commands.SaveAs();
    }
};

TEST_F(GraphCommandsTest, NewAsksToSaveCancelKeepsEverythingAndNoForgetsTheHistory) {
    Korvax::EditHistory history(manager);
    commands.SetHistory(&history);
    ASSERT_TRUE(SaveAs("a.korvax"));
    history.Record(L"add node");
    AddNode();
    prompts.answers = {Answer::Cancel};
    EXPECT_FALSE(commands.New());
    EXPECT_EQ(Nodes(), 1u);
    EXPECT_EQ(commands.FileName(), File("a.korvax"));
    EXPECT_EQ(prompts.questions.back(), L"save old shit?");
    EXPECT_TRUE(history.CanUndo());
    prompts.answers = {Answer::Yes}; // whose save as is cancelled
    EXPECT_FALSE(commands.New());
    EXPECT_EQ(Nodes(), 1u);
    prompts.answers = {Answer::No};
    EXPECT_TRUE(commands.New());
    EXPECT_EQ(Nodes(), 0u);
    EXPECT_TRUE(commands.FileName().empty());
    EXPECT_FALSE(history.CanUndo());
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 1);
}

// Closing with "yes" whose save does not happen is vetoed where a veto is possible:
// the edits must not be lost.
TEST_F(GraphCommandsTest, ClosingAfterAFailedSaveIsVetoedUnlessDeviceless) {
    prompts.answers = {Answer::Yes, Answer::Yes};
    EXPECT_FALSE(commands.MayClose(true));
    EXPECT_TRUE(commands.MayClose(false));
    prompts.answers = {Answer::Yes};
    prompts.files = {File("closing.korvax")};
    EXPECT_TRUE(commands.MayClose(true));
    EXPECT_TRUE(std::filesystem::exists(settings.dir.File("closing.korvax")));
    manager.deviceless = true;
    const size_t asked = prompts.questions.size();
    EXPECT_TRUE(commands.MayClose(true));
    EXPECT_EQ(prompts.questions.size(), asked);
}

TEST_F(GraphCommandsTest, OpenAndReloadLoadOrLeaveAnEmptyPatchSet) {
    AddNode();
    ASSERT_TRUE(SaveAs("saved.korvax"));
    AddNode();
    prompts.answers = {Answer::No};
    ASSERT_TRUE(commands.Reload());
    EXPECT_EQ(Nodes(), 1u);
    prompts.files = {File("saved.korvax")};
    ASSERT_TRUE(commands.Open());
    EXPECT_EQ(Nodes(), 1u);
    EXPECT_EQ(commands.FileName(), File("saved.korvax"));
    EXPECT_EQ(prompts.kinds.back(), FileKind::OpenPatch);
    brl::testing::WriteFile(settings.dir.File("broken.korvax"), "<korvax version=\"19\"><graph>");
    prompts.files = {File("broken.korvax")};
    EXPECT_FALSE(commands.Open());
    EXPECT_EQ(Nodes(), 0u);
    EXPECT_TRUE(commands.FileName().empty());
    // A start file that does not load leaves an empty editor and says why.
    EXPECT_FALSE(commands.LoadInitial(File("nothing.korvax")));
    ASSERT_EQ(prompts.errors.size(), 1u);
    EXPECT_NE(prompts.errors[0].find(L"nothing.korvax"), String::npos);
    EXPECT_TRUE(commands.FileName().empty());
}

} // namespace
