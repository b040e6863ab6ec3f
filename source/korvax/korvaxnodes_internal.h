#pragma once

#include "korvax/korvaxsynth.h"

#include <cstdint>
#include <initializer_list>

namespace brl::Korvax {

// Whether the node factory builds module `id`. A size-limited player defines
// KORVAX_USED_MODULES as the ids its program uses (for example "1, 3, 42"); the
// other modules are then never created and their code drops out of the build.
// Without the definition every module is built.
constexpr bool ModuleEnabled(int id) {
#ifdef KORVAX_USED_MODULES
    for (int used : {KORVAX_USED_MODULES}) {
        if (used == id) {
            return true;
        }
    }
    return false;
#else
    static_cast<void>(id);
    return true;
#endif
}

} // namespace brl::Korvax
