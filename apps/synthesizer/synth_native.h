#pragma once

#include "audio/audioio.h"
#include "korvax/korvaxmanager.h"
#include "libbrelm/application.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"
#include "midi/midiio.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace brl::Korvax {
class SynthPlayer;
}

namespace brl::Synth {

// The audio callback's share of its period: the time spent in one callback
// (monotonic clock) divided by the time its frames last at the stream's rate.
// 1.0 means the callback took as long as the audio it made.
//
// Threads: Begin and End on the audio thread (no lock, no allocation, two
// clock reads and a few atomic stores); Current and Peak from any thread;
// Reset while no callback runs.
class CallbackLoadMeter {
public:
    // The peak covers the last one to two windows of this many seconds of audio.
    static constexpr uint32_t kPeakWindowSeconds = 2;

    uint64_t Begin() const noexcept { return Now(); }
    void End(uint64_t begin, uint32_t frames, uint32_t framesPerSecond) noexcept;

    float Current() const noexcept { return current.load(std::memory_order_relaxed); }
    float Peak() const noexcept { return peak.load(std::memory_order_relaxed); }
    void Reset() noexcept;

    // Nanoseconds of the monotonic clock.
    static uint64_t Now() noexcept;

private:
    std::atomic<float> current{0.0f};
    std::atomic<float> peak{0.0f};
    // Audio thread only.
    float windowPeak = 0.0f;
    float previousWindowPeak = 0.0f;
    uint64_t windowFrames = 0;
    // The period of the last callback size and rate, kept to spare a division.
    uint32_t periodFrames = 0;
    uint32_t periodRate = 0;
    float inversePeriod = 0.0f;
    uint64_t windowLength = 0;
};

// The port configuration the native manager opens a device with: chunks of
// 128 frames (the synthesizer's block) and as many output chunks as cover
// `latencyMs`, plus the one being played; where the device allows fewer
// chunks than that, the chunk doubles until they fit.
Audio::PortConfig StreamConfig(uint32_t framesPerSecond, int latencyMs, const Audio::Caps& caps);

// The synthesizer of the interactive program joined to the outside world: the
// state manager (and through it the editing model and the realtime
// synthesizer), the handler of the audio stream and the receiver of MIDI
// input. It owns the audio and MIDI device masters, opens and closes devices,
// renders the synthesizer in blocks of 128 frames inside the audio callback
// (carrying the rest of a block over to the next callback, whatever the
// device's buffer size), loops the input sample into the synthesizer's input,
// keeps the level meters and measures the callback's load. It can also play
// the patch set's song the way the offline render does (StartSong), or
// through the live synthesizer with the patch as it is edited (StartLiveSong).
//
// Typical use (control thread):
//     NativeManager manager(&log);
//     manager.Init(config);                    // device masters, meter flags
//     manager.LoadState(path);
//     manager.SetAudioDevice(index, 96000, 20, 0, identity);
//     for (int i = 0; i < inputs; ++i) manager.StartMidiDevice(i);
//     ...
//     manager.Deinit();                        // or the destructor
//
// Threads:
// - Control thread (the GUI thread, or korvax-tool's main thread): Init,
//   Deinit, RecreateAudioMaster, SetAudioDevice, Start/StopMidiDevice,
//   ConfigureMeters, the song transport and the queries. The device
//   operations and queries are serialised by a recursive device lock.
// - Audio thread: Process, between the device's Play and Stop. It takes no
//   lock, allocates nothing and never waits.
// - MIDI input threads: OnMidiEvent, which only queues synthesizer events.
// - Any thread: GetCallbackLoad, the song position, the meters' published
//   values.
class NativeManager : public Korvax::Manager, public Audio::IStreamHandler, public Midi::InputHandler {
public:
    static constexpr uint32_t kBlockFrames = Korvax::kSamplesPerBuffer;
    static constexpr uint64_t kNoEnd = UINT64_MAX;

    // Messages go to loggers on logTarget: "korvax" for the manager, "audio"
    // and "midi" for the device masters.
    explicit NativeManager(Logging::Channel* logTarget);
    ~NativeManager() override;

    // Deinit, then reads "Synth/DebugAudioOutput" (false), "Synth/FastPPM"
    // (true) and "Synth/VoiceLanes" (true; recompiles when it changes how
    // voices render) and creates the audio and MIDI masters from the
    // configuration. False (logged) when a master cannot be created.
    bool Init(Config::Frontend& config);
    // Closes the audio device and the MIDI inputs and destroys both masters.
    void Deinit();
    // Closes the audio device and builds the audio master anew (the list of
    // audio backends changed).
    bool RecreateAudioMaster(Config::Frontend& config);

    // Closes the open audio device, opens device `index` of the audio master
    // with two output channels (`channelMask`, or the first two channels for
    // 0) at `framesPerSecond` and about `latencyMs`, restarts the MIDI inputs
    // that were open and starts streaming into this object. The client name is
    // the application's long name, the port name "synth". With `endFrames`
    // the stream ends after that many frames (see Audio::Io::SetEndPosition).
    // A device that does not open leaves the program silent, logged as
    // "Failed opening device <index>"; the result says whether audio plays.
    bool SetAudioDevice(int index, int framesPerSecond, int latencyMs, int channelMask,
                        const ApplicationInfo& application, uint64_t endFrames = kNoEnd);
    // Starts MIDI input `index` of the MIDI master with this object as its
    // handler; an input that runs already is left alone. False when it does
    // not start.
    bool StartMidiDevice(int index);
    // Stops MIDI input `index` and clears its handler; a stopped one is left alone.
    void StopMidiDevice(int index);
    bool IsMidiDeviceStarted(int index) const;

    // The stream queries (neutral values without an open device: position 0,
    // rate 1, latencies 0).
    int64_t GetPosition() const override;
    int64_t GetSampleRate() const override;
    int64_t GetInputLatency() const override;
    int64_t GetOutputLatency() const override;
    bool IsDeviceless() const override { return false; }

    // The index of the device SetAudioDevice last chose (-1 for none), and
    // whether it is playing or has come to its end (end position reached, or
    // its audio thread failed).
    int GetAudioDeviceIndex() const;
    bool IsAudioPlaying() const;
    bool IsAudioEnded() const;
    // Audible underruns of the open device, and their log lines (control thread).
    uint32_t GetUnderruns() const;
    void ReportUnderruns();

    // The masters, for listing devices and for the MIDI keyboard; nullptr
    // before Init. Control thread.
    Audio::IoMaster* GetAudioMaster() const;
    Midi::IoMaster* GetMidiMaster() const;

    // Re-configures output meters 0 and 1 from "Audio/SamplingRate" and the
    // seven "Audio/PPM/..." settings. Safe while audio runs: the callback
    // skips metering while the meters are changed.
    bool ConfigureMeters(Config::Frontend& config);
    bool IsFastMeters() const noexcept { return fastMeters.load(std::memory_order_relaxed); }
    bool IsDebugAudioOutput() const noexcept { return debugAudioOutput.load(std::memory_order_relaxed); }

    // The audio callback's load for the editor's CPU meter: the last
    // callback's share of its period and the highest share over the last two
    // to four seconds of audio (1.0 = the whole period). Any thread, without a
    // lock; zero until a device plays.
    struct CallbackLoad {
        float current = 0.0f;
        float peak = 0.0f;
    };
    CallbackLoad GetCallbackLoad() const noexcept { return {load.Current(), load.Peak()}; }

    // Song transport. The song is played by a separate player built from the
    // current state exactly as the offline render builds it (value slots,
    // freshly compiled program, the song's streams), so the song's audio is
    // the render's audio; the live synthesizer keeps playing beside it (MIDI
    // input, edits) and is added to it where it is not silent. A song plays
    // for its length plus the render's tail of 30 seconds, starting with the
    // next block the callback renders (the first frame of the stream when it
    // is started before the device).
    //
    // StartSong (control thread) replaces a song that plays; false (logged)
    // when the patch set has no song or does not compile. StopSong returns
    // once the audio thread has let go of the song. The position and length
    // are in ticks of 128 frames; any thread.
    bool StartSong();
    void StopSong();
    bool HasSong() const noexcept { return songLength.load(std::memory_order_acquire) != 0; }
    bool IsSongPlaying() const noexcept;
    uint32_t GetSongPosition() const noexcept { return songPosition.load(std::memory_order_acquire); }
    uint32_t GetSongLength() const noexcept { return songLength.load(std::memory_order_acquire); }

    // Live song transport: the song's events go into this (the live)
    // synthesizer, applied after the queued events of each block by the same
    // tick work as the render's player, so the patch plays the song as it is
    // edited: controller changes and recompiles are heard. The song plays from
    // its first tick for its length (no tail); the position and length are in
    // ticks of 128 frames. StartLiveSong (control thread) restarts a song that
    // plays; false (logged) when the patch set has no song. StopLiveSong
    // returns once the audio thread has let go of the song and cuts every
    // sound of the live synthesizer. Queries from any thread.
    bool StartLiveSong();
    void StopLiveSong();
    bool HasLiveSong() const noexcept { return liveSongLength.load(std::memory_order_acquire) != 0; }
    bool IsLiveSongPlaying() const noexcept;
    uint32_t GetLiveSongPosition() const noexcept { return liveSongPosition.load(std::memory_order_acquire); }
    uint32_t GetLiveSongLength() const noexcept { return liveSongLength.load(std::memory_order_acquire); }

    // Audio thread: fills the device's output channels (see the class comment).
    void Process(const Audio::Format& format, const float* const* inputs, float* const* outputs,
                 uint32_t frames) noexcept override;
    // MIDI input thread: converts and queues the event for the synthesizer.
    void OnMidiEvent(Midi::Stream& stream, const Midi::Event& event) override;

protected:
    // Audio thread: the queued events, then the live song's events of the tick.
    void DoTick() noexcept override;

private:
    // Audio thread: renders the next block of the live synthesizer (and the
    // song) into `block`.
    void RenderBlock(Korvax::SynthPlayer* song, bool meter) noexcept;
    void RunMeters(Korvax::PpmMeter& meter, const float* samples, uint32_t count) noexcept;
    // Control thread: returns once a callback that may have started before
    // this call has ended.
    void WaitForCallbackExit() const;
    void CloseAudioDevice();
    Midi::InputStream* MidiInput(int index) const;

    Logging::Channel* logTarget;
    Logging::Logger logger;

    // The last rendered block and the frames of it not yet handed out (audio thread).
    alignas(64) std::array<std::array<float, kBlockFrames>, 2> block{};
    uint32_t blockFramesLeft = 0;

    mutable std::recursive_mutex deviceMutex;
    std::unique_ptr<Audio::IoMaster> audioMaster;
    std::unique_ptr<Midi::IoMaster> midiMaster;
    Audio::Io* audioDevice = nullptr;
    int audioDeviceIndex = -1;

    std::atomic<bool> debugAudioOutput{false};
    std::atomic<bool> fastMeters{true};
    std::atomic<bool> metersPaused{false};
    // Odd while a callback runs; the control thread waits on it before it
    // takes something away from the audio thread.
    mutable std::atomic<uint32_t> callbackSequence{0};
    CallbackLoadMeter load;

    std::unique_ptr<Korvax::SynthPlayer> song;
    std::atomic<Korvax::SynthPlayer*> playingSong{nullptr};
    std::atomic<uint32_t> songLength{0};
    std::atomic<uint32_t> songPosition{0};
    uint32_t songTicks = 0; // audio thread while a song plays

    // The live song: a player whose streams feed this synthesizer.
    std::unique_ptr<Korvax::SynthPlayer> liveSong;
    std::atomic<Korvax::SynthPlayer*> playingLiveSong{nullptr};
    std::atomic<uint32_t> liveSongLength{0};
    std::atomic<uint32_t> liveSongPosition{0};
    uint32_t liveSongTicks = 0; // audio thread while a live song plays
};

} // namespace brl::Synth
