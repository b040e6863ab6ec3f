#pragma once

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"

// What the lane kernels see: one node of a voice list, run once for a group of
// voices. Shared by the dispatcher and the kernel sets built for each
// instruction set, so it holds plain data only.
namespace brl::Korvax::Lanes {

constexpr int kMaxLanes = 16;

struct LaneCall {
    Synthesizer* synthesizer = nullptr;
    int lanes = 0;                  // voices in this group, 1..width, in voice order
    Node* nodes[kMaxLanes] = {};    // the node of lane l's voice; lanes past `lanes` are unused
    float* pins[kMaxNodeArgs] = {}; // lane-interleaved blocks: element e of lane l at [e x width + l]
};

// Renders one node across the lanes, or returns false having changed nothing
// (the dispatcher then runs the node voice by voice).
using Kernel = bool (*)(LaneCall& call) noexcept;

struct KernelSet {
    int width = 0;
    Kernel kernels[kModuleCount + 1] = {};
};

#if defined(__x86_64__)
const KernelSet& Sse2Kernels() noexcept;
const KernelSet& Avx2Kernels() noexcept;
const KernelSet& Avx512Kernels() noexcept;
#endif

} // namespace brl::Korvax::Lanes
