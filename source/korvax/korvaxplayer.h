#pragma once

#include "korvax/korvaxsynth.h"
#include "libbrelm/logging.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brl::Korvax {

// The synthesizer that replays a song from pre-recorded event streams, one
// buffer per tick: the compiled program plus the packed time and data streams
// (deltas per stream, each time stream ending in 0xFFFFFFFF).
//
// Built on any thread; RenderBuffer and DoTickWork then run on one rendering
// thread and allocate, lock and log nothing.
//
// The streams are checked at construction. Time streams with fewer than 8192
// terminators, or data streams shorter than their events, are refused: the
// player logs the error, holds no program and no events, and renders silence.
// So is a song or program for which the memory cannot be had.
// A note-on that finds no due velocity event is logged once at construction;
// when the velocity stream is exhausted, the note still starts with velocity 0
// (the value stored behind the last event of every stream), and the velocity
// stream stays at its end.
class SynthPlayer : public Synthesizer {
public:
    // `initialValues` holds the 8192 initial value bytes (nullptr: all zero).
    // Errors go to `log`, or to the process log channel when it is null.
    // `voiceRenderer` builds the program's voice renderer (nullptr: scalar voices).
    // `commitNodeMemory`: see Synthesizer::SetCommitNodeMemory.
    SynthPlayer(const uint8_t* initialValues, const uint8_t* opcodes, size_t opcodeCount,
                const uint16_t* operands, size_t operandCount, const uint32_t* timeStreams,
                size_t timeStreamCount, const uint8_t* dataStreams, size_t dataStreamCount,
                Logging::Channel* log = nullptr, VoiceRendererBuilder voiceRenderer = nullptr,
                bool commitNodeMemory = true);
    ~SynthPlayer() override;

    // Advances by `ticks` and applies every event that has become due.
    void DoTickWork(uint32_t ticks) noexcept;
    // The same work applied to another synthesizer's value slots and voices
    // (a live synthesizer that plays the song with its own program); called
    // on the thread that renders `target`.
    void ApplyDueEvents(Synthesizer& target, uint32_t ticks) noexcept;

    // False when the streams or the byte code were refused.
    bool IsValid() const noexcept { return valid; }
    // Ticks advanced so far.
    uint32_t Tick() const noexcept { return tick; }
    // Note-ons played so far without a due velocity event.
    uint32_t UnmatchedNoteOns() const noexcept { return unmatchedNoteOns; }

protected:
    void AcquireProgram() noexcept override;
    void ReleaseProgram() noexcept override;
    void DoTick() noexcept override;

private:
    bool BuildStreamTable(Logging::Logger& logger, const uint32_t* timeStreams, size_t timeStreamCount,
                          const uint8_t* dataStreams, size_t dataStreamCount);
    void ReportUnmatchedNoteOns(Logging::Logger& logger) const;

    NodeProgram program;
    bool valid = false;
    // All streams' absolute times and values, each stream closed by 0xFFFFFFFF and 0.
    std::unique_ptr<uint32_t[]> timeStore;
    std::unique_ptr<uint8_t[]> valueStore;
    const uint32_t* streamTimes[kValueSlotCount] = {};
    const uint8_t* streamValues[kValueSlotCount] = {};
    uint32_t positions[kValueSlotCount] = {};
    uint32_t tick = 0;
    // The earliest time of a stream's next event (0: not known yet); ticks
    // before it have nothing to apply, so they skip the scan of all streams.
    uint32_t nextDue = 0;
    uint32_t unmatchedNoteOns = 0;
    uint8_t values[kValueSlotCount] = {};
};

} // namespace brl::Korvax
