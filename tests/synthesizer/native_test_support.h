#pragma once

#include "korvax/korvaxsynth.h"
#include "synthesizer/synth_native.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Helpers of the native manager tests: a manager whose synthesizer output is
// scripted, and a device that calls the audio callback from the test's thread.
namespace native_test {

using brl::Synth::NativeManager;

inline const std::string kDemoPatch = std::string(KORVAX_SOURCE_DIR) + "/examples/demo/demo.korvax";

// Every rendered block writes `signal(buffer, frame)` into output buffer
// `buffer` (0 left, 1 right, 2..7 the debug buffers) for the frames of the
// block, counted from the first block.
class ScriptedManager : public NativeManager {
public:
    using NativeManager::NativeManager;

    std::function<float(int buffer, uint64_t frame)> signal;
    std::atomic<uint32_t> renders{0};

protected:
    void DoTick() noexcept override {
        NativeManager::DoTick();
        using namespace brl::Korvax;
        float* output = Memory() + kOutputAreaBase;
        const uint64_t first = uint64_t{renders.load()} * kSamplesPerBuffer;
        if (signal) {
            for (int buffer = 0; buffer < 8; ++buffer) {
                for (int i = 0; i < kSamplesPerBuffer; ++i) {
                    output[buffer * kSamplesPerBuffer + i] = signal(buffer, first + i);
                }
            }
        }
        renders.fetch_add(1);
    }
};

// Two output channels at 96 kHz whose every callback is kept.
struct TestDevice {
    brl::Audio::Format format{0, 0, 2, 3, 96000};
    std::vector<float> recorded[2];

    void Run(NativeManager& manager, uint32_t frames) {
        std::vector<float> left(frames, -9.0f);
        std::vector<float> right(frames, -9.0f);
        float* outputs[2] = {left.data(), right.data()};
        manager.Process(format, nullptr, outputs, frames);
        recorded[0].insert(recorded[0].end(), left.begin(), left.end());
        recorded[1].insert(recorded[1].end(), right.begin(), right.end());
    }
};

template <typename Condition> bool WaitUntil(Condition condition, double seconds = 10.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace native_test
