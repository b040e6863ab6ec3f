#pragma once

#include "korvax/korvaxrealtime.h"
#include "midi/midievent.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace brl::Korvax {

// The realtime synthesizer as a MIDI sink: converts short MIDI messages into
// synthesizer events and queues them without waiting.
//
// Threads: QueueMidiEvent and ConvertMidiEvent run on the MIDI input thread;
// the setters come from any thread (one atomic store each).
class SynthesizerMidi : public SynthesizerRealtime {
public:
    static constexpr int kMidiChannels = 16;

    SynthesizerMidi(Logging::Channel* logTarget, uint32_t latencyMs);
    SynthesizerMidi(Logging::Channel* logTarget, uint32_t latencyMs, std::unique_ptr<Time::ClockImpl> clock);
    ~SynthesizerMidi() override;

    // Logs, converts and queues one message; true when an event was queued.
    // A controller message that TakeLearnedController consumes is not
    // converted (true when it consumed it).
    bool QueueMidiEvent(const Midi::Event& event);
    // Fills `out` from the message, starting from a fresh event. True when the
    // message was understood, including messages that make no event (type 0).
    bool ConvertMidiEvent(const Midi::Event& event, SynthEvent& out);
    // The synth channel that plays MIDI channel 0..15.
    int GetSynthChannelFromMidiChannel(int midiChannel);

    // A synth channel 0..31 takes every channel message; -1 (or any value
    // outside 0..31) stops forcing.
    void SetForcedChannel(int channel) noexcept;
    int GetForcedChannel() const noexcept { return forcedChannel.load(std::memory_order_acquire); }
    void SetUseMidiChannel(bool use) noexcept { useMidiChannel.store(use, std::memory_order_release); }
    void SetLogTimingClock(bool log) noexcept { logTimingClock.store(log, std::memory_order_release); }
    void SetLogActiveSensing(bool log) noexcept { logActiveSensing.store(log, std::memory_order_release); }
    // Synth channel chosen by the last program change on a MIDI channel 0..15.
    uint32_t GetProgramMap(int midiChannel) const noexcept;

protected:
    // MIDI input thread: offered every controller message 0..119 before its
    // conversion; true consumes it. Nothing is consumed here.
    virtual bool TakeLearnedController(int midiChannel, int cc, int value);

private:
    Logging::Logger midiLogger;
    std::atomic<uint32_t> programMap[kMidiChannels] = {};
    std::atomic<int32_t> forcedChannel{-1};
    std::atomic<bool> useMidiChannel{false};
    std::atomic<bool> logTimingClock{true};
    std::atomic<bool> logActiveSensing{true};
};

} // namespace brl::Korvax
