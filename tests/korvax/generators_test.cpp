#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxmath.h"

#include "node_test_util.h"

#include <gtest/gtest.h>

namespace brl::Korvax {
namespace {

using Testing::FirstMismatch;
using Testing::NodeRig;

constexpr int kN = kSamplesPerBuffer;
constexpr uint8_t kPhase = ModuleId::Phase, kSyncPhase = ModuleId::SyncPhase, kOsc = ModuleId::Osc,
                  kLfo = ModuleId::Lfo, kEnvelope = ModuleId::Envelope,
                  kExpEnvelope = ModuleId::ExponentialEnvelope, kRelease = ModuleId::Release;

// Every generator and filter: the argument count agrees with the catalogue, and
// after Reset a used node repeats what a fresh one renders.
TEST(NodeState, ResetMakesAUsedNodeRepeatAFreshOne) {
    for (uint8_t opcode :
         {kPhase, kSyncPhase, kOsc, kLfo, kEnvelope, kExpEnvelope, kRelease, uint8_t{ModuleId::MoogFilter},
          uint8_t{ModuleId::KarlsenFilter}, uint8_t{ModuleId::SvFilter}, uint8_t{ModuleId::DoubleFilter},
          uint8_t{ModuleId::Bandsplit4}, uint8_t{ModuleId::Bandsplit8}}) {
        NodeRig fresh(opcode), used(opcode);
        ASSERT_EQ(fresh.node->argCount, NodeArgumentCount(opcode)) << int(opcode);
        const int resetPin =
            opcode == kLfo ? 5 : (opcode == kEnvelope ? 8 : (opcode == kExpEnvelope ? 11 : 0));
        const auto feed = [&](NodeRig& rig, int block) { // no reset request; types pick sounding outputs
            for (int pin = 0; pin < kMaxNodeArgs; ++pin) {
                for (int i = 0; i < kN; ++i) {
                    rig.Pin(pin)[i] =
                        0.1f + 0.03f * static_cast<float>(pin) + 0.001f * static_cast<float>(i - block);
                }
            }
            if (resetPin != 0) {
                rig[resetPin] = 0.0f;
            }
        };
        for (int block = 0; block < 6; ++block) {
            feed(used, block);
            used.Render();
        }
        used.node->Reset();
        for (int block = 0; block < 3; ++block) {
            feed(fresh, block);
            feed(used, block);
            fresh.Render();
            used.Render();
            ASSERT_EQ(FirstMismatch(used.Pin(0), fresh.Pin(0), kMaxNodeArgs * kN), -1) << int(opcode);
        }
    }
}

TEST(Envelope, RampsThroughThreeSegmentsSignalsDoneOnceAndRestartsOnReset) {
    Testing::NodeHost host;
    // Minimal times (0.1 ms, 9 samples at 96 kHz), segments crossing buffers, and an
    // end exactly on the first sample of the second buffer.
    const struct {
        float attack, decay, sustain;
        int end; // expected A + D + S, or 0
    } cases[] = {
        {0.0f, 0.0f, 0.0f, 27}, {0.3f, 0.25f, 0.35f, 0}, {0.0f, 0.0f, Testing::TimeFor(host, 110), 128}};
    const float vst = 0.1f, va = 0.9f, vd = 0.5f, vs = 0.2f;
    for (const auto& c : cases) {
        NodeRig rig(kEnvelope);
        rig.Set(1, {c.attack, c.decay, c.sustain, vst, va, vd, vs, 0.0f});
        const int a = host.TimeToSamples(c.attack), d = host.TimeToSamples(c.decay),
                  s = host.TimeToSamples(c.sustain);
        ASSERT_TRUE(c.end == 0 || a + d + s == c.end);
        const auto level = [&](int n) {
            if (n < a) {
                return static_cast<float>(n) * ((va - vst) / static_cast<float>(a)) + vst;
            }
            if (n < a + d) {
                return static_cast<float>(n - a) * ((vd - va) / static_cast<float>(d)) + va;
            }
            return n < a + d + s ? static_cast<float>(n - a - d) * ((vs - vd) / static_cast<float>(s)) + vd
                                 : vs;
        };
        int doneBuffers = 0;
        for (int block = 0; block < 11; ++block) {
            rig[8] = block == 10 ? 1.0f : 0.0f;
            rig.Render();
            const int first = block == 10 ? 0 : block * kN;
            for (int i = 0; i < kN; ++i) {
                ASSERT_EQ(rig.Pin(0)[i], level(first + i)) << first + i;
            }
            ASSERT_EQ(rig[9], a + d + s >= first && a + d + s < first + kN ? 1.0f : 0.0f) << block;
            doneBuffers += block < 10 && rig[9] == 1.0f;
        }
        EXPECT_EQ(doneBuffers, 1);
    }
}

} // namespace
} // namespace brl::Korvax
