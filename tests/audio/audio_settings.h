#pragma once

#include "libbrelm/config.h"
#include "libbrelm/configproviders.h"

#include <string>
#include <vector>

namespace brl::testing {

// A configuration frontend that answers from command-line options, as the
// program gets them ("--Audio-Backends", "fd", ...).
class CommandLineSettings {
public:
    explicit CommandLineSettings(std::vector<String> options)
        : commandLine_((options.insert(options.begin(), L"korvax"), options)) {
        frontend_.AddBase(&commandLine_);
    }
    Config::Frontend& Frontend() { return frontend_; }

private:
    Config::CommandlineProvider commandLine_;
    Config::Frontend frontend_;
};

} // namespace brl::testing
