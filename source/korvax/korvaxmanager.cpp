#include "korvax/korvaxmanager.h"

#include "korvax/korvaxfileio.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cwchar>
#include <limits>
#include <new>
#include <string>
#include <thread>

namespace brl::Korvax {

// ---------------------------------------------------------------------------
// Level meter

namespace {

constexpr float kFixedOne = 8388608.0f;         // 2^23: a sample of 1.0 in the rings
constexpr float kFixedInverse = 1.1920929e-07f; // 2^-23
constexpr float kRmsOfPeak = 0.70710677f;

// The integer part, saturated to the 32-bit range; nothing for a NaN.
int32_t ToFixed(float value) noexcept {
    if (!(value == value)) {
        return 0;
    }
    if (value >= 2147483647.0f) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= -2147483648.0f) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

// Frames of a time at a rate, kept to what the rings can reach back.
int32_t RingFrames(double milliseconds, double sampleRate) {
    const double frames = milliseconds * sampleRate * 0.001;
    if (!(frames >= 1.0)) {
        return 1;
    }
    if (frames >= PpmMeter::kRingSize - 1) {
        return PpmMeter::kRingSize - 1;
    }
    return static_cast<int32_t>(frames);
}

float Decay(double factor) {
    if (!(factor >= 0.0)) {
        return 0.0f;
    }
    return factor >= 1.0 ? 1.0f : static_cast<float>(factor);
}

// The ring position `frames` entries before `position`.
uint32_t Behind(uint32_t position, int32_t frames) noexcept {
    return (position + PpmMeter::kRingSize - static_cast<uint32_t>(frames)) % PpmMeter::kRingSize;
}

float Larger(float a, float b) noexcept {
    return a > b ? a : b;
}

} // namespace

void PpmMeter::FreeRing::operator()(int32_t* ring) const noexcept {
    std::free(ring);
}

PpmMeter::Ring PpmMeter::ZeroedRing() {
    auto* ring = static_cast<int32_t*>(std::calloc(kRingSize, sizeof(int32_t)));
    if (ring == nullptr) {
        throw std::bad_alloc();
    }
    return Ring(ring);
}

PpmMeter::PpmMeter() : squaresRing(ZeroedRing()), dcRing(ZeroedRing()) {}

bool PpmMeter::Configure(double sampleRate, const PpmSettings& settings) {
    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate)) {
        return false;
    }
    const auto holdDecay = [&](double falloffRate) {
        return Decay(std::pow(10.0, (1.0 / sampleRate) * falloffRate * -0.05));
    };
    peakDecay = Decay(std::pow(10.0, (-4.8 / (settings.peakIntegrationMs * 0.001)) / sampleRate));
    rmsWindow = RingFrames(settings.rmsIntegrationMs, sampleRate);
    dcWindow = RingFrames(settings.dcIntegrationMs, sampleRate);
    peakHoldDecay = holdDecay(settings.peakFalloffRate);
    rmsHoldDecay = holdDecay(settings.rmsFalloffRate);
    dcHoldDecay = holdDecay(settings.dcFalloffRate);
    clipHold = RingFrames(settings.clippingTimeoutMs, sampleRate);
    ResetState();
    return true;
}

void PpmMeter::ResetState() noexcept {
    std::fill(squaresRing.get(), squaresRing.get() + kRingSize, 0);
    std::fill(dcRing.get(), dcRing.get() + kRingSize, 0);
    writePosition = 0;
    sumOfSquares = 0;
    dcSum = 0;
    peak = 0.0f;
    clipPosition = 0;
    clip = false;
    peakHold = 0.0f;
    rmsHold = 0.0f;
    dcHold = 0.0f;
    Publish(0.0f, 0.0f);
}

void PpmMeter::Advance(float magnitude, float rms, float dc) noexcept {
    if (magnitude > 1.0f) {
        clip = true;
        clipPosition = writePosition;
    }
    if (clipPosition == Behind(writePosition, clipHold)) {
        clip = false;
    }
    writePosition = (writePosition + 1) % kRingSize;
    peakHold = Larger(peak, peakHold * peakHoldDecay);
    rmsHold = Larger(rms, rmsHold * rmsHoldDecay);
    dcHold = Larger(dc, dcHold * dcHoldDecay);
}

void PpmMeter::Publish(float rms, float dc) noexcept {
    peakOut.store(peak, std::memory_order_relaxed);
    rmsOut.store(rms, std::memory_order_relaxed);
    dcOut.store(dc, std::memory_order_relaxed);
    peakHoldOut.store(peakHold, std::memory_order_relaxed);
    rmsHoldOut.store(rmsHold, std::memory_order_relaxed);
    dcHoldOut.store(dcHold, std::memory_order_relaxed);
    clipOut.store(clip, std::memory_order_relaxed);
}

void PpmMeter::RunSlow(const float* samples, uint32_t count) noexcept {
    float rms = 0.0f;
    float dc = 0.0f;
    for (uint32_t i = 0; i < count; ++i) {
        const float x = samples[i];
        const float magnitude = std::fabs(x);
        const uint32_t p = writePosition;
        squaresRing[p] = ToFixed(x * x * kFixedOne);
        dcRing[p] = ToFixed(x * kFixedOne);
        peak = Larger(magnitude, peak * peakDecay);
        sumOfSquares += squaresRing[p];
        sumOfSquares -= squaresRing[Behind(p, rmsWindow)];
        dcSum += dcRing[p];
        dcSum -= dcRing[Behind(p, dcWindow)];
        rms = std::sqrt(static_cast<float>(sumOfSquares) * kFixedInverse / static_cast<float>(rmsWindow));
        dc = std::fabs(static_cast<float>(dcSum) * kFixedInverse / static_cast<float>(dcWindow));
        Advance(magnitude, rms, dc);
    }
    if (count > 0) {
        Publish(rms, dc);
    }
}

void PpmMeter::RunFast(const float* samples, uint32_t count) noexcept {
    float rms = 0.0f;
    for (uint32_t i = 0; i < count; ++i) {
        const float magnitude = std::fabs(samples[i]);
        peak = Larger(magnitude, peak * peakDecay);
        rms = peak * kRmsOfPeak;
        Advance(magnitude, rms, 0.0f);
    }
    if (count > 0) {
        dcHold = 0.0f;
        Publish(rms, 0.0f);
    }
}

// ---------------------------------------------------------------------------
// Listener

Listener::Listener(Manager& owner) : manager(&owner) {
    manager->members.insert(this);
}

Listener::~Listener() {
    if (manager != nullptr) {
        manager->listeners.erase(this);
        manager->members.erase(this);
    }
}

void Listener::Subscribe() {
    if (manager != nullptr) {
        manager->listeners.insert(this);
    }
}

void Listener::Unsubscribe() {
    if (manager != nullptr) {
        manager->listeners.erase(this);
    }
}

bool Listener::IsSubscribed() const {
    return manager != nullptr && manager->listeners.count(const_cast<Listener*>(this)) != 0;
}

// ---------------------------------------------------------------------------
// Manager

Manager::Manager(Logging::Channel* logTarget) : SynthesizerEditor(logTarget) {}

Manager::~Manager() {
    // Unsubscribed listeners may outlive the manager too: none may keep its address.
    for (Listener* listener : members) {
        listener->manager = nullptr;
    }
    members.clear();
    listeners.clear();
}

void Manager::CompileOrSilence() {
    if (Compile()) {
        return;
    }
    // Nothing of the previous patch set may keep playing: an empty list per graph.
    const uint8_t emptyLists[kCompiledLists] = {};
    UpdateBytecode(emptyLists, kCompiledLists, nullptr, 0);
}

bool Manager::LoadState(const String& path) {
    BRL_LOG_VERBOSE(Log(), "loading '", path, "' ...");
    // Events queued before the load (MIDI input while no audio ran) must not
    // overwrite the file's values once audio starts.
    DiscardQueuedEvents();
    SynthFileIo io(*this);
    const bool loaded = io.LoadPatchesFromFile(ToUtf8(path));
    if (loaded) {
        BRL_LOG_INFO(Log(), "loaded '", path, "'.");
    } else {
        BRL_LOG_ERROR(Log(), "loading failed");
    }
    SendAllSoundsOff(false);
    CompileOrSilence();
    return loaded;
}

bool Manager::SaveState(const String& path, const String& version, bool exportHeaders) {
    BRL_LOG_VERBOSE(Log(), "saving '", path, "' ...");
    SynthFileIo io(*this);
    const bool saved = io.SavePatchesToFile(ToUtf8(path), version, exportHeaders);
    if (saved) {
        BRL_LOG_INFO(Log(), "saved '", path, "'.");
    } else {
        BRL_LOG_ERROR(Log(), "saving failed");
    }
    return saved;
}

bool Manager::ClearState() {
    BRL_LOG_INFO(Log(), "unloading data ...");
    DiscardQueuedEvents();
    SynthFileIo io(*this);
    io.LoadEmptyPatches();
    BRL_LOG_INFO(Log(), "unloaded.");
    SendAllSoundsOff(false);
    CompileOrSilence();
    return true;
}

bool Manager::SetCurrentProgram(int index) {
    if (index < 0 || index >= kChannels) {
        BRL_LOG_WARNING(Log(), "program ", index, " out of range");
        return false;
    }
    selectedProgram = index;
    return true;
}

template <typename Call> void Manager::Notify(Call call) {
    // Walks by address rather than by iterator, so that the set may change
    // under a listener's call.
    auto next = listeners.begin();
    while (next != listeners.end()) {
        Listener* listener = *next;
        call(*listener);
        next = listeners.upper_bound(listener);
    }
}

void Manager::NotifyProgramSelected() {
    Notify([](Listener& listener) { listener.ProgramSelected(); });
}

void Manager::ControllerNameChanged(int channel, int number, const String& name) {
    SynthesizerEditor::ControllerNameChanged(channel, number, name);
    if (channel < 0 || channel >= kChannels || number < 0 || number >= kControllersPerChannel) {
        return;
    }
    Notify([&](Listener& listener) { listener.ControllerNameChanged(channel, number); });
}

void Manager::Update() {
    Notify([](Listener& listener) { listener.Refresh(); });
}

void Manager::NotifyControllerChanged(int channel, int controller) {
    Notify([&](Listener& listener) { listener.ControllerChanged(channel, controller); });
}

String Manager::GetInputLatencyText() const {
    return LatencyText(GetInputLatency(), GetSampleRate());
}

String Manager::GetOutputLatencyText() const {
    return LatencyText(GetOutputLatency(), GetSampleRate());
}

String Manager::GetPositionText() const {
    return PositionText(GetPosition(), GetSampleRate());
}

String Manager::LatencyText(int64_t latency, int64_t sampleRate) {
    int64_t milliseconds = 0;
    if (sampleRate > 0) {
        const double value =
            std::trunc(static_cast<double>(latency) / static_cast<double>(sampleRate) * 1000.0);
        // Beyond +-2^62 nothing is meaningful any more; the bound keeps the cast defined.
        constexpr double kLimit = 4611686018427387904.0;
        milliseconds = static_cast<int64_t>(value > kLimit ? kLimit : (value < -kLimit ? -kLimit : value));
    }
    return std::to_wstring(milliseconds) + L"ms";
}

String Manager::PositionText(int64_t position, int64_t sampleRate) {
    // The product cannot overflow in 128 bits; the quotient is saturated.
    __int128 milliseconds = 0;
    if (sampleRate > 0) {
        milliseconds = static_cast<__int128>(position) * 1000 / sampleRate;
    }
    const bool negative = milliseconds < 0;
    __int128 magnitude = negative ? -milliseconds : milliseconds;
    constexpr auto kMaximum = static_cast<__int128>(std::numeric_limits<uint64_t>::max());
    const auto total = static_cast<unsigned long long>(magnitude > kMaximum ? kMaximum : magnitude);
    wchar_t text[48];
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%lc%llu:%02llu:%02llu.%03llu",
                  static_cast<wint_t>(negative ? L'-' : L' '), total / 3600000, total / 60000 % 60,
                  total / 1000 % 60, total % 1000);
    return text;
}

bool Manager::LoadInputSample(const String& path) {
    auto fresh = std::make_unique<Sfx::Sample>(&Log());
    if (!fresh->Load(ToUtf8(path), static_cast<double>(SampleRate()))) {
        return false;
    }
    playingSample.store(fresh.get(), std::memory_order_seq_cst);
    // The old sample may be freed once the audio thread is outside a feed that
    // could have taken it: a feed that starts after the store above reads the
    // new one.
    const uint32_t sequence = feedSequence.load(std::memory_order_seq_cst);
    if (sequence % 2 != 0) {
        while (feedSequence.load(std::memory_order_acquire) == sequence) {
            std::this_thread::yield();
        }
    }
    inputSample = std::move(fresh);
    BRL_LOG_INFO(Log(), "input sample '", path, "' loaded, ", inputSample->Length(), " frames");
    return true;
}

uint32_t Manager::InputSampleLength() const noexcept {
    return inputSample != nullptr ? inputSample->Length() : 0;
}

bool Manager::FeedInputSample() noexcept {
    feedSequence.fetch_add(1, std::memory_order_seq_cst);
    Sfx::Sample* sample = playingSample.load(std::memory_order_seq_cst);
    if (sample != nullptr) {
        sample->ReadLooped(memory + kInputBufferBase, memory + kInputBufferBase + kSamplesPerBuffer,
                           kSamplesPerBuffer);
    }
    feedSequence.fetch_add(1, std::memory_order_release);
    return sample != nullptr;
}

} // namespace brl::Korvax
