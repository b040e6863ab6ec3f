#pragma once

#include "libbrelm/configini.h"
#include "support/temp_dir.h"

namespace brl::testing {

// Settings read from and written to an INI file in a temporary directory.
struct IniSettings {
    TempDir dir;
    Config::IniProvider ini{dir.WideFile("config.ini"), true};
    Config::Frontend config;
    IniSettings() {
        config.AddBase(&ini);
        config.AddWrite(&ini);
    }
};

} // namespace brl::testing
