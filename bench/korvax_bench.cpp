// korvax-bench: the cost of one block per module, the full load of 32 channels x
// 12 voices of the reference voice, and the longest tick while voices with
// ten-second lines start and stop.

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxeditor.h"
#include "korvax/korvaxfileio.h"
#include "korvax/korvaxplayer.h"
#include "korvax/korvaxrender.h"
#include "korvax/korvaxsynth.h"
#include "lanes/korvaxlanes.h"

#include "support/reference_voice.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>

namespace {

using namespace brl::Korvax;
using korvax_reference::QueueSynth;
using korvax_reference::VoiceEffect;
using Clock = std::chrono::steady_clock;

constexpr double kTickMicroseconds = 1e6 * kSamplesPerBuffer / kDefaultSampleRate;

// CPU time of the calling thread in seconds: unlike the wall clock it does not
// count the time other processes of a busy machine hold the core.
// Page faults (minor and major) of the calling thread so far.
long ThreadPageFaults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One node of the given opcode: buffer inputs read global buffers filled with a
// test signal fitting the pin's kind, value inputs read the catalogue defaults,
// outputs go to buffers and values of their own.
struct ModuleRig {
    explicit ModuleRig(int opcode) : synth(std::make_unique<QueueSynth>()) {
        const ModuleSpec& module = FindModule(opcode);
        float* memory = synth->Memory();
        uint16_t operands[kMaxNodeArgs] = {};
        const int pins = PinCount(module);
        for (int slot = 0; slot < pins; ++slot) {
            const PinSpec& pin = module.pins[slot];
            const bool input = pin.direction == PinDirection::Input;
            if (pin.dataType == PinDataType::Buffer) {
                operands[slot] = korvax_reference::Global(input ? slot : 16 + slot);
                float* buffer = memory + operands[slot];
                for (int i = 0; i < kSamplesPerBuffer; ++i) {
                    const float t = static_cast<float>(i) / kSamplesPerBuffer;
                    switch (pin.kind) {
                    case PinKind::Phase:
                        buffer[i] = (t * 2.0f - 1.0f) * 3.1f;
                        break;
                    case PinKind::Freq:
                        buffer[i] = 0.01f;
                        break;
                    case PinKind::Note:
                        buffer[i] = 0.5f + t * 0.01f;
                        break;
                    default:
                        buffer[i] = static_cast<float>(std::sin(i * 0.37 + slot)) * 0.8f;
                        break;
                    }
                }
            } else {
                operands[slot] = korvax_reference::Param(input ? 0 : 1, slot);
                memory[operands[slot]] = input ? InitialParameterValue(pin) : 0.0f;
            }
        }
        node.reset(InstantiateNode(static_cast<uint8_t>(opcode), operands, synth.get(), 0, 0));
    }
    std::unique_ptr<QueueSynth> synth;
    std::unique_ptr<Node> node;
};

void ModuleBlock(benchmark::State& state, int opcode) {
    ModuleRig rig(opcode);
    for (auto _ : state) {
        rig.node->Render();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kSamplesPerBuffer);
}

// The reference voice on every channel; `effects` puts a delay, a chorus and an
// RMS detector into the voices of channels 0, 1 and 2.
std::unique_ptr<QueueSynth> MakeFullSynth(bool effects, bool lanes = false) {
    auto synth = std::make_unique<QueueSynth>();
    Lanes::Enable(*synth, lanes);
    korvax_reference::ByteCode code;
    for (int channel = 0; channel < kChannels; ++channel) {
        VoiceEffect effect = VoiceEffect::None;
        if (effects && channel < 3) {
            effect = channel == 0 ? VoiceEffect::Delay
                                  : (channel == 1 ? VoiceEffect::Chorus : VoiceEffect::RMSDetect);
        }
        korvax_reference::AddReferenceVoice(code, channel, effect);
        korvax_reference::SetReferenceParameters(synth->Memory(), channel);
    }
    if (!synth->Load(code)) {
        std::fprintf(stderr, "reference program refused\n");
        std::abort();
    }
    return synth;
}

void StartAllVoices(QueueSynth& synth) {
    for (int channel = 0; channel < kChannels; ++channel) {
        for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
            synth.NoteOn(channel, 36 + channel + voice * 3, 100);
        }
    }
    synth.RenderBuffer();
}

int SoundingVoices(const Synthesizer& synth) {
    int sounding = 0;
    for (int record = 0; record < kVoiceRecords; ++record) {
        sounding += synth.voices[record * kVoiceFields + kVoiceActive] > 0.0f;
    }
    return sounding;
}

void FullLoadTick(benchmark::State& state) {
    auto synth = MakeFullSynth(false);
    StartAllVoices(*synth);
    for (auto _ : state) {
        synth->RenderBuffer();
    }
    state.counters["voices"] = SoundingVoices(*synth);
}

// Captures the per-module results while printing them as usual.
class CapturingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.error_message.empty()) {
                results.push_back({run.benchmark_name(), run.GetAdjustedCPUTime()});
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::vector<std::pair<std::string, double>> results; // name, CPU ns per block
};

void PrintModuleRanking(const CapturingReporter& reporter) {
    std::vector<std::pair<std::string, double>> modules;
    for (const auto& result : reporter.results) {
        if (result.first.rfind("module/", 0) == 0) {
            modules.push_back(result);
        }
    }
    std::sort(modules.begin(), modules.end(),
              [](const auto& a, const auto& b) { return a.second > b.second; });
    std::printf("most expensive modules (CPU ns per 128-sample block):\n");
    for (size_t i = 0; i < modules.size() && i < 5; ++i) {
        std::printf("  %-28s %10.1f\n", modules[i].first.c_str(), modules[i].second);
    }
}

// Longest single buffer while notes start and stop, among them on channels
// whose voices hold ten-second lines that every voice start clears. Besides the
// wall clock it reports the thread's CPU time, split by whether notes started
// in the tick, since on a busy machine the wall clock mostly measures the
// other processes.
void PrintWorstCase(bool lanes) {
    auto synth = MakeFullSynth(true, lanes);
    std::printf("worst case with voice lanes %s (%s):\n", lanes ? "on" : "off",
                Lanes::PathName(Lanes::CurrentPath()));
    StartAllVoices(*synth);
    const int ticks = 3000;
    double longestWall = 0.0;
    double longestStartCpu = 0.0;
    double longestOtherCpu = 0.0;
    std::vector<double> cpuTimes;
    cpuTimes.reserve(ticks);
    long faults = 0;
    long mostFaults = 0;
    for (int tick = 0; tick < ticks; ++tick) {
        const bool starts = tick % 3 == 0;
        if (starts) {
            for (int channel = 0; channel < kChannels; ++channel) {
                const int note = 36 + (tick / 3 + channel * 5) % 48;
                synth->NoteOff(channel, 36 + (tick / 3 + channel * 5 + 41) % 48);
                synth->NoteOn(channel, note, 100);
                if (channel < 3) {
                    synth->NoteOn(channel, 36 + (note + 7) % 48, 90);
                }
            }
        }
        const long faultsBefore = ThreadPageFaults();
        const double cpuStart = ThreadSeconds();
        const Clock::time_point start = Clock::now();
        synth->RenderBuffer();
        const double wall = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        const double cpu = (ThreadSeconds() - cpuStart) * 1e6;
        const long tickFaults = ThreadPageFaults() - faultsBefore;
        faults += tickFaults;
        mostFaults = std::max(mostFaults, tickFaults);
        longestWall = std::max(longestWall, wall);
        (starts ? longestStartCpu : longestOtherCpu) =
            std::max(starts ? longestStartCpu : longestOtherCpu, cpu);
        cpuTimes.push_back(cpu);
    }
    std::sort(cpuTimes.begin(), cpuTimes.end());
    std::printf(
        "worst case: longest tick %.1f us wall; thread CPU: longest %.1f us with note starts, %.1f us "
        "without, median %.1f us, 99th percentile %.1f us; budget %.0f us\n",
        longestWall, longestStartCpu, longestOtherCpu, cpuTimes[ticks / 2], cpuTimes[ticks * 99 / 100],
        kTickMicroseconds);
    std::printf("worst case: page faults on the rendering thread: %ld in %d ticks, at most %ld in one tick\n",
                faults, ticks, mostFaults);
}

// Ten seconds of audio of the full load on this thread.
void PrintFullLoad(bool lanes) {
    auto synth = MakeFullSynth(false, lanes);
    StartAllVoices(*synth);
    const int buffers = static_cast<int>(10.0 * kDefaultSampleRate / kSamplesPerBuffer);
    const double cpuStart = ThreadSeconds();
    for (int b = 0; b < buffers; ++b) {
        synth->RenderBuffer();
    }
    const double cpuSeconds = ThreadSeconds() - cpuStart;
    const double audio = static_cast<double>(buffers) * kSamplesPerBuffer / kDefaultSampleRate;
    std::printf("full load (%d voices), %s: thread CPU realtime factor %.2f\n", SoundingVoices(*synth),
                lanes ? Lanes::PathName(Lanes::CurrentPath()) : "lanes off", audio / cpuSeconds);
}

// 64 voice slots of the reference voice over 6 channels, each slot starting its
// note every 0.75 s (held 0.5 s) for 60 s. Returns the thread CPU seconds.
double SideBySideLoad(bool lanes) {
    auto synth = std::make_unique<QueueSynth>();
    Lanes::Enable(*synth, lanes);
    korvax_reference::ByteCode code;
    constexpr int kLoadChannels = 6;
    for (int channel = 0; channel < kLoadChannels; ++channel) {
        korvax_reference::AddReferenceVoice(code, channel);
        korvax_reference::SetReferenceParameters(synth->Memory(), channel);
    }
    if (!synth->Load(code)) {
        std::fprintf(stderr, "side-by-side program refused\n");
        std::abort();
    }
    const double ticksPerSecond = kDefaultSampleRate / kSamplesPerBuffer;
    const int period = static_cast<int>(0.75 * ticksPerSecond);
    const int hold = static_cast<int>(0.5 * ticksPerSecond);
    const int ticks = static_cast<int>(60.0 * ticksPerSecond);
    constexpr int kSlots = 64;
    const double cpuStart = ThreadSeconds();
    for (int tick = 0; tick < ticks; ++tick) {
        for (int slot = 0; slot < kSlots; ++slot) {
            const int phase = (tick + slot * period / kSlots) % period;
            const int channel = slot % kLoadChannels;
            const int note = 40 + slot / kLoadChannels * 2;
            if (phase == 0) {
                synth->NoteOn(channel, note, 100);
            } else if (phase == hold) {
                synth->NoteOff(channel, note);
            }
        }
        synth->RenderBuffer();
    }
    return ThreadSeconds() - cpuStart;
}

void PrintSideBySide() {
    const double off = SideBySideLoad(false);
    const double on = SideBySideLoad(true);
    std::printf("side-by-side load (64 slots, 6 channels, 60 s): thread CPU %.2f s lanes off, %.2f s with %s "
                "lanes: %.2f times faster\n",
                off, on, Lanes::PathName(Lanes::CurrentPath()), off / on);
}

// Reports nothing: the demo's patch loads and compiles quietly.
class QuietLog : public brl::Logging::Channel {
public:
    void Log(int, const brl::Logging::SourceLocation&, const brl::String&, const brl::String&) override {}
};

// The bundled demo: which channels run in lanes (and why the others do not),
// the synthesizer's own time for the whole song and tail with lanes off and on,
// and the whole offline render (loading, compiling, rendering, writing the
// wave file) on the wall clock and in thread CPU time.
void PrintDemo() {
    const std::string patch = KORVAX_DEMO_PATCH;
    QuietLog log;
    auto editor = std::make_unique<SynthesizerEditor>(&log);
    SynthFileIo io(*editor);
    CompiledProgram program;
    if (!io.LoadPatchesFromFile(patch) || !SynthCompiler(log).CompileGraph(editor->Patches(), program)) {
        std::printf("demo: cannot load and compile %s\n", patch.c_str());
        return;
    }
    const std::vector<std::string> reasons = Lanes::ScalarReasons(
        program.opcodes.data(), program.opcodes.size(), program.operands.data(), program.operands.size());
    for (int channel = 0; channel < kChannels; ++channel) {
        if (reasons[static_cast<size_t>(channel)] != "no voice graph") {
            std::printf("demo: channel %d: %s\n", channel,
                        reasons[static_cast<size_t>(channel)].empty()
                            ? "voices in lanes"
                            : reasons[static_cast<size_t>(channel)].c_str());
        }
    }
    std::vector<uint8_t> values(kValueSlotCount);
    for (int i = 0; i < kValueSlotCount; ++i) {
        // The stored parameter byte, as the render makes it (the demo's values are whole 128ths).
        const float scaled = editor->Memory()[i] * 128.0f;
        values[static_cast<size_t>(i)] =
            !(scaled >= 0.0f) ? 0 : (scaled >= 255.0f ? 255 : static_cast<uint8_t>(scaled + 0.5f));
    }
    const Song& song = editor->Patches().song;
    const uint32_t ticks = song.numTicks + 22500;
    const double audio = static_cast<double>(ticks) * kSamplesPerBuffer / kDefaultSampleRate;
    for (const bool lanes : {false, true}) {
        auto player = std::make_unique<SynthPlayer>(
            values.data(), program.opcodes.data(), program.opcodes.size(), program.operands.data(),
            program.operands.size(), song.timeStream.data(), song.timeStream.size(), song.dataStream.data(),
            song.dataStream.size(), &log, lanes ? Lanes::Builder() : nullptr);
        // The clock is read only at the start, when the tail falls silent and at the end:
        // reading the thread's CPU time is a system call, and one per tick would add a tenth.
        long voiceTicks = 0;
        uint32_t silentFrom = ticks;
        double silentStart = 0.0;
        const double cpuStart = ThreadSeconds();
        for (uint32_t t = 0; t < ticks; ++t) {
            player->RenderBuffer();
            const int sounding = SoundingVoices(*player);
            if (sounding == 0 && t > song.numTicks && silentFrom == ticks) {
                silentFrom = t + 1; // no note starts after the song: the rest stays without voices
                silentStart = ThreadSeconds();
            }
            voiceTicks += sounding;
        }
        const double cpuEnd = ThreadSeconds();
        const double cpu = cpuEnd - cpuStart;
        const uint32_t silentTicks = ticks - silentFrom;
        const double silentCpu = silentTicks > 0 ? cpuEnd - silentStart : 0.0;
        std::printf(
            "demo: synthesizer alone, %s: %.3f s thread CPU for %.1f s of audio, realtime factor %.0f "
            "(%.2f voices sounding on average; a tick of the tail without voices %.2f us)\n",
            lanes ? Lanes::PathName(Lanes::CurrentPath()) : "lanes off", cpu, audio, audio / cpu,
            static_cast<double>(voiceTicks) / ticks, silentCpu / std::max<uint32_t>(silentTicks, 1) * 1e6);
    }
    const std::filesystem::path directory = std::filesystem::temp_directory_path() / "korvax-bench-demo";
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    const std::filesystem::path copy = directory / "demo.korvax";
    std::filesystem::copy_file(patch, copy, std::filesystem::copy_options::overwrite_existing, error);
    for (const bool lanes : {false, true}) {
        RenderResult result;
        const double cpuStart = ThreadSeconds();
        if (!Render(copy.string(), &log, &result, lanes)) {
            std::printf("demo: the render failed\n");
            return;
        }
        const double cpu = ThreadSeconds() - cpuStart;
        std::printf(
            "demo: whole render, %s: %.3f s wall (realtime factor %.0f), %.3f s thread CPU (factor %.0f)\n",
            lanes ? Lanes::PathName(Lanes::CurrentPath()) : "lanes off", result.wallSeconds,
            result.audioSeconds / result.wallSeconds, cpu, result.audioSeconds / cpu);
    }
    std::filesystem::remove_all(directory, error);
}

void RegisterBenchmarks() {
    for (int opcode = 1; opcode <= kModuleCount; ++opcode) {
        const std::string name =
            std::string("module/") + std::to_string(opcode) + " " + FindModule(opcode).shortName;
        benchmark::RegisterBenchmark(name.c_str(), ModuleBlock, opcode);
    }
    benchmark::RegisterBenchmark("full_load/tick", FullLoadTick)->Unit(benchmark::kMicrosecond);
}

// Which of the figures after the benchmarks to print: "--figures=worst,full,side,demo"
// (taken out of the arguments before the benchmark library sees them; all by default).
bool Wanted(const std::string& figures, const char* name) {
    if (figures.empty()) {
        return true;
    }
    const std::string list = "," + figures + ",";
    return list.find(std::string(",") + name + ",") != std::string::npos;
}

} // namespace

int main(int argc, char** argv) {
    std::string figures;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--figures=", 0) == 0) {
            figures = argument.substr(10);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    RegisterBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    CapturingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\n");
    PrintModuleRanking(reporter);
    if (Wanted(figures, "worst")) {
        PrintWorstCase(false);
        PrintWorstCase(true);
    }
    if (Wanted(figures, "full")) {
        PrintFullLoad(false);
        for (const Lanes::Path path : {Lanes::Path::Sse2, Lanes::Path::Avx2, Lanes::Path::Avx512}) {
            if (Lanes::ForcePath(path)) {
                PrintFullLoad(true);
            } else {
                std::printf("full load, %s: not available on this processor\n", Lanes::PathName(path));
            }
        }
        Lanes::ResetPath();
    }
    if (Wanted(figures, "side")) {
        PrintSideBySide();
    }
    if (Wanted(figures, "demo")) {
        PrintDemo();
    }
    return 0;
}
