// The main window's decisions without a window, prompts answered from a script.
#include "graph_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace mainwintest;
using brl::FromUtf8;
using namespace brl::Synth::Gui;
namespace Config = brl::Config;
namespace Korvax = brl::Korvax;

struct GraphCommandsTest : ::testing::Test {
    Settings settings;
    brl::testing::TempDir& dir = settings.dir;
    Config::Frontend& config = settings.config;
    TestManager manager;
    ScriptedPrompts prompts;
    brl::Logging::Logger log{nullptr, L"test"};
    brl::ApplicationInfo app;
    std::unique_ptr<GraphCommands> commands;
    int before = 0;
    int after = 0;
    GraphCommandsTest() {
        app.applicationLongName = L"korvax";
        commands = std::make_unique<GraphCommands>(manager, config, prompts, app, L"core v19", log);
        commands->beforeStateChange = [this] { ++before; };
        commands->afterStateChange = [this] {
            // The window rebuilds its views only after it let go of them.
            EXPECT_EQ(before, after + 1);
            ++after;
        };
    }
    void AddNode() { ASSERT_NE(manager.CreateNode(manager.Patches().Voice(0), 1, 0), nullptr); }
    size_t Nodes() { return manager.Patches().Voice(0).Nodes().Count(); }
    bool Exists(const String& path) { return std::filesystem::exists(std::filesystem::path(path)); }
    String File(const char* name) { return FromUtf8(dir.File(name)); }
    // "save as" with the dialog answered by this file.
    bool SaveAs(const char* name) {
        prompts.files = {File(name)};
        return commands->SaveAs();
    }
};

TEST(GraphTexts, TitleFileNamesAndStatusFields) {
    brl::ApplicationInfo app;
    app.applicationLongName = L"korvax";
    EXPECT_EQ(WindowTitle(app, L"core v19", L""), L"korvax");
    EXPECT_EQ(WindowTitle(app, L"core v19", L"/s/a.korvax"), L"korvax - /s/a.korvax");
    EXPECT_EQ(WithPatchExtension(L"song.korvax.old"), L"song.korvax.old.korvax");
    // 750 ticks of 128 frames at 96000 Hz are one second; a tick short of a
    // tenth shows the tenth before; the position never runs past the end.
    EXPECT_EQ(SongPositionText(true, 750, 750 * 65 + 375, 96000.0), L"song 0:01.0 / 1:05.5");
    EXPECT_EQ(SongPositionText(true, 74, 750, 96000.0), L"song 0:00.0 / 0:01.0");
    EXPECT_EQ(SongPositionText(true, 900, 750, 96000.0), L"song 0:01.0 / 0:01.0");
    EXPECT_EQ(SongPositionText(true, 750, 1500, 0.0), L"");
    // Program and song add up; the compressed figure is the whole stream's.
    EXPECT_EQ(IntroSizeStatusText(true, Korvax::IntroSize{8801, 3544, 1404, 983, 2345}),
              L"intro 12345 B, xz 2345 B");
}

TEST_F(GraphCommandsTest, NewAsksToSaveCancelKeepsEverythingAndNoForgetsTheHistory) {
    Korvax::EditHistory history(manager);
    commands->SetHistory(&history);
    ASSERT_TRUE(SaveAs("a.korvax"));
    history.Record(L"add node");
    AddNode();
    prompts.answers = {Answer::Cancel};
    EXPECT_FALSE(commands->New());
    EXPECT_EQ(Nodes(), 1u);
    EXPECT_EQ(commands->FileName(), File("a.korvax"));
    EXPECT_EQ(prompts.questions.back(), L"save old shit?");
    EXPECT_TRUE(history.CanUndo());
    prompts.answers = {Answer::Yes}; // whose save as is cancelled
    EXPECT_FALSE(commands->New());
    EXPECT_EQ(Nodes(), 1u);
    prompts.answers = {Answer::No};
    EXPECT_TRUE(commands->New());
    EXPECT_EQ(Nodes(), 0u);
    EXPECT_TRUE(commands->FileName().empty());
    EXPECT_FALSE(history.CanUndo());
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 1);
}

TEST_F(GraphCommandsTest, OpenAndReloadLoadOrLeaveAnEmptyPatchSet) {
    AddNode();
    ASSERT_TRUE(SaveAs("saved.korvax"));
    AddNode();
    prompts.answers = {Answer::No};
    ASSERT_TRUE(commands->Reload());
    EXPECT_EQ(Nodes(), 1u);
    AddNode();
    prompts.answers = {Answer::Cancel};
    EXPECT_FALSE(commands->Reload());
    EXPECT_EQ(Nodes(), 2u);
    prompts.answers = {Answer::No};
    ASSERT_TRUE(commands->New());
    prompts.files = {File("saved.korvax")};
    ASSERT_TRUE(commands->Open());
    EXPECT_EQ(Nodes(), 1u);
    EXPECT_EQ(commands->FileName(), File("saved.korvax"));
    EXPECT_EQ(prompts.kinds.back(), FileKind::OpenPatch);
    brl::testing::WriteFile(dir.File("broken.korvax"), "<korvax version=\"19\"><graph>");
    prompts.files = {File("broken.korvax")};
    EXPECT_FALSE(commands->Open());
    EXPECT_EQ(Nodes(), 0u);
    EXPECT_TRUE(commands->FileName().empty());
    // A start file that does not load leaves an empty editor and says why.
    EXPECT_FALSE(commands->LoadInitial(File("nothing.korvax")));
    ASSERT_EQ(prompts.errors.size(), 1u);
    EXPECT_NE(prompts.errors[0].find(L"nothing.korvax"), String::npos);
    EXPECT_TRUE(commands->FileName().empty());
}

TEST_F(GraphCommandsTest, ClosingAsksUnlessDeviceless) {
    // Yes with a save that does not happen: vetoed only where a veto is possible.
    prompts.answers = {Answer::Yes, Answer::Yes};
    EXPECT_FALSE(commands->MayClose(true));
    EXPECT_TRUE(commands->MayClose(false));
    prompts.answers = {Answer::Yes};
    prompts.files = {File("closing")};
    EXPECT_TRUE(commands->MayClose(true));
    EXPECT_TRUE(Exists(File("closing.korvax")));
    manager.deviceless = true;
    const size_t asked = prompts.questions.size();
    EXPECT_TRUE(commands->MayClose(true));
    EXPECT_EQ(prompts.questions.size(), asked);
}

TEST_F(GraphCommandsTest, OpenedAndSavedFilesAreRememberedAndUnopenableOnesForgotten) {
    brl::gui::RecentFiles recent(config);
    commands->SetRecentFiles(&recent);
    int changes = 0;
    commands->recentFilesChanged = [&] { ++changes; };
    const String a = File("a.korvax");
    const String b = File("b.korvax");
    prompts.files = {a, b};
    ASSERT_TRUE(commands->SaveAs());
    ASSERT_TRUE(commands->SaveAs());
    prompts.files = {a};
    ASSERT_TRUE(commands->Open());
    EXPECT_EQ(recent.Files(), (std::vector<String>{a, b}));
    EXPECT_EQ(changes, 3);
    std::filesystem::remove(std::filesystem::path(b));
    AddNode();
    EXPECT_FALSE(commands->OpenRecent(1));
    EXPECT_EQ(recent.Files(), (std::vector<String>{a}));
    EXPECT_EQ(Nodes(), 0u);
    // The list is kept in the settings.
    brl::gui::RecentFiles again(config);
    again.Load();
    EXPECT_EQ(again.Files(), (std::vector<String>{a}));
    EXPECT_TRUE(commands->OpenRecent(0));
    EXPECT_FALSE(commands->OpenRecent(5));
}

} // namespace
