#include "midi/midiiortmidi.h"

#include <exception>
#include <rtmidi/RtMidi.h>

namespace brl::Midi {

namespace {

const char* const kInputClient = "RtMidi Input Client";
const char* const kOutputClient = "RtMidi Output Client";

// With a callback installed RtMidi reports errors here instead of throwing
// them, possibly on its own threads: nothing may escape.
void OnRtmidiError(RtMidiError::Type type, const std::string& text, void* user) noexcept {
    try {
        auto* sink = static_cast<RtmidiErrorSink*>(user);
        sink->reports.fetch_add(1, std::memory_order_relaxed);
        if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) {
            BRL_LOG_WARNING(*sink->logger, sink->context, ": ", text);
        } else {
            BRL_LOG_ERROR(*sink->logger, sink->context, ": ", text);
        }
    } catch (...) {
        // Nothing can be reported; RtMidi carries on.
    }
}

String StreamName(const std::string& portName) {
    return L"RtMidi - " + FromUtf8(portName);
}

String ApiName(int api) {
    return FromUtf8(RtMidi::getApiDisplayName(static_cast<RtMidi::Api>(api)));
}

// Index of the port called `name` on a device, or -1.
template <typename Device> int FindPort(Device& device, const std::string& name) {
    const unsigned int count = device.getPortCount();
    for (unsigned int i = 0; i < count; ++i) {
        if (device.getPortName(i) == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace

// RtmidiInputStream

RtmidiInputStream::RtmidiInputStream(const Logging::Logger& logger, int api, std::string portName)
    : QueuedInputStream(StreamName(portName), logger), api_(api),
      portName_(std::move(portName)), errorSink_{&logger_, Name()} {}

RtmidiInputStream::~RtmidiInputStream() {
    Stop();
}

bool RtmidiInputStream::Open() {
    if (!OpenPump()) {
        return false;
    }
    try {
        midiIn_ = std::make_unique<RtMidiIn>(static_cast<RtMidi::Api>(api_), kInputClient);
        midiIn_->setErrorCallback(&OnRtmidiError, &errorSink_);
        const int port = FindPort(*midiIn_, portName_);
        if (port < 0) {
            BRL_LOG_ERROR(logger_, "midi input '", Name(), "' is not there any more");
        } else {
            midiIn_->ignoreTypes(true, false, false);
            midiIn_->setCallback(&RtmidiInputStream::OnMessage, this);
            midiIn_->openPort(static_cast<unsigned int>(port), "RtMidi Input");
            if (midiIn_->isPortOpen()) {
                return true;
            }
            BRL_LOG_ERROR(logger_, "opening midi input '", Name(), "' failed");
        }
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "opening midi input '", Name(), "' failed: ", e.what());
    }
    midiIn_.reset();
    ClosePump();
    return false;
}

void RtmidiInputStream::Close() {
    try {
        if (midiIn_ != nullptr) {
            midiIn_->closePort();
        }
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "closing midi input '", Name(), "' failed: ", e.what());
    }
    // Destroying the device ends its callbacks before the queue goes down.
    midiIn_.reset();
    ClosePump();
}

void RtmidiInputStream::OnMessage(double, std::vector<unsigned char>* message, void* user) noexcept {
    if (message == nullptr || message->empty() || message->size() > 3) {
        return;
    }
    auto* self = static_cast<RtmidiInputStream*>(user);
    const std::vector<unsigned char>& bytes = *message;
    const uint8_t data1 = bytes.size() > 1 ? bytes[1] : 0;
    const uint8_t data2 = bytes.size() > 2 ? bytes[2] : 0;
    self->Post(self->Stamp(bytes[0], data1, data2));
}

// RtmidiOutputStream

RtmidiOutputStream::RtmidiOutputStream(const Logging::Logger& logger, int api, std::string portName)
    : OutputStream(StreamName(portName), logger), api_(api),
      portName_(std::move(portName)), errorSink_{&logger_, Name()} {}

RtmidiOutputStream::~RtmidiOutputStream() {
    Stop();
}

bool RtmidiOutputStream::Open() {
    try {
        midiOut_ = std::make_unique<RtMidiOut>(static_cast<RtMidi::Api>(api_), kOutputClient);
        midiOut_->setErrorCallback(&OnRtmidiError, &errorSink_);
        const int port = FindPort(*midiOut_, portName_);
        if (port < 0) {
            BRL_LOG_ERROR(logger_, "midi output '", Name(), "' is not there any more");
        } else {
            midiOut_->openPort(static_cast<unsigned int>(port), "RtMidi Output");
            if (midiOut_->isPortOpen() && OpenPump()) {
                return true;
            }
            BRL_LOG_ERROR(logger_, "opening midi output '", Name(), "' failed");
        }
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "opening midi output '", Name(), "' failed: ", e.what());
    }
    midiOut_.reset();
    return false;
}

void RtmidiOutputStream::Close() {
    ClosePump();
    try {
        if (midiOut_ != nullptr) {
            midiOut_->closePort();
        }
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "closing midi output '", Name(), "' failed: ", e.what());
    }
    midiOut_.reset();
}

bool RtmidiOutputStream::Transmit(const Event& event) noexcept {
    const unsigned char bytes[3] = {event.status, event.data1, event.data2};
    try {
        midiOut_->sendMessage(bytes, static_cast<size_t>(MessageLength(event.status)));
        return true;
    } catch (const std::exception& e) {
        try {
            BRL_LOG_ERROR(logger_, "sending to midi output '", Name(), "' failed: ", e.what());
        } catch (...) {
            // The failure is reported by the return value all the same.
        }
        return false;
    }
}

// IoRtmidi

IoRtmidi::IoRtmidi(const Logging::Logger& logger) : Io(L"rtmidi", logger) {}

std::unique_ptr<Io> IoRtmidi::Create(const Logging::Logger& logger) {
    std::unique_ptr<IoRtmidi> io(new IoRtmidi(logger));
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    bool anyOpened = false;
    for (const RtMidi::Api api : apis) {
        if (api == RtMidi::RTMIDI_DUMMY) {
            continue;
        }
        RtmidiErrorSink sink{&io->logger_, L"RtMidi " + ApiName(api)};
        const String& context = sink.context;
        bool reachable = false;
        try {
            RtMidiIn probe(api, kInputClient);
            probe.setErrorCallback(&OnRtmidiError, &sink);
            const unsigned int count = probe.getPortCount();
            for (unsigned int i = 0; i < count; ++i) {
                const std::string name = probe.getPortName(i);
                if (!name.empty()) {
                    io->AddInput(std::make_unique<RtmidiInputStream>(logger, api, name));
                }
            }
            // An API that complains while it lists nothing has no server to talk to.
            reachable = count > 0 || sink.reports.load(std::memory_order_relaxed) == 0;
            anyOpened = true;
        } catch (const std::exception& e) {
            BRL_LOG_ERROR(io->logger_, context, " not available: ", e.what());
        }
        if (!reachable) {
            // Its outputs would fail the same way (RtMidi's JACK output also
            // leaks a buffer when it cannot connect).
            continue;
        }
        try {
            RtMidiOut probe(api, kOutputClient);
            probe.setErrorCallback(&OnRtmidiError, &sink);
            const unsigned int count = probe.getPortCount();
            for (unsigned int i = 0; i < count; ++i) {
                const std::string name = probe.getPortName(i);
                if (!name.empty()) {
                    io->AddOutput(std::make_unique<RtmidiOutputStream>(logger, api, name));
                }
            }
        } catch (const std::exception& e) {
            BRL_LOG_ERROR(io->logger_, context, " outputs not available: ", e.what());
        }
    }
    if (!anyOpened) {
        BRL_LOG_ERROR(io->logger_, "no RtMidi API could be opened");
        return nullptr;
    }
    return io;
}

} // namespace brl::Midi
