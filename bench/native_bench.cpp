// The native manager on devices: the time from a MIDI note-on over TCP to the
// first sounding frame of the audio callback on a private JACK server at 128
// frames per period, the callback's load at 384 sounding voices, and the cost
// of the load meter itself.

#include "audio/audio_settings.h"
#include "midi/midiionetwin32.h"
#include "support/reference_voice.h"
#include "support/sound_servers.h"
#include "synthesizer/synth_native.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <time.h>

namespace {

using namespace brl::Korvax;
using brl::Synth::CallbackLoadMeter;
using brl::Synth::NativeManager;
using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

brl::ApplicationInfo Identity() {
    brl::ApplicationInfo info;
    info.applicationLongName = L"korvax-bench";
    return info;
}

// A sine voice on every channel (amplitude 0.25) or the reference voice.
bool LoadVoices(NativeManager& manager, bool reference) {
    korvax_reference::ByteCode code;
    std::vector<float> values(kValueSlotCount, 0.0f);
    for (int channel = 0; channel < kChannels; ++channel) {
        if (reference) {
            korvax_reference::AddReferenceVoice(code, channel);
            korvax_reference::SetReferenceParameters(values.data(), channel);
        } else {
            korvax_reference::AddSineVoice(code, channel);
            values[channel * kStreamsPerChannel + 1] = 0.25f;
        }
    }
    std::vector<uint8_t> opcodes;
    std::vector<uint16_t> operands;
    code.Flatten(opcodes, operands);
    return manager.WriteValueSlots(values.data()) &&
           manager.UpdateBytecode(opcodes.data(), opcodes.size(), operands.data(), operands.size());
}

// ---------------------------------------------------------------------------
// MIDI in to audio out

// Notes the time of the first callback whose left output sounds once armed.
class LatencyManager : public NativeManager {
public:
    using NativeManager::NativeManager;
    std::atomic<bool> armed{false};
    std::atomic<int64_t> heardAt{0};
    std::atomic<bool> silent{false};

    void Process(const brl::Audio::Format& format, const float* const* inputs, float* const* outputs,
                 uint32_t frames) noexcept override {
        NativeManager::Process(format, inputs, outputs, frames);
        const bool sounding = std::any_of(outputs[0], outputs[0] + frames, [](float x) { return x != 0.0f; });
        if (sounding && armed.exchange(false)) {
            heardAt.store(Clock::now().time_since_epoch().count());
        }
        silent.store(!sounding);
    }
};

struct LatencyFigures {
    std::vector<double> milliseconds;
    uint32_t period = 0;
    std::string error;
};
LatencyFigures latencyFigures;

bool SendRecord(int socket, uint8_t status, uint8_t data1, uint8_t data2) {
    const brl::Midi::NetRecord record = brl::Midi::EncodeNetRecord(brl::Midi::Event(status, data1, data2));
    return ::send(socket, record.data(), record.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(record.size());
}

template <typename Condition> bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

void MidiToAudioOnJack(benchmark::State& state) {
    latencyFigures = LatencyFigures{};
    brl::testing::JackServer jack(96000, 128);
    if (!jack.Ok()) {
        latencyFigures.error = jack.Error();
        state.SkipWithError("no JACK server");
        return;
    }
    brl::Logging::NullChannel log;
    brl::testing::CommandLineSettings settings({L"--Audio-Backends", L"jack", L"--Midi-Backends", L"netwin32",
                                                L"--Midi-Net-Input-Enabled", L"1", L"--Midi-Net-Input-Port",
                                                L"0"});
    auto manager = std::make_unique<LatencyManager>(&log);
    const int device =
        manager->Init(settings.Frontend()) ? manager->GetAudioMaster()->FindDevice(L"UNIX_JACK", L"0") : -1;
    if (device < 0 || !LoadVoices(*manager, false) || !manager->StartMidiDevice(0) ||
        !manager->SetAudioDevice(device, 96000, 3, 0, Identity())) {
        latencyFigures.error = "the JACK device or the TCP input did not start";
        state.SkipWithError("no device");
        return;
    }
    latencyFigures.period = manager->GetAudioMaster()->GetDevice(device)->GetPortConfig().FramesPerChunk;
    auto* net = static_cast<brl::Midi::IoNet*>(manager->GetMidiMaster()->FindBackend(L"netwin32"));
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(net->Input()->BoundPort()));
    ::inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
    if (::connect(client, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0) {
        state.SkipWithError("no TCP connection");
        ::close(client);
        return;
    }
    int note = 0;
    for (auto _ : state) {
        // Silence first (all sound off), then the note at a random point of the period.
        SendRecord(client, 0xB0, 120, 0);
        WaitFor([&] { return manager->silent.load(); }, std::chrono::milliseconds(500));
        std::this_thread::sleep_for(std::chrono::microseconds(3000 + (note * 397) % 1333));
        manager->heardAt.store(0);
        manager->armed.store(true);
        const auto sent = Clock::now();
        SendRecord(client, 0x90, static_cast<uint8_t>(48 + note++ % 24), 100);
        if (!WaitFor([&] { return manager->heardAt.load() != 0; }, std::chrono::milliseconds(1000))) {
            manager->armed.store(false);
            continue;
        }
        const double ms =
            static_cast<double>(manager->heardAt.load() - sent.time_since_epoch().count()) * 1e-6;
        latencyFigures.milliseconds.push_back(ms);
        state.SetIterationTime(ms * 1e-3);
    }
    ::close(client);
    manager->Deinit();
}

void PrintLatencyFigure(const benchmark::State&) {
    const auto& ms = latencyFigures.milliseconds;
    if (ms.empty()) {
        std::printf("midi to audio on JACK: not measured (%s)\n", latencyFigures.error.c_str());
        return;
    }
    const double period = latencyFigures.period / 96.0;
    std::printf(
        "midi to audio on JACK (%u frames per period = %.2f ms at 96 kHz, %zu note-ons): TCP record to "
        "the first sounding callback min %.2f, median %.2f, 90%% %.2f, 99%% %.2f, max %.2f ms; the "
        "server's playback buffer adds its periods after that\n",
        latencyFigures.period, period, ms.size(), Percentile(ms, 0.0), Percentile(ms, 0.5),
        Percentile(ms, 0.9), Percentile(ms, 0.99), Percentile(ms, 1.0));
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// Callback load at 384 voices

struct LoadFigures {
    int voices = 0;
    std::vector<double> loads;    // per callback, as the manager measured it (monotonic time)
    std::vector<double> cpuLoads; // per callback, thread CPU time: without the other processes
    double idleCallbackNs = 0.0;
    double songCallbackNs = 0.0; // the demo's song playing
    double meterNs = 0.0;
};
LoadFigures loadFigures;

int SoundingVoices(const NativeManager& manager) {
    int sounding = 0;
    for (int channel = 0; channel < kChannels; ++channel) {
        for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
            sounding += manager.Voice(channel, voice)[kVoiceActive] > 0.0f ? 1 : 0;
        }
    }
    return sounding;
}

double ThreadNanoseconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Thread CPU nanoseconds per callback of 128 frames, over `calls` callbacks.
double CallbackNanoseconds(NativeManager& manager, int calls) {
    const brl::Audio::Format format{0, 0, 2, 3, 96000};
    std::vector<float> left(128);
    std::vector<float> right(128);
    float* outputs[2] = {left.data(), right.data()};
    for (int i = 0; i < 100; ++i) {
        manager.Process(format, nullptr, outputs, 128);
    }
    const double start = ThreadNanoseconds();
    for (int i = 0; i < calls; ++i) {
        manager.Process(format, nullptr, outputs, 128);
    }
    return (ThreadNanoseconds() - start) / calls;
}

void CallbackAt384Voices(benchmark::State& state) {
    loadFigures = LoadFigures{};
    brl::Logging::NullChannel log;
    brl::testing::CommandLineSettings settings({L"--Audio-Backends", L"dummy", L"--Midi-Backends", L"dummy"});
    const brl::Audio::Format format{0, 0, 2, 3, 96000};
    std::vector<float> left(128);
    std::vector<float> right(128);
    float* outputs[2] = {left.data(), right.data()};

    // An idle callback (no program) and one that plays the demo's song.
    {
        auto idle = std::make_unique<NativeManager>(&log);
        loadFigures.idleCallbackNs = CallbackNanoseconds(*idle, 20000);
        auto song = std::make_unique<NativeManager>(&log);
        if (song->LoadState(brl::FromUtf8(KORVAX_DEMO_PATCH)) && song->StartSong()) {
            loadFigures.songCallbackNs = CallbackNanoseconds(*song, 7500);
        }
    }
    // The load meter alone: two clock reads and its bookkeeping.
    {
        CallbackLoadMeter meter;
        constexpr int kPairs = 1000000;
        const auto start = Clock::now();
        for (int i = 0; i < kPairs; ++i) {
            meter.End(meter.Begin(), 128, 96000);
        }
        loadFigures.meterNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kPairs;
        benchmark::DoNotOptimize(meter.Peak());
    }

    auto manager = std::make_unique<NativeManager>(&log);
    if (!manager->Init(settings.Frontend()) || !LoadVoices(*manager, true)) {
        state.SkipWithError("program refused");
        return;
    }
    std::vector<SynthEvent> notes;
    for (int channel = 0; channel < kChannels; ++channel) {
        for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
            SynthEvent event;
            event.type = kEventNoteOn;
            event.channel = channel;
            event.value = static_cast<float>(36 + voice * 3 + channel % 5) / 128.0f;
            event.value2 = 100.0f / 128.0f;
            notes.push_back(event);
        }
    }
    manager->QueueEvents(notes.data(), static_cast<uint32_t>(notes.size()), NativeManager::kQueueDrop);
    for (int i = 0; i < 100; ++i) {
        manager->Process(format, nullptr, outputs, 128);
    }
    loadFigures.voices = SoundingVoices(*manager);
    const double period = 128.0 / 96000.0 * 1e9;
    for (auto _ : state) {
        const double start = ThreadNanoseconds();
        manager->Process(format, nullptr, outputs, 128);
        loadFigures.cpuLoads.push_back((ThreadNanoseconds() - start) / period);
        loadFigures.loads.push_back(manager->GetCallbackLoad().current);
    }
    state.counters["voices"] = loadFigures.voices;
}

void PrintLoadFigure(const benchmark::State&) {
    const auto& loads = loadFigures.loads;
    const auto& cpu = loadFigures.cpuLoads;
    const double period = 128.0 / 96000.0 * 1e9;
    std::printf("audio callback at %d sounding voices (128 frames at 96 kHz, %zu callbacks), share of the "
                "period: as the manager measures it median %.1f%%, 99%% %.1f%%, max %.1f%%; in thread CPU "
                "time median %.1f%%, 99%% %.1f%%, max %.1f%%\n",
                loadFigures.voices, loads.size(), Percentile(loads, 0.5) * 100.0,
                Percentile(loads, 0.99) * 100.0, Percentile(loads, 1.0) * 100.0, Percentile(cpu, 0.5) * 100.0,
                Percentile(cpu, 0.99) * 100.0, Percentile(cpu, 1.0) * 100.0);
    const double busy = Percentile(cpu, 0.5) * period;
    std::printf("load meter: %.0f ns per callback = %.3f%% of the callback at %d voices (%.0f ns), %.2f%% of "
                "the callback playing the demo song (%.0f ns), %.1f%% of an idle callback (%.0f ns)\n",
                loadFigures.meterNs, loadFigures.meterNs / busy * 100.0, loadFigures.voices, busy,
                loadFigures.meterNs / loadFigures.songCallbackNs * 100.0, loadFigures.songCallbackNs,
                loadFigures.meterNs / loadFigures.idleCallbackNs * 100.0, loadFigures.idleCallbackNs);
    std::fflush(stdout);
}

[[maybe_unused]] const auto* const kLatency =
    benchmark::RegisterBenchmark("native/midi_to_audio_jack_128", MidiToAudioOnJack)
        -> Unit(benchmark::kMillisecond) -> UseManualTime() -> Iterations(200)
            -> Teardown(PrintLatencyFigure);
[[maybe_unused]] const auto* const kLoad =
    benchmark::RegisterBenchmark("native/callback_384_voices", CallbackAt384Voices)
        -> Unit(benchmark::kMicrosecond) -> Iterations(7500) -> Teardown(PrintLoadFigure);

} // namespace
