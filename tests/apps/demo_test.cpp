#include "apps_test_support.h"
#include "korvax/korvaxcatalogue.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

// The bundled demo: its generators reproduce the committed files, and the intro
// player built from its exported headers writes exactly what the renderer writes.
namespace {

using namespace korvax_apps;
using brl::testing::TempDir;

const std::string kDemoDir = KORVAX_DEMO_DIR;
const std::string kPlayerData = KORVAX_PLAYER_DATA;

class Demo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        ASSERT_TRUE(CopyFile(kDemoDir + "/demo.korvax", Patch()));
        ASSERT_TRUE(CopyFile(kDemoDir + "/demo.mid", Midi()));
    }
    std::string Patch() const { return dir.File("demo.korvax"); }
    std::string Midi() const { return dir.File("demo.mid"); }
    Outcome Tool(const std::vector<std::string>& arguments) const {
        return RunProgram(dir.Path(), KORVAX_TOOL, arguments);
    }

    TempDir dir;
};

TEST_F(Demo, SongGeneratorWritesTheCommittedMidiFile) {
    const std::string written = dir.File("fresh.mid");
    const Outcome made = RunProgram(dir.Path(), KORVAX_MAKE_SONG, {written});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const auto fresh = ReadBytes(written);
    const auto committed = ReadBytes(kDemoDir + "/demo.mid");
    ASSERT_TRUE(fresh && committed);
    EXPECT_TRUE(*fresh == *committed) << "regenerate with the target demo-content";
}

TEST_F(Demo, PatchGeneratorAndImportGiveTheCommittedPatch) {
    const std::string written = dir.File("fresh.korvax");
    const Outcome made = RunProgram(dir.Path(), KORVAX_MAKE_DEMO, {written});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string before = ReadText(written);
    EXPECT_EQ(SongTicks(before), 0u) << "the generator saves the patch without a song";
    const Outcome imported = Tool({"import-midi", Midi(), written});
    ASSERT_EQ(imported.exitCode, 0) << imported.output;
    EXPECT_TRUE(ReadBytes(written) == ReadBytes(kDemoDir + "/demo.korvax"))
        << "regenerate with the target demo-content";
}

TEST_F(Demo, SongLastsBetweenTwentyAndThirtySeconds) {
    const auto ticks = SongTicks(ReadText(Patch()));
    ASSERT_TRUE(ticks);
    EXPECT_GE(*ticks, 20u * 750u);
    EXPECT_LE(*ticks, 30u * 750u);
}

TEST_F(Demo, ImportAndExportReproduceThePlayersHeadersAndModuleList) {
    const Outcome imported = Tool({"import-midi", Midi(), Patch()});
    ASSERT_EQ(imported.exitCode, 0) << imported.output;
    const Outcome exported = Tool({"export", Patch()});
    ASSERT_EQ(exported.exitCode, 0) << exported.output;
    for (const char* header : {"demo.korvax.values.h", "demo.korvax.ops.h", "demo.korvax.params.h",
                               "demo.mid.timestreams.h", "demo.mid.datastreams.h"}) {
        const auto mine = ReadBytes(dir.File(header));
        const auto players = ReadBytes(kPlayerData + "/" + header);
        ASSERT_TRUE(mine) << header;
        ASSERT_TRUE(players) << header;
        EXPECT_TRUE(*mine == *players) << header;
    }
    const Outcome compiled = Tool({"compile", Patch()});
    ASSERT_EQ(compiled.exitCode, 0) << compiled.output;
    const std::vector<int> used = UsedNodes(compiled.output);
    std::string listed;
    for (int id : used) {
        listed += (listed.empty() ? "" : ", ") + std::to_string(id);
    }
    EXPECT_NE(ReadText(kPlayerData + "/demo.modules.h").find("#define KORVAX_USED_MODULES " + listed + "\n"),
              std::string::npos)
        << listed;
    // Oscillator, filter, chorus, envelope, LFO, delay, release and output at least.
    for (int module :
         {brl::Korvax::ModuleId::Osc, brl::Korvax::ModuleId::MoogFilter, brl::Korvax::ModuleId::Chorus,
          brl::Korvax::ModuleId::Envelope, brl::Korvax::ModuleId::Lfo, brl::Korvax::ModuleId::Delay,
          brl::Korvax::ModuleId::Release, brl::Korvax::ModuleId::Output}) {
        EXPECT_NE(std::find(used.begin(), used.end(), module), used.end()) << module;
    }
}

// The scalar intro player, and the renderer with voice lanes on and off.
TEST_F(Demo, PlayerWritesTheSameWaveAsTheRendererWithAndWithoutVoiceLanes) {
    const Outcome played = RunProgram(dir.Path(), KORVAX_PLAYER, {dir.File("player.wav")});
    ASSERT_EQ(played.exitCode, 0) << played.output;
    const auto player = ReadBytes(dir.File("player.wav"));
    ASSERT_TRUE(player);
    const auto ticks = SongTicks(ReadText(Patch()));
    ASSERT_TRUE(ticks);
    for (const char* lanes : {"1", "0"}) {
        const Outcome rendered =
            RunProgram(dir.Path(), KORVAX_RENDERER,
                       {"--render", Patch(), "--Log-Level", "5", "--Synth-VoiceLanes", lanes});
        ASSERT_EQ(rendered.exitCode, 0) << rendered.output;
        EXPECT_NE(rendered.output.find("realtime factor"), std::string::npos) << rendered.output;
        const auto render = ReadBytes(Patch() + ".wav");
        ASSERT_TRUE(render);
        EXPECT_EQ(render->size(), WaveSize(*ticks + kTailTicks));
        ASSERT_EQ(player->size(), render->size()) << "lanes " << lanes;
        const auto differs = std::mismatch(render->begin(), render->end(), player->begin());
        EXPECT_TRUE(differs.first == render->end())
            << "lanes " << lanes << ": first difference at byte " << (differs.first - render->begin());
    }
}

TEST_F(Demo, RenderIsAudibleStereoBelowClippingAndDiesAwayInTheTail) {
    const Outcome played = RunProgram(dir.Path(), KORVAX_PLAYER, {dir.File("player.wav")});
    ASSERT_EQ(played.exitCode, 0) << played.output;
    const auto wave = ReadBytes(dir.File("player.wav"));
    ASSERT_TRUE(wave);
    ASSERT_GT(wave->size(), 44u);
    EXPECT_EQ(U16At(*wave, 20), 3) << "float samples";
    EXPECT_EQ(U16At(*wave, 22), 2) << "stereo";
    EXPECT_EQ(U32At(*wave, 24), 96000u);
    EXPECT_EQ(U32At(*wave, 40), wave->size() - 44);

    const std::vector<float> samples = WaveSamples(*wave);
    float peak = 0.0f;
    double sideEnergy = 0.0;
    double energy = 0.0;
    size_t nonFinite = 0;
    for (size_t i = 0; i + 1 < samples.size(); i += 2) {
        const float left = samples[i];
        const float right = samples[i + 1];
        if (!std::isfinite(left) || !std::isfinite(right)) {
            ++nonFinite;
            continue;
        }
        peak = std::max({peak, std::fabs(left), std::fabs(right)});
        energy += static_cast<double>(left) * left + static_cast<double>(right) * right;
        sideEnergy += static_cast<double>(left - right) * (left - right);
    }
    EXPECT_EQ(nonFinite, 0u);
    EXPECT_GE(peak, 0.2f);
    EXPECT_LE(peak, 0.95f);
    const size_t frames = samples.size() / 2;
    const double rms = std::sqrt(energy / (2.0 * static_cast<double>(frames)));
    EXPECT_GT(rms, 0.02) << "the song should be more than a few clicks";
    EXPECT_GT(sideEnergy, energy * 0.001) << "panning, echoes and chorus make the sides differ";

    // The last second of the 30-second tail is silent.
    float tailPeak = 0.0f;
    for (size_t i = samples.size() - 2 * 96000; i < samples.size(); ++i) {
        tailPeak = std::max(tailPeak, std::fabs(samples[i]));
    }
    EXPECT_LT(tailPeak, 1e-4f);
}

} // namespace
