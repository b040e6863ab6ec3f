#include "apps_test_support.h"

#include <cmath>

// The intro players made with korvax_add_player: the patch sets beside the demo and the demo's size.
namespace {

using namespace korvax_apps;

const std::string kSetsDir = KORVAX_SETS_DIR;

struct PatchSet {
    const char* name;
    const char* player;
};

const PatchSet kSets[] = {{"filters", KORVAX_PLAYER_FILTERS}, {"tools", KORVAX_PLAYER_TOOLS}};

using Players = ScratchTest;

TEST_F(Players, WriteTheSameWaveAsTheRendererForTheFilterAndToolSets) {
    for (const PatchSet& set : kSets) {
        SCOPED_TRACE(set.name);
        const std::string patch = dir.File(std::string(set.name) + ".korvax");
        ASSERT_TRUE(CopyFile(kSetsDir + "/" + set.name + ".korvax", patch));
        const Outcome played = RunProgram(dir.Path(), set.player, {dir.File("player.wav")});
        ASSERT_EQ(played.exitCode, 0) << played.output;
        const Outcome rendered = Renderer({"--render", patch, "--Log-Level", "5"});
        ASSERT_EQ(rendered.exitCode, 0) << rendered.output;
        const auto player = ReadBytes(dir.File("player.wav"));
        const auto render = ReadBytes(patch + ".wav");
        ASSERT_TRUE(player && render);
        const auto ticks = SongTicks(ReadText(patch));
        ASSERT_TRUE(ticks);
        EXPECT_EQ(render->size(), WaveSize(*ticks + kTailTicks));
        ASSERT_EQ(player->size(), render->size());
        const auto differs = std::mismatch(render->begin(), render->end(), player->begin());
        EXPECT_TRUE(differs.first == render->end())
            << "first difference at byte " << (differs.first - render->begin());
        float peak = 0.0f; // a comparison of silence would prove little
        for (float sample : WaveSamples(*player)) {
            peak = std::max(peak, std::fabs(sample));
        }
        EXPECT_GT(peak, 0.2f);
        EXPECT_LE(peak, 1.0f);
    }
}

TEST_F(Players, ReportAWaveFileThatCannotBeWritten) {
    const Outcome played = RunProgram(dir.Path(), KORVAX_PLAYER, {dir.File("missing/player.wav")});
    EXPECT_EQ(played.exitCode, 1);
    EXPECT_NE(played.output.find("cannot create the wave file"), std::string::npos) << played.output;
    const Outcome full = RunProgram(dir.Path(), KORVAX_PLAYER, {"/dev/full"});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_NE(full.output.find("writing the wave file failed"), std::string::npos) << full.output;
}

// 8 KiB after xz -9e of the stripped file, with only the C and maths libraries.
TEST_F(Players, DemoPlayerFitsInEightKibibytesCompressed) {
    if (!KORVAX_PLAYER_SMALL) {
        GTEST_SKIP() << "sanitizer builds link the player differently";
    }
    const Outcome size =
        RunProgram(dir.Path(), "/bin/sh",
                   {"-c", "strip -s -R .comment -R .note.gnu.property -o stripped '" KORVAX_PLAYER
                          "' && xz -9e -c stripped | wc -c"});
    ASSERT_EQ(size.exitCode, 0) << size.output;
    EXPECT_LE(std::stol(size.output), 8192L);
    const Outcome libraries = RunProgram(
        dir.Path(), "/bin/sh",
        {"-c", "readelf -d '" KORVAX_PLAYER "' | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p' | sort"});
    ASSERT_EQ(libraries.exitCode, 0) << libraries.output;
    EXPECT_EQ(libraries.standardOutput, "libc.so.6\nlibm.so.6\n");
}

} // namespace
