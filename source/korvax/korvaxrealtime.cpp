#include "korvax/korvaxrealtime.h"

#include "libbrelm/debug.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

namespace brl::Korvax {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(1);
// How long an editing thread waits for an audio thread that keeps the memory.
constexpr auto kMemoryTimeout = std::chrono::milliseconds(1000);

// frequency x milliseconds / 1000 without overflow, kept below 2^62 so that
// differences of readings and due times stay meaningful as signed numbers.
uint64_t TicksForMilliseconds(uint64_t frequency, uint32_t milliseconds) {
    const unsigned __int128 ticks = static_cast<unsigned __int128>(frequency) * milliseconds / 1000u;
    constexpr uint64_t kLimit = uint64_t{1} << 62;
    return ticks > kLimit ? kLimit : static_cast<uint64_t>(ticks);
}

// Truncation toward zero that maps NaN and values beyond int range to 0.
int TruncOrZero(float x) {
    if (!(x > -2147483648.0f && x < 2147483648.0f)) {
        return 0;
    }
    return static_cast<int>(x);
}

void SetSlot(float* memory, int slot, float value) noexcept {
    memory[kValueSlotBase + slot] = value;
    memory[kTriggerSlotBase + slot] = 1.0f;
}

} // namespace

// ---------------------------------------------------------------------------
// ByteRing

ByteRing::ByteRing(uint32_t capacity) : size(capacity + 1), buffer(new uint8_t[size]) {}

uint32_t ByteRing::Readable() const noexcept {
    const uint32_t write = writeIndex.load(std::memory_order_acquire);
    const uint32_t read = readIndex.load(std::memory_order_acquire);
    return write >= read ? write - read : size - read + write;
}

uint32_t ByteRing::Writable() const noexcept {
    return size - 1 - Readable();
}

bool ByteRing::Write(const void* data, uint32_t count) noexcept {
    const uint32_t write = writeIndex.load(std::memory_order_relaxed);
    const uint32_t read = readIndex.load(std::memory_order_acquire);
    const uint32_t readable = write >= read ? write - read : size - read + write;
    if (count > size - 1 - readable) {
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    const uint32_t first = count < size - write ? count : size - write;
    std::memcpy(buffer.get() + write, bytes, first);
    std::memcpy(buffer.get(), bytes + first, count - first);
    writeIndex.store(static_cast<uint32_t>((uint64_t{write} + count) % size), std::memory_order_release);
    return true;
}

void ByteRing::CopyOut(uint32_t from, void* data, uint32_t count) const noexcept {
    auto* bytes = static_cast<uint8_t*>(data);
    const uint32_t first = count < size - from ? count : size - from;
    std::memcpy(bytes, buffer.get() + from, first);
    std::memcpy(bytes + first, buffer.get(), count - first);
}

bool ByteRing::Peek(void* data, uint32_t count) const noexcept {
    const uint32_t read = readIndex.load(std::memory_order_relaxed);
    const uint32_t write = writeIndex.load(std::memory_order_acquire);
    const uint32_t readable = write >= read ? write - read : size - read + write;
    if (count > readable) {
        return false;
    }
    CopyOut(read, data, count);
    return true;
}

bool ByteRing::Read(void* data, uint32_t count) noexcept {
    if (!Peek(data, count)) {
        return false;
    }
    const uint32_t read = readIndex.load(std::memory_order_relaxed);
    readIndex.store(static_cast<uint32_t>((uint64_t{read} + count) % size), std::memory_order_release);
    return true;
}

// ---------------------------------------------------------------------------
// SynthesizerRealtime

SynthesizerRealtime::SynthesizerRealtime(Logging::Channel* logTarget, uint32_t latencyMs)
    : SynthesizerRealtime(logTarget, latencyMs, std::make_unique<Time::ClockGetTickCount>()) {}

SynthesizerRealtime::SynthesizerRealtime(Logging::Channel* logTarget, uint32_t latencyMs,
                                         std::unique_ptr<Time::ClockImpl> clockImpl)
    : logger(logTarget, L"korvax"),
      clock(clockImpl ? std::move(clockImpl) : std::make_unique<Time::ClockGetTickCount>()),
      latencyMs(latencyMs), latencyTicks(TicksForMilliseconds(clock.Frequency(), latencyMs)),
      aliveTicks(TicksForMilliseconds(clock.Frequency(), kAliveTimeoutMs)), eventRing(kEventRingCapacity) {}

SynthesizerRealtime::~SynthesizerRealtime() {
    for (NodeProgram& program : programs) {
        DestroyNodeProgram(program);
    }
}

bool SynthesizerRealtime::QueueEvents(const SynthEvent* events, uint32_t count, int mode,
                                      uint32_t* sequenceOut) {
    if (sequenceOut != nullptr) {
        *sequenceOut = 0;
    }
    if (mode != kQueueWait && mode != kQueueDrop) {
        BRL_BUG("mode == kQueueWait || mode == kQueueDrop");
        return false;
    }
    if (events == nullptr && count > 0) {
        BRL_BUG("events != nullptr");
        return false;
    }
    const uint64_t now = clock.Now();
    std::unique_lock<std::mutex> lock(queueMutex);
    uint32_t sequence = 0;
    if (!QueueLocked(lock, events, count, mode, now, sequence)) {
        return false;
    }
    if (sequenceOut != nullptr) {
        *sequenceOut = sequence;
    }
    return true;
}

bool SynthesizerRealtime::QueueLocked(std::unique_lock<std::mutex>& lock, const SynthEvent* events,
                                      uint32_t count, int mode, uint64_t now, uint32_t& sequence) {
    sequence = queuedCount.load(std::memory_order_relaxed);
    if (mode == kQueueWait) {
        for (uint32_t i = 0; i < count; ++i) {
            while (eventRing.Writable() < kEventSize) {
                // Nobody will make room while the audio thread stands still.
                if (!IsAlive()) {
                    lock.unlock();
                    BRL_LOG_ERROR(logger, "event discarded");
                    return false;
                }
                lock.unlock();
                BRL_LOG_DEBUG(logger, "waiting for event queueing");
                std::this_thread::sleep_for(kPollInterval);
                lock.lock();
            }
            SynthEvent record = events[i];
            record.time = now;
            eventRing.Write(&record, kEventSize);
            ++eventsWritten;
            sequence = queuedCount.fetch_add(1, std::memory_order_acq_rel) + 1;
            BRL_LOG_TRACE(logger, "waitable event ", sequence, " queued");
        }
        return true;
    }
    if (eventRing.Writable() < uint64_t{count} * kEventSize) {
        lock.unlock();
        BRL_LOG_ERROR(logger, "event discarded");
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        SynthEvent record = events[i];
        record.time = now;
        eventRing.Write(&record, kEventSize);
    }
    eventsWritten += count;
    sequence = queuedCount.fetch_add(count, std::memory_order_acq_rel) + count;
    BRL_LOG_TRACE(logger, "non-waitable event(s) ", sequence, " queued");
    return true;
}

bool SynthesizerRealtime::WaitEvent(const SynthEvent* events, uint32_t count) {
    uint32_t sequence = 0;
    if (!QueueEvents(events, count, kQueueWait, &sequence)) {
        return false;
    }
    BRL_LOG_TRACE(logger, "waiting at event ", ProcessedCount());
    waitCount.fetch_add(1, std::memory_order_acq_rel);
    for (;;) {
        // The counters may wrap; compare their distance.
        if (static_cast<int32_t>(ProcessedCount() - sequence) >= 0) {
            return true;
        }
        if (!IsAlive()) {
            BRL_LOG_WARNING(logger, "waiting for event timed out");
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

bool SynthesizerRealtime::SendAllSoundsOff(bool log) {
    if (log) {
        BRL_LOG_WARNING(logger, "PANIC pressed, switching off all sounds");
    }
    SynthEvent event;
    event.type = kEventResetAll;
    uint32_t sequence = 0;
    if (!Submit(&event, 1, &sequence)) {
        return false;
    }
    return sequence == 0 || WaitApplied(sequence);
}

bool SynthesizerRealtime::ApplyOrQueueEvents(const SynthEvent* events, uint32_t count) {
    return Submit(events, count, nullptr);
}

bool SynthesizerRealtime::Submit(const SynthEvent* events, uint32_t count, uint32_t* sequenceOut) {
    if (sequenceOut != nullptr) {
        *sequenceOut = 0;
    }
    if (events == nullptr && count > 0) {
        BRL_BUG("events != nullptr");
        return false;
    }
    const uint64_t now = clock.Now();
    std::unique_lock<std::mutex> lock(queueMutex);
    if (TakeMemoryIfIdle()) {
        ApplyQueuedEventsDirectly();
        for (uint32_t i = 0; i < count; ++i) {
            ApplyEventDirectly(events[i]);
        }
        ReturnMemory();
        return true;
    }
    uint32_t sequence = 0;
    if (!QueueLocked(lock, events, count, kQueueWait, now, sequence)) {
        return false;
    }
    if (sequenceOut != nullptr) {
        *sequenceOut = sequence;
    }
    return true;
}

bool SynthesizerRealtime::SettleEvents() {
    return WaitApplied(QueuedCount());
}

bool SynthesizerRealtime::WaitApplied(uint32_t sequence) {
    const auto giveUp =
        std::chrono::steady_clock::now() + kMemoryTimeout + std::chrono::milliseconds(latencyMs);
    bool waited = false;
    for (;;) {
        // The counters may wrap; compare their distance.
        if (static_cast<int32_t>(ProcessedCount() - sequence) >= 0) {
            return true;
        }
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (TakeMemoryIfIdle()) {
                ApplyQueuedEventsDirectly();
                ReturnMemory();
                return true;
            }
        }
        if (!waited) {
            waited = true;
            waitCount.fetch_add(1, std::memory_order_acq_rel);
            BRL_LOG_TRACE(logger, "waiting at event ", ProcessedCount());
        }
        if (std::chrono::steady_clock::now() > giveUp) {
            BRL_LOG_WARNING(logger, "waiting for event timed out");
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

void SynthesizerRealtime::DiscardQueuedEvents() {
    std::lock_guard<std::mutex> lock(queueMutex);
    discardThrough.store(eventsWritten, std::memory_order_release);
    if (TakeMemoryIfIdle()) {
        ApplyQueuedEventsDirectly();
        ReturnMemory();
    }
}

bool SynthesizerRealtime::WriteValueSlots(const float* values) {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (!TakeMemoryBetweenBuffers(kMemoryTimeout)) {
        BRL_LOG_ERROR(logger, "value slots not written: the audio thread keeps the memory");
        return false;
    }
    ApplyQueuedEventsDirectly();
    std::copy(values, values + kValueSlotCount, memory + kValueSlotBase);
    ReturnMemory();
    return true;
}

bool SynthesizerRealtime::TakeMemoryIfIdle() noexcept {
    uint8_t expected = kMemoryFree;
    if (!memoryOwner.compare_exchange_strong(expected, kMemoryEditor, std::memory_order_acq_rel)) {
        return false; // a buffer is being rendered
    }
    // A buffer that ended before the exchange above stored its tick time first,
    // so it is seen here; one that starts from now on finds the memory taken.
    if (IsAlive()) {
        ReturnMemory();
        return false;
    }
    return true;
}

bool SynthesizerRealtime::TakeMemoryBetweenBuffers(std::chrono::milliseconds timeout) {
    const auto giveUp = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        uint8_t expected = kMemoryFree;
        if (memoryOwner.compare_exchange_strong(expected, kMemoryEditor, std::memory_order_acq_rel)) {
            return true;
        }
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::yield();
    }
}

void SynthesizerRealtime::ReturnMemory() noexcept {
    memoryOwner.store(kMemoryFree, std::memory_order_release);
}

void SynthesizerRealtime::ApplyQueuedEventsDirectly() noexcept {
    SynthEvent event;
    while (eventRing.Read(&event, kEventSize)) {
        if (TakeForApplying()) {
            ApplyEventDirectly(event);
        }
        processedCount.fetch_add(1, std::memory_order_acq_rel);
    }
}

void SynthesizerRealtime::ApplyEventDirectly(const SynthEvent& event) noexcept {
    const int channel = event.channel;
    const bool channelValid = channel >= 0 && channel < kChannels;
    const auto setValue = [&](int stream, float value) {
        memory[kValueSlotBase + channel * kStreamsPerChannel + stream] = value;
    };
    switch (event.type) {
    case kEventNoteOn:
        if (channelValid) {
            setValue(kStreamNoteOn, event.value);
            setValue(kStreamVelocity, event.value2);
        }
        break;
    case kEventNoteOff:
        if (channelValid) {
            ReleaseNote(channel, event.value);
            setValue(kStreamNoteOff, event.value);
        }
        break;
    case kEventController:
        if (channelValid && event.index >= 0 && event.index < kStreamsPerChannel) {
            setValue(event.index, event.value);
        }
        break;
    case kEventResetAll:
        ResetVoicesAndNodes(IsSlot(currentSlot) ? programs[SlotIndex(currentSlot)] : emptyProgram);
        break;
    case kEventReleaseAll:
        for (int record = 0; record < kVoiceRecords; ++record) {
            voices[record * kVoiceFields + kVoiceRelease] = 1.0f;
        }
        break;
    default:
        break;
    }
}

bool SynthesizerRealtime::IsAlive() const noexcept {
    // Read the tick first: a tick that lands after it can only make us older.
    const uint64_t last = lastTickTime.load(std::memory_order_acquire);
    return clock.Now() - last <= aliveTicks;
}

void SynthesizerRealtime::DoTick() noexcept {
    const uint64_t deadline = clock.Now();
    lastTickTime.store(deadline, std::memory_order_release);
    if (!bufferOwnsMemory) {
        return;
    }
    SynthEvent event;
    while (eventRing.Peek(&event, kEventSize)) {
        // Signed distance, so that a wrap of the clock does not hold events back.
        const uint64_t due = event.time + latencyTicks;
        if (static_cast<int64_t>(due - deadline) > 0) {
            break;
        }
        eventRing.Read(&event, kEventSize);
        if (TakeForApplying()) {
            ProcessEvent(event);
        } else {
            processedCount.fetch_add(1, std::memory_order_acq_rel);
        }
    }
    lastTickTime.store(clock.Now(), std::memory_order_release);
}

void SynthesizerRealtime::ResetVoicesAndNodes(NodeProgram& program) noexcept {
    ResetNodeList(program.lists[kListMixPre]);
    for (int c = 0; c < kChannels; ++c) {
        ResetNodeList(program.lists[kListChannelPre + c]);
        for (int v = 0; v < kVoicesPerChannel; ++v) {
            ResetNodeList(program.lists[kListVoice + c * kVoicesPerChannel + v]);
            Voice(c, v)[kVoiceActive] = 0.0f;
        }
        ResetNodeList(program.lists[kListChannelPost + c]);
    }
    ResetNodeList(program.lists[kListMix]);
}

bool SynthesizerRealtime::ProcessEvent(const SynthEvent& event) noexcept {
    const int channel = event.channel;
    const bool channelValid = channel >= 0 && channel < kChannels;
    const int base = channel * kStreamsPerChannel;
    bool applied = true;
    switch (event.type) {
    case kEventNoteOn:
        if (!channelValid) {
            applied = false;
            break;
        }
        if (currentProgram != nullptr) {
            StartNote(channel, event.value, event.value2);
        }
        SetSlot(memory, base + kStreamNoteOn, event.value);
        SetSlot(memory, base + kStreamVelocity, event.value2);
        break;
    case kEventNoteOff:
        if (!channelValid) {
            applied = false;
            break;
        }
        if (currentProgram != nullptr) {
            ReleaseNote(channel, event.value);
        }
        SetSlot(memory, base + kStreamNoteOff, event.value);
        break;
    case kEventController:
        if (!channelValid || event.index < 0 || event.index >= kStreamsPerChannel) {
            applied = false;
            break;
        }
        SetSlot(memory, base + event.index, event.value);
        break;
    case kEventResetAll:
        if (NodeProgram* program = currentProgram) {
            ResetVoicesAndNodes(*program);
        }
        break;
    case kEventReleaseAll:
        for (int record = 0; record < kVoiceRecords; ++record) {
            voices[record * kVoiceFields + kVoiceRelease] = 1.0f;
        }
        break;
    default:
        applied = false;
        break;
    }
    processedCount.fetch_add(1, std::memory_order_acq_rel);
    return applied;
}

// ---------------------------------------------------------------------------
// Program exchange

bool SynthesizerRealtime::UpdateBytecode(const uint8_t* opcodes, size_t opcodeCount, const uint16_t* operands,
                                         size_t operandCount) {
    return PublishProgram([&](NodeProgram& program) {
        return BuildNodeProgram(program, this, opcodes, opcodeCount, operands, operandCount);
    });
}

bool SynthesizerRealtime::PublishProgram(const ProgramBuilder& build) {
    std::lock_guard<std::mutex> lock(exchangeMutex);
    // The reader holds at most two slots (while it swaps), so with nothing free
    // the third is either handed back or still published and not picked up; a
    // program that was never picked up is simply replaced.
    if (freeSlots == 0) {
        freeSlots = static_cast<uint8_t>(freeSlots + returnedSlots.exchange(0, std::memory_order_acq_rel));
    }
    uint8_t takenBack = 0;
    if (freeSlots == 0) {
        takenBack = publishedSlot.exchange(0, std::memory_order_acq_rel);
        if (takenBack != 0 && !IsSlot(takenBack)) {
            BRL_BUG("InvalidState (published program slot)");
            return false;
        }
        freeSlots = takenBack;
    }
    if (freeSlots == 0 || freeSlots > 6) {
        BRL_BUG("InvalidState (no free program slot)");
        return false;
    }
    const auto slot = static_cast<uint8_t>(freeSlots & -freeSlots);
    if (!build(programs[SlotIndex(slot)])) {
        if (takenBack != 0) {
            // The builder left the slot as it was: its program is still the newest.
            freeSlots = static_cast<uint8_t>(freeSlots - takenBack);
            publishedSlot.store(takenBack, std::memory_order_release);
        }
        return false;
    }
    freeSlots = static_cast<uint8_t>(freeSlots - slot);
    const uint8_t previous = publishedSlot.exchange(slot, std::memory_order_acq_rel);
    if ((previous != 0 && !IsSlot(previous)) || (previous & freeSlots) != 0) {
        BRL_BUG("InvalidState (published program slot)");
    } else {
        // A program published but not picked up is simply reused.
        freeSlots = static_cast<uint8_t>(freeSlots + previous);
    }
    if (freeSlots == 0) {
        freeSlots = static_cast<uint8_t>(freeSlots + returnedSlots.exchange(0, std::memory_order_acq_rel));
    }
    return true;
}

void SynthesizerRealtime::AcquireProgram() noexcept {
    // The tick time goes first, so that an editing thread that takes the memory
    // after this buffer sees the audio thread alive.
    lastTickTime.store(clock.Now(), std::memory_order_release);
    uint8_t expected = kMemoryFree;
    bufferOwnsMemory = memoryOwner.compare_exchange_strong(expected, kMemoryAudio, std::memory_order_acq_rel);
    if (!bufferOwnsMemory) {
        // An editing thread writes between buffers: this one plays nothing and
        // leaves program and events for the next.
        currentProgram = nullptr;
        return;
    }
    const uint8_t taken = publishedSlot.exchange(0, std::memory_order_acq_rel);
    if (taken != 0) {
        if (!IsSlot(taken) || taken == currentSlot) {
            BRL_BUG("InvalidState (published program slot)");
        } else {
            const uint8_t old = currentSlot;
            currentSlot = taken;
            const uint8_t returned = returnedSlots.fetch_add(old, std::memory_order_acq_rel);
            if ((returned & old) != 0) {
                BRL_BUG("InvalidState (returned program slot)");
            }
        }
    }
    if (IsSlot(currentSlot)) {
        currentProgram = &programs[SlotIndex(currentSlot)];
        return;
    }
    if (!exchangeFaultReported) {
        exchangeFaultReported = true;
        BRL_BUG("InvalidState (current program slot)");
    }
    currentProgram = &emptyProgram;
}

void SynthesizerRealtime::ReleaseProgram() noexcept {
    currentProgram = nullptr;
    if (bufferOwnsMemory) {
        bufferOwnsMemory = false;
        memoryOwner.store(kMemoryFree, std::memory_order_release);
    }
}

// ---------------------------------------------------------------------------
// State dump

void SynthesizerRealtime::DumpState(const Synthesizer& synth, const LineSink& sink) {
    static const wchar_t* const kNoteNames[12] = {L"C-", L"C#", L"D-", L"D#", L"E-", L"F-",
                                                  L"F#", L"G-", L"G#", L"A-", L"A#", L"B-"};
    const auto isActive = [&](int channel, int voice) {
        return synth.Voice(channel, voice)[kVoiceActive] > 0.0f;
    };

    int active = 0;
    for (int channel = 0; channel < kChannels; ++channel) {
        for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
            active += isActive(channel, voice) ? 1 : 0;
        }
    }
    sink(L"Voices active: " + std::to_wstring(active));

    wchar_t cell[16];
    String line;
    for (int channel = 0; channel < kChannels; ++channel) {
        std::swprintf(cell, 16, L"%03x ", channel);
        line += cell;
    }
    sink(line);

    for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
        line.clear();
        for (int channel = 0; channel < kChannels; ++channel) {
            if (!isActive(channel, voice)) {
                line += L"    ";
                continue;
            }
            const int note = TruncOrZero(synth.Voice(channel, voice)[kVoiceNote] * 128.0f + 0.5f);
            const int name = (note % 12 + 12) % 12;
            line += kNoteNames[name];
            line += std::to_wstring((note - name) / 12);
            line += L' ';
        }
        sink(line);
    }

    const float* memory = synth.Memory();
    for (int channel = 0; channel < kChannels; ++channel) {
        for (int row = 0; row < 4; ++row) {
            if (row == 0) {
                std::swprintf(cell, 16, L"Ch%02x: ", channel);
                line = cell;
            } else {
                line = L"      ";
            }
            const float* values = memory + kValueSlotBase + channel * kStreamsPerChannel + row * 64;
            for (int k = 0; k < 64; ++k) {
                std::swprintf(cell, 16, L"%02x ", TruncOrZero(values[k] * 128.0f) & 0x7F);
                line += cell;
            }
            sink(line);
        }
    }
}

} // namespace brl::Korvax
