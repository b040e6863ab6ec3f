#pragma once

#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace brl::Korvax {

// Number of event streams of a song: 32 channels x 256 value slots.
constexpr uint32_t SYNTH_MEMORY_MIDI_LEN = 8192;

// The 32 channel names of a patch set, as the timeline names its parameter sets.
using ChannelNames = std::array<String, 32>;

// Turns a Standard MIDI File into the song the synthesizer replays: one event
// stream per value slot on the grid of 750 ticks per second, plus the song
// length; packs the streams for the player and writes them as C headers.
// GUI thread (or any single thread); not shared between threads.
class MidiFileConverter {
public:
    struct Event {
        uint32_t tick = 0;
        uint8_t value = 0;
    };

    // Terminates every stream in the packed time streams.
    static constexpr uint32_t kStreamEnd = 0xFFFFFFFFu;

    MidiFileConverter();

    // Parses the file (`path` in the file system's bytes) into the stream
    // store and the song length. With `timeline` set, the note triggers are
    // also written as keyframes to path + "_small.xml" once the whole file
    // parsed; the parameter sets are named after `channelNames` (empty names
    // when it is null). On failure the error is logged, no timeline is
    // written and the caller discards the stream store.
    //
    // Besides what the tracks' channel and meta events say: SysEx packets
    // (0xF0, 0xF7) are skipped, meta event lengths are variable-length
    // numbers, chunks of other types than "MTrk" are skipped, and an SMPTE
    // division counts absolute time (frames per second times ticks per frame;
    // tempo events do not change it). Only regular files of at most
    // kMaxFileBytes are read.
    bool parseSMF(Logging::Logger& logger, const std::string& path, const ChannelNames* channelNames,
                  bool timeline);
    // parseSMF without writing anything: the timeline document, when asked
    // for, goes to `timelineXml`.
    bool Convert(Logging::Logger& logger, const std::string& path, const ChannelNames* channelNames,
                 std::string* timelineXml);

    // Appends an event to stream channel x 256 + slot at the tick of `timeNs`.
    // A stream id past the store is reported as an internal error and dropped.
    void RecordEvent(uint64_t timeNs, uint32_t channel, uint32_t slot, uint8_t value);

    uint32_t SongLength() const { return songLength; }
    const std::vector<Event>& Stream(uint32_t streamId) const { return streams[streamId]; }

    // Packed arrays that the player consumes: per stream the tick deltas and a
    // kStreamEnd terminator, and per stream the value deltas modulo 256.
    std::vector<uint32_t> BuildTimeStreams() const;
    std::vector<uint8_t> BuildDataStreams() const;

    // Writes basePath + ".timestreams.h" (the words rearranged into byte
    // planes) and basePath + ".datastreams.h", each through a temporary file;
    // both are replaced only when both could be written. A failure is logged
    // and leaves both files as they were.
    static bool ExportHeaders(Logging::Logger& logger, const std::vector<uint32_t>& timeStreams,
                              const std::vector<uint8_t>& dataStreams, const std::string& basePath);
    // The texts of the two header files.
    static std::string TimeStreamsHeader(const std::vector<uint32_t>& timeStreams);
    // The bytes the ".timestreams.h" array holds in memory (little-endian u32):
    // the byte planes of the time streams, all lowest bytes first.
    static std::vector<uint8_t> TimeStreamBytes(const std::vector<uint32_t>& timeStreams);
    static std::string DataStreamsHeader(const std::vector<uint8_t>& dataStreams);

    // Larger files are refused.
    static constexpr size_t kMaxFileBytes = 64 * 1024 * 1024;

    // Synthesizer tick of a time in nanoseconds: ceiling of t x 750 / 10^9.
    static uint64_t TimeToTick(uint64_t timeNs);

private:
    std::vector<std::vector<Event>> streams;
    uint32_t songLength = 0;
};

} // namespace brl::Korvax
