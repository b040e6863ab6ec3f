#include "audio/audioiortaudio.h"

#include "libbrelm/debug.h"
#include "libbrelm/threads.h"

#include <RtAudio.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

namespace brl::Audio {

namespace {

class IoRtaudio;

// The port whose control operation is running on this thread; RtAudio's
// error callback carries no user data, so errors are routed through it.
thread_local IoRtaudio* controlPort = nullptr;

Logging::Logger& FallbackLogger() {
    static Logging::Logger logger(&Debug::ProcessChannel(), L"audio");
    return logger;
}

int LevelOf(RtAudioError::Type type) {
    switch (type) {
    case RtAudioError::WARNING:
        return Logging::Warning;
    case RtAudioError::DEBUG_WARNING:
        return Logging::Debug;
    default:
        return Logging::Error;
    }
}

bool IsWarning(RtAudioError::Type type) {
    return type == RtAudioError::WARNING || type == RtAudioError::DEBUG_WARNING;
}

RtAudioFormat FormatOfWidth(int width) {
    switch (width) {
    case 4:
        return RTAUDIO_FLOAT32;
    case 2:
        return RTAUDIO_SINT16;
    default:
        return RTAUDIO_SINT8;
    }
}

constexpr uint32_t kMinChunk = 16;
constexpr uint32_t kMaxChunk = 8192;

void RtaudioErrorCallback(RtAudioError::Type type, const std::string& text);

// A device of one RtAudio API, or the default output or input device.
class IoRtaudio final : public Io {
public:
    enum class Kind { Device, DefaultOutput, DefaultInput };

    IoRtaudio(Logging::Channel& log, Description description, Kind kind, RtAudio::Api api,
              unsigned int device, RtAudio::DeviceInfo info)
        : Io(log, std::move(description)), kind_(kind), api_(api), device_(device), info_(std::move(info)) {}

    ~IoRtaudio() override {
        CloseBeforeDestruction();
        rtaudio_.reset();
    }

    void OnError(RtAudioError::Type type, const std::string& text) {
        BRL_LOG(logger_, LevelOf(type), "RtAudio: ", text);
        if (!IsWarning(type)) {
            controlFailed_ = true;
        }
    }

    static int RtaudioCallback(void* output, void* input, unsigned int frames, double,
                               RtAudioStreamStatus status, void* user) noexcept {
        return static_cast<IoRtaudio*>(user)->Callback(output, input, frames, status);
    }

protected:
    bool InternalInit() override;
    bool InternalOpen() override;
    bool InternalPlay() override;
    bool InternalStop() override;
    bool InternalClose() override;

private:
    // Routes RtAudio's error callback to this port for one control operation.
    class ControlScope {
    public:
        explicit ControlScope(IoRtaudio& port) : previous_(controlPort) {
            controlPort = &port;
            port.controlFailed_ = false;
        }
        ~ControlScope() { controlPort = previous_; }
        ControlScope(const ControlScope&) = delete;
        ControlScope& operator=(const ControlScope&) = delete;

    private:
        IoRtaudio* previous_;
    };

    int Callback(void* output, void* input, unsigned int frames, RtAudioStreamStatus status) noexcept;
    bool ResolveDevice(unsigned int& device);
    bool OpenWithWidth(int width, unsigned int device, unsigned int& frames);

    const Kind kind_;
    RtAudio::Api api_;
    unsigned int device_;
    RtAudio::DeviceInfo info_;
    std::unique_ptr<RtAudio> rtaudio_;
    bool controlFailed_ = false;
    // Read by the audio thread; set while the stream is not running.
    bool output_ = false;
    bool input_ = false;
    bool ownScheduling_ = true;
    int width_ = 4;
    uint32_t chunkLeft_ = 0;
    std::atomic<bool> rendering_{false};
    std::atomic<int> callbacksInside_{0};
};

void RtaudioErrorCallback(RtAudioError::Type type, const std::string& text) {
    if (controlPort != nullptr) {
        controlPort->OnError(type, text);
        return;
    }
    BRL_LOG(FallbackLogger(), LevelOf(type), "RtAudio: ", text);
}

bool IoRtaudio::InternalInit() {
    if (kind_ != Kind::Device) {
        try {
            RtAudio probe;
            probe.showWarnings(false);
            if (probe.getDeviceCount() == 0) {
                SetInitFailure(L"no RtAudio devices");
                return false;
            }
            api_ = probe.getCurrentApi();
            device_ =
                kind_ == Kind::DefaultOutput ? probe.getDefaultOutputDevice() : probe.getDefaultInputDevice();
            info_ = probe.getDeviceInfo(device_);
        } catch (const std::exception& e) {
            SetInitFailure(FromUtf8(e.what()));
            return false;
        }
    }
    if (!info_.probed) {
        SetInitFailure(L"device not probed");
        return false;
    }
    Caps& caps = MutableCaps();
    caps.FramesPerSecond = info_.sampleRates;
    std::sort(caps.FramesPerSecond.begin(), caps.FramesPerSecond.end());
    caps.FramesPerChunk = {kMinChunk, kMaxChunk};
    caps.Chunks = {2, 16};
    for (uint32_t channel = 0; channel < info_.inputChannels; ++channel) {
        caps.InputChannelMasks.push_back(SpeakerOfChannel(channel));
    }
    for (uint32_t channel = 0; channel < info_.outputChannels; ++channel) {
        caps.OutputChannelMasks.push_back(SpeakerOfChannel(channel));
    }
    return true;
}

bool IoRtaudio::ResolveDevice(unsigned int& device) {
    if (kind_ != Kind::Device) {
        api_ = rtaudio_->getCurrentApi();
        device = kind_ == Kind::DefaultOutput ? rtaudio_->getDefaultOutputDevice()
                                              : rtaudio_->getDefaultInputDevice();
        return true;
    }
    // Device ids are positions in RtAudio's list, which may have changed
    // since the device was listed: find it by name.
    const unsigned int count = rtaudio_->getDeviceCount();
    if (device_ < count && rtaudio_->getDeviceInfo(device_).name == info_.name) {
        device = device_;
        return true;
    }
    for (unsigned int candidate = 0; candidate < count; ++candidate) {
        if (rtaudio_->getDeviceInfo(candidate).name == info_.name) {
            device = candidate;
            return true;
        }
    }
    BRL_LOG_ERROR(logger_, "device '", info_.name, "' is gone");
    return false;
}

bool IoRtaudio::OpenWithWidth(int width, unsigned int device, unsigned int& frames) {
    RtAudio::StreamParameters outputParameters;
    outputParameters.deviceId = device;
    outputParameters.nChannels = format_.OutputChannels;
    RtAudio::StreamParameters inputParameters;
    inputParameters.deviceId = device;
    inputParameters.nChannels = format_.InputChannels;
    RtAudio::StreamOptions options;
    options.numberOfBuffers = std::max(config_.OutputChunks, config_.InputChunks);
    options.streamName = ToUtf8(config_.ClientName);
    frames = config_.FramesPerChunk;
    controlFailed_ = false;
    try {
        rtaudio_->openStream(output_ ? &outputParameters : nullptr, input_ ? &inputParameters : nullptr,
                             FormatOfWidth(width), format_.FramesPerSecond, &frames,
                             &IoRtaudio::RtaudioCallback, this, &options, &RtaudioErrorCallback);
    } catch (const RtAudioError& e) {
        BRL_LOG_WARNING(logger_, "openStream() failed: ", e.what());
        return false;
    }
    if (controlFailed_ || !rtaudio_->isStreamOpen()) {
        if (rtaudio_->isStreamOpen()) {
            rtaudio_->closeStream();
        }
        return false;
    }
    return true;
}

bool IoRtaudio::InternalOpen() {
    ControlScope scope(*this);
    output_ = format_.OutputChannels > 0 && config_.OutputChunks > 0;
    input_ = format_.InputChannels > 0 && config_.InputChunks > 0;
    if (!output_ && !input_) {
        BRL_LOG_ERROR(logger_, "no input or output channels to open");
        return false;
    }
    try {
        rtaudio_ = std::make_unique<RtAudio>(api_);
        rtaudio_->showWarnings(false);
        unsigned int device = 0;
        if (!ResolveDevice(device)) {
            rtaudio_.reset();
            return false;
        }
        unsigned int frames = 0;
        width_ =
            NegotiateSampleWidth(logger_, [&](int width) { return OpenWithWidth(width, device, frames); });
        if (width_ == 0) {
            BRL_LOG_ERROR(logger_, "no sample format accepted by '", GetDescription(), "'");
            rtaudio_.reset();
            return false;
        }
        const unsigned int rate = rtaudio_->getStreamSampleRate();
        if (rate != format_.FramesPerSecond) {
            BRL_LOG_ERROR(logger_, "the device plays ", rate, " frames per second, not ",
                          format_.FramesPerSecond);
            rtaudio_->closeStream();
            rtaudio_.reset();
            return false;
        }
        if (frames != config_.FramesPerChunk) {
            BRL_LOG_VERBOSE(logger_, "the device uses chunks of ", frames, " frames instead of ",
                            config_.FramesPerChunk);
            if (frames == 0 || !ResizeChunk(frames)) {
                rtaudio_->closeStream();
                rtaudio_.reset();
                return false;
            }
        }
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "RtAudio failed: ", e.what());
        rtaudio_.reset();
        return false;
    }
    // JACK runs its process thread with the server's own scheduling.
    ownScheduling_ = api_ != RtAudio::UNIX_JACK;
    chunkLeft_ = 0;
    return true;
}

bool IoRtaudio::InternalPlay() {
    ControlScope scope(*this);
    chunkLeft_ = 0;
    rendering_.store(true);
    try {
        rtaudio_->startStream();
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "startStream() failed: ", e.what());
        rendering_.store(false);
        return false;
    }
    if (controlFailed_) {
        rendering_.store(false);
        return false;
    }
    return true;
}

bool IoRtaudio::InternalStop() {
    ControlScope scope(*this);
    // The handler is done once no callback is inside it and every later one
    // sees `rendering_` cleared; RtAudio is not relied on for that.
    rendering_.store(false);
    while (callbacksInside_.load() != 0) {
        Threads::CurrentThreadOps::Sleep(0.0005);
    }
    // Aborting, not stopping: RtAudio's JACK stop waits for a drain signal
    // that may have been sent before it waits, and then waits forever.
    try {
        if (rtaudio_->isStreamRunning()) {
            rtaudio_->abortStream();
        }
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "abortStream() failed: ", e.what());
    }
    return true;
}

bool IoRtaudio::InternalClose() {
    ControlScope scope(*this);
    try {
        if (rtaudio_->isStreamOpen()) {
            rtaudio_->closeStream();
        }
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "closeStream() failed: ", e.what());
    }
    rtaudio_.reset();
    return true;
}

int IoRtaudio::Callback(void* output, void* input, unsigned int frames, RtAudioStreamStatus status) noexcept {
    callbacksInside_.fetch_add(1);
    if (!rendering_.load()) {
        if (output != nullptr) {
            std::memset(output, 0, size_t{frames} * format_.OutputChannels * width_);
        }
        callbacksInside_.fetch_sub(1);
        return 0;
    }
    if (ownScheduling_) {
        EnterAudioThread();
    }
    if ((status & RTAUDIO_OUTPUT_UNDERFLOW) != 0) {
        NoteUnderrun(0);
    }
    const uint32_t chunk = config_.FramesPerChunk;
    unsigned char* outputBytes = static_cast<unsigned char*>(output);
    const unsigned char* inputBytes = static_cast<const unsigned char*>(input);
    const size_t outputFrameBytes = size_t{format_.OutputChannels} * width_;
    const size_t inputFrameBytes = size_t{format_.InputChannels} * width_;
    uint32_t done = 0;
    while (done < frames) {
        if (chunkLeft_ == 0) {
            RenderChunk();
            chunkLeft_ = chunk;
        }
        const uint32_t count = std::min<uint32_t>(chunkLeft_, frames - done);
        const uint32_t offset = chunk - chunkLeft_;
        // Input written after the chunk was rendered feeds the next one: one
        // chunk of input latency.
        if (output_ && outputBytes != nullptr) {
            Interleave(OutputBuffers(), format_.OutputChannels, offset, count, width_,
                       outputBytes + done * outputFrameBytes);
        }
        if (input_ && inputBytes != nullptr) {
            Deinterleave(inputBytes + done * inputFrameBytes, width_, format_.InputChannels, offset, count,
                         InputBuffers());
        }
        done += count;
        chunkLeft_ -= count;
    }
    callbacksInside_.fetch_sub(1);
    return 0;
}

} // namespace

String IoProviderRtaudio::ApiName(int api) {
    switch (api) {
    case RtAudio::UNSPECIFIED:
        return L"UNSPECIFIED";
    case RtAudio::LINUX_ALSA:
        return L"LINUX_ALSA";
    case RtAudio::LINUX_PULSE:
        return L"LINUX_PULSE";
    case RtAudio::LINUX_OSS:
        return L"LINUX_OSS";
    case RtAudio::UNIX_JACK:
        return L"UNIX_JACK";
    case RtAudio::MACOSX_CORE:
        return L"MACOSX_CORE";
    case RtAudio::WINDOWS_WASAPI:
        return L"WINDOWS_WASAPI";
    case RtAudio::WINDOWS_ASIO:
        return L"WINDOWS_ASIO";
    case RtAudio::WINDOWS_DS:
        return L"WINDOWS_DS";
    case RtAudio::RTAUDIO_DUMMY:
        return L"RTAUDIO_DUMMY";
    default:
        return String();
    }
}

IoProviderRtaudio::IoProviderRtaudio(Logging::Channel& log, Apis apis)
    : IoProvider(log, L"RtAudio", FromUtf8(RtAudio::getVersion())) {
    const String version = GetVersion();
    if (apis == Apis::All) {
        AddDevice(std::make_unique<IoRtaudio>(log,
                                              Io::Description{L"RtAudio", version, L"(default output)", L"",
                                                              L"UNSPECIFIED", L"default output"},
                                              IoRtaudio::Kind::DefaultOutput, RtAudio::UNSPECIFIED, 0,
                                              RtAudio::DeviceInfo()))
            .Init();
        AddDevice(std::make_unique<IoRtaudio>(log,
                                              Io::Description{L"RtAudio", version, L"(default input)", L"",
                                                              L"UNSPECIFIED", L"default input"},
                                              IoRtaudio::Kind::DefaultInput, RtAudio::UNSPECIFIED, 0,
                                              RtAudio::DeviceInfo()))
            .Init();
    }
    std::vector<RtAudio::Api> compiled;
    RtAudio::getCompiledApi(compiled);
    const RtAudio::Api wanted = apis == Apis::Alsa    ? RtAudio::LINUX_ALSA
                                : apis == Apis::Pulse ? RtAudio::LINUX_PULSE
                                : apis == Apis::Jack  ? RtAudio::UNIX_JACK
                                                      : RtAudio::UNSPECIFIED;
    if (wanted != RtAudio::UNSPECIFIED &&
        std::find(compiled.begin(), compiled.end(), wanted) == compiled.end()) {
        BRL_LOG_WARNING(logger_, "RtAudio was built without ", ApiName(wanted));
        return;
    }
    for (RtAudio::Api api : compiled) {
        if (wanted != RtAudio::UNSPECIFIED && api != wanted) {
            continue;
        }
        const String apiName = ApiName(api);
        try {
            RtAudio probe(api);
            probe.showWarnings(false);
            const unsigned int count = probe.getDeviceCount();
            for (unsigned int device = 0; device < count; ++device) {
                RtAudio::DeviceInfo info;
                try {
                    info = probe.getDeviceInfo(device);
                } catch (const std::exception& e) {
                    BRL_LOG_WARNING(logger_, apiName, " device ", device, ": ", e.what());
                    info.probed = false;
                }
                const String id = Logging::Format(device);
                AddDevice(
                    std::make_unique<IoRtaudio>(log,
                                                Io::Description{L"RtAudio", version, FromUtf8(info.name),
                                                                apiName + L" " + id, apiName, id},
                                                IoRtaudio::Kind::Device, api, device, info))
                    .Init();
            }
        } catch (const std::exception& e) {
            BRL_LOG_WARNING(logger_, apiName, " failed: ", e.what());
        }
    }
}

IoProviderRtaudio::~IoProviderRtaudio() = default;

} // namespace brl::Audio
