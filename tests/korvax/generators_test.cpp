#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxmath.h"

#include "node_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace brl::Korvax {
namespace {

using Testing::FirstMismatch;
using Testing::NodeRig;

constexpr int kN = kSamplesPerBuffer;
constexpr uint8_t kPhase = ModuleId::Phase, kSyncPhase = ModuleId::SyncPhase, kOsc = ModuleId::Osc,
                  kLfo = ModuleId::Lfo, kEnvelope = ModuleId::Envelope,
                  kExpEnvelope = ModuleId::ExponentialEnvelope, kRelease = ModuleId::Release;

float WrapAbovePi(float x) {
    return x >= kPi ? x - kTwoPi : x;
}

// The waveform table for selector n, piece by piece: noise comes from `twin`, a
// generator in step with the node's, and from 97 on the value stays `previous`.
float ReferenceWave(int n, float p, Synthesizer& twin, float previous = 0.0f) {
    if (n <= 16) {
        return FastSin(p);
    }
    if (n <= 32) {
        return FastCos(2.0f * p) * 0.3333f + FastSin(p) * 0.6666f;
    }
    if (n <= 48) {
        if (p >= -kHalfPi && p <= kHalfPi) {
            return p * kTwoOverPi;
        }
        return p > kHalfPi ? 1.0f - (p - kHalfPi) * kTwoOverPi : -2.0f - p * kTwoOverPi;
    }
    if (n <= 80) {
        return n <= 64 ? p * kOneOverPi : (p <= 0.0f ? -1.0f : 1.0f);
    }
    return n <= 96 ? twin.RandomRange(-1.0f, 1.0f) : previous;
}

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

TEST(PhaseCalculator, FollowsTheAccumulatorFormulaForAnyPulseWidthAtNyquistAndForNonFiniteInput) {
    NodeRig rig(kPhase);
    float phase = 0.0f, reference = 0.0f, expected[kN];
    const auto block = [&](float pw, const std::function<float(int)>& frequency) {
        rig[2] = pw;
        for (int i = 0; i < kN; ++i) {
            const float w = (rig.Pin(1)[i] = frequency(i)) * kPi;
            expected[i] = phase;
            const float r = WrapPhase(reference);
            reference = WrapAbovePi(reference + w);
            phase = WrapAbovePi(phase + (FastSin(r) * pw * 4.0f + 1.0f) * w);
        }
        rig.Render();
        ASSERT_EQ(FirstMismatch(rig.Pin(0), expected, kN), -1) << "pw " << pw;
    };
    std::mt19937 random(11);
    std::uniform_real_distribution<float> frequency(-0.4f, 1.6f);
    for (float pw : {0.0f, 0.35f, 0.0f, -0.8f, 1.0f, 0.0f, -0.0f}) {
        block(pw, [&](int) { return frequency(random); });
    }
    // At Nyquist from phase 0 the phase alternates 0 and -pi: pi itself wraps.
    rig.node->Reset();
    phase = reference = 0.0f;
    block(0.0f, [](int) { return 1.0f; });
    // Leaves the phase at -inf and the reference phase NaN, which pw 0 must turn into a NaN phase.
    rig.node->Reset();
    phase = reference = 0.0f;
    block(-1.0f, [](int i) { return i == 0 ? 0.2f : (i == 126 ? INFINITY : (i == 127 ? -INFINITY : 0.0f)); });
    block(0.0f, [](int) { return 0.1f; });
}

TEST(SyncPhase, RestartsOnlyWhenTheReferenceRisesAboveZero) {
    NodeRig rig(kSyncPhase);
    // Rising crossings at 2 (from 0), 9 (from 0) and 13 (from -2); none at 0 after the 3 at 15.
    const float pattern[16] = {-1, 0, 0.5f, 0.7f, 0.9f, 0.2f, -0.1f, 0, 0, 0.3f, 1, 1, -2, 3, 3, 3};
    float phase = 0.0f;
    for (int block = 0; block < 2; ++block) {
        for (int i = 0; i < kN; ++i) {
            rig.Pin(1)[i] = pattern[i % 16];
            rig.Pin(2)[i] = 0.45f;
        }
        rig.Render();
        for (int i = 0; i < kN; ++i) {
            phase = i % 16 == 2 || i % 16 == 9 || i % 16 == 13 ? 0.0f : phase;
            ASSERT_EQ(rig.Pin(0)[i], phase) << i;
            phase = WrapAbovePi(phase + 0.45f * kPi);
        }
    }
}

TEST(Oscillator, ShapesEveryWaveformAndLeavesTheOutputAloneFromNinetySevenOn) {
    NodeRig rig(kOsc);
    Testing::NodeHost twin;
    rig[2] = 0.75f;
    for (int i = 0; i < kN; ++i) {
        rig.Pin(1)[i] = -4.5f + 9.0f * static_cast<float>(i) / (kN - 1); // beyond +-pi on both sides
    }
    for (float n : {0.0f, 16.5f, 17.0f, 32.5f, 33.0f, 48.5f, 49.0f, 64.5f, 65.0f, 80.5f, 81.0f, 96.5f, 97.0f,
                    115.2f, 128.0f}) {
        std::fill_n(rig.Pin(0), kN, 0.125f);
        rig[3] = n / 128.0f;
        rig.Render();
        for (int i = 0; i < kN; ++i) {
            const float wave = ReferenceWave(static_cast<int>(n), rig.Pin(1)[i], twin, 0.125f);
            ASSERT_EQ(rig.Pin(0)[i], n >= 97.0f ? 0.125f : wave * 0.75f) << "n " << n << " sample " << i;
        }
    }
}

TEST(Lfo, AdvancesOncePerBufferByTheConvertedFrequencyAndRestartsOnReset) {
    NodeRig rig(kLfo);
    Testing::NodeHost twin;
    float phase = 0.0f, reference = 0.0f;
    const int types[] = {0, 20, 40, 50, 70, 85, 100}; // from 97 on the slot keeps its value, still amplified
    for (int block = 0; block < 70; ++block) {
        const float frequency = 0.3f + 0.01f * static_cast<float>(block % 9),
                    pw = block % 3 == 0 ? 0.0f : 0.6f;
        const bool reset = block % 13 == 12;
        const float previous = rig[0];
        rig.Set(1, {frequency, pw, 0.8f, static_cast<float>(types[block % 7]) / 128, reset ? 1.0f : 0.0f});
        rig.Render();
        phase = reset ? 0.0f : phase;
        reference = reset ? 0.0f : reference;
        ASSERT_EQ(rig[0], 0.8f * ReferenceWave(types[block % 7], phase, twin, previous)) << block;
        const float inc = rig.host->LfoFrequency(frequency), r = WrapPhase(reference);
        reference = WrapAbovePi(reference + inc * kPi);
        phase = WrapAbovePi(phase + (FastSin(r) * pw + 1.0f) * inc * kPi);
    }
}

// The smallest time input that converts to `samples`.
float TimeInputFor(const Synthesizer& synthesizer, int samples) {
    float x = 0.0f;
    while (synthesizer.TimeToSamples(x) < samples) {
        x += 1.0f / 65536;
    }
    return x;
}

TEST(Envelope, RampsThroughThreeSegmentsSignalsDoneOnceAndRestartsOnReset) {
    Testing::NodeHost host;
    // Minimal times (0.1 ms, 9 samples at 96 kHz), segments crossing buffers, and an
    // end exactly on the first sample of the second buffer.
    const struct {
        float attack, decay, sustain;
        int end; // expected A + D + S, or 0
    } cases[] = {{0.0f, 0.0f, 0.0f, 27}, {0.3f, 0.25f, 0.35f, 0}, {0.0f, 0.0f, TimeInputFor(host, 110), 128}};
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

TEST(Envelope, HoldsTheSustainLevelBeyondTwoToTheThirtyOneSamples) {
    NodeRig rig(kEnvelope);
    rig.Set(1, {0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.5f, 0.25f, 0.0f});
    bool holding = true;
    for (long block = 0; block < (long{1} << 31) / kN + 2; ++block) {
        rig.Render();
        holding = holding && (block == 0 || (rig.Pin(0)[0] == 0.25f && rig[9] == 0.0f));
    }
    EXPECT_TRUE(holding);
}

TEST(ExponentialEnvelope, CurvesEachSegmentByItsExponentAndOneHalfJumpsAfterTheFirstSample) {
    NodeRig rig(kExpEnvelope);
    // Exponent inputs 0.25, 0.75 and 1.0 give exponents 2, 0.5 and 1.
    rig.Set(1, {0.3f, 0.25f, 0.2f, 0.25f, 0.75f, 1.0f, 0.0f, 1.0f, 0.5f, 0.2f, 0.0f});
    const int a = rig.host->TimeToSamples(0.3f), d = rig.host->TimeToSamples(0.25f),
              s = rig.host->TimeToSamples(0.2f);
    int doneBuffers = 0;
    for (int block = 0; block < 5; ++block) {
        rig.Render();
        doneBuffers += rig[12] == 1.0f;
        for (int i = 0; i < kN; ++i) {
            const int n = block * kN + i;
            const float out = rig.Pin(0)[i];
            if (n == a || n == a + d || n >= a + d + s) {
                ASSERT_EQ(out, n == a ? 1.0f : (n == a + d ? 0.5f : 0.2f)) << n;
            } else {
                const double curve = n < a ? std::pow(double(n) / a, 2.0)
                                           : (n < a + d ? 1.0 - 0.5 * std::sqrt(double(n - a) / d)
                                                        : 0.5 - 0.3 * (double(n - a - d) / s));
                ASSERT_NEAR(out, curve, 1e-5) << n;
            }
        }
    }
    EXPECT_EQ(doneBuffers, 1);
    NodeRig half(kExpEnvelope);
    half.Set(1, {0.2f, 0.2f, 0.2f, 0.5f, 0.5f, 0.5f, 0.0f, 0.75f, 0.5f, 0.25f, 0.0f});
    const int a2 = half.host->TimeToSamples(0.2f);
    half.Render();
    EXPECT_EQ(half.Pin(0)[0], 0.0f);
    EXPECT_TRUE(std::all_of(half.Pin(0) + 1, half.Pin(0) + a2 + 1, [](float v) { return v == 0.75f; }));
    EXPECT_EQ(half.Pin(0)[a2 + 1], 0.5f);
}

TEST(Release, HoldsFullLevelUntilTheFlagThenFadesToZeroAtReleasePlusOneOrCutsAtOnceForZeroSamples) {
    NodeRig rig(kRelease);
    rig.Set(2, {0.3f, 0.0f});
    const int r = rig.host->TimeToSamples(0.3f);
    for (int block = -2; block < 4; ++block) {
        rig[3] = block == 0 ? 1.0f : 0.0f; // the flag is latched
        rig.Render();
        for (int i = 0; i < kN; ++i) {
            const int counter = block * kN + i;
            const float fade = counter > r ? 0.0f : 1.0f - static_cast<float>(counter) * (1.0f / r);
            ASSERT_EQ(rig.Pin(0)[i], block < 0 ? 1.0f : fade) << counter;
        }
        ASSERT_EQ(rig[1], r >= block * kN && r < (block + 1) * kN ? 1.0f : 0.0f) << block;
    }
    NodeRig cut(kRelease, 8000.0f);
    ASSERT_EQ(cut.host->TimeToSamples(0.0f), 0);
    cut.Set(2, {0.0f, 1.0f});
    cut.Render();
    EXPECT_TRUE(std::all_of(cut.Pin(0), cut.Pin(0) + kN, [](float v) { return v == 0.0f; }));
    EXPECT_EQ(cut[1], 1.0f);
}

} // namespace
} // namespace brl::Korvax
