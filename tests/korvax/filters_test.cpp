#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxmath.h"

#include "node_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace brl::Korvax {
namespace {

using Testing::FirstMismatch;
using Testing::NodeRig;

constexpr int kN = kSamplesPerBuffer;
constexpr uint8_t kMoog = ModuleId::MoogFilter, kKarlsen = ModuleId::KarlsenFilter, kSv = ModuleId::SvFilter,
                  kDouble = ModuleId::DoubleFilter;

// One sample of each filter from its formula, with the output of the type bucket.
struct Reference {
    float s[5] = {}; // the filter state
    float Step(uint8_t opcode, float in, float fc, float resonance, int bucket, float dist) {
        if (opcode == kMoog) {
            auto& [b0, b1, b2, b3, b4] = s;
            const float q = 1.0f - fc, p = fc * 0.8f * q + fc, k = (p + p) - 1.0f;
            const float g = ((q * 5.6f * q + (1.0f - q)) * q * 0.5f + 1.0f) * resonance;
            const float x = in - b4 * g, n1 = (b0 + x) * p - b1 * k, n2 = (b1 + n1) * p - b2 * k;
            const float n3 = (b2 + n2) * p - b3 * k, t = (b3 + n3) * p - b4 * k;
            b0 = x, b1 = n1, b2 = n2, b3 = n3, b4 = t - t * t * t * 0.16666667f;
            return bucket == 16 ? b4 : (bucket == 32 ? (b3 - b4) * 3.0f : (bucket == 48 ? b0 - b4 : 0.0f));
        }
        if (opcode == kKarlsen) {
            auto& [p1, p2, p3, p4, fb] = s;
            const auto min1 = [](float v) { return v < 1.0f ? v : 1.0f; };
            const auto clip = [](float v) { return v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v); };
            const float c = fc * 2.0f, d = 1.0f - c, r = resonance * 10.0f,
                        f1 = r * p4 * 0.582f + fb * 0.418f;
            const float u = clip((in - (min1(fb) * 0.64f + f1 * 0.36f)) * c + d * p1);
            const float e2 = d * p2 + c * u, e3 = d * p3 + c * e2, e4 = d * p4 + c * e3;
            fb = r * e4 * 0.582f + f1 * 0.418f;
            p1 = clip(d * u + c * (in - (min1(f1) * 0.64f + fb * 0.36f)));
            p2 = d * e2 + c * p1, p3 = d * e3 + c * p2, p4 = d * e4 + c * p3;
            return bucket == 16 ? p4 : (bucket == 32 ? ((p4 - p3) - p2) - p1 : 0.0f);
        }
        auto& [low, band, high, notch, unused] = s;
        const auto output = [&] {
            const float outputs[] = {low, band, high, notch, 0.0f, opcode == kDouble ? low - high : 0.0f};
            return bucket < 127 ? outputs[bucket / 16 - 1] : 0.0f;
        };
        if (opcode == kSv) {
            const float f = FastSin(fc * 1.5707964f), twoF = f + f, q = 1.0f - resonance;
            low = band * twoF + low;
            high = (in * q - low) - band * q;
            band = high * twoF + band;
            notch = high + low;
            return output();
        }
        const float f = FastSin(fc * 0.7853982f), twoF = f + f;
        const float limit = std::min((1.0f / twoF + 1.0f / twoF) - twoF * 0.5f, 2.0f);
        const float damp = std::min((1.0f - std::pow(std::max(resonance, 0.0f), 0.25f)) * 2.0f, limit);
        float acc = 0.0f;
        for (int pass = 0; pass < 2; ++pass) {
            notch = in - band * damp;
            low = band * twoF + low;
            high = notch - low;
            band = (high * twoF + band) - dist * band * band * band;
            acc += 0.5f * output();
        }
        return acc;
    }
};

// Sets a filter's controls; the double filter takes its distortion first.
void SetControls(NodeRig& rig, uint8_t opcode, float frequency, float resonance, float type, float dist) {
    rig[2] = dist;
    rig.Set(opcode == kDouble ? 3 : 2, {frequency, resonance, type});
}

// Every type bucket, resonance 0 and 1, new coefficients at each block: the state carries
// on throughout. A negative resonance counts as 0 for the double filter (no NaN root).
TEST(FilterResponse, EachFilterFollowsItsFormulaThroughBucketAndCoefficientChanges) {
    const float schedule[][4] = {
        {0.5f, 0.3f, 0.0f, 0.1f},        {0.7f, 0.6f, 32.0f / 128, 0.4f}, {0.4f, 0.9f, 48.0f / 128, 0.0f},
        {0.6f, 0.5f, 64.0f / 128, 0.7f}, {0.5f, 0.0f, 80.0f / 128, 0.3f}, {0.3f, 0.8f, 96.0f / 128, 0.2f},
        {0.55f, 1.0f, 1.0f, 0.5f},       {0.8f, 1.0f, 0.0f, 0.0f},        {0.2f, 0.0f, 16.0f / 128, 1.0f},
        {0.1f, 0.7f, 33.0f / 128, 0.9f}, {0.6f, -0.3f, 0.0f, 0.2f}};
    for (uint8_t opcode : {kMoog, kKarlsen, kSv, kDouble}) {
        NodeRig rig(opcode);
        Reference reference;
        std::mt19937 random(opcode);
        std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
        float expected[kN];
        for (const auto& [frequency, resonance, type, dist] : schedule) {
            SetControls(rig, opcode, frequency, resonance, type, dist);
            const float fc = rig.host->FilterFrequency(frequency);
            for (int i = 0; i < kN; ++i) {
                rig.Pin(1)[i] = sample(random);
                expected[i] =
                    reference.Step(opcode, rig.Pin(1)[i], fc, resonance, Synthesizer::TypeBucket(type), dist);
            }
            rig.Render();
            ASSERT_EQ(FirstMismatch(rig.Pin(0), expected, kN), -1)
                << "opcode " << int(opcode) << " type " << type;
        }
    }
}

TEST(FilterResponse, KarlsenStaysBoundedUnderHugeInput) {
    // The clipped first pole keeps every pole within +-1: lowpass within 1, bandpass within 4.
    for (const float type : {0.0f, 32.0f / 128}) {
        NodeRig rig(kKarlsen);
        SetControls(rig, kKarlsen, 1.0f, 1.0f, type, 0.0f);
        std::mt19937 random(5);
        std::uniform_real_distribution<float> sample(-1e30f, 1e30f);
        const float bound = type == 0.0f ? 1.0f : 4.0f;
        for (int block = 0; block < 20; ++block) {
            std::generate_n(rig.Pin(1), kN, [&] { return sample(random); });
            rig.Render();
            ASSERT_TRUE(
                std::all_of(rig.Pin(0), rig.Pin(0) + kN, [&](float v) { return std::fabs(v) <= bound; }));
        }
    }
}

} // namespace
} // namespace brl::Korvax
