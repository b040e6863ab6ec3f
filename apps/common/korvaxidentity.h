#pragma once

#include "libbrelm/application.h"

namespace brl::Korvax {

// Who the Korvax programs are: the configuration and the log file are named after it.
inline ApplicationInfo KorvaxIdentity() {
    ApplicationInfo info;
    info.vendorShortName = L"brelm";
    info.vendorLongName = L"Brelm";
    info.vendorDomainName = L"brelm.org";
    info.applicationShortName = L"korvax";
    info.applicationLongName = L"korvax";
    info.applicationDomainName = L"korvax";
    info.version = L"";
    return info;
}

// The build description, also written into saved patch files.
inline const wchar_t* KorvaxBuild() {
    return L"core v19";
}

} // namespace brl::Korvax
