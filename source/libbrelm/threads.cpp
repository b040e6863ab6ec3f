#include "libbrelm/threads.h"

#include "libbrelm/debug.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <exception>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace brl::Threads {

namespace {

Logging::Logger& ThreadLogger() {
    static Debug::LoggingChannel channel;
    static Logging::Logger logger(&channel, L"threads");
    return logger;
}

// Nice values of the normal policy for priorities -3..2.
constexpr int kNiceOfPriority[] = {19, 10, 5, 0, -5, -10};
// SCHED_FIFO priority of a time-critical thread.
constexpr int kTimeCriticalFifo = 10;

bool ApplyPriority(pthread_t handle, pid_t tid, int priority) {
    PlatformPriority platform;
    if (!ToPlatformPriority(priority, platform)) {
        BRL_LOG_WARNING(ThreadLogger(), "invalid thread priority ", priority);
        return false;
    }
    if (platform.policy == SCHED_FIFO) {
        sched_param param{};
        param.sched_priority = kTimeCriticalFifo;
        if (::pthread_setschedparam(handle, SCHED_FIFO, &param) == 0) {
            return true;
        }
        BRL_LOG_DEBUG(ThreadLogger(), "SCHED_FIFO not permitted, using nice ", platform.nice);
    }
    int policy = 0;
    sched_param current{};
    if (::pthread_getschedparam(handle, &policy, &current) == 0 && policy != SCHED_OTHER) {
        sched_param normal{};
        if (::pthread_setschedparam(handle, SCHED_OTHER, &normal) != 0) {
            return false;
        }
    }
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), platform.nice) != 0) {
        BRL_LOG_DEBUG(ThreadLogger(), "nice ", platform.nice, " not permitted");
        return false;
    }
    return true;
}

int ReadPriority(pthread_t handle, pid_t tid) {
    int policy = 0;
    sched_param param{};
    if (::pthread_getschedparam(handle, &policy, &param) != 0) {
        return 0;
    }
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno != 0) {
        return 0;
    }
    return FromPlatformPriority(policy, nice);
}

} // namespace

bool ToPlatformPriority(int priority, PlatformPriority& platform) {
    if (priority < PriorityIdle || priority > PriorityTimeCritical) {
        return false;
    }
    if (priority == PriorityTimeCritical) {
        platform = {SCHED_FIFO, kTimeCriticalFallbackNice};
    } else {
        platform = {SCHED_OTHER, kNiceOfPriority[priority - PriorityIdle]};
    }
    return true;
}

int FromPlatformPriority(int policy, int nice) {
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
        return PriorityTimeCritical;
    }
    if (policy == SCHED_IDLE) {
        return PriorityIdle;
    }
    if (policy != SCHED_OTHER && policy != SCHED_BATCH) {
        return PriorityNormal;
    }
    if (nice == kTimeCriticalFallbackNice) {
        return PriorityTimeCritical;
    }
    for (int i = 0; i < static_cast<int>(std::size(kNiceOfPriority)); ++i) {
        if (kNiceOfPriority[i] == nice) {
            return PriorityIdle + i;
        }
    }
    return PriorityNormal;
}

bool CurrentThreadOps::SetPriority(int priority) {
    return ApplyPriority(::pthread_self(), static_cast<pid_t>(Id()), priority);
}

int CurrentThreadOps::GetPriority() {
    return ReadPriority(::pthread_self(), static_cast<pid_t>(Id()));
}

uint64_t CurrentThreadOps::Id() {
    return static_cast<uint64_t>(::syscall(SYS_gettid));
}

void CurrentThreadOps::Sleep(double seconds) {
    if (seconds > 0.0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
}

void CurrentThreadOps::Yield() {
    std::this_thread::yield();
}

void CurrentThreadOps::SetName(const String& name) {
    std::string text = ToUtf8(name);
    if (text.size() > 15) {
        text.resize(15);
    }
    ::pthread_setname_np(::pthread_self(), text.c_str());
}

ManagedThread::ManagedThread(Runnable& runnable) : runnable_(runnable) {}

ManagedThread::~ManagedThread() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
        // Destroyed by its own Runnable: nobody is left to join it.
        thread_.detach();
        state_ = State::Idle;
        return;
    }
    lock.unlock();
    Join();
}

bool ManagedThread::Start() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ == State::Starting || state_ == State::Joining) {
        return false;
    }
    if (state_ == State::Running) {
        if (!finished_.load()) {
            return false;
        }
        // The previous run has ended but was never joined; reap it first.
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id()) {
                return false;
            }
            thread_.join();
        }
        state_ = State::Idle;
    }
    entered_ = false;
    finished_.store(false);
    tid_.store(0);
    state_ = State::Starting;
    try {
        thread_ = std::thread([this] { Entry(); });
    } catch (const std::exception& e) {
        state_ = State::Idle;
        changed_.notify_all();
        BRL_LOG_ERROR(ThreadLogger(), "error creating thread: ", e.what());
        return false;
    }
    changed_.wait(lock, [this] { return entered_; });
    state_ = State::Running;
    changed_.notify_all();
    return true;
}

void ManagedThread::Entry() {
    tid_.store(CurrentThreadOps::Id());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entered_ = true;
    }
    changed_.notify_all();
    try {
        runnable_.Run();
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(ThreadLogger(), "thread ended by exception: ", e.what());
    } catch (...) {
        BRL_LOG_ERROR(ThreadLogger(), "thread ended by an unknown exception");
    }
    finished_.store(true);
}

void ManagedThread::Join() {
    if (IsCurrent()) {
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return state_ != State::Starting && state_ != State::Joining; });
    if (state_ != State::Running || !thread_.joinable()) {
        return;
    }
    std::thread running = std::move(thread_);
    state_ = State::Joining;
    lock.unlock();
    running.join();
    lock.lock();
    state_ = State::Idle;
    changed_.notify_all();
}

bool ManagedThread::IsRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ != State::Idle && !finished_.load();
}

bool ManagedThread::IsCurrent() const {
    const uint64_t tid = tid_.load();
    return tid != 0 && !finished_.load() && tid == CurrentThreadOps::Id();
}

uint64_t ManagedThread::Id() const {
    return tid_.load();
}

bool ManagedThread::SetPriority(int priority) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::Running || finished_.load()) {
        return false;
    }
    return ApplyPriority(thread_.native_handle(), static_cast<pid_t>(tid_.load()), priority);
}

int ManagedThread::GetPriority() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::Running || finished_.load()) {
        return PriorityNormal;
    }
    // native_handle() is not const; the handle itself is only read.
    auto handle = const_cast<std::thread&>(thread_).native_handle();
    return ReadPriority(handle, static_cast<pid_t>(tid_.load()));
}

Thread::Thread(std::unique_ptr<Runnable> runnable)
    : runnable_(runnable ? std::move(runnable) : std::make_unique<FunctionRunnable>(nullptr)),
      thread_(*runnable_) {}

Thread::Thread(std::function<void()> body) : Thread(std::make_unique<FunctionRunnable>(std::move(body))) {}

Thread::~Thread() = default;

namespace {
constexpr const wchar_t* kTaskNames[] = {L"Audio",    L"Capture",   L"Distribution",  L"Games",
                                         L"Playback", L"Pro Audio", L"Window Manager"};
// SCHED_FIFO priorities of the task classes: "Pro Audio" above "Audio" above
// the rest, all below the kernel's own real-time threads.
constexpr int kTaskFifoPriority[] = {15, 10, 5, 5, 10, 20, 5};
} // namespace

String ScopedSchedulingHintWin::TaskName(int taskClass) {
    if (taskClass < 1 || taskClass > 7) {
        return String();
    }
    return kTaskNames[taskClass - 1];
}

ScopedSchedulingHintWin::ScopedSchedulingHintWin(int taskClass) {
    if (taskClass < 1 || taskClass > 7) {
        return;
    }
    sched_param saved{};
    if (::pthread_getschedparam(::pthread_self(), &savedPolicy_, &saved) != 0) {
        return;
    }
    savedPriority_ = saved.sched_priority;
    sched_param param{};
    param.sched_priority = kTaskFifoPriority[taskClass - 1];
    applied_ = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
    if (!applied_) {
        BRL_LOG_DEBUG(ThreadLogger(), "real-time scheduling for '", TaskName(taskClass), "' not permitted");
    }
}

ScopedSchedulingHintWin::~ScopedSchedulingHintWin() {
    if (!applied_) {
        return;
    }
    sched_param saved{};
    saved.sched_priority = savedPriority_;
    ::pthread_setschedparam(::pthread_self(), savedPolicy_, &saved);
}

// The thread of a running Timer: calls the callback whenever the steady clock
// has passed the next due time, then moves the due time on by one period.
class TimerThread : public Runnable {
public:
    TimerThread(const Timer& owner, Time::Clock& clock, double periodSeconds, std::function<void()> callback)
        : owner_(owner), clock_(clock), callback_(std::move(callback)) {
        const double counts = periodSeconds * static_cast<double>(clock_.Frequency());
        const double limit = static_cast<double>(UINT64_MAX / 4);
        periodCounts_ =
            static_cast<uint64_t>(std::clamp(std::llround(std::min(counts, limit)), 1ll, LLONG_MAX));
    }
    ~TimerThread() override {
        RequestStop();
        thread_.Join();
    }

    bool Start() { return thread_.Start(); }
    bool IsRunning() const { return thread_.IsRunning(); }
    const Timer& Owner() const { return owner_; }

    void RequestStop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
    }

    void Run() override;

    static thread_local TimerThread* current;

private:
    // Missed periods beyond this backlog are dropped rather than caught up in
    // a burst (after a suspend, for example); the grid of due times is kept.
    static constexpr uint64_t kMaxBacklog = 8;

    const Timer& owner_;
    Time::Clock& clock_;
    std::function<void()> callback_;
    uint64_t periodCounts_ = 1;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    ManagedThread thread_{*this};
};

thread_local TimerThread* TimerThread::current = nullptr;

void TimerThread::Run() {
    current = this;
    const double frequency = static_cast<double>(clock_.Frequency());
    uint64_t due = clock_.Now() + periodCounts_;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        uint64_t now = clock_.Now();
        if (now >= due) {
            lock.unlock();
            if (callback_) {
                callback_();
            }
            lock.lock();
            due += periodCounts_;
            now = clock_.Now();
            if (now > due && (now - due) / periodCounts_ > kMaxBacklog) {
                due += ((now - due) / periodCounts_) * periodCounts_;
            }
            continue;
        }
        const double seconds = std::min(static_cast<double>(due - now) / frequency, 1.0);
        wake_.wait_for(lock, std::chrono::duration<double>(seconds));
    }
    current = nullptr;
}

Timer::Timer() = default;

Timer::~Timer() {
    Stop();
}

bool Timer::Start(double periodSeconds, std::function<void()> callback) {
    if (TimerThread::current != nullptr && &TimerThread::current->Owner() == this) {
        BRL_LOG_ERROR(ThreadLogger(), "timer restarted from its own callback");
        return false;
    }
    Stop();
    if (!(periodSeconds > 0.0)) {
        return false;
    }
    auto next = std::make_unique<TimerThread>(*this, clock_, periodSeconds, std::move(callback));
    if (!next->Start()) {
        return false;
    }
    std::unique_ptr<TimerThread> displaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        displaced = std::move(thread_);
        thread_ = std::move(next);
        period_ = periodSeconds;
    }
    return true;
}

void Timer::Stop() {
    if (TimerThread::current != nullptr && &TimerThread::current->Owner() == this) {
        TimerThread::current->RequestStop();
        return;
    }
    std::unique_ptr<TimerThread> stopping;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping = std::move(thread_);
        period_ = 0.0;
    }
}

double Timer::Period() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_ != nullptr ? period_ : 0.0;
}

bool Timer::IsRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_ != nullptr && thread_->IsRunning();
}

} // namespace brl::Threads
