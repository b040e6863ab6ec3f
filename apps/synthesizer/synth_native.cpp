#include "synthesizer/synth_native.h"

#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxplayer.h"
#include "korvax/korvaxrender.h"
#include "lanes/korvaxlanes.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

namespace brl::Synth {

namespace {

using Korvax::kSamplesPerBuffer;

constexpr uint32_t kMaxChunkFrames = 8192;
constexpr uint32_t kDefaultMaxChunks = 16;
constexpr uint64_t kStereoMask = Audio::SPEAKER_FRONT_LEFT | Audio::SPEAKER_FRONT_RIGHT;

bool IsSilent(const float* samples, uint32_t count) noexcept {
    for (uint32_t i = 0; i < count; ++i) {
        if (samples[i] != 0.0f) {
            return false;
        }
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Callback load

uint64_t CallbackLoadMeter::Now() noexcept {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void CallbackLoadMeter::End(uint64_t begin, uint32_t frames, uint32_t framesPerSecond) noexcept {
    const uint64_t elapsed = Now() - begin;
    if (frames != periodFrames || framesPerSecond != periodRate) {
        if (frames == 0 || framesPerSecond == 0) {
            return;
        }
        periodFrames = frames;
        periodRate = framesPerSecond;
        inversePeriod = static_cast<float>(static_cast<double>(framesPerSecond) / (frames * 1e9));
        windowLength = uint64_t{framesPerSecond} * kPeakWindowSeconds;
    }
    const float share = static_cast<float>(elapsed) * inversePeriod;
    windowPeak = std::max(windowPeak, share);
    windowFrames += frames;
    if (windowFrames >= windowLength) {
        previousWindowPeak = windowPeak;
        windowPeak = 0.0f;
        windowFrames = 0;
    }
    current.store(share, std::memory_order_relaxed);
    peak.store(std::max(windowPeak, previousWindowPeak), std::memory_order_relaxed);
}

void CallbackLoadMeter::Reset() noexcept {
    windowPeak = 0.0f;
    previousWindowPeak = 0.0f;
    windowFrames = 0;
    current.store(0.0f, std::memory_order_relaxed);
    peak.store(0.0f, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Stream configuration

Audio::PortConfig StreamConfig(uint32_t framesPerSecond, int latencyMs, const Audio::Caps& caps) {
    const uint32_t latency = Audio::FramesForLatency(std::max(latencyMs, 0), framesPerSecond);
    const uint32_t maxChunks = caps.Chunks.Max >= 2 ? caps.Chunks.Max : kDefaultMaxChunks;
    const uint32_t maxFrames = caps.FramesPerChunk.Max >= kSamplesPerBuffer
                                   ? std::min(caps.FramesPerChunk.Max, kMaxChunkFrames)
                                   : kMaxChunkFrames;
    Audio::PortConfig config;
    config.FramesPerChunk = kSamplesPerBuffer;
    uint64_t chunks = (uint64_t{latency} + config.FramesPerChunk - 1) / config.FramesPerChunk + 1;
    while (chunks > maxChunks && config.FramesPerChunk * 2 <= maxFrames) {
        config.FramesPerChunk *= 2;
        chunks = (uint64_t{latency} + config.FramesPerChunk - 1) / config.FramesPerChunk + 1;
    }
    chunks = std::clamp<uint64_t>(chunks, std::max<uint32_t>(2, caps.Chunks.Min), maxChunks);
    config.OutputChunks = static_cast<uint32_t>(chunks);
    config.InputChunks = 0;
    config.Priority = 2;
    return config;
}

// ---------------------------------------------------------------------------
// Construction and life

NativeManager::NativeManager(Logging::Channel* logTarget_)
    : Manager(logTarget_), logTarget(logTarget_), logger(logTarget_, L"korvax") {
    BRL_LOG_DEBUG(logger, "native manager created");
}

NativeManager::~NativeManager() {
    Deinit();
    StopSong();
    StopLiveSong();
    BRL_LOG_DEBUG(logger, "native manager destroyed");
}

bool NativeManager::Init(Config::Frontend& config) {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    Deinit();
    debugAudioOutput.store(Config::Setting<bool>(config, "Synth/DebugAudioOutput", false).Get());
    fastMeters.store(Config::Setting<bool>(config, "Synth/FastPPM", true).Get());
    const Korvax::VoiceRendererBuilder before = GetVoiceRendererBuilder();
    Korvax::Lanes::Enable(*this, Config::Setting<bool>(config, "Synth/VoiceLanes", true).Get());
    if (GetVoiceRendererBuilder() != before) {
        // The voices of the playing program render the old way until the next compile.
        Compile();
    }
    try {
        audioMaster = std::make_unique<Audio::IoMaster>(*logTarget, config);
        midiMaster = std::make_unique<Midi::IoMaster>(logTarget, config);
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger, "creating the device masters failed: ", e.what());
        Deinit();
        return false;
    }
    BRL_LOG_VERBOSE(logger, "audio and midi masters created");
    return true;
}

void NativeManager::Deinit() {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    CloseAudioDevice();
    if (midiMaster != nullptr) {
        for (size_t i = 0; i < midiMaster->Inputs().size(); ++i) {
            StopMidiDevice(static_cast<int>(i));
        }
    }
    if (midiMaster != nullptr || audioMaster != nullptr) {
        BRL_LOG_VERBOSE(logger, "destroying the audio and midi masters");
    }
    midiMaster.reset();
    audioMaster.reset();
}

bool NativeManager::RecreateAudioMaster(Config::Frontend& config) {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    CloseAudioDevice();
    audioMaster.reset();
    try {
        audioMaster = std::make_unique<Audio::IoMaster>(*logTarget, config);
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger, "creating the audio master failed: ", e.what());
        return false;
    }
    return true;
}

void NativeManager::CloseAudioDevice() {
    if (audioDevice != nullptr) {
        audioDevice->Stop();
        audioDevice->Close();
    }
    audioDevice = nullptr;
    audioDeviceIndex = -1;
}

// ---------------------------------------------------------------------------
// Devices

bool NativeManager::SetAudioDevice(int index, int framesPerSecond, int latencyMs, int channelMask,
                                   const ApplicationInfo& application, uint64_t endFrames) {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);

    std::vector<int> openInputs;
    if (midiMaster != nullptr) {
        for (size_t i = 0; i < midiMaster->Inputs().size(); ++i) {
            if (midiMaster->Inputs()[i]->IsStarted()) {
                openInputs.push_back(static_cast<int>(i));
            }
        }
    }
    for (int input : openInputs) {
        StopMidiDevice(input);
    }

    CloseAudioDevice();
    audioDevice =
        audioMaster != nullptr && index >= 0 ? audioMaster->GetDevice(static_cast<size_t>(index)) : nullptr;
    audioDeviceIndex = audioDevice != nullptr ? index : -1;

    bool opened = false;
    if (audioDevice == nullptr) {
        BRL_LOG_WARNING(logger, "Failed opening device ", index, " (there is no such device)");
    } else {
        Audio::Format format;
        format.OutputChannels = 2;
        format.OutputChannelMask = channelMask != 0 ? static_cast<uint64_t>(channelMask) : kStereoMask;
        format.FramesPerSecond = framesPerSecond > 0 ? static_cast<uint32_t>(framesPerSecond) : 0;
        Audio::PortConfig config = StreamConfig(format.FramesPerSecond, latencyMs, audioDevice->GetCaps());
        config.ClientName = application.applicationLongName;
        config.PortName = L"synth";

        BRL_LOG_VERBOSE(logger, "Trying device ", index, " (", audioDevice->GetDescription(), ")");
        BRL_LOG_DEBUG(logger, audioDevice->GetCaps().ToString());
        opened = audioDevice->Open(format, config);
        if (opened) {
            BRL_LOG_INFO(logger, "Using device ", index, " (", audioDevice->GetDescription(), ")");
        } else {
            BRL_LOG_WARNING(logger, "Failed opening device ", index);
        }
        BRL_LOG_INFO(logger, Audio::ToString(audioDevice->GetFormat()),
                     Audio::ToString(audioDevice->GetPortConfig()));
        if (opened && endFrames != kNoEnd) {
            audioDevice->SetEndPosition(endFrames);
        }
    }

    for (int input : openInputs) {
        StartMidiDevice(input);
    }

    if (!opened) {
        BRL_LOG_WARNING(logger, "no audio: the synthesizer is silent");
        return false;
    }
    // No callback runs between the device's Stop and Play.
    blockFramesLeft = 0;
    load.Reset();
    if (!audioDevice->Play(this)) {
        BRL_LOG_WARNING(logger, "no audio: device ", index, " does not start");
        return false;
    }
    return true;
}

Midi::InputStream* NativeManager::MidiInput(int index) const {
    if (midiMaster == nullptr || index < 0 || static_cast<size_t>(index) >= midiMaster->Inputs().size()) {
        return nullptr;
    }
    return midiMaster->Inputs()[static_cast<size_t>(index)];
}

bool NativeManager::StartMidiDevice(int index) {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    Midi::InputStream* input = MidiInput(index);
    if (input == nullptr) {
        BRL_LOG_WARNING(logger, "there is no midi input device ", index);
        return false;
    }
    if (input->IsStarted()) {
        return true;
    }
    BRL_LOG_INFO(logger, "Using midi input device '", input->Name(), "' (", index, ")");
    if (!input->Start(this)) {
        input->SetHandler(nullptr);
        BRL_LOG_WARNING(logger, "Failed starting midi input device '", input->Name(), "' (", index, ")");
        return false;
    }
    return true;
}

void NativeManager::StopMidiDevice(int index) {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    Midi::InputStream* input = MidiInput(index);
    if (input == nullptr || !input->IsStarted()) {
        return;
    }
    BRL_LOG_INFO(logger, "Closing midi input device '", input->Name(), "' (", index, ")");
    input->Stop();
    input->SetHandler(nullptr);
}

bool NativeManager::IsMidiDeviceStarted(int index) const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    const Midi::InputStream* input = MidiInput(index);
    return input != nullptr && input->IsStarted();
}

// ---------------------------------------------------------------------------
// Queries

int64_t NativeManager::GetPosition() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    if (audioDevice == nullptr || audioDevice->GetState() < Audio::PORTSTATE_PLAYING) {
        return 0;
    }
    return static_cast<int64_t>(audioDevice->GetPosition());
}

int64_t NativeManager::GetSampleRate() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    if (audioDevice == nullptr || audioDevice->GetState() < Audio::PORTSTATE_OPEN) {
        return 1;
    }
    const uint32_t rate = audioDevice->GetFormat().FramesPerSecond;
    return rate != 0 ? rate : 1;
}

int64_t NativeManager::GetInputLatency() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    if (audioDevice == nullptr || audioDevice->GetState() < Audio::PORTSTATE_OPEN) {
        return 0;
    }
    return static_cast<int64_t>(audioDevice->GetInputLatency());
}

int64_t NativeManager::GetOutputLatency() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    if (audioDevice == nullptr || audioDevice->GetState() < Audio::PORTSTATE_OPEN) {
        return 0;
    }
    return static_cast<int64_t>(audioDevice->GetOutputLatency());
}

int NativeManager::GetAudioDeviceIndex() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    return audioDeviceIndex;
}

bool NativeManager::IsAudioPlaying() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    return audioDevice != nullptr && audioDevice->GetState() >= Audio::PORTSTATE_PLAYING;
}

bool NativeManager::IsAudioEnded() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    return audioDevice != nullptr && audioDevice->IsEnded();
}

uint32_t NativeManager::GetUnderruns() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    return audioDevice != nullptr ? audioDevice->GetUnderruns() : 0;
}

void NativeManager::ReportUnderruns() {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    if (audioDevice != nullptr) {
        audioDevice->ReportUnderruns();
    }
}

Audio::IoMaster* NativeManager::GetAudioMaster() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    return audioMaster.get();
}

Midi::IoMaster* NativeManager::GetMidiMaster() const {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    return midiMaster.get();
}

// ---------------------------------------------------------------------------
// Meters

bool NativeManager::ConfigureMeters(Config::Frontend& config) {
    const auto read = [&](const char* key, double fallback) {
        return Config::Setting<double>(config, key, fallback).Get();
    };
    Korvax::PpmSettings settings;
    settings.peakIntegrationMs = read("Audio/PPM/PeakIntegrationTimeMS", settings.peakIntegrationMs);
    settings.rmsIntegrationMs = read("Audio/PPM/RMSIntegrationTimeMS", settings.rmsIntegrationMs);
    settings.dcIntegrationMs = read("Audio/PPM/DCIntegrationTimeMS", settings.dcIntegrationMs);
    settings.peakFalloffRate = read("Audio/PPM/PeakFalloffRate", settings.peakFalloffRate);
    settings.rmsFalloffRate = read("Audio/PPM/RMSFalloffRate", settings.rmsFalloffRate);
    settings.dcFalloffRate = read("Audio/PPM/DCFalloffRate", settings.dcFalloffRate);
    settings.clippingTimeoutMs = read("Audio/PPM/ClippingTimeoutMS", settings.clippingTimeoutMs);
    const int rate = Config::Setting<int>(config, "Audio/SamplingRate", Audio::kDefaultSamplingRate).Get();

    // Re-configuring rewrites the rings and sums that the audio thread runs on.
    metersPaused.store(true, std::memory_order_seq_cst);
    WaitForCallbackExit();
    bool configured = true;
    for (Korvax::PpmMeter& meter : OutputMeters()) {
        configured = meter.Configure(rate, settings) && configured;
    }
    metersPaused.store(false, std::memory_order_seq_cst);
    if (!configured) {
        BRL_LOG_WARNING(logger, "level meters not configured for a sampling rate of ", rate);
    }
    return configured;
}

void NativeManager::WaitForCallbackExit() const {
    const uint32_t seen = callbackSequence.load(std::memory_order_seq_cst);
    if (seen % 2 == 0) {
        return;
    }
    while (callbackSequence.load(std::memory_order_acquire) == seen) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

// ---------------------------------------------------------------------------
// Song

bool NativeManager::StartSong() {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    StopSong();
    const Korvax::Song& patchSong = Patches().song;
    if (patchSong.timeStream.empty() && patchSong.dataStream.empty()) {
        BRL_LOG_WARNING(logger, "there is no song to play");
        return false;
    }
    const uint32_t ticks = Korvax::RenderTicks(patchSong.numTicks);
    if (ticks == 0) {
        BRL_LOG_WARNING(logger, "the song of ", patchSong.numTicks, " ticks is too long to play");
        return false;
    }
    Korvax::CompiledProgram program;
    Korvax::SynthCompiler compiler(Log());
    if (!compiler.CompileGraph(Patches(), program)) {
        BRL_LOG_WARNING(logger, "the song does not play: the patch set does not compile");
        return false;
    }
    // The value slots as the audio side has them, with every queued event applied.
    std::vector<uint8_t> values;
    {
        std::lock_guard<std::mutex> queueLock(queueMutex);
        if (!TakeMemoryBetweenBuffers(std::chrono::seconds(1))) {
            BRL_LOG_WARNING(logger, "the song does not play: the audio thread keeps the memory");
            return false;
        }
        ApplyQueuedEventsDirectly();
        values = Korvax::SongValueBytes(Memory());
        ReturnMemory();
    }
    std::unique_ptr<Korvax::SynthPlayer> player =
        Korvax::MakeSongPlayer(values, program, patchSong, logTarget, GetVoiceRendererBuilder());
    if (!player->IsValid()) {
        BRL_LOG_WARNING(logger, "the song cannot be played");
        return false;
    }
    song = std::move(player);
    songTicks = 0;
    songPosition.store(0, std::memory_order_release);
    songLength.store(ticks, std::memory_order_release);
    playingSong.store(song.get(), std::memory_order_seq_cst);
    BRL_LOG_INFO(logger, "playing the song: ", patchSong.numTicks, " ticks and the tail of ",
                 ticks - patchSong.numTicks);
    return true;
}

void NativeManager::StopSong() {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    playingSong.store(nullptr, std::memory_order_seq_cst);
    WaitForCallbackExit();
    song.reset();
    songLength.store(0, std::memory_order_release);
    songPosition.store(0, std::memory_order_release);
}

bool NativeManager::IsSongPlaying() const noexcept {
    const uint32_t length = GetSongLength();
    return length != 0 && GetSongPosition() < length;
}

bool NativeManager::StartLiveSong() {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    StopLiveSong();
    const Korvax::Song& patchSong = Patches().song;
    if (patchSong.timeStream.empty() && patchSong.dataStream.empty()) {
        BRL_LOG_WARNING(logger, "there is no song to play");
        return false;
    }
    // The player only walks the streams; the live synthesizer's own program plays.
    Korvax::CompiledProgram noProgram;
    noProgram.opcodes.assign(Korvax::kCompiledLists, 0);
    std::unique_ptr<Korvax::SynthPlayer> player =
        Korvax::MakeSongPlayer({}, noProgram, patchSong, logTarget, nullptr);
    if (!player->IsValid()) {
        BRL_LOG_WARNING(logger, "the song cannot be played");
        return false;
    }
    liveSong = std::move(player);
    liveSongTicks = 0;
    liveSongPosition.store(0, std::memory_order_release);
    liveSongLength.store(std::max<uint32_t>(patchSong.numTicks, 1), std::memory_order_release);
    playingLiveSong.store(liveSong.get(), std::memory_order_seq_cst);
    BRL_LOG_INFO(logger, "playing the song live: ", patchSong.numTicks, " ticks");
    return true;
}

void NativeManager::StopLiveSong() {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    if (liveSong == nullptr) {
        return;
    }
    playingLiveSong.store(nullptr, std::memory_order_seq_cst);
    WaitForCallbackExit();
    liveSong.reset();
    liveSongLength.store(0, std::memory_order_release);
    liveSongPosition.store(0, std::memory_order_release);
    // The song's notes stop with it.
    Korvax::SynthEvent reset;
    reset.type = Korvax::kEventResetAll;
    ApplyOrQueueEvents(&reset, 1);
}

bool NativeManager::IsLiveSongPlaying() const noexcept {
    const uint32_t length = GetLiveSongLength();
    return length != 0 && GetLiveSongPosition() < length;
}

// ---------------------------------------------------------------------------
// Audio thread

void NativeManager::DoTick() noexcept {
    Manager::DoTick();
    Korvax::SynthPlayer* live = playingLiveSong.load(std::memory_order_seq_cst);
    if (live == nullptr || liveSongTicks >= liveSongLength.load(std::memory_order_acquire)) {
        return;
    }
    live->ApplyDueEvents(*this, 1);
    liveSongPosition.store(++liveSongTicks, std::memory_order_release);
}

void NativeManager::Process(const Audio::Format& format, const float* const*, float* const* outputs,
                            uint32_t frames) noexcept {
    const uint64_t begin = load.Begin();
    callbackSequence.fetch_add(1, std::memory_order_seq_cst);
    const bool meter = !metersPaused.load(std::memory_order_seq_cst);
    Korvax::SynthPlayer* playing = playingSong.load(std::memory_order_seq_cst);
    const uint32_t channels = outputs != nullptr ? format.OutputChannels : 0;

    uint32_t done = 0;
    while (done < frames) {
        if (blockFramesLeft == 0) {
            RenderBlock(playing, meter);
            blockFramesLeft = kBlockFrames;
        }
        const uint32_t count = std::min(blockFramesLeft, frames - done);
        const uint32_t from = kBlockFrames - blockFramesLeft;
        for (uint32_t c = 0; c < channels; ++c) {
            if (c < block.size()) {
                std::memcpy(outputs[c] + done, block[c].data() + from, count * sizeof(float));
            } else {
                std::fill(outputs[c] + done, outputs[c] + done + count, 0.0f);
            }
        }
        done += count;
        blockFramesLeft -= count;
    }

    if (meter) {
        for (uint32_t c = 0; c < std::min<uint32_t>(channels, kOutputMeters); ++c) {
            RunMeters(OutputMeters()[c], outputs[c], frames);
        }
    }
    callbackSequence.fetch_add(1, std::memory_order_release);
    load.End(begin, frames, format.FramesPerSecond);
}

void NativeManager::RenderBlock(Korvax::SynthPlayer* playing, bool meter) noexcept {
    FeedInputSample();
    RenderBuffer();
    const float* output = Memory() + Korvax::kOutputAreaBase;
    if (meter && debugAudioOutput.load(std::memory_order_relaxed)) {
        for (int i = 0; i < kDebugMeters; ++i) {
            RunMeters(DebugMeters()[i], output + i * kSamplesPerBuffer, kSamplesPerBuffer);
        }
    }
    std::memcpy(block[0].data(), Memory() + Korvax::kOutputLeft, sizeof(block[0]));
    std::memcpy(block[1].data(), Memory() + Korvax::kOutputRight, sizeof(block[1]));

    if (playing == nullptr || songTicks >= songLength.load(std::memory_order_acquire)) {
        return;
    }
    playing->RenderBuffer();
    songPosition.store(++songTicks, std::memory_order_release);
    const float* songOutput[2] = {playing->Memory() + Korvax::kOutputLeft,
                                  playing->Memory() + Korvax::kOutputRight};
    for (size_t c = 0; c < block.size(); ++c) {
        // A silent live block leaves the song's samples exactly as rendered.
        if (IsSilent(block[c].data(), kBlockFrames)) {
            std::memcpy(block[c].data(), songOutput[c], sizeof(block[c]));
        } else {
            for (uint32_t i = 0; i < kBlockFrames; ++i) {
                block[c][i] += songOutput[c][i];
            }
        }
    }
}

void NativeManager::RunMeters(Korvax::PpmMeter& meter, const float* samples, uint32_t count) noexcept {
    if (fastMeters.load(std::memory_order_relaxed)) {
        meter.RunFast(samples, count);
    } else {
        meter.RunSlow(samples, count);
    }
}

void NativeManager::OnMidiEvent(Midi::Stream&, const Midi::Event& event) {
    QueueMidiEvent(event);
}

} // namespace brl::Synth
