#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"

#include "node_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace brl::Korvax {
namespace {

constexpr int kN = kSamplesPerBuffer;
constexpr int kLine = 960000;
constexpr int kFullLineBlocks = kLine / kN + 1;

using Effect = Testing::NodeRig;

float Noise(int n) {
    uint32_t x = static_cast<uint32_t>(n) * 2654435761u + 12345u;
    x = (x ^ (x >> 15)) * 2246822519u;
    return static_cast<float>(static_cast<int32_t>(x ^ (x >> 13))) * 0x1p-31f;
}
constexpr auto Impulse = [](int n) { return n == 0 ? 1.0f : 0.0f; };
constexpr auto Constant = [](int) { return 0.8f; };
constexpr auto AllFinite = [](const std::vector<float>& v) {
    return std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); });
};

TEST(DistortionShapes, MatchValuesWorkedByHand) {
    const float g = Synthesizer::GainFull(0.75f); // as inout gain or drive
    const float unit = 3.051851e-5f;
    struct Case {
        float type, gain, amount, drive, in, out;
    } cases[] = {
        {100 / 128.0f, 0.5f, 0.0f, 0.5f, 0.37f, 0.37f},         // gate, amount 0
        {100 / 128.0f, 0.5f, 0.3f, 0.5f, -0.2f, 0.0f},          // gate
        {90 / 128.0f, 0.5f, 0.0f, 0.5f, -2.0f, -1.0f},          // clipping, amount 0
        {90 / 128.0f, 0.75f, 0.0f, 0.5f, 0.5f, 1.0f / g},       // clamped before ig
        {20 / 128.0f, 0.5f, 0.5f, 0.5f, -0.7f, -89 / 128.0f},   // bitcrush, 128 steps
        {20 / 128.0f, 0.5f, 0.5f, 0.5f, 1e30f, 1e30f},          //
        {40 / 128.0f, 0.5f, 0.25f, 0.5f, 0.5f, 24575 * unit},   // offset 8192 + 16383
        {40 / 128.0f, 0.5f, 0.25f, 0.5f, 1.0f, -24577 * unit},  // 40959 wraps
        {40 / 128.0f, 0.5f, 1.0f, 0.5f, 0.0f, -32768 * unit},   // o = 32768 wraps
        {40 / 128.0f, 0.5f, 0.25f, 0.5f, 1e30f, 8192 * unit},   // s has no low bits
        {56 / 128.0f, 0.75f, 0.0f, 0.5f, 0.5f, 0.5f * (1 / g)}, // sin(x): the dry part is unscaled
        {72 / 128.0f, 0.5f, 1.0f, 0.5f, -0.5f, -0.25f},         // x**2
        {0.0f, 0.5f, 0.5f, 0.75f, 0.6f, 0.6f * g},              // old: beyond 1 - a, driven
        {0.0f, 0.5f, 0.5f, 0.75f, 0.3f, 0.3f},                  //
        {NAN, 0.5f, 0.5f, 0.75f, -0.7f, -0.7f * g},             // a NaN type reads as old
        {129 / 128.0f, 0.5f, 0.5f, 0.5f, 0.3f, 7.0f},           // beyond the types: untouched
    };
    for (const Case& c : cases) {
        Effect e(ModuleId::Distortion, 96000.0f, {{2, c.gain}, {3, c.amount}, {4, c.drive}, {5, c.type}});
        e.Pin(0)[0] = 7.0f;
        EXPECT_EQ(e.Run(1, [&c](int) { return c.in; })[0], c.out) << c.type * 128 << " " << c.in;
    }
    Effect sine(ModuleId::Distortion, 96000.0f, {{2, 0.5f}, {3, 1.0f}, {4, 0.5f}, {5, 56 / 128.0f}});
    EXPECT_NEAR(sine.Run(1, Constant)[0], std::sin(0.8), 1e-6);
}

TEST(DistortionShapes, ResamplingHoldsEveryPeriodAcrossBuffersWithoutGain) {
    const auto ramp = [](int n) { return (n + 1) * 0.001f; };
    // Period trunc(96000 / 26580) = 3; at 22050 Hz the period is 0: every sample.
    const std::vector<float> held =
        Effect(ModuleId::Distortion, 96000.0f, {{2, 0.75f}, {5, 1.0f}}).Run(3, ramp);
    const std::vector<float> every = Effect(ModuleId::Distortion, 22050.0f, {{5, 1.0f}}).Run(3, ramp);
    for (int n = 0; n < 3 * kN; ++n) {
        ASSERT_EQ(held[n], n < 4 ? 0.0f : ramp(4 + (n - 4) / 3 * 3)) << n;
        ASSERT_EQ(every[n], n == 0 ? 0.0f : ramp(n)) << n;
    }
}

TEST(DelayFeedback, EchoesAfterItsLengthAndWrapsAtAShorterOne) {
    const std::vector<float> echo =
        Effect(ModuleId::Delay, 96000.0f, {{3, 1.0f}, {5, 0.5f}}).Run(2, Noise); // 9.6 samples
    for (int n = 0; n < 2 * kN; ++n) {
        ASSERT_EQ(echo[n], Noise(n) + (n < 9 ? 0.0f : 0.5f * Noise(n - 9))) << n;
    }
    // 83 and 28 samples in turn: after the first buffer the index 45 lies past 28.
    Effect e(ModuleId::Delay, 96000.0f, {{3, 0.7f}, {4, 0.6f}, {5, 0.8f}});
    const std::vector<float> out = e.Run(6, Noise, 1, [&e](int b) { e[2] = b % 2 == 0 ? 0.2f : 0.1f; });
    std::vector<float> line(kLine, 0.0f);
    for (int n = 0, w = 0; n < 6 * kN; ++n) {
        const float old = line[w];
        line[w] = 0.7f * Noise(n) + old * 0.6f;
        w = (w + 1) % e.host->TimeToSamples(n / kN % 2 == 0 ? 0.2f : 0.1f);
        ASSERT_EQ(out[n], old * 0.8f + Noise(n)) << n;
    }
    Effect silent(ModuleId::Delay, 8000.0f); // 0.8 samples truncate to none
    silent.Pin(0)[5] = 7.0f;
    EXPECT_EQ(silent.Run(1, Noise)[5], 7.0f);
}

TEST(DelayLines, DelaySignalByTheConvertedLengthAndNoFurtherThanTheLine) {
    const std::vector<float> short9 = Effect(ModuleId::DelaySignal, 96000.0f).Run(2, Noise);
    const std::vector<float> none = Effect(ModuleId::DelaySignal, 8000.0f).Run(2, Noise);
    for (int n = 0; n < 2 * kN; ++n) {
        ASSERT_EQ(short9[n], n < 9 ? 0.0f : Noise(n - 9)) << n;
        ASSERT_EQ(none[n], Noise(n)) << n;
    }
    // 5 s at 384000 Hz asks for 1920000 samples.
    const std::vector<float> late =
        Effect(ModuleId::DelaySignal, 384000.0f, {{2, 1.0f}}).Run(kFullLineBlocks, Impulse);
    const std::vector<float> echo =
        Effect(ModuleId::Delay, 384000.0f, {{2, 1.0f}, {3, 1.0f}, {5, 1.0f}}).Run(kFullLineBlocks, Impulse);
    for (int n = 0; n < kFullLineBlocks * kN; ++n) {
        ASSERT_EQ(late[n], n == kLine - 1 ? 1.0f : 0.0f) << n;
        ASSERT_EQ(echo[n], n == 0 || n == kLine ? 1.0f : 0.0f) << n;
    }
}

TEST(DelayLines, ResetAfterAFullLineMatchesAFreshNode) {
    // Delay, delay signal, chorus (lfos and wet set too) and RMS: a short length
    // first, then the longest, so that reads reach entries not yet written.
    struct Module {
        int opcode, in, length;
    };
    for (const Module m : {Module{ModuleId::Delay, 1, 2}, Module{ModuleId::DelaySignal, 1, 2},
                           Module{ModuleId::Chorus, 2, 8}, Module{ModuleId::RMSDetect, 1, 2}}) {
        const std::initializer_list<std::pair<int, float>> values = {
            {3, 0.8f}, {4, 0.5f}, {5, 0.9f}, {10, 0.5f}};
        Effect used(m.opcode, 384000.0f, values);
        Effect fresh(m.opcode, 384000.0f, values);
        const auto play = [&m](Effect& e, float (*source)(int)) {
            return e.Run(kFullLineBlocks, source, m.in, [&](int b) { e[m.length] = b < 50 ? 0.2f : 1.0f; });
        };
        play(used, Noise);
        used.node->Reset();
        EXPECT_TRUE(play(used, Noise) == play(fresh, Noise)) << m.opcode;
    }
}

TEST(ChorusTaps, PassTheSourceDryAndGlideToTheDelayWithoutDepth) {
    Effect dry(ModuleId::Chorus, 96000.0f, {{3, 0.9f}, {9, 0.5f}});
    const std::vector<float> dryLeft = dry.Run(3, Noise, 2);
    // At 8000 Hz the depth converts to 0 samples, so the lfos do not matter.
    Effect e(ModuleId::Chorus, 8000.0f,
             {{3, 0.9f}, {4, -0.4f}, {5, 0.7f}, {6, -1.0f}, {7, 0.5f}, {8, 0.3f}, {10, 0.6f}});
    const std::vector<float> left = e.Run(3, Noise, 2);
    const int d = e.host->TimeToSamples(0.3f);
    const float gl[4] = {0.25f, 0.375f, 0.5f, 0.625f};
    const float gr[4] = {0.75f, 0.625f, 0.5f, 0.375f};
    for (int n = 0; n < 3 * kN; ++n) {
        const int tap = n < kN ? n * d / kN : d; // exact steps of d / 128 in the first buffer
        float l = (1.0f - 0.6f) * Noise(n);
        float r = l;
        for (int k = 0; k < 4; ++k) {
            l += gl[k] * (Noise(n - tap) * 0.6f);
            r += gr[k] * (Noise(n - tap) * 0.6f);
        }
        ASSERT_TRUE(dryLeft[n] == Noise(n) && dry.right[n] == Noise(n)) << n;
        ASSERT_EQ(left[n], l) << n;
        ASSERT_EQ(e.right[n], r) << n;
    }
}

TEST(ChorusTaps, StayOnTheLineForAnyDelay) {
    // Beyond the line a tap reads its oldest entry; below zero (depth 83 samples
    // over a delay of 9) it reads the ring the other way round, 960000 - 74 behind.
    Effect far(ModuleId::Chorus, 384000.0f,
               {{3, 1.0f}, {4, 1.0f}, {5, 1.0f}, {6, 1.0f}, {8, 1.0f}, {9, 1.0f}, {10, 1.0f}});
    Effect ahead(ModuleId::Chorus, 96000.0f,
                 {{3, -1.0f}, {4, -1.0f}, {5, -1.0f}, {6, -1.0f}, {9, 0.2f}, {10, 1.0f}});
    const std::vector<float> late = far.Run(kFullLineBlocks, Impulse, 2);
    const std::vector<float> wrapped = ahead.Run(
        kFullLineBlocks, [](int n) { return Impulse(n - kN); }, 2);
    for (int n = 0; n < kFullLineBlocks * kN; ++n) {
        ASSERT_EQ(late[n], n == 0 || n == kLine - 1 ? 2.0f : 0.0f) << n;
        ASSERT_EQ(wrapped[n], n == kN + kLine - 74 ? 2.0f : 0.0f) << n;
    }
    const float wild[4] = {NAN, INFINITY, -1e30f, 1e30f};
    EXPECT_TRUE(AllFinite(far.Run(4, Noise, 2,
                                  [&far, &wild](int b) {
                                      for (int k = 0; k < 4; ++k) {
                                          far[3 + k] = wild[(b + k) % 4];
                                      }
                                  })) &&
                AllFinite(far.right));
}

TEST(CompressorGain, MovesNinetyPercentToTheTargetInTheAttackTimeAndBack) {
    // Unit gains, threshold 0.1, ratio 2: level 0.4 gives (0.1 / 0.4)^(1/2) = 0.5.
    Effect e(ModuleId::Compressor, 96000.0f,
             {{3, 0.5f}, {4, 0.625f}, {5, 1280 / 96000.0f}, {6, 0.01f}, {7, 2 / 128.0f}, {8, 0.5f}});
    std::fill(e.Pin(2), e.Pin(2) + kN, 0.4f);
    const std::vector<float> attack = e.Run(20, Constant);
    for (int n : {0, 1279, 2559}) {
        EXPECT_NEAR(attack[n], 0.8 * (0.5 + 0.5 * std::pow(0.1, (n + 1) / 1280.0)), 1e-5) << n;
    }
    e[5] = 0.0f; // attack 0 reaches the target at once
    EXPECT_NEAR(e.Run(1, Constant)[0], 0.4, 1e-6);
    e[7] = 0.0f; // ratio 0 recovers towards 1 over the decay time of 960 samples
    const std::vector<float> release = e.Run(75, Constant);
    EXPECT_NEAR(release[959], 0.8 * (1.0 - 0.5 * 0.1), 1e-5);
    EXPECT_NEAR(release.back(), 0.8, 2e-5); // steps below half an ulp of the gain stop it
    EXPECT_EQ(
        Effect(ModuleId::Compressor, 96000.0f, {{3, 0.5f}, {6, 0.01f}, {8, 0.5f}}).Run(2, Constant).back(),
        0.8f);
}

TEST(CompressorGain, NonsenseControlsLeaveTheGainRecoverable) {
    // A NaN level or ratio does not compress; a NaN or negative attack is instant;
    // an expanding ratio far below 1 may not leave an infinite gain behind.
    struct Controls {
        float level, ratio, attack;
    } cases[] = {
        {NAN, 0.1f, 0.0f}, {0.4f, NAN, 0.0f}, {0.4f, 0.1f, NAN}, {0.4f, 0.1f, -1e-6f}, {1e3f, 1e-4f, 0.0f}};
    for (const Controls& c : cases) {
        Effect e(ModuleId::Compressor, 96000.0f,
                 {{3, 0.5f}, {4, 0.625f}, {5, c.attack}, {6, 0.01f}, {7, c.ratio}, {8, 0.5f}});
        std::fill(e.Pin(2), e.Pin(2) + kN, c.level);
        const std::vector<float> hostile = e.Run(2, Constant);
        const bool compresses = !std::isnan(c.level) && !std::isnan(c.ratio);
        EXPECT_TRUE(compresses || hostile == std::vector<float>(2 * kN, 0.8f));
        e[6] = e[7] = 0.0f; // recover at once
        EXPECT_NEAR(e.Run(1, Constant).back(), 0.8, 1e-6) << c.level << " " << c.ratio << " " << c.attack;
    }
}

TEST(EnvelopeFollowers, PeakFallsNinetySixDecibelsOverItsLength) {
    Effect e(ModuleId::PeakDetect, 96000.0f, {{2, 0.5f}});
    const int length = e.host->TimeToSamples(0.5f);
    const std::vector<float> out = e.Run(length / kN + 2, [](int n) { return -Impulse(n); });
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_NEAR(out[length] / std::pow(10.0, -4.8), 1.0, 1e-3);
    EXPECT_TRUE(std::is_sorted(out.rbegin(), out.rend()));
    const std::vector<float> magnitude =
        Effect(ModuleId::PeakDetect, 8000.0f).Run(2, Noise); // no length: no hold
    for (int n = 0; n < 2 * kN; ++n) {
        ASSERT_EQ(magnitude[n], std::fabs(Noise(n))) << n;
    }
}

TEST(EnvelopeFollowers, RMSSettlesAtTheScaledMagnitudeOfAConstant) {
    Effect e(ModuleId::RMSDetect, 96000.0f, {{2, 0.3f}});
    const int length = e.host->TimeToSamples(0.3f);
    const std::vector<float> out = e.Run(length / kN + 2, [](int) { return -0.3f; });
    EXPECT_LT(out[length - 2], out[length - 1]);
    EXPECT_NEAR(out[length - 1], 0.3 * 1.4142135, 1e-4); // squares are quantised to 1/32768
    EXPECT_EQ(out[length - 1], out.back());
    const float wild[4] = {NAN, INFINITY, -1e30f, 3e4f};
    EXPECT_TRUE(AllFinite(e.Run(3, [&wild](int n) { return wild[n % 4]; })));
}

TEST(EnvelopeFollowers, RMSFollowsAMovingSumAcrossWindowChangesAndTheLineEnd) {
    const float lengths[8] = {1.0f, 0.3f, 1.0f, 0.0f, 0.9f, 1.0f, 0.5f, 1.0f};
    Effect e(ModuleId::RMSDetect, 384000.0f);
    const std::vector<float> out = e.Run(8000, Noise, 1, [&](int b) { e[2] = lengths[b / 1000]; });
    uint32_t sum = 0; // wrapping, over the last `window` squares
    std::vector<uint32_t> squares;
    for (int n = 0, window = 0; n < 8000 * kN; ++n) {
        const int wanted = std::clamp(e.host->TimeToSamples(lengths[n / kN / 1000]), 1, kLine - 1);
        for (; window < wanted; ++window) {
            sum += n - 1 - window >= 0 ? squares[n - 1 - window] : 0;
        }
        for (; window > wanted; --window) {
            sum -= n - window >= 0 ? squares[n - window] : 0;
        }
        sum -= n - window >= 0 ? squares[n - window] : 0;
        squares.push_back(static_cast<uint32_t>(Noise(n) * Noise(n) * 32768.0f));
        sum += squares.back();
        const float expected =
            std::sqrt(static_cast<float>(sum) * 3.0517578e-5f * (1.0f / window)) * 1.4142135f;
        ASSERT_EQ(out[n], expected) << n;
    }
}

} // namespace
} // namespace brl::Korvax
