#include "libbrelm/time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

using brl::Time::ClockImpl;

// A clock whose availability and readings the test decides.
class FakeClock : public ClockImpl {
public:
    FakeClock(bool available, const wchar_t* name) : available_(available), name_(name) {}
    bool IsAvailable() const override { return available_; }
    uint64_t Now() override { return now->load(); }
    uint64_t Frequency() override { return 1000; }
    uint64_t Resolution() override { return 1; }
    brl::String Name() const override { return name_; }

    std::shared_ptr<std::atomic<uint64_t>> now = std::make_shared<std::atomic<uint64_t>>(0);

private:
    bool available_;
    brl::String name_;
};

std::vector<std::unique_ptr<ClockImpl>> Candidates(bool first, bool second, bool tickCount = true) {
    std::vector<std::unique_ptr<ClockImpl>> list;
    list.push_back(std::make_unique<FakeClock>(first, L"first"));
    list.push_back(std::make_unique<FakeClock>(second, L"second"));
    if (tickCount) {
        list.push_back(std::make_unique<brl::Time::ClockGetTickCount>());
    }
    return list;
}

} // namespace

TEST(Clocks, FallBackToTheFirstAvailableCandidateAndTheDefaultsCountUnixTimeAndSteadyMilliseconds) {
    EXPECT_EQ(brl::Time::ClockHighres(Candidates(true, true)).Name(), L"first");
    EXPECT_EQ(brl::Time::ClockCPU(Candidates(false, true)).Name(), L"second");
    EXPECT_EQ(brl::Time::ClockHighres(Candidates(false, false)).Name(), L"GetTickCount");
    // With nothing available the last candidate, and without candidates the tick count.
    EXPECT_EQ(brl::Time::ChooseClock(Candidates(false, false, false))->Name(), L"second");
    EXPECT_EQ(brl::Time::ChooseClock({})->Name(), L"GetTickCount");

    // UTC is Unix time; std::time() may lag the precise clock by a tick, so the bounds come from the precise
    // one.
    const auto unixSeconds = [] {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count());
    };
    brl::Time::ClockUTC utc;
    const uint64_t before = unixSeconds();
    const uint64_t seconds = utc.Now() / utc.Frequency();
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, unixSeconds());

    // The steady clock counts whole milliseconds in fixed point.
    brl::Time::ClockSteady steady;
    EXPECT_EQ(steady.Frequency(), 1000ull << 32);
    const uint64_t first = steady.Now();
    EXPECT_EQ(first & 0xFFFFFFFFull, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const double elapsed =
        static_cast<double>(steady.Now() - first) / static_cast<double>(steady.Frequency());
    EXPECT_GE(elapsed, 0.029);
    EXPECT_LT(elapsed, 5.0);
}

#if defined(__x86_64__) || defined(__i386__)
TEST(ClockTimestampCounter, ReestimatesOnlyAfterMoreThanOneReferenceSecond) {
    auto reference = std::make_unique<FakeClock>(true, L"reference");
    auto referenceNow = reference->now;
    referenceNow->store(5000);
    const uint64_t counterBefore = __rdtsc();
    brl::Time::ClockRDTSC clock(std::move(reference));
    const uint64_t counterAfterStart = __rdtsc();
    // The reference never moved during calibration: a placeholder estimate.
    const uint64_t placeholder = clock.Frequency();
    EXPECT_GT(placeholder, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    referenceNow->store(6000); // exactly one second: not yet
    EXPECT_EQ(clock.Frequency(), placeholder);
    referenceNow->store(7000); // two seconds of reference time
    const uint64_t counterBeforeEstimate = __rdtsc();
    const uint64_t estimate = clock.Frequency();
    const uint64_t counterAfterEstimate = __rdtsc();
    EXPECT_GE(estimate, (counterBeforeEstimate - counterAfterStart) / 2);
    EXPECT_LE(estimate, (counterAfterEstimate - counterBefore) / 2);
}
#endif
