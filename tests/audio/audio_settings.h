#pragma once

#include "audio/audio.h"
#include "libbrelm/config.h"
#include "libbrelm/configproviders.h"

#include <string>
#include <vector>

namespace brl::testing {

// A configuration frontend that answers from command-line options, as the
// program gets them ("--Audio-Backends", "fd", ...).
class CommandLineSettings {
public:
    explicit CommandLineSettings(std::vector<String> options)
        : commandLine_((options.insert(options.begin(), L"korvax"), options)) {
        frontend_.AddBase(&commandLine_);
    }
    Config::Frontend& Frontend() { return frontend_; }

private:
    Config::CommandlineProvider commandLine_;
    Config::Frontend frontend_;
};

// Stereo output at `rate` frames a second with `inputs` input channels.
inline Audio::Format Stereo(uint32_t rate = 48000, uint32_t inputs = 0) {
    return Audio::Format{inputs, 0, 2, 0, rate};
}

inline Audio::PortConfig Chunks(uint32_t frames, uint32_t output = 4, uint32_t input = 0) {
    Audio::PortConfig config;
    config.FramesPerChunk = frames;
    config.OutputChunks = output;
    config.InputChunks = input;
    return config;
}

} // namespace brl::testing
