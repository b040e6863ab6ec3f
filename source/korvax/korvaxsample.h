#pragma once

#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <cstdint>
#include <string>
#include <vector>

// A stereo sample decoded from an Ogg Vorbis file and resampled to the rate the
// synthesizer runs at; the audio side loops it into the synthesizer's input.
//
// Threads: Load on the loading thread while no other thread reads the object;
// ReadLooped on the audio thread only (allocates, locks, logs nothing).
namespace brl::Sfx {

class Sample {
public:
    static constexpr int kChannels = 2;

    // Messages of Load go to logTarget (nullptr: nowhere).
    explicit Sample(Logging::Channel* logTarget);

    // Decodes the file (`path` in the file system's bytes), keeps its first two
    // channels (a mono file plays on both) and resamples it to targetRate. On any
    // failure the previous content stays as it was and the reason is logged:
    // "cannot open" (also for what is no regular file), "not an ogg vorbis file",
    // a declared rate outside 8000 to 384000 Hz, a sample longer than 10 minutes,
    // a decoding or resampling error, or a file without audio.
    bool Load(const std::string& path, double targetRate);

    // The rate of the loaded frames; 0.0 while nothing was loaded.
    double TargetRate() const noexcept { return targetRate; }
    // Frames per channel; 0 while nothing was loaded.
    uint32_t Length() const noexcept { return length; }
    bool IsLoaded() const noexcept { return length != 0; }
    // Channel 0 (left) or 1 (right), Length() frames; nullptr for other channels.
    const float* Data(int channel) const noexcept;

    uint32_t ReadIndex() const noexcept { return readIndex; }
    void Rewind() noexcept { readIndex = 0; }

    // Copies `frames` frames from the read index on into left and right, starting
    // over at frame 0 after the last one. Leaves the buffers alone while nothing
    // is loaded.
    void ReadLooped(float* left, float* right, uint32_t frames) noexcept;

private:
    Logging::Logger log;
    double targetRate = 0.0;
    std::vector<float> channels[kChannels];
    uint32_t length = 0;
    uint32_t readIndex = 0;
};

} // namespace brl::Sfx
