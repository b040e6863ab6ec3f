#include "audio/audio.h"

#include "libbrelm/config.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace brl::Audio {

namespace {

const wchar_t* const kSpeakerNames[kNamedSpeakers] = {
    L"FRONT_LEFT",      L"FRONT_RIGHT",      L"FRONT_CENTER",         L"LOW_FREQUENCY",
    L"BACK_LEFT",       L"BACK_RIGHT",       L"FRONT_LEFT_OF_CENTER", L"FRONT_RIGHT_OF_CENTER",
    L"BACK_CENTER",     L"SIDE_LEFT",        L"SIDE_RIGHT",           L"TOP_CENTER",
    L"TOP_FRONT_LEFT",  L"TOP_FRONT_CENTER", L"TOP_FRONT_RIGHT",      L"TOP_BACK_LEFT",
    L"TOP_BACK_CENTER", L"TOP_BACK_RIGHT",
};

String MaskListText(const std::vector<uint64_t>& masks) {
    String text;
    for (uint64_t mask : masks) {
        text += mask == 0 ? String(L" -") : ChannelMaskToString(mask);
    }
    return text;
}

} // namespace

uint64_t SpeakerOfChannel(uint32_t channel) {
    return channel < kNamedSpeakers ? (1ull << channel) : SPEAKER_ALL;
}

String ChannelMaskToString(uint64_t mask) {
    String text;
    for (int bit = 0; bit < 64; ++bit) {
        if ((mask & (1ull << bit)) == 0) {
            continue;
        }
        text += L' ';
        if (bit < kNamedSpeakers) {
            text += kSpeakerNames[bit];
        } else if (bit == 31) {
            text += L"ALL";
        } else {
            text += Logging::Format("BIT_", bit);
        }
    }
    return text;
}

bool ChannelMaskFits(uint64_t mask, uint32_t channels) {
    if (mask == 0) {
        return true;
    }
    const uint32_t speakers = static_cast<uint32_t>(std::popcount(mask & 0x7fffffffull));
    if ((mask >> 31) != 0) {
        return speakers <= channels;
    }
    return speakers == channels;
}

String ToString(const Format& format) {
    return Logging::Format("InputChannels: ", format.InputChannels,
                           "\nInputChannelMask:", ChannelMaskToString(format.InputChannelMask),
                           "\nOutputChannels: ", format.OutputChannels,
                           "\nOutputChannelMask:", ChannelMaskToString(format.OutputChannelMask),
                           "\nFramesPerSecond: ", format.FramesPerSecond, "\n");
}

String ToString(const PortConfig& config) {
    return Logging::Format("FramesPerChunk: ", config.FramesPerChunk, "\nInputChunks: ", config.InputChunks,
                           "\nOutputChunks: ", config.OutputChunks, "\n");
}

String Caps::ToString() const {
    String rates;
    if (!FramesPerSecond.empty()) {
        rates = Logging::Format(FramesPerSecond.front());
        if (FramesPerSecond.size() > 1) {
            rates += Logging::Format(" - ", FramesPerSecond.back());
        }
    }
    return Logging::Format("FramesPerSecond: ", rates, "\nFramesPerChunk: ", FramesPerChunk.Min, " - ",
                           FramesPerChunk.Max, "\nChunks: ", Chunks.Min, " - ", Chunks.Max,
                           "\nInputChannels: ", InputChannelMasks.size(),
                           "\nInputChannelMasks:", MaskListText(InputChannelMasks),
                           "\nOutputChannels: ", OutputChannelMasks.size(),
                           "\nOutputChannelMasks:", MaskListText(OutputChannelMasks), "\n");
}

int8_t ToInt8(float sample) noexcept {
    const float scaled = sample * 128.0f;
    if (scaled >= 127.0f) {
        return 127;
    }
    if (scaled <= -128.0f) {
        return -128;
    }
    if (scaled != scaled) {
        return 0;
    }
    return static_cast<int8_t>(scaled);
}

int16_t ToInt16(float sample) noexcept {
    const float scaled = sample * 32768.0f;
    if (scaled >= 32767.0f) {
        return 32767;
    }
    if (scaled <= -32768.0f) {
        return -32768;
    }
    if (scaled != scaled) {
        return 0;
    }
    return static_cast<int16_t>(scaled);
}

float FromInt8(int8_t sample) noexcept {
    return static_cast<float>(sample) / 128.0f;
}

float FromInt16(int16_t sample) noexcept {
    return static_cast<float>(sample) / 32768.0f;
}

void Interleave(const float* const* channels, uint32_t channelCount, uint32_t offset, uint32_t frames,
                int width, void* out) noexcept {
    unsigned char* bytes = static_cast<unsigned char*>(out);
    for (uint32_t frame = 0; frame < frames; ++frame) {
        for (uint32_t c = 0; c < channelCount; ++c) {
            const float sample = channels[c][offset + frame];
            switch (width) {
            case 4:
                std::memcpy(bytes, &sample, 4);
                break;
            case 2: {
                const int16_t value = ToInt16(sample);
                std::memcpy(bytes, &value, 2);
                break;
            }
            case 1: {
                const int8_t value = ToInt8(sample);
                std::memcpy(bytes, &value, 1);
                break;
            }
            default:
                return;
            }
            bytes += width;
        }
    }
}

void Deinterleave(const void* in, int width, uint32_t channelCount, uint32_t offset, uint32_t frames,
                  float* const* channels) noexcept {
    const unsigned char* bytes = static_cast<const unsigned char*>(in);
    for (uint32_t frame = 0; frame < frames; ++frame) {
        for (uint32_t c = 0; c < channelCount; ++c) {
            float& sample = channels[c][offset + frame];
            switch (width) {
            case 4:
                std::memcpy(&sample, bytes, 4);
                break;
            case 2: {
                int16_t value = 0;
                std::memcpy(&value, bytes, 2);
                sample = FromInt16(value);
                break;
            }
            case 1: {
                int8_t value = 0;
                std::memcpy(&value, bytes, 1);
                sample = FromInt8(value);
                break;
            }
            default:
                return;
            }
            bytes += width;
        }
    }
}

int NegotiateSampleWidth(Logging::Logger& logger, const std::function<bool(int width)>& accept) {
    for (int width = 4; width > 0; width /= 2) {
        BRL_LOG_TRACE(logger, "trying ", width, " byte wide samples");
        if (accept(width)) {
            return width;
        }
    }
    return 0;
}

Underrun ClassifyUnderrun(uint32_t queued, uint32_t outputChunks) noexcept {
    if (queued == 0) {
        return Underrun::Confused;
    }
    if (queued == 1 && outputChunks > 2) {
        return Underrun::Hard;
    }
    if (static_cast<int64_t>(queued) < static_cast<int64_t>(outputChunks) - 1) {
        return Underrun::Soft;
    }
    return Underrun::None;
}

const wchar_t* UnderrunText(Underrun underrun) noexcept {
    switch (underrun) {
    case Underrun::Soft:
        return L"big jitter (soft underrun)";
    case Underrun::Hard:
        return L"hard underrun";
    case Underrun::Confused:
        return L"underrun and seriously confused";
    case Underrun::None:
        break;
    }
    return L"";
}

int UnderrunLevel(Underrun underrun) noexcept {
    switch (underrun) {
    case Underrun::Soft:
        return Logging::Verbose;
    case Underrun::Hard:
        return Logging::Warning;
    case Underrun::Confused:
        return Logging::Error;
    case Underrun::None:
        break;
    }
    return Logging::Disabled;
}

String SettingKey(const String& keyPrefix, const wchar_t* key) {
    if (keyPrefix.empty()) {
        return key;
    }
    return keyPrefix + L"/" + key;
}

DeviceSettings DeviceSettings::Read(Config::Frontend& config, const String& keyPrefix) {
    DeviceSettings settings;
    settings.Api =
        Config::Setting<String>(config, SettingKey(keyPrefix, L"Audio/Device/API"), String()).Get();
    settings.Id = Config::Setting<String>(config, SettingKey(keyPrefix, L"Audio/Device/ID"), String()).Get();
    settings.SamplingRate =
        Config::Setting<int>(config, SettingKey(keyPrefix, L"Audio/SamplingRate"), kDefaultSamplingRate)
            .Get();
    settings.LatencyMs =
        Config::Setting<int>(config, SettingKey(keyPrefix, L"Audio/Latency"), kDefaultLatencyMs).Get();
    settings.ChannelMask =
        Config::Setting<int>(config, SettingKey(keyPrefix, L"Audio/ChannelMask"), kDefaultChannelMask).Get();
    return settings;
}

uint32_t FramesForLatency(int latencyMs, uint32_t framesPerSecond) {
    const double frames = std::round(static_cast<double>(latencyMs) * framesPerSecond / 1000.0);
    if (!(frames >= 1.0)) {
        return 1;
    }
    if (frames >= 4294967295.0) {
        return 4294967295u;
    }
    return static_cast<uint32_t>(frames);
}

} // namespace brl::Audio
