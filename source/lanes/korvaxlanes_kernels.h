#pragma once

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"

#include <cstdint>

// What the lane kernels see: one node of a voice list, run once for the
// sounding voices of a channel side by side. Shared by the renderer and the
// kernel sets built for each instruction set, so it holds plain data only.
namespace brl::Korvax::Lanes {

constexpr int kMaxLanes = 16;
constexpr int kMaxShapes = 3;
constexpr int kMemoSlots = 8;
constexpr int kMaxSumTerms = 16;   // terms of one voice list into one shared block
constexpr int kMaxSumSources = 16; // lane blocks the sums of one voice list add

// The last result of a parameter conversion (a pure function of one input and
// the sample rate), so that an unchanged input costs no library call.
struct Memo {
    bool valid = false;
    uint32_t bits = 0; // the input's bits
    float rate = 0.0f;
    float value = 0.0f;
    int32_t samples = 0;
};

// A node's remembered conversions: for inputs that are the same in every lane,
// and per voice for the others. Kept by the renderer from tick to tick.
struct NodeMemo {
    Memo shared[kMemoSlots];
    Memo voice[kVoicesPerChannel][kMemoSlots];
};

// One node run across the lanes. Pins are lane-interleaved blocks: element e of
// lane l at [e x S + l], S the lanes of the shape that runs (pins of value type
// hold one element). Lanes from `lanes` up to S are padding: their inputs
// repeat lane 0, and kernels write no state for them.
struct LaneCall {
    Synthesizer* synthesizer = nullptr;
    int lanes = 0;                  // voices in this group, 1..S, in voice order
    Node* nodes[kMaxLanes] = {};    // the node of each lane's voice (padding repeats lane 0)
    int voices[kMaxLanes] = {};     // each lane's voice number
    float* pins[kMaxNodeArgs] = {}; // lane-interleaved blocks
    uint32_t uniform = 0;           // bit i: pin i is an input with the same value in every lane
    // Noise: the random generator's state at which each lane's draws start
    // (the renderer lays the lanes' draws out in the scalar loop's order).
    const uint32_t* random = nullptr;
    NodeMemo* memo = nullptr;
};

// Renders one node across the lanes, or returns false having written nothing
// (the renderer then runs the node voice by voice).
using Kernel = bool (*)(LaneCall& call) noexcept;

// A sum into a shared block that every voice adds to (an output, a bus). The
// terms of a target are added lane by lane, and within a lane in node order,
// exactly as the voices one after the other would add them.
struct SumTerm {
    const float* shared = nullptr; // one block for all lanes, or null: the lanes of `source`
    int source = 0;                // index into SumCall::sources
    bool targetFirst = true;       // target + term (else term + target)
};

struct SumTarget {
    float* target = nullptr; // 128 floats
    int first = 0;           // its terms: [first, first + count)
    int count = 0;
};

struct SumCall {
    int lanes = 0;
    const float* const* sources = nullptr; // lane-interleaved blocks the terms add
    int sourceCount = 0;
    const SumTarget* targets = nullptr;
    int targetCount = 0;
    const SumTerm* terms = nullptr;
};

using SumKernel = void (*)(const SumCall& call) noexcept;

// The kernels of one shape: `lanes` lanes in one or more vector registers.
struct ShapeKernels {
    int lanes = 0;
    Kernel kernels[kModuleCount + 1] = {};
    SumKernel sum = nullptr;
};

// The shapes of one instruction set, narrowest first.
struct KernelSet {
    int shapeCount = 0;
    ShapeKernels shapes[kMaxShapes];
};

#if defined(__x86_64__)
const KernelSet& Sse2Kernels() noexcept;
const KernelSet& Avx2Kernels() noexcept;
const KernelSet& Avx512Kernels() noexcept;
#endif

} // namespace brl::Korvax::Lanes
