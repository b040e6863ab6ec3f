#pragma once

#include "korvax/korvaxmath.h"
#include "korvax/korvaxnodes_lines.h"
#include "korvax/korvaxsynth.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

// The effect modules. Nodes are created off the audio thread (the delay lines are
// allocated here); Reset and Render run on the audio thread only.

namespace brl::Korvax {

namespace Modules::Effects {

// trunc(x) reduced to a 16-bit two's-complement number, for any float: the low
// 16 bits of the exact integer part. Magnitudes from 2^63 up have integer parts
// that are multiples of 2^40, so they give 0, as do NaN and the infinities.
inline int16_t TruncWrap16(float x) noexcept {
    if (!(std::fabs(x) < 9223372036854775808.0f)) {
        return 0;
    }
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<int64_t>(x)));
}

// Line position of a chorus tap at delay `pos` behind write position w, that is
// (w - trunc(pos) + 960000) mod 960000 with the delay kept inside the line: at
// most 959999 behind (a longer delay does not fit, and 960000 would wrap round to
// no delay at all) and at most as far the other way. NaN reads 959999 behind.
inline int TapPosition(int w, float pos) noexcept {
    constexpr float kFarthest = static_cast<float>(kLineLength - 1);
    pos = pos < kFarthest ? pos : kFarthest;
    pos = pos > -kFarthest ? pos : -kFarthest;
    int position = w - static_cast<int>(pos);
    position += position < 0 ? kLineLength : 0;
    position -= position >= kLineLength ? kLineLength : 0;
    return position;
}

// Eight waveshapers chosen by trunc(type x 128) in buckets of 16.
class Distortion final : public Node {
public:
    void Reset() noexcept override { state = {}; }
    void Render() noexcept override;

private:
    struct State {
        int32_t counter = 0; // resampling: samples since the held one was taken
        float held = 0.0f;
    };
    State state;
};

inline void Distortion::Render() noexcept {
    float* out = args[0];
    const float* in = args[1];
    const float g = Synthesizer::GainFull(*args[2]);
    const float a = *args[3];
    const float drv = Synthesizer::GainFull(*args[4]);
    const int32_t n = TruncToInt(*args[5] * 128.0f);
    const float ig = 1.0f / g;

    if (n <= 16) {
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            float x = in[i] * g;
            if (x > 1.0f - a || x < a - 1.0f) {
                x = x * drv;
            }
            out[i] = x * ig;
        }
    } else if (n <= 32) {
        const float steps = Exp2(a * 16.0f);
        const float m = 32768.0f / steps;
        const float q = steps * 3.0517578125e-5f;
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            out[i] = std::trunc(in[i] * g * m) * q * ig;
        }
    } else if (n <= 48) {
        const int16_t o = TruncWrap16(a * 32768.0f);
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            const int16_t s = TruncWrap16(in[i] * g * -32767.0f);
            const int16_t wrapped = static_cast<int16_t>(o - s);
            out[i] = static_cast<float>(wrapped) * 3.051851e-5f * ig;
        }
    } else if (n <= 64) {
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            const float x = in[i];
            out[i] = (x * (1.0f - a) + FastSin(x * g * drv) * a) * ig;
        }
    } else if (n <= 80) {
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            const float x = in[i] * g;
            if (x >= 0.0f) {
                out[i] = (x * a + (1.0f - a)) * x * ig;
            } else {
                out[i] = ((1.0f - a) - x * a) * x * ig;
            }
        }
    } else if (n <= 96) {
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            const float x = std::clamp(in[i] * g * (a + 1.0f), -1.0f, 1.0f);
            out[i] = x * ig;
        }
    } else if (n <= 112) {
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            float x = in[i] * g;
            if (std::fabs(x) < a) {
                x = 0.0f;
            }
            out[i] = x * ig;
        }
    } else if (n <= 128) {
        // A period of 0 takes every sample; the counter then only climbs, so it
        // saturates instead of overflowing.
        const int32_t period = std::max(TruncToInt(1.0f / synthesizer->FilterFrequency(1.0f - a)), 0);
        int32_t counter = state.counter;
        float held = state.held;
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            if (period < counter) {
                held = in[i];
                counter -= period;
            }
            out[i] = held;
            counter = counter < INT32_MAX ? counter + 1 : counter;
        }
        state = {counter, held};
    }
}

// Feedback delay of up to 960000 samples.
class Delay final : public Node {
public:
    void Reset() noexcept override {
        state = {};
        line.Clear();
    }
    void Render() noexcept override;

private:
    struct State {
        int write = 0;
    };

    template <bool kInside>
    int RenderBlock(int write, int length, float amount, float feedback, float wet) noexcept;
    int RenderInRuns(int write, int length, float amount, float feedback, float wet) noexcept;

    State state;
    DelayLine<float> line;
};

template <bool kInside>
inline int Delay::RenderBlock(int write, int length, float amount, float feedback, float wet) noexcept {
    float* out = args[0];
    const float* in = args[1];
    int w = write;
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        const float x = in[i];
        const float old = line.template Read<kInside>(w);
        line.template Write<kInside>(w, amount * x + old * feedback);
        // A stored index beyond a newly shortened length wraps at the new length.
        ++w;
        if (w >= length) {
            w %= length;
        }
        out[i] = old * wet + x;
    }
    return w;
}

// Samples of a block over `count` consecutive line entries that no input or
// output block shares, four at a time (the run length varies, which keeps the
// compiler from vectorising the plain loop) and the rest one by one.
inline void DelayRun(float* out, const float* x, float* entries, int count, float amount, float feedback,
                     float wet) noexcept {
    using Floats = float __attribute__((vector_size(16)));
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        Floats old;
        Floats in;
        std::memcpy(&old, entries + i, sizeof(Floats));
        std::memcpy(&in, x + i, sizeof(Floats));
        const Floats stored = amount * in + old * feedback;
        const Floats result = old * wet + in;
        std::memcpy(entries + i, &stored, sizeof(Floats));
        std::memcpy(out + i, &result, sizeof(Floats));
    }
    for (; i < count; ++i) {
        const float old = entries[i];
        entries[i] = amount * x[i] + old * feedback;
        out[i] = old * wet + x[i];
    }
}

// The block over a written line at least a block long, from a stored index
// below the length: the positions it touches are one run up to the end of the
// line and one from its start.
inline int Delay::RenderInRuns(int write, int length, float amount, float feedback, float wet) noexcept {
    constexpr int N = kSamplesPerBuffer;
    float x[N];
    std::copy(args[1], args[1] + N, x);
    const int first = std::min(N, length - write);
    DelayRun(args[0], x, line.Entries() + write, first, amount, feedback, wet);
    DelayRun(args[0] + first, x + first, line.Entries(), N - first, amount, feedback, wet);
    const int w = write + N;
    return w >= length ? w - length : w;
}

inline void Delay::Render() noexcept {
    const int length = std::clamp(synthesizer->TimeToSamples(*args[2]), 0, kLineLength);
    const float amount = *args[3];
    const float feedback = *args[4];
    const float wet = *args[5];
    if (length == 0) {
        return;
    }
    // The block touches the stored index, then only positions below length.
    const int written = line.Written();
    if (!kCompact && state.write < written && length <= written) {
        state.write =
            length >= kSamplesPerBuffer && state.write < length && InPlaceOrSeparate(args[0], args[1])
                ? RenderInRuns(state.write, length, amount, feedback, wet)
                : RenderBlock<true>(state.write, length, amount, feedback, wet);
    } else {
        state.write = RenderBlock<false>(state.write, length, amount, feedback, wet);
    }
}

// Plain delay by TimeToSamples(length) samples.
class DelaySignal final : public Node {
public:
    void Reset() noexcept override {
        state = {};
        line.Clear();
    }
    void Render() noexcept override;

private:
    struct State {
        int write = 0;
    };

    template <bool kInside> int RenderBlock(int write, int distance) noexcept;

    State state;
    DelayLine<float> line;
};

template <bool kInside> int DelaySignal::RenderBlock(int write, int distance) noexcept {
    float* out = args[0];
    const float* in = args[1];
    int w = write;
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        line.template Write<kInside>(w, in[i]);
        out[i] = line.template Read<kInside>(LinePositionBehind(w, distance));
        w = NextLinePosition(w);
    }
    return w;
}

inline void DelaySignal::Render() noexcept {
    // The longest delay the line holds is 959999 samples; at 960000 the read would
    // land on the sample just written.
    const int distance = std::clamp(synthesizer->TimeToSamples(*args[2]), 0, kLineLength - 1);
    if (!kCompact && line.Full()) {
        state.write = RenderBlock<true>(state.write, distance);
    } else {
        state.write = RenderBlock<false>(state.write, distance);
    }
}

// Four delay taps modulated by four LFO inputs, panned across the stereo field.
class Chorus final : public Node {
public:
    void Reset() noexcept override {
        state = {};
        line.Clear();
    }
    void Render() noexcept override;

private:
    static constexpr int kTaps = 4;

    struct State {
        float delay[kTaps] = {}; // tap delays in samples reached at the end of the last buffer
        int write = 0;
    };

    // The taps of one buffer, kept as four lanes.
    struct Taps {
        float pos[kTaps];
        float step[kTaps];
        float left[kTaps];
        float right[kTaps];
    };

    template <bool kInside> int RenderBlock(int write, Taps taps, float wet) noexcept;
    template <bool kInside> int RenderBlockInPasses(int write, const Taps& taps, float wet) noexcept;

    State state;
    DelayLine<float> line;
};

template <bool kInside> int Chorus::RenderBlock(int write, Taps taps, float wet) noexcept {
    float* left = args[0];
    float* right = args[1];
    const float* source = args[2];
    const float dry = 1.0f - wet;
    int w = write;
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        const float x = source[i];
        line.template Write<kInside>(w, x);
        float v[kTaps];
        for (int k = 0; k < kTaps; ++k) {
            v[k] = line.template Read<kInside>(TapPosition(w, taps.pos[k])) * wet;
            taps.pos[k] += taps.step[k];
        }
        float l = dry * x;
        float r = l;
        for (int k = 0; k < kTaps; ++k) {
            l += taps.left[k] * v[k];
            r += taps.right[k] * v[k];
        }
        left[i] = l;
        right[i] = r;
        w = NextLinePosition(w);
    }
    return w;
}

// The same block in three passes (write the line, read the taps, mix), which the
// compiler can vectorise. It gives the same samples when no tap reads a position
// the block writes later than the tap's sample (every delay at least 0 and at
// most a block short of the line), the line is written from its start or full,
// and the blocks overlap only exactly; otherwise it returns -1 and does nothing.
template <bool kInside> int Chorus::RenderBlockInPasses(int write, const Taps& taps, float wet) noexcept {
    constexpr int N = kSamplesPerBuffer;
    constexpr float kEnd = static_cast<float>(kLineLength - N + 1);
    float* left = args[0];
    float* right = args[1];
    const float* source = args[2];
    if (!InPlaceOrSeparate(left, source) || !InPlaceOrSeparate(right, source) ||
        !InPlaceOrSeparate(left, right) || (!kInside && write != line.Written())) {
        return -1;
    }
    // Tap positions first, the four taps side by side in one vector as the plain
    // loop steps them. A delay outside [0, kEnd) sends the block to the plain loop;
    // inside it TapPosition's clamps change nothing and only the wrap is left.
    using Floats = float __attribute__((vector_size(16)));
    using Ints = int __attribute__((vector_size(16)));
    Floats pos = {taps.pos[0], taps.pos[1], taps.pos[2], taps.pos[3]};
    const Floats step = {taps.step[0], taps.step[1], taps.step[2], taps.step[3]};
    Ints inside = {-1, -1, -1, -1};
    Ints unwrapped = inside;
    Ints at[N];
    for (int i = 0; i < N; ++i) {
        const int wi = write + i < kLineLength ? write + i : write + i - kLineLength;
        const Ints ok = (pos >= 0.0f) & (pos < kEnd);
        inside &= ok;
        const Ints position = wi - __builtin_convertvector(ok ? pos : 0.0f, Ints);
        unwrapped &= position >= 0;
        at[i] = position + (position < 0 ? kLineLength : 0);
        pos += step;
    }
    if ((inside[0] & inside[1] & inside[2] & inside[3]) == 0) {
        return -1;
    }
    // While the line fills up, taps that read no further back than its start
    // read written entries only.
    const bool written = kInside || (unwrapped[0] & unwrapped[1] & unwrapped[2] & unwrapped[3]) != 0;
    float x[N];
    int w = write;
    for (int i = 0; i < N; ++i) {
        x[i] = source[i];
        line.template Write<kInside>(w, x[i]);
        w = NextLinePosition(w);
    }
    float v[kTaps][N];
    if (written) {
        for (int i = 0; i < N; ++i) {
            for (int k = 0; k < kTaps; ++k) {
                v[k][i] = line.template Read<true>(at[i][k]);
            }
        }
    } else {
        for (int i = 0; i < N; ++i) {
            for (int k = 0; k < kTaps; ++k) {
                v[k][i] = line.template Read<false>(at[i][k]);
            }
        }
    }
    const float dry = 1.0f - wet;
    float l[N];
    float r[N];
    for (int i = 0; i < N; ++i) {
        l[i] = dry * x[i];
        r[i] = l[i];
    }
    for (int k = 0; k < kTaps; ++k) {
        const float tl = taps.left[k];
        const float tr = taps.right[k];
        for (int i = 0; i < N; ++i) {
            const float tap = v[k][i] * wet;
            l[i] += tl * tap;
            r[i] += tr * tap;
        }
    }
    for (int i = 0; i < N; ++i) {
        left[i] = l[i];
        right[i] = r[i];
    }
    return w;
}

inline void Chorus::Render() noexcept {
    const float lfo[kTaps] = {*args[3], *args[4], *args[5], *args[6]};
    const float s = *args[7];
    const float dm = static_cast<float>(synthesizer->TimeToSamples(*args[8]));
    const float dd = static_cast<float>(synthesizer->TimeToSamples(*args[9]));
    const float wet = *args[10];

    const float left1 = 0.5f - 0.5f * s;
    const float left2 = 0.5f - 0.25f * s;
    const float left4 = 0.25f * s + 0.5f;
    Taps taps = {{}, {}, {left1, left2, 0.5f, left4}, {1.0f - left1, 1.0f - left2, 0.5f, 1.0f - left4}};
    for (int k = 0; k < kTaps; ++k) {
        const float target = dd * lfo[k] + dm;
        taps.pos[k] = state.delay[k];
        taps.step[k] = (target - taps.pos[k]) * 0.0078125f;
        state.delay[k] = target;
    }

    if (!kCompact) {
        const int w = line.Full() ? RenderBlockInPasses<true>(state.write, taps, wet)
                                  : RenderBlockInPasses<false>(state.write, taps, wet);
        if (w >= 0) {
            state.write = w;
            return;
        }
    }
    if (!kCompact && line.Full()) {
        state.write = RenderBlock<true>(state.write, taps, wet);
    } else {
        state.write = RenderBlock<false>(state.write, taps, wet);
    }
}

// Feed-forward compressor; the level input is the side chain.
class Compressor final : public Node {
public:
    void Reset() noexcept override { state = {}; }
    void Render() noexcept override;

private:
    struct State {
        float gain = 1.0f;
    };
    State state;
};

inline void Compressor::Render() noexcept {
    float* out = args[0];
    const float* in = args[1];
    const float* level = args[2];
    const float ig = Synthesizer::GainFull(*args[3]);
    const float th = Synthesizer::GainCut(1.0f - *args[4]);
    const float attack = *args[5];
    const float decay = *args[6];
    const float r = *args[7] * 128.0f;
    const float og = Synthesizer::GainFull(*args[8]);

    // Attack and decay are seconds in which the gain moves 90 % of the way. A time
    // of zero moves it at once (exp(-inf) = 0); so does a negative or NaN time,
    // whose coefficient would otherwise be above 1 or NaN and run the gain away.
    const float inverseRate = synthesizer->InverseSampleRate();
    const float lnTenth = std::log(0.1f);
    const float ca = attack > 0.0f ? std::exp(inverseRate * lnTenth / attack) : 0.0f;
    const float cd = decay > 0.0f ? std::exp(inverseRate * lnTenth / decay) : 0.0f;
    const float exponent = 1.0f - 1.0f / r;

    float gain = state.gain;
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        const float x = in[i];
        const float lv = level[i] * ig;
        // Written negated so that a NaN ratio or level recovers instead of
        // compressing towards NaN, which would stick in the gain state.
        if (!(r > 0.0f) || !(lv > th)) {
            gain = (1.0f - gain) * (1.0f - cd) + gain;
        } else {
            // A ratio below 1/128 expands; its target may overflow, and an
            // infinite gain would turn into NaN on the way back.
            const float target = std::fmin(Pow(th / lv, exponent), FLT_MAX);
            gain = gain + (target - gain) * (1.0f - ca);
        }
        out[i] = x * ig * gain * og;
    }
    state.gain = gain;
}

// Peak follower: holds the largest magnitude and lets it fall by 96 dB over the
// length.
class PeakDetect final : public Node {
public:
    void Reset() noexcept override { state = {}; }
    void Render() noexcept override;

private:
    struct State {
        float envelope = 0.0f;
    };
    State state;
};

inline void PeakDetect::Render() noexcept {
    float* out = args[0];
    const float* in = args[1];
    const int n = synthesizer->TimeToSamples(*args[2]);
    const float inverseRate = 1.0f / synthesizer->SampleRate();
    const float k = Pow(10.0f, (-4.8f / (static_cast<float>(n) * inverseRate)) * inverseRate);

    float envelope = state.envelope;
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        const float magnitude = std::fabs(in[i]);
        const float fallen = envelope * k;
        envelope = magnitude > fallen ? magnitude : fallen;
        out[i] = envelope;
    }
    state.envelope = envelope;
}

// Moving RMS over a window of N samples: the wrapping 32-bit sum of the last N
// squares, each quantised to 1/32768.
//
// The line holds the running total of all squares since Reset (wrapping) rather
// than the squares themselves. The sum over the window is then the difference of
// two entries, exactly the same number modulo 2^32 as a sum kept by adding each
// new square and subtracting the one leaving the window, and a change of the
// window costs nothing instead of a walk over up to 959999 entries on the audio
// thread. Entries never written read 0, which is the total before the first sample.
class RMSDetect final : public Node {
public:
    void Reset() noexcept override {
        state = {};
        line.Clear();
    }
    void Render() noexcept override;

private:
    static constexpr uint32_t kLongestWindow = kLineLength - 1;

    struct State {
        int write = 0;
        uint32_t total = 0; // all squares so far, wrapping
    };

    template <bool kInside> void RenderBlock(uint32_t n) noexcept;

    State state;
    DelayLine<uint32_t> line;
};

template <bool kInside> void RMSDetect::RenderBlock(uint32_t n) noexcept {
    float* out = args[0];
    const float* in = args[1];
    const int distance = static_cast<int>(n);
    const float inverseN = 1.0f / static_cast<float>(n);
    int w = state.write;
    uint32_t total = state.total;
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        const float x = in[i];
        const int32_t sq = TruncToInt(x * x * 32768.0f);
        const uint32_t before = line.template Read<kInside>(LinePositionBehind(w, distance));
        total += static_cast<uint32_t>(sq);
        line.template Write<kInside>(w, total);
        const uint32_t sum = total - before;
        out[i] = std::sqrt(static_cast<float>(sum) * 3.0517578e-5f * inverseN) * 1.4142135f;
        w = NextLinePosition(w);
    }
    state = {w, total};
}

inline void RMSDetect::Render() noexcept {
    uint32_t n = static_cast<uint32_t>(synthesizer->TimeToSamples(*args[2]));
    if (n == 0) {
        n = 1;
    }
    if (n >= kLongestWindow) {
        n = kLongestWindow;
    }
    if (!kCompact && line.Full()) {
        RenderBlock<true>(n);
    } else {
        RenderBlock<false>(n);
    }
}

} // namespace Modules::Effects

} // namespace brl::Korvax
