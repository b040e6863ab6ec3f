// The cost of one compile of a full patch set: 98 graphs holding 2000 module nodes
// in chains of the kind a song uses (oscillator stacks in the voices, value tools in
// the channel pre graphs, effect chains after the voices and in the mix).

#include "korvax/korvaxcompiler.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <memory>

namespace {

using namespace brl::Korvax;
using brl::vergl::CNode;
using brl::vergl::CPin;
using brl::vergl::CVergl;

constexpr int kMixPreModules = 8;
constexpr int kChannelPreModules = 6;
constexpr int kVoiceModules = 40;
constexpr int kChannelPostModules = 16;
constexpr int kMixModules = 8;

// Lets warnings through, as the editing model's logger does by default.
class InfoLog : public brl::Logging::Channel {
public:
    void Log(int, const brl::Logging::SourceLocation&, const brl::String&, const brl::String&) override {}
    int MaxLevel() const override { return brl::Logging::Info; }
};

// Single-input, single-output buffer modules: output slot 0, buffer input slot 1.
constexpr int kBufferEffects[] = {ModuleId::Amp,        ModuleId::Gain,       ModuleId::Bias,
                                  ModuleId::MoogFilter, ModuleId::SvFilter,   ModuleId::KarlsenFilter,
                                  ModuleId::Distortion, ModuleId::Delay,      ModuleId::Clip,
                                  ModuleId::Clamp,      ModuleId::Invert,     ModuleId::OneMinusX,
                                  ModuleId::RMSDetect,  ModuleId::PeakDetect, ModuleId::DelaySignal};

class PatchBuilder {
public:
    explicit PatchBuilder(PatchSet& target) : patches(target) {}

    CNode* Module(CVergl& graph, int moduleId, int channel) {
        CNode* node = CreateModuleNode(graph, moduleId);
        int& next = nextController[channel];
        for (CPin* pin : node->Inputs()) {
            PinRecord* record = GetPinRecord(pin);
            if (record->value) {
                record->controllerChannel = channel;
                record->controllerNumber = next;
                next = (next + 1) % kAssignableControllers;
            }
        }
        ++modules;
        return node;
    }

    static void Connect(CVergl& graph, CPin* from, CPin* to) {
        if (graph.Link(from, to) == nullptr) {
            std::fprintf(stderr, "link refused\n");
            std::abort();
        }
    }

    // Appends `count` effects after `source`; returns the last output.
    CPin* EffectChain(CVergl& graph, int channel, CPin* source, int count) {
        for (int i = 0; i < count; ++i) {
            CNode* effect = Module(graph, kBufferEffects[(i + channel) % std::size(kBufferEffects)], channel);
            Connect(graph, source, effect->Inputs().At(0));
            source = effect->Outputs().At(0);
        }
        return source;
    }

    void Output(CVergl& graph, int channel, CPin* left, CPin* right) {
        CNode* output = Module(graph, 42, channel);
        Connect(graph, left, output->Inputs().At(0));
        Connect(graph, right, output->Inputs().At(1));
    }

    // Stacks of note -> set -> phase -> oscillator -> filter summed up, shaped by a
    // release that the voice's release flag starts and that ends the voice.
    void Voice(int channel, int count) {
        CVergl& graph = patches.Voice(channel);
        CNode* voice = CreateVoiceParamsOutputNode(graph);
        CNode* finished = CreateVoiceParamsInputNode(graph);
        CNode* release = Module(graph, 23, channel);
        Connect(graph, voice->Outputs().At(2), release->Inputs().At(1));
        Connect(graph, release->Outputs().At(1), finished->Inputs().At(0));
        int left = count - 3; // release, multiply and output
        CPin* sum = nullptr;
        while (left >= (sum == nullptr ? 5 : 6)) {
            CNode* mapNote = Module(graph, 13, channel);
            CNode* set = Module(graph, 10, channel);
            CNode* phase = Module(graph, 27, channel);
            CNode* osc = Module(graph, 1, channel);
            CNode* filter = Module(graph, ModuleId::MoogFilter, channel);
            Connect(graph, voice->Outputs().At(1), mapNote->Inputs().At(0));
            Connect(graph, mapNote->Outputs().At(0), set->Inputs().At(0));
            Connect(graph, set->Outputs().At(0), phase->Inputs().At(0));
            Connect(graph, phase->Outputs().At(0), osc->Inputs().At(0));
            Connect(graph, osc->Outputs().At(0), filter->Inputs().At(0));
            left -= 5;
            if (sum == nullptr) {
                sum = filter->Outputs().At(0);
                continue;
            }
            CNode* add = Module(graph, 8, channel);
            Connect(graph, sum, add->Inputs().At(0));
            Connect(graph, filter->Outputs().At(0), add->Inputs().At(1));
            sum = add->Outputs().At(0);
            --left;
        }
        sum = EffectChain(graph, channel, sum, left);
        CNode* shaped = Module(graph, 9, channel);
        Connect(graph, sum, shaped->Inputs().At(0));
        Connect(graph, release->Outputs().At(0), shaped->Inputs().At(1));
        Output(graph, channel, shaped->Outputs().At(0), shaped->Outputs().At(0));
    }

    // An LFO through value tools into the channel's global buffer.
    void ChannelPre(int channel, int count) {
        CVergl& graph = patches.ChannelPre(channel);
        CPin* value = Module(graph, ModuleId::Lfo, channel)->Outputs().At(0);
        for (int i = 0; i < count - 2; ++i) {
            CNode* tool = Module(graph, i % 2 == 0 ? 29 : 30, channel);
            Connect(graph, value, tool->Inputs().At(0));
            value = tool->Outputs().At(0);
        }
        CNode* set = Module(graph, 10, channel);
        Connect(graph, value, set->Inputs().At(0));
        Connect(graph, set->Outputs().At(0), CreateBufferInputNode(graph, channel)->Inputs().At(0));
    }

    void ChannelPost(int channel, int count) {
        CVergl& graph = patches.ChannelPost(channel);
        CPin* source = CreateBufferOutputNode(graph, channel)->Outputs().At(0);
        CPin* end = EffectChain(graph, channel, source, count - 1);
        Output(graph, channel, end, end);
    }

    void MixPre(int count) {
        CVergl& graph = patches.MixPre();
        CNode* input = Module(graph, ModuleId::Input, 0);
        CPin* end = EffectChain(graph, 0, input->Outputs().At(0), count - 2);
        Output(graph, 0, end, input->Outputs().At(1));
    }

    void Mix(int count) {
        CVergl& graph = patches.Mix();
        CPin* end = EffectChain(graph, 1, CreateBufferOutputNode(graph, 100)->Outputs().At(0), count - 1);
        Output(graph, 1, end, end);
    }

    PatchSet& patches;
    int modules = 0;
    int nextController[kChannels] = {};
};

struct CompileFigures {
    int nodes = 0;
    double microseconds = 0.0;
};
CompileFigures figures;

double ThreadMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) * 1e-3;
}

void CompilePatchSet(benchmark::State& state) {
    InfoLog log;
    auto patches = std::make_unique<PatchSet>(&log);
    PatchBuilder builder(*patches);
    builder.MixPre(kMixPreModules);
    for (int channel = 0; channel < kChannels; ++channel) {
        builder.ChannelPre(channel, kChannelPreModules);
        builder.Voice(channel, kVoiceModules);
        builder.ChannelPost(channel, kChannelPostModules);
    }
    builder.Mix(kMixModules);

    SynthCompiler compiler(log);
    CompiledProgram program;
    // Thread CPU time: the figure should not depend on what else the machine runs.
    const double start = ThreadMicroseconds();
    for (auto _ : state) {
        const bool ok = compiler.CompileGraph(*patches, program);
        benchmark::DoNotOptimize(ok);
        if (!ok) {
            state.SkipWithError("compile refused");
            break;
        }
    }
    const double elapsed = ThreadMicroseconds() - start;
    figures.nodes = builder.modules;
    figures.microseconds = elapsed / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    state.counters["nodes"] = builder.modules;
    state.counters["operands"] = static_cast<double>(program.operands.size());
}

void PrintCompileFigure(const benchmark::State&) {
    std::printf("compile: nodes %d, microseconds %.1f\n", figures.nodes, figures.microseconds);
    std::fflush(stdout);
}

[[maybe_unused]] const auto* const kRegistered =
    benchmark::RegisterBenchmark("compile/patch_set", CompilePatchSet) -> Unit(benchmark::kMicrosecond)
        -> Iterations(300) -> Teardown(PrintCompileFigure);

} // namespace
