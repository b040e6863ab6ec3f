#pragma once

#include "libbrelm/string.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace brl::Time {

// One clock source. A reading divided by Frequency() gives seconds.
class ClockImpl {
public:
    virtual ~ClockImpl() = default;
    virtual bool IsAvailable() const = 0;
    virtual uint64_t Now() = 0;
    virtual uint64_t Frequency() = 0;
    virtual uint64_t Resolution() = 0;
    virtual String Name() const = 0;
};

// Monotonic milliseconds in 32.32 fixed point. Always available; any thread.
class ClockGetTickCount : public ClockImpl {
public:
    bool IsAvailable() const override { return true; }
    uint64_t Now() override;
    uint64_t Frequency() override { return 1000ull << 32; }
    uint64_t Resolution() override { return 10ull << 32; }
    String Name() const override { return L"GetTickCount"; }
};

// The multimedia timer. There is none on Linux, so it is never available; its
// readings stand in with the tick count so a direct user still sees time pass.
class ClockWinmm : public ClockImpl {
public:
    bool IsAvailable() const override { return false; }
    uint64_t Now() override;
    uint64_t Frequency() override { return 1000ull << 32; }
    uint64_t Resolution() override { return 1ull << 32; }
    String Name() const override { return L"timeGetTime"; }
};

// Monotonic nanoseconds. Any thread.
class ClockQPC : public ClockImpl {
public:
    bool IsAvailable() const override;
    uint64_t Now() override;
    uint64_t Frequency() override { return 1000000000ull; }
    uint64_t Resolution() override { return 1; }
    String Name() const override { return L"QueryPerfomanceCounter"; }
};

// Nanoseconds since 1970-01-01T00:00:00Z. Any thread.
class ClockUTCImpl : public ClockImpl {
public:
    bool IsAvailable() const override { return true; }
    uint64_t Now() override;
    uint64_t Frequency() override { return 1000000000ull; }
    uint64_t Resolution() override { return 100; }
    String Name() const override { return L"( t - 1970-01-01T00:00:00Z ) [ns]"; }
};

// The processor time-stamp counter, its frequency estimated against a
// reference clock. Now() may be called from any thread; Frequency() keeps the
// calibration under its own lock.
class ClockRDTSC : public ClockImpl {
public:
    // reference defaults to ClockQPC.
    explicit ClockRDTSC(std::unique_ptr<ClockImpl> reference = nullptr);
    bool IsAvailable() const override;
    uint64_t Now() override;
    uint64_t Frequency() override;
    uint64_t Resolution() override { return 1; }
    String Name() const override { return L"rdtsc"; }

protected:
    ClockRDTSC(std::unique_ptr<ClockImpl> reference, bool calibrate);
    void Calibrate();
    void Sample(uint64_t& counter, uint64_t& reference);
    static uint64_t ReadCounter();

private:
    std::mutex mutex_;
    std::unique_ptr<ClockImpl> reference_;
    uint64_t counterStart_ = 0;
    uint64_t referenceStart_ = 0;
    uint64_t frequency_ = 0;
};

// The time-stamp counter, used only when the processor promises a constant
// rate across cores and power states; readings never go backwards.
// Calibrated against the UTC clock.
class ClockSafeRDTSC : public ClockRDTSC {
public:
    ClockSafeRDTSC();
    bool IsAvailable() const override;
    uint64_t Now() override;
    String Name() const override { return L"safe_rdtsc"; }

private:
    std::atomic<uint64_t> last_{0};
};

// The first available of the candidates; the last candidate is taken when none
// reports itself available.
std::unique_ptr<ClockImpl> ChooseClock(std::vector<std::unique_ptr<ClockImpl>> candidates);

// A public clock: holds one implementation chosen at construction.
class Clock {
public:
    explicit Clock(std::unique_ptr<ClockImpl> impl);
    virtual ~Clock();
    uint64_t Now() { return impl_->Now(); }
    uint64_t Frequency() { return impl_->Frequency(); }
    uint64_t Resolution() { return impl_->Resolution(); }
    String Name() const { return impl_->Name(); }
    // Seconds since an arbitrary origin of this clock.
    double Seconds() { return static_cast<double>(Now()) / static_cast<double>(Frequency()); }

private:
    std::unique_ptr<ClockImpl> impl_;
};

// Nanoseconds since 1970-01-01T00:00:00Z.
class ClockUTC : public Clock {
public:
    ClockUTC();
};

// Millisecond tick count in 32.32 fixed point (frequency 1000 x 2^32).
class ClockSteady : public Clock {
public:
    ClockSteady();
};

// Performance counter, else multimedia timer, else tick count. The candidate
// list (in fallback order) can be given explicitly.
class ClockHighres : public Clock {
public:
    ClockHighres();
    explicit ClockHighres(std::vector<std::unique_ptr<ClockImpl>> candidates);
    static std::vector<std::unique_ptr<ClockImpl>> DefaultCandidates();
};

// Guarded time-stamp counter, else multimedia timer, else tick count.
class ClockCPU : public Clock {
public:
    ClockCPU();
    explicit ClockCPU(std::vector<std::unique_ptr<ClockImpl>> candidates);
    static std::vector<std::unique_ptr<ClockImpl>> DefaultCandidates();
};

} // namespace brl::Time
