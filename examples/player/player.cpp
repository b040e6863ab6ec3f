// The intro player. It carries a patch set's exported program, parameter values
// and song (player_data.h, made at build time), replays them with the stream
// player and writes the same wave file as "korvax --render": 32-bit float
// stereo at 96000 Hz, the song followed by a tail of 30 seconds.
//
// usage: PLAYER [OUTPUT.wav]   (default: the patch file's name with ".wav"; a
// name that starts with "-" is taken for an option: write it as ./-name.wav)
//
// Built small: no C++ library beyond the runtime's own code (allocation goes
// straight to malloc), the file written with write(2), and with
// KORVAX_PLAYER_ENTRY a bare entry point in place of the C start-up files.
#include "korvax/korvaxplayer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

// The exported headers leave their element types to the including program.
using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;

#include "player_data.h"

namespace {

using namespace brl::Korvax;

constexpr uint32_t kRate = 96000;
constexpr uint32_t kTailTicks = 22500; // 30 s of 128-sample ticks

template <typename T, size_t N> constexpr size_t Count(const T (&)[N]) {
    return N;
}

// The exported time streams hold the words' bytes in planes: byte p of word i
// is byte p x n + i of the array (n words, least significant plane first).
// The words go to zero-filled memory that takes no room in the file.
uint32_t timeWords[Count(korvax_timestreams)];

const uint32_t* TimeStreams() {
    constexpr size_t n = Count(korvax_timestreams);
    size_t k = 0;
    for (int plane = 0; plane < 4; ++plane) {
        for (size_t i = 0; i < n; ++i, ++k) {
            const auto byte = static_cast<uint32_t>((korvax_timestreams[k / 4] >> (8 * (k % 4))) & 0xFFu);
            timeWords[i] |= byte << (8 * plane);
        }
    }
    return timeWords;
}

// The 44-byte header of a float stereo wave file of `frames` frames, made
// while compiling.
struct WaveHeader {
    uint8_t bytes[44] = {'R', 'I', 'F', 'F', 0, 0, 0,   0,   'W', 'A', 'V', 'E', 'f', 'm', 't',
                         ' ', 0,   0,   0,   0, 0, 0,   0,   0,   0,   0,   0,   0,   0,   0,
                         0,   0,   0,   0,   0, 0, 'd', 'a', 't', 'a', 0,   0,   0,   0};

    constexpr explicit WaveHeader(uint32_t frames) {
        const uint32_t dataSize = frames * 8;
        Put(4, dataSize + 36, 4);
        Put(16, 16, 4);
        Put(20, 3, 2); // IEEE float
        Put(22, 2, 2); // channels
        Put(24, kRate, 4);
        Put(28, kRate * 8, 4);
        Put(32, 8, 2);  // bytes per frame
        Put(34, 32, 2); // bits per sample
        Put(40, dataSize, 4);
    }
    constexpr void Put(int at, uint32_t v, int count) {
        for (int i = 0; i < count; ++i) {
            bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
        }
    }
};

// Writes all of the bytes, going on after short writes and interruptions.
bool WriteAll(int file, const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(file, bytes, size);
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

template <size_t N> int Say(int file, const char (&message)[N]) {
    WriteAll(file, message, N - 1);
    return 1;
}

template <size_t N> int Fail(const char (&message)[N]) {
    return Say(2, message);
}

// The player's place: zero-filled memory that takes no room in the file.
alignas(SynthPlayer) unsigned char playerStorage[sizeof(SynthPlayer)];

int Play(const char* path) {
    const uint32_t* times = TimeStreams();
    auto* player = new (playerStorage)
        SynthPlayer(korvax_values, korvax_ops, Count(korvax_ops), korvax_params, Count(korvax_params), times,
                    Count(korvax_timestreams), korvax_datastreams, Count(korvax_datastreams));
    if (!player->IsValid()) {
        return Fail(KORVAX_PLAYER_NAME ": the song cannot be played\n");
    }
    const int file = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (file < 0) {
        return Fail(KORVAX_PLAYER_NAME ": cannot create the wave file\n");
    }
    constexpr uint32_t total = korvax_song_ticks + kTailTicks;
    static constexpr WaveHeader header(total * kSamplesPerBuffer);
    bool ok = WriteAll(file, header.bytes, sizeof header.bytes);
    float frames[kSamplesPerBuffer * 2];
    const float* memory = player->Memory();
    for (uint32_t t = 0; ok && t < total; ++t) {
        player->RenderBuffer();
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            frames[2 * i] = memory[kOutputLeft + i];
            frames[2 * i + 1] = memory[kOutputRight + i];
        }
        ok = WriteAll(file, frames, sizeof frames);
    }
    if (close(file) != 0 || !ok) {
        return Fail(KORVAX_PLAYER_NAME ": writing the wave file failed\n");
    }
    // The player and the streams live until the process ends.
    return 0;
}

bool Equal(const char* a, const char* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// One optional argument, the wave file; --help (or -h) prints the usage.
int Run(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        const bool help = argc == 2 && (Equal(argv[1], "--help") || Equal(argv[1], "-h"));
        Say(help ? 1 : 2, "usage: " KORVAX_PLAYER_NAME " [OUTPUT.wav]   (default " KORVAX_PLAYER_WAVE ")\n");
        return help ? 0 : 2;
    }
    return Play(argc > 1 ? argv[1] : KORVAX_PLAYER_WAVE);
}

} // namespace

// Allocation without the C++ library: the runtime asks only for nothrow memory
// and gives it back with delete, so these are all it needs. The synthesizer's
// deleting destructor names the aligned delete, though the player never
// destroys it.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, size_t, std::align_val_t) noexcept {
    std::free(memory);
}

// The abstract synthesizer's virtual table names the C++ library's handler of
// pure virtual calls, which no correct program makes: should one happen, stop.
extern "C" void __cxa_pure_virtual() {
    _exit(134);
}

#if defined(KORVAX_PLAYER_ENTRY)

// The entry point without the C start-up files (x86-64). The dynamic loader has
// already prepared the C library; what is left is to run the static
// constructors, if the build has any, and to leave with the exit code.
extern "C" {

using Constructor = void (*)(int, char**, char**);
extern const Constructor __init_array_start[];
extern const Constructor __init_array_end[];

[[noreturn]] __attribute__((used)) void KorvaxPlayerEntry(long* stack) {
    const int argc = static_cast<int>(stack[0]);
    char** argv = reinterpret_cast<char**>(stack + 1);
    char** environment = argv + argc + 1;
    for (const Constructor* constructor = __init_array_start; constructor != __init_array_end;
         ++constructor) {
        (*constructor)(argc, argv, environment);
    }
    _exit(Run(argc, argv));
}

} // extern "C"

// The stack pointer points at argc; the called function wants it 16-byte aligned.
asm(".text\n"
    ".global _start\n"
    "_start:\n"
    "    xor %ebp, %ebp\n"
    "    mov %rsp, %rdi\n"
    "    and $-16, %rsp\n"
    "    call KorvaxPlayerEntry\n");

#else

int main(int argc, char** argv) {
    return Run(argc, argv);
}

#endif
