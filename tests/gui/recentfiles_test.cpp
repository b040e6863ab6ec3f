#include "gui/recentfiles.h"

#include "libbrelm/configini.h"
#include "support/ini_settings.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using brl::String;
using brl::gui::RecentFiles;
namespace Config = brl::Config;
using Files = std::vector<String>;

TEST(RecentFiles, NewestFirstWithoutRepeatsUpToTheLimit) {
    brl::testing::IniSettings store;
    RecentFiles recent(store.config, 3);
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
    EXPECT_EQ(RecentFiles(store.config).Limit(), 9u);
    EXPECT_EQ(RecentFiles(store.config, 40).Limit(), 9u);
    EXPECT_EQ(RecentFiles(store.config, 0).Limit(), 1u);
}

TEST(RecentFiles, TheListSurvivesARestartInTheIniFileWithoutStaleEntries) {
    brl::testing::TempDir dir;
    // Saves the list through one configuration and reads it back through a fresh one, as at the next start.
    const auto saveAndReread = [&](const Files& files) {
        {
            Config::IniProvider ini(dir.WideFile("user.ini"), true);
            Config::Frontend config;
            config.AddWrite(&ini);
            RecentFiles recent(config);
            for (auto path = files.rbegin(); path != files.rend(); ++path) {
                recent.Add(*path);
            }
            EXPECT_TRUE(recent.Save());
        }
        Config::IniProvider ini(dir.WideFile("user.ini"), true);
        Config::Frontend config;
        config.AddBase(&ini);
        RecentFiles recent(config);
        recent.Load();
        return recent.Files();
    };
    const Files written{L"/home/m\u00fcller/Rock & Roll; = [x].korvax", L"/tmp/plain.korvax",
                        L" spaced .korvax"};
    EXPECT_EQ(saveAndReread(written), written);
    EXPECT_EQ(saveAndReread({written[2]}), (Files{written[2]}));
}

TEST(RecentFiles, MenuLabelsNumberTheFileNamesAndEscapeWhatTheMenuWouldTakeAsMarks) {
    EXPECT_EQ(RecentFiles::MenuLabel(0, L"/home/u/songs/Rock & Roll.korvax"), L"&1 Rock && Roll.korvax");
    EXPECT_EQ(RecentFiles::MenuLabel(8, L"demo.korvax"), L"&9 demo.korvax");
    EXPECT_EQ(RecentFiles::MenuLabel(1, L"/a/tab\there&.korvax"), L"&2 tab here&&.korvax");
    EXPECT_EQ(RecentFiles::MenuLabel(2, L"/a/b/"), L"&3 /a/b/");
}

} // namespace
