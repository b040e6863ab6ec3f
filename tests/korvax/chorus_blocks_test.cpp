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
        const float l1 = 0.5f - 0.5f * s;
        const float l2 = 0.5f - 0.25f * s;
        const float l4 = 0.25f * s + 0.5f;
        const float gl[4] = {l1, l2, 0.5f, l4};
        const float gr[4] = {1.0f - l1, 1.0f - l2, 0.5f, 1.0f - l4};
        float pos[4];
        float step[4];
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

// The time parameter whose delay is the first to reach `samples`.
float TimeFor(const Synthesizer& host, int samples) {
    float lo = -1.0f;
    float hi = 2.0f;
    for (int i = 0; i < 60; ++i) {
        const float mid = (lo + hi) * 0.5f;
        (host.TimeToSamples(mid) < samples ? lo : hi) = mid;
    }
    return hi;
}

// Delays that sit on, just inside and just outside the block-sized margins at
// both ends of the line (and beyond it), swept by the LFOs across them, with the
// line filling up and then wrapping, the output block apart from the source, the
// same block, or half over it, and LFO values that are NaN, infinite or huge.
// Resets restart the line over old entries, which must not be heard.
TEST(ChorusBlocks, MatchTheSampleBySampleChorusForAnyDelayAndLayout) {
    const int mids[] = {0,
                        60,
                        127,
                        128,
                        129,
                        400,
                        kLineLength / 2,
                        kLineLength - 300,
                        kLineLength - 129,
                        kLineLength - 128,
                        kLineLength - 127,
                        kLineLength,
                        2 * kLineLength};
    const int depths[] = {0, 1, 70, 300, kLineLength / 3};
    const float wild[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f};
    const int leftOffsets[] = {0 * kN, 2 * kN, 2 * kN + kN / 2}; // apart, in place, half over the source
    for (const int leftOffset : leftOffsets) {
        SCOPED_TRACE(leftOffset);
        NodeHost host;
        host.SetSampleRate(192000.0f);
        uint16_t operands[kMaxNodeArgs];
        for (int i = 0; i < kMaxNodeArgs; ++i) {
            operands[i] = static_cast<uint16_t>(0x8000 + i * kN);
        }
        operands[0] = static_cast<uint16_t>(0x8000 + leftOffset);
        {
            // A freed NaN block of the line's size, which the node's line may reuse:
            // entries read before they are written would show.
            std::vector<float> garbage(kLineLength + 1024, std::nanf(""));
        }
        const std::unique_ptr<Node> node(InstantiateNode(ModuleId::Chorus, operands, &host, 0, 0));
        std::vector<float> modelMemory(kMemorySlots);
        float* pins[kMaxNodeArgs];
        for (int i = 0; i < kMaxNodeArgs; ++i) {
            pins[i] = modelMemory.data() + operands[i];
        }
        ChorusModel model;
        std::mt19937 random(static_cast<uint32_t>(leftOffset) + 7u);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        float mid = 0.0f;
        float depth = 0.0f;
        for (int block = 0; block < kLineLength / kN + 2400; ++block) {
            if (block % 37 == 0) {
                mid = TimeFor(host, mids[random() % std::size(mids)]);
                depth = TimeFor(host, depths[random() % std::size(depths)]);
            }
            if (block % 222 == 0 && block < 2000) {
                node->Reset(); // the line starts again over the entries it holds
                model = ChorusModel();
            }
            float* memory = host.Memory();
            for (int i = 0; i < kN; ++i) {
                memory[operands[2] + i] = unit(random);
            }
            for (int k = 0; k < 4; ++k) {
                memory[operands[3 + k]] =
                    random() % 50 == 0 ? wild[random() % std::size(wild)] : unit(random);
            }
            memory[operands[7]] = unit(random);
            memory[operands[8]] = mid;
            memory[operands[9]] = depth;
            memory[operands[10]] = unit(random) * 0.5f + 0.5f;
            std::copy(memory + 0x8000, memory + 0x8000 + kMaxNodeArgs * kN, modelMemory.data() + 0x8000);
            node->Render();
            model.Render(pins, host);
            for (int i = 0; i < kMaxNodeArgs * kN; ++i) {
                ASSERT_TRUE(SameFloat(memory[0x8000 + i], modelMemory[0x8000 + i]))
                    << "block " << block << ", slot " << i;
            }
        }
    }
}

} // namespace
} // namespace brl::Korvax
