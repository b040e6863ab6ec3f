#include "korvax/korvaxcompiler.h"
#include "support/log_capture.h"
#include "support/reference_voice.h"

#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::vergl::CNode;
using brl::vergl::CVergl;
using Ops = std::vector<uint8_t>;
using Args = std::vector<uint16_t>;
using Texts = std::vector<String>;
using brl::testing::LogCapture;

// The messages of exactly one level.
Texts Of(const LogCapture& log, int level) {
    Texts texts;
    for (const auto& record : log.Records()) {
        texts.insert(texts.end(), record.level == level ? 1 : 0, record.message);
    }
    return texts;
}

using korvax_reference::Param;
constexpr auto Cell = korvax_reference::Dynamic;

// A module node whose value inputs use controllers of `channel` from `firstNumber` up.
CNode* Add(CVergl& graph, int moduleId, int channel = 0, int firstNumber = 0) {
    CNode* node = CreateModuleNode(graph, moduleId);
    for (auto* pin : node->Inputs()) {
        if (PinRecord* record = GetPinRecord(pin); record->value) {
            record->controllerChannel = channel;
            record->controllerNumber = firstNumber++;
        }
    }
    return node;
}

void Connect(CVergl& graph, CNode* from, size_t output, CNode* to, size_t input) {
    ASSERT_NE(graph.Link(from->Outputs().At(output), to->Inputs().At(input)), nullptr);
}

// The program cut back into its 98 lists; operands are counted by the runtime's table.
struct Lists {
    std::vector<Ops> ops{1};
    std::vector<Args> args{1};
};

Lists Split(const CompiledProgram& program) {
    Lists lists;
    size_t operand = 0;
    for (const uint8_t opcode : program.opcodes) {
        if (opcode == 0) {
            lists.ops.emplace_back();
            lists.args.emplace_back();
            continue;
        }
        lists.ops.back().push_back(opcode);
        for (int i = 0; i < NodeArgumentCount(opcode) && operand < program.operands.size(); ++i) {
            lists.args.back().push_back(program.operands[operand++]);
        }
    }
    EXPECT_EQ(operand, program.operands.size());
    EXPECT_EQ(lists.ops.size(), kGraphCount + 1u);
    return lists;
}

class CompilerTest : public ::testing::Test {
protected:
    Lists CompileOk() {
        EXPECT_TRUE(compiler.CompileGraph(patches, out));
        EXPECT_TRUE(Of(bugs, brl::Logging::Critical).empty());
        return Split(out);
    }
    void ExpectRefused(PatchSet& set, const Texts& expectedWarnings) {
        const CompiledProgram before = out;
        log.Clear();
        EXPECT_FALSE(compiler.CompileGraph(set, out));
        EXPECT_EQ(Of(log, brl::Logging::Warning), expectedWarnings);
        EXPECT_EQ(out.opcodes, before.opcodes);
        EXPECT_EQ(out.operands, before.operands);
    }
    LogCapture log;  // what the compiler logs
    LogCapture bugs; // internal-error reports, made later so it takes the process log
    PatchSet patches;
    SynthCompiler compiler{log};
    CompiledProgram out{{0xAA, 0xBB}, {0x1234}};
};

TEST_F(CompilerTest, ValueOutputKeepsItsCellUntilTheThirdConsumer) {
    CVergl& graph = patches.Mix();
    CNode* u = Add(graph, 30);
    CNode* lfo = Add(graph, 6, 1, 10);
    CNode* s1 = Add(graph, 29);
    CNode* s2 = Add(graph, 29);
    CNode* s3 = Add(graph, 29);
    CNode* t = Add(graph, 30);
    Connect(graph, lfo, 0, s1, 0);
    Connect(graph, lfo, 0, s2, 0);
    Connect(graph, lfo, 0, s3, 0);
    Connect(graph, s1, 0, t, 0);
    Connect(graph, s2, 0, u, 0);
    const Lists lists = CompileOk();
    // Order LFO, S1, T, S3, S2, U. The LFO holds cell 0 through S1 and S3, so S2 gets
    // cell 3; after S2, its third reader, U takes cell 0. S3 reuses S1's cell once T read it.
    EXPECT_EQ(lists.ops[kGraphMix], (Ops{6, 29, 30, 29, 29, 30}));
    EXPECT_EQ(lists.args[kGraphMix],
              (Args{Cell(0), Param(1, 10), Param(1, 11), Param(1, 12), Param(1, 13), Param(1, 14), Cell(1),
                    Cell(0), Cell(2), Cell(1), Cell(1), Cell(0), Cell(3), Cell(0), Cell(0), Cell(3)}));
    const CompiledProgram first = out;
    CompileOk();
    EXPECT_EQ(out.operands, first.operands);
}

TEST_F(CompilerTest, RunningOutOfCellsRefusesTheCompile) {
    for (int i = 0; i < 128; ++i) {
        Add(patches.Mix(), 10); // each "set" keeps its unread buffer to the end
    }
    CompileOk();
    Add(patches.Mix(), 10);
    ExpectRefused(patches, {L"out of synthesizer memory: more than 16384 cells in use at once",
                            L"Graph error in 'mix'."});
    EXPECT_EQ(Of(bugs, brl::Logging::Critical), Texts{L"BUG Synth alloc failed 2."});
}

TEST_F(CompilerTest, UnsafeOrDamagedGraphsAreGraphErrors) {
    struct Damage {
        int graph;
        void (*make)(CVergl& graph);
        String warning;
    };
    const Damage damages[] = {
        {GraphIndex(GraphRole::Voice, 3),
         [](CVergl& g) { g.Link(Add(g, 1)->Outputs().At(0), CreateBufferInputNode(g, 130)->Inputs().At(0)); },
         L"buffer number 130 out of range 0...127"},
        {GraphIndex(GraphRole::Voice, 1),
         [](CVergl& g) { g.Link(Add(g, 1)->Outputs().At(0), CreateVoiceParamsInputNode(g)->Inputs().At(0)); },
         L"buffer output of module 'osc' cannot feed the voice parameter 'fin'"},
        {kGraphMix, [](CVergl& g) { g.SetPinCount(CreateModuleNode(g, 1)->Inputs(), 2); },
         L"module 'osc' in node 0 has 2 inputs and 1 outputs instead of 3 and 1"},
        {kGraphMix, [](CVergl& g) { DeleteRecord(CreateModuleNode(g, 13)->Inputs().At(0)); },
         L"pin 1 of node 0 has no record"},
        {kGraphMix, [](CVergl& g) { AttachNodeRecord(CreateModuleNode(g, 13)); },
         L"node 0 is not one of module, buffer or voice parameters"},
        {kGraphMix,
         [](CVergl& g) { AttachPinRecord(CreateModuleNode(g, 1)->Outputs().At(0), {.value = true}); },
         L"pin 'output buffer' of module 'osc' in node 0 is not a buffer pin"},
        {kGraphMix,
         [](CVergl& g) {
             g.Link(CreateModuleNode(g, 13)->Inputs().At(0), CreateModuleNode(g, 13)->Inputs().At(0));
         },
         L"link 6 does not join an output to an input"},
        {kGraphMix,
         [](CVergl& g) {
             CNode* voice = CreateVoiceParamsOutputNode(g);
             g.SetPinCount(voice->Outputs(), 4);
             AttachPinRecord(voice->Outputs().At(3));
         },
         L"voice parameter node 0 has 4 outputs, at most 3"},
    };
    for (const Damage& damage : damages) {
        PatchSet damaged;
        damage.make(damaged.Graph(damage.graph));
        ExpectRefused(damaged, {damage.warning, GraphErrorText(damage.graph)});
    }
    EXPECT_TRUE(Of(bugs, brl::Logging::Critical).empty());
}

// Guards the whole chain from links to sound: note -> map note -> set -> phase -> sine
// x release -> output, created consumers first, plays note 69 at 440 Hz until its release ends it.
TEST(CompileEndToEnd, NoteSixtyNinePlaysA440HzSineUntilItsReleaseEndsTheVoice) {
    PatchSet patches;
    CVergl& graph = patches.Voice(0);
    CNode* output = Add(graph, 42);
    CNode* multiply = Add(graph, 9);
    CNode* finished = CreateVoiceParamsInputNode(graph);
    CNode* release = Add(graph, 23, 0, 3);
    CNode* osc = Add(graph, 1, 0, 1);
    CNode* phase = Add(graph, 27, 0, 0);
    CNode* set = Add(graph, 10, 0, 5);
    CNode* mapNote = Add(graph, 13, 0, 6);
    CNode* voice = CreateVoiceParamsOutputNode(graph);
    const std::pair<CNode*, int> links[][2] = {{{voice, 1}, {mapNote, 0}},    {{mapNote, 0}, {set, 0}},
                                               {{set, 0}, {phase, 0}},        {{phase, 0}, {osc, 0}},
                                               {{osc, 0}, {multiply, 0}},     {{voice, 2}, {release, 1}},
                                               {{release, 0}, {multiply, 1}}, {{release, 1}, {finished, 0}},
                                               {{multiply, 0}, {output, 0}},  {{multiply, 0}, {output, 1}}};
    for (const auto& [from, to] : links) {
        Connect(graph, from.first, from.second, to.first, to.second);
    }
    brl::Logging::NullChannel log;
    CompiledProgram program;
    ASSERT_TRUE(SynthCompiler(log).CompileGraph(patches, program));
    auto synth = korvax_runtime_test::MakeSynth();
    ASSERT_TRUE(Synthesizer::BuildNodeProgram(synth->program, synth.get(), program.opcodes.data(),
                                              program.opcodes.size(), program.operands.data(),
                                              program.operands.size()));
    const float settings[] = {0.0f, 0.5f, 0.0f, 0.2f}; // pulse width, amplification, sine, release time
    std::copy(std::begin(settings), std::end(settings), synth->Memory());
    const auto silent = [&](int buffers) {
        std::vector<float> out;
        synth->Render(buffers, &out);
        return std::all_of(out.begin(), out.end(), [](float x) { return x == 0.0f; });
    };
    EXPECT_TRUE(silent(2));
    synth->NoteOn(0, 69, 100);
    std::vector<float> left;
    std::vector<float> right;
    synth->Render(60, &left, &right);
    EXPECT_EQ(left, right);
    // Rising zero crossings, interpolated: 440 Hz at 96 kHz is one every 218.18 samples.
    std::vector<double> crossings;
    for (size_t i = 1; i < left.size(); ++i) {
        if (left[i - 1] < 0.0f && left[i] >= 0.0f) {
            crossings.push_back(static_cast<double>(i - 1) + left[i - 1] / (left[i - 1] - left[i]));
        }
    }
    ASSERT_GE(crossings.size(), 30u);
    const double period = (crossings.back() - crossings.front()) / static_cast<double>(crossings.size() - 1);
    EXPECT_NEAR(kDefaultSampleRate / period, 440.0, 0.5);
    for (size_t i = 1; i < crossings.size(); ++i) {
        ASSERT_NEAR(crossings[i] - crossings[i - 1], period, 0.05) << i;
    }
    EXPECT_NEAR(*std::max_element(left.begin(), left.end()), 0.5f, 0.005f);
    EXPECT_NEAR(*std::min_element(left.begin(), left.end()), -0.5f, 0.005f);
    EXPECT_EQ(synth->Voice(0, 0)[kVoiceActive], 1.0f);
    synth->NoteOff(0, 69);
    synth->Render(3);
    EXPECT_EQ(synth->Voice(0, 0)[kVoiceActive], 0.0f);
    EXPECT_TRUE(silent(2));
}

} // namespace
