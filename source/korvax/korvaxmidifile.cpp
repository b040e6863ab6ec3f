#include "korvax/korvaxmidifile.h"

#include "libbrelm/debug.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string>

namespace brl::Korvax {

namespace {

constexpr uint64_t kNsPerSecond = 1000000000;
constexpr uint64_t kNsPerMs = 1000000;
constexpr uint64_t kTicksPerSecond = 750;
constexpr uint32_t kInitialTempo = 500000;
// The latest elapsed time whose tick still lies below the stream terminator,
// so that no tick and no delta of a song can be mistaken for it.
constexpr uint64_t kMaxElapsedNs =
    uint64_t{MidiFileConverter::kStreamEnd - 1} * kNsPerSecond / kTicksPerSecond;
constexpr size_t kMaxVlqBytes = 4;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr OpenFile(const String& path, const char* mode) {
    return FilePtr(std::fopen(ToUtf8(path).c_str(), mode));
}

// Reads until the end of the file; no size is asked for first, since a
// directory or a pipe opens fine but reports none that can be trusted.
bool ReadWholeFile(const String& path, std::vector<uint8_t>& bytes) {
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        return false;
    }
    uint8_t chunk[65536];
    try {
        for (size_t got; (got = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0;) {
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return std::ferror(file.get()) == 0;
}

uint32_t ReadU32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint16_t ReadU16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 0;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%02x", value);
    return text;
}

std::string EscapeXml(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

struct TrackState {
    size_t pos = 0;
    size_t end = 0;
    uint64_t tick = 0;
    uint8_t runningStatus = 0;
    std::array<uint8_t, 16> programs{};
};

struct Keyframe {
    uint64_t timeMs = 0;
    float trigger = 0.0f;
    float triggerTime = 0.0f;
};

enum class VlqResult { Ok, Truncated, TooLong };

// Reads a variable-length quantity of at most four bytes inside [pos, end).
VlqResult ReadVlq(const std::vector<uint8_t>& bytes, size_t pos, size_t end, uint32_t& value,
                  size_t& length) {
    value = 0;
    for (length = 1; length <= kMaxVlqBytes; ++length) {
        if (pos + length > end) {
            return VlqResult::Truncated;
        }
        const uint8_t byte = bytes[pos + length - 1];
        value = (value << 7) | (byte & 0x7F);
        if ((byte & 0x80) == 0) {
            return VlqResult::Ok;
        }
    }
    return VlqResult::TooLong;
}

// Writes the timeline document; false when the file cannot be written completely.
bool WriteTimeline(const String& path, const std::array<std::string, 32>& names,
                   const std::array<std::vector<Keyframe>, 32>& keyframes) {
    FilePtr file = OpenFile(path, "wb");
    if (!file) {
        return false;
    }
    bool ok = std::fputs("<brelmtimeline><paramsets>\n", file.get()) >= 0;
    for (size_t c = 0; c < names.size() && ok; ++c) {
        ok = std::fprintf(file.get(), "<paramset name=\"%s\">\n", EscapeXml(names[c]).c_str()) >= 0;
        for (const Keyframe& key : keyframes[c]) {
            if (ok && key.triggerTime > 0.0f) {
                ok =
                    std::fprintf(file.get(),
                                 "<keyframe time=\"%" PRIu64 "\"><param name=\"trigger\"><float value=\"%f\" "
                                 "/></param><param name=\"trigger_time\"><float value=\"%f\" "
                                 "/></param></keyframe>\n",
                                 key.timeMs, static_cast<double>(key.trigger),
                                 static_cast<double>(key.triggerTime)) >= 0;
            }
        }
        ok = ok && std::fputs("</paramset>\n", file.get()) >= 0;
    }
    ok = ok && std::fputs("</paramsets></brelmtimeline>\n", file.get()) >= 0;
    return std::fclose(file.release()) == 0 && ok;
}

} // namespace

MidiFileConverter::MidiFileConverter() : streams(SYNTH_MEMORY_MIDI_LEN) {}

uint64_t MidiFileConverter::TimeToTick(uint64_t timeNs) {
    // The ceiling of t x 750 / 10^9, split so that no time can overflow.
    const uint64_t seconds = timeNs / kNsPerSecond;
    const uint64_t rest = timeNs % kNsPerSecond;
    return seconds * kTicksPerSecond + (rest * kTicksPerSecond + kNsPerSecond - 1) / kNsPerSecond;
}

void MidiFileConverter::RecordEvent(uint64_t timeNs, uint32_t channel, uint32_t slot, uint8_t value) {
    const uint64_t streamId = uint64_t{channel} * 256 + slot;
    if (streamId >= SYNTH_MEMORY_MIDI_LEN) {
        BRL_BUG("stream_id >= SYNTH_MEMORY_MIDI_LEN");
        return;
    }
    streams[streamId].push_back({static_cast<uint32_t>(TimeToTick(timeNs)), value});
}

bool MidiFileConverter::parseSMF(Logging::Logger& logger, const String& path,
                                 const ChannelNames* channelNames, bool timeline) {
    for (std::vector<Event>& stream : streams) {
        stream.clear();
    }
    songLength = 0;

    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes)) {
        BRL_LOG_ERROR(logger, "cannot read file ", path);
        return false;
    }
    if (bytes.size() < 4 || bytes[0] != 'M' || bytes[1] != 'T' || bytes[2] != 'h' || bytes[3] != 'd') {
        BRL_LOG_ERROR(logger, "header magic != MThd");
        return false;
    }
    if (bytes.size() < 14) {
        BRL_LOG_ERROR(logger, "truncated file");
        return false;
    }
    const uint32_t headerSize = ReadU32(&bytes[4]);
    const uint16_t format = ReadU16(&bytes[8]);
    const uint16_t trackCount = ReadU16(&bytes[10]);
    const uint16_t ticksPerQuarter = ReadU16(&bytes[12]);
    BRL_LOG_TRACE(logger, "headersize: ", headerSize);
    BRL_LOG_TRACE(logger, "format: ", format);
    BRL_LOG_TRACE(logger, "num tracks: ", trackCount);
    BRL_LOG_TRACE(logger, "ticks per quarter: ", ticksPerQuarter);
    if (format > 2 || trackCount < 1 || (format == 0 && trackCount != 1) || ticksPerQuarter == 0) {
        return false;
    }

    std::vector<TrackState> tracks(trackCount);
    uint64_t offset = 8 + uint64_t{headerSize};
    for (size_t i = 0; i < tracks.size(); ++i) {
        BRL_LOG_TRACE(logger, "track #", i);
        if (offset + 8 > bytes.size()) {
            BRL_LOG_ERROR(logger, "truncated file");
            return false;
        }
        const uint8_t* chunk = &bytes[offset];
        if (chunk[0] != 'M' || chunk[1] != 'T' || chunk[2] != 'r' || chunk[3] != 'k') {
            BRL_LOG_ERROR(logger, "track header magic != MTrk");
            return false;
        }
        const uint64_t length = ReadU32(chunk + 4);
        if (offset + 8 + length > bytes.size()) {
            BRL_LOG_ERROR(logger, "truncated file");
            return false;
        }
        tracks[i].pos = offset + 8;
        tracks[i].end = offset + 8 + length;
        offset += 8 + length;
    }

    uint32_t tempo = kInitialTempo;
    uint64_t elapsed = 0;
    uint64_t remainder = 0;
    std::array<uint8_t, 8> currentPrograms{};
    std::array<std::string, 32> timelineNames;
    std::array<std::vector<Keyframe>, 32> keyframes;
    if (timeline) {
        for (size_t c = 0; c < timelineNames.size(); ++c) {
            timelineNames[c] =
                "MIDI:" + (channelNames != nullptr ? ToUtf8((*channelNames)[c]) : std::string());
        }
    }

    uint64_t midiTick = 0;
    size_t trackIndex = 0;

    // Handles one channel message whose status is known and whose data bytes lie in the track.
    auto handleChannelMessage = [&](TrackState& track, uint8_t status, const uint8_t* data) {
        const int index = status & 0x07;
        if (currentPrograms[index] != track.programs[index]) {
            currentPrograms[index] = track.programs[index];
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex,
                          ": SYNTHESIZING program change event");
        }
        const uint32_t channel = currentPrograms[index] % 32u;
        auto noteOff = [&](uint8_t note) {
            RecordEvent(elapsed, channel, 255, note);
            if (timeline && !keyframes[channel].empty()) {
                Keyframe& key = keyframes[channel].back();
                key.triggerTime = static_cast<float>(elapsed / kNsPerMs - key.timeMs) / 1000.0f;
            }
        };
        switch (status & 0xF0) {
        case 0x80:
            noteOff(data[0]);
            break;
        case 0x90:
            if (data[1] == 0) {
                noteOff(data[0]);
            } else {
                RecordEvent(elapsed, channel, 253, data[1]);
                RecordEvent(elapsed, channel, 254, data[0]);
                if (timeline) {
                    keyframes[channel].push_back({elapsed / kNsPerMs, data[1] / 128.0f, 0.0f});
                }
            }
            break;
        case 0xB0:
            if (data[0] < 120) {
                RecordEvent(elapsed, channel, data[0], data[1]);
            }
            break;
        case 0xC0:
            track.programs[index] = data[0];
            break;
        default:
            break;
        }
    };

    // Handles one meta event; false when it fails the conversion.
    auto handleMeta = [&](TrackState& track, uint8_t type, const uint8_t* data, uint8_t length) {
        const std::string text(reinterpret_cast<const char*>(data), length);
        auto requireLength = [&](uint8_t required) {
            if (length != required) {
                BRL_LOG_ERROR(logger, "wrong meta event ", Hex(type), ": length ", unsigned{length});
                return false;
            }
            return true;
        };
        switch (type) {
        case 0x00:
            if (!requireLength(2)) {
                return false;
            }
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex,
                          ": sequence number: ", ReadU16(data));
            break;
        case 0x01:
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex, ": text: ", text);
            break;
        case 0x02:
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex, ": copyright: ", text);
            break;
        case 0x03:
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex,
                          ": sequence or track name: ", text);
            if (length == 11) {
                const uint8_t program = static_cast<uint8_t>(HexDigit(text[9]) * 16 + HexDigit(text[10]));
                track.programs.fill(program);
                BRL_LOG_INFO(logger, "parsing track name as korvax program change: ", unsigned{program});
            }
            break;
        case 0x04:
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex,
                          ": track instrument name: ", text);
            break;
        case 0x05:
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex, ": lyric: ", text);
            break;
        case 0x07:
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex, ": cue point: ", text);
            break;
        case 0x21:
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex, ": start of track (length ",
                          unsigned{length}, ")");
            break;
        case 0x2F:
            if (!requireLength(0)) {
                return false;
            }
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex, ": end of track");
            break;
        case 0x51:
            if (!requireLength(3)) {
                return false;
            }
            tempo = (uint32_t{data[0]} << 16) | (uint32_t{data[1]} << 8) | data[2];
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex, ": set tempo ", tempo,
                          " (microseconds/quarter)");
            break;
        case 0x58:
            if (!requireLength(4)) {
                return false;
            }
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex,
                          ": time signature num=", unsigned{data[0]}, " den=", unsigned{data[1]},
                          " ticks=", unsigned{data[2]}, " 32nd=", unsigned{data[3]});
            break;
        case 0x59:
            if (!requireLength(2)) {
                return false;
            }
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex,
                          ": key signature key=", static_cast<int>(static_cast<int8_t>(data[0])),
                          " gender=", unsigned{data[1]});
            break;
        default:
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex, ": unknown meta event ",
                          Hex(type));
            break;
        }
        return true;
    };

    // Handles the event at the track's read position; false when it fails the conversion.
    auto handleEvent = [&](TrackState& track) {
        uint8_t status = bytes[track.pos];
        if (status >= 0x80) {
            track.runningStatus = status;
            ++track.pos;
        } else if (track.runningStatus >= 0x80) {
            status = track.runningStatus;
        } else {
            BRL_LOG_ERROR(logger, "invalid status byte: ", Hex(status));
            return false;
        }
        if (status >= 0x80 && status <= 0xEF) {
            const uint8_t kind = status & 0xF0;
            const size_t dataLength = (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
            if (track.end - track.pos < dataLength) {
                BRL_LOG_ERROR(logger, "truncated track");
                return false;
            }
            handleChannelMessage(track, status, &bytes[track.pos]);
            track.pos += dataLength;
            return true;
        }
        if (status == 0xFF) {
            if (track.end - track.pos < 2 || track.end - track.pos - 2 < bytes[track.pos + 1]) {
                BRL_LOG_ERROR(logger, "truncated track");
                return false;
            }
            const uint8_t type = bytes[track.pos];
            const uint8_t length = bytes[track.pos + 1];
            const uint8_t* data = &bytes[track.pos + 2];
            track.pos += 2 + size_t{length};
            return handleMeta(track, type, data, length);
        }
        BRL_LOG_ERROR(logger, "invalid status byte: ", Hex(status));
        return false;
    };

    // Merge the tracks by MIDI tick. Between two events nothing happens but
    // the passing of time, so the merge jumps to the next pending event and
    // advances the elapsed time by all the ticks it skipped at once; the
    // remainder is carried exactly as one tick at a time would carry it.
    for (;;) {
        bool anyData = false;
        uint64_t nextTick = std::numeric_limits<uint64_t>::max();
        for (trackIndex = 0; trackIndex < tracks.size(); ++trackIndex) {
            TrackState& track = tracks[trackIndex];
            while (track.pos < track.end) {
                anyData = true;
                uint32_t delta = 0;
                size_t deltaLength = 0;
                const VlqResult vlq = ReadVlq(bytes, track.pos, track.end, delta, deltaLength);
                if (vlq == VlqResult::Truncated) {
                    BRL_LOG_ERROR(logger, "truncated track");
                    return false;
                }
                if (vlq == VlqResult::TooLong) {
                    BRL_LOG_ERROR(logger, "delta time longer than 4 bytes");
                    return false;
                }
                if (track.tick + delta > midiTick) {
                    nextTick = std::min(nextTick, track.tick + delta);
                    break;
                }
                track.tick += delta;
                track.pos += deltaLength;
                if (track.pos >= track.end) {
                    BRL_LOG_ERROR(logger, "truncated track");
                    return false;
                }
                if (!handleEvent(track)) {
                    return false;
                }
            }
        }
        if (!anyData) {
            break;
        }
        // With nothing pending, the next tick finds every track empty and ends the merge.
        const uint64_t steps = nextTick == std::numeric_limits<uint64_t>::max() ? 1 : nextTick - midiTick;
        const unsigned __int128 numerator =
            static_cast<unsigned __int128>(steps) * (uint64_t{tempo} * 1000) + remainder;
        const unsigned __int128 advance = numerator / ticksPerQuarter;
        if (advance > kMaxElapsedNs - elapsed) {
            BRL_LOG_ERROR(logger, "song too long");
            return false;
        }
        elapsed += static_cast<uint64_t>(advance);
        remainder = static_cast<uint64_t>(numerator % ticksPerQuarter);
        if (nextTick == std::numeric_limits<uint64_t>::max()) {
            break;
        }
        midiTick = nextTick;
    }
    songLength = static_cast<uint32_t>(TimeToTick(elapsed));

    if (timeline) {
        const String timelinePath = path + L"_small.xml";
        if (!WriteTimeline(timelinePath, timelineNames, keyframes)) {
            std::remove(ToUtf8(timelinePath).c_str());
            BRL_LOG_ERROR(logger, "cannot write timeline ", timelinePath);
            return false;
        }
    }
    return true;
}

std::vector<uint32_t> MidiFileConverter::BuildTimeStreams() const {
    std::vector<uint32_t> packed;
    for (const std::vector<Event>& stream : streams) {
        uint32_t previous = 0;
        for (const Event& event : stream) {
            packed.push_back(event.tick - previous);
            previous = event.tick;
        }
        packed.push_back(kStreamEnd);
    }
    return packed;
}

std::vector<uint8_t> MidiFileConverter::BuildDataStreams() const {
    std::vector<uint8_t> packed;
    for (const std::vector<Event>& stream : streams) {
        uint8_t previous = 0;
        for (const Event& event : stream) {
            packed.push_back(static_cast<uint8_t>(event.value - previous));
            previous = event.value;
        }
    }
    return packed;
}

bool MidiFileConverter::ExportHeaders(Logging::Logger& logger, const std::vector<uint32_t>& timeStreams,
                                      const std::vector<uint8_t>& dataStreams, const String& basePath) {
    // Byte planes: all lowest bytes first, then all second bytes, and so on.
    const size_t count = timeStreams.size();
    std::vector<uint8_t> planes(count * 4);
    for (size_t p = 0; p < 4; ++p) {
        for (size_t i = 0; i < count; ++i) {
            planes[p * count + i] = static_cast<uint8_t>(timeStreams[i] >> (8 * p));
        }
    }

    auto writeArray = [&](const String& path, const char* type, const char* name, size_t elements,
                          size_t perLine, auto element) {
        FilePtr file = OpenFile(path, "wb");
        if (!file) {
            BRL_LOG_ERROR(logger, "cannot open ", path);
            return false;
        }
        bool ok = std::fprintf(file.get(), "static %s %s %s[] = {\n", "const", type, name) >= 0;
        for (size_t i = 0; i < elements && ok; ++i) {
            ok = element(file.get(), i) >= 0;
            if (ok && i + 1 < elements) {
                ok = std::fputs(", ", file.get()) >= 0;
            }
            if (ok && i % perLine == perLine - 1) {
                ok = std::fputs("\n", file.get()) >= 0;
            }
        }
        ok = ok && std::fputs("\n};\n", file.get()) >= 0;
        ok = std::fclose(file.release()) == 0 && ok;
        if (!ok) {
            BRL_LOG_ERROR(logger, "cannot write ", path);
        }
        return ok;
    };

    const bool timeOk = writeArray(
        basePath + L".timestreams.h", "u32", "korvax_timestreams", count, 8, [&](std::FILE* file, size_t i) {
            const uint8_t* word = &planes[i * 4];
            const uint32_t value = uint32_t{word[0]} | (uint32_t{word[1]} << 8) | (uint32_t{word[2]} << 16) |
                                   (uint32_t{word[3]} << 24);
            return std::fprintf(file, "0x%08x", value);
        });
    const bool dataOk =
        writeArray(basePath + L".datastreams.h", "u8", "korvax_datastreams", dataStreams.size(), 32,
                   [&](std::FILE* file, size_t i) {
                       return std::fprintf(file, "0x%02x", static_cast<unsigned>(dataStreams[i]));
                   });
    return timeOk && dataOk;
}

} // namespace brl::Korvax
