#pragma once

#include "libbrelm/string.h"

namespace brl {

// Who the running program is. The configuration names its files and folders
// after it and answers the "Application/..." keys from it; the log file is
// named after the application short name.
struct ApplicationInfo {
    String vendorShortName;       // "brelm"
    String vendorLongName;        // "Brelm"
    String vendorDomainName;      // "brelm.org"
    String applicationShortName;  // "korvax"
    String applicationLongName;   // "Korvax"
    String applicationDomainName; // "korvax.brelm.org"
    String version;               // "0.19"
};

} // namespace brl
