#include "lanes/korvaxlanes.h"

#include "korvax/korvaxcatalogue.h"
#include "lanes/korvaxlanes_kernels.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace brl::Korvax::Lanes {

namespace {

constexpr int N = kSamplesPerBuffer;

std::atomic<Path> gForcedPath{Path::Scalar};
std::atomic<bool> gForced{false};

// Where a pin of a voice-list node lives while the voices run in lanes.
struct PinPlace {
    enum Kind : uint8_t { Shared, Local, Field } kind = Shared;
    bool output = false;
    int length = 1;  // 128 for a buffer pin, 1 for a value pin
    int region = -1; // Local: index into the channel's regions
};

struct NodePlan {
    uint8_t module = 0;
    int pinCount = 0;
    PinPlace pins[kMaxNodeArgs];
};

// A block of slots that the voice list writes: within one voice's run it is that
// voice's own, so each lane gets a copy in the scratch area.
struct Region {
    uint16_t start = 0;
    int length = 0;
    int scratch = 0; // offset of the lane-interleaved copy
    // Written first by a node that may leave it as it was (an oscillator of type
    // "none", an LFO, a delay of length 0, a distortion type past the last): a
    // voice then sees what the voice before it left there.
    bool chain = false;
};

struct ChannelPlan {
    std::vector<NodePlan> nodes;
    std::vector<Region> regions;
};

// The modules whose output pin 0 may keep the value it had.
bool MayKeepOutput(uint8_t module) noexcept {
    return module == ModuleId::Osc || module == ModuleId::Lfo || module == ModuleId::Delay ||
           module == ModuleId::Distortion;
}

bool Overlap(int a, int aLength, int b, int bLength) noexcept {
    return a < b + bLength && b < a + aLength;
}

// Plans the lanes of one channel's voice list, or returns false when its voices
// depend on each other or on memory the lanes cannot give each voice.
bool PlanChannel(const uint8_t* opcodes, size_t opcodeCount, const uint16_t* operands, ChannelPlan& plan) {
    std::vector<std::vector<uint16_t>> codes;
    int randomNodes = 0;
    int summingNodes = 0;
    for (size_t k = 0; k < opcodeCount; ++k) {
        const uint8_t module = opcodes[k];
        const ModuleSpec& spec = FindModule(module);
        NodePlan node;
        node.module = module;
        node.pinCount = PinCount(spec);
        std::vector<uint16_t> nodeCodes(operands, operands + node.pinCount);
        operands += node.pinCount;
        for (int i = 0; i < node.pinCount; ++i) {
            PinPlace& pin = node.pins[i];
            pin.output = spec.pins[i].direction == PinDirection::Output;
            pin.length = spec.pins[i].dataType == PinDataType::Buffer ? N : 1;
            const uint16_t code = nodeCodes[static_cast<size_t>(i)];
            if (static_cast<uint16_t>(code - kVoiceFieldCode) < kVoiceFields) {
                if (pin.length != 1) {
                    return false; // a block over the voice records reaches other voices
                }
                pin.kind = PinPlace::Field;
                continue;
            }
            if (Overlap(code, pin.length, kOutputAreaBase, kOutputAreaEnd - kOutputAreaBase)) {
                return false; // the output area is summed voice by voice
            }
        }
        randomNodes += module == ModuleId::Osc || module == ModuleId::Lfo ? 1 : 0;
        summingNodes += module == ModuleId::Output || module == ModuleId::DebugNode ? 1 : 0;
        plan.nodes.push_back(node);
        codes.push_back(std::move(nodeCodes));
    }
    if (randomNodes > 1) {
        return false; // noise draws of several nodes interleave voice by voice
    }
    if (summingNodes > 1) {
        return false; // sums into the output area interleave voice by voice
    }

    // The regions: blocks that outputs write, equal or apart.
    for (size_t k = 0; k < plan.nodes.size(); ++k) {
        NodePlan& node = plan.nodes[k];
        for (int i = 0; i < node.pinCount; ++i) {
            PinPlace& pin = node.pins[i];
            if (pin.kind == PinPlace::Field || !pin.output) {
                continue;
            }
            const uint16_t code = codes[k][static_cast<size_t>(i)];
            int found = -1;
            for (size_t r = 0; r < plan.regions.size(); ++r) {
                const Region& region = plan.regions[r];
                if (region.start == code && region.length == pin.length) {
                    found = static_cast<int>(r);
                } else if (Overlap(region.start, region.length, code, pin.length)) {
                    return false;
                }
            }
            if (found < 0) {
                found = static_cast<int>(plan.regions.size());
                plan.regions.push_back(Region{code, pin.length, 0, false});
            }
            pin.kind = PinPlace::Local;
            pin.region = found;
        }
    }
    // Inputs reading written memory read exactly a region (or a value its first slot).
    for (size_t k = 0; k < plan.nodes.size(); ++k) {
        NodePlan& node = plan.nodes[k];
        for (int i = 0; i < node.pinCount; ++i) {
            PinPlace& pin = node.pins[i];
            if (pin.kind == PinPlace::Field || pin.output) {
                continue;
            }
            const uint16_t code = codes[k][static_cast<size_t>(i)];
            for (size_t r = 0; r < plan.regions.size(); ++r) {
                const Region& region = plan.regions[r];
                if (!Overlap(region.start, region.length, code, pin.length)) {
                    continue;
                }
                if (region.start != code || (region.length != pin.length && pin.length != 1)) {
                    return false;
                }
                pin.kind = PinPlace::Local;
                pin.region = static_cast<int>(r);
            }
        }
    }
    // Every region a voice reads must have been written earlier in the same
    // voice's run; otherwise the voice reads what the voice before it left.
    std::vector<bool> defined(plan.regions.size(), false);
    for (size_t k = 0; k < plan.nodes.size(); ++k) {
        NodePlan& node = plan.nodes[k];
        for (int i = 0; i < node.pinCount; ++i) {
            const PinPlace& pin = node.pins[i];
            if (pin.kind == PinPlace::Local && !pin.output && !defined[static_cast<size_t>(pin.region)]) {
                return false;
            }
        }
        for (int i = 0; i < node.pinCount; ++i) {
            const PinPlace& pin = node.pins[i];
            if (pin.kind != PinPlace::Local || !pin.output) {
                continue;
            }
            const auto r = static_cast<size_t>(pin.region);
            if (!defined[r] && i == 0 && MayKeepOutput(node.module)) {
                // The voice before hands its result on only if no later node
                // rewrites the region.
                for (size_t later = k + 1; later < plan.nodes.size(); ++later) {
                    const NodePlan& next = plan.nodes[later];
                    for (int j = 0; j < next.pinCount; ++j) {
                        if (next.pins[j].kind == PinPlace::Local && next.pins[j].output &&
                            next.pins[j].region == pin.region) {
                            return false;
                        }
                    }
                }
                plan.regions[r].chain = true;
            }
            defined[r] = true;
        }
    }
    return !plan.nodes.empty();
}

// Runs the voices of channels in lanes. Built off the audio thread with all its
// memory; RenderVoices runs on the audio thread.
class LaneRenderer final : public VoiceRenderer {
public:
    LaneRenderer(const NodeProgram& program, Synthesizer& synthesizer, const KernelSet& kernels)
        : program(program), synthesizer(synthesizer), kernels(kernels), width(kernels.width) {}

    void SetPlan(int channel, std::unique_ptr<ChannelPlan> plan) {
        int floats = 0;
        for (Region& region : plan->regions) {
            region.scratch = floats;
            floats += (region.length * width + 15) / 16 * 16;
        }
        scratchFloats = std::max(scratchFloats, floats);
        plans[channel] = std::move(plan);
    }

    // Allocates the scratch areas once the plans are known.
    void Allocate() {
        scratch = Floats(static_cast<size_t>(scratchFloats));
        staging = Floats(static_cast<size_t>(kMaxNodeArgs * N * width));
        temps = Floats(static_cast<size_t>(kMaxNodeArgs * N));
    }

    bool HasPlan(int channel) const noexcept { return plans[channel] != nullptr; }

    bool RenderVoices(int channel) noexcept override {
        const ChannelPlan* plan = plans[channel].get();
        if (plan == nullptr) {
            return false;
        }
        int active[kVoicesPerChannel];
        int count = 0;
        for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
            if (synthesizer.Voice(channel, voice)[kVoiceActive] > 0.0f) {
                active[count++] = voice;
            }
        }
        if (count < 2) {
            return false; // one voice runs faster on its own
        }
        const NodeList* lists = program.lists + kListVoice + channel * kVoicesPerChannel;
        for (int first = 0; first < count; first += width) {
            const int lanes = std::min(width, count - first);
            for (size_t k = 0; k < plan->nodes.size(); ++k) {
                LaneCall call;
                call.synthesizer = &synthesizer;
                call.lanes = lanes;
                for (int l = 0; l < lanes; ++l) {
                    call.nodes[l] = lists[active[first + l]][k];
                }
                RunNode(*plan, plan->nodes[k], call);
            }
            WriteBack(*plan, lanes - 1);
        }
        for (int i = 0; i < count; ++i) {
            float* record = synthesizer.Voice(channel, active[i]);
            record[kVoiceTrigger] = 0.0f;
            record[kVoiceAge] += 1.0f;
            if (record[kVoiceFinished] > 0.0f) {
                record[kVoiceActive] = 0.0f;
            }
        }
        return true;
    }

private:
    struct FreeAligned {
        void operator()(float* p) const noexcept { ::operator delete[](p, std::align_val_t{64}); }
    };
    using AlignedFloats = std::unique_ptr<float[], FreeAligned>;

    static AlignedFloats Floats(size_t count) {
        auto* p = static_cast<float*>(
            ::operator new[](std::max<size_t>(count, 1) * sizeof(float), std::align_val_t{64}));
        std::memset(p, 0, std::max<size_t>(count, 1) * sizeof(float));
        return AlignedFloats(p);
    }

    float* RegionBlock(const Region& region) const noexcept { return scratch.get() + region.scratch; }

    void RunNode(const ChannelPlan& plan, const NodePlan& node, LaneCall& call) noexcept {
        // Shared inputs are broadcast into the staging area, voice fields gathered.
        float* stage = staging.get();
        for (int i = 0; i < node.pinCount; ++i) {
            const PinPlace& pin = node.pins[i];
            if (pin.kind == PinPlace::Local) {
                call.pins[i] = RegionBlock(plan.regions[static_cast<size_t>(pin.region)]);
                continue;
            }
            call.pins[i] = stage;
            stage += pin.length * width;
            if (pin.kind == PinPlace::Shared) {
                if (!pin.output) {
                    const float* source = call.nodes[0]->args[i];
                    for (int e = 0; e < pin.length; ++e) {
                        std::fill_n(call.pins[i] + e * width, width, source[e]);
                    }
                }
            } else {
                for (int l = 0; l < width; ++l) {
                    call.pins[i][l] = *call.nodes[l < call.lanes ? l : 0]->args[i];
                }
            }
        }
        const Kernel kernel = kernels.kernels[node.module];
        if (kernel == nullptr || !kernel(call)) {
            RunVoiceByVoice(plan, node, call);
            return;
        }
        for (int i = 0; i < node.pinCount; ++i) {
            const PinPlace& pin = node.pins[i];
            if (pin.kind == PinPlace::Field && pin.output) {
                for (int l = 0; l < call.lanes; ++l) {
                    *call.nodes[l]->args[i] = call.pins[i][l];
                }
            }
        }
    }

    // The node's own Render, lane after lane, on de-interleaved copies of the
    // lane's regions. Voice fields and shared slots stay where the node points.
    void RunVoiceByVoice(const ChannelPlan& plan, const NodePlan& node, const LaneCall& call) noexcept {
        int tempOf[kMaxNodeArgs];
        for (int l = 0; l < call.lanes; ++l) {
            Node* voiceNode = call.nodes[l];
            float* saved[kMaxNodeArgs];
            std::copy(voiceNode->args, voiceNode->args + kMaxNodeArgs, saved);
            int temps_used = 0;
            for (int i = 0; i < node.pinCount; ++i) {
                const PinPlace& pin = node.pins[i];
                tempOf[i] = -1;
                if (pin.kind != PinPlace::Local) {
                    continue;
                }
                for (int j = 0; j < i; ++j) {
                    if (tempOf[j] >= 0 && node.pins[j].region == pin.region) {
                        tempOf[i] = tempOf[j];
                    }
                }
                const Region& region = plan.regions[static_cast<size_t>(pin.region)];
                if (tempOf[i] < 0) {
                    tempOf[i] = temps_used++;
                    float* temp = temps.get() + tempOf[i] * N;
                    const float* block = RegionBlock(region);
                    if (region.chain && pin.output) {
                        if (l == 0) {
                            std::memcpy(temp, synthesizer.memory + region.start,
                                        sizeof(float) * static_cast<size_t>(region.length));
                        } else {
                            Deinterleave(block, l - 1, region.length, temp);
                        }
                    } else {
                        Deinterleave(block, l, region.length, temp);
                    }
                }
                voiceNode->args[i] = temps.get() + tempOf[i] * N;
            }
            voiceNode->Render();
            for (int i = 0; i < node.pinCount; ++i) {
                const PinPlace& pin = node.pins[i];
                if (pin.kind == PinPlace::Local && pin.output) {
                    const Region& region = plan.regions[static_cast<size_t>(pin.region)];
                    float* block = RegionBlock(region);
                    const float* temp = temps.get() + tempOf[i] * N;
                    for (int e = 0; e < region.length; ++e) {
                        block[e * width + l] = temp[e];
                    }
                }
            }
            std::copy(saved, saved + kMaxNodeArgs, voiceNode->args);
        }
    }

    void Deinterleave(const float* block, int lane, int length, float* out) const noexcept {
        for (int e = 0; e < length; ++e) {
            out[e] = block[e * width + lane];
        }
    }

    // The slots keep what the last voice wrote, as after the scalar loop.
    void WriteBack(const ChannelPlan& plan, int lane) noexcept {
        for (const Region& region : plan.regions) {
            Deinterleave(RegionBlock(region), lane, region.length, synthesizer.memory + region.start);
        }
    }

    const NodeProgram& program;
    Synthesizer& synthesizer;
    const KernelSet& kernels;
    const int width;
    std::unique_ptr<ChannelPlan> plans[kChannels];
    int scratchFloats = 0;
    AlignedFloats scratch;
    AlignedFloats staging;
    AlignedFloats temps;
};

const KernelSet* KernelsFor(Path path) noexcept {
#if defined(__x86_64__)
    switch (path) {
    case Path::Sse2:
        return &Sse2Kernels();
    case Path::Avx2:
        return &Avx2Kernels();
    case Path::Avx512:
        return &Avx512Kernels();
    case Path::Scalar:
        break;
    }
#else
    static_cast<void>(path);
#endif
    return nullptr;
}

VoiceRenderer* BuildLanes(const NodeProgram& program, Synthesizer& synthesizer, const uint8_t* opcodes,
                          size_t opcodeCount, const uint16_t* operands, size_t operandCount) {
    const KernelSet* kernels = KernelsFor(CurrentPath());
    if (kernels == nullptr) {
        return nullptr;
    }
    // BuildNodeProgram has checked the byte code: 98 lists, enough operands.
    static_cast<void>(operandCount);
    auto renderer = std::make_unique<LaneRenderer>(program, synthesizer, *kernels);
    size_t position = 0;
    size_t operandPosition = 0;
    bool any = false;
    for (int list = 0; list < kCompiledLists && position < opcodeCount; ++list) {
        const size_t start = position;
        while (position < opcodeCount && opcodes[position] != 0) {
            ++position;
        }
        const size_t count = position - start;
        ++position;
        const int channel = (list - 2) / 3;
        if (list >= 2 && list < 2 + 3 * kChannels && (list - 2) % 3 == 0 && count > 0) {
            auto plan = std::make_unique<ChannelPlan>();
            if (PlanChannel(opcodes + start, count, operands + operandPosition, *plan)) {
                renderer->SetPlan(channel, std::move(plan));
                any = true;
            }
        }
        for (size_t k = start; k < start + count; ++k) {
            operandPosition += static_cast<size_t>(NodeArgumentCount(opcodes[k]));
        }
    }
    if (!any) {
        return nullptr;
    }
    renderer->Allocate();
    return renderer.release();
}

} // namespace

const char* PathName(Path path) noexcept {
    switch (path) {
    case Path::Scalar:
        return "scalar";
    case Path::Sse2:
        return "SSE2";
    case Path::Avx2:
        return "AVX2";
    case Path::Avx512:
        return "AVX-512";
    }
    return "scalar";
}

bool Supported(Path path) noexcept {
#if defined(__x86_64__)
    switch (path) {
    case Path::Scalar:
    case Path::Sse2:
        return true;
    case Path::Avx2:
        return __builtin_cpu_supports("avx2");
    case Path::Avx512:
        return __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return path == Path::Scalar;
#endif
}

Path BestPath() noexcept {
    for (Path path : {Path::Avx512, Path::Avx2, Path::Sse2}) {
        if (Supported(path)) {
            return path;
        }
    }
    return Path::Scalar;
}

Path CurrentPath() noexcept {
    return gForced.load() ? gForcedPath.load() : BestPath();
}

bool ForcePath(Path path) noexcept {
    if (!Supported(path)) {
        return false;
    }
    gForcedPath.store(path);
    gForced.store(true);
    return true;
}

void ResetPath() noexcept {
    gForced.store(false);
}

VoiceRendererBuilder Builder() noexcept {
    return BuildLanes;
}

void Enable(Synthesizer& synthesizer, bool on) noexcept {
    synthesizer.SetVoiceRendererBuilder(on ? BuildLanes : nullptr);
}

bool RunsInLanes(const NodeProgram& program, int channel) noexcept {
    const auto* renderer = dynamic_cast<const LaneRenderer*>(program.voiceRenderer);
    return renderer != nullptr && channel >= 0 && channel < kChannels && renderer->HasPlan(channel);
}

} // namespace brl::Korvax::Lanes
