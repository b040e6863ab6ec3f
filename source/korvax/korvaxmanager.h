#pragma once

#include "korvax/korvaxeditor.h"
#include "korvax/korvaxsample.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>

namespace brl::Korvax {

// The settings a level meter is configured from, in the units the settings
// store them ("Audio/PPM/...").
struct PpmSettings {
    double peakIntegrationMs = 150.0; // the peak falls by 96 dB in this time
    double rmsIntegrationMs = 4.0;
    double dcIntegrationMs = 200.0;
    double peakFalloffRate = 200.0 / 17.0; // dB per second of the three holds
    double rmsFalloffRate = 200.0 / 17.0;
    double dcFalloffRate = 200.0 / 17.0;
    double clippingTimeoutMs = 2000.0;
};

// A peak programme meter: decaying peak, rms and dc over sliding windows, the
// three of them with falling hold values, and a clip indication that stays on
// for a while. The slow variant keeps integer running sums over two rings of
// kRingSize entries (O(1) per sample for windows up to ten seconds); the fast
// one derives rms from the peak and reports no dc.
//
// Threads: RunSlow and RunFast on the audio thread (no allocation, no lock);
// the published values from any thread; Configure while the meter is not run.
class PpmMeter {
public:
    static constexpr uint32_t kRingSize = 480000; // ten seconds at 48 kHz

    // Allocates and zeroes the rings; the configuration is the default for 96 kHz.
    PpmMeter();
    PpmMeter(const PpmMeter&) = delete;
    PpmMeter& operator=(const PpmMeter&) = delete;

    // Derives the configuration from the settings and zeroes all state. Windows
    // and the clip hold are kept within 1..kRingSize - 1 frames and decays
    // within 0..1. False (nothing changed) for a rate that is not positive.
    bool Configure(double sampleRate, const PpmSettings& settings);

    void RunSlow(const float* samples, uint32_t count) noexcept;
    void RunFast(const float* samples, uint32_t count) noexcept;

    float PeakOut() const noexcept { return peakOut.load(std::memory_order_relaxed); }
    float RmsOut() const noexcept { return rmsOut.load(std::memory_order_relaxed); }
    float DcOut() const noexcept { return dcOut.load(std::memory_order_relaxed); }
    float PeakHold() const noexcept { return peakHoldOut.load(std::memory_order_relaxed); }
    float RmsHold() const noexcept { return rmsHoldOut.load(std::memory_order_relaxed); }
    float DcHold() const noexcept { return dcHoldOut.load(std::memory_order_relaxed); }
    bool ClipOut() const noexcept { return clipOut.load(std::memory_order_relaxed); }

    float PeakDecay() const noexcept { return peakDecay; }
    int32_t RmsWindow() const noexcept { return rmsWindow; }
    int32_t DcWindow() const noexcept { return dcWindow; }
    int32_t ClipHold() const noexcept { return clipHold; }
    float PeakHoldDecay() const noexcept { return peakHoldDecay; }
    float RmsHoldDecay() const noexcept { return rmsHoldDecay; }
    float DcHoldDecay() const noexcept { return dcHoldDecay; }

private:
    void ResetState() noexcept;
    // Clip detection, write position and holds: the steps both variants share.
    void Advance(float magnitude, float rms, float dc) noexcept;
    void Publish(float rms, float dc) noexcept;

    // Zeroed pages straight from the system: the rings cost nothing until used
    // (ten meters hold 38 MB of them, which the fast meters never touch).
    struct FreeRing {
        void operator()(int32_t* ring) const noexcept;
    };
    using Ring = std::unique_ptr<int32_t[], FreeRing>;
    static Ring ZeroedRing();

    Ring squaresRing;
    Ring dcRing;
    uint32_t writePosition = 0;
    int64_t sumOfSquares = 0;
    int64_t dcSum = 0;
    float peak = 0.0f;
    uint32_t clipPosition = 0;
    float peakDecay = 0.99923277f;
    int32_t rmsWindow = 384;
    int32_t dcWindow = 19200;
    int32_t clipHold = 192000;
    float peakHoldDecay = 0.99998587f;
    float rmsHoldDecay = 0.99998587f;
    float dcHoldDecay = 0.99998587f;
    bool clip = false;
    float peakHold = 0.0f;
    float rmsHold = 0.0f;
    float dcHold = 0.0f;

    std::atomic<float> peakOut{0.0f};
    std::atomic<float> rmsOut{0.0f};
    std::atomic<float> dcOut{0.0f};
    std::atomic<float> peakHoldOut{0.0f};
    std::atomic<float> rmsHoldOut{0.0f};
    std::atomic<float> dcHoldOut{0.0f};
    std::atomic<bool> clipOut{false};
};

class Manager;

// A subscriber to the manager's notifications (the main window, the slider bank,
// the controller widgets). It names its manager when built and joins the
// manager's set with Subscribe; destroying it leaves the set. Every notification
// does nothing unless overridden.
//
// Threads: the GUI thread.
class Listener {
public:
    explicit Listener(Manager& owner);
    virtual ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Joins (or leaves) the manager's set; doing it twice changes nothing.
    void Subscribe();
    void Unsubscribe();
    bool IsSubscribed() const;
    // Null once the manager is gone.
    Manager* GetManager() const noexcept { return manager; }

    virtual void ProgramSelected() {}
    virtual void ControllerNameChanged([[maybe_unused]] int channel, [[maybe_unused]] int controller) {}
    virtual void Refresh() {}
    virtual void ControllerChanged([[maybe_unused]] int channel, [[maybe_unused]] int controller) {}

private:
    friend class Manager;
    Manager* manager;
};

// The owner of the loaded state: the patch set with its graphs and compiled
// program (through its bases), the current program selection, the input sample
// looped into the synthesizer's input, the level meters and the listeners. The
// host supplies the stream queries.
//
// Threads: the state operations, the program selection, the notifications and
// LoadInputSample on the GUI thread; FeedInputSample and the meters' RunSlow
// and RunFast on the audio thread.
class Manager : public SynthesizerEditor {
public:
    static constexpr int kOutputMeters = 2;
    static constexpr int kDebugMeters = 8;

    // Messages go to a logger named "korvax" on logTarget.
    explicit Manager(Logging::Channel* logTarget);
    // Its listeners, subscribed or not, are let go: they no longer name a manager.
    ~Manager() override;

    // Loads a patch file into the editing model. Events still queued are
    // dropped first. Whether or not the load worked, all sounds are cut and the
    // patch set is compiled and handed to the audio side; a patch set that does
    // not compile hands over the empty program, so nothing of the previous state
    // keeps playing. Returns the reader's result.
    bool LoadState(const String& path);
    // Writes the patch set (with the C headers next to it when exportHeaders is
    // set). Neither recompiles nor silences. Returns the writer's result.
    bool SaveState(const String& path, const String& version, bool exportHeaders);
    // Drops the events still queued, replaces the patch set by the empty one,
    // cuts all sounds and compiles.
    bool ClearState();

    // The program (synthesizer channel 0..31) selected in the GUI. Another index
    // is refused with a warning and the selection stays.
    bool SetCurrentProgram(int index);
    int GetCurrentProgram() const noexcept { return selectedProgram; }

    // Notifications: each calls the listener operation of every subscribed
    // listener in address order. A listener may unsubscribe (or be destroyed)
    // while it is being called; listeners that have not been called yet still
    // are, unless they left the set.
    void NotifyProgramSelected();
    // Called by the editing model for every new controller name; passes it on
    // for channels 0..31 and controllers 0..255.
    void ControllerNameChanged(int channel, int number, const String& name) override;
    // Asks every listener to refresh.
    void Update();
    void NotifyControllerChanged(int channel, int controller);

    // The host's stream: position, sample rate and latencies in frames.
    virtual int64_t GetPosition() const = 0;
    virtual int64_t GetSampleRate() const = 0;
    virtual int64_t GetInputLatency() const = 0;
    virtual int64_t GetOutputLatency() const = 0;
    virtual bool IsDeviceless() const = 0;

    // Status texts: "12ms" and " 1:02:03.004" (sign or blank, hours, minutes,
    // seconds, milliseconds). A rate that is not positive counts as nothing
    // played: "0ms" and " 0:00:00.000".
    String GetInputLatencyText() const;
    String GetOutputLatencyText() const;
    String GetPositionText() const;
    static String LatencyText(int64_t latency, int64_t sampleRate);
    static String PositionText(int64_t position, int64_t sampleRate);

    // Loads an Ogg Vorbis file, resampled to the synthesizer's sample rate, as
    // the sample looped into input buffers 0 and 1, starting at its first frame.
    // On failure the previous sample keeps playing.
    bool LoadInputSample(const String& path);
    // Frames of the loaded input sample; 0 while none is loaded.
    uint32_t InputSampleLength() const noexcept;
    // Audio thread: copies the next 128 frames of the input sample into input
    // buffers 0 (left) and 1 (right), looping. False, buffers untouched, while
    // no sample is loaded.
    bool FeedInputSample() noexcept;

    std::array<PpmMeter, kOutputMeters>& OutputMeters() noexcept { return outputMeters; }
    std::array<PpmMeter, kDebugMeters>& DebugMeters() noexcept { return debugMeters; }

private:
    friend class Listener;

    // Compiles; hands the empty program to the audio side when that fails.
    void CompileOrSilence();
    template <typename Call> void Notify(Call call);

    int selectedProgram = 0;
    // The loaded input sample and the one the audio thread reads (the same
    // object once a load is complete); feedSequence is odd while it reads.
    std::unique_ptr<Sfx::Sample> inputSample;
    std::atomic<Sfx::Sample*> playingSample{nullptr};
    std::atomic<uint32_t> feedSequence{0};
    std::set<Listener*> listeners;
    std::set<Listener*> members; // every listener naming this manager, subscribed or not
    std::array<PpmMeter, kOutputMeters> outputMeters;
    std::array<PpmMeter, kDebugMeters> debugMeters;
};

} // namespace brl::Korvax
