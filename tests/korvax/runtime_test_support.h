#pragma once

#include "korvax/korvaxsynth.h"

#include "support/reference_voice.h"

#include <gtest/gtest.h>

#include <memory>
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

    // Renders `buffers` buffers; with `left`, appends the left output of each.
    void Render(int buffers, std::vector<float>* left = nullptr) {
        for (int b = 0; b < buffers; ++b) {
            RenderBuffer();
            if (left != nullptr) {
                left->insert(left->end(), memory + brl::Korvax::kOutputLeft,
                             memory + brl::Korvax::kOutputLeft + brl::Korvax::kSamplesPerBuffer);
            }
        }
    }
};

inline std::unique_ptr<TestSynth> MakeSynth() {
    return std::make_unique<TestSynth>();
}

} // namespace korvax_runtime_test
