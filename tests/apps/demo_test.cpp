#include "apps_test_support.h"

#include <cmath>

// The bundled demo: its generators, its exported headers and its intro player.
namespace {

using namespace korvax_apps;

const std::string kDemoDir = KORVAX_DEMO_DIR;
const std::string kPlayerData = KORVAX_PLAYER_DATA;

class DemoFiles : public ScratchTest {
protected:
    void SetUp() override {
        Demo();
        ASSERT_TRUE(CopyFile(kDemoDir + "/demo.mid", Midi()));
    }
    std::string Patch() const { return dir.File("demo.korvax"); }
    std::string Midi() const { return dir.File("demo.mid"); }
};

TEST_F(DemoFiles, GeneratorsAndImportGiveTheCommittedFiles) {
    const Outcome song = RunProgram(dir.Path(), KORVAX_MAKE_SONG, {dir.File("fresh.mid")});
    ASSERT_EQ(song.exitCode, 0) << song.output;
    EXPECT_TRUE(ReadBytes(dir.File("fresh.mid")) == ReadBytes(Midi()))
        << "regenerate with the target demo-content";
    const std::string written = dir.File("fresh.korvax");
    const Outcome made = RunProgram(dir.Path(), KORVAX_MAKE_DEMO, {written});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    EXPECT_EQ(SongTicks(ReadText(written)), 0u) << "the generator saves the patch without a song";
    const Outcome imported = Tool({"import-midi", Midi(), written});
    ASSERT_EQ(imported.exitCode, 0) << imported.output;
    EXPECT_TRUE(ReadBytes(written) == ReadBytes(Patch())) << "regenerate with the target demo-content";
}

TEST_F(DemoFiles, ImportAndExportReproduceThePlayersHeadersAndModuleList) {
    const Outcome imported = Tool({"import-midi", Midi(), Patch()});
    ASSERT_EQ(imported.exitCode, 0) << imported.output;
    const Outcome exported = Tool({"export", Patch()});
    ASSERT_EQ(exported.exitCode, 0) << exported.output;
    for (const char* header : {"demo.korvax.values.h", "demo.korvax.ops.h", "demo.korvax.params.h",
                               "demo.mid.timestreams.h", "demo.mid.datastreams.h"}) {
        const auto mine = ReadBytes(dir.File(header));
        EXPECT_TRUE(mine && mine == ReadBytes(kPlayerData + "/" + header)) << header;
    }
    const Outcome compiled = Tool({"compile", Patch()});
    ASSERT_EQ(compiled.exitCode, 0) << compiled.output;
    std::string listed;
    for (int id : UsedNodes(compiled.output)) {
        listed += (listed.empty() ? "" : ", ") + std::to_string(id);
    }
    EXPECT_NE(ReadText(kPlayerData + "/demo.modules.h").find("#define KORVAX_USED_MODULES " + listed + "\n"),
              std::string::npos)
        << listed;
}

// The scalar intro player as the renderer with voice lanes on and off and as korvax-tool's
// render, and what it plays.
TEST_F(DemoFiles, PlayerWritesTheRenderersWaveAudibleBelowClippingDyingAwayInTheTail) {
    const Outcome played = RunProgram(dir.Path(), KORVAX_PLAYER, {dir.File("player.wav")});
    ASSERT_EQ(played.exitCode, 0) << played.output;
    const auto player = ReadBytes(dir.File("player.wav"));
    ASSERT_TRUE(player);
    const auto ticks = SongTicks(ReadText(Patch()));
    ASSERT_TRUE(ticks);
    EXPECT_GE(*ticks, 20u * 750u);
    EXPECT_LE(*ticks, 30u * 750u);
    for (const std::string lanes : {"1", "0", "tool"}) {
        const Outcome rendered =
            lanes == "tool"
                ? Tool({"render", Patch(), "--Log-Level", "5"})
                : Renderer({"--render", Patch(), "--Log-Level", "5", "--Synth-VoiceLanes", lanes});
        ASSERT_EQ(rendered.exitCode, 0) << rendered.output;
        EXPECT_TRUE(lanes == "tool" || rendered.output.find("realtime factor") != std::string::npos)
            << rendered.output;
        const auto render = ReadBytes(Patch() + ".wav");
        ASSERT_TRUE(render);
        EXPECT_EQ(render->size(), WaveSize(*ticks + kTailTicks));
        ASSERT_EQ(player->size(), render->size()) << "lanes " << lanes;
        const auto differs = std::mismatch(render->begin(), render->end(), player->begin());
        EXPECT_TRUE(differs.first == render->end())
            << "lanes " << lanes << ": first difference at byte " << (differs.first - render->begin());
    }
    EXPECT_EQ(U32At(*player, 20), 0x00020003u) << "stereo float samples";
    EXPECT_EQ(U32At(*player, 24), 96000u);
    EXPECT_EQ(U32At(*player, 40), player->size() - 44);
    const std::vector<float> samples = WaveSamples(*player);
    // NaN compares false and fails the bounds; the tail's peak is over the last second of its 30.
    float peak = 0.0f;
    float tailPeak = 0.0f;
    for (size_t i = 0; i < samples.size(); ++i) {
        peak = std::isfinite(samples[i]) ? std::max(peak, std::fabs(samples[i])) : NAN;
        tailPeak = i + 2 * 96000 < samples.size() ? 0.0f : std::max(tailPeak, std::fabs(samples[i]));
    }
    EXPECT_GE(peak, 0.2f);
    EXPECT_LE(peak, 0.95f);
    EXPECT_LT(tailPeak, 1e-4f);
}

} // namespace
