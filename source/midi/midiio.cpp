#include "midi/midiio.h"

#include "midi/midiiodummy.h"
#include "midi/midiiokeyboard.h"
#include "midi/midiionetwin32.h"
#ifdef KORVAX_WITH_RTMIDI
#include "midi/midiiortmidi.h"
#endif

#include <algorithm>
#include <exception>
#include <utility>

namespace brl::Midi {

// EventPump

EventPump::EventPump(std::function<void(const Event&)> consume, size_t capacity)
    : consume_(std::move(consume)), ring_(std::max<size_t>(capacity, 1)) {}

EventPump::~EventPump() {
    Stop();
}

bool EventPump::Start(const String& threadName) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) {
            return false;
        }
        head_ = 0;
        count_ = 0;
        quit_ = false;
        drain_ = false;
        running_ = true;
        overflows_.store(0, std::memory_order_relaxed);
    }
    thread_ = std::make_unique<Threads::Thread>([this, threadName] {
        Threads::CurrentThreadOps::SetName(threadName);
        Threads::CurrentThreadOps::SetPriority(Threads::PriorityTimeCritical);
        Serve();
    });
    if (!thread_->Start()) {
        thread_.reset();
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        return false;
    }
    return true;
}

void EventPump::Stop(bool drain) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || thread_ == nullptr) {
            return;
        }
        quit_ = true;
        drain_ = drain;
    }
    wake_.notify_all();
    thread_->Join();
    thread_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    count_ = 0;
}

bool EventPump::IsRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ && !quit_;
}

bool EventPump::Push(const Event& event) noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || quit_) {
            return false;
        }
        if (count_ == ring_.size()) {
            overflows_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        ring_[(head_ + count_) % ring_.size()] = event;
        ++count_;
    }
    wake_.notify_one();
    return true;
}

void EventPump::Serve() {
    for (;;) {
        Event event;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || count_ > 0; });
            if (quit_ && (!drain_ || count_ == 0)) {
                return;
            }
            event = ring_[head_];
            head_ = (head_ + 1) % ring_.size();
            --count_;
        }
        try {
            consume_(event);
        } catch (...) {
            // The consumers report their own failures; nothing may end the loop.
        }
    }
}

// Stream

Stream::Stream(String name, Direction direction, const Logging::Logger& logger)
    : logger_(logger), name_(std::move(name)), direction_(direction) {}

Stream::~Stream() = default;

bool Stream::Start() {
    std::lock_guard<std::mutex> life(lifeMutex_);
    if (started_.load(std::memory_order_acquire)) {
        return true;
    }
    bool opened = false;
    try {
        opened = Open();
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "starting '", name_, "' failed: ", e.what());
    }
    started_.store(opened, std::memory_order_release);
    return opened;
}

void Stream::Stop() {
    std::lock_guard<std::mutex> life(lifeMutex_);
    if (!started_.load(std::memory_order_acquire)) {
        return;
    }
    try {
        Close();
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "stopping '", name_, "' failed: ", e.what());
    }
    started_.store(false, std::memory_order_release);
}

Event Stream::Stamp(uint8_t status, uint8_t data1, uint8_t data2) {
    return Event::Stamped(&clock_, status, data1, data2);
}

// InputStream

InputStream::InputStream(String name, const Logging::Logger& logger)
    : Stream(std::move(name), Direction::Input, logger) {}

bool InputStream::Start(InputHandler* handler) {
    SetHandler(handler);
    return Start();
}

void InputStream::SetHandler(InputHandler* handler) {
    std::lock_guard<std::recursive_mutex> lock(StreamMutex());
    handler_ = handler;
}

InputHandler* InputStream::GetHandler() {
    std::lock_guard<std::recursive_mutex> lock(StreamMutex());
    return handler_;
}

void InputStream::Deliver(const Event& event) noexcept {
    try {
        std::lock_guard<std::recursive_mutex> lock(StreamMutex());
        if (handler_ != nullptr) {
            handler_->OnMidiEvent(*this, event);
        }
    } catch (const std::exception& e) {
        LogHandlerFailure(e.what());
    } catch (...) {
        LogHandlerFailure("unknown exception");
    }
}

void InputStream::LogHandlerFailure(const char* what) noexcept {
    try {
        BRL_LOG_ERROR(logger_, Name(), ": midi handler failed, event dropped: ", what);
    } catch (...) {
        // Logging itself failed (out of memory); the event is lost all the same.
    }
}

// QueuedInputStream

QueuedInputStream::QueuedInputStream(String name, const Logging::Logger& logger, size_t capacity)
    : InputStream(std::move(name), logger), pump_([this](const Event& event) { Deliver(event); }, capacity) {}

QueuedInputStream::~QueuedInputStream() {
    pump_.Stop();
}

bool QueuedInputStream::OpenPump() {
    if (!pump_.Start(L"midi in")) {
        BRL_LOG_ERROR(logger_, "Creating midi thread FAILED.");
        return false;
    }
    return true;
}

void QueuedInputStream::ClosePump(bool drain) {
    pump_.Stop(drain);
}

// OutputStream

OutputStream::OutputStream(String name, const Logging::Logger& logger)
    : Stream(std::move(name), Direction::Output, logger),
      pump_([this](const Event& event) { Transmit(event); }) {}

OutputStream::~OutputStream() {
    pump_.Stop();
}

bool OutputStream::Send(const Event& event) {
    return pump_.Push(event);
}

bool OutputStream::OpenPump() {
    if (!pump_.Start(L"midi out")) {
        BRL_LOG_ERROR(logger_, "Creating midi thread FAILED.");
        return false;
    }
    return true;
}

void OutputStream::ClosePump() {
    pump_.Stop();
}

// Io

Io::Io(String name, const Logging::Logger& logger) : logger_(logger), name_(std::move(name)) {}

Io::~Io() {
    StopAll();
    while (!owned_.empty()) {
        owned_.pop_back();
    }
}

void Io::StopAll() {
    for (auto it = owned_.rbegin(); it != owned_.rend(); ++it) {
        (*it)->Stop();
    }
}

void Io::AddInput(std::unique_ptr<InputStream> stream) {
    inputs_.push_back(stream.get());
    owned_.push_back(std::move(stream));
}

void Io::AddOutput(std::unique_ptr<OutputStream> stream) {
    outputs_.push_back(stream.get());
    owned_.push_back(std::move(stream));
}

void Io::LogInterfaces() {
    BRL_LOG_INFO(logger_, "MIDI Input interfaces:");
    for (InputStream* stream : inputs_) {
        BRL_LOG_INFO(logger_, "  ", stream->Name());
    }
    BRL_LOG_INFO(logger_, "MIDI Output interfaces:");
    for (OutputStream* stream : outputs_) {
        BRL_LOG_INFO(logger_, "  ", stream->Name());
    }
}

// IoMaster

namespace {

// Backend names of other platforms, recognised but without a backend here.
bool IsKnownUnavailable(const String& name) {
#ifndef KORVAX_WITH_RTMIDI
    if (name == L"rtmidi") {
        return true;
    }
#endif
    return name == L"win32" || name == L"portmidi";
}

} // namespace

IoMaster::IoMaster(Logging::Channel* logTarget, Config::Frontend& frontend, String keyPrefix)
    : Io(L"master", Logging::Logger(logTarget, L"midi")), frontend_(frontend),
      keyPrefix_(std::move(keyPrefix)) {
    const Config::Setting<std::vector<String>> backendList(frontend_, keyPrefix_ + L"/Backends",
                                                           DefaultBackends());
    const std::vector<String> available = AvailableBackends();
    for (const String& name : backendList.Get()) {
        if (std::find(available.begin(), available.end(), name) == available.end()) {
            if (IsKnownUnavailable(name)) {
                BRL_LOG_WARNING(logger_, "backend '", name, "' not available, ignoring");
            } else {
                BRL_LOG_WARNING(logger_, "unknown backend '", name, "', ignoring");
            }
            continue;
        }
        if (FindBackend(name) != nullptr) {
            BRL_LOG_WARNING(logger_, "backend '", name, "' listed twice, ignoring");
            continue;
        }
        std::unique_ptr<Io> backend;
        try {
            backend = CreateBackend(name);
        } catch (const std::exception& e) {
            BRL_LOG_ERROR(logger_, "creating backend '", name, "' failed: ", e.what());
        }
        if (backend == nullptr) {
            BRL_LOG_WARNING(logger_, "backend '", name, "' not available, ignoring");
            continue;
        }
        for (InputStream* stream : backend->Inputs()) {
            inputs_.push_back(stream);
        }
        for (OutputStream* stream : backend->Outputs()) {
            outputs_.push_back(stream);
        }
        backends_.push_back(std::move(backend));
    }
    for (const String& line : DeviceListing()) {
        BRL_LOG_INFO(logger_, line);
    }
}

IoMaster::~IoMaster() {
    for (auto it = backends_.rbegin(); it != backends_.rend(); ++it) {
        (*it)->StopAll();
    }
    inputs_.clear();
    outputs_.clear();
    while (!backends_.empty()) {
        backends_.pop_back();
    }
}

std::vector<String> IoMaster::DefaultBackends() {
    return {L"rtmidi", L"keyboard"};
}

std::vector<String> IoMaster::AvailableBackends() {
    return {
#ifdef KORVAX_WITH_RTMIDI
        L"rtmidi",
#endif
        L"netwin32",
        L"keyboard",
        L"dummy",
    };
}

std::unique_ptr<Io> IoMaster::CreateBackend(const String& name) {
#ifdef KORVAX_WITH_RTMIDI
    if (name == L"rtmidi") {
        return IoRtmidi::Create(logger_);
    }
#endif
    if (name == L"netwin32") {
        return IoNet::Create(logger_, frontend_, keyPrefix_);
    }
    if (name == L"keyboard") {
        return std::make_unique<IoKeyboard>(logger_);
    }
    if (name == L"dummy") {
        return std::make_unique<IoDummy>(logger_);
    }
    return nullptr;
}

Io* IoMaster::FindBackend(const String& name) const {
    for (const auto& backend : backends_) {
        if (backend->Name() == name) {
            return backend.get();
        }
    }
    return nullptr;
}

KeyboardStream* IoMaster::Keyboard() const {
    auto* keyboard = dynamic_cast<IoKeyboard*>(FindBackend(L"keyboard"));
    return keyboard != nullptr ? &keyboard->Stream() : nullptr;
}

int IoMaster::FindInput(const String& name) const {
    for (size_t i = 0; i < inputs_.size(); ++i) {
        if (inputs_[i]->Name() == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int IoMaster::FindOutput(const String& name) const {
    for (size_t i = 0; i < outputs_.size(); ++i) {
        if (outputs_[i]->Name() == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool IoMaster::IsInputActive(size_t index) const {
    if (index >= inputs_.size()) {
        return false;
    }
    const InputStream* stream = inputs_[index];
    const Config::Setting<bool> active(frontend_, keyPrefix_ + L"/Input/" + stream->Name() + L"/active",
                                       stream->ActiveByDefault());
    return active.Get();
}

bool IoMaster::SetInputActive(size_t index, bool active) {
    if (index >= inputs_.size()) {
        return false;
    }
    const InputStream* stream = inputs_[index];
    Config::Setting<bool> setting(frontend_, keyPrefix_ + L"/Input/" + stream->Name() + L"/active",
                                  stream->ActiveByDefault());
    return setting.Set(active);
}

std::vector<String> IoMaster::DeviceListing() const {
    std::vector<String> lines;
    lines.push_back(L"midi input devices:");
    for (const InputStream* stream : inputs_) {
        lines.push_back(stream->Name() + L" (in)");
    }
    lines.push_back(L"midi output devices:");
    for (const OutputStream* stream : outputs_) {
        lines.push_back(stream->Name() + L" (out)");
    }
    return lines;
}

} // namespace brl::Midi
