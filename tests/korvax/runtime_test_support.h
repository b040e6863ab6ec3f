#pragma once

#include "korvax/korvaxsynth.h"

#include "support/reference_voice.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace korvax_runtime_test {

// The queue-driven synthesizer with test conveniences.
class TestSynth : public korvax_reference::QueueSynth {
public:
    void NoteOn(int channel, int note, int velocity) {
        EXPECT_TRUE(QueueSynth::NoteOn(channel, note, velocity)) << "event queue full";
    }
    void NoteOff(int channel, int note) {
        EXPECT_TRUE(QueueSynth::NoteOff(channel, note)) << "event queue full";
    }

    // Renders `buffers` buffers, appending the outputs of each to `left` and `right` when given.
    void Render(int buffers, std::vector<float>* left = nullptr, std::vector<float>* right = nullptr) {
        for (int b = 0; b < buffers; ++b) {
            RenderBuffer();
            for (auto [out, base] :
                 {std::pair{left, brl::Korvax::kOutputLeft}, {right, brl::Korvax::kOutputRight}}) {
                if (out != nullptr) {
                    out->insert(out->end(), memory + base, memory + base + brl::Korvax::kSamplesPerBuffer);
                }
            }
        }
    }
};

inline std::unique_ptr<TestSynth> MakeSynth() {
    return std::make_unique<TestSynth>();
}

} // namespace korvax_runtime_test
