#pragma once

#include "korvax/korvaxmath.h"
#include "korvax/korvaxnotes.h"
#include "korvax/korvaxsynth.h"

#include <cmath>
#include <cstdint>

namespace brl::Korvax {

namespace Modules::Tools {

constexpr int N = kSamplesPerBuffer;

template <class F>
[[gnu::always_inline]] inline void MapApart(float* __restrict out, const float* __restrict a, F f) noexcept {
    for (int i = 0; i < N; ++i) {
        out[i] = f(a[i]);
    }
}

template <class F> [[gnu::always_inline]] inline void MapInPlace(float* out, F f) noexcept {
    for (int i = 0; i < N; ++i) {
        out[i] = f(out[i]);
    }
}

template <class F> void Map(float* out, const float* a, F f) noexcept {
    if (!kCompact && out == a) {
        MapInPlace(out, f);
    } else if (!kCompact && Separate(out, a)) {
        MapApart(out, a, f);
    } else {
        for (int i = 0; i < N; ++i) {
            out[i] = f(a[i]);
        }
    }
}

template <class F>
[[gnu::always_inline]] inline void Map2Apart(float* __restrict out, const float* __restrict a,
                                             const float* __restrict b, F f) noexcept {
    for (int i = 0; i < N; ++i) {
        out[i] = f(a[i], b[i]);
    }
}

// Map2 with the output being the first input (`first` true) or the second.
template <bool first, class F>
[[gnu::always_inline]] inline void Map2InPlace(float* __restrict out, const float* __restrict other,
                                               F f) noexcept {
    for (int i = 0; i < N; ++i) {
        out[i] = first ? f(out[i], other[i]) : f(other[i], out[i]);
    }
}

template <class F> void Map2(float* out, const float* a, const float* b, F f) noexcept {
    if (!kCompact && InPlaceOrSeparate(out, a) && InPlaceOrSeparate(out, b)) {
        if (out == a && out == b) {
            MapInPlace(out, [f](float x) { return f(x, x); });
        } else if (out == a) {
            Map2InPlace<true>(out, b, f);
        } else if (out == b) {
            Map2InPlace<false>(out, a, f);
        } else {
            Map2Apart(out, a, b, f);
        }
    } else {
        for (int i = 0; i < N; ++i) {
            out[i] = f(a[i], b[i]);
        }
    }
}

[[gnu::always_inline]] inline void AccumulateApart(float* __restrict out,
                                                   const float* __restrict in) noexcept {
    for (int i = 0; i < N; ++i) {
        out[i] = out[i] + in[i];
    }
}

// out[i] += in[i]
inline void Accumulate(float* out, const float* in) noexcept {
    if (!kCompact && out == in) {
        MapInPlace(out, [](float x) { return x + x; });
    } else if (!kCompact && Separate(out, in)) {
        AccumulateApart(out, in);
    } else {
        for (int i = 0; i < N; ++i) {
            out[i] = out[i] + in[i];
        }
    }
}

class Add final : public Node {
public:
    void Render() noexcept override {
        Map2(args[0], args[1], args[2], [](float src1, float src2) { return src1 + src2; });
    }
};

class Mul final : public Node {
public:
    void Render() noexcept override {
        Map2(args[0], args[1], args[2], [](float src1, float src2) { return src1 * src2; });
    }
};

class Amp final : public Node {
public:
    void Render() noexcept override {
        const float amount = args[2][0];
        Map(args[0], args[1], [amount](float src) { return src * amount; });
    }
};

class Gain final : public Node {
public:
    void Render() noexcept override {
        const float gain = Synthesizer::GainFull(args[2][0]);
        Map(args[0], args[1], [gain](float src) { return src * gain; });
    }
};

class Bias final : public Node {
public:
    void Render() noexcept override {
        const float amount = args[2][0];
        Map(args[0], args[1], [amount](float src) { return src + amount; });
    }
};

class Set final : public Node {
public:
    void Render() noexcept override {
        float* out = args[0];
        const float value = args[1][0];
        for (int i = 0; i < N; ++i) {
            out[i] = value;
        }
    }
};

class Copy final : public Node {
public:
    void Render() noexcept override {
        float* out1 = args[0];
        float* out2 = args[1];
        const float* in = args[2];
        if (!kCompact && Separate(out1, in) && Separate(out2, in) && Separate(out1, out2)) {
            MapApart(out1, in, [](float x) { return x; });
            MapApart(out2, in, [](float x) { return x; });
        } else {
            for (int i = 0; i < N; ++i) {
                out1[i] = in[i];
                out2[i] = in[i];
            }
        }
    }
};

// Sums input blocks into out: the partial sums go through a local block, which
// nothing else can name, so out is written only after every input was read.
template <int Inputs> void MixBlocks(float* out, float* const* in) noexcept {
    bool apart = !kCompact;
    for (int k = 0; k < Inputs; ++k) {
        apart = apart && (in[k] == out || Separate(out, in[k]));
    }
    if (!apart) {
        for (int i = 0; i < N; ++i) {
            float sum = in[0][i];
            for (int k = 1; k < Inputs; ++k) {
                sum = sum + in[k][i];
            }
            out[i] = sum;
        }
        return;
    }
    alignas(16) float sum[N];
    MapApart(sum, in[0], [](float x) { return x; });
    for (int k = 1; k < Inputs; ++k) {
        AccumulateApart(sum, in[k]);
    }
    MapApart(out, sum, [](float x) { return x; });
}

class Mix4 final : public Node {
public:
    void Render() noexcept override { MixBlocks<4>(args[0], args + 1); }
};

class Mix8 final : public Node {
public:
    void Render() noexcept override { MixBlocks<8>(args[0], args + 1); }
};

class Invert final : public Node {
public:
    void Render() noexcept override {
        Map(args[0], args[1], [](float in) { return -in; });
    }
};

class OneMinusX final : public Node {
public:
    void Render() noexcept override {
        Map(args[0], args[1], [](float in) { return 1.0f - in; });
    }
};

class Clamp final : public Node {
public:
    void Render() noexcept override {
        Map(args[0], args[1], [](float in) { return in <= 0.0f ? 0.0f : (in >= 1.0f ? 1.0f : in); });
    }
};

class Clip final : public Node {
public:
    void Render() noexcept override {
        const float level = args[2][0];
        const float negLevel = -level;
        Map(args[0], args[1],
            [level, negLevel](float in) { return in > level ? level : (in < negLevel ? negLevel : in); });
    }
};

class MidSide final : public Node {
public:
    void Render() noexcept override {
        float* mid = args[0];
        float* side = args[1];
        const float* left = args[2];
        const float* right = args[3];
        if (!kCompact && Separate(mid, left) && Separate(mid, right) && Separate(side, left) &&
            Separate(side, right) && Separate(mid, side)) {
            Map2Apart(mid, right, left, [](float r, float l) { return (r + l) * 0.70710677f; });
            Map2Apart(side, left, right, [](float l, float r) { return (l - r) * 0.70710677f; });
        } else {
            for (int i = 0; i < N; ++i) {
                mid[i] = (right[i] + left[i]) * 0.70710677f;
                side[i] = (left[i] - right[i]) * 0.70710677f;
            }
        }
    }
};

class Balance final : public Node {
public:
    void Render() noexcept override {
        const float pan = args[2][0];
        args[0][0] = 1.0f - pan;
        args[1][0] = pan;
    }
};

class Panning final : public Node {
public:
    void Render() noexcept override {
        const float pan = args[2][0];
        args[0][0] = std::sqrt(1.0f - pan);
        args[1][0] = std::sqrt(pan);
    }
};

class ScaleDown final : public Node {
public:
    void Render() noexcept override {
        const float in = args[1][0];
        args[0][0] = (in + in) - 1.0f;
    }
};

class ScaleUp final : public Node {
public:
    void Render() noexcept override { args[0][0] = (args[1][0] + 1.0f) * 0.5f; }
};

class Modulate final : public Node {
public:
    void Render() noexcept override {
        const float target = args[1][0];
        const float source = args[2][0];
        const float amount = args[3][0];
        args[0][0] = amount * source + target;
    }
};

class Highres final : public Node {
public:
    void Render() noexcept override {
        const float high = args[1][0];
        const float low = args[2][0];
        args[0][0] = low * 0.0078125f + high;
    }
};

// Sample and hold on the rising edge of the clock.
class SH final : public Node {
public:
    void Reset() noexcept override { state = {}; }
    void Render() noexcept override {
        const float clock = args[1][0];
        const float source = args[2][0];
        if (state.previousClock <= 0.0f && clock > 0.0f) {
            state.held = source;
        }
        state.previousClock = clock;
        args[0][0] = state.held;
    }

public: // the state is read and written by the voice lane kernels too
    struct State {
        float held = 0.0f;
        float previousClock = 0.0f;
    } state;
};

class Transpose final : public Node {
public:
    void Render() noexcept override {
        const float input = args[1][0];
        const float halftones = args[2][0];
        const float detune = args[3][0];
        args[0][0] = ((detune - 0.5f) * 0.0078125f + halftones + input) - 0.5f;
    }
};

class MapNote final : public Node {
public:
    void Render() noexcept override {
        const float note = args[1][0];
        args[0][0] = NoteFrequency(0, note * 128.0f, 440.0f, 0) * 2.0f * synthesizer->InverseSampleRate();
    }
};

class MapNoteAdvanced final : public Node {
public:
    void Render() noexcept override {
        const float note = args[1][0];
        const float tuning = args[2][0];
        const float master = args[3][0];
        const float basenote = args[4][0];
        // trunc(tuning x 15) reaches 15 for tuning 1.0, one past the last
        // table; the index is clamped to the tables that exist.
        int table = TruncToInt(tuning * 15.0f);
        table = table < 0 ? 0 : (table >= kNoteTables ? kNoteTables - 1 : table);
        const float frequency =
            NoteFrequency(table, note * 128.0f, master * 10.0f + 440.0f, TruncToInt(basenote));
        args[0][0] = frequency * 2.0f * synthesizer->InverseSampleRate();
    }
};

class MapNoteHighres final : public Node {
public:
    void Render() noexcept override {
        float* out = args[0];
        const float* note = args[1];
        const float scale = synthesizer->InverseSampleRate() * 880.0f;
        for (int i = 0; i < N; ++i) {
            out[i] = scale * Exp2(note[i] * 10.666667f - 5.75f);
        }
    }
};

// Copies the eight input buffers of the slot memory to its outputs.
class Input final : public Node {
public:
    void Render() noexcept override {
        const float* memory = synthesizer->Memory();
        for (int k = 0; k < 8; ++k) {
            Map(args[k], memory + kInputBufferBase + k * N, [](float x) { return x; });
        }
    }
};

// Adds into the left and right output blocks.
class Output final : public Node {
public:
    void Render() noexcept override {
        float* memory = synthesizer->Memory();
        Accumulate(memory + kOutputLeft, args[0]);
        Accumulate(memory + kOutputRight, args[1]);
    }
};

// Adds into the eight debug blocks of the output area.
class DebugNode final : public Node {
public:
    void Render() noexcept override {
        float* memory = synthesizer->Memory();
        for (int k = 0; k < 8; ++k) {
            Accumulate(memory + kOutputAreaBase + k * N, args[k]);
        }
    }
};

} // namespace Modules::Tools

} // namespace brl::Korvax
