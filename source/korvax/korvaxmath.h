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

// Wraps into [-pi, pi] by whole turns, one subtraction at a time as the player
// does. A value so large (or not finite) that stepping would never end is
// treated as phase 0: such input is already meaningless and must not hang the
// audio thread.
inline float WrapPhase(float x) noexcept {
    if (!(x >= -65536.0f && x <= 65536.0f)) {
        return x != x ? x : 0.0f;
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
    return ((((2.4801588e-5f - t * 2.755732e-7f) * t - 0.0013888889f) * t + 0.041666668f) * t - 0.5f) * t + 1.0f;
}

// Single-precision power that gives 0 for a zero base.
inline float Pow(float a, float b) noexcept { return a == 0.0f ? 0.0f : std::pow(a, b); }

inline float Exp2(float x) noexcept { return std::exp2(x); }

} // namespace brl::Korvax
