#pragma once

// Writing Standard MIDI Files (format 1) for the bundled songs: one track per
// instrument, events sorted by time with note-offs before note-ons at a tick.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace korvax_demo {

struct Event {
    int tick;
    int order; // at one tick: note-offs (0) before note-ons (1)
    std::vector<uint8_t> bytes;
};

// One track. A track named "korvax chNN" (NN the synthesizer channel in hex)
// plays on that channel when imported. Every note ends `gap` ticks early, so
// that a repeated note's note-off never shares a synthesizer tick with the next
// note-on.
class Track {
public:
    Track(std::string trackName, int midiChannel, int gapTicks = 4)
        : name(std::move(trackName)), channel(midiChannel), gap(gapTicks) {}

    void Note(int start, int length, int note, int velocity) {
        const int end = start + std::max(1, length - gap);
        events.push_back({start, 1, {static_cast<uint8_t>(0x90 | channel), Byte(note), Byte(velocity)}});
        events.push_back({end, 0, {static_cast<uint8_t>(0x80 | channel), Byte(note), 0x40}});
    }
    void Controller(int tick, int number, int value) {
        events.push_back({tick, 0, {static_cast<uint8_t>(0xB0 | channel), Byte(number), Byte(value)}});
    }
    void Meta(int tick, uint8_t type, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> bytes = {0xFF, type, static_cast<uint8_t>(data.size())};
        bytes.insert(bytes.end(), data.begin(), data.end());
        events.push_back({tick, 0, bytes});
    }

    // The "MTrk" chunk: the name at tick 0, the events in time order, the end
    // of the track at `endTick` (or at the last event, if that is later).
    std::vector<uint8_t> Chunk(int endTick) const {
        std::vector<Event> sorted = events;
        std::stable_sort(sorted.begin(), sorted.end(), [](const Event& a, const Event& b) {
            return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
        });
        std::vector<uint8_t> body;
        AppendDelta(body, 0);
        body.insert(body.end(), {0xFF, 0x03, static_cast<uint8_t>(name.size())});
        body.insert(body.end(), name.begin(), name.end());
        int last = 0;
        for (const Event& e : sorted) {
            AppendDelta(body, e.tick - last);
            body.insert(body.end(), e.bytes.begin(), e.bytes.end());
            last = e.tick;
        }
        AppendDelta(body, std::max(0, endTick - last));
        body.insert(body.end(), {0xFF, 0x2F, 0x00});

        std::vector<uint8_t> chunk = {'M', 'T', 'r', 'k'};
        AppendU32(chunk, static_cast<uint32_t>(body.size()));
        chunk.insert(chunk.end(), body.begin(), body.end());
        return chunk;
    }

    static void AppendU32(std::vector<uint8_t>& out, uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<uint8_t>(v >> shift));
        }
    }

private:
    static uint8_t Byte(int v) { return static_cast<uint8_t>(v & 0x7F); }
    // A variable-length quantity: 7 bits per byte, most significant first.
    static void AppendDelta(std::vector<uint8_t>& out, int delta) {
        const auto v = static_cast<uint32_t>(delta);
        bool started = false;
        for (int shift = 21; shift > 0; shift -= 7) {
            const auto part = static_cast<uint8_t>((v >> shift) & 0x7F);
            if (started || part != 0) {
                out.push_back(static_cast<uint8_t>(part | 0x80));
                started = true;
            }
        }
        out.push_back(static_cast<uint8_t>(v & 0x7F));
    }

    std::string name;
    int channel;
    int gap;
    std::vector<Event> events;
};

// The whole file: the header chunk and the tracks, each ending at `endTick`.
inline std::vector<uint8_t> MidiFile(const std::vector<const Track*>& tracks, int ticksPerQuarter,
                                     int endTick) {
    std::vector<uint8_t> file = {'M', 'T', 'h', 'd'};
    Track::AppendU32(file, 6);
    const uint8_t header[] = {0x00,
                              0x01,
                              0x00,
                              static_cast<uint8_t>(tracks.size()),
                              static_cast<uint8_t>(ticksPerQuarter >> 8),
                              static_cast<uint8_t>(ticksPerQuarter)};
    file.insert(file.end(), std::begin(header), std::end(header));
    for (const Track* track : tracks) {
        const std::vector<uint8_t> chunk = track->Chunk(endTick);
        file.insert(file.end(), chunk.begin(), chunk.end());
    }
    return file;
}

// Writes bytes to a file; false (with the reason on standard error) on failure.
inline bool WriteBytes(const char* program, const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot create '%s'\n", program, path.c_str());
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "%s: writing '%s' failed\n", program, path.c_str());
        return false;
    }
    return true;
}

} // namespace korvax_demo
