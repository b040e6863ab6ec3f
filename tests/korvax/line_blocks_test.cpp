#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxnodes_effects.h"
#include "korvax/node_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

namespace brl::Korvax {
namespace {

using Modules::Effects::TapPosition;
using Testing::NodeHost;
using Testing::SameFloat;
using Testing::TimeFor;

constexpr int kN = kSamplesPerBuffer;

// The chorus one sample after the other: write the line, read the four taps,
// mix. `pins` are the node's argument pointers into the same memory layout.
struct ChorusModel {
    std::vector<float> line = std::vector<float>(kLineLength);
    int written = 0;
    int write = 0;
    float delay[4] = {};

    void Render(float* const* pins, const Synthesizer& host) {
        const float s = *pins[7];
        const float dm = static_cast<float>(host.TimeToSamples(*pins[8]));
        const float dd = static_cast<float>(host.TimeToSamples(*pins[9]));
        const float wet = *pins[10];
        const float gl[4] = {0.5f - 0.5f * s, 0.5f - 0.25f * s, 0.5f, 0.25f * s + 0.5f};
        const float gr[4] = {1.0f - gl[0], 1.0f - gl[1], 0.5f, 1.0f - gl[3]};
        float pos[4], step[4];
        for (int k = 0; k < 4; ++k) {
            const float target = dd * *pins[3 + k] + dm;
            pos[k] = delay[k];
            step[k] = (target - pos[k]) * 0.0078125f;
            delay[k] = target;
        }
        for (int i = 0; i < kN; ++i) {
            const float x = pins[2][i];
            line[static_cast<size_t>(write)] = x;
            written += write == written ? 1 : 0;
            float l = (1.0f - wet) * x;
            float r = l;
            for (int k = 0; k < 4; ++k) {
                const int at = TapPosition(write, pos[k]);
                const float v = (at < written ? line[static_cast<size_t>(at)] : 0.0f) * wet;
                pos[k] += step[k];
                l += gl[k] * v;
                r += gr[k] * v;
            }
            pins[0][i] = l;
            pins[1][i] = r;
            write = write + 1 == kLineLength ? 0 : write + 1;
        }
    }
};

// The delay one sample after the other over a ring of `length` entries.
struct DelayModel {
    std::vector<float> line = std::vector<float>(kLineLength);
    int written = 0;
    int write = 0;

    void Render(float* const* pins, const Synthesizer& host) {
        const int length = std::clamp(host.TimeToSamples(*pins[2]), 0, kLineLength);
        const float amount = *pins[3], feedback = *pins[4], wet = *pins[5];
        for (int i = 0; i < kN && length > 0; ++i) {
            const float x = pins[1][i];
            const float old = write < written ? line[static_cast<size_t>(write)] : 0.0f;
            line[static_cast<size_t>(write)] = amount * x + old * feedback;
            written += write == written ? 1 : 0;
            write = (write + 1) % length;
            pins[0][i] = old * wet + x;
        }
    }
};

// A line effect and its model side by side: pin i at 0x8000 + i x 128, except
// output pin 0, which sits `outOffset` floats past 0x8000 (over an input block or
// half over one). The line's memory was a freed NaN block, so entries read before
// they are written would show.
template <class Model> struct LineRig {
    LineRig(uint8_t module, float rate, int outOffset) {
        host.SetSampleRate(rate);
        for (int i = 0; i < kMaxNodeArgs; ++i) {
            operands[i] = static_cast<uint16_t>(0x8000 + i * kN);
        }
        operands[0] = static_cast<uint16_t>(0x8000 + outOffset);
        { std::vector<float> garbage(kLineLength + 1024, std::nanf("")); }
        node.reset(InstantiateNode(module, operands, &host, 0, 0));
        for (int i = 0; i < kMaxNodeArgs; ++i) {
            pins[i] = modelMemory.data() + operands[i];
        }
    }
    float* Pin(int pin) { return host.Memory() + operands[pin]; }
    void Reset() {
        node->Reset();
        model = Model();
    }
    // Renders both and says whether every pin block holds the same bits.
    ::testing::AssertionResult Render() {
        float* memory = host.Memory() + 0x8000;
        std::copy(memory, memory + kMaxNodeArgs * kN, modelMemory.data() + 0x8000);
        node->Render();
        model.Render(pins, host);
        for (int i = 0; i < kMaxNodeArgs * kN; ++i) {
            if (!SameFloat(memory[i], modelMemory[0x8000 + static_cast<size_t>(i)])) {
                return ::testing::AssertionFailure() << "slot " << i;
            }
        }
        return ::testing::AssertionSuccess();
    }

    NodeHost host;
    uint16_t operands[kMaxNodeArgs];
    std::unique_ptr<Node> node;
    std::vector<float> modelMemory = std::vector<float>(kMemorySlots);
    float* pins[kMaxNodeArgs];
    Model model;
};

// Delays that sit on, just inside and just outside the block-sized margins at
// both ends of the line (and beyond it), swept by the LFOs across them, with the
// line filling up and then wrapping, the output apart from the source, on it or
// half over it, and LFO values that are NaN, infinite or huge. Resets restart the
// line over old entries, which must not be heard.
TEST(LineBlocks, ChorusMatchesTheSampleBySampleChorusForAnyDelayAndLayout) {
    constexpr int L = kLineLength;
    const int mids[] = {0, 60, 127, 128, 129, 400, L / 2, L - 300, L - 129, L - 128, L - 127, L, 2 * L};
    const int depths[] = {0, 1, 70, 300, L / 3};
    const float wild[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f};
    for (const int outOffset : {0 * kN, 2 * kN, 2 * kN + kN / 2}) {
        SCOPED_TRACE(outOffset);
        LineRig<ChorusModel> rig(ModuleId::Chorus, 192000.0f, outOffset);
        std::mt19937 random(static_cast<uint32_t>(outOffset) + 7u);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        for (int block = 0; block < kLineLength / kN + 2400; ++block) {
            if (block % 37 == 0) {
                *rig.Pin(8) = TimeFor(rig.host, mids[random() % std::size(mids)]);
                *rig.Pin(9) = TimeFor(rig.host, depths[random() % std::size(depths)]);
            }
            if (block % 222 == 0 && block < 2000) {
                rig.Reset();
            }
            std::generate(rig.Pin(2), rig.Pin(2) + kN, [&] { return unit(random); });
            for (int k = 0; k < 4; ++k) {
                *rig.Pin(3 + k) = random() % 50 == 0 ? wild[random() % std::size(wild)] : unit(random);
            }
            *rig.Pin(7) = unit(random);
            *rig.Pin(10) = unit(random) * 0.5f + 0.5f;
            ASSERT_TRUE(rig.Render()) << "block " << block;
        }
    }
}

// Ring lengths below, at and above a block, changed while the stored index lies
// beyond the new length, the line filling and reset, output apart from the input,
// on it or half over it.
TEST(LineBlocks, DelayMatchesTheSampleBySampleDelayForAnyLengthAndLayout) {
    const int lengths[] = {0, 1, 127, 128, 129, 300, 1000, 5000};
    for (const int outOffset : {2 * kN, 1 * kN, 1 * kN + kN / 2}) {
        SCOPED_TRACE(outOffset);
        LineRig<DelayModel> rig(ModuleId::Delay, 96000.0f, outOffset);
        std::mt19937 random(static_cast<uint32_t>(outOffset) + 3u);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        for (int block = 0; block < 3000; ++block) {
            if (block % 29 == 0) {
                *rig.Pin(2) = TimeFor(rig.host, lengths[random() % std::size(lengths)]);
            }
            if (block % 700 == 0) {
                rig.Reset();
            }
            std::generate(rig.Pin(1), rig.Pin(1) + kN, [&] { return unit(random); });
            for (int pin = 3; pin <= 5; ++pin) {
                *rig.Pin(pin) = unit(random);
            }
            ASSERT_TRUE(rig.Render()) << "block " << block;
        }
    }
}

} // namespace
} // namespace brl::Korvax
