#include "audio/audioio.h"

#include "audio/audioiodummy.h"
#include "audio/audioiofd.h"
#if KORVAX_AUDIO_RTAUDIO
#include "audio/audioiortaudio.h"
#endif
#include "libbrelm/config.h"
#include "libbrelm/debug.h"
#include "libbrelm/threads.h"

#include <algorithm>
#include <exception>
#include <iomanip>
#include <optional>
#include <sstream>

namespace brl::Audio {

namespace {

// The port as a clock: frames since Play at FramesPerSecond while playing.
// Not offered as a general-purpose clock.
class PortClock : public Time::ClockImpl {
public:
    explicit PortClock(const Io& port) : port_(port) {}
    bool IsAvailable() const override { return false; }
    uint64_t Now() override { return port_.GetState() >= PORTSTATE_PLAYING ? port_.GetPosition() : 0; }
    uint64_t Frequency() override {
        const uint32_t rate = port_.GetFormat().FramesPerSecond;
        return rate != 0 ? rate : 1;
    }
    uint64_t Resolution() override { return 1; }
    String Name() const override { return String(); }

private:
    const Io& port_;
};

constexpr int kTaskAudio = 1;
constexpr int kTaskProAudio = 6;

} // namespace

Format Stream::GetFormat() const {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    return format_;
}

PortConfig Stream::GetPortConfig() const {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    return config_;
}

uint32_t Stream::GetUnderruns() const noexcept {
    return hardUnderruns_.load(std::memory_order_relaxed) +
           confusedUnderruns_.load(std::memory_order_relaxed);
}

UnderrunCounts Stream::GetUnderrunCounts() const noexcept {
    return {softUnderruns_.load(std::memory_order_relaxed), hardUnderruns_.load(std::memory_order_relaxed),
            confusedUnderruns_.load(std::memory_order_relaxed)};
}

Io::Io(Logging::Channel& log, Description description)
    : Time::Clock(std::make_unique<PortClock>(*this)), logger_(&log, L"audio"),
      description_(std::move(description)) {}

Io::~Io() {
    if (GetState() >= PORTSTATE_OPEN) {
        BRL_BUG("PortState >= PORTSTATE_OPEN");
    }
}

void Io::CloseBeforeDestruction() {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    if (GetState() >= PORTSTATE_OPEN) {
        BRL_BUG("PortState >= PORTSTATE_OPEN");
        CloseLocked();
    }
}

bool Io::Init() {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    if (GetState() >= PORTSTATE_INIT) {
        return true;
    }
    caps_.Clear();
    initFailure_.clear();
    if (!InternalInit()) {
        if (initFailure_.empty()) {
            initFailure_ = L"initialization failed";
        }
        BRL_LOG_WARNING(logger_, "error initializing audio port: '", GetDescription(), "' [",
                        caps_.ToString(), "]");
        return false;
    }
    state_.store(PORTSTATE_INIT, std::memory_order_release);
    return true;
}

bool Io::Open(const Format& format, const PortConfig& config) {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    if (GetState() < PORTSTATE_INIT) {
        BRL_LOG_WARNING(logger_, "audio port not initialized: '", GetDescription(), "'");
        return false;
    }
    if (GetState() >= PORTSTATE_OPEN && !CloseLocked()) {
        BRL_LOG_ERROR(logger_, "error closing audio port before opening it again: '", GetDescription(), "'");
        return false;
    }
    ResetUnderruns();
    if (config.InputChunks == 0 && config.OutputChunks == 0) {
        BRL_LOG_WARNING(logger_, "neither input nor output chunks requested");
        return false;
    }
    if (!ChannelMaskFits(format.InputChannelMask, format.InputChannels)) {
        BRL_LOG_WARNING(logger_, "input channel mask", ChannelMaskToString(format.InputChannelMask),
                        " does not fit ", format.InputChannels, " channels");
        return false;
    }
    if (!ChannelMaskFits(format.OutputChannelMask, format.OutputChannels)) {
        BRL_LOG_WARNING(logger_, "output channel mask", ChannelMaskToString(format.OutputChannelMask),
                        " does not fit ", format.OutputChannels, " channels");
        return false;
    }
    if (format.FramesPerSecond == 0) {
        BRL_LOG_WARNING(logger_, "FramesPerSecond is 0");
        return false;
    }
    const Format previousFormat = format_;
    const PortConfig previousConfig = config_;
    format_ = format;
    config_ = config;
    endPosition_.store(UINT64_MAX, std::memory_order_relaxed);
    ended_.store(false, std::memory_order_relaxed);
    bool opened = AllocateBuffers(config.FramesPerChunk);
    if (opened) {
        opened = InternalOpen();
        if (!opened) {
            FreeBuffers();
        }
    }
    if (!opened) {
        format_ = previousFormat;
        config_ = previousConfig;
        BRL_LOG_WARNING(logger_, "error opening audio port: '", GetDescription(), "'");
        return false;
    }
    state_.store(PORTSTATE_OPEN, std::memory_order_release);
    return true;
}

bool Io::Play(IStreamHandler* handler) {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    if (GetState() >= PORTSTATE_PLAYING) {
        return true;
    }
    if (GetState() < PORTSTATE_OPEN) {
        BRL_LOG_WARNING(logger_, "audio port not open: '", GetDescription(), "'");
        return false;
    }
    ResetUnderruns();
    position_.store(0, std::memory_order_relaxed);
    ended_.store(false, std::memory_order_relaxed);
    handler_.store(handler, std::memory_order_release);
    if (!InternalPlay()) {
        handler_.store(nullptr, std::memory_order_release);
        BRL_LOG_WARNING(logger_, "error starting audio port: '", GetDescription(), "'");
        return false;
    }
    state_.store(PORTSTATE_PLAYING, std::memory_order_release);
    return true;
}

bool Io::Stop() {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    return StopLocked();
}

bool Io::StopLocked() {
    if (GetState() < PORTSTATE_PLAYING) {
        return true;
    }
    if (!InternalStop()) {
        BRL_LOG_ERROR(logger_, "error stopping audio port: '", GetDescription(), "'");
        return false;
    }
    handler_.store(nullptr, std::memory_order_release);
    state_.store(PORTSTATE_OPEN, std::memory_order_release);
    ReportUnderruns();
    return true;
}

void Io::Close() {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    if (!CloseLocked()) {
        BRL_LOG_ERROR(logger_, "error closing audio port: '", GetDescription(), "'");
    }
}

bool Io::CloseLocked() {
    if (GetState() < PORTSTATE_OPEN) {
        return true;
    }
    // A port that did not stop may still be rendering into its buffers, so
    // they are kept until it does.
    if (!StopLocked() || !InternalClose()) {
        return false;
    }
    FreeBuffers();
    state_.store(PORTSTATE_INIT, std::memory_order_release);
    return true;
}

Caps Io::GetCaps() const {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    return caps_;
}

String Io::GetInitFailure() const {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    return initFailure_;
}

String Io::GetDescription() const {
    String text = description_.Provider;
    if (!description_.Version.empty()) {
        text += L" (" + description_.Version + L")";
    }
    if (!description_.Name.empty()) {
        text += L" - " + description_.Name;
    }
    if (!description_.Identifier.empty()) {
        text += L" (" + description_.Identifier + L")";
    }
    return text;
}

uint64_t Io::GetPosition() const {
    return position_.load(std::memory_order_acquire);
}

uint64_t Io::GetOutputLatency() const {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    if (GetState() < PORTSTATE_OPEN) {
        BRL_BUG("PortState < PORTSTATE_OPEN");
        return 0;
    }
    if (config_.OutputChunks == 0) {
        return 0;
    }
    return static_cast<uint64_t>(config_.OutputChunks - 1) * config_.FramesPerChunk;
}

uint64_t Io::GetInputLatency() const {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    if (GetState() < PORTSTATE_OPEN) {
        BRL_BUG("PortState < PORTSTATE_OPEN");
        return 0;
    }
    return config_.InputChunks != 0 ? config_.FramesPerChunk : 0;
}

uint64_t Io::GetLatency() const {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    if (GetState() < PORTSTATE_OPEN) {
        BRL_BUG("PortState < PORTSTATE_OPEN");
        return 0;
    }
    return GetInputLatency() + GetOutputLatency();
}

void Io::SetEndPosition(uint64_t frames) {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    endPosition_.store(frames, std::memory_order_release);
}

void Io::ReportUnderruns() {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    const UnderrunCounts now = GetUnderrunCounts();
    const std::pair<Underrun, uint32_t> news[] = {
        {Underrun::Soft, now.Soft - reported_.Soft},
        {Underrun::Hard, now.Hard - reported_.Hard},
        {Underrun::Confused, now.Confused - reported_.Confused},
    };
    reported_ = now;
    for (const auto& [underrun, count] : news) {
        if (count != 0) {
            BRL_LOG(logger_, UnderrunLevel(underrun), UnderrunText(underrun), " (", count, "x)");
        }
    }
}

void Io::ResetUnderruns() noexcept {
    softUnderruns_.store(0, std::memory_order_relaxed);
    hardUnderruns_.store(0, std::memory_order_relaxed);
    confusedUnderruns_.store(0, std::memory_order_relaxed);
    reported_ = UnderrunCounts();
}

uint32_t Io::RenderChunk() noexcept {
    const uint32_t frames = config_.FramesPerChunk;
    const uint64_t position = position_.load(std::memory_order_relaxed);
    const uint64_t end = endPosition_.load(std::memory_order_acquire);
    const uint32_t valid =
        position >= end ? 0 : static_cast<uint32_t>(std::min<uint64_t>(frames, end - position));
    IStreamHandler* handler = handler_.load(std::memory_order_acquire);
    uint32_t filled = 0;
    if (handler != nullptr && valid != 0) {
        handler->Process(format_, inputPointers_.data(), outputPointers_.data(), frames);
        filled = valid;
    }
    for (float* channel : outputPointers_) {
        std::fill(channel + filled, channel + frames, 0.0f);
    }
    position_.store(position + valid, std::memory_order_release);
    if (position + valid >= end) {
        ended_.store(true, std::memory_order_release);
    }
    return valid;
}

void Io::NoteUnderrun(uint32_t queued) noexcept {
    switch (ClassifyUnderrun(queued, config_.OutputChunks)) {
    case Underrun::Soft:
        softUnderruns_.fetch_add(1, std::memory_order_relaxed);
        break;
    case Underrun::Hard:
        hardUnderruns_.fetch_add(1, std::memory_order_relaxed);
        break;
    case Underrun::Confused:
        confusedUnderruns_.fetch_add(1, std::memory_order_relaxed);
        break;
    case Underrun::None:
        break;
    }
}

void Io::EnterAudioThread() const noexcept {
    // Lives until the thread ends and reverts the scheduling there.
    thread_local std::optional<Threads::ScopedSchedulingHintWin> hint;
    if (!hint) {
        hint.emplace(config_.Priority == 2 ? kTaskProAudio : kTaskAudio);
    }
}

bool Io::AllocateBuffers(uint32_t framesPerChunk) {
    try {
        FreeBuffers();
        inputBuffers_.assign(format_.InputChannels, std::vector<float>(framesPerChunk, 0.0f));
        outputBuffers_.assign(format_.OutputChannels, std::vector<float>(framesPerChunk, 0.0f));
        for (auto& buffer : inputBuffers_) {
            inputPointers_.push_back(buffer.data());
        }
        for (auto& buffer : outputBuffers_) {
            outputPointers_.push_back(buffer.data());
        }
        return true;
    } catch (const std::exception& e) {
        FreeBuffers();
        BRL_LOG_ERROR(logger_, "cannot allocate ", format_.InputChannels, " + ", format_.OutputChannels,
                      " channel buffers of ", framesPerChunk, " frames: ", e.what());
        return false;
    }
}

void Io::FreeBuffers() {
    inputPointers_.clear();
    outputPointers_.clear();
    inputBuffers_.clear();
    outputBuffers_.clear();
    inputBuffers_.shrink_to_fit();
    outputBuffers_.shrink_to_fit();
}

bool Io::ResizeChunk(uint32_t framesPerChunk) {
    std::lock_guard<std::recursive_mutex> lock(portMutex_);
    if (!AllocateBuffers(framesPerChunk)) {
        return false;
    }
    config_.FramesPerChunk = framesPerChunk;
    return true;
}

IoProvider::IoProvider(Logging::Channel& log, String name, String version)
    : logger_(&log, L"audio"), name_(std::move(name)), version_(std::move(version)) {}

IoProvider::~IoProvider() {
    devices_.clear();
    while (!owned_.empty()) {
        owned_.pop_back();
    }
}

Io* IoProvider::GetDevice(size_t index) const {
    return index < devices_.size() ? devices_[index] : nullptr;
}

Io* IoProvider::GetDefault() const {
    return devices_.empty() ? nullptr : devices_.front();
}

Io& IoProvider::AddDevice(std::unique_ptr<Io> device) {
    Io& port = *device;
    owned_.push_back(std::move(device));
    devices_.push_back(&port);
    return port;
}

void IoProvider::AddForeignDevice(Io& device) {
    devices_.push_back(&device);
}

std::vector<String> IoMaster::DefaultBackends() {
    return {L"rtaudio"};
}

const std::vector<String>& IoMaster::KnownBackends() {
    static const std::vector<String> names = {
        L"alsa",    L"ao",   L"artsc",      L"asio",   L"directsound", L"dummy",
        L"fd",      L"jack", L"brelmsound", L"openal", L"portaudio",   L"pulseaudio",
        L"rtaudio", L"sdl",  L"wasapi",     L"winamp", L"winmm",
    };
    return names;
}

bool IoMaster::IsAvailable(const String& name) {
    if (name == L"dummy" || name == L"fd") {
        return true;
    }
#if KORVAX_AUDIO_RTAUDIO
    if (name == L"rtaudio" || name == L"alsa" || name == L"pulseaudio" || name == L"jack") {
        return true;
    }
#endif
    return false;
}

IoMaster::IoMaster(Logging::Channel& log, Config::Frontend& config, const String& keyPrefix)
    : IoProvider(log, L"IoMaster", String()), log_(log) {
    // Names are trimmed; empty and repeated names are skipped, so an empty
    // setting gives "dummy" alone.
    std::vector<String> names;
    for (String name : Config::Setting<std::vector<String>>(config, SettingKey(keyPrefix, L"Audio/Backends"),
                                                            DefaultBackends())
                           .Get()) {
        const size_t first = name.find_first_not_of(L" \t");
        name =
            first == String::npos ? String() : name.substr(first, name.find_last_not_of(L" \t") - first + 1);
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    if (std::find(names.begin(), names.end(), String(L"dummy")) == names.end()) {
        names.push_back(L"dummy");
    }
    const auto& known = KnownBackends();
    for (const String& name : names) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            BRL_LOG_WARNING(logger_, "unknown backend '", name, "', ignoring");
            continue;
        }
        if (!IsAvailable(name)) {
            BRL_LOG_WARNING(logger_, "backend '", name, "' not available, ignoring");
            continue;
        }
        std::unique_ptr<IoProvider> provider = CreateProvider(name, config, keyPrefix);
        if (provider == nullptr) {
            continue;
        }
        for (Io* device : provider->GetDevices()) {
            AddForeignDevice(*device);
        }
        providers_.push_back(std::move(provider));
    }
    LogDevices();
}

IoMaster::~IoMaster() {
    while (!providers_.empty()) {
        providers_.pop_back();
    }
}

std::unique_ptr<IoProvider> IoMaster::CreateProvider(const String& name, Config::Frontend& config,
                                                     const String& keyPrefix) {
    try {
        if (name == L"dummy") {
            return std::make_unique<IoProviderDummy>(log_);
        }
        if (name == L"fd") {
            return std::make_unique<IoProviderFd>(log_, config, keyPrefix);
        }
#if KORVAX_AUDIO_RTAUDIO
        if (name == L"rtaudio") {
            return std::make_unique<IoProviderRtaudio>(log_, IoProviderRtaudio::Apis::All);
        }
        if (name == L"alsa") {
            return std::make_unique<IoProviderRtaudio>(log_, IoProviderRtaudio::Apis::Alsa);
        }
        if (name == L"pulseaudio") {
            return std::make_unique<IoProviderRtaudio>(log_, IoProviderRtaudio::Apis::Pulse);
        }
        if (name == L"jack") {
            return std::make_unique<IoProviderRtaudio>(log_, IoProviderRtaudio::Apis::Jack);
        }
#endif
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "backend '", name, "' failed: ", e.what());
        return nullptr;
    }
    BRL_LOG_WARNING(logger_, "backend '", name, "' not available, ignoring");
    return nullptr;
}

void IoMaster::LogDevices() {
    BRL_LOG_INFO(logger_, "audio devices:");
    const auto& devices = GetDevices();
    for (size_t index = 0; index < devices.size(); ++index) {
        std::wostringstream number;
        number << std::setw(3) << index;
        const Io& device = *devices[index];
        if (device.GetState() >= PORTSTATE_INIT) {
            BRL_LOG_INFO(logger_, number.str(), ": ", device.GetDescription());
            BRL_LOG_DEBUG(logger_, number.str(), ": ", device.GetCaps().ToString());
        } else {
            BRL_LOG_INFO(logger_, number.str(), ": ", device.GetDescription(), " (", device.GetInitFailure(),
                         ") -> ?");
        }
    }
}

int IoMaster::FindDevice(const String& api, const String& id) const {
    const auto& devices = GetDevices();
    if (api.empty()) {
        return devices.empty() ? -1 : 0;
    }
    for (size_t index = 0; index < devices.size(); ++index) {
        if (devices[index]->GetApi() == api && devices[index]->GetDeviceId() == id) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

} // namespace brl::Audio
