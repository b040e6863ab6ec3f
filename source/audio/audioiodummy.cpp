#include "audio/audioiodummy.h"

namespace brl::Audio {

namespace {

const uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};

} // namespace

IoDummy::IoDummy(Logging::Channel& log) : Io(log, {L"Dummy", L"", L"Discard", L"", L"Dummy", L"0"}) {}

IoDummy::~IoDummy() {
    CloseBeforeDestruction();
}

bool IoDummy::InternalInit() {
    Caps& caps = MutableCaps();
    caps.FramesPerSecond.assign(std::begin(kRates), std::end(kRates));
    caps.FramesPerChunk = {1, 65536};
    caps.Chunks = {1, 64};
    caps.InputChannelMasks = {SPEAKER_FRONT_LEFT, SPEAKER_FRONT_RIGHT};
    caps.OutputChannelMasks = {SPEAKER_FRONT_LEFT, SPEAKER_FRONT_RIGHT};
    return true;
}

bool IoDummy::InternalPlay() {
    const double period = static_cast<double>(config_.FramesPerChunk) / format_.FramesPerSecond;
    if (!timer_.Start(period, [this] { Tick(); })) {
        BRL_LOG_ERROR(logger_, "cannot start the timer with a period of ", period, " s");
        return false;
    }
    return true;
}

bool IoDummy::InternalStop() {
    timer_.Stop();
    return true;
}

void IoDummy::Tick() noexcept {
    EnterAudioThread();
    RenderChunk();
}

IoProviderDummy::IoProviderDummy(Logging::Channel& log) : IoProvider(log, L"Dummy", L"") {
    AddDevice(std::make_unique<IoDummy>(log)).Init();
}

} // namespace brl::Audio
