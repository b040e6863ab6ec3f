#pragma once

#include <cmath>
#include <cstdint>

namespace brl::Korvax {

// Single-precision constants shared by the modules.
constexpr float kPi = 3.1415927f;
constexpr float kTwoPi = 6.2831855f;
constexpr float kHalfPi = 1.5707964f;
constexpr float kTwoOverPi = 0.63661975f;
constexpr float kOneOverPi = 0.31830987f;
constexpr float kNoteScale = 0.0078125f; // 1/128

// Wraps into [-pi, pi] by whole turns, one subtraction at a time, which is
// exact for the phases the modules produce. Far outside that range (a driven
// distortion can ask for sines of hundreds of radians) stepping would cost the
// audio thread thousands of iterations per sample, so such values are first
// reduced with one remainder; values that are not finite give phase 0 (NaN
// stays NaN).
inline float WrapPhase(float x) noexcept {
    if (!(x >= -256.0f && x <= 256.0f)) {
        if (x != x) {
            return x;
        }
        if (!(x >= -3.0e38f && x <= 3.0e38f)) {
            return 0.0f;
        }
        x = std::fmod(x, kTwoPi);
    }
    while (x > kPi) {
        x -= kTwoPi;
    }
    while (x < -kPi) {
        x += kTwoPi;
    }
    return x;
}

inline float FastSin(float x) noexcept {
    x = WrapPhase(x);
    const float t = x * x;
    return ((((t * 2.7557319e-6f - 0.0001984127f) * t + 0.008333334f) * t - 0.16666667f) * t + 1.0f) * x;
}

inline float FastCos(float x) noexcept {
    x = WrapPhase(x);
    const float t = x * x;
    return ((((2.4801588e-5f - t * 2.755732e-7f) * t - 0.0013888889f) * t + 0.041666668f) * t - 0.5f) * t +
           1.0f;
}

// Single-precision power that gives 0 for a zero base.
inline float Pow(float a, float b) noexcept {
    return a == 0.0f ? 0.0f : std::pow(a, b);
}

inline float Exp2(float x) noexcept {
    return std::exp2(x);
}

// Truncation toward zero that saturates instead of overflowing: parameters come
// from the user and may be any float, and a plain conversion of an out-of-range
// value is undefined. NaN gives 0.
inline int32_t TruncToInt(float x) noexcept {
    if (x != x) {
        return 0;
    }
    if (x >= 2147483648.0f) {
        return INT32_MAX;
    }
    if (x <= -2147483648.0f) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(x);
}

} // namespace brl::Korvax
