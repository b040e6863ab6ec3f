#include "korvax/korvaxmidifile.h"

#include "libbrelm/debug.h"
#include "libbrelm/files.h"

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

// The timeline document.
std::string TimelineText(const std::array<std::string, 32>& names,
                         const std::array<std::vector<Keyframe>, 32>& keyframes) {
    std::string text = "<brelmtimeline><paramsets>\n";
    char line[512];
    for (size_t c = 0; c < names.size(); ++c) {
        text += "<paramset name=\"" + EscapeXml(names[c]) + "\">\n";
        for (const Keyframe& key : keyframes[c]) {
            if (key.triggerTime > 0.0f) {
                std::snprintf(line, sizeof line,
                              "<keyframe time=\"%" PRIu64 "\"><param name=\"trigger\"><float value=\"%f\" "
                              "/></param><param name=\"trigger_time\"><float value=\"%f\" "
                              "/></param></keyframe>\n",
                              key.timeMs, static_cast<double>(key.trigger),
                              static_cast<double>(key.triggerTime));
                text += line;
            }
        }
        text += "</paramset>\n";
    }
    text += "</paramsets></brelmtimeline>\n";
    return text;
}

// The text of a C array of `count` elements, `perLine` to a line.
template <typename Element>
std::string ArrayHeader(const char* type, const char* name, size_t count, size_t perLine, Element element) {
    std::string text = std::string("static const ") + type + " " + name + "[] = {\n";
    char value[16];
    for (size_t i = 0; i < count; ++i) {
        element(value, sizeof value, i);
        text += value;
        if (i + 1 < count) {
            text += ", ";
        }
        if (i % perLine == perLine - 1) {
            text += "\n";
        }
    }
    text += "\n};\n";
    return text;
}

// Frames per second of an SMPTE division's high byte, as a fraction: 29 is
// the 30000/1001 of drop-frame time code. False for other values.
bool SmpteRate(int8_t code, uint64_t& numerator, uint64_t& denominator) {
    switch (-code) {
    case 24:
    case 25:
    case 30:
        numerator = static_cast<uint64_t>(-code);
        denominator = 1;
        return true;
    case 29:
        numerator = 30000;
        denominator = 1001;
        return true;
    default:
        return false;
    }
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

bool MidiFileConverter::parseSMF(Logging::Logger& logger, const std::string& path,
                                 const ChannelNames* channelNames, bool timeline) {
    std::string timelineXml;
    if (!Convert(logger, path, channelNames, timeline ? &timelineXml : nullptr)) {
        return false;
    }
    if (timeline) {
        const std::string timelinePath = path + "_small.xml";
        std::string problem;
        if (!Files::ReplaceFile(timelinePath, timelineXml, problem)) {
            BRL_LOG_ERROR(logger, "cannot write timeline '", timelinePath, "': ", problem);
            return false;
        }
    }
    return true;
}

bool MidiFileConverter::Convert(Logging::Logger& logger, const std::string& path,
                                const ChannelNames* channelNames, std::string* timelineXml) {
    for (std::vector<Event>& stream : streams) {
        stream.clear();
    }
    songLength = 0;
    const bool timeline = timelineXml != nullptr;

    std::vector<uint8_t> bytes;
    {
        std::string text;
        std::string problem;
        if (Files::ReadRegularFile(path, kMaxFileBytes, text, problem) != Files::ReadStatus::Ok) {
            BRL_LOG_ERROR(logger, "cannot read file '", path, "': ", problem);
            return false;
        }
        bytes.assign(text.begin(), text.end());
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
    const uint16_t division = ReadU16(&bytes[12]);
    BRL_LOG_TRACE(logger, "headersize: ", headerSize);
    BRL_LOG_TRACE(logger, "format: ", format);
    BRL_LOG_TRACE(logger, "num tracks: ", trackCount);
    BRL_LOG_TRACE(logger, "ticks per quarter: ", division);
    if (format > 2) {
        BRL_LOG_ERROR(logger, "unsupported format ", format);
        return false;
    }
    if (trackCount < 1) {
        BRL_LOG_ERROR(logger, "no tracks");
        return false;
    }
    if (format == 0 && trackCount != 1) {
        BRL_LOG_ERROR(logger, "format 0 with ", trackCount, " tracks");
        return false;
    }
    // Nanoseconds per MIDI tick as a fraction: tempo x 1000 / ticks per
    // quarter, or with an SMPTE division (negative high byte) 10^9 / (frames
    // per second x ticks per frame), whatever the tempo.
    const bool smpte = (division & 0x8000) != 0;
    const uint64_t ticksPerUnit = smpte ? (division & 0xFF) : division;
    uint64_t frameNumerator = 1;
    uint64_t frameDenominator = 1;
    if (smpte && !SmpteRate(static_cast<int8_t>(division >> 8), frameNumerator, frameDenominator)) {
        BRL_LOG_ERROR(logger, "unsupported SMPTE rate of ",
                      -static_cast<int>(static_cast<int8_t>(division >> 8)), " frames per second");
        return false;
    }
    if (ticksPerUnit == 0) {
        BRL_LOG_ERROR(logger, "division of 0 ticks");
        return false;
    }
    if (smpte) {
        BRL_LOG_TRACE(logger, "SMPTE division: ", -static_cast<int>(static_cast<int8_t>(division >> 8)),
                      " frames per second, ", ticksPerUnit, " ticks per frame");
    }
    const uint64_t tickDenominator = smpte ? frameNumerator * ticksPerUnit : ticksPerUnit;

    std::vector<TrackState> tracks(trackCount);
    uint64_t offset = 8 + uint64_t{headerSize};
    for (size_t i = 0; i < tracks.size();) {
        if (offset + 8 > bytes.size()) {
            BRL_LOG_ERROR(logger, "truncated file");
            return false;
        }
        const uint8_t* chunk = &bytes[offset];
        const uint64_t length = ReadU32(chunk + 4);
        const bool isTrack = chunk[0] == 'M' && chunk[1] == 'T' && chunk[2] == 'r' && chunk[3] == 'k';
        // Other chunk types (four printable ASCII letters) are skipped, as the
        // file format asks; anything else is damage.
        if (!isTrack && !std::all_of(chunk, chunk + 4, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; })) {
            BRL_LOG_ERROR(logger, "track header magic != MTrk");
            return false;
        }
        if (offset + 8 + length > bytes.size()) {
            BRL_LOG_ERROR(logger, "truncated file");
            return false;
        }
        if (isTrack) {
            BRL_LOG_TRACE(logger, "track #", i);
            tracks[i].pos = offset + 8;
            tracks[i].end = offset + 8 + length;
            ++i;
        } else {
            BRL_LOG_TRACE(logger, "skipping chunk '", std::string(chunk, chunk + 4), "' (length ", length,
                          ")");
        }
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
    auto handleMeta = [&](TrackState& track, uint8_t type, const uint8_t* data, uint32_t length) {
        const std::string text(reinterpret_cast<const char*>(data), length);
        auto requireLength = [&](uint32_t required) {
            if (length != required) {
                BRL_LOG_ERROR(logger, "wrong meta event ", Hex(type), ": length ", length);
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
                          length, ")");
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
        if (status == 0xFF || status == 0xF0 || status == 0xF7) {
            // Meta: type, length, data. SysEx: length, data. Lengths are
            // variable-length numbers.
            const size_t lengthAt = status == 0xFF ? track.pos + 1 : track.pos;
            uint32_t length = 0;
            size_t lengthSize = 0;
            if (lengthAt >= track.end ||
                ReadVlq(bytes, lengthAt, track.end, length, lengthSize) != VlqResult::Ok ||
                track.end - lengthAt - lengthSize < length) {
                BRL_LOG_ERROR(logger, "truncated track");
                return false;
            }
            const uint8_t* data = bytes.data() + lengthAt + lengthSize;
            track.pos = lengthAt + lengthSize + length;
            if (status == 0xFF) {
                return handleMeta(track, bytes[lengthAt - 1], data, length);
            }
            BRL_LOG_TRACE(logger, "tick ", midiTick, " track ", trackIndex, ": sysex ", Hex(status),
                          " (length ", length, "), skipped");
            // A SysEx packet ends the running status.
            track.runningStatus = 0;
            return true;
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
        const uint64_t perTick = smpte ? kNsPerSecond * frameDenominator : uint64_t{tempo} * 1000;
        const unsigned __int128 numerator = static_cast<unsigned __int128>(steps) * perTick + remainder;
        const unsigned __int128 advance = numerator / tickDenominator;
        if (advance > kMaxElapsedNs - elapsed) {
            BRL_LOG_ERROR(logger, "song too long");
            return false;
        }
        elapsed += static_cast<uint64_t>(advance);
        remainder = static_cast<uint64_t>(numerator % tickDenominator);
        if (nextTick == std::numeric_limits<uint64_t>::max()) {
            break;
        }
        midiTick = nextTick;
    }
    songLength = static_cast<uint32_t>(TimeToTick(elapsed));

    if (timeline) {
        *timelineXml = TimelineText(timelineNames, keyframes);
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

std::vector<uint8_t> MidiFileConverter::TimeStreamBytes(const std::vector<uint32_t>& timeStreams) {
    // Byte planes: all lowest bytes first, then all second bytes, and so on.
    const size_t count = timeStreams.size();
    std::vector<uint8_t> planes(count * 4);
    for (size_t p = 0; p < 4; ++p) {
        for (size_t i = 0; i < count; ++i) {
            planes[p * count + i] = static_cast<uint8_t>(timeStreams[i] >> (8 * p));
        }
    }
    return planes;
}

std::string MidiFileConverter::TimeStreamsHeader(const std::vector<uint32_t>& timeStreams) {
    const size_t count = timeStreams.size();
    const std::vector<uint8_t> planes = TimeStreamBytes(timeStreams);
    return ArrayHeader("u32", "korvax_timestreams", count, 8, [&](char* text, size_t size, size_t i) {
        const uint8_t* word = &planes[i * 4];
        const uint32_t value = uint32_t{word[0]} | (uint32_t{word[1]} << 8) | (uint32_t{word[2]} << 16) |
                               (uint32_t{word[3]} << 24);
        std::snprintf(text, size, "0x%08x", value);
    });
}

std::string MidiFileConverter::DataStreamsHeader(const std::vector<uint8_t>& dataStreams) {
    return ArrayHeader("u8", "korvax_datastreams", dataStreams.size(), 32,
                       [&](char* text, size_t size, size_t i) {
                           std::snprintf(text, size, "0x%02x", static_cast<unsigned>(dataStreams[i]));
                       });
}

bool MidiFileConverter::ExportHeaders(Logging::Logger& logger, const std::vector<uint32_t>& timeStreams,
                                      const std::vector<uint8_t>& dataStreams, const std::string& basePath) {
    Files::ReplacingFile timeFile(basePath + ".timestreams.h");
    Files::ReplacingFile dataFile(basePath + ".datastreams.h");
    // Both are written before either replaces its old file.
    for (auto [file, text] : {std::pair{&timeFile, TimeStreamsHeader(timeStreams)},
                              std::pair{&dataFile, DataStreamsHeader(dataStreams)}}) {
        if (!file->Open() || !file->Write(text) || !file->Finish()) {
            BRL_LOG_ERROR(logger, "cannot write '", file->Target().native(), "': ", file->Problem());
            return false;
        }
    }
    for (Files::ReplacingFile* file : {&timeFile, &dataFile}) {
        if (!file->Commit()) {
            BRL_LOG_ERROR(logger, "cannot write '", file->Target().native(), "': ", file->Problem());
            return false;
        }
    }
    return true;
}

} // namespace brl::Korvax
