#include "libbrelm/time.h"

#include "libbrelm/debug.h"

#include <ctime>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define BRL_HAVE_TSC 1
#else
#define BRL_HAVE_TSC 0
#endif

namespace brl::Time {

namespace {

bool ReadClock(clockid_t id, uint64_t& nanoseconds) {
    timespec ts{};
    if (::clock_gettime(id, &ts) != 0) {
        return false;
    }
    nanoseconds = static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
    return true;
}

uint64_t MonotonicNanoseconds() {
    uint64_t ns = 0;
    ReadClock(CLOCK_MONOTONIC, ns);
    return ns;
}

uint64_t TickCount() {
    return (MonotonicNanoseconds() / 1000000ull) << 32;
}

// a * b / c without overflowing the product.
uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) {
    return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b / c);
}

} // namespace

uint64_t ClockGetTickCount::Now() {
    return TickCount();
}

uint64_t ClockWinmm::Now() {
    return TickCount();
}

bool ClockQPC::IsAvailable() const {
    timespec ts{};
    return ::clock_getres(CLOCK_MONOTONIC, &ts) == 0;
}

uint64_t ClockQPC::Now() {
    return MonotonicNanoseconds();
}

uint64_t ClockUTCImpl::Now() {
    uint64_t ns = 0;
    ReadClock(CLOCK_REALTIME, ns);
    return ns;
}

ClockRDTSC::ClockRDTSC(std::unique_ptr<ClockImpl> reference) : ClockRDTSC(std::move(reference), true) {}

ClockRDTSC::ClockRDTSC(std::unique_ptr<ClockImpl> reference, bool calibrate)
    : reference_(reference ? std::move(reference) : std::make_unique<ClockQPC>()) {
    if (calibrate) {
        Calibrate();
    }
}

bool ClockRDTSC::IsAvailable() const {
    return BRL_HAVE_TSC != 0;
}

uint64_t ClockRDTSC::ReadCounter() {
#if BRL_HAVE_TSC
    return __rdtsc();
#else
    return 0;
#endif
}

uint64_t ClockRDTSC::Now() {
    return ReadCounter();
}

// Reads both counters close together: the reference is read before and after
// the counter and the tightest of a few tries is kept, so that a preemption
// between the two reads does not skew the estimate.
void ClockRDTSC::Sample(uint64_t& counter, uint64_t& reference) {
    uint64_t bestSpread = UINT64_MAX;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const uint64_t before = reference_->Now();
        const uint64_t reading = ReadCounter();
        const uint64_t after = reference_->Now();
        const uint64_t spread = after >= before ? after - before : UINT64_MAX - 1;
        if (spread < bestSpread) {
            bestSpread = spread;
            counter = reading;
            reference = before + spread / 2;
        }
    }
}

// First estimate over a few milliseconds of reference time; Frequency()
// refines it once more than a second has passed.
void ClockRDTSC::Calibrate() {
    std::lock_guard<std::mutex> lock(mutex_);
    Sample(counterStart_, referenceStart_);
    const uint64_t referenceFrequency = reference_->Frequency();
    const uint64_t window = referenceFrequency / 200;
    const uint64_t giveUp = MonotonicNanoseconds() + 50000000ull;
    uint64_t counterNow = counterStart_;
    uint64_t referenceNow = referenceStart_;
    while (MonotonicNanoseconds() < giveUp) {
        Sample(counterNow, referenceNow);
        if (referenceNow > referenceStart_ && referenceNow - referenceStart_ >= window) {
            break;
        }
    }
    if (referenceNow > referenceStart_ && counterNow > counterStart_) {
        frequency_ = MulDiv(counterNow - counterStart_, referenceFrequency, referenceNow - referenceStart_);
    } else {
        frequency_ = 1000000000ull;
    }
}

uint64_t ClockRDTSC::Frequency() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t counterNow = 0;
    uint64_t referenceNow = 0;
    Sample(counterNow, referenceNow);
    const uint64_t referenceFrequency = reference_->Frequency();
    if (referenceNow > referenceStart_ && referenceNow - referenceStart_ > referenceFrequency &&
        counterNow > counterStart_) {
        frequency_ = MulDiv(counterNow - counterStart_, referenceFrequency, referenceNow - referenceStart_);
    }
    return frequency_;
}

namespace {
// The processor reports an invariant time-stamp counter (CPUID 0x80000007,
// EDX bit 8): constant rate in every power state and synchronised cores.
bool HasInvariantTsc() {
#if BRL_HAVE_TSC
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0x80000000u, &eax, &ebx, &ecx, &edx) == 0 || eax < 0x80000007u) {
        return false;
    }
    if (__get_cpuid(0x80000007u, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    return (edx & (1u << 8)) != 0;
#else
    return false;
#endif
}
} // namespace

ClockSafeRDTSC::ClockSafeRDTSC() : ClockRDTSC(std::make_unique<ClockUTCImpl>(), false) {
    if (HasInvariantTsc()) {
        Calibrate();
    }
}

bool ClockSafeRDTSC::IsAvailable() const {
    return HasInvariantTsc();
}

uint64_t ClockSafeRDTSC::Now() {
    const uint64_t reading = ReadCounter();
    uint64_t last = last_.load(std::memory_order_relaxed);
    while (reading > last && !last_.compare_exchange_weak(last, reading, std::memory_order_relaxed)) {
    }
    return reading > last ? reading : last;
}

std::unique_ptr<ClockImpl> ChooseClock(std::vector<std::unique_ptr<ClockImpl>> candidates) {
    for (auto& candidate : candidates) {
        if (candidate && candidate->IsAvailable()) {
            return std::move(candidate);
        }
    }
    for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
        if (*it) {
            return std::move(*it);
        }
    }
    return std::make_unique<ClockGetTickCount>();
}

Clock::Clock(std::unique_ptr<ClockImpl> impl) : impl_(std::move(impl)) {
    if (!BRL_ASSERT(impl_ != nullptr)) {
        impl_ = std::make_unique<ClockGetTickCount>();
    }
}

Clock::~Clock() = default;

ClockUTC::ClockUTC() : Clock(std::make_unique<ClockUTCImpl>()) {}

ClockSteady::ClockSteady() : Clock(std::make_unique<ClockGetTickCount>()) {}

ClockHighres::ClockHighres() : ClockHighres(DefaultCandidates()) {}

ClockHighres::ClockHighres(std::vector<std::unique_ptr<ClockImpl>> candidates)
    : Clock(ChooseClock(std::move(candidates))) {}

std::vector<std::unique_ptr<ClockImpl>> ClockHighres::DefaultCandidates() {
    std::vector<std::unique_ptr<ClockImpl>> candidates;
    candidates.push_back(std::make_unique<ClockQPC>());
    candidates.push_back(std::make_unique<ClockWinmm>());
    candidates.push_back(std::make_unique<ClockGetTickCount>());
    return candidates;
}

ClockCPU::ClockCPU() : ClockCPU(DefaultCandidates()) {}

ClockCPU::ClockCPU(std::vector<std::unique_ptr<ClockImpl>> candidates)
    : Clock(ChooseClock(std::move(candidates))) {}

std::vector<std::unique_ptr<ClockImpl>> ClockCPU::DefaultCandidates() {
    std::vector<std::unique_ptr<ClockImpl>> candidates;
    candidates.push_back(std::make_unique<ClockSafeRDTSC>());
    candidates.push_back(std::make_unique<ClockWinmm>());
    candidates.push_back(std::make_unique<ClockGetTickCount>());
    return candidates;
}

} // namespace brl::Time
