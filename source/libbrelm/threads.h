#pragma once

#include "libbrelm/logging.h"
#include "libbrelm/string.h"
#include "libbrelm/time.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace brl::Threads {

// Priority scale shared by every thread operation.
enum Priority : int {
    PriorityIdle = -3,
    PriorityLowest = -2,
    PriorityBelowNormal = -1,
    PriorityNormal = 0,
    PriorityAboveNormal = 1,
    PriorityHighest = 2,
    PriorityTimeCritical = 3,
};

// Platform form of a priority: a scheduling policy and, for the normal
// policy, a nice value. Time-critical asks for SCHED_FIFO and falls back to
// kTimeCriticalFallbackNice when that is not permitted.
struct PlatformPriority {
    int policy = 0;
    int nice = 0;
};
inline constexpr int kTimeCriticalFallbackNice = -15;
// Platform form of a priority on the -3..3 scale; false for other values.
bool ToPlatformPriority(int priority, PlatformPriority& platform);
// Priority of a platform reading; 0 for readings outside the scale.
int FromPlatformPriority(int policy, int nice);

// The work of a thread.
class Runnable {
public:
    virtual ~Runnable() = default;
    virtual void Run() = 0;
};

// A Runnable made from a function.
class FunctionRunnable : public Runnable {
public:
    explicit FunctionRunnable(std::function<void()> body) : body_(std::move(body)) {}
    void Run() override {
        if (body_) {
            body_();
        }
    }

private:
    std::function<void()> body_;
};

// Operations on the calling thread.
class CurrentThreadOps {
public:
    static bool SetPriority(int priority);
    static int GetPriority();
    // Kernel id of the calling thread.
    static uint64_t Id();
    static void Sleep(double seconds);
    static void Yield();
    // Name shown by debuggers and tools (at most 15 bytes are kept).
    static void SetName(const String& name);
};

// A platform thread that runs a Runnable (not owned). Start returns only
// after the new thread has entered its entry routine. Any thread may call the
// operations; the object joins its thread on destruction.
class ManagedThread {
public:
    explicit ManagedThread(Runnable& runnable);
    ~ManagedThread();
    ManagedThread(const ManagedThread&) = delete;
    ManagedThread& operator=(const ManagedThread&) = delete;

    // False if the thread is already started and has not finished, or if the
    // platform refuses to create a thread.
    bool Start();
    // Waits until the thread has finished. Does nothing if it was not started
    // or if called from the thread itself.
    void Join();
    // True from Start until the Runnable returns.
    bool IsRunning() const;
    // True when called from the managed thread itself.
    bool IsCurrent() const;
    // Kernel id of the thread, 0 when not started.
    uint64_t Id() const;
    bool SetPriority(int priority);
    int GetPriority() const;

private:
    enum class State { Idle, Starting, Running, Joining };
    void Entry();

    Runnable& runnable_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Idle;
    bool entered_ = false;
    std::atomic<bool> finished_{false};
    std::atomic<uint64_t> tid_{0};
    std::thread thread_;
};

// A thread that owns its work.
class Thread {
public:
    explicit Thread(std::unique_ptr<Runnable> runnable);
    explicit Thread(std::function<void()> body);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool Start() { return thread_.Start(); }
    void Join() { thread_.Join(); }
    bool IsRunning() const { return thread_.IsRunning(); }
    bool IsCurrent() const { return thread_.IsCurrent(); }
    uint64_t Id() const { return thread_.Id(); }
    bool SetPriority(int priority) { return thread_.SetPriority(priority); }
    int GetPriority() const { return thread_.GetPriority(); }
    Runnable& GetRunnable() { return *runnable_; }

private:
    std::unique_ptr<Runnable> runnable_;
    ManagedThread thread_;
};

// Registers the calling thread for real-time scheduling while the hint lives.
// Task classes 1..7 are "Audio", "Capture", "Distribution", "Games",
// "Playback", "Pro Audio" and "Window Manager"; other classes do nothing.
// On Linux the registration is SCHED_FIFO, or nothing when not permitted.
// Create and destroy the hint on the same thread.
class ScopedSchedulingHintWin {
public:
    explicit ScopedSchedulingHintWin(int taskClass);
    ~ScopedSchedulingHintWin();
    ScopedSchedulingHintWin(const ScopedSchedulingHintWin&) = delete;
    ScopedSchedulingHintWin& operator=(const ScopedSchedulingHintWin&) = delete;

    // Task name of a class, empty for other classes.
    static String TaskName(int taskClass);
    // True while the thread's scheduling was changed by this hint.
    bool IsApplied() const { return applied_; }

private:
    bool applied_ = false;
    int savedPolicy_ = 0;
    int savedPriority_ = 0;
};

class TimerThread;

// Calls a function periodically on its own thread. The long-run call rate
// equals the period: due times advance by whole periods from the first
// reference reading. Start and Stop are for any thread but the timer's own.
class Timer {
public:
    Timer();
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Stops a running timer, then starts calling the callback every period.
    // False for a period of 0 or less (the timer stays stopped).
    bool Start(double periodSeconds, std::function<void()> callback);
    // Ends the timer thread and waits for it. From inside the callback it
    // only asks the thread to end after the callback returns.
    void Stop();
    bool IsRunning() const;
    // Period of the running timer in seconds, 0 when stopped.
    double Period() const;

private:
    mutable std::mutex mutex_;
    Time::ClockSteady clock_;
    double period_ = 0.0;
    std::unique_ptr<TimerThread> thread_;
};

} // namespace brl::Threads
