#pragma once

#include "korvax/korvaxsynth.h"

#include <cstdint>
#include <initializer_list>

namespace brl::Korvax {

// Each module family creates the node classes of its own opcodes, with argCount
// set and state not yet reset, or returns nullptr for an opcode it does not own.
// InstantiateNode asks the families in turn and then binds the arguments.
Node* CreateToolNode(uint8_t opcode);      // tool modules
Node* CreateGeneratorNode(uint8_t opcode); // phases, oscillators, LFO, envelopes, release
Node* CreateFilterNode(uint8_t opcode);    // filters and band splitters
Node* CreateEffectNode(uint8_t opcode);    // distortion, delays, chorus, compressor, detectors

// Whether the module families build module `id`. A size-limited player defines
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
