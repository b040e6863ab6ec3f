#include "lanes/korvaxlanes.h"

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxmath.h"
#include "korvax/korvaxnodes_generators.h"
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
constexpr int kAlign = 16; // floats: blocks start on 64 bytes

std::atomic<Path> gForcedPath{Path::Scalar};
std::atomic<bool> gForced{false};

int Rounded(int floats) noexcept {
    return (floats + kAlign - 1) / kAlign * kAlign;
}

bool Overlap(int a, int aLength, int b, int bLength) noexcept {
    return a < b + bLength && b < a + aLength;
}

bool IsFieldCode(uint16_t code) noexcept {
    return static_cast<uint16_t>(code - kVoiceFieldCode) < kVoiceFields;
}

// The modules whose output pin 0 may keep the value it had (an oscillator or
// LFO of type "none", a delay of length 0, a distortion type past the last):
// for them that pin is read as well as written.
bool MayKeepOutput(uint8_t module) noexcept {
    return module == ModuleId::Osc || module == ModuleId::Lfo || module == ModuleId::Delay ||
           module == ModuleId::Distortion;
}

// The input that decides whether a MayKeepOutput module keeps its output.
int KeepPin(uint8_t module) noexcept {
    switch (module) {
    case ModuleId::Osc:
        return 3;
    case ModuleId::Lfo:
        return 4;
    case ModuleId::Distortion:
        return 5;
    default: // Delay
        return 2;
    }
}

// Whether a MayKeepOutput module leaves its output as it was for that input.
bool KeepsOutput(uint8_t module, float x, const Synthesizer& synthesizer) noexcept {
    switch (module) {
    case ModuleId::Osc:
    case ModuleId::Lfo:
        return Modules::Generators::SelectWaveform(x) == Modules::Generators::Waveform::None;
    case ModuleId::Distortion:
        return TruncToInt(x * 128.0f) > 128;
    default: // Delay
        return synthesizer.TimeToSamples(x) <= 0;
    }
}

// The modules whose kernels remember parameter conversions.
bool ConvertsParameters(uint8_t module) noexcept {
    switch (module) {
    case ModuleId::Gain:
    case ModuleId::Lfo:
    case ModuleId::Envelope:
    case ModuleId::Release:
    case ModuleId::MoogFilter:
    case ModuleId::KarlsenFilter:
    case ModuleId::SvFilter:
    case ModuleId::DoubleFilter:
    case ModuleId::Bandsplit4:
    case ModuleId::Bandsplit8:
    case ModuleId::MapNote:
    case ModuleId::Distortion:
        return true;
    default:
        return false;
    }
}

// The modules that draw from the synthesizer's random generator.
bool DrawsNoise(uint8_t module) noexcept {
    return module == ModuleId::Osc || module == ModuleId::Lfo;
}

// Draws one render of a noise-capable node makes, by its waveform input.
int NoiseDraws(uint8_t module, float type) noexcept {
    if (Modules::Generators::SelectWaveform(type) != Modules::Generators::Waveform::Noise) {
        return 0;
    }
    return module == ModuleId::Osc ? N : 1;
}

// The random generator's step: x -> x x 214013 + 2531011, three steps per draw.
struct RandomStep {
    uint32_t multiplier = 1;
    uint32_t increment = 0;
};

// The step of `draws` draws at once.
constexpr RandomStep RandomDraws(int draws) noexcept {
    RandomStep step;
    for (int i = 0; i < 3 * draws; ++i) {
        step.increment = step.increment * 214013u + 2531011u;
        step.multiplier = step.multiplier * 214013u;
    }
    return step;
}

constexpr uint32_t Advance(uint32_t state, RandomStep step) noexcept {
    return state * step.multiplier + step.increment;
}

constexpr RandomStep kOneDraw = RandomDraws(1);
constexpr RandomStep kBlockOfDraws = RandomDraws(N);

uint32_t AfterDraws(uint32_t state, int draws) noexcept {
    return draws == 0 ? state : Advance(state, draws == 1 ? kOneDraw : kBlockOfDraws);
}

// One node of a compiled list with its operands.
struct CodeNode {
    uint8_t module = 0;
    int pinCount = 0;
    uint16_t codes[kMaxNodeArgs] = {};
};

using CodeList = std::vector<CodeNode>;

// Splits the byte code into its 98 lists; false when it is malformed.
bool DecodeLists(const uint8_t* opcodes, size_t opcodeCount, const uint16_t* operands, size_t operandCount,
                 std::vector<CodeList>& lists) {
    lists.assign(kCompiledLists, {});
    size_t position = 0;
    size_t operand = 0;
    for (int list = 0; list < kCompiledLists; ++list) {
        for (;;) {
            if (opcodes == nullptr || position >= opcodeCount) {
                return false;
            }
            const uint8_t opcode = opcodes[position++];
            if (opcode == 0) {
                break;
            }
            const int count = NodeArgumentCount(opcode);
            if (count == 0 || count != PinCount(FindModule(opcode)) || operand + count > operandCount) {
                return false;
            }
            CodeNode node;
            node.module = opcode;
            node.pinCount = count;
            std::copy(operands + operand, operands + operand + count, node.codes);
            operand += static_cast<size_t>(count);
            lists[static_cast<size_t>(list)].push_back(node);
        }
    }
    return true;
}

bool IsOutputPin(uint8_t module, int pin) noexcept {
    return FindModule(module).pins[pin].direction == PinDirection::Output;
}

int PinLength(uint8_t module, int pin) noexcept {
    return FindModule(module).pins[pin].dataType == PinDataType::Buffer ? N : 1;
}

// Where a pin of a voice-list node lives while the voices run in lanes.
struct PinPlan {
    enum Kind : uint8_t {
        Shared, // slot memory nothing in the voice list writes: the same in every lane
        Local,  // a block the voice list writes: a lane-interleaved copy per lane
        Field,  // a field of the voice's own record
    };
    Kind kind = Shared;
    bool output = false;
    int length = 1;
    int region = -1; // Local
    int stage = -1;  // Shared and Field: offset of the lane-interleaved staging block
    uint16_t code = 0;
};

struct NodePlan {
    uint8_t module = 0;
    int pinCount = 0;
    PinPlan pins[kMaxNodeArgs];
    bool sums = false; // adds into shared blocks, done after the voices
    int keepPin = -1;  // an input no voice writes that says whether the node keeps its output
    int noise = -1;    // index among the channel's noise-capable nodes
    int typePin = -1;  // its waveform input
    uint32_t uniform = 0;
    float* pinBlocks[kMaxNodeArgs] = {}; // the blocks the kernel sees
    std::vector<int> captures;           // sum terms whose source is copied when this node runs
};

// A block of slots that the voice list writes: within one voice's run it is that
// voice's own, so each lane gets a copy in the scratch area.
struct Region {
    uint16_t start = 0;
    int length = 0;
    int scratch = 0;
    // Written first by a node that may leave it as it was: a voice then sees
    // what the voice before it left there.
    bool chain = false;
    // Read after the voices (by another list, or by the next tick's first voice):
    // the last voice's values are copied back.
    bool keep = false;
};

// A term of a sum into a shared block.
struct TermPlan {
    int node = 0;
    int pin = 0;
    uint16_t target = 0;
    bool targetFirst = true;
    int capture = -1; // scratch offset of its copy, when a later node rewrites the source
};

struct ChannelPlan {
    std::vector<NodePlan> nodes;
    std::vector<Region> regions;
    std::vector<TermPlan> terms;
    std::vector<int> noiseNodes;
    // Nodes that write a region first and may keep it, as each voice's input
    // shows before the voices run: a tick in which one keeps runs scalar.
    std::vector<int> keepers;
    // Several noise-capable nodes: every draw's place in the scalar order is
    // known before the voices run, from waveform inputs no voice writes.
    bool noiseAhead = false;
    // The sums, ready for the kernel but for the lane count.
    std::vector<SumTarget> sumTargets;
    std::vector<SumTerm> sumTerms;
    std::vector<const float*> sumSources;
    std::vector<std::unique_ptr<NodeMemo>> memos; // for the modules that convert parameters
    std::vector<Node*> voiceNodes;                // node k of voice v at [k x 12 + v]
};

// Whether some list may read a slot of [start, start + length) after channel
// `channel`'s voices, before the slot is written again: the lists that follow
// in the tick and, in the next tick, the ones before. Voice lists may not run,
// so their writes hide nothing from the lists after them (within a run they
// do).
bool ReadAfterVoices(const std::vector<CodeList>& lists, int channel, int start, int length) {
    std::vector<bool> written(static_cast<size_t>(length), false);
    const auto readsOpen = [&](int from, int count) {
        for (int slot = std::max(from, start); slot < std::min(from + count, start + length); ++slot) {
            if (!written[static_cast<size_t>(slot - start)]) {
                return true;
            }
        }
        return false;
    };
    const int own = 2 + 3 * channel;
    for (int k = 1; k < kCompiledLists; ++k) {
        const int list = (own + k) % kCompiledLists;
        const bool voiceList = list >= 2 && list < 2 + 3 * kChannels && (list - 2) % 3 == 0;
        const std::vector<bool> before = written;
        for (const CodeNode& node : lists[static_cast<size_t>(list)]) {
            if (node.module == ModuleId::Input && readsOpen(kInputBufferBase, 8 * N)) {
                return true;
            }
            for (int i = 0; i < node.pinCount; ++i) {
                const bool reads = !IsOutputPin(node.module, i) || (i == 0 && MayKeepOutput(node.module));
                if (reads && !IsFieldCode(node.codes[i]) &&
                    readsOpen(node.codes[i], PinLength(node.module, i))) {
                    return true;
                }
            }
            for (int i = 0; i < node.pinCount; ++i) {
                if (IsOutputPin(node.module, i) && !IsFieldCode(node.codes[i])) {
                    const int from = node.codes[i];
                    const int to = from + PinLength(node.module, i);
                    for (int slot = std::max(from, start); slot < std::min(to, start + length); ++slot) {
                        written[static_cast<size_t>(slot - start)] = true;
                    }
                }
            }
        }
        if (voiceList) {
            written = before;
        }
    }
    return false;
}

// Whether a node of the list writes the voice field `code`.
bool WritesField(const ChannelPlan& plan, uint16_t code) noexcept {
    for (const NodePlan& node : plan.nodes) {
        for (int i = 0; i < node.pinCount; ++i) {
            if (node.pins[i].output && node.pins[i].code == code) {
                return true;
            }
        }
    }
    return false;
}

// Plans the lanes of one channel's voice list. Returns "" with the plan filled,
// or why its voices must run one after the other.
std::string PlanChannel(const std::vector<CodeList>& lists, int channel, ChannelPlan& plan) {
    const CodeList& code = lists[static_cast<size_t>(2 + 3 * channel)];
    if (code.empty()) {
        return "no voice graph";
    }
    plan.nodes.assign(code.size(), NodePlan{});
    for (size_t k = 0; k < code.size(); ++k) {
        NodePlan& node = plan.nodes[k];
        node.module = code[k].module;
        node.pinCount = code[k].pinCount;
        for (int i = 0; i < node.pinCount; ++i) {
            PinPlan& pin = node.pins[i];
            pin.code = code[k].codes[i];
            pin.output = IsOutputPin(node.module, i);
            pin.length = PinLength(node.module, i);
            if (IsFieldCode(pin.code)) {
                if (pin.length != 1) {
                    return "a buffer pin on the voice record";
                }
                pin.kind = PinPlan::Field;
            } else if (Overlap(pin.code, pin.length, kOutputAreaBase, kOutputAreaEnd - kOutputAreaBase)) {
                return "a node reads or writes the output area directly";
            }
        }
        node.sums = node.module == ModuleId::Output || node.module == ModuleId::DebugNode;
    }

    // Adds of the form block = block + x, where nothing else in the list touches
    // the block, sum voice by voice into it.
    std::vector<bool> adds(code.size(), false);
    for (size_t k = 0; k < code.size(); ++k) {
        const NodePlan& node = plan.nodes[k];
        if (node.module != ModuleId::Add) {
            continue;
        }
        const uint16_t target = node.pins[0].code;
        const bool first = node.pins[1].code == target && !Overlap(node.pins[2].code, N, target, N);
        const bool second = node.pins[2].code == target && !Overlap(node.pins[1].code, N, target, N);
        adds[k] = first || second;
    }
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t k = 0; k < code.size(); ++k) {
            if (!adds[k]) {
                continue;
            }
            const uint16_t target = plan.nodes[k].pins[0].code;
            for (size_t other = 0; other < code.size() && adds[k]; ++other) {
                const NodePlan& node = plan.nodes[other];
                for (int i = 0; i < node.pinCount; ++i) {
                    const bool targetPin = adds[other] && node.pins[i].code == target &&
                                           (i == 0 || node.pins[i].code == node.pins[0].code);
                    if (!targetPin && node.pins[i].kind != PinPlan::Field &&
                        Overlap(node.pins[i].code, node.pins[i].length, target, N)) {
                        adds[k] = false;
                        changed = true;
                        break;
                    }
                }
            }
        }
    }
    for (size_t k = 0; k < code.size(); ++k) {
        NodePlan& node = plan.nodes[k];
        if (adds[k]) {
            node.sums = true;
            const bool targetFirst = node.pins[1].code == node.pins[0].code;
            plan.terms.push_back(
                {static_cast<int>(k), targetFirst ? 2 : 1, node.pins[0].code, targetFirst, -1});
        } else if (node.module == ModuleId::Output) {
            plan.terms.push_back({static_cast<int>(k), 0, static_cast<uint16_t>(kOutputLeft), true, -1});
            plan.terms.push_back({static_cast<int>(k), 1, static_cast<uint16_t>(kOutputRight), true, -1});
        } else if (node.module == ModuleId::DebugNode) {
            for (int i = 0; i < 8; ++i) {
                plan.terms.push_back(
                    {static_cast<int>(k), i, static_cast<uint16_t>(kOutputAreaBase + i * N), true, -1});
            }
        }
    }

    // The regions: blocks that ordinary nodes write, equal or apart.
    for (NodePlan& node : plan.nodes) {
        if (node.sums) {
            continue;
        }
        for (int i = 0; i < node.pinCount; ++i) {
            PinPlan& pin = node.pins[i];
            if (pin.kind == PinPlan::Field || !pin.output) {
                continue;
            }
            int found = -1;
            for (size_t r = 0; r < plan.regions.size(); ++r) {
                const Region& region = plan.regions[r];
                if (region.start == pin.code && region.length == pin.length) {
                    found = static_cast<int>(r);
                } else if (Overlap(region.start, region.length, pin.code, pin.length)) {
                    return "blocks written by the voices overlap in part";
                }
            }
            if (found < 0) {
                found = static_cast<int>(plan.regions.size());
                plan.regions.push_back(Region{pin.code, pin.length});
            }
            pin.kind = PinPlan::Local;
            pin.region = found;
        }
    }
    // Inputs reading written memory read exactly a region (or a value its first slot).
    for (NodePlan& node : plan.nodes) {
        for (int i = 0; i < node.pinCount; ++i) {
            PinPlan& pin = node.pins[i];
            if (pin.kind == PinPlan::Field || pin.output) {
                continue;
            }
            for (size_t r = 0; r < plan.regions.size(); ++r) {
                const Region& region = plan.regions[r];
                if (!Overlap(region.start, region.length, pin.code, pin.length)) {
                    continue;
                }
                if (region.start != pin.code || (region.length != pin.length && pin.length != 1)) {
                    return "a node reads part of a block the voices write";
                }
                pin.kind = PinPlan::Local;
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
            const PinPlan& pin = node.pins[i];
            if (pin.kind == PinPlan::Local && !pin.output && !defined[static_cast<size_t>(pin.region)]) {
                return "a voice reads a block before writing it, so it hears the voice before";
            }
        }
        if (node.sums) {
            continue;
        }
        for (int i = 0; i < node.pinCount; ++i) {
            const PinPlan& pin = node.pins[i];
            if (pin.kind != PinPlan::Local || !pin.output) {
                continue;
            }
            const auto r = static_cast<size_t>(pin.region);
            if (!defined[r] && i == 0 && MayKeepOutput(node.module)) {
                const PinPlan& decides = node.pins[KeepPin(node.module)];
                if (decides.kind == PinPlan::Shared ||
                    (decides.kind == PinPlan::Field && !WritesField(plan, decides.code))) {
                    node.keepPin = KeepPin(node.module);
                    plan.keepers.push_back(static_cast<int>(k));
                    // A tick in which it keeps runs scalar and reads the block.
                    plan.regions[r].keep = true;
                    defined[r] = true;
                    continue;
                }
                // Else the voice before hands its result on, which works only
                // if no later node rewrites the region.
                for (size_t later = k + 1; later < plan.nodes.size(); ++later) {
                    const NodePlan& next = plan.nodes[later];
                    for (int j = 0; j < next.pinCount && !next.sums; ++j) {
                        if (next.pins[j].kind == PinPlan::Local && next.pins[j].output &&
                            next.pins[j].region == pin.region) {
                            return "a node may keep a block that a later node rewrites";
                        }
                    }
                }
                plan.regions[r].chain = true;
            }
            defined[r] = true;
        }
    }

    // Noise: one noise-capable node draws lane by lane when it runs; several
    // need every draw's place known before the voices run.
    for (size_t k = 0; k < plan.nodes.size(); ++k) {
        NodePlan& node = plan.nodes[k];
        if (!node.sums && DrawsNoise(node.module)) {
            node.noise = static_cast<int>(plan.noiseNodes.size());
            node.typePin = node.module == ModuleId::Osc ? 3 : 4;
            plan.noiseNodes.push_back(static_cast<int>(k));
        }
    }
    if (plan.noiseNodes.size() > 1) {
        for (const int k : plan.noiseNodes) {
            const PinPlan& type =
                plan.nodes[static_cast<size_t>(k)].pins[plan.nodes[static_cast<size_t>(k)].typePin];
            if (type.kind == PinPlan::Local) {
                return "several noise sources, one with a waveform computed per voice";
            }
            if (type.kind == PinPlan::Field && WritesField(plan, type.code)) {
                return "several noise sources, one with a waveform computed per voice";
            }
        }
        plan.noiseAhead = true;
    }

    // Sum terms and their sources; a source a later node rewrites is copied
    // when the sum node runs.
    for (size_t t = 0; t < plan.terms.size(); ++t) {
        TermPlan& term = plan.terms[t];
        const PinPlan& source = plan.nodes[static_cast<size_t>(term.node)].pins[term.pin];
        if (source.kind != PinPlan::Local) {
            continue;
        }
        for (size_t later = static_cast<size_t>(term.node) + 1; later < plan.nodes.size(); ++later) {
            const NodePlan& next = plan.nodes[later];
            for (int j = 0; j < next.pinCount && !next.sums; ++j) {
                if (next.pins[j].kind == PinPlan::Local && next.pins[j].output &&
                    next.pins[j].region == source.region) {
                    term.capture = 0;
                }
            }
        }
    }
    int perTarget[kMemorySlots / N + 1] = {};
    std::vector<int> sources;
    for (const TermPlan& term : plan.terms) {
        if (++perTarget[term.target / N] > kMaxSumTerms) {
            return "too many sums into one block";
        }
        const PinPlan& source = plan.nodes[static_cast<size_t>(term.node)].pins[term.pin];
        if (source.kind == PinPlan::Local &&
            (term.capture >= 0 ||
             std::find(sources.begin(), sources.end(), source.region) == sources.end())) {
            sources.push_back(source.region);
        }
    }
    if (sources.size() > static_cast<size_t>(kMaxSumSources)) {
        return "too many voice blocks summed into shared blocks";
    }

    // Regions that something reads after the voices keep the last voice's values.
    for (Region& region : plan.regions) {
        region.keep =
            region.keep || region.chain || ReadAfterVoices(lists, channel, region.start, region.length);
    }
    return "";
}

// Noise-capable nodes of one voice list whose draws are laid out ahead.
constexpr size_t kMaxNoiseNodes = 64;

// Runs the voices of channels in lanes. Built off the audio thread with all its
// memory; RenderVoices runs on the audio thread.
class LaneRenderer final : public VoiceRenderer {
public:
    LaneRenderer(const NodeProgram& program, Synthesizer& synthesizer, const KernelSet& kernels)
        : program(program), synthesizer(synthesizer), kernels(kernels),
          width(kernels.shapes[kernels.shapeCount - 1].lanes) {}

    void SetPlan(int channel, std::unique_ptr<ChannelPlan> plan) { plans[channel] = std::move(plan); }

    // Lays out every plan's scratch and staging blocks and allocates them.
    void Allocate() {
        int scratchFloats = 0;
        int stagingFloats = 0;
        for (auto& plan : plans) {
            if (plan == nullptr) {
                continue;
            }
            int scratchUsed = 0;
            for (Region& region : plan->regions) {
                region.scratch = scratchUsed;
                scratchUsed += Rounded(region.length * width);
            }
            for (TermPlan& term : plan->terms) {
                if (term.capture >= 0) {
                    term.capture = scratchUsed;
                    scratchUsed += Rounded(N * width);
                }
            }
            int stagingUsed = 0;
            for (NodePlan& node : plan->nodes) {
                for (int i = 0; i < node.pinCount; ++i) {
                    PinPlan& pin = node.pins[i];
                    if (pin.kind != PinPlan::Local) {
                        pin.stage = stagingUsed;
                        stagingUsed += Rounded(pin.length * width);
                    }
                }
            }
            scratchFloats = std::max(scratchFloats, scratchUsed);
            stagingFloats = std::max(stagingFloats, stagingUsed);
        }
        scratch = Floats(static_cast<size_t>(scratchFloats));
        staging = Floats(static_cast<size_t>(stagingFloats));
        temps = Floats(static_cast<size_t>(kMaxNodeArgs * N));
        for (int channel = 0; channel < kChannels; ++channel) {
            if (plans[channel] != nullptr) {
                Prepare(*plans[channel], channel);
            }
        }
    }

    bool HasPlan(int channel) const noexcept { return plans[channel] != nullptr; }

    const ModuleRuns* Runs() const noexcept { return runs; }

    bool LeavesStale(int slot) const noexcept {
        for (const auto& plan : plans) {
            if (plan == nullptr) {
                continue;
            }
            for (const Region& region : plan->regions) {
                if (!region.keep && slot >= region.start && slot < region.start + region.length) {
                    return true;
                }
            }
        }
        return false;
    }

    bool RenderVoices(int channel) noexcept override {
        ChannelPlan* plan = plans[channel].get();
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
        for (const int k : plan->keepers) {
            const PinPlan& decides =
                plan->nodes[static_cast<size_t>(k)].pins[plan->nodes[static_cast<size_t>(k)].keepPin];
            for (int l = 0; l < count; ++l) {
                const float x = decides.kind == PinPlan::Field
                                    ? synthesizer.Voice(channel, active[l])[decides.code - kVoiceFieldCode]
                                    : synthesizer.memory[decides.code];
                if (KeepsOutput(plan->nodes[static_cast<size_t>(k)].module, x, synthesizer)) {
                    return false; // a voice hears what the voice before left: scalar this tick
                }
            }
        }
        const ShapeKernels* shape = &kernels.shapes[kernels.shapeCount - 1];
        for (int s = 0; s < kernels.shapeCount; ++s) {
            if (kernels.shapes[s].lanes >= count) {
                shape = &kernels.shapes[s];
                break;
            }
        }
        const int lanes = shape->lanes;
        LaneCall call;
        call.synthesizer = &synthesizer;
        call.lanes = count;
        for (int l = 0; l < lanes; ++l) {
            call.voices[l] = active[l < count ? l : 0];
        }
        uint32_t noiseEnd = synthesizer.randomState;
        if (plan->noiseAhead) {
            noiseEnd = LayOutNoise(*plan, channel, call);
        }
        for (size_t k = 0; k < plan->nodes.size(); ++k) {
            NodePlan& node = plan->nodes[k];
            if (node.sums) {
                for (const int t : node.captures) {
                    const TermPlan& term = plan->terms[static_cast<size_t>(t)];
                    const Region& region = plan->regions[static_cast<size_t>(
                        plan->nodes[static_cast<size_t>(term.node)].pins[term.pin].region)];
                    std::memcpy(scratch.get() + term.capture, scratch.get() + region.scratch,
                                sizeof(float) * static_cast<size_t>(N * lanes));
                }
                continue;
            }
            Node* const* voiceNodes = plan->voiceNodes.data() + k * kVoicesPerChannel;
            for (int l = 0; l < lanes; ++l) {
                call.nodes[l] = voiceNodes[call.voices[l]];
            }
            std::copy(node.pinBlocks, node.pinBlocks + node.pinCount, call.pins);
            call.uniform = node.uniform;
            call.memo = plan->memos[k].get();
            Stage(node, call, lanes, channel);
            uint32_t starts[kMaxLanes];
            call.random = nullptr;
            if (node.noise >= 0) {
                if (plan->noiseAhead) {
                    call.random = noiseStarts[node.noise];
                } else {
                    uint32_t state = synthesizer.randomState;
                    const float* type = call.pins[node.typePin];
                    for (int l = 0; l < count; ++l) {
                        starts[l] = state;
                        state = AfterDraws(state, NoiseDraws(node.module, type[l]));
                    }
                    noiseEnd = state;
                    call.random = starts;
                }
            }
            const Kernel kernel = shape->kernels[node.module];
            if (kernel != nullptr && kernel(call)) {
                ++runs[node.module].inLanes;
                for (int i = 0; i < node.pinCount; ++i) {
                    const PinPlan& pin = node.pins[i];
                    if (pin.kind == PinPlan::Field && pin.output) {
                        for (int l = 0; l < count; ++l) {
                            *call.nodes[l]->args[i] = call.pins[i][l];
                        }
                    }
                }
            } else {
                ++runs[node.module].voiceByVoice;
                RunVoiceByVoice(*plan, node, call, lanes);
            }
            if (node.noise >= 0 && !plan->noiseAhead) {
                synthesizer.randomState = noiseEnd;
            }
        }
        if (!plan->sumTargets.empty()) {
            SumCall sums;
            sums.lanes = count;
            sums.sources = plan->sumSources.data();
            sums.sourceCount = static_cast<int>(plan->sumSources.size());
            sums.targets = plan->sumTargets.data();
            sums.targetCount = static_cast<int>(plan->sumTargets.size());
            sums.terms = plan->sumTerms.data();
            shape->sum(sums);
        }
        if (plan->noiseAhead) {
            synthesizer.randomState = noiseEnd;
        }
        for (const Region& region : plan->regions) {
            if (region.keep) {
                Deinterleave(Block(region), lanes, count - 1, region.length,
                             synthesizer.memory + region.start);
            }
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
        const size_t size = std::max<size_t>(count, 1) * sizeof(float);
        auto* p = static_cast<float*>(::operator new[](size, std::align_val_t{64}));
        std::memset(p, 0, size);
        return AlignedFloats(p);
    }

    float* Block(const Region& region) const noexcept { return scratch.get() + region.scratch; }

    // Fixes what does not change from tick to tick: the voices' nodes, the
    // blocks the kernels see, the uniform inputs, the memos and the sums.
    void Prepare(ChannelPlan& plan, int channel) {
        const NodeList* lists = program.lists + kListVoice + channel * kVoicesPerChannel;
        for (size_t k = 0; k < plan.nodes.size(); ++k) {
            for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
                plan.voiceNodes.push_back(lists[voice][k]);
            }
        }
        for (NodePlan& node : plan.nodes) {
            plan.memos.push_back(ConvertsParameters(node.module) ? std::make_unique<NodeMemo>() : nullptr);
            for (int i = 0; i < node.pinCount; ++i) {
                const PinPlan& pin = node.pins[i];
                node.pinBlocks[i] = pin.kind == PinPlan::Local
                                        ? Block(plan.regions[static_cast<size_t>(pin.region)])
                                        : staging.get() + pin.stage;
                if (pin.kind == PinPlan::Shared && !pin.output) {
                    node.uniform |= 1u << i;
                }
            }
        }
        std::vector<uint16_t> targets;
        for (const TermPlan& term : plan.terms) {
            if (std::find(targets.begin(), targets.end(), term.target) == targets.end()) {
                targets.push_back(term.target);
            }
        }
        // Terms grouped by target, in node order within each.
        std::vector<TermPlan> ordered;
        for (const uint16_t target : targets) {
            SumTarget sum;
            sum.target = synthesizer.memory + target;
            sum.first = static_cast<int>(ordered.size());
            for (const TermPlan& term : plan.terms) {
                if (term.target == target) {
                    ordered.push_back(term);
                }
            }
            sum.count = static_cast<int>(ordered.size()) - sum.first;
            plan.sumTargets.push_back(sum);
        }
        plan.terms = ordered;
        for (size_t t = 0; t < plan.terms.size(); ++t) {
            const TermPlan& term = plan.terms[t];
            const PinPlan& pin = plan.nodes[static_cast<size_t>(term.node)].pins[term.pin];
            SumTerm sum;
            sum.targetFirst = term.targetFirst;
            if (pin.kind == PinPlan::Local) {
                const float* source = SumSource(plan, term);
                const auto found = std::find(plan.sumSources.begin(), plan.sumSources.end(), source);
                sum.source = static_cast<int>(found - plan.sumSources.begin());
                if (found == plan.sumSources.end()) {
                    plan.sumSources.push_back(source);
                }
            } else {
                sum.shared = synthesizer.memory + pin.code;
            }
            plan.sumTerms.push_back(sum);
            if (term.capture >= 0) {
                plan.nodes[static_cast<size_t>(term.node)].captures.push_back(static_cast<int>(t));
            }
        }
    }

    const float* SumSource(const ChannelPlan& plan, const TermPlan& term) const noexcept {
        if (term.capture >= 0) {
            return scratch.get() + term.capture;
        }
        const PinPlan& pin = plan.nodes[static_cast<size_t>(term.node)].pins[term.pin];
        return Block(plan.regions[static_cast<size_t>(pin.region)]);
    }

    // Shared inputs are broadcast into their staging blocks, voice fields
    // gathered (outputs too: a node may keep what a field held).
    void Stage(const NodePlan& node, const LaneCall& call, int lanes, int channel) noexcept {
        for (int i = 0; i < node.pinCount; ++i) {
            const PinPlan& pin = node.pins[i];
            float* stage = call.pins[i];
            if (pin.kind == PinPlan::Shared && !pin.output) {
                const float* source = synthesizer.memory + pin.code;
                for (int e = 0; e < pin.length; ++e) {
                    std::fill_n(stage + e * lanes, lanes, source[e]);
                }
            } else if (pin.kind == PinPlan::Field) {
                const int field = pin.code - kVoiceFieldCode;
                for (int l = 0; l < lanes; ++l) {
                    stage[l] = synthesizer.Voice(channel, call.voices[l])[field];
                }
            }
        }
    }

    // Places every lane's noise draws in the scalar order: voice by voice, and
    // within a voice node by node. Returns the generator's state after them.
    uint32_t LayOutNoise(const ChannelPlan& plan, int channel, const LaneCall& call) noexcept {
        uint32_t state = synthesizer.randomState;
        for (int l = 0; l < call.lanes; ++l) {
            for (size_t r = 0; r < plan.noiseNodes.size(); ++r) {
                const NodePlan& node = plan.nodes[static_cast<size_t>(plan.noiseNodes[r])];
                const PinPlan& type = node.pins[node.typePin];
                const float value =
                    type.kind == PinPlan::Field
                        ? synthesizer.Voice(channel, call.voices[l])[type.code - kVoiceFieldCode]
                        : synthesizer.memory[type.code];
                noiseStarts[r][l] = state;
                state = AfterDraws(state, NoiseDraws(node.module, value));
            }
        }
        return state;
    }

    // The node's own Render, lane after lane, on de-interleaved copies of the
    // lane's regions. Voice fields and shared slots stay where the node points.
    void RunVoiceByVoice(const ChannelPlan& plan, const NodePlan& node, const LaneCall& call,
                         int lanes) noexcept {
        int tempOf[kMaxNodeArgs];
        for (int l = 0; l < call.lanes; ++l) {
            Node* voiceNode = call.nodes[l];
            float* saved[kMaxNodeArgs];
            std::copy(voiceNode->args, voiceNode->args + kMaxNodeArgs, saved);
            int tempsUsed = 0;
            for (int i = 0; i < node.pinCount; ++i) {
                const PinPlan& pin = node.pins[i];
                tempOf[i] = -1;
                if (pin.kind != PinPlan::Local) {
                    continue;
                }
                for (int j = 0; j < i; ++j) {
                    if (tempOf[j] >= 0 && node.pins[j].region == pin.region) {
                        tempOf[i] = tempOf[j];
                    }
                }
                const Region& region = plan.regions[static_cast<size_t>(pin.region)];
                if (tempOf[i] < 0) {
                    tempOf[i] = tempsUsed++;
                    float* temp = temps.get() + tempOf[i] * N;
                    if (region.chain && pin.output && l == 0) {
                        std::memcpy(temp, synthesizer.memory + region.start,
                                    sizeof(float) * static_cast<size_t>(region.length));
                    } else {
                        const int from = region.chain && pin.output ? l - 1 : l;
                        Deinterleave(Block(region), lanes, from, region.length, temp);
                    }
                }
                voiceNode->args[i] = temps.get() + tempOf[i] * N;
            }
            if (call.random != nullptr) {
                synthesizer.randomState = call.random[l];
            }
            voiceNode->Render();
            for (int i = 0; i < node.pinCount; ++i) {
                const PinPlan& pin = node.pins[i];
                if (pin.kind == PinPlan::Local && pin.output) {
                    const Region& region = plan.regions[static_cast<size_t>(pin.region)];
                    float* block = Block(region);
                    const float* temp = temps.get() + tempOf[i] * N;
                    for (int e = 0; e < region.length; ++e) {
                        block[e * lanes + l] = temp[e];
                        if (l == 0) {
                            std::fill_n(block + e * lanes + call.lanes, lanes - call.lanes, temp[e]);
                        }
                    }
                }
            }
            std::copy(saved, saved + kMaxNodeArgs, voiceNode->args);
        }
    }

    static void Deinterleave(const float* block, int lanes, int lane, int length, float* out) noexcept {
        for (int e = 0; e < length; ++e) {
            out[e] = block[e * lanes + lane];
        }
    }

    const NodeProgram& program;
    Synthesizer& synthesizer;
    const KernelSet& kernels;
    const int width; // lanes of the widest shape
    std::unique_ptr<ChannelPlan> plans[kChannels];
    ModuleRuns runs[kModuleCount + 1] = {};
    uint32_t noiseStarts[kMaxNoiseNodes][kMaxLanes] = {};
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
    std::vector<CodeList> lists;
    if (kernels == nullptr || !DecodeLists(opcodes, opcodeCount, operands, operandCount, lists)) {
        return nullptr;
    }
    auto renderer = std::make_unique<LaneRenderer>(program, synthesizer, *kernels);
    bool any = false;
    for (int channel = 0; channel < kChannels; ++channel) {
        auto plan = std::make_unique<ChannelPlan>();
        if (PlanChannel(lists, channel, *plan).empty() && plan->noiseNodes.size() <= kMaxNoiseNodes) {
            renderer->SetPlan(channel, std::move(plan));
            any = true;
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

bool LeavesStale(const NodeProgram& program, int slot) noexcept {
    const auto* renderer = dynamic_cast<const LaneRenderer*>(program.voiceRenderer);
    return renderer != nullptr && renderer->LeavesStale(slot);
}

std::vector<ModuleRuns> Runs(const NodeProgram& program) {
    std::vector<ModuleRuns> runs(kModuleCount + 1);
    if (const auto* renderer = dynamic_cast<const LaneRenderer*>(program.voiceRenderer)) {
        std::copy(renderer->Runs(), renderer->Runs() + kModuleCount + 1, runs.begin());
    }
    return runs;
}

std::vector<std::string> ScalarReasons(const uint8_t* opcodes, size_t opcodeCount, const uint16_t* operands,
                                       size_t operandCount) {
    std::vector<CodeList> lists;
    if (!DecodeLists(opcodes, opcodeCount, operands, operandCount, lists)) {
        return std::vector<std::string>(kChannels, "the byte code is malformed");
    }
    std::vector<std::string> reasons;
    for (int channel = 0; channel < kChannels; ++channel) {
        ChannelPlan plan;
        reasons.push_back(PlanChannel(lists, channel, plan));
        if (reasons.back().empty() && plan.noiseNodes.size() > kMaxNoiseNodes) {
            reasons.back() = "too many noise sources";
        }
    }
    return reasons;
}

} // namespace brl::Korvax::Lanes
