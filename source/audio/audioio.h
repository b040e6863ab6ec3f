#pragma once

// Audio ports (Io), their backends (IoProvider) and the list of every device
// of every configured backend (IoMaster).
//
// A host uses a port like this (all on one control thread, e.g. the GUI):
//
//     IoMaster master(log, config);                 // enumerates and initialises
//     Io* port = master.GetDevice(index);
//     port->Open(format, config);                   // allocates the chunk buffers
//     port->Play(&handler);                         // the audio thread starts
//     ...                                           // handler.Process once per chunk
//     port->Stop();                                 // returns after the last Process
//     port->Close();
//
// The port pulls audio: on its own audio thread it calls the handler's
// Process once per chunk (PortConfig::FramesPerChunk frames, non-interleaved
// float channels in -1..+1) and hands the result to the platform.

#include "audio/audio.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"
#include "libbrelm/time.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace brl::Config {
class Frontend;
}

namespace brl::Audio {

// Life-cycle states of a port. They are ordered: operations test whether a
// state has been reached.
enum PortState : int32_t {
    PORTSTATE_CLOSED = 0,
    PORTSTATE_INIT = 1,
    PORTSTATE_OPEN = 2,
    PORTSTATE_PLAYING = 3,
};

// Fills the output channels of one chunk. Called on the port's audio thread
// (never on the thread that called Play), once per chunk, between Play and the
// return of Stop; calls for one port never overlap. It must not block, lock,
// allocate or throw, and it must stay valid until Stop has returned.
class IStreamHandler {
public:
    virtual ~IStreamHandler() = default;
    // format: the port's current format (channel counts, FramesPerSecond).
    // inputs: format.InputChannels arrays of `frames` input samples.
    // outputs: format.OutputChannels arrays of `frames` samples to fill.
    // frames: the port's FramesPerChunk.
    virtual void Process(const Format& format, const float* const* inputs, float* const* outputs,
                         uint32_t frames) noexcept = 0;
};

// Underruns a port has seen, by class (see ClassifyUnderrun).
struct UnderrunCounts {
    uint32_t Soft = 0;
    uint32_t Hard = 0;
    uint32_t Confused = 0;
};

// What a host sees of a stream while it runs. The getters may be called from
// any thread; the format and configuration change only in Io::Open.
class Stream {
public:
    virtual ~Stream() = default;

    Format GetFormat() const;
    PortConfig GetPortConfig() const;
    // Audible underruns (hard and confused) since Open or Play.
    uint32_t GetUnderruns() const noexcept;
    UnderrunCounts GetUnderrunCounts() const noexcept;

protected:
    // Guards the life cycle; never taken on the audio thread.
    mutable std::recursive_mutex portMutex_;
    Format format_;
    PortConfig config_;
    std::atomic<uint32_t> softUnderruns_{0};
    std::atomic<uint32_t> hardUnderruns_{0};
    std::atomic<uint32_t> confusedUnderruns_{0};
};

// One device of one backend. Control operations (Init, Open, Play, Stop,
// Close and the setters) are for the host's control thread and serialised by
// the port mutex; queries may come from any thread. Backends implement the
// Internal* operations (called with the port mutex held) and run the audio
// thread that calls RenderChunk.
//
// A port is also a clock: while playing it reads the frames rendered since
// Play at FramesPerSecond; otherwise it reads 0.
class Io : public Stream, public Time::Clock {
public:
    // How the device presents itself. api and id identify it in the settings
    // "Audio/Device/API" and "Audio/Device/ID".
    struct Description {
        String Provider;
        String Version;
        String Name;
        String Identifier;
        String Api;
        String Id;
    };

    Io(Logging::Channel& log, Description description);
    // Total latency in frames: input plus output.
    virtual uint64_t GetLatency() const;
    ~Io() override;
    Io(const Io&) = delete;
    Io& operator=(const Io&) = delete;

    // Reads the device's caps. True when already initialised.
    bool Init();
    // Opens the port with a format and buffering (closing it first if it is
    // open) and allocates the chunk buffers. False, with a log line, when the
    // format is not valid or the device refuses; the state is then unchanged.
    bool Open(const Format& format, const PortConfig& config);
    // Starts the audio thread with this handler (nullptr plays silence). True
    // when playback started or was already running.
    bool Play(IStreamHandler* handler);
    // Stops playback; returns after the handler's last call.
    bool Stop();
    // Stops if needed and frees the buffers; the port stays initialised.
    void Close();

    int32_t GetState() const noexcept { return state_.load(std::memory_order_acquire); }
    Caps GetCaps() const;
    // Why Init failed, empty when it did not.
    String GetInitFailure() const;

    // Provider name, " (" version ")", " - " device name, " (" identifier ")";
    // the parts in brackets only when not empty.
    String GetDescription() const;
    const String& GetProviderName() const { return description_.Provider; }
    const String& GetDeviceName() const { return description_.Name; }
    const String& GetApi() const { return description_.Api; }
    const String& GetDeviceId() const { return description_.Id; }

    virtual bool SupportsInput() const { return true; }
    virtual bool SupportsOutput() const { return true; }
    // Frames handed to the platform since Play. Any thread.
    virtual uint64_t GetPosition() const;
    // (OutputChunks - 1) * FramesPerChunk, 0 without output chunks.
    virtual uint64_t GetOutputLatency() const;
    // FramesPerChunk when there are input chunks, else 0.
    virtual uint64_t GetInputLatency() const;

    // Ends the stream after `frames` frames (counted from Play): the chunk
    // that reaches the end is cut there, no frame after it reaches the
    // platform (backends that must keep the device fed send silence), and the
    // handler is not called again. Set it after Open and before Play; Open
    // clears it.
    void SetEndPosition(uint64_t frames);
    // True once the stream has ended: the end position was reached, or the
    // backend's audio thread ended on an error. Any thread.
    bool IsEnded() const noexcept { return ended_.load(std::memory_order_acquire); }

    // Logs the underruns recorded by the audio thread since the last report,
    // one line per class at its level with the count. Stop does it as well.
    void ReportUnderruns();

protected:
    virtual bool InternalInit() = 0;
    virtual bool InternalOpen() = 0;
    virtual bool InternalPlay() = 0;
    virtual bool InternalStop() = 0;
    virtual bool InternalClose() = 0;

    // Audio thread: renders one chunk into the output buffers through the
    // handler (zeros without one, or once the end is reached) and returns the
    // number of frames that belong to the stream (FramesPerChunk, fewer for
    // the chunk that reaches the end position, 0 after it).
    uint32_t RenderChunk() noexcept;
    // Audio thread: classifies the end of an output chunk with `queued`
    // chunks still at the platform and counts it.
    void NoteUnderrun(uint32_t queued) noexcept;
    // Audio thread, on threads the backend does not own: raises the calling
    // thread's scheduling ("Pro Audio" for Priority 2, else "Audio") once for
    // the life of the thread; quietly nothing when not permitted.
    void EnterAudioThread() const noexcept;
    // Audio thread: the backend's thread ends on an error; the stream counts
    // as ended.
    void MarkEnded() noexcept { ended_.store(true, std::memory_order_release); }

    float* const* InputBuffers() noexcept { return inputPointers_.data(); }
    float* const* OutputBuffers() noexcept { return outputPointers_.data(); }
    // Control thread, inside InternalOpen: the device chose another chunk
    // size; re-allocates the buffers.
    bool ResizeChunk(uint32_t framesPerChunk);
    // Control thread, inside InternalInit.
    Caps& MutableCaps() { return caps_; }
    void SetInitFailure(String reason) { initFailure_ = std::move(reason); }
    // For the destructor of every backend port: a port destroyed while open
    // is reported and closed, so no audio thread outlives it.
    void CloseBeforeDestruction();

    Logging::Logger logger_;

private:
    bool CloseLocked();
    bool StopLocked();
    bool AllocateBuffers(uint32_t framesPerChunk);
    void FreeBuffers();
    void ResetUnderruns() noexcept;

    Description description_;
    std::atomic<int32_t> state_{PORTSTATE_CLOSED};
    Caps caps_;
    String initFailure_;
    std::atomic<IStreamHandler*> handler_{nullptr};
    std::vector<std::vector<float>> inputBuffers_;
    std::vector<std::vector<float>> outputBuffers_;
    std::vector<float*> inputPointers_;
    std::vector<float*> outputPointers_;
    std::atomic<uint64_t> position_{0};
    std::atomic<uint64_t> endPosition_{UINT64_MAX};
    std::atomic<bool> ended_{false};
    UnderrunCounts reported_;
};

// One backend: a provider name and version and the ports it created. Ports
// are created and initialised in the constructor; the list does not change
// afterwards.
class IoProvider {
public:
    IoProvider(Logging::Channel& log, String name, String version);
    virtual ~IoProvider();
    IoProvider(const IoProvider&) = delete;
    IoProvider& operator=(const IoProvider&) = delete;

    const String& GetName() const { return name_; }
    const String& GetVersion() const { return version_; }
    const std::vector<Io*>& GetDevices() const { return devices_; }
    // nullptr when out of range.
    Io* GetDevice(size_t index) const;
    // The first device, or nullptr.
    Io* GetDefault() const;

protected:
    // Lists and owns a port.
    Io& AddDevice(std::unique_ptr<Io> device);
    // Lists a port that another provider owns.
    void AddForeignDevice(Io& device);

    Logging::Logger logger_;

private:
    String name_;
    String version_;
    std::vector<std::unique_ptr<Io>> owned_;
    std::vector<Io*> devices_;
};

// Every device of every backend named in the list setting "Audio/Backends"
// (below the host's key prefix; default ("rtaudio")), "dummy" appended when
// missing, in list order. Created and destroyed on the control thread.
class IoMaster : public IoProvider {
public:
    IoMaster(Logging::Channel& log, Config::Frontend& config, const String& keyPrefix = String());
    ~IoMaster() override;

    const std::vector<std::unique_ptr<IoProvider>>& GetProviders() const { return providers_; }
    // Index of the device with this API and identifier, -1 if there is none.
    // An empty API picks device 0 (when there is one).
    int FindDevice(const String& api, const String& id) const;

    static std::vector<String> DefaultBackends();
    // Every backend name the setting understands, and whether this build has
    // that backend.
    static const std::vector<String>& KnownBackends();
    static bool IsAvailable(const String& name);

private:
    std::unique_ptr<IoProvider> CreateProvider(const String& name, Config::Frontend& config,
                                               const String& keyPrefix);
    void LogDevices();

    Logging::Channel& log_;
    std::vector<std::unique_ptr<IoProvider>> providers_;
};

} // namespace brl::Audio
