#pragma once

#include "korvax/korvaxsynth.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"
#include "libbrelm/time.h"

#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>

namespace brl::Korvax {

enum SynthEventType : uint32_t {
    kEventNone = 0,
    kEventNoteOn = 1,
    kEventNoteOff = 2,
    kEventController = 3,
    kEventResetAll = 4,
    kEventReleaseAll = 5,
};

// One synthesizer event: the unit of the event queue, 32 bytes, little-endian.
struct SynthEvent {
    uint32_t type = kEventNone;
    int32_t channel = -1; // synth channel 0..31; -1 for events that address no channel
    int32_t index = -1;   // event stream 0..255 of a controller event; -1 otherwise
    float value = 0.0f;   // note / 128 (note on, note off) or the controller value
    float value2 = 0.0f;  // velocity / 128 (note on)
    uint32_t reserved = 0;
    uint64_t time = 0; // steady-clock reading when queued; set by the queue
};

static_assert(std::endian::native == std::endian::little, "the event record is little-endian");
static_assert(std::is_trivially_copyable_v<SynthEvent>);
static_assert(sizeof(SynthEvent) == 32);
static_assert(offsetof(SynthEvent, type) == 0);
static_assert(offsetof(SynthEvent, channel) == 4);
static_assert(offsetof(SynthEvent, index) == 8);
static_assert(offsetof(SynthEvent, value) == 12);
static_assert(offsetof(SynthEvent, value2) == 16);
static_assert(offsetof(SynthEvent, reserved) == 20);
static_assert(offsetof(SynthEvent, time) == 24);

// A byte ring for one writer thread and one reader thread, without locks. Write,
// Read and Peek move all the bytes asked for or none. Capacity() bytes fit.
class ByteRing {
public:
    explicit ByteRing(uint32_t capacity);
    ByteRing(const ByteRing&) = delete;
    ByteRing& operator=(const ByteRing&) = delete;

    uint32_t Capacity() const noexcept { return size - 1; }
    // Bytes that Read could take now. Either side.
    uint32_t Readable() const noexcept;
    // Bytes that Write could store now. Either side.
    uint32_t Writable() const noexcept;

    // Writer side.
    bool Write(const void* data, uint32_t count) noexcept;
    // Reader side.
    bool Read(void* data, uint32_t count) noexcept;
    bool Peek(void* data, uint32_t count) const noexcept;

private:
    void CopyOut(uint32_t from, void* data, uint32_t count) const noexcept;

    uint32_t size; // capacity + 1: one byte stays empty to tell full from empty
    std::unique_ptr<uint8_t[]> buffer;
    alignas(64) std::atomic<uint32_t> writeIndex{0};
    alignas(64) std::atomic<uint32_t> readIndex{0};
};

// The synthesizer that plays live. Other threads queue events and publish new
// programs; the audio thread renders (RenderBuffer), picking up the newest
// program and applying the due events at the start of every buffer.
//
// The slot memory, the voice records, the reading end of the event ring and the
// current program belong to one side at a time: to the audio thread for the
// length of a buffer, or to an editing thread that writes between buffers
// (ApplyOrQueueEvents while no audio runs, WriteValueSlots). The hand-over is
// one atomic that either side takes without waiting; a buffer that starts while
// an editing thread holds the memory renders silence and leaves its events and
// the newest program for the next buffer.
//
// Threads: QueueEvents, WaitEvent, SendAllSoundsOff, ApplyOrQueueEvents,
// SettleEvents, DiscardQueuedEvents and WriteValueSlots from any thread but the
// audio thread; UpdateBytecode from the editing thread; IsAlive and the counters
// from any thread; RenderBuffer, ProcessEvent and the overrides on the audio
// thread only (noexcept, no allocation, no lock, no logging on the normal path).
class SynthesizerRealtime : public Synthesizer {
public:
    static constexpr uint32_t kEventRingCapacity = 524288; // 16384 events
    static constexpr uint32_t kEventSize = sizeof(SynthEvent);
    static constexpr uint32_t kAliveTimeoutMs = 50;

    enum QueueMode : int {
        kQueueWait = 0, // wait for room in the ring
        kQueueDrop = 1, // drop the events when they do not fit
    };

    using LineSink = std::function<void(const String&)>;

    // latencyMs is added to the time of every event before it is due. The
    // events are stamped with the steady clock (milliseconds in 32.32 fixed
    // point); the second form takes another clock source.
    SynthesizerRealtime(Logging::Channel* logTarget, uint32_t latencyMs);
    SynthesizerRealtime(Logging::Channel* logTarget, uint32_t latencyMs,
                        std::unique_ptr<Time::ClockImpl> clock);
    ~SynthesizerRealtime() override;

    // Stamps the events with the current time and queues them in order. Mode
    // kQueueWait waits in 1 ms steps for room while the audio thread is alive
    // and gives up ("event discarded") once it is not, keeping the events
    // queued so far; kQueueDrop queues all or none. Writes the queued count
    // reached after the last event to `sequenceOut` (0 on failure).
    bool QueueEvents(const SynthEvent* events, uint32_t count, int mode, uint32_t* sequenceOut = nullptr);
    // Queues the events and waits until the audio thread has applied them;
    // false when the audio thread stops ticking for more than 50 ms (the events
    // stay queued and apply once audio runs again).
    bool WaitEvent(const SynthEvent* events, uint32_t count);
    // Cuts all sounds: a reset-all event, applied at once while no audio thread
    // renders (see ApplyOrQueueEvents), else queued and waited for.
    bool SendAllSoundsOff(bool log);

    // While no audio thread renders (IsAlive false), applies the events at once:
    // first the events still queued, in order, then these, straight into the
    // memory; nothing is queued. A value slot takes the value an event would
    // write; no trigger flag is raised, as every buffer clears them before it
    // applies its events. With no buffer rendering, a note-on starts no voice, a
    // note-off releases the channel's voices on its note, and a reset-all stops
    // every voice and resets the nodes of the program played last. While audio
    // renders, the events are queued (waiting for room like kQueueWait) and the
    // call returns without waiting for them. True when applied or queued.
    bool ApplyOrQueueEvents(const SynthEvent* events, uint32_t count);
    // Returns once every event queued before the call has been applied: waits
    // (polling every millisecond) while the audio thread renders, and applies
    // the rest itself once it does not. For readers of the value slots (save,
    // copy, export). False ("waiting for event timed out") when the audio thread
    // stops ticking yet keeps the memory for longer than a second.
    bool SettleEvents();
    // The events queued so far are never applied; they are dropped where they
    // are read (at once when no audio runs), still counting as processed.
    void DiscardQueuedEvents();
    // Writes the 8192 value slots between two buffers, after applying the events
    // still queued. Waits for a buffer being rendered to end; false (logged)
    // when that takes longer than a second.
    bool WriteValueSlots(const float* values);

    // Builds the byte code (98 zero-terminated opcode lists and their operands)
    // into a free program slot and publishes it; the audio thread plays it from
    // its next buffer. Byte code that does not build publishes nothing and the
    // playing program stays; so does an inconsistent exchange (reported as an
    // internal error). Returns whether a program was published.
    bool UpdateBytecode(const uint8_t* opcodes, size_t opcodeCount, const uint16_t* operands,
                        size_t operandCount);

    // Whether the audio thread ticked within the last 50 ms.
    bool IsAlive() const noexcept;

    // Applies one event. Audio thread. False (and no effect) for a type outside
    // 1..5 and for a channel or stream outside the synthesizer.
    bool ProcessEvent(const SynthEvent& event) noexcept;

    uint32_t QueuedCount() const noexcept { return queuedCount.load(std::memory_order_acquire); }
    uint32_t ProcessedCount() const noexcept { return processedCount.load(std::memory_order_acquire); }
    uint32_t LatencyMs() const noexcept { return latencyMs; }
    // How often a caller has had to wait for the audio thread to apply events.
    uint32_t WaitCount() const noexcept { return waitCount.load(std::memory_order_acquire); }

    // Text lines of the voices and value slots of a synthesizer, for display.
    static void DumpState(const Synthesizer& synth, const LineSink& sink);

protected:
    // Take the memory for the buffer; a buffer that does not get it plays nothing.
    void AcquireProgram() noexcept override;
    void ReleaseProgram() noexcept override;
    void DoTick() noexcept override;

    // The editing side of the memory hand-over; the caller holds queueMutex.
    // Takes the memory only when no audio thread is alive.
    bool TakeMemoryIfIdle() noexcept;
    // Takes the memory between two buffers, alive or not; false after `timeout`.
    bool TakeMemoryBetweenBuffers(std::chrono::milliseconds timeout);
    void ReturnMemory() noexcept;
    // With the memory taken: applies (or drops, when discarded) every queued event.
    void ApplyQueuedEventsDirectly() noexcept;
    // With the memory taken: one event as it acts between two buffers.
    void ApplyEventDirectly(const SynthEvent& event) noexcept;

    // The writer side of the program exchange: `build` fills a free slot (it
    // owns what the slot held), then the slot is published. Nothing is
    // published when `build` returns false.
    using ProgramBuilder = std::function<bool(NodeProgram&)>;
    bool PublishProgram(const ProgramBuilder& build);

    // Stops every voice and resets every node of the program.
    void ResetVoicesAndNodes(NodeProgram& program) noexcept;
    // Waits until the processed count reaches `sequence` (see SettleEvents).
    bool WaitApplied(uint32_t sequence);
    bool Submit(const SynthEvent* events, uint32_t count, uint32_t* sequenceOut);
    bool QueueLocked(std::unique_lock<std::mutex>& lock, const SynthEvent* events, uint32_t count, int mode,
                     uint64_t now, uint32_t& sequence);
    // Reader side: counts the event just read from the ring; false when it is
    // one of the discarded ones.
    bool TakeForApplying() noexcept { return ++eventsRead > discardThrough.load(std::memory_order_acquire); }

    static constexpr bool IsSlot(uint8_t slot) noexcept { return slot == 1 || slot == 2 || slot == 4; }
    static constexpr int SlotIndex(uint8_t slot) noexcept {
        return std::countr_zero(static_cast<unsigned>(slot));
    }

    Logging::Logger logger;
    mutable Time::Clock clock;
    uint32_t latencyMs;
    uint64_t latencyTicks;
    uint64_t aliveTicks;

    std::mutex queueMutex; // serialises the writers of the ring
    ByteRing eventRing;
    std::atomic<uint32_t> queuedCount{0};
    std::atomic<uint32_t> processedCount{0};
    std::atomic<uint64_t> lastTickTime{0}; // full clock reading at the last tick
    std::atomic<uint32_t> waitCount{0};
    // Events counted from the start without wrapping: those up to discardThrough
    // (in the order written) are dropped where they are read.
    uint64_t eventsWritten = 0; // writers, under queueMutex
    uint64_t eventsRead = 0;    // whoever holds the memory
    std::atomic<uint64_t> discardThrough{0};

    enum MemoryOwner : uint8_t { kMemoryFree = 0, kMemoryAudio = 1, kMemoryEditor = 2 };
    std::atomic<uint8_t> memoryOwner{kMemoryFree};
    bool bufferOwnsMemory = false; // audio side: this buffer took the memory

    // Program slots 1, 2 and 4 are programs[0..2]. Each slot is in exactly one
    // place: current (reader), published, returned, or free (writer).
    NodeProgram programs[3];
    NodeProgram emptyProgram; // played when the exchange is found broken
    std::mutex exchangeMutex; // serialises writers of the exchange
    std::atomic<uint8_t> returnedSlots{0};
    std::atomic<uint8_t> publishedSlot{0};
    uint8_t freeSlots = 2 | 4;          // writer side only
    uint8_t currentSlot = 1;            // reader side only
    bool exchangeFaultReported = false; // reader side only
};

} // namespace brl::Korvax
