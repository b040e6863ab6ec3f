#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace brl::testing {

// Polls the condition every 100 us for up to 20 s; whether it came true.
inline bool WaitFor(const std::function<bool()>& condition) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

// Calls RenderBuffer on its own thread until destroyed, like an audio device:
// after every buffer it sleeps for the period, or only yields with none.
template <typename Synth> class RenderingThread {
public:
    explicit RenderingThread(Synth& synth, std::chrono::microseconds period = std::chrono::microseconds(0))
        : thread([this, &synth, period] {
              while (!stop.load()) {
                  synth.RenderBuffer();
                  buffers.fetch_add(1);
                  period.count() > 0 ? std::this_thread::sleep_for(period) : std::this_thread::yield();
              }
          }) {}
    ~RenderingThread() {
        stop = true;
        thread.join();
    }
    RenderingThread(const RenderingThread&) = delete;
    RenderingThread& operator=(const RenderingThread&) = delete;

    // Waits until `count` more buffers have been rendered.
    bool WaitBuffers(int count) {
        const int target = buffers.load() + count;
        return WaitFor([&] { return buffers.load() >= target; });
    }

private:
    std::atomic<bool> stop{false};
    std::atomic<int> buffers{0};
    std::thread thread;
};

} // namespace brl::testing
