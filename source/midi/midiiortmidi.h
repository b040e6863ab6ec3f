#pragma once

#include "midi/midiio.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class RtMidiIn;
class RtMidiOut;

namespace brl::Midi {

// Where RtMidi's error callback of a device writes: a logger, the name of what
// the line is about, and how many reports came (any thread).
struct RtmidiErrorSink {
    Logging::Logger* logger = nullptr;
    String context;
    std::atomic<int> reports{0};
};

// An RtMidi input port as a stream named "RtMidi - " + port name. RtMidi calls
// back on its own thread (the sequencer's reader or the JACK process thread);
// the callback only stamps the message and queues it, and the stream's thread
// hands it to the handler. System exclusive messages are ignored.
class RtmidiInputStream : public QueuedInputStream {
public:
    // api: an RtMidi::Api value.
    RtmidiInputStream(const Logging::Logger& logger, int api, std::string portName);
    ~RtmidiInputStream() override;

protected:
    // Finds the port by its name (port numbers shift when devices come and go)
    // and opens it.
    bool Open() override;
    void Close() override;

private:
    static void OnMessage(double deltaSeconds, std::vector<unsigned char>* message, void* user) noexcept;

    int api_;
    std::string portName_;
    RtmidiErrorSink errorSink_;
    std::unique_ptr<RtMidiIn> midiIn_;
};

// An RtMidi output port as a stream named "RtMidi - " + port name.
class RtmidiOutputStream : public OutputStream {
public:
    RtmidiOutputStream(const Logging::Logger& logger, int api, std::string portName);
    ~RtmidiOutputStream() override;

protected:
    bool Open() override;
    void Close() override;
    bool Transmit(const Event& event) noexcept override;

private:
    int api_;
    std::string portName_;
    RtmidiErrorSink errorSink_;
    std::unique_ptr<RtMidiOut> midiOut_;
};

// The "rtmidi" backend: the ports of every RtMidi API compiled into the
// library (ALSA sequencer, JACK). An API that cannot be opened (the sequencer
// throws where there is no /dev/snd; JACK reports that no server runs) is
// logged and left out; the backend fails only when no API opens at all.
class IoRtmidi : public Io {
public:
    static std::unique_ptr<Io> Create(const Logging::Logger& logger);

private:
    explicit IoRtmidi(const Logging::Logger& logger);
};

} // namespace brl::Midi
