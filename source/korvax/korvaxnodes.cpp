#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxnodes_effects.h"
#include "korvax/korvaxnodes_filters.h"
#include "korvax/korvaxnodes_generators.h"
#include "korvax/korvaxnodes_internal.h"
#include "korvax/korvaxnodes_tools.h"
#include "libbrelm/debug.h"

#include <new>

namespace brl::Korvax {

// The operands of an opcode are the pins of its module. A module that the
// build leaves out takes none, so byte code that uses it is refused like an
// unknown opcode.
int NodeArgumentCount(uint8_t opcode) {
    return ModuleEnabled(opcode) ? ModulePinCount(opcode) : 0;
}

namespace {

// The node class T of module kId, or nullptr when the build leaves the module
// out or the memory for it is not there.
template <int kId, class T> Node* Create(size_t* size) {
    if constexpr (ModuleEnabled(kId)) {
        *size = sizeof(T);
        return new (kNoThrow) T;
    } else {
        return nullptr;
    }
}

// Writes one byte of every page of an object back unchanged, so that the
// system backs each page with memory now and not at its first use.
void CommitPages(void* object, size_t size) noexcept {
    constexpr size_t kPage = 4096;
    auto* bytes = static_cast<volatile unsigned char*>(object);
    for (size_t offset = 0; offset < size; offset += kPage) {
        bytes[offset] = bytes[offset];
    }
    bytes[size - 1] = bytes[size - 1];
}

// The one place that maps a module id to its node class.
Node* CreateNode(uint8_t id, size_t* size) {
    using namespace Modules;
    switch (id) {
    case ModuleId::Osc:
        return Create<ModuleId::Osc, Generators::Osc>(size);
    case ModuleId::Distortion:
        return Create<ModuleId::Distortion, Effects::Distortion>(size);
    case ModuleId::MoogFilter:
        return Create<ModuleId::MoogFilter, Filters::MoogFilter>(size);
    case ModuleId::Chorus:
        return Create<ModuleId::Chorus, Effects::Chorus>(size);
    case ModuleId::Envelope:
        return Create<ModuleId::Envelope, Generators::Envelope>(size);
    case ModuleId::Lfo:
        return Create<ModuleId::Lfo, Generators::Lfo>(size);
    case ModuleId::Amp:
        return Create<ModuleId::Amp, Tools::Amp>(size);
    case ModuleId::Add:
        return Create<ModuleId::Add, Tools::Add>(size);
    case ModuleId::Mul:
        return Create<ModuleId::Mul, Tools::Mul>(size);
    case ModuleId::Set:
        return Create<ModuleId::Set, Tools::Set>(size);
    case ModuleId::Highres:
        return Create<ModuleId::Highres, Tools::Highres>(size);
    case ModuleId::Delay:
        return Create<ModuleId::Delay, Effects::Delay>(size);
    case ModuleId::MapNote:
        return Create<ModuleId::MapNote, Tools::MapNote>(size);
    case ModuleId::Modulate:
        return Create<ModuleId::Modulate, Tools::Modulate>(size);
    case ModuleId::Gain:
        return Create<ModuleId::Gain, Tools::Gain>(size);
    case ModuleId::Balance:
        return Create<ModuleId::Balance, Tools::Balance>(size);
    case ModuleId::Panning:
        return Create<ModuleId::Panning, Tools::Panning>(size);
    case ModuleId::Bias:
        return Create<ModuleId::Bias, Tools::Bias>(size);
    case ModuleId::DoubleFilter:
        return Create<ModuleId::DoubleFilter, Filters::DoubleFilter>(size);
    case ModuleId::SvFilter:
        return Create<ModuleId::SvFilter, Filters::SvFilter>(size);
    case ModuleId::KarlsenFilter:
        return Create<ModuleId::KarlsenFilter, Filters::KarlsenFilter>(size);
    case ModuleId::Compressor:
        return Create<ModuleId::Compressor, Effects::Compressor>(size);
    case ModuleId::Release:
        return Create<ModuleId::Release, Generators::Release>(size);
    case ModuleId::MapNoteAdvanced:
        return Create<ModuleId::MapNoteAdvanced, Tools::MapNoteAdvanced>(size);
    case ModuleId::SH:
        return Create<ModuleId::SH, Tools::SH>(size);
    case ModuleId::ExponentialEnvelope:
        return Create<ModuleId::ExponentialEnvelope, Generators::ExponentialEnvelope>(size);
    case ModuleId::Phase:
        return Create<ModuleId::Phase, Generators::Phase>(size);
    case ModuleId::Transpose:
        return Create<ModuleId::Transpose, Tools::Transpose>(size);
    case ModuleId::ScaleDown:
        return Create<ModuleId::ScaleDown, Tools::ScaleDown>(size);
    case ModuleId::ScaleUp:
        return Create<ModuleId::ScaleUp, Tools::ScaleUp>(size);
    case ModuleId::SyncPhase:
        return Create<ModuleId::SyncPhase, Generators::SyncPhase>(size);
    case ModuleId::Copy:
        return Create<ModuleId::Copy, Tools::Copy>(size);
    case ModuleId::Bandsplit4:
        return Create<ModuleId::Bandsplit4, Filters::Bandsplit4>(size);
    case ModuleId::Bandsplit8:
        return Create<ModuleId::Bandsplit8, Filters::Bandsplit8>(size);
    case ModuleId::Mix4:
        return Create<ModuleId::Mix4, Tools::Mix4>(size);
    case ModuleId::Mix8:
        return Create<ModuleId::Mix8, Tools::Mix8>(size);
    case ModuleId::RMSDetect:
        return Create<ModuleId::RMSDetect, Effects::RMSDetect>(size);
    case ModuleId::PeakDetect:
        return Create<ModuleId::PeakDetect, Effects::PeakDetect>(size);
    case ModuleId::MidSide:
        return Create<ModuleId::MidSide, Tools::MidSide>(size);
    case ModuleId::DebugNode:
        return Create<ModuleId::DebugNode, Tools::DebugNode>(size);
    case ModuleId::Input:
        return Create<ModuleId::Input, Tools::Input>(size);
    case ModuleId::Output:
        return Create<ModuleId::Output, Tools::Output>(size);
    case ModuleId::MapNoteHighres:
        return Create<ModuleId::MapNoteHighres, Tools::MapNoteHighres>(size);
    case ModuleId::Invert:
        return Create<ModuleId::Invert, Tools::Invert>(size);
    case ModuleId::OneMinusX:
        return Create<ModuleId::OneMinusX, Tools::OneMinusX>(size);
    case ModuleId::Clamp:
        return Create<ModuleId::Clamp, Tools::Clamp>(size);
    case ModuleId::DelaySignal:
        return Create<ModuleId::DelaySignal, Effects::DelaySignal>(size);
    case ModuleId::Clip:
        return Create<ModuleId::Clip, Tools::Clip>(size);
    default:
        return nullptr;
    }
}

} // namespace

Node* InstantiateNode(uint8_t opcode, const uint16_t* operands, Synthesizer* synthesizer, int channel,
                      int voice) {
    const int count = NodeArgumentCount(opcode);
    if (count == 0) {
        BRL_BUG("!n");
        return nullptr;
    }
    size_t size = 0;
    Node* node = CreateNode(opcode, &size);
    if (node == nullptr) {
        return nullptr; // out of memory: the program builder reports it
    }
    if (!kCompact && synthesizer != nullptr && synthesizer->CommitsNodeMemory()) {
        CommitPages(node, size);
    }
    node->argCount = count;
    node->BindArguments(synthesizer, operands, channel, voice);
    return node;
}

void Node::BindArguments(Synthesizer* owner, const uint16_t* operands, int channel, int voice) {
    for (float*& arg : args) {
        arg = nullptr;
    }
    synthesizer = owner;
    if (channel < 0 || channel >= kChannels || voice < 0 || voice >= kVoicesPerChannel) {
        BRL_BUG("channel or voice out of range");
        channel = 0;
        voice = 0;
    }
    const int count = argCount < kMaxNodeArgs ? argCount : kMaxNodeArgs;
    for (int i = 0; i < count; ++i) {
        const uint16_t code = operands[i];
        const uint16_t field = static_cast<uint16_t>(code - kVoiceFieldCode);
        if (field < kVoiceFields) {
            args[i] = owner->Voice(channel, voice) + field;
        } else {
            args[i] = owner->Memory() + code;
        }
    }
    Reset();
}

} // namespace brl::Korvax
