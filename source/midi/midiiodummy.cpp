#include "midi/midiiodummy.h"

namespace brl::Midi {

namespace {

class DummyInput : public InputStream {
public:
    explicit DummyInput(const Logging::Logger& logger) : InputStream(L"dummy device", logger) {}
    ~DummyInput() override { Stop(); }

protected:
    bool Open() override { return true; }
    void Close() override {}
};

class DummyOutput : public OutputStream {
public:
    explicit DummyOutput(const Logging::Logger& logger) : OutputStream(L"dummy device", logger) {}
    ~DummyOutput() override { Stop(); }

protected:
    bool Open() override { return OpenPump(); }
    void Close() override { ClosePump(); }
    bool Transmit(const Event&) noexcept override { return true; }
};

} // namespace

IoDummy::IoDummy(const Logging::Logger& logger) : Io(L"dummy", logger) {
    AddInput(std::make_unique<DummyInput>(logger));
    AddOutput(std::make_unique<DummyOutput>(logger));
}

} // namespace brl::Midi
