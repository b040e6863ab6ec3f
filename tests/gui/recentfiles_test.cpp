#include "gui/recentfiles.h"

#include "libbrelm/configini.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using brl::String;
using brl::gui::RecentFiles;
namespace Config = brl::Config;
using Files = std::vector<String>;

// A user INI file in a temporary folder that a fresh provider can read again.
struct Store {
    brl::testing::TempDir dir;
    std::unique_ptr<Config::IniProvider> ini;
    std::unique_ptr<Config::Frontend> config;

    Store() { Reopen(); }
    // Saves the file and reads it back, as at the next start.
    void Reopen() {
        config.reset();
        ini.reset();
        ini = std::make_unique<Config::IniProvider>(dir.WideFile("user.ini"), true);
        config = std::make_unique<Config::Frontend>();
        config->AddBase(ini.get());
        config->AddWrite(ini.get());
    }
};

TEST(RecentFiles, NewestFirstWithoutRepeatsUpToTheLimit) {
    Store store;
    RecentFiles recent(*store.config, 3);
    for (const wchar_t* path : {L"/a.korvax", L"/b.korvax", L"/c.korvax", L"", L"/a.korvax"}) {
        recent.Add(path);
    }
    EXPECT_EQ(recent.Files(), (Files{L"/a.korvax", L"/c.korvax", L"/b.korvax"}));
    recent.Add(L"/d.korvax");
    EXPECT_EQ(recent.Files(), (Files{L"/d.korvax", L"/a.korvax", L"/c.korvax"}));
    // Paths are compared as they are: case and spelling count.
    recent.Add(L"/A.korvax");
    recent.Add(L"//a.korvax");
    EXPECT_EQ(recent.Files(), (Files{L"//a.korvax", L"/A.korvax", L"/d.korvax"}));
    EXPECT_TRUE(recent.Remove(L"/A.korvax"));
    EXPECT_FALSE(recent.Remove(L"/A.korvax"));
    EXPECT_EQ(recent.Files(), (Files{L"//a.korvax", L"/d.korvax"}));
    recent.Clear();
    EXPECT_TRUE(recent.Files().empty());
    EXPECT_EQ(RecentFiles(*store.config).Limit(), 9u);
    EXPECT_EQ(RecentFiles(*store.config, 40).Limit(), 9u);
    EXPECT_EQ(RecentFiles(*store.config, 0).Limit(), 1u);
}

TEST(RecentFiles, TheListSurvivesARestartInTheIniFile) {
    Store store;
    const Files written{L"/home/m\u00fcller/Rock & Roll; = [x].korvax", L"/tmp/plain.korvax",
                        L" spaced .korvax"};
    {
        RecentFiles recent(*store.config);
        for (auto path = written.rbegin(); path != written.rend(); ++path) {
            recent.Add(*path);
        }
        ASSERT_TRUE(recent.Save());
    }
    store.Reopen();
    RecentFiles reread(*store.config);
    reread.Load();
    EXPECT_EQ(reread.Files(), written);
    // A shorter list leaves no stale entries behind.
    reread.Remove(written[0]);
    reread.Remove(written[1]);
    ASSERT_TRUE(reread.Save());
    store.Reopen();
    RecentFiles shorter(*store.config);
    shorter.Load();
    EXPECT_EQ(shorter.Files(), (Files{written[2]}));
}

TEST(RecentFiles, LoadingSkipsEmptyAndRepeatedEntriesAndKeepsTheLimit) {
    Store store;
    const Files stored{L"", L"/x.korvax", L"/x.korvax", L"/y.korvax", L"/z.korvax"};
    for (size_t index = 0; index < stored.size(); ++index) {
        ASSERT_TRUE(
            Config::Setting<String>(*store.config, RecentFiles::Key(index), String()).Set(stored[index]));
    }
    ASSERT_TRUE(Config::Setting<String>(*store.config, "Ui/RecentFiles/9", String()).Set(L"/last.korvax"));
    RecentFiles all(*store.config);
    all.Load();
    EXPECT_EQ(all.Files(), (Files{L"/x.korvax", L"/y.korvax", L"/z.korvax", L"/last.korvax"}));
    RecentFiles two(*store.config, 2);
    two.Load();
    EXPECT_EQ(two.Files(), (Files{L"/x.korvax", L"/y.korvax"}));
}

TEST(RecentFiles, MenuLabelsNumberTheFileNamesAndEscapeWhatTheMenuWouldTakeAsMarks) {
    EXPECT_EQ(RecentFiles::MenuLabel(0, L"/home/u/songs/Rock & Roll.korvax"), L"&1 Rock && Roll.korvax");
    EXPECT_EQ(RecentFiles::MenuLabel(8, L"demo.korvax"), L"&9 demo.korvax");
    EXPECT_EQ(RecentFiles::MenuLabel(1, L"/a/tab\there&.korvax"), L"&2 tab here&&.korvax");
    EXPECT_EQ(RecentFiles::MenuLabel(2, L"/a/b/"), L"&3 /a/b/");
}

} // namespace
