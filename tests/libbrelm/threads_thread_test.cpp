#include "libbrelm/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using brl::Threads::CurrentThreadOps;

// A Runnable that records its runs and blocks until released.
struct GatedWork : brl::Threads::Runnable {
    void Run() override {
        runs.fetch_add(1);
        runningOn.store(CurrentThreadOps::Id());
        released.wait();
    }
    void Release() { release.set_value(); }

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> runs{0};
    std::atomic<uint64_t> runningOn{0};
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(ThreadStart, ReturnsOnceTheThreadRunsRefusesASecondStartRunsAgainAfterTheWorkEndedAndJoinsHarmlessly) {
    GatedWork work;
    brl::Threads::ManagedThread thread(work);
    EXPECT_EQ(thread.Id(), 0u);
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_NE(thread.Id(), CurrentThreadOps::Id());
    EXPECT_FALSE(thread.IsCurrent());
    EXPECT_FALSE(thread.Start());
    work.Release();
    thread.Join();
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(work.runningOn.load(), thread.Id());
    EXPECT_EQ(work.runs.load(), 1);
    ASSERT_TRUE(thread.Start());
    while (thread.IsRunning()) {
        CurrentThreadOps::Sleep(0.001);
    }
    // Finished but never joined: Start reaps the old run itself.
    ASSERT_TRUE(thread.Start());
    thread.Join();
    EXPECT_EQ(work.runs.load(), 3);

    // Join is harmless without a start and from the thread itself, and survives a throwing work.
    std::atomic<bool> joinedSelf{false};
    brl::Threads::Thread* self = nullptr;
    brl::Threads::Thread joining([&] {
        self->Join();
        joinedSelf.store(self->IsCurrent());
    });
    self = &joining;
    joining.Join();
    ASSERT_TRUE(joining.Start());
    joining.Join();
    EXPECT_TRUE(joinedSelf.load());
    brl::Threads::Thread throwing([] { throw std::runtime_error("boom"); });
    ASSERT_TRUE(throwing.Start());
    throwing.Join();
    EXPECT_FALSE(throwing.IsRunning());
}

TEST(ThreadStart, ConcurrentStartsOfOneThreadRunItOnce) {
    struct Gated {
        GatedWork work;
        brl::Threads::ManagedThread thread{work};
    } gated[8];
    std::atomic<int> started{0};
    std::vector<std::thread> starters;
    for (int k = 0; k < 3; ++k) {
        starters.emplace_back([&] {
            for (Gated& g : gated) {
                started.fetch_add(g.thread.Start() ? 1 : 0);
            }
        });
    }
    for (auto& starter : starters) {
        starter.join();
    }
    EXPECT_EQ(started.load(), 8);
    for (Gated& g : gated) {
        g.work.Release();
        g.thread.Join();
        EXPECT_EQ(g.work.runs.load(), 1);
    }
}

TEST(ThreadPriority, LoweredPriorityReadsBackAndCurrentThreadOpsActOnTheCallingThreadOnly) {
    GatedWork work;
    brl::Threads::ManagedThread thread(work);
    EXPECT_FALSE(thread.SetPriority(-1));
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.SetPriority(-2)); // lowering is always permitted
    EXPECT_EQ(thread.GetPriority(), -2);
    EXPECT_FALSE(thread.SetPriority(7));
    EXPECT_EQ(thread.GetPriority(), -2);
    const bool raised = thread.SetPriority(3);
    EXPECT_EQ(thread.GetPriority(), raised ? 3 : -2);
    work.Release();
    thread.Join();

    int inside = 99;
    brl::Threads::Thread lowering([&inside] {
        CurrentThreadOps::SetPriority(-3);
        inside = CurrentThreadOps::GetPriority();
    });
    const int before = CurrentThreadOps::GetPriority();
    ASSERT_TRUE(lowering.Start());
    lowering.Join();
    EXPECT_EQ(inside, -3);
    EXPECT_EQ(CurrentThreadOps::GetPriority(), before);
}

TEST(Timer, KeepsThePeriodDespiteASlowCallbackAndStopsFromInsideTheCallback) {
    // Each call takes 6 ms of a 10 ms period: a timer that sleeps a period after each call
    // would manage only about 62 % of the calls. The bound leaves room for a busy machine.
    constexpr double kPeriod = 0.010;
    std::atomic<int> calls{0};
    brl::Threads::Timer timer;
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(timer.Start(kPeriod, [&calls] {
        calls.fetch_add(1);
        CurrentThreadOps::Sleep(0.006);
    }));
    CurrentThreadOps::Sleep(2.0);
    timer.Stop();
    const double expected = SecondsSince(start) / kPeriod;
    EXPECT_LE(calls.load(), expected + 1.0);
    EXPECT_GE(calls.load(), expected * 0.8 - 3.0);
    const int stopped = calls.load();
    CurrentThreadOps::Sleep(0.03);
    EXPECT_EQ(calls.load(), stopped);

    calls.store(0);
    brl::Threads::Timer stopping;
    std::atomic<bool> restartRefused{false};
    ASSERT_TRUE(stopping.Start(0.002, [&] {
        if (calls.fetch_add(1) == 2) {
            restartRefused.store(!stopping.Start(0.002, [] {}));
            stopping.Stop();
        }
    }));
    start = std::chrono::steady_clock::now();
    while (stopping.IsRunning() && SecondsSince(start) < 10.0) {
        CurrentThreadOps::Sleep(0.001);
    }
    EXPECT_FALSE(stopping.IsRunning());
    EXPECT_EQ(calls.load(), 3);
    EXPECT_TRUE(restartRefused.load());
}
