#pragma once

#include "audio/audio_settings.h"
#include "midi/midiio.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace brl::testing {

// Keeps every event an input stream delivers and lets the test wait for them.
class EventCollector : public Midi::InputHandler {
public:
    void OnMidiEvent(Midi::Stream&, const Midi::Event& event) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(event);
        }
        changed_.notify_all();
    }

    // True once at least `count` events have arrived; waits up to `seconds`.
    bool WaitFor(size_t count, double seconds = 10.0) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return received_.size() >= count; });
    }

    std::vector<Midi::Event> All() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    // The three bytes of each event in hexadecimal, in order: "903C7F 803C7F".
    std::string Text() const {
        std::string text;
        char bytes[8];
        for (const Midi::Event& e : All()) {
            std::snprintf(bytes, sizeof(bytes), "%02X%02X%02X", e.status, e.data1, e.data2);
            text += (text.empty() ? "" : " ") + std::string(bytes);
        }
        return text;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Midi::Event> received_;
};

} // namespace brl::testing
