#pragma once

#include "korvax/korvaxsynth.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Voice lanes: the sounding voices of a channel run side by side in the lanes of
// SIMD registers, each lane with its own node state, voice record and working
// cells, with exactly the scalar loop's results.
//
// Threads: Enable, ForcePath, ScalarReasons and the builder run where programs
// are built (the editing thread, a renderer); the renderer they build runs on
// the audio thread, inside Synthesizer::RenderBuffer, and allocates and locks
// nothing. RunsInLanes, LeavesStale and Runs read a built program (tests,
// tools).
namespace brl::Korvax::Lanes {

// The instruction sets the lane kernels are built for.
enum class Path {
    Scalar, // no lanes: every voice runs in the scalar loop
    Sse2,   // up to 12 lanes in three registers of 4
    Avx2,   // up to 12 lanes in registers of 8 and 4
    Avx512, // up to 16 lanes
};

const char* PathName(Path path) noexcept;
// The widest path this processor runs (Scalar where no kernels are built).
Path BestPath() noexcept;
// Whether this processor runs `path`.
bool Supported(Path path) noexcept;
// The path programs are built for from now on: BestPath() unless forced.
Path CurrentPath() noexcept;
// Forces `path` for the programs built from now on (tests and benchmarks
// compare the paths); false, with nothing changed, where the processor lacks it.
bool ForcePath(Path path) noexcept;
// Back to BestPath().
void ResetPath() noexcept;

// Hands the choice "Synth/VoiceLanes" to a synthesizer: with `on`, the programs
// it builds from now on render their channels' voices in lanes where that gives
// the same result; without, every voice runs in the scalar loop. Takes effect at
// the next program build (the next compile).
void Enable(Synthesizer& synthesizer, bool on) noexcept;

// The builder that Enable installs, for a synthesizer that builds its program in
// its constructor (SynthPlayer).
VoiceRendererBuilder Builder() noexcept;

// Whether `channel` of a built program renders its voices in lanes (false for a
// program without lanes and for channels that must run scalar).
bool RunsInLanes(const NodeProgram& program, int channel) noexcept;

// Whether `slot` is a working cell of a voice list run in lanes that nothing
// reads after the voices: the renderer then does not copy the last voice's
// value there, so the slot may differ from what the scalar loop leaves.
bool LeavesStale(const NodeProgram& program, int slot) noexcept;

// How often a program's lane renderer ran the nodes of one module: with a
// kernel across the lanes, or voice by voice (delay lines, a choice that
// differs by voice). Read while nothing renders the program.
struct ModuleRuns {
    uint64_t inLanes = 0;
    uint64_t voiceByVoice = 0;
};

// Indexed by module id (0 unused); all zero for a program without lanes.
std::vector<ModuleRuns> Runs(const NodeProgram& program);

// For each of the 32 channels of a byte code, why its voices run in the scalar
// loop ("" when they run in lanes).
std::vector<std::string> ScalarReasons(const uint8_t* opcodes, size_t opcodeCount, const uint16_t* operands,
                                       size_t operandCount);

} // namespace brl::Korvax::Lanes
