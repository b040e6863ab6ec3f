#include "korvax/korvaxnodes_internal.h"

#include "korvax/korvaxcatalogue.h"
#include "libbrelm/debug.h"

namespace brl::Korvax {

namespace {

// Operand count of every opcode: the number of pins of its catalogue record.
struct ArgumentCounts {
    int count[256] = {};
    ArgumentCounts() {
        for (int opcode = 1; opcode <= kModuleCount; ++opcode) {
            count[opcode] = PinCount(FindModule(opcode));
        }
    }
};

const ArgumentCounts& Counts() {
    static const ArgumentCounts counts;
    return counts;
}

} // namespace

int NodeArgumentCount(uint8_t opcode) {
    return Counts().count[opcode];
}

Node* InstantiateNode(uint8_t opcode, const uint16_t* operands, Synthesizer* synthesizer, int channel,
                      int voice) {
    Node* node = nullptr;
    if (opcode >= 1 && opcode <= kModuleCount) {
        node = CreateToolNode(opcode);
        if (node == nullptr) {
            node = CreateGeneratorNode(opcode);
        }
        if (node == nullptr) {
            node = CreateFilterNode(opcode);
        }
        if (node == nullptr) {
            node = CreateEffectNode(opcode);
        }
    }
    if (node == nullptr) {
        BRL_BUG("!n");
        return nullptr;
    }
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
