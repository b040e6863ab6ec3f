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
template <int kId, class T> Node* Create() {
    if constexpr (ModuleEnabled(kId)) {
        return new (kNoThrow) T;
    } else {
        return nullptr;
    }
}

// The one place that maps a module id to its node class.
Node* CreateNode(uint8_t id) {
    using namespace Modules;
    switch (id) {
    case ModuleId::Osc:
        return Create<ModuleId::Osc, Generators::Osc>();
    case ModuleId::Distortion:
        return Create<ModuleId::Distortion, Effects::Distortion>();
    case ModuleId::MoogFilter:
        return Create<ModuleId::MoogFilter, Filters::MoogFilter>();
    case ModuleId::Chorus:
        return Create<ModuleId::Chorus, Effects::Chorus>();
    case ModuleId::Envelope:
        return Create<ModuleId::Envelope, Generators::Envelope>();
    case ModuleId::Lfo:
        return Create<ModuleId::Lfo, Generators::Lfo>();
    case ModuleId::Amp:
        return Create<ModuleId::Amp, Tools::Amp>();
    case ModuleId::Add:
        return Create<ModuleId::Add, Tools::Add>();
    case ModuleId::Mul:
        return Create<ModuleId::Mul, Tools::Mul>();
    case ModuleId::Set:
        return Create<ModuleId::Set, Tools::Set>();
    case ModuleId::Highres:
        return Create<ModuleId::Highres, Tools::Highres>();
    case ModuleId::Delay:
        return Create<ModuleId::Delay, Effects::Delay>();
    case ModuleId::MapNote:
        return Create<ModuleId::MapNote, Tools::MapNote>();
    case ModuleId::Modulate:
        return Create<ModuleId::Modulate, Tools::Modulate>();
    case ModuleId::Gain:
        return Create<ModuleId::Gain, Tools::Gain>();
    case ModuleId::Balance:
        return Create<ModuleId::Balance, Tools::Balance>();
    case ModuleId::Panning:
        return Create<ModuleId::Panning, Tools::Panning>();
    case ModuleId::Bias:
        return Create<ModuleId::Bias, Tools::Bias>();
    case ModuleId::DoubleFilter:
        return Create<ModuleId::DoubleFilter, Filters::DoubleFilter>();
    case ModuleId::SvFilter:
        return Create<ModuleId::SvFilter, Filters::SvFilter>();
    case ModuleId::KarlsenFilter:
        return Create<ModuleId::KarlsenFilter, Filters::KarlsenFilter>();
    case ModuleId::Compressor:
        return Create<ModuleId::Compressor, Effects::Compressor>();
    case ModuleId::Release:
        return Create<ModuleId::Release, Generators::Release>();
    case ModuleId::MapNoteAdvanced:
        return Create<ModuleId::MapNoteAdvanced, Tools::MapNoteAdvanced>();
    case ModuleId::SH:
        return Create<ModuleId::SH, Tools::SH>();
    case ModuleId::ExponentialEnvelope:
        return Create<ModuleId::ExponentialEnvelope, Generators::ExponentialEnvelope>();
    case ModuleId::Phase:
        return Create<ModuleId::Phase, Generators::Phase>();
    case ModuleId::Transpose:
        return Create<ModuleId::Transpose, Tools::Transpose>();
    case ModuleId::ScaleDown:
        return Create<ModuleId::ScaleDown, Tools::ScaleDown>();
    case ModuleId::ScaleUp:
        return Create<ModuleId::ScaleUp, Tools::ScaleUp>();
    case ModuleId::SyncPhase:
        return Create<ModuleId::SyncPhase, Generators::SyncPhase>();
    case ModuleId::Copy:
        return Create<ModuleId::Copy, Tools::Copy>();
    case ModuleId::Bandsplit4:
        return Create<ModuleId::Bandsplit4, Filters::Bandsplit4>();
    case ModuleId::Bandsplit8:
        return Create<ModuleId::Bandsplit8, Filters::Bandsplit8>();
    case ModuleId::Mix4:
        return Create<ModuleId::Mix4, Tools::Mix4>();
    case ModuleId::Mix8:
        return Create<ModuleId::Mix8, Tools::Mix8>();
    case ModuleId::RMSDetect:
        return Create<ModuleId::RMSDetect, Effects::RMSDetect>();
    case ModuleId::PeakDetect:
        return Create<ModuleId::PeakDetect, Effects::PeakDetect>();
    case ModuleId::MidSide:
        return Create<ModuleId::MidSide, Tools::MidSide>();
    case ModuleId::DebugNode:
        return Create<ModuleId::DebugNode, Tools::DebugNode>();
    case ModuleId::Input:
        return Create<ModuleId::Input, Tools::Input>();
    case ModuleId::Output:
        return Create<ModuleId::Output, Tools::Output>();
    case ModuleId::MapNoteHighres:
        return Create<ModuleId::MapNoteHighres, Tools::MapNoteHighres>();
    case ModuleId::Invert:
        return Create<ModuleId::Invert, Tools::Invert>();
    case ModuleId::OneMinusX:
        return Create<ModuleId::OneMinusX, Tools::OneMinusX>();
    case ModuleId::Clamp:
        return Create<ModuleId::Clamp, Tools::Clamp>();
    case ModuleId::DelaySignal:
        return Create<ModuleId::DelaySignal, Effects::DelaySignal>();
    case ModuleId::Clip:
        return Create<ModuleId::Clip, Tools::Clip>();
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
    Node* node = CreateNode(opcode);
    if (node == nullptr) {
        return nullptr; // out of memory: the program builder reports it
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
