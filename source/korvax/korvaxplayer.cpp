#include "korvax/korvaxplayer.h"

#include "libbrelm/debug.h"

#include <cstring>
#include <new>

namespace brl::Korvax {

namespace {

constexpr uint32_t kStreamEnd = 0xFFFFFFFFu;
constexpr float kByteScale = 0.0078125f; // MIDI values are stored divided by 128

} // namespace

SynthPlayer::SynthPlayer(const uint8_t* initialValues, const uint8_t* opcodes, size_t opcodeCount,
                         const uint16_t* operands, size_t operandCount, const uint32_t* timeStreams,
                         size_t timeStreamCount, const uint8_t* dataStreams, size_t dataStreamCount,
                         Logging::Channel* log, VoiceRendererBuilder voiceRenderer, bool commitNodeMemory) {
    SetVoiceRendererBuilder(voiceRenderer);
    SetCommitNodeMemory(commitNodeMemory);
    Debug::LoggingChannel processLog;
    Logging::Logger logger(log != nullptr ? log : &processLog, L"player");

    if (initialValues != nullptr) {
        std::memcpy(values, initialValues, sizeof(values));
    }
    for (int slot = 0; slot < kValueSlotCount; ++slot) {
        memory[kValueSlotBase + slot] = values[slot] * kByteScale;
    }

    valid = BuildStreamTable(logger, timeStreams, timeStreamCount, dataStreams, dataStreamCount) &&
            BuildNodeProgram(program, this, opcodes, opcodeCount, operands, operandCount);
    if (!valid) {
        // A refused song plays nothing: every stream is the bare terminator.
        static const uint32_t kNoTimes[1] = {kStreamEnd};
        static const uint8_t kNoValues[1] = {0};
        for (int s = 0; s < kValueSlotCount; ++s) {
            streamTimes[s] = kNoTimes;
            streamValues[s] = kNoValues;
        }
        return;
    }
    ReportUnmatchedNoteOns(logger);
}

SynthPlayer::~SynthPlayer() {
    DestroyNodeProgram(program);
}

bool SynthPlayer::BuildStreamTable(Logging::Logger& logger, const uint32_t* timeStreams,
                                   size_t timeStreamCount, const uint8_t* dataStreams,
                                   size_t dataStreamCount) {
    if (timeStreams == nullptr) {
        timeStreamCount = 0;
    }
    if (dataStreams == nullptr) {
        dataStreamCount = 0;
    }
    // Check that every stream ends inside the input before anything is read.
    size_t events = 0;
    size_t position = 0;
    for (int s = 0; s < kValueSlotCount; ++s) {
        for (;;) {
            if (position >= timeStreamCount) {
                BRL_LOG_ERROR(logger, "time streams hold fewer than 8192 terminators");
                return false;
            }
            if (timeStreams[position++] == kStreamEnd) {
                break;
            }
            ++events;
        }
    }
    if (events > dataStreamCount) {
        BRL_LOG_ERROR(logger, "data streams hold fewer bytes than the time streams have events");
        return false;
    }

    timeStore.reset(new (kNoThrow) uint32_t[events + kValueSlotCount]);
    valueStore.reset(new (kNoThrow) uint8_t[events + kValueSlotCount]);
    if (timeStore == nullptr || valueStore == nullptr) {
        BRL_LOG_ERROR(logger, "not enough memory for the song");
        return false;
    }
    const uint32_t* timeInput = timeStreams;
    const uint8_t* dataInput = dataStreams;
    size_t out = 0;
    for (int s = 0; s < kValueSlotCount; ++s) {
        streamTimes[s] = timeStore.get() + out;
        streamValues[s] = valueStore.get() + out;
        uint32_t time = 0;
        uint8_t value = 0;
        for (; *timeInput != kStreamEnd; ++timeInput, ++dataInput, ++out) {
            time += *timeInput;
            value = static_cast<uint8_t>(value + *dataInput);
            timeStore[out] = time;
            valueStore[out] = value;
        }
        ++timeInput;
        timeStore[out] = kStreamEnd;
        valueStore[out] = 0;
        ++out;
    }
    return true;
}

void SynthPlayer::ReportUnmatchedNoteOns(Logging::Logger& logger) const {
    // Velocity events pair with note-ons in order; each must be due no later
    // than its note-on.
    size_t unmatched = 0;
    for (int channel = 0; channel < kChannels; ++channel) {
        const int noteStream = channel * kStreamsPerChannel + kStreamNoteOn;
        const int velocityStream = channel * kStreamsPerChannel + kStreamVelocity;
        const uint32_t* noteTimes = streamTimes[noteStream];
        const uint32_t* velocityTimes = streamTimes[velocityStream];
        const uint32_t* noteEnd = streamTimes[noteStream + 1] - 1;
        const uint32_t* velocityEnd = streamTimes[velocityStream + 1] - 1;
        for (; noteTimes != noteEnd; ++noteTimes) {
            if (velocityTimes == velocityEnd || *velocityTimes > *noteTimes) {
                ++unmatched;
            }
            if (velocityTimes != velocityEnd) {
                ++velocityTimes;
            }
        }
    }
    if (unmatched > 0) {
        BRL_LOG_ERROR(logger, "note-on events without a velocity event at or before them: ", unmatched);
    }
}

void SynthPlayer::AcquireProgram() noexcept {
    currentProgram = valid ? &program : nullptr;
}

void SynthPlayer::ReleaseProgram() noexcept {
    currentProgram = nullptr;
}

void SynthPlayer::DoTick() noexcept {
    DoTickWork(1);
}

void SynthPlayer::DoTickWork(uint32_t ticks) noexcept {
    ApplyDueEvents(*this, ticks);
}

void SynthPlayer::ApplyDueEvents(Synthesizer& target, uint32_t ticks) noexcept {
    tick += ticks;
    if (!(nextDue < tick)) {
        return; // no stream has an event before this tick
    }
    nextDue = kStreamEnd;
    float* const slots = target.Memory();
    float* triggers = slots + kTriggerSlotBase;
    for (int channel = 0; channel < kChannels; ++channel) {
        const int base = channel * kStreamsPerChannel;
        for (int k = 0; k < kStreamsPerChannel; ++k) {
            if (k == kStreamVelocity) {
                continue;
            }
            const int s = base + k;
            const uint32_t* times = streamTimes[s];
            uint32_t position = positions[s];
            while (times[position] < tick) {
                const float x = streamValues[s][position] * kByteScale;
                if (k == kStreamNoteOn) {
                    const int velocityStream = base + kStreamVelocity;
                    uint32_t& velocityPosition = positions[velocityStream];
                    const uint32_t velocityTime = streamTimes[velocityStream][velocityPosition];
                    const float velocity = streamValues[velocityStream][velocityPosition] * kByteScale;
                    if (!(velocityTime < tick)) {
                        ++unmatchedNoteOns;
                    }
                    target.StartNote(channel, x, velocity);
                    slots[s] = x;
                    triggers[s] = 1.0f;
                    // An exhausted velocity stream stays on its terminator.
                    if (velocityTime != kStreamEnd) {
                        ++velocityPosition;
                    }
                    slots[velocityStream] = velocity;
                    triggers[velocityStream] = 1.0f;
                } else {
                    if (k == kStreamNoteOff) {
                        target.ReleaseNote(channel, x);
                    }
                    slots[s] = x;
                    triggers[s] = 1.0f;
                }
                ++position;
            }
            positions[s] = position;
            nextDue = times[position] < nextDue ? times[position] : nextDue;
        }
    }
}

} // namespace brl::Korvax
