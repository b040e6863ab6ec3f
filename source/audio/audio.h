#pragma once

// Platform-neutral pieces of the audio layer: the stream format a host asks
// for, the buffering configuration, what a device can do, sample conversion,
// sample width negotiation and the underrun classification. Everything here
// is plain data and free functions; the conversion and classification
// functions are noexcept and safe on an audio thread.

#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace brl::Config {
class Frontend;
}

namespace brl::Audio {

// Speaker positions of a channel mask, bit by bit (bit 0 FRONT_LEFT ... bit 17
// TOP_BACK_RIGHT). SPEAKER_ALL (bit 31) stands for any or all speakers.
inline constexpr uint64_t SPEAKER_FRONT_LEFT = 1ull << 0;
inline constexpr uint64_t SPEAKER_FRONT_RIGHT = 1ull << 1;
inline constexpr uint64_t SPEAKER_FRONT_CENTER = 1ull << 2;
inline constexpr uint64_t SPEAKER_LOW_FREQUENCY = 1ull << 3;
inline constexpr uint64_t SPEAKER_BACK_LEFT = 1ull << 4;
inline constexpr uint64_t SPEAKER_BACK_RIGHT = 1ull << 5;
inline constexpr uint64_t SPEAKER_FRONT_LEFT_OF_CENTER = 1ull << 6;
inline constexpr uint64_t SPEAKER_FRONT_RIGHT_OF_CENTER = 1ull << 7;
inline constexpr uint64_t SPEAKER_BACK_CENTER = 1ull << 8;
inline constexpr uint64_t SPEAKER_SIDE_LEFT = 1ull << 9;
inline constexpr uint64_t SPEAKER_SIDE_RIGHT = 1ull << 10;
inline constexpr uint64_t SPEAKER_TOP_CENTER = 1ull << 11;
inline constexpr uint64_t SPEAKER_TOP_FRONT_LEFT = 1ull << 12;
inline constexpr uint64_t SPEAKER_TOP_FRONT_CENTER = 1ull << 13;
inline constexpr uint64_t SPEAKER_TOP_FRONT_RIGHT = 1ull << 14;
inline constexpr uint64_t SPEAKER_TOP_BACK_LEFT = 1ull << 15;
inline constexpr uint64_t SPEAKER_TOP_BACK_CENTER = 1ull << 16;
inline constexpr uint64_t SPEAKER_TOP_BACK_RIGHT = 1ull << 17;
inline constexpr uint64_t SPEAKER_ALL = 1ull << 31;
inline constexpr int kNamedSpeakers = 18;

// Mask of a device channel: its own speaker bit for the first 18 channels,
// SPEAKER_ALL for the rest.
uint64_t SpeakerOfChannel(uint32_t channel);

// Text form of a mask: every set bit as a blank and its name, in bit order
// (" FRONT_LEFT FRONT_RIGHT"). Bit 31 is "ALL", other unnamed bits "BIT_<n>".
String ChannelMaskToString(uint64_t mask);

// Whether a mask can describe `channels` channels: 0 always can; a mask with
// bit 31 or a higher bit set may name at most `channels` speakers among bits
// 0..30; any other mask must name exactly `channels` speakers.
bool ChannelMaskFits(uint64_t mask, uint32_t channels);

// What the host asks of a port.
struct Format {
    uint32_t InputChannels = 0;
    uint64_t InputChannelMask = 0; // 0: unspecified
    uint32_t OutputChannels = 0;
    uint64_t OutputChannelMask = 0; // 0: unspecified
    uint32_t FramesPerSecond = 0;

    friend bool operator==(const Format&, const Format&) = default;
};

// Multi-line text form of a format, for log lines.
String ToString(const Format& format);

// Buffering of a port. A chunk is FramesPerChunk frames: the unit in which
// the port asks its handler for audio (one IStreamHandler::Process call).
struct PortConfig {
    uint32_t FramesPerChunk = 2048;
    uint32_t OutputChunks = 4; // chunks queued at the platform
    uint32_t InputChunks = 0;
    String ClientName = L"brelm"; // name on sound servers that want one
    String PortName = L"audio";
    int32_t Priority = 0; // 2: the audio thread asks for "Pro Audio", else "Audio"

    friend bool operator==(const PortConfig&, const PortConfig&) = default;
};

// "FramesPerChunk: 2048\nInputChunks: 0\nOutputChunks: 4\n"
String ToString(const PortConfig& config);

struct Range {
    uint32_t Min = 0;
    uint32_t Max = 0;
    friend bool operator==(const Range&, const Range&) = default;
};

// What a port can do, filled by its backend when the port is initialised.
// The mask lists hold one mask per device channel.
struct Caps {
    std::vector<uint32_t> FramesPerSecond;
    Range FramesPerChunk;
    Range Chunks;
    std::vector<uint64_t> InputChannelMasks;
    std::vector<uint64_t> OutputChannelMasks;

    void Clear() { *this = Caps(); }
    // Multi-line text; the rate list is shown as its first and last entry.
    String ToString() const;
};

// Sample conversion between the nominal float range -1..+1 and the integer
// device formats. 8 bit: x * 128 rounded toward zero, clamped to -128..127;
// 16 bit: x * 32768 rounded toward zero, clamped to -32768..32767. NaN becomes
// 0. 32-bit samples are the floats themselves.
int8_t ToInt8(float sample) noexcept;
int16_t ToInt16(float sample) noexcept;
float FromInt8(int8_t sample) noexcept;
float FromInt16(int16_t sample) noexcept;

// Writes frames [offset, offset + frames) of the non-interleaved channels to
// `out`, interleaved frame by frame in `width`-byte samples (4: float, 2 and
// 1: signed integers, native byte order). Other widths write nothing.
void Interleave(const float* const* channels, uint32_t channelCount, uint32_t offset, uint32_t frames,
                int width, void* out) noexcept;
// The reverse: reads interleaved `width`-byte samples into frames
// [offset, offset + frames) of the channels.
void Deinterleave(const void* in, int width, uint32_t channelCount, uint32_t offset, uint32_t frames,
                  float* const* channels) noexcept;

// Sample width negotiation: tries 4-byte samples, then 2, then 1, logging
// "trying <n> byte wide samples" at trace before each attempt, until `accept`
// returns true. Returns the accepted width, or 0 when none was accepted.
int NegotiateSampleWidth(Logging::Logger& logger, const std::function<bool(int width)>& accept);

// What the end of one output chunk says about the platform's queue, given the
// chunks still queued (before refilling) and the configured OutputChunks.
enum class Underrun : int {
    None = 0,
    Soft = 1,     // "big jitter (soft underrun)", verbose
    Hard = 2,     // "hard underrun", warning
    Confused = 3, // "underrun and seriously confused", error
};
Underrun ClassifyUnderrun(uint32_t queued, uint32_t outputChunks) noexcept;
const wchar_t* UnderrunText(Underrun underrun) noexcept;
int UnderrunLevel(Underrun underrun) noexcept;

// Device settings a host reads (keys below a host's prefix):
// "Audio/SamplingRate", "Audio/Latency" (ms), "Audio/ChannelMask",
// "Audio/Device/API" and "Audio/Device/ID" (which device of the master list:
// Io::GetApi() and Io::GetDeviceId(); empty for the first device).
inline constexpr int kDefaultSamplingRate = 96000;
inline constexpr int kDefaultLatencyMs = 20;
inline constexpr int kDefaultChannelMask = 0; // the first two channels

struct DeviceSettings {
    String Api;
    String Id;
    int SamplingRate = kDefaultSamplingRate;
    int LatencyMs = kDefaultLatencyMs;
    int ChannelMask = kDefaultChannelMask;

    static DeviceSettings Read(Config::Frontend& config, const String& keyPrefix = String());
};

// A setting key below a host's prefix ("Audio/Backends" under "Synth" is
// "Synth/Audio/Backends"); an empty prefix leaves the key as it is.
String SettingKey(const String& keyPrefix, const wchar_t* key);

// Frames in `latencyMs` milliseconds at `framesPerSecond`, rounded to the
// nearest frame and at least 1.
uint32_t FramesForLatency(int latencyMs, uint32_t framesPerSecond);

} // namespace brl::Audio
