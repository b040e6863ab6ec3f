// korvax-player: the intro player. It carries the demo's exported program,
// parameter values and song, replays them with the stream player and writes the
// same wave file as "korvax --render": 32-bit float stereo at 96000 Hz, the song
// followed by a tail of 30 seconds.
//
// usage: korvax-player [OUTPUT.wav]   (default demo.wav; a name that starts
// with "-" is taken for an option: write it as ./-name.wav)
#include "korvax/korvaxplayer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

// The exported headers leave their element types to the including program.
using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;

#include "demo.korvax.ops.h"
#include "demo.korvax.params.h"
#include "demo.korvax.values.h"
#include "demo.mid.datastreams.h"
#include "demo.mid.timestreams.h"
#include "demo.song.h"

namespace {

using namespace brl::Korvax;

constexpr uint32_t kRate = 96000;
constexpr uint32_t kTailTicks = 22500; // 30 s of 128-sample ticks

template <typename T, size_t N> constexpr size_t Count(const T (&)[N]) {
    return N;
}

// The exported time streams hold the words' bytes in planes: byte p of word i
// is byte p x n + i of the array (n words, least significant plane first).
std::vector<uint32_t> TimeStreams() {
    const size_t n = Count(korvax_timestreams);
    std::vector<uint32_t> words(n, 0);
    for (size_t k = 0; k < 4 * n; ++k) {
        const auto byte = static_cast<uint32_t>((korvax_timestreams[k / 4] >> (8 * (k % 4))) & 0xFFu);
        words[k % n] |= byte << (8 * (k / n));
    }
    return words;
}

void Put(uint8_t* at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// The 44-byte header of a float stereo wave file.
void WaveHeader(uint8_t (&header)[44], uint32_t frames) {
    const uint32_t dataSize = frames * 8;
    std::memcpy(header + 0, "RIFF", 4);
    Put(header + 4, dataSize + 36, 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    Put(header + 16, 16, 4);
    Put(header + 20, 3, 2); // IEEE float
    Put(header + 22, 2, 2); // channels
    Put(header + 24, kRate, 4);
    Put(header + 28, kRate * 8, 4);
    Put(header + 32, 8, 2);  // bytes per frame
    Put(header + 34, 32, 2); // bits per sample
    std::memcpy(header + 36, "data", 4);
    Put(header + 40, dataSize, 4);
}

} // namespace

int main(int argc, char** argv) {
    const bool option = argc > 1 && argv[1][0] == '-';
    if (argc > 2 || option) {
        const bool help =
            argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
        std::fputs("usage: korvax-player [OUTPUT.wav]\n\n"
                   "Plays the demo song into OUTPUT.wav (default demo.wav): 32-bit float stereo at\n"
                   "96000 Hz, the song followed by a tail of 30 seconds.\n",
                   help ? stdout : stderr);
        return help ? 0 : 2;
    }
    const char* path = argc > 1 ? argv[1] : "demo.wav";
    const std::vector<uint32_t> times = TimeStreams();
    auto player = std::make_unique<SynthPlayer>(korvax_values, korvax_ops, Count(korvax_ops), korvax_params,
                                                Count(korvax_params), times.data(), times.size(),
                                                korvax_datastreams, Count(korvax_datastreams));
    if (!player->IsValid()) {
        std::fputs("korvax-player: the song cannot be played\n", stderr);
        return 1;
    }
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "korvax-player: cannot create '%s'\n", path);
        return 1;
    }
    const uint32_t total = korvax_song_ticks + kTailTicks;
    uint8_t header[44];
    WaveHeader(header, total * kSamplesPerBuffer);
    bool ok = std::fwrite(header, 1, sizeof header, file) == sizeof header;
    float frames[kSamplesPerBuffer * 2];
    const float* memory = player->Memory();
    for (uint32_t t = 0; ok && t < total; ++t) {
        player->RenderBuffer();
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            frames[2 * i] = memory[kOutputLeft + i];
            frames[2 * i + 1] = memory[kOutputRight + i];
        }
        ok = std::fwrite(frames, 1, sizeof frames, file) == sizeof frames;
    }
    if (std::fclose(file) != 0 || !ok) {
        std::fprintf(stderr, "korvax-player: writing '%s' failed\n", path);
        return 1;
    }
    return 0;
}
