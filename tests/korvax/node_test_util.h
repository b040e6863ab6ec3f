#pragma once

#include "korvax/korvaxsynth.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace brl::Korvax::Testing {

// A synthesizer that plays nothing: the host of a single node under test.
class NodeHost final : public Synthesizer {
protected:
    void AcquireProgram() noexcept override {}
    void ReleaseProgram() noexcept override {}
    void DoTick() noexcept override {}
};

// One node whose pin i is bound to the dynamic block 0x8000 + i x 128; a value
// pin is element 0 of its block.
struct NodeRig {
    explicit NodeRig(uint8_t opcode, float rate = kDefaultSampleRate,
                     std::initializer_list<std::pair<int, float>> values = {}) {
        host->SetSampleRate(rate);
        uint16_t operands[kMaxNodeArgs];
        for (int i = 0; i < kMaxNodeArgs; ++i) {
            operands[i] = Operand(i);
        }
        node.reset(InstantiateNode(opcode, operands, host.get(), 0, 0));
        for (const auto& [pin, value] : values) {
            *Pin(pin) = value;
        }
    }
    static uint16_t Operand(int pin) { return static_cast<uint16_t>(0x8000 + pin * kSamplesPerBuffer); }
    float* Pin(int pin) { return host->Memory() + Operand(pin); }
    float& operator[](int pin) { return *Pin(pin); }
    // Sets the value pins first, first + 1, ...
    void Set(int first, std::initializer_list<float> values) {
        for (float value : values) {
            *Pin(first++) = value;
        }
    }
    void Render() { node->Render(); }
    // Renders `blocks` buffers with input pin `in` fed from source(n), calling
    // before(b) ahead of buffer b; returns output pin 0.
    std::vector<float> Run(int blocks, const std::function<float(int)>& source, int in = 1,
                           const std::function<void(int)>& before = {}) {
        std::vector<float> left;
        for (int b = 0; b < blocks; ++b) {
            if (before) {
                before(b);
            }
            for (int i = 0; i < kSamplesPerBuffer; ++i) {
                Pin(in)[i] = source(b * kSamplesPerBuffer + i);
            }
            node->Render();
            left.insert(left.end(), Pin(0), Pin(0) + kSamplesPerBuffer);
        }
        return left;
    }
    std::unique_ptr<NodeHost> host = std::make_unique<NodeHost>();
    std::unique_ptr<Node> node;
};

// The time input whose conversion is the first to reach `samples`.
inline float TimeFor(const Synthesizer& host, int samples) {
    float lo = -1.0f;
    float hi = 2.0f;
    for (int i = 0; i < 60; ++i) {
        const float mid = (lo + hi) * 0.5f;
        (host.TimeToSamples(mid) < samples ? lo : hi) = mid;
    }
    return hi;
}

// Bit-for-bit equality, with any two NaNs counting as equal.
inline bool SameFloat(float a, float b) {
    if (a != a || b != b) {
        return a != a && b != b;
    }
    return std::memcmp(&a, &b, sizeof(float)) == 0;
}

// Index of the first of `count` samples that differ, or -1.
inline int FirstMismatch(const float* actual, const float* expected, int count) {
    for (int i = 0; i < count; ++i) {
        if (!SameFloat(actual[i], expected[i])) {
            return i;
        }
    }
    return -1;
}

} // namespace brl::Korvax::Testing
