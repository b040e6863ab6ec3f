#pragma once

#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxpatchset.h"
#include "libbrelm/string.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

// The intro size at a glance: the bytes of the tables an intro player
// includes (the arrays of the ".values.h", ".ops.h", ".params.h",
// ".timestreams.h" and ".datastreams.h" headers, as they lie in memory) and
// their size after compression with liblzma at preset 9 extreme, the size
// `xz -9e` gives the same bytes.
//
// Threads: the caller's; the compression needs about 700 MB while it runs.
namespace brl::Korvax {

struct IntroTables {
    std::vector<uint8_t> program; // values, opcodes, operands (u16 little-endian)
    std::vector<uint8_t> song;    // time streams (byte planes), data streams
};

struct IntroSize {
    size_t programBytes = 0;
    size_t songBytes = 0;
    // Compressed sizes: the program tables, the song tables, all of them as one stream.
    size_t programCompressed = 0;
    size_t songCompressed = 0;
    size_t allCompressed = 0;
};

// The tables of a compiled program with the stored parameter bytes and a song.
IntroTables MakeIntroTables(const PatchSet& patches, const CompiledProgram& program);
// The size of the .xz stream of `bytes` at preset 9 extreme (CRC64 check);
// nothing when the encoder fails.
std::optional<size_t> XzSize(std::span<const uint8_t> bytes);
std::optional<IntroSize> MeasureIntroSize(const IntroTables& tables);
// "intro tables: 12345 bytes, 2345 after xz -9e (program 8801 -> 1404, song 3544 -> 983)".
String IntroSizeText(const IntroSize& size);

// Measures on a thread of its own, so that a compile does not wait for the
// compression: the newest request is measured, requests made while it runs
// replace each other.
//
// Threads: Request and Take from one owner thread; the destructor waits for a
// measurement that runs.
class IntroSizeMeter {
public:
    struct Result {
        uint64_t request = 0; // the number Request returned
        std::optional<IntroSize> size;
    };

    IntroSizeMeter();
    ~IntroSizeMeter();
    IntroSizeMeter(const IntroSizeMeter&) = delete;
    IntroSizeMeter& operator=(const IntroSizeMeter&) = delete;

    // Returns the request's number (1, 2, ...).
    uint64_t Request(IntroTables tables);
    // The last finished measurement not taken yet.
    std::optional<Result> Take();

private:
    void Run();

    std::mutex mutex;
    std::condition_variable wake;
    std::optional<IntroTables> pending;
    std::optional<Result> finished;
    uint64_t requests = 0;
    bool stop = false;
    std::thread worker;
};

} // namespace brl::Korvax
