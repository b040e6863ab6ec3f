#pragma once

// Filter modules: four resonant filters and the two crossover band splitters.
// Control inputs are read once per block, so coefficients change only at block
// boundaries. Reset and Render run on the audio thread only.
//
// Each filter picks its output bucket once per block and runs a loop compiled
// for that bucket, with the filter state held in locals, so the per-sample loop
// carries no branches and no memory round trips through the node. (A compact
// build has one loop that tests the bucket per sample.)

#include "korvax/korvaxmath.h"
#include "korvax/korvaxsynth.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace brl::Korvax {

namespace Modules::Filters {

constexpr int kBlock = kSamplesPerBuffer;

// Calls process(std::integral_constant<int, bucket>) for a filter type bucket
// (16, 32, 48, 64, 80, 96 or 127) that is one of kBuckets, the buckets with an
// output of their own, and process(std::integral_constant<int, 0>) for the
// others, which all give silence: each loop is compiled once per output. A
// compact build compiles it once and passes the bucket (or 0) as a plain int.
template <int... kBuckets, class Process> void WithBucket(int bucket, Process&& process) noexcept {
    if constexpr (kCompact) {
        process(((bucket == kBuckets) || ...) ? bucket : 0);
    } else {
        const bool own =
            ((bucket == kBuckets ? (process(std::integral_constant<int, kBuckets>{}), true) : false) || ...);
        if (!own) {
            process(std::integral_constant<int, 0>{});
        }
    }
}

inline float Min1(float v) noexcept {
    return std::min(v, 1.0f);
}

inline float Clamp1(float v) noexcept {
    return std::clamp(v, -1.0f, 1.0f);
}

// Four-pole ladder approximation with a cubic soft clip on the last pole.
class MoogFilter final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        const float fc = synthesizer->FilterFrequency(*args[2]);
        const float resonance = *args[3];
        const int bucket = Synthesizer::TypeBucket(*args[4]);
        const float q = 1.0f - fc;
        const float p = fc * 0.8f * q + fc;
        const float k = (p + p) - 1.0f;
        const float r = resonance;
        const float g = ((q * 5.6f * q + (1.0f - q)) * q * 0.5f + 1.0f) * r;
        WithBucket<16, 32, 48>(bucket, [&](auto type) { Process(type, p, k, g); });
    }

private:
    template <class Bucket> void Process(Bucket bucket, float p, float k, float g) noexcept {
        float* output = args[0];
        const float* input = args[1];
        float b0 = state.b0;
        float b1 = state.b1;
        float b2 = state.b2;
        float b3 = state.b3;
        float b4 = state.b4;
        for (int i = 0; i < kBlock; ++i) {
            const float x = input[i] - b4 * g;
            const float n1 = (b0 + x) * p - b1 * k;
            const float n2 = (b1 + n1) * p - b2 * k;
            const float n3 = (b2 + n2) * p - b3 * k;
            const float t = (b3 + n3) * p - b4 * k;
            b4 = t - t * t * t * 0.16666667f;
            b3 = n3;
            b2 = n2;
            b1 = n1;
            b0 = x;
            if (bucket == 16) {
                output[i] = b4;
            } else if (bucket == 32) {
                output[i] = (b3 - b4) * 3.0f;
            } else if (bucket == 48) {
                output[i] = b0 - b4;
            } else {
                output[i] = 0.0f;
            }
        }
        state = State{b0, b1, b2, b3, b4};
    }

public: // the state is read and written by the voice lane kernels too
    struct State {
        float b0 = 0.0f; // last input after feedback
        float b1 = 0.0f;
        float b2 = 0.0f;
        float b3 = 0.0f;
        float b4 = 0.0f;
    };
    State state;
};

// Four one-pole stages with a clipped input stage and blended feedback, run as
// two half-steps per sample.
class KarlsenFilter final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        const float fc = synthesizer->FilterFrequency(*args[2]);
        const float resonance = *args[3];
        const int bucket = Synthesizer::TypeBucket(*args[4]);
        const float c = fc * 2.0f;
        const float d = 1.0f - c;
        const float r = resonance * 10.0f;
        WithBucket<16, 32>(bucket, [&](auto type) { Process(type, c, d, r); });
    }

private:
    template <class Bucket> void Process(Bucket bucket, float c, float d, float r) noexcept {
        float* output = args[0];
        const float* input = args[1];
        float p1 = state.p1;
        float p2 = state.p2;
        float p3 = state.p3;
        float p4 = state.p4;
        float fb = state.fb;
        for (int i = 0; i < kBlock; ++i) {
            const float in = input[i];
            const float f1 = r * p4 * 0.582f + fb * 0.418f;
            const float u = Clamp1((in - (Min1(fb) * 0.64f + f1 * 0.36f)) * c + d * p1);
            const float e2 = d * p2 + c * u;
            const float e3 = d * p3 + c * e2;
            const float e4 = d * p4 + c * e3;
            const float f2 = r * e4 * 0.582f + f1 * 0.418f;
            p1 = Clamp1(d * u + c * (in - (Min1(f1) * 0.64f + f2 * 0.36f)));
            p2 = d * e2 + c * p1;
            p3 = d * e3 + c * p2;
            p4 = d * e4 + c * p3;
            fb = f2;
            if (bucket == 16) {
                output[i] = p4;
            } else if (bucket == 32) {
                output[i] = ((p4 - p3) - p2) - p1;
            } else {
                output[i] = 0.0f;
            }
        }
        state = State{p1, p2, p3, p4, fb};
    }

public: // the state is read and written by the voice lane kernels too
    struct State {
        float p1 = 0.0f;
        float p2 = 0.0f;
        float p3 = 0.0f;
        float p4 = 0.0f;
        float fb = 0.0f; // feedback value
    };
    State state;
};

// Chamberlin state-variable filter.
class SvFilter final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        const float fc = synthesizer->FilterFrequency(*args[2]);
        const float resonance = *args[3];
        const int bucket = Synthesizer::TypeBucket(*args[4]);
        const float f = FastSin(fc * 1.5707964f);
        const float twoF = f + f;
        const float q = 1.0f - resonance;
        WithBucket<16, 32, 48, 64>(bucket, [&](auto type) { Process(type, twoF, q); });
    }

private:
    template <class Bucket> void Process(Bucket bucket, float twoF, float q) noexcept {
        float* output = args[0];
        const float* input = args[1];
        float low = state.low;
        float high = state.high;
        float band = state.band;
        float notch = state.notch;
        for (int i = 0; i < kBlock; ++i) {
            low = band * twoF + low;
            high = (input[i] * q - low) - band * q;
            band = high * twoF + band;
            notch = high + low;
            if (bucket == 16) {
                output[i] = low;
            } else if (bucket == 32) {
                output[i] = band;
            } else if (bucket == 48) {
                output[i] = high;
            } else if (bucket == 64) {
                output[i] = notch;
            } else {
                output[i] = 0.0f;
            }
        }
        state = State{low, high, band, notch};
    }

public: // the state is read and written by the voice lane kernels too
    struct State {
        float low = 0.0f;
        float high = 0.0f;
        float band = 0.0f;
        float notch = 0.0f;
    };
    State state;
};

// State-variable filter run twice per sample with a cubic term on the band
// path; the two passes are averaged.
class DoubleFilter final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        const float dist = *args[2];
        const float fc = synthesizer->FilterFrequency(*args[3]);
        const float resonance = *args[4];
        const int bucket = Synthesizer::TypeBucket(*args[5]);
        const float f = FastSin(fc * 0.7853982f);
        const float twoF = f + f;
        float limit = (1.0f / twoF + 1.0f / twoF) - twoF * 0.5f;
        if (limit > 2.0f) {
            limit = 2.0f;
        }
        // A negative resonance (a modulation overshooting 0) counts as 0: its
        // fourth root would be NaN and poison the filter state for good.
        float damp = (1.0f - Pow(std::max(resonance, 0.0f), 0.25f)) * 2.0f;
        if (damp > limit) {
            damp = limit;
        }
        WithBucket<16, 32, 48, 64, 96>(bucket, [&](auto type) { Process(type, twoF, damp, dist); });
    }

private:
    template <class Bucket> void Process(Bucket bucket, float twoF, float damp, float dist) noexcept {
        float* output = args[0];
        const float* input = args[1];
        float notch = state.notch;
        float low = state.low;
        float high = state.high;
        float band = state.band;
        for (int i = 0; i < kBlock; ++i) {
            const float x = input[i];
            float acc = 0.0f;
            for (int pass = 0; pass < 2; ++pass) {
                notch = x - band * damp;
                low = band * twoF + low;
                high = notch - low;
                band = (high * twoF + band) - dist * band * band * band;
                if (bucket == 16) {
                    acc += 0.5f * low;
                } else if (bucket == 32) {
                    acc += 0.5f * band;
                } else if (bucket == 48) {
                    acc += 0.5f * high;
                } else if (bucket == 64) {
                    acc += 0.5f * notch;
                } else if (bucket == 96) {
                    acc += 0.5f * (low - high);
                } else {
                    acc = 0.0f;
                }
            }
            output[i] = acc;
        }
        state = State{notch, low, high, band};
    }

public: // the state is read and written by the voice lane kernels too
    struct State {
        float notch = 0.0f;
        float low = 0.0f;
        float high = 0.0f;
        float band = 0.0f;
    };
    State state;
};

// Cascade of two-pole low-pass crossovers: output s holds the part of the
// remainder below crossover s, the last output what is left. The outputs add
// up to the input.
template <int kCrossovers> class BandSplitter : public Node {
public:
    static constexpr int kArgs = 1 + (kCrossovers + 1) + kCrossovers;

    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        const float* input = args[0];
        float* outputs[kCrossovers + 1];
        for (int s = 0; s <= kCrossovers; ++s) {
            outputs[s] = args[1 + s];
        }
        float cb[kCrossovers];
        for (int s = 0; s < kCrossovers; ++s) {
            cb[s] = synthesizer->BandFrequency(*args[kCrossovers + 2 + s]);
        }
        State local = state;
        for (int i = 0; i < kBlock; ++i) {
            float x = input[i];
            for (int s = 0; s < kCrossovers; ++s) {
                float& a = local.crossovers[s].a;
                float& b = local.crossovers[s].b;
                a = (x - a) * cb[s] + a;
                b = (a - b) * cb[s] + b;
                outputs[s][i] = b;
                x = x - b;
            }
            outputs[kCrossovers][i] = x;
        }
        state = local;
    }

public: // the state is read and written by the voice lane kernels too
    struct Crossover {
        float a = 0.0f;
        float b = 0.0f;
    };
    struct State {
        Crossover crossovers[kCrossovers] = {};
    };
    State state;
};

class Bandsplit4 final : public BandSplitter<3> {};

class Bandsplit8 final : public BandSplitter<7> {};

static_assert(Bandsplit4::kArgs == 8 && Bandsplit8::kArgs == 16);

} // namespace Modules::Filters

} // namespace brl::Korvax
