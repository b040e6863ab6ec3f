// Replaces the global allocation functions of the test program to count the
// allocations made while a guard is set around the render loop.

#include "korvax/korvaxsynth.h"

#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

void* CountedAllocate(std::size_t size) {
    if (gCounting.load(std::memory_order_relaxed)) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

// Counts allocations for as long as it lives.
class AllocationGuard {
public:
    AllocationGuard() {
        gAllocations = 0;
        gCounting = true;
    }
    ~AllocationGuard() { gCounting = false; }
    AllocationGuard(const AllocationGuard&) = delete;
    AllocationGuard& operator=(const AllocationGuard&) = delete;
    long Count() const { return gAllocations.load(); }
};

} // namespace

void* operator new(std::size_t size) {
    return CountedAllocate(size);
}
void* operator new[](std::size_t size) {
    return CountedAllocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return CountedAllocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

using namespace brl::Korvax;
using korvax_reference::VoiceEffect;
using korvax_runtime_test::MakeSynth;

TEST(RealtimeSafety, GuardCountsAllocations) {
    AllocationGuard guard;
    int* probe = new int(3);
    delete probe;
    EXPECT_EQ(guard.Count(), 1);
}

TEST(RealtimeSafety, RenderingAFullProgramAllocatesNothing) {
    auto synth = MakeSynth();
    korvax_reference::ByteCode code;
    for (int channel = 0; channel < kChannels; ++channel) {
        // Three channels carry the effects whose lines are cleared on every voice start.
        const VoiceEffect effect = channel == 1   ? VoiceEffect::Delay
                                   : channel == 2 ? VoiceEffect::Chorus
                                   : channel == 3 ? VoiceEffect::RMSDetect
                                                  : VoiceEffect::None;
        korvax_reference::AddReferenceVoice(code, channel, effect);
        korvax_reference::SetReferenceParameters(synth->Memory(), channel);
    }
    ASSERT_TRUE(synth->Load(code));

    AllocationGuard guard;
    for (int round = 0; round < 3; ++round) {
        for (int channel = 0; channel < kChannels; ++channel) {
            for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
                synth->NoteOn(channel, 40 + voice + round, 100);
            }
        }
        synth->Render(4);
        for (int channel = 0; channel < kChannels; ++channel) {
            synth->NoteOff(channel, 41 + round);
        }
        synth->Render(4);
    }
    EXPECT_EQ(guard.Count(), 0);

    int sounding = 0;
    for (int record = 0; record < kVoiceRecords; ++record) {
        sounding += synth->voices[record * kVoiceFields + kVoiceActive] > 0.0f;
    }
    EXPECT_GE(sounding, kVoiceRecords - kChannels); // all but the released ones still sound
    float peak = 0.0f;
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        peak = std::max(peak, std::fabs(synth->Memory()[kOutputLeft + i]));
    }
    EXPECT_GT(peak, 0.0f);
}

} // namespace
