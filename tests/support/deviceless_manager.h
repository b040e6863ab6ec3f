#pragma once

#include "korvax/korvaxmanager.h"

namespace brl::testing {

// A manager without sound devices: it renders only when a test asks, at a
// position, rate and latencies the test sets. Without a log channel it logs
// nowhere.
class DevicelessManager : public Korvax::Manager {
public:
    explicit DevicelessManager(Logging::Channel* log = nullptr) : Manager(log) {}
    int64_t GetPosition() const override { return position; }
    int64_t GetSampleRate() const override { return rate; }
    int64_t GetInputLatency() const override { return inputLatency; }
    int64_t GetOutputLatency() const override { return outputLatency; }
    bool IsDeviceless() const override { return true; }
    float Slot(int channel, int number) const {
        return Memory()[channel * Korvax::kControllersPerChannel + number];
    }

    int64_t position = 0;
    int64_t rate = 96000;
    int64_t inputLatency = 0;
    int64_t outputLatency = 0;
};

} // namespace brl::testing
