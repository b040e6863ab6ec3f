#include "korvax/korvaxmidirealtime.h"

#include "libbrelm/debug.h"

namespace brl::Korvax {

namespace {

constexpr float kMidiScale = 0.0078125f; // 1/128

// The message bytes as status, data1, data2; bytes beyond the message's length read as 0.
struct MessageBytes {
    unsigned status;
    unsigned data1;
    unsigned data2;

    explicit MessageBytes(const Midi::Event& event) : status(event.status), data1(0), data2(0) {
        const int length = Midi::MessageLength(event.status);
        data1 = length > 1 ? event.data1 : 0u;
        data2 = length > 2 ? event.data2 : 0u;
    }
    bool WellFormed() const { return status >= 0x80 && data1 < 0x80 && data2 < 0x80; }
};

} // namespace

SynthesizerMidi::SynthesizerMidi(Logging::Channel* logTarget, uint32_t latencyMs)
    : SynthesizerRealtime(logTarget, latencyMs), midiLogger(logTarget, L"korvax") {}

SynthesizerMidi::SynthesizerMidi(Logging::Channel* logTarget, uint32_t latencyMs,
                                 std::unique_ptr<Time::ClockImpl> clock)
    : SynthesizerRealtime(logTarget, latencyMs, std::move(clock)), midiLogger(logTarget, L"korvax") {}

SynthesizerMidi::~SynthesizerMidi() = default;

void SynthesizerMidi::SetForcedChannel(int channel) noexcept {
    forcedChannel.store(channel >= 0 && channel < kChannels ? channel : -1, std::memory_order_release);
}

uint32_t SynthesizerMidi::GetProgramMap(int midiChannel) const noexcept {
    if (midiChannel < 0 || midiChannel >= kMidiChannels) {
        return 0;
    }
    return programMap[midiChannel].load(std::memory_order_acquire);
}

bool SynthesizerMidi::QueueMidiEvent(const Midi::Event& event) {
    const MessageBytes bytes(event);
    const bool quiet =
        bytes.WellFormed() && ((bytes.status == 0xF8 && !logTimingClock.load(std::memory_order_acquire)) ||
                               (bytes.status == 0xFE && !logActiveSensing.load(std::memory_order_acquire)));
    if (!quiet) {
        BRL_LOG_VERBOSE(midiLogger, Midi::EventText(event));
    }
    if (bytes.WellFormed() && (bytes.status & 0xF0) == 0xB0 && bytes.data1 < 120 &&
        TakeLearnedController(static_cast<int>(bytes.status & 0x0F), static_cast<int>(bytes.data1),
                              static_cast<int>(bytes.data2))) {
        return true;
    }
    SynthEvent synthEvent;
    if (!ConvertMidiEvent(event, synthEvent)) {
        BRL_LOG_WARNING(midiLogger, "unsupported midi event, ignoring (", Midi::EventText(event), ")");
        return false;
    }
    return QueueEvents(&synthEvent, 1, kQueueDrop);
}

bool SynthesizerMidi::TakeLearnedController(int, int, int) {
    return false;
}

bool SynthesizerMidi::ConvertMidiEvent(const Midi::Event& event, SynthEvent& out) {
    out = SynthEvent{};
    const MessageBytes bytes(event);
    if (!bytes.WellFormed()) {
        return false;
    }
    const unsigned status = bytes.status;
    const unsigned data1 = bytes.data1;
    const unsigned data2 = bytes.data2;
    const int midiChannel = static_cast<int>(status & 0x0F);
    switch (status & 0xF0) {
    case 0x90:
        if (data2 > 0) {
            out.type = kEventNoteOn;
            out.channel = GetSynthChannelFromMidiChannel(midiChannel);
            out.value = static_cast<float>(data1) * kMidiScale;
            out.value2 = static_cast<float>(data2) * kMidiScale;
            return true;
        }
        [[fallthrough]];
    case 0x80:
        out.type = kEventNoteOff;
        out.channel = GetSynthChannelFromMidiChannel(midiChannel);
        out.value = static_cast<float>(data1) * kMidiScale;
        return true;
    case 0xB0:
        if (data1 < 120) {
            out.type = kEventController;
            out.channel = GetSynthChannelFromMidiChannel(midiChannel);
            out.index = static_cast<int32_t>(data1);
            out.value = static_cast<float>(data2) * kMidiScale;
            return true;
        }
        if (data1 == 120) {
            out.type = kEventResetAll;
            return true;
        }
        if (data1 == 123) {
            out.type = kEventReleaseAll;
            return true;
        }
        return false;
    case 0xC0:
        programMap[midiChannel].store(data1 & 0x1F, std::memory_order_release);
        return true;
    case 0xF0:
        // Tune request, and the real-time messages of a running sequencer
        // (timing clock, start, continue, stop) and active sensing: no event.
        return status == 0xF6 || status == 0xF8 || (status >= 0xFA && status <= 0xFC) || status == 0xFE;
    default: // key pressure, channel pressure, pitch bend
        return false;
    }
}

int SynthesizerMidi::GetSynthChannelFromMidiChannel(int midiChannel) {
    const int forced = forcedChannel.load(std::memory_order_acquire);
    if (forced != -1) {
        BRL_LOG_INFO(midiLogger, "forcing channel to ", forced);
        return forced;
    }
    if (midiChannel < 0 || midiChannel >= kMidiChannels) {
        BRL_BUG("midiChannel >= 0 && midiChannel < kMidiChannels");
        return 0;
    }
    if (useMidiChannel.load(std::memory_order_acquire)) {
        BRL_LOG_VERBOSE(midiLogger, "forcing channel to midi channel (", midiChannel, ")");
        return midiChannel;
    }
    return static_cast<int>(programMap[midiChannel].load(std::memory_order_acquire));
}

} // namespace brl::Korvax
