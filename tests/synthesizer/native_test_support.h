#pragma once

#include "korvax/korvaxsynth.h"
#include "synthesizer/synth_native.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Helpers of the native manager tests (also the editor's): a manager whose
// synthesizer output is scripted, a device that calls the audio callback from
// the test's thread, and a reader of what the "fd" audio backend writes.
namespace native_test {

using brl::Synth::NativeManager;

inline const std::string kDemoPatch = std::string(KORVAX_SOURCE_DIR) + "/examples/demo/demo.korvax";

// Every rendered block writes `signal(buffer, frame)` into output buffer
// `buffer` (0 left, 1 right, 2..7 the debug buffers) for the frames of the
// block, counted from the first block; with `copyInput` the left output takes
// input buffer 0 instead. `spin` keeps each block busy for that long.
class ScriptedManager : public NativeManager {
public:
    using NativeManager::NativeManager;

    std::function<float(int buffer, uint64_t frame)> signal;
    bool copyInput = false;
    std::chrono::microseconds spin{0};
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
        if (copyInput) {
            for (int i = 0; i < kSamplesPerBuffer; ++i) {
                output[i] = Memory()[kInputBufferBase + i];
            }
        }
        const auto until = std::chrono::steady_clock::now() + spin;
        while (std::chrono::steady_clock::now() < until) {
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

// A pipe whose interleaved stereo stream of 16-bit or float samples is read and
// kept on its own thread; `paced`, no faster than 96000 frames a second, as a
// sound card would.
class PipeReader {
public:
    explicit PipeReader(int bytesPerSample = 4, bool paced = false) : width(bytesPerSample) {
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
        thread = std::thread([this, paced] { Run(paced); });
    }
    ~PipeReader() {
        stop = true;
        thread.join();
        ::close(read);
        ::close(write);
    }
    int read = -1;
    int write = -1;
    size_t Frames() {
        std::lock_guard<std::mutex> lock(mutex);
        return samples.size() / 2;
    }
    // The loudest sample since the last reset.
    float Loudest() {
        std::lock_guard<std::mutex> lock(mutex);
        float peak = 0.0f;
        for (size_t i = since; i < samples.size(); ++i) {
            peak = std::max(peak, std::fabs(samples[i]));
        }
        return peak;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        since = samples.size();
    }
    // Left samples of ticks [from, to), once that much has been read.
    bool LeftOfTicks(uint32_t from, uint32_t to, std::vector<float>& out) {
        if (!WaitUntil([&] { return Frames() >= size_t{to} * 128; }, 30.0)) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex);
        out.clear();
        for (size_t frame = size_t{from} * 128; frame < size_t{to} * 128; ++frame) {
            out.push_back(samples[2 * frame]);
        }
        return true;
    }

private:
    void Run(bool paced) {
        std::vector<char> chunk(4096);
        const auto start = std::chrono::steady_clock::now();
        while (!stop) {
            if (paced) {
                std::this_thread::sleep_until(start + std::chrono::microseconds(Frames() * 1000000 / 96000));
            }
            pollfd ready{read, POLLIN, 0};
            if (::poll(&ready, 1, 20) != 1) {
                continue;
            }
            const ssize_t got = ::read(read, chunk.data(), chunk.size());
            if (got <= 0) {
                return;
            }
            std::lock_guard<std::mutex> lock(mutex);
            for (ssize_t at = 0; at + width <= got; at += width) {
                if (width == 2) {
                    int16_t sample = 0;
                    std::memcpy(&sample, chunk.data() + at, 2);
                    samples.push_back(static_cast<float>(sample) / 32768.0f);
                } else {
                    float sample = 0.0f;
                    std::memcpy(&sample, chunk.data() + at, 4);
                    samples.push_back(sample);
                }
            }
        }
    }
    const int width;
    std::mutex mutex;
    std::vector<float> samples;
    size_t since = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
};

} // namespace native_test
