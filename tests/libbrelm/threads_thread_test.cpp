#include "libbrelm/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using brl::Threads::CurrentThreadOps;

// A Runnable that records its runs and blocks until released.
class GatedWork : public brl::Threads::Runnable {
public:
    void Run() override {
        runs.fetch_add(1);
        runningOn.store(CurrentThreadOps::Id());
        std::unique_lock<std::mutex> lock(mutex_);
        open_.wait(lock, [this] { return released_; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        open_.notify_all();
    }

    std::atomic<int> runs{0};
    std::atomic<uint64_t> runningOn{0};

private:
    std::mutex mutex_;
    std::condition_variable open_;
    bool released_ = false;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(ThreadStart, ReturnsOnceTheThreadRunsRefusesASecondStartAndRunsAgainAfterTheWorkEnded) {
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
}

TEST(ThreadStart, ConcurrentStartsOfOneThreadRunItOnce) {
    std::vector<std::unique_ptr<GatedWork>> work;
    std::vector<std::unique_ptr<brl::Threads::ManagedThread>> threads;
    for (int i = 0; i < 8; ++i) {
        work.push_back(std::make_unique<GatedWork>());
        threads.push_back(std::make_unique<brl::Threads::ManagedThread>(*work.back()));
    }
    std::atomic<int> started{0};
    std::vector<std::thread> starters;
    for (int k = 0; k < 3; ++k) {
        starters.emplace_back([&] {
            for (auto& thread : threads) {
                started.fetch_add(thread->Start() ? 1 : 0);
            }
        });
    }
    for (auto& starter : starters) {
        starter.join();
    }
    EXPECT_EQ(started.load(), 8);
    for (size_t i = 0; i < threads.size(); ++i) {
        work[i]->Release();
        threads[i]->Join();
        EXPECT_EQ(work[i]->runs.load(), 1);
    }
}

TEST(ThreadJoin, IsHarmlessWithoutAStartAndFromTheThreadItselfAndSurvivesAThrowingWork) {
    std::atomic<bool> joinedSelf{false};
    brl::Threads::Thread* self = nullptr;
    brl::Threads::Thread thread([&] {
        self->Join();
        joinedSelf.store(self->IsCurrent());
    });
    self = &thread;
    thread.Join();
    ASSERT_TRUE(thread.Start());
    thread.Join();
    EXPECT_TRUE(joinedSelf.load());
    brl::Threads::Thread throwing([] { throw std::runtime_error("boom"); });
    ASSERT_TRUE(throwing.Start());
    throwing.Join();
    EXPECT_FALSE(throwing.IsRunning());
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

TEST(TimerRate, KeepsThePeriodOverManyPeriodsDespiteASlowCallback) {
    // Each call takes 6 ms of a 10 ms period: a timer that sleeps a period after each call
    // would manage only about 62 % of the calls. The bound leaves room for a busy machine.
    constexpr double kPeriod = 0.010;
    std::atomic<int> calls{0};
    brl::Threads::Timer timer;
    const auto start = std::chrono::steady_clock::now();
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
}

TEST(TimerStop, WorksFromInsideTheCallback) {
    brl::Threads::Timer timer;
    std::atomic<int> calls{0};
    std::atomic<bool> restartRefused{false};
    ASSERT_TRUE(timer.Start(0.002, [&] {
        if (calls.fetch_add(1) == 2) {
            restartRefused.store(!timer.Start(0.002, [] {}));
            timer.Stop();
        }
    }));
    const auto start = std::chrono::steady_clock::now();
    while (timer.IsRunning() && SecondsSince(start) < 10.0) {
        CurrentThreadOps::Sleep(0.001);
    }
    EXPECT_FALSE(timer.IsRunning());
    EXPECT_EQ(calls.load(), 3);
    EXPECT_TRUE(restartRefused.load());
}
