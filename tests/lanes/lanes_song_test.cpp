// Random patch sets with songs, built through the editing model, render to the
// same wave file bytes with voice lanes on and off.

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxeditor.h"
#include "korvax/korvaxfileio.h"
#include "korvax/korvaxmidifile.h"
#include "korvax/korvaxrender.h"
#include "lanes/korvaxlanes.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::vergl::CNode;
using brl::vergl::CVergl;

constexpr int kSongChannels = 4;
constexpr int kBusLeft = 0;
constexpr int kBusRight = 1;

constexpr int kChannelBus = 8; // + channel

// Random graphs; the editing model's rules refuse some links (the input stays on its controller).
class RandomPatchSet {
public:
    RandomPatchSet(SynthesizerEditor& editor, uint32_t seed) : editor(editor), random(seed) {}
    void Build() {
        for (int channel = 0; channel < kSongChannels; ++channel) {
            Voice(channel);
            CVergl& pre = editor.Patches().ChannelPre(channel);
            Link(pre, editor.CreateNode(pre, ModuleId::Set, channel), 0,
                 Buffer(pre, false, kChannelBus + channel), 0);
            CVergl& post = editor.Patches().ChannelPost(channel);
            CNode* level = editor.CreateNode(post, ModuleId::Amp, channel);
            Link(post, Buffer(post, true, kChannelBus + channel), 0, level, 0);
            AddInto(post, channel, kBusLeft, level);
            AddInto(post, channel, kBusRight, level);
        }
        CVergl& mixPre = editor.Patches().MixPre();
        for (const int bus : {kBusLeft, kBusRight}) {
            Link(mixPre, editor.CreateNode(mixPre, ModuleId::Set, 0), 0, Buffer(mixPre, false, bus), 0);
        }
        CVergl& mix = editor.Patches().Mix();
        CNode* out = editor.CreateNode(mix, ModuleId::Output, 0);
        Link(mix, Buffer(mix, true, kBusLeft), 0, out, 0);
        Link(mix, Buffer(mix, true, kBusRight), 0, out, 1);
    }
    // The controllers the graphs created, for the song to change.
    const std::vector<std::pair<int, int>>& Controllers() const { return controllers; }

private:
    // An oscillator on the note, random modules, a release that ends the voice,
    // and out through an output node, the channel's bus or the debug blocks.
    void Voice(int channel) {
        CVergl& graph = editor.Patches().Voice(channel);
        CNode* voice = editor.CreateNodeVoiceParamsOutput(graph);
        std::vector<std::pair<CNode*, size_t>> sources = {{voice, 0}, {voice, 1}, {voice, 2}};
        CNode* map = Module(graph, channel, ModuleId::MapNote, sources, 0);
        Link(graph, voice, 1, map, 0);
        CNode* phase = Module(graph, channel, ModuleId::Phase, sources, 0);
        Link(graph, map, 0, phase, 0);
        CNode* last = Module(graph, channel, ModuleId::Osc, sources, 0);
        Link(graph, phase, 0, last, 0);
        const int count = Pick(2, 7);
        for (int k = 0; k < count; ++k) {
            CNode* node = Module(graph, channel, RandomModule(), sources);
            if (Pick(0, 2) > 0 && node->Inputs().Count() > 0) {
                editor.CreateConnection(graph, last->Outputs().At(0), node->Inputs().At(0));
            }
            if (node->Outputs().Count() > 0) {
                last = node;
            }
        }
        CNode* fade = Module(graph, channel, ModuleId::Release, sources, 1);
        Link(graph, voice, 2, fade, 1);
        Link(graph, fade, 1, editor.CreateNodeVoiceParamsInput(graph), 0);
        CNode* faded = Module(graph, channel, ModuleId::Mul, sources, 1);
        editor.CreateConnection(graph, last->Outputs().At(0), faded->Inputs().At(0));
        Link(graph, fade, 0, faded, 1);
        switch (Pick(0, 2)) {
        case 0: {
            CNode* out = editor.CreateNode(graph, ModuleId::Output, channel);
            Link(graph, faded, 0, out, 0);
            Connect(graph, sources, out, 1);
            break;
        }
        case 1:
            AddInto(graph, channel, kChannelBus + channel, faded);
            break;
        default: {
            CNode* debug = editor.CreateNode(graph, ModuleId::DebugNode, channel);
            Link(graph, faded, 0, debug, static_cast<size_t>(Pick(0, 1)));
            Connect(graph, sources, debug, static_cast<size_t>(Pick(2, 7)));
            break;
        }
        }
    }
    // Any module but the sinks; the ones with ten-second lines seldom.
    int RandomModule() {
        for (;;) {
            const int module = Pick(1, kModuleCount);
            const bool sink = module == ModuleId::Output || module == ModuleId::DebugNode;
            const bool line = module == ModuleId::Chorus || module == ModuleId::Delay ||
                              module == ModuleId::DelaySignal || module == ModuleId::RMSDetect;
            if (!sink && (!line || Pick(0, 3) == 0)) {
                return module;
            }
        }
    }
    // Inputs (but `linkedLater`) linked to earlier outputs or set to random values.
    CNode* Module(CVergl& graph, int channel, int module, std::vector<std::pair<CNode*, size_t>>& sources,
                  size_t linkedLater = kMaxNodeArgs) {
        CNode* node = editor.CreateNode(graph, module, channel);
        for (size_t i = 0; i < node->Inputs().Count(); ++i) {
            if (i != linkedLater && Pick(0, 2) == 0) {
                Connect(graph, sources, node, i);
            }
            const PinRecord* record = GetPinRecord(node->Inputs().At(i));
            if (record != nullptr && record->value) {
                // Whole 128ths: the patch file stores parameters as bytes.
                editor
                    .Memory()[record->controllerChannel * kControllersPerChannel + record->controllerNumber] =
                    static_cast<float>(Pick(0, 128)) / 128.0f;
                controllers.emplace_back(record->controllerChannel, record->controllerNumber);
            }
        }
        for (size_t o = 0; o < node->Outputs().Count(); ++o) {
            sources.emplace_back(node, o);
        }
        return node;
    }
    void Connect(CVergl& graph, const std::vector<std::pair<CNode*, size_t>>& sources, CNode* node,
                 size_t input) {
        const auto& [from, output] =
            sources[static_cast<size_t>(Pick(0, static_cast<int>(sources.size()) - 1))];
        if (from != node) {
            editor.CreateConnection(graph, from->Outputs().At(output), node->Inputs().At(input));
        }
    }
    void Link(CVergl& graph, CNode* from, size_t output, CNode* to, size_t input) {
        ASSERT_TRUE(editor.CreateConnection(graph, from->Outputs().At(output), to->Inputs().At(input)));
    }
    CNode* Buffer(CVergl& graph, bool read, int number) {
        CNode* node = read ? editor.CreateNodeBufferOutput(graph) : editor.CreateNodeBufferInput(graph);
        editor.SetBufferNumber(node, number);
        return node;
    }
    // bus = bus + signal.
    void AddInto(CVergl& graph, int channel, int bus, CNode* signal) {
        CNode* add = editor.CreateNode(graph, ModuleId::Add, channel);
        Link(graph, Buffer(graph, true, bus), 0, add, 0);
        Link(graph, signal, 0, add, 1);
        Link(graph, add, 0, Buffer(graph, false, bus), 0);
    }
    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); }
    SynthesizerEditor& editor;
    std::mt19937 random;
    std::vector<std::pair<int, int>> controllers;
};

// Two seconds of notes on every channel and changes of the graphs' controllers.
Song RandomSong(const std::vector<std::pair<int, int>>& controllers, uint32_t seed) {
    std::mt19937 random(seed);
    MidiFileConverter converter;
    constexpr uint64_t kMs = 1000000;
    for (int channel = 0; channel < kSongChannels; ++channel) {
        uint64_t at = 0;
        std::vector<std::pair<uint64_t, int>> offs;
        while (at < 2000 * kMs) {
            at += std::uniform_int_distribution<uint64_t>(5, 150)(random) * kMs;
            const int note = std::uniform_int_distribution<int>(30, 90)(random);
            converter.RecordEvent(at, static_cast<uint32_t>(channel), kStreamVelocity,
                                  static_cast<uint8_t>(std::uniform_int_distribution<int>(1, 127)(random)));
            converter.RecordEvent(at, static_cast<uint32_t>(channel), kStreamNoteOn,
                                  static_cast<uint8_t>(note));
            offs.emplace_back(at + std::uniform_int_distribution<uint64_t>(10, 600)(random) * kMs, note);
        }
        std::sort(offs.begin(), offs.end());
        for (const auto& [time, note] : offs) {
            converter.RecordEvent(time, static_cast<uint32_t>(channel), kStreamNoteOff,
                                  static_cast<uint8_t>(note));
        }
    }
    // Per controller, a few changes in time order.
    for (const auto& [channel, number] : controllers) {
        if (std::uniform_int_distribution<int>(0, 3)(random) != 0) {
            continue;
        }
        uint64_t at = 0;
        for (int k = 0; k < 3; ++k) {
            at += std::uniform_int_distribution<uint64_t>(100, 600)(random) * kMs;
            converter.RecordEvent(at, static_cast<uint32_t>(channel), static_cast<uint32_t>(number),
                                  static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 128)(random)));
        }
    }
    Song song;
    song.numTicks = static_cast<uint32_t>(MidiFileConverter::TimeToTick(3000 * kMs));
    song.timeStream = converter.BuildTimeStreams();
    song.dataStream = converter.BuildDataStreams();
    return song;
}

TEST(LaneSongs, RandomPatchSetsWithSongsRenderTheSameWaveFilesWithAndWithoutLanes) {
    brl::Logging::NullChannel log;
    brl::testing::TempDir dir;
    int laneChannels = 0;
    int audible = 0;
    constexpr int kPatchSets = 6;
    for (uint32_t seed = 1; seed <= kPatchSets; ++seed) {
        const std::string patch = dir.File("random" + std::to_string(seed) + ".korvax");
        {
            auto editor = std::make_unique<SynthesizerEditor>(&log);
            RandomPatchSet patchSet(*editor, seed);
            patchSet.Build();
            ASSERT_FALSE(testing::Test::HasFatalFailure());
            editor->Patches().song = RandomSong(patchSet.Controllers(), seed);
            CompiledProgram program;
            ASSERT_TRUE(SynthCompiler(log).CompileGraph(editor->Patches(), program)) << seed;
            const auto reasons = Lanes::ScalarReasons(program.opcodes.data(), program.opcodes.size(),
                                                      program.operands.data(), program.operands.size());
            laneChannels += static_cast<int>(std::count(reasons.begin(), reasons.end(), ""));
            ASSERT_TRUE(SynthFileIo(*editor).SavePatchesToFile(patch, L"core v19", false));
        }
        std::string waves[2];
        for (const bool lanes : {true, false}) {
            ASSERT_TRUE(Render(patch, &log, nullptr, lanes)) << seed;
            waves[lanes ? 1 : 0] = brl::testing::ReadFile(patch + ".wav");
        }
        ASSERT_GT(waves[0].size(), 44u) << seed;
        ASSERT_EQ(waves[0].size(), waves[1].size()) << seed;
        const auto differs = std::mismatch(waves[0].begin(), waves[0].end(), waves[1].begin());
        EXPECT_TRUE(differs.first == waves[0].end())
            << "patch set " << seed << ": first difference at byte " << (differs.first - waves[0].begin());
        std::vector<float> samples((waves[1].size() - 44) / sizeof(float));
        std::memcpy(samples.data(), waves[1].data() + 44, samples.size() * sizeof(float));
        audible += std::any_of(samples.begin(), samples.end(), [](float x) { return x != 0.0f; }) ? 1 : 0;
    }
    // Most channels run in lanes and most songs sound: no comparison of silences.
    EXPECT_GE(laneChannels, kPatchSets * kSongChannels / 2);
    EXPECT_GE(audible, kPatchSets / 2);
}

} // namespace
