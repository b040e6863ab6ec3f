#pragma once

#include "korvax/korvaxsynth.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brl::Korvax {

struct CompiledProgram;
struct Song;
class SynthPlayer;

// What an offline render did, for the caller's report.
struct RenderResult {
    uint32_t ticks = 0;        // buffers rendered (song length plus the 30 s tail)
    double audioSeconds = 0.0; // length of the written audio
    double wallSeconds = 0.0;  // time the render took
    std::string outputPath;    // the written ".wav" file (the file system's bytes)
};

// Renders a patch file with its song to "<patch path>.wav": 32-bit float stereo
// at 96000 Hz, the song followed by a tail of 30 seconds. The path is the file
// system's bytes. Loading, compiling, stream and file errors are logged and give
// false; the output file is then not created (an earlier file of that name is
// left as it was). An output that is no regular file, or that is the patch
// itself (through a link), is refused. Renders of one patch may run at once;
// each writes its own temporary file. Messages go to a logger named "korvax" on
// `log`. Runs on the calling thread. With `voiceLanes` (the caller's
// "Synth/VoiceLanes" setting) a channel's voices run side by side in SIMD lanes
// where that gives the same samples.
bool Render(const std::string& patchPath, Logging::Channel* log, RenderResult* result = nullptr,
            bool voiceLanes = false);

// The render's song playback, for players of a song that must sound exactly
// like the render (the live song of the native manager):
// - RenderTicks: the ticks the render plays, the song's and a tail of 30
//   seconds; 0 when they would not fit in a wave file.
// - SongValueBytes: the initial value bytes of the player, from the value
//   slots 0..8191 of a synthesizer (value x 128 rounded half up).
// - MakeSongPlayer: the player of a song (a patch without an imported song
//   plays 8192 empty streams); check IsValid() before playing it. A player
//   that runs offline need not commit its nodes' memory (commitNodeMemory).
uint32_t RenderTicks(uint32_t songTicks);
std::vector<uint8_t> SongValueBytes(const float* valueSlots);
std::unique_ptr<SynthPlayer> MakeSongPlayer(const std::vector<uint8_t>& valueBytes,
                                            const CompiledProgram& program, const Song& song,
                                            Logging::Channel* log, VoiceRendererBuilder voiceRenderer,
                                            bool commitNodeMemory = true);

// The 44-byte header of a float stereo wave file with `frames` frames at `rate`.
void WriteWaveHeader(uint8_t (&header)[44], uint32_t frames, uint32_t rate);

} // namespace brl::Korvax
