#pragma once

#include "libbrelm/config.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"
#include "libbrelm/threads.h"
#include "libbrelm/time.h"
#include "midi/midievent.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The MIDI layer: input and output streams of short MIDI messages, the backends
// that provide them, and the master that builds the configured backends.
//
// Who calls what:
// - The owner (the GUI thread of the application, or a test) builds an IoMaster,
//   starts and stops streams, changes handlers and destroys the master. These
//   calls may come from any one thread at a time per stream; they must not come
//   from inside a handler of the same stream.
// - Every started input stream has one thread of its own; the stream's
//   InputHandler is called on it, one event at a time, in arrival order.
// - OutputHandler::Send (an output stream's sending side) may be called from any
//   thread; the stream's own thread transmits the events in order.
// - KeyboardStream::KeyDown, KeyUp and ReleaseAll come from the window that
//   owns the keyboard focus (the GUI thread).
//
// The host receives input by implementing InputHandler:
//     IoMaster master(logTarget, config);
//     for (size_t i = 0; i < master.Inputs().size(); ++i)
//         if (master.IsInputActive(i))
//             master.Inputs()[i]->Start(&receiver);   // receiver: an InputHandler
//     ...
//     master.Inputs()[i]->Stop();                     // joins the stream's thread
//     master.Inputs()[i]->SetHandler(nullptr);
namespace brl::Midi {

class Stream;

// Receives the events of an input stream. Called on the stream's thread, with
// the stream mutex held: OnMidiEvent must not start, stop or change the handler
// of the stream that calls it. An exception thrown here is caught by the stream,
// logged, and the event is dropped.
class InputHandler {
public:
    virtual ~InputHandler() = default;
    virtual void OnMidiEvent(Stream& stream, const Event& event) = 0;
};

// The sending side of an output stream: Send queues an event for the stream's
// thread, which transmits it. Any thread.
class OutputHandler {
public:
    virtual ~OutputHandler() = default;
    // False when the stream is not started or its queue is full (the event is
    // dropped).
    virtual bool Send(const Event& event) = 0;
};

// A bounded queue of events served by one thread, which hands each event in
// order to the consumer given at construction. Push never waits and never
// allocates, so a device's real-time callback may call it; Start and Stop come
// from one thread at a time.
class EventPump {
public:
    static constexpr size_t kDefaultCapacity = 1024;

    explicit EventPump(std::function<void(const Event&)> consume, size_t capacity = kDefaultCapacity);
    ~EventPump();
    EventPump(const EventPump&) = delete;
    EventPump& operator=(const EventPump&) = delete;

    // Starts the serving thread at time-critical priority (falling back
    // quietly where that is not permitted). False if it is running already or
    // the thread cannot be made.
    bool Start(const String& threadName);
    // Ends the serving thread and waits for it. Events still queued are
    // dropped, or with `drain` consumed first. Must not be called from the
    // consumer.
    void Stop(bool drain = false);
    bool IsRunning() const;
    // Queues an event; false when the pump is stopped or full. Any thread.
    bool Push(const Event& event) noexcept;
    // Events refused because the queue was full since the last Start.
    uint64_t Overflows() const { return overflows_.load(std::memory_order_relaxed); }

private:
    void Serve();

    std::function<void(const Event&)> consume_;
    std::vector<Event> ring_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    size_t head_ = 0;
    size_t count_ = 0;
    bool running_ = false;
    bool quit_ = false;
    bool drain_ = false;
    std::atomic<uint64_t> overflows_{0};
    std::unique_ptr<Threads::Thread> thread_;
};

enum class Direction { Input, Output };

// One input or output device. A stream has a name, a direction, its own clock
// (which stamps the events it makes) and a mutex (Lock/Unlock) that guards its
// handler against delivery.
//
// Start and Stop are serialised per stream and may come from any thread except
// the stream's own. A backend's stream class calls Stop() in its destructor,
// because the base destructor cannot reach the backend's Close().
class Stream {
public:
    virtual ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    const String& Name() const { return name_; }
    Direction GetDirection() const { return direction_; }
    Time::Clock& GetClock() { return clock_; }

    // The stream mutex; recursive. Delivery to an input handler holds it.
    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }

    // Opens the device and begins delivery (inputs) or transmission (outputs).
    // True when the stream is running afterwards, also when it already was.
    // Failures are logged.
    bool Start();
    // Ends delivery or transmission and joins the stream's thread; nothing is
    // delivered after it returns. A stopped stream is left alone.
    void Stop();
    bool IsStarted() const { return started_.load(std::memory_order_acquire); }

protected:
    Stream(String name, Direction direction, const Logging::Logger& logger);

    // Backend hooks, called with the start/stop mutex held (never concurrently).
    virtual bool Open() = 0;
    virtual void Close() = 0;

    // An event stamped with the stream's clock; any thread.
    Event Stamp(uint8_t status, uint8_t data1, uint8_t data2);
    std::recursive_mutex& StreamMutex() { return mutex_; }

    Logging::Logger logger_;

private:
    String name_;
    Direction direction_;
    Time::ClockHighres clock_;
    std::recursive_mutex mutex_;
    std::mutex lifeMutex_;
    std::atomic<bool> started_{false};
};

// An input stream: events go to its InputHandler on the stream's thread.
class InputStream : public Stream {
public:
    using Stream::Start;
    // Sets the handler, then starts the stream.
    bool Start(InputHandler* handler);
    // Changes the handler under the stream mutex: once it returns, the old
    // handler is not being called and will not be called again. nullptr drops
    // the events from then on.
    void SetHandler(InputHandler* handler);
    InputHandler* GetHandler();
    // Whether the input is started at program start when its "active" setting
    // has never been written.
    virtual bool ActiveByDefault() const { return false; }

protected:
    InputStream(String name, const Logging::Logger& logger);
    // Hands an event to the handler under the stream mutex; a handler's
    // exception is logged and the event dropped. Called on the stream's thread.
    void Deliver(const Event& event) noexcept;

private:
    void LogHandlerFailure(const char* what) noexcept;

    InputHandler* handler_ = nullptr;
};

// An input stream whose events are made on another thread (a device callback,
// the GUI) and delivered on the stream's own thread through an EventPump.
class QueuedInputStream : public InputStream {
public:
    ~QueuedInputStream() override;

protected:
    QueuedInputStream(String name, const Logging::Logger& logger,
                      size_t capacity = EventPump::kDefaultCapacity);
    // Queues an event for delivery; false when stopped or full. Any thread;
    // never waits or allocates.
    bool Post(const Event& event) noexcept { return pump_.Push(event); }
    // Open/Close of the pump: backends call these from their own hooks.
    bool OpenPump();
    // With `drain`, the events already queued are delivered first.
    void ClosePump(bool drain = false);
    EventPump& Pump() { return pump_; }

private:
    EventPump pump_;
};

// An output stream: Send queues, the stream's thread calls Transmit.
class OutputStream : public Stream, public OutputHandler {
public:
    ~OutputStream() override;
    bool Send(const Event& event) override;

protected:
    OutputStream(String name, const Logging::Logger& logger);
    // Sends one event to the device; on the stream's thread. False (logged) on
    // failure.
    virtual bool Transmit(const Event& event) noexcept = 0;
    bool OpenPump();
    void ClosePump();

private:
    EventPump pump_;
};

// One backend: owns its streams, which live until it is destroyed.
class Io {
public:
    virtual ~Io();
    Io(const Io&) = delete;
    Io& operator=(const Io&) = delete;

    const String& Name() const { return name_; }
    const std::vector<InputStream*>& Inputs() const { return inputs_; }
    const std::vector<OutputStream*>& Outputs() const { return outputs_; }
    // Stops every stream of this backend.
    void StopAll();

protected:
    Io(String name, const Logging::Logger& logger);
    void AddInput(std::unique_ptr<InputStream> stream);
    void AddOutput(std::unique_ptr<OutputStream> stream);
    // Lists the streams as the platform backends do, under "MIDI Input
    // interfaces:" and "MIDI Output interfaces:" (info).
    void LogInterfaces();

    Logging::Logger logger_;
    std::vector<InputStream*> inputs_;
    std::vector<OutputStream*> outputs_;

private:
    String name_;
    std::vector<std::unique_ptr<Stream>> owned_;
};

class KeyboardStream;

// The configured backends and the concatenation of their device lists.
// Construct, query and destroy on one thread (the GUI thread); the streams it
// lists follow the rules of Stream. Destruction stops every stream first.
class IoMaster : public Io {
public:
    // Reads keyPrefix + "/Backends" (default "rtmidi", "keyboard") and builds
    // each named backend in order, then logs the device lists.
    IoMaster(Logging::Channel* logTarget, Config::Frontend& frontend, String keyPrefix = L"Midi");
    ~IoMaster() override;

    // The default of keyPrefix + "/Backends".
    static std::vector<String> DefaultBackends();
    // Backend names this build can create.
    static std::vector<String> AvailableBackends();

    const std::vector<std::unique_ptr<Io>>& Backends() const { return backends_; }
    // The backend of that name, or nullptr.
    Io* FindBackend(const String& name) const;
    // The computer keyboard input when the "keyboard" backend is configured,
    // else nullptr. The window with the keyboard focus feeds it.
    KeyboardStream* Keyboard() const;
    // Index of the input or output of that name, or -1.
    int FindInput(const String& name) const;
    int FindOutput(const String& name) const;

    // The setting keyPrefix + "/Input/" + name + "/active" of input i: whether
    // it is started when the program starts. False for an index out of range.
    bool IsInputActive(size_t index) const;
    bool SetInputActive(size_t index, bool active);

    // "midi input devices:", each input + " (in)", "midi output devices:",
    // each output + " (out)".
    std::vector<String> DeviceListing() const;

private:
    std::unique_ptr<Io> CreateBackend(const String& name);

    Config::Frontend& frontend_;
    String keyPrefix_;
    std::vector<std::unique_ptr<Io>> backends_;
};

} // namespace brl::Midi
