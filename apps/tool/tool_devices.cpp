#include "tool_devices.h"

#include "audio/audio.h"
#include "audio/audioio.h"
#include "libbrelm/config.h"
#include "libbrelm/debug.h"
#include "midi/midiio.h"
#include "synthesizer/synth_native.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace brl::Korvax {

namespace {

using Synth::NativeManager;

// The status line of `play` on a terminal (standard error), and the channel
// every message passes on its way to the console: a message first clears the
// line, the next update draws it again. Any thread.
class StatusLine : public Logging::Channel {
public:
    StatusLine(Logging::Channel& target, bool terminal) : target_(target), terminal_(terminal) {}

    void Log(int level, const Logging::SourceLocation& location, const String& name,
             const String& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ClearLocked();
        target_.Log(level, location, name, message);
    }
    int MaxLevel() const override { return target_.MaxLevel(); }

    void Show(const std::string& text) {
        if (!terminal_) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(stderr, "\r%s\033[K", text.c_str());
        std::fflush(stderr);
        shown_ = true;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        ClearLocked();
    }

private:
    void ClearLocked() {
        if (shown_) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
            shown_ = false;
        }
    }

    Logging::Channel& target_;
    const bool terminal_;
    std::mutex mutex_;
    bool shown_ = false;
};

// Makes a channel the process-wide one for the life of the object.
class ProcessChannelScope {
public:
    explicit ProcessChannelScope(Logging::Channel& channel) : previous_(Debug::GetProcessLogChannel()) {
        Debug::SetProcessLogChannel(&channel);
    }
    ~ProcessChannelScope() { Debug::SetProcessLogChannel(previous_); }
    ProcessChannelScope(const ProcessChannelScope&) = delete;
    ProcessChannelScope& operator=(const ProcessChannelScope&) = delete;

private:
    Logging::Channel* previous_;
};

// SIGINT and SIGTERM are held for the main loop, which takes them with
// sigtimedwait. Blocked before any thread starts, so every thread inherits the
// mask and none is interrupted by them.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    }
    ~StopSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits up to `milliseconds` for a stop signal; its number, or 0.
    int Wait(long milliseconds) {
        const timespec timeout{milliseconds / 1000, (milliseconds % 1000) * 1000000};
        const int signal = sigtimedwait(&set_, nullptr, &timeout);
        return signal > 0 ? signal : 0;
    }

private:
    sigset_t set_;
    sigset_t previous_;
};

std::string Narrow(const String& text) {
    return ToUtf8(text);
}

std::string StatusText(NativeManager& manager) {
    const int64_t rate = manager.GetSampleRate();
    std::string text = Narrow(NativeManager::PositionText(manager.GetPosition(), rate));
    if (manager.HasSong()) {
        const int64_t songRate = static_cast<int64_t>(Korvax::kDefaultSampleRate);
        text += "  song" +
                Narrow(NativeManager::PositionText(
                    int64_t{manager.GetSongPosition()} * NativeManager::kBlockFrames, songRate)) +
                " /" +
                Narrow(NativeManager::PositionText(
                    int64_t{manager.GetSongLength()} * NativeManager::kBlockFrames, songRate));
    }
    auto& meters = manager.OutputMeters();
    const float peak = std::max(meters[0].PeakOut(), meters[1].PeakOut());
    char level[32];
    if (peak > 0.0f) {
        std::snprintf(level, sizeof level, "%6.1f dB", 20.0 * std::log10(static_cast<double>(peak)));
    } else {
        std::snprintf(level, sizeof level, "  -inf dB");
    }
    const NativeManager::CallbackLoad load = manager.GetCallbackLoad();
    char rest[128];
    std::snprintf(rest, sizeof rest, "  level %s%s  underruns %u  cpu %5.1f%% (peak %5.1f%%)", level,
                  meters[0].ClipOut() || meters[1].ClipOut() ? " CLIP" : "", manager.GetUnderruns(),
                  load.current * 100.0, load.peak * 100.0);
    return text + rest;
}

} // namespace

int PlayCommand(StandaloneApp& app, const std::string& patch, std::optional<double> seconds) {
    StopSignals signals;
    StatusLine status(app.LogRoot(), ::isatty(STDERR_FILENO) != 0);
    ProcessChannelScope processChannel(status);
    Logging::Logger log(&status, L"korvax-tool");
    Config::Frontend& config = app.ConfigFrontend();

    NativeManager manager(&status);
    if (!manager.Init(config)) {
        return kToolFailed;
    }
    if (!manager.LoadState(FromUtf8(patch))) {
        BRL_LOG_ERROR(log, "cannot load '", patch, "'");
        return kToolNoInput;
    }
    manager.ConfigureMeters(config);

    const Audio::DeviceSettings device = Audio::DeviceSettings::Read(config);
    const int index = manager.GetAudioMaster()->FindDevice(device.Api, device.Id);
    if (index < 0) {
        BRL_LOG_ERROR(log, "cannot play: there is no audio device with API '", device.Api, "' and ID '",
                      device.Id, "' (korvax-tool devices lists them)");
        return kToolFailed;
    }
    uint64_t end = NativeManager::kNoEnd;
    const Song& song = manager.Patches().song;
    if (!song.timeStream.empty() || !song.dataStream.empty()) {
        // The song starts with the stream: its first frame is the stream's first.
        if (!manager.StartSong()) {
            return kToolFailed;
        }
        end = uint64_t{manager.GetSongLength()} * NativeManager::kBlockFrames;
    }
    if (seconds) {
        end = std::min<uint64_t>(end, static_cast<uint64_t>(std::llround(*seconds * device.SamplingRate)));
    }
    if (!manager.SetAudioDevice(index, device.SamplingRate, device.LatencyMs, device.ChannelMask, app.Info(),
                                end)) {
        BRL_LOG_ERROR(log, "cannot play: audio device ", index, " ('",
                      manager.GetAudioMaster()->GetDevice(static_cast<size_t>(index))->GetDescription(),
                      "') did not open at ", device.SamplingRate, " Hz");
        return kToolFailed;
    }
    if (Midi::IoMaster* midi = manager.GetMidiMaster()) {
        for (size_t i = 0; i < midi->Inputs().size(); ++i) {
            manager.StartMidiDevice(static_cast<int>(i));
        }
    }
    BRL_LOG_INFO(log, "playing '", patch, "'; Ctrl-C stops");

    int signal = 0;
    for (int step = 0;; ++step) {
        signal = signals.Wait(100);
        if (signal != 0 || manager.IsAudioEnded()) {
            break;
        }
        status.Show(StatusText(manager));
        if (step % 10 == 9) {
            manager.ReportUnderruns();
        }
    }
    status.Clear();

    const uint64_t played = static_cast<uint64_t>(manager.GetPosition());
    const bool failed = signal == 0 && played < end;
    if (signal == 0 && !failed) {
        // The last frames are still on their way through the device.
        const int64_t latency = manager.GetOutputLatency();
        const timespec wait{latency / manager.GetSampleRate(),
                            latency % manager.GetSampleRate() * 1000000000 / manager.GetSampleRate()};
        nanosleep(&wait, nullptr);
    }
    manager.ReportUnderruns();
    manager.Deinit();
    if (failed) {
        BRL_LOG_ERROR(log, "playing stopped: the audio device failed after ", played, " frames");
        return kToolFailed;
    }
    BRL_LOG_INFO(log, signal != 0 ? "stopped" : "finished", " after ", played, " frames");
    return kToolOk;
}

int DevicesCommand(StandaloneApp& app) {
    Config::Frontend& config = app.ConfigFrontend();
    Audio::IoMaster audio(app.LogRoot(), config);
    std::printf("audio devices (Audio/Device/API and Audio/Device/ID choose one):\n");
    const auto& devices = audio.GetDevices();
    for (size_t i = 0; i < devices.size(); ++i) {
        const Audio::Io& device = *devices[i];
        std::printf("%3zu: %s\n     API '%s' ID '%s'\n", i, Narrow(device.GetDescription()).c_str(),
                    Narrow(device.GetApi()).c_str(), Narrow(device.GetDeviceId()).c_str());
        if (device.GetState() < Audio::PORTSTATE_INIT) {
            std::printf("     not usable: %s\n", Narrow(device.GetInitFailure()).c_str());
            continue;
        }
        for (const String& line : Logging::SplitLines(device.GetCaps().ToString())) {
            std::printf("     %s\n", Narrow(line).c_str());
        }
    }
    Midi::IoMaster midi(&app.LogRoot(), config);
    for (const String& line : midi.DeviceListing()) {
        std::printf("%s\n", Narrow(line).c_str());
    }
    std::fflush(stdout);
    return kToolOk;
}

} // namespace brl::Korvax
