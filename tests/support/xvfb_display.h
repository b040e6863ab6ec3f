#pragma once

#include "support/sound_servers.h"
#include "support/temp_dir.h"

#include <string>

namespace brl::testing {

// A private virtual X server for the life of the object, so that window tests
// neither need nor disturb another display (their simulated mouse moves the
// server's one pointer). Sets DISPLAY while it runs and restores it after.
class XvfbDisplay {
public:
    XvfbDisplay(int width, int height);
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // False when no server could be started (no Xvfb program, or it failed).
    bool Running() const { return !name_.empty(); }
    // ":N", or empty.
    const std::string& Name() const { return name_; }
    // Why it is not running.
    const std::string& Error() const { return error_; }

private:
    TempDir dir_;
    ChildProcess process_;
    std::string name_;
    std::string error_;
    std::string previous_;
    bool hadPrevious_ = false;
};

} // namespace brl::testing
