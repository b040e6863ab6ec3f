#pragma once

#include "audio/audioio.h"
#include "libbrelm/threads.h"

namespace brl::Audio {

// A port that renders in real time and discards the audio: a periodic timer
// thread renders one chunk every FramesPerChunk / FramesPerSecond seconds.
// Its input channels read silence. Threads as for Io; the timer thread is the
// audio thread.
class IoDummy final : public Io {
public:
    explicit IoDummy(Logging::Channel& log);
    ~IoDummy() override;

protected:
    bool InternalInit() override;
    bool InternalOpen() override { return true; }
    bool InternalPlay() override;
    bool InternalStop() override;
    bool InternalClose() override { return true; }

private:
    void Tick() noexcept;

    Threads::Timer timer_;
};

// The "dummy" backend: one IoDummy (provider "Dummy", API "Dummy", id "0").
class IoProviderDummy : public IoProvider {
public:
    explicit IoProviderDummy(Logging::Channel& log);
};

} // namespace brl::Audio
