#pragma once

// Generator modules: phase accumulators, the audio-rate oscillator, the LFO
// and the envelopes. Reset and Render run on the audio thread only.

#include "korvax/korvaxmath.h"
#include "korvax/korvaxsynth.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace brl::Korvax {

namespace Modules::Generators {

constexpr int kBlock = kSamplesPerBuffer;

// Sample counters stop here instead of overflowing after hours of playing. Every
// envelope segment is far shorter, so the level is unchanged by the limit.
constexpr int64_t kCounterLimit = int64_t{1} << 30;

// Waveform selector of Osc and Lfo: n = trunc(type x 128) compared with the
// table bounds, done on the scaled float so that no out-of-range or NaN type
// reaches an integer conversion. A NaN type selects nothing.
enum class Waveform { Sine, SineCosine, Triangle, Saw, Square, Noise, None };

inline Waveform SelectWaveform(float type) noexcept {
    const float n = type * 128.0f;
    if (!(n < 97.0f)) {
        return Waveform::None;
    }
    if (n < 17.0f) {
        return Waveform::Sine;
    }
    if (n < 33.0f) {
        return Waveform::SineCosine;
    }
    if (n < 49.0f) {
        return Waveform::Triangle;
    }
    if (n < 65.0f) {
        return Waveform::Saw;
    }
    if (n < 81.0f) {
        return Waveform::Square;
    }
    return Waveform::Noise;
}

inline float SineCosineWave(float p) noexcept {
    return FastCos(p + p) * 0.3333f + FastSin(p) * 0.6666f;
}

// The three triangle pieces are all computed and one is selected, so the
// oscillator loop has no branches.
inline float TriangleWave(float p) noexcept {
    const float rising = p * kTwoOverPi;
    const float upper = 1.0f - (p - kHalfPi) * kTwoOverPi;
    const float lower = -2.0f - p * kTwoOverPi;
    float value = p > kHalfPi ? upper : rising;
    value = p < -kHalfPi ? lower : value;
    return value;
}

inline float SawWave(float p) noexcept {
    return p * kOneOverPi;
}

inline float SquareWave(float p) noexcept {
    return p <= 0.0f ? -1.0f : 1.0f;
}

// One waveform value; the caller handles Waveform::None.
inline float WaveformValue(Waveform waveform, float p, Synthesizer* synthesizer) noexcept {
    switch (waveform) {
    case Waveform::Sine:
        return FastSin(p);
    case Waveform::SineCosine:
        return SineCosineWave(p);
    case Waveform::Triangle:
        return TriangleWave(p);
    case Waveform::Saw:
        return SawWave(p);
    case Waveform::Square:
        return SquareWave(p);
    case Waveform::Noise:
        return synthesizer->RandomRange(-1.0f, 1.0f);
    case Waveform::None:
        break;
    }
    return 0.0f;
}

inline float WrapOnce(float phase) noexcept {
    return phase >= kPi ? phase - kTwoPi : phase;
}

// The number of samples of this block, starting at counter n, that lie before
// counter `end` (0 when the block starts at or past it).
inline int SamplesBefore(int64_t end, int64_t n) noexcept {
    return static_cast<int>(std::clamp<int64_t>(end - n, 0, kBlock));
}

// Writes output[i] = (n + i - start) x slope + base for i in [from, to): one
// linear envelope segment. The integer offset is converted as a whole, as the
// per-sample formula does. Runs over the whole block (the usual case) get a
// fixed trip count, which lets the compiler vectorise them.
inline void LinearRun(float* output, int from, int to, int64_t n, int64_t start, float slope,
                      float base) noexcept {
    const int offset = static_cast<int>(n - start);
    if (!kCompact && from == 0 && to == kBlock) {
        for (int i = 0; i < kBlock; ++i) {
            output[i] = static_cast<float>(offset + i) * slope + base;
        }
    } else {
        for (int i = from; i < to; ++i) {
            output[i] = static_cast<float>(offset + i) * slope + base;
        }
    }
}

inline void FillRun(float* output, int from, int to, float value) noexcept {
    if (!kCompact && from == 0 && to == kBlock) {
        for (int i = 0; i < kBlock; ++i) {
            output[i] = value;
        }
    } else {
        for (int i = from; i < to; ++i) {
            output[i] = value;
        }
    }
}

// The last TimeToSamples conversion of one input. The conversion is a pure
// function of the input and the sample rate, so an unchanged input (the usual
// case) reuses the result instead of another pow per block.
class TimeInput {
public:
    int64_t Samples(const Synthesizer& synthesizer, float x) noexcept {
        if (!(x == lastX && synthesizer.SampleRate() == lastRate)) {
            lastX = x;
            lastRate = synthesizer.SampleRate();
            samples = synthesizer.TimeToSamples(x);
        }
        return samples;
    }

private:
    float lastX = std::numeric_limits<float>::quiet_NaN();
    float lastRate = 0.0f;
    int samples = 0;
};

inline int64_t NextCounter(int64_t n) noexcept {
    return std::min(n + kBlock, kCounterLimit);
}

// Phase-distortion accumulator: integrates frequency x pi per sample into a
// phase in [-pi, pi); a pulse width bends the speed within each cycle of a
// straight reference phase.
class Phase final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        float* output = args[0];
        const float* frequency = args[1];
        const float pw = *args[2];
        float phase = state.phase;
        float referencePhase = state.referencePhase;
        if (!kCompact && pw == 0.0f) {
            // FastSin(r) x 0 x 4 + 1 is exactly 1 for every finite r, so the sine
            // is skipped; a NaN reference phase still turns the phase into NaN.
            for (int i = 0; i < kBlock; ++i) {
                const float w = frequency[i] * kPi;
                output[i] = phase;
                const float bend = referencePhase != referencePhase ? referencePhase : 1.0f;
                referencePhase += w;
                phase = phase + bend * w;
                referencePhase = WrapOnce(referencePhase);
                phase = WrapOnce(phase);
            }
        } else {
            for (int i = 0; i < kBlock; ++i) {
                const float w = frequency[i] * kPi;
                output[i] = phase;
                const float r = WrapPhase(referencePhase);
                referencePhase += w;
                phase = phase + (FastSin(r) * pw * 4.0f + 1.0f) * w;
                referencePhase = WrapOnce(referencePhase);
                phase = WrapOnce(phase);
            }
        }
        state = State{phase, referencePhase};
    }

private:
public: // the state is read and written by the voice lane kernels too
    struct State {
        float phase = 0.0f;
        float referencePhase = 0.0f;
    };
    State state;
};

// Phase accumulator restarted at 0 whenever the reference phase crosses from
// <= 0 to > 0 (hard sync).
class SyncPhase final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        float* output = args[0];
        const float* reference = args[1];
        const float* frequency = args[2];
        float phase = state.phase;
        float previousReference = state.previousReference;
        for (int i = 0; i < kBlock; ++i) {
            const float current = reference[i];
            if (previousReference <= 0.0f && current > 0.0f) {
                phase = 0.0f;
            }
            const float increment = frequency[i] * kPi;
            output[i] = phase;
            previousReference = current;
            phase += increment;
            phase = WrapOnce(phase);
        }
        state = State{phase, previousReference};
    }

public: // the state is read and written by the voice lane kernels too
    struct State {
        float phase = 0.0f;
        float previousReference = 0.0f;
    };
    State state;
};

// Audio-rate waveform shaper: output = waveform(phase) x amplification. The
// waveform is chosen once per block so that each loop is straight-line code.
class Osc final : public Node {
public:
    void Render() noexcept override {
        float* output = args[0];
        const float* phase = args[1];
        const float amp = *args[2];
        const Waveform waveform = SelectWaveform(*args[3]);
        if constexpr (kCompact) {
            if (waveform != Waveform::None) {
                for (int i = 0; i < kBlock; ++i) {
                    output[i] = WaveformValue(waveform, phase[i], synthesizer) * amp;
                }
            }
        } else {
            switch (waveform) {
            case Waveform::Sine:
                for (int i = 0; i < kBlock; ++i) {
                    output[i] = FastSin(phase[i]) * amp;
                }
                break;
            case Waveform::SineCosine:
                for (int i = 0; i < kBlock; ++i) {
                    output[i] = SineCosineWave(phase[i]) * amp;
                }
                break;
            case Waveform::Triangle:
#pragma GCC ivdep
                for (int i = 0; i < kBlock; ++i) {
                    output[i] = TriangleWave(phase[i]) * amp;
                }
                break;
            case Waveform::Saw:
#pragma GCC ivdep
                for (int i = 0; i < kBlock; ++i) {
                    output[i] = SawWave(phase[i]) * amp;
                }
                break;
            case Waveform::Square:
#pragma GCC ivdep
                for (int i = 0; i < kBlock; ++i) {
                    output[i] = SquareWave(phase[i]) * amp;
                }
                break;
            case Waveform::Noise:
                for (int i = 0; i < kBlock; ++i) {
                    output[i] = synthesizer->RandomRange(-1.0f, 1.0f) * amp;
                }
                break;
            case Waveform::None:
                break;
            }
        }
    }
};

// Low-frequency oscillator: one value per block, its phase advanced once per
// block. For a type selecting nothing the output slot keeps its value (and is
// still amplified).
class Lfo final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        const float inc = synthesizer->LfoFrequency(*args[1]);
        const float pw = *args[2];
        const float amp = *args[3];
        const Waveform waveform = SelectWaveform(*args[4]);
        const float reset = *args[5];
        if (reset > 0.0f) {
            state = State{};
        }
        float& output = *args[0];
        float value = output;
        if (waveform != Waveform::None) {
            value = WaveformValue(waveform, state.phase, synthesizer);
        }
        const float r = WrapPhase(state.referencePhase);
        state.referencePhase += inc * kPi;
        state.phase = state.phase + (FastSin(r) * pw + 1.0f) * inc * kPi;
        state.referencePhase = WrapOnce(state.referencePhase);
        state.phase = WrapOnce(state.phase);
        output = amp * value;
    }

public: // the state is read and written by the voice lane kernels too
    struct State {
        float phase = 0.0f;
        float referencePhase = 0.0f;
    };
    State state;
};

// Three linear ramps (start -> attack -> decay -> sustain volume), then hold.
// The block is split into runs per segment; each run evaluates exactly the
// per-sample formula.
class Envelope final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        float* output = args[0];
        const int64_t attack = attackTime.Samples(*synthesizer, *args[1]);
        const int64_t decay = decayTime.Samples(*synthesizer, *args[2]);
        const int64_t sustain = sustainTime.Samples(*synthesizer, *args[3]);
        const float startVolume = *args[4];
        const float attackVolume = *args[5];
        const float decayVolume = *args[6];
        const float sustainVolume = *args[7];
        const int64_t n = *args[8] > 0.0f ? 0 : state.counter;

        const int64_t decayStart = attack;
        const int64_t sustainStart = attack + decay;
        const int64_t holdStart = attack + decay + sustain;
        // A segment of length 0 is never entered, so its slope is never used.
        const float attackSlope =
            attack > 0 ? (attackVolume - startVolume) / static_cast<float>(attack) : 0.0f;
        const float decaySlope = decay > 0 ? (decayVolume - attackVolume) / static_cast<float>(decay) : 0.0f;
        const float sustainSlope =
            sustain > 0 ? (sustainVolume - decayVolume) / static_cast<float>(sustain) : 0.0f;

        const int attackEnd = SamplesBefore(decayStart, n);
        const int decayEnd = std::max(attackEnd, SamplesBefore(sustainStart, n));
        const int sustainEnd = std::max(decayEnd, SamplesBefore(holdStart, n));
        LinearRun(output, 0, attackEnd, n, 0, attackSlope, startVolume);
        LinearRun(output, attackEnd, decayEnd, n, decayStart, decaySlope, attackVolume);
        LinearRun(output, decayEnd, sustainEnd, n, sustainStart, sustainSlope, decayVolume);
        FillRun(output, sustainEnd, kBlock, sustainVolume);

        *args[9] = holdStart >= n && holdStart < n + kBlock ? 1.0f : 0.0f;
        state = State{static_cast<int32_t>(NextCounter(n))};
    }

private:
public: // the state is read and written by the voice lane kernels too
    struct State {
        int32_t counter = 0;
    };
    State state;
    TimeInput attackTime;
    TimeInput decayTime;
    TimeInput sustainTime;
};

// Envelope with curved segments: each ramp is pow(t, e) with t going 0..1 and
// the exponent e derived from a 0..1 input (0.5 -> 0, a step; 0 and 1 ->
// straight).
class ExponentialEnvelope final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        float* output = args[0];
        const int64_t attack = attackTime.Samples(*synthesizer, *args[1]);
        const int64_t decay = decayTime.Samples(*synthesizer, *args[2]);
        const int64_t sustain = sustainTime.Samples(*synthesizer, *args[3]);
        const float attackExponent = Exponent(*args[4]);
        const float decayExponent = Exponent(*args[5]);
        const float sustainExponent = Exponent(*args[6]);
        const float startVolume = *args[7];
        const float attackVolume = *args[8];
        const float decayVolume = *args[9];
        const float sustainVolume = *args[10];
        int64_t n = *args[11] > 0.0f ? 0 : state.counter;

        const int64_t sustainStart = attack + decay;
        const int64_t holdStart = attack + decay + sustain;
        // Each reciprocal is used only inside its segment, which a length of 0 never has.
        const float attackStep = attack > 0 ? 1.0f / static_cast<float>(attack) : 0.0f;
        const float decayStep = decay > 0 ? 1.0f / static_cast<float>(decay) : 0.0f;
        const float sustainStep = sustain > 0 ? 1.0f / static_cast<float>(sustain) : 0.0f;

        float done = 0.0f;
        for (int i = 0; i < kBlock; ++i, ++n) {
            float out;
            if (n == 0) {
                out = startVolume;
            } else if (n < attack) {
                out = Pow(static_cast<float>(n) * attackStep, attackExponent) * (attackVolume - startVolume) +
                      startVolume;
            } else if (n == attack) {
                out = attackVolume;
            } else if (n < sustainStart) {
                out = Pow(static_cast<float>(n - attack) * decayStep, decayExponent) *
                          (decayVolume - attackVolume) +
                      attackVolume;
            } else if (n == sustainStart) {
                out = decayVolume;
            } else if (n >= holdStart) {
                out = sustainVolume;
            } else {
                out = Pow(static_cast<float>(n - sustainStart) * sustainStep, sustainExponent) *
                          (sustainVolume - decayVolume) +
                      decayVolume;
            }
            if (n == holdStart) {
                done = 1.0f;
            }
            output[i] = out;
        }
        *args[12] = done;
        state = State{static_cast<int32_t>(std::min(n, kCounterLimit))};
    }

private:
    // e = 2x - 1 in the written order; a negative e becomes -1/e.
    static float Exponent(float x) noexcept {
        float e = ((x - 0.5f) + x) - 0.5f;
        if (e < 0.0f) {
            e = -1.0f / e;
        }
        return e;
    }

    struct State {
        int32_t counter = 0;
    };
    State state;
    TimeInput attackTime;
    TimeInput decayTime;
    TimeInput sustainTime;
};

// Linear fade from 1 to 0 over the release time once the flag has been seen;
// pin 1 reports the end of the fade (the voice's finished signal).
class Release final : public Node {
public:
    void Reset() noexcept override { state = State{}; }

    void Render() noexcept override {
        float* output = args[0];
        const int64_t release = releaseTime.Samples(*synthesizer, *args[2]);
        if (*args[3] > 0.0f) {
            state.released = true;
        }
        float trig = 0.0f;
        if (!state.released) {
            FillRun(output, 0, kBlock, 1.0f);
        } else {
            const int64_t n = state.counter;
            // The fade covers counters 0..R. A release time of 0 samples is a cut
            // to silence: 1 - 0 x (1/0) would be NaN.
            const int fadeEnd = release > 0 ? SamplesBefore(release + 1, n) : 0;
            const float step = release > 0 ? 1.0f / static_cast<float>(release) : 0.0f;
            const int offset = static_cast<int>(n);
            for (int i = 0; i < fadeEnd; ++i) {
                output[i] = 1.0f - static_cast<float>(offset + i) * step;
            }
            FillRun(output, fadeEnd, kBlock, 0.0f);
            if (release >= n && release < n + kBlock) {
                trig = 1.0f;
            }
            state.counter = static_cast<int32_t>(NextCounter(n));
        }
        *args[1] = trig;
    }

private:
public: // the state is read and written by the voice lane kernels too
    struct State {
        int32_t counter = 0;
        bool released = false;
    };
    State state;
    TimeInput releaseTime;
};

} // namespace Modules::Generators

} // namespace brl::Korvax
