#pragma once

#include "korvax/korvaxsynth.h"

#include <cstdint>

// Voice lanes: the sounding voices of a channel run side by side in the lanes of
// SIMD registers, each lane with its own node state, voice record and working
// cells, with exactly the scalar loop's results.
//
// Threads: Enable, ForcePath and the builder run where programs are built (the
// editing thread, a renderer); the renderer they build runs on the audio thread,
// inside Synthesizer::RenderBuffer, and allocates and locks nothing.
namespace brl::Korvax::Lanes {

// The instruction sets the lane kernels are built for.
enum class Path {
    Scalar, // no lanes: every voice runs in the scalar loop
    Sse2,   // 4 lanes
    Avx2,   // 8 lanes
    Avx512, // 16 lanes
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

} // namespace brl::Korvax::Lanes
