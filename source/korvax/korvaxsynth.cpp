#include "korvax/korvaxsynth.h"

#include "korvax/korvaxmath.h"
#include "korvax/korvaxnotes.h"
#include "libbrelm/debug.h"

#include <cmath>
#include <cstring>
#include <new>

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
#include <xmmintrin.h>
#define KORVAX_HAVE_MXCSR 1
#endif

namespace brl::Korvax {

namespace {

constexpr float kNoteEpsilon = 7.8125e-5f; // 1/12800: notes closer than this are the same note

// Sets the flush-to-zero bit (MXCSR bit 15) for the calling thread while in
// scope and restores the previous control word afterwards.
class FlushToZeroScope {
public:
    FlushToZeroScope() noexcept {
#ifdef KORVAX_HAVE_MXCSR
        saved = _mm_getcsr();
        _mm_setcsr(saved | 0x8000u);
#endif
    }
    ~FlushToZeroScope() {
#ifdef KORVAX_HAVE_MXCSR
        _mm_setcsr(saved);
#endif
    }
    FlushToZeroScope(const FlushToZeroScope&) = delete;
    FlushToZeroScope& operator=(const FlushToZeroScope&) = delete;

private:
#ifdef KORVAX_HAVE_MXCSR
    unsigned int saved = 0;
#endif
};

bool SameNote(float a, float b) noexcept {
    return std::fabs(a - b) <= kNoteEpsilon;
}

// The stealing rule: whether candidate voice `cand` replaces the current choice.
bool TakeCandidate(const float* cur, const float* cand, float note) noexcept {
    if (cur[kVoiceActive] == 0.0f) {
        return false;
    }
    if (cand[kVoiceActive] == 0.0f) {
        return true;
    }
    const bool curReleased = cur[kVoiceRelease] != 0.0f;
    const bool candReleased = cand[kVoiceRelease] != 0.0f;
    if (!curReleased && candReleased) {
        return true;
    }
    if (curReleased && !candReleased) {
        return false;
    }
    if (curReleased && candReleased) {
        return cand[kVoiceAge] > cur[kVoiceAge];
    }
    const bool curSame = SameNote(cur[kVoiceNote], note);
    const bool candSame = SameNote(cand[kVoiceNote], note);
    if (candSame && !curSame) {
        return true;
    }
    if (curSame && !candSame) {
        return false;
    }
    return cand[kVoiceAge] > cur[kVoiceAge];
}

// Internal errors of the program builder go to the process log channel.
brl::Debug::LoggingChannel& BuilderLog() {
    static brl::Debug::LoggingChannel channel;
    return channel;
}

// Asks the synthesizer's builder (if any) for the voice renderer of a program
// just built; false when the builder ran out of memory.
bool BuildVoiceRenderer(NodeProgram& program, Synthesizer* synthesizer, const uint8_t* opcodes,
                        size_t opcodeCount, const uint16_t* operands, size_t operandCount) {
    if (kCompact || synthesizer == nullptr || synthesizer->voiceRendererBuilder == nullptr) {
        return true;
    }
#if defined(__cpp_exceptions)
    // A builder that runs out of memory may throw; it must not leave here.
    try {
        program.voiceRenderer = synthesizer->voiceRendererBuilder(program, *synthesizer, opcodes, opcodeCount,
                                                                  operands, operandCount);
    } catch (const std::bad_alloc&) {
        return false;
    }
#else
    program.voiceRenderer = synthesizer->voiceRendererBuilder(program, *synthesizer, opcodes, opcodeCount,
                                                              operands, operandCount);
#endif
    return true;
}

} // namespace

Synthesizer::Synthesizer() {
    std::memset(memory, 0, sizeof(memory));
    std::memset(voices, 0, sizeof(voices));
    sampleRate = kDefaultSampleRate;
    inverseSampleRate = 1.0f / kDefaultSampleRate;
    PrepareNoteTables();
}

Synthesizer::~Synthesizer() = default;

void Synthesizer::RenderBuffer() noexcept {
    AcquireProgram();
    {
        FlushToZeroScope flushToZero;
        std::memset(memory + kTriggerSlotBase, 0, sizeof(float) * kValueSlotCount);
        std::memset(memory + kOutputAreaBase, 0, sizeof(float) * (kOutputAreaEnd - kOutputAreaBase));
        DoTick();
        if (NodeProgram* program = currentProgram) {
            RunList(program->lists[kListMixPre]);
            for (int channel = 0; channel < kChannels; ++channel) {
                RunList(program->lists[kListChannelPre + channel]);
                VoiceRenderer* lanes = program->voiceRenderer;
                if (!kCompact && lanes != nullptr && lanes->RenderVoices(channel)) {
                    RunList(program->lists[kListChannelPost + channel]);
                    continue;
                }
                float* record = voices + channel * kVoicesPerChannel * kVoiceFields;
                NodeList* voiceLists = program->lists + kListVoice + channel * kVoicesPerChannel;
                for (int voice = 0; voice < kVoicesPerChannel; ++voice, record += kVoiceFields) {
                    if (!(record[kVoiceActive] > 0.0f)) {
                        continue;
                    }
                    RunList(voiceLists[voice]);
                    record[kVoiceTrigger] = 0.0f;
                    record[kVoiceAge] += 1.0f;
                    if (record[kVoiceFinished] > 0.0f) {
                        record[kVoiceActive] = 0.0f;
                    }
                }
                RunList(program->lists[kListChannelPost + channel]);
            }
            RunList(program->lists[kListMix]);
        }
    }
    ReleaseProgram();
}

int Synthesizer::AllocateVoice(int channel, float note) noexcept {
    if (channel < 0 || channel >= kChannels) {
        BRL_BUG("channel out of range");
        return 0;
    }
    int chosen = 0;
    for (int voice = 1; voice < kVoicesPerChannel; ++voice) {
        if (TakeCandidate(Voice(channel, chosen), Voice(channel, voice), note)) {
            chosen = voice;
        }
    }
    float* record = Voice(channel, chosen);
    std::memset(record, 0, sizeof(float) * kVoiceFields);
    record[kVoiceActive] = 1.0f;
    if (currentProgram != nullptr) {
        ResetNodeList(currentProgram->lists[kListVoice + channel * kVoicesPerChannel + chosen]);
    }
    return chosen;
}

void Synthesizer::ReleaseNote(int channel, float note) noexcept {
    if (channel < 0 || channel >= kChannels) {
        BRL_BUG("channel out of range");
        return;
    }
    for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
        float* record = Voice(channel, voice);
        if (record[kVoiceActive] > 0.0f && SameNote(record[kVoiceNote], note)) {
            record[kVoiceRelease] = 1.0f;
        }
    }
}

int Synthesizer::StartNote(int channel, float note, float velocity) noexcept {
    if (channel < 0 || channel >= kChannels) {
        BRL_BUG("channel out of range");
        return 0;
    }
    ReleaseNote(channel, note);
    const int voice = AllocateVoice(channel, note);
    float* record = Voice(channel, voice);
    record[kVoiceVelocity] = velocity;
    record[kVoiceNote] = note;
    record[kVoiceTrigger] = 1.0f;
    return voice;
}

void Synthesizer::SetSampleRate(float rate) noexcept {
    sampleRate = rate;
    inverseSampleRate = 1.0f / rate;
}

bool Synthesizer::BuildNodeProgram(NodeProgram& program, Synthesizer* synthesizer, const uint8_t* opcodes,
                                   size_t opcodeCount, const uint16_t* operands, size_t operandCount) {
    // Check the whole byte code before anything is destroyed or created.
    size_t position = 0;
    size_t operandsNeeded = 0;
    for (int list = 0; list < kCompiledLists; ++list) {
        for (;;) {
            if (opcodes == nullptr || position >= opcodeCount) {
                BRL_BUG("byte code holds fewer than 98 opcode lists");
                return false;
            }
            const uint8_t opcode = opcodes[position++];
            if (opcode == 0) {
                break;
            }
            const int count = NodeArgumentCount(opcode);
            if (count == 0) {
                InstantiateNode(opcode, nullptr, synthesizer, 0, 0); // reports the opcode, creates nothing
                return false;
            }
            operandsNeeded += static_cast<size_t>(count);
        }
    }
    if (operandsNeeded > operandCount || (operandsNeeded > 0 && operands == nullptr)) {
        BRL_BUG("byte code has fewer operands than its opcodes take");
        return false;
    }

    DestroyNodeProgram(program);

    // Allocation failures come back as null pointers: the runtime is built
    // without exceptions where it has to be small.
    size_t opcodeCursor = 0;
    size_t operandCursor = 0;
    const auto buildList = [&](int index, int channel, int voice) {
        size_t count = 0;
        while (opcodes[opcodeCursor + count] != 0) {
            ++count;
        }
        NodeList list = new (kNoThrow) Node*[count + 1];
        if (list == nullptr) {
            return false;
        }
        for (size_t i = 0; i <= count; ++i) {
            list[i] = nullptr;
        }
        program.lists[index] = list;
        for (size_t i = 0; i < count; ++i) {
            Node* node = InstantiateNode(opcodes[opcodeCursor + i], operands + operandCursor, synthesizer,
                                         channel, voice);
            if (node == nullptr) {
                return false;
            }
            list[i] = node;
            operandCursor += static_cast<size_t>(node->argCount);
        }
        opcodeCursor += count + 1;
        return true;
    };

    bool built = buildList(kListMixPre, 0, 0);
    for (int channel = 0; built && channel < kChannels; ++channel) {
        built = buildList(kListChannelPre + channel, channel, 0);
        const size_t voiceOpcodes = opcodeCursor;
        const size_t voiceOperands = operandCursor;
        for (int voice = 0; built && voice < kVoicesPerChannel; ++voice) {
            opcodeCursor = voiceOpcodes;
            operandCursor = voiceOperands;
            built = buildList(kListVoice + channel * kVoicesPerChannel + voice, channel, voice);
        }
        built = built && buildList(kListChannelPost + channel, channel, 0);
    }
    built = built && buildList(kListMix, 0, 0) &&
            BuildVoiceRenderer(program, synthesizer, opcodes, opcodeCount, operands, operandCount);
    if (!built) {
        DestroyNodeProgram(program);
        BRL_LOG_ERROR(BuilderLog(), "not enough memory for the node program");
        return false;
    }
    return true;
}

void Synthesizer::DestroyNodeProgram(NodeProgram& program) {
    delete program.voiceRenderer;
    program.voiceRenderer = nullptr;
    for (NodeList& list : program.lists) {
        if (list != nullptr) {
            for (Node** node = list; *node != nullptr; ++node) {
                delete *node;
            }
            delete[] list;
            list = nullptr;
        }
    }
}

void Synthesizer::ResetNodeList(NodeList list) noexcept {
    if (list != nullptr) {
        for (Node** node = list; *node != nullptr; ++node) {
            (*node)->Reset();
        }
    }
}

int Synthesizer::TimeToSamples(float x) const noexcept {
    return TruncToInt(sampleRate * (0.1f * Pow(50000.0f, x)) * 0.001f);
}

float Synthesizer::FilterFrequency(float x) const noexcept {
    return Exp2(x * 10.666667f - 5.75f) * 880.0f * inverseSampleRate;
}

float Synthesizer::BandFrequency(float x) const noexcept {
    return Exp2(x * 10.666667f - 10.666667f) * 44100.0f * inverseSampleRate;
}

float Synthesizer::LfoFrequency(float x) const noexcept {
    return Exp2(x * 10.666667f - 14.75f) * 112640.0f * inverseSampleRate;
}

float Synthesizer::GainFull(float x) noexcept {
    return Pow(10.0f, (x - 0.5f) * 3.2f);
}

float Synthesizer::GainCut(float x) noexcept {
    return Pow(10.0f, (x - 1.0f) * 1.6f);
}

int Synthesizer::TypeBucket(float x) noexcept {
    const int n = TruncToInt(x * 128.0f);
    if (n < 17) {
        return 16;
    }
    if (n < 33) {
        return 32;
    }
    if (n < 49) {
        return 48;
    }
    if (n < 65) {
        return 64;
    }
    if (n < 81) {
        return 80;
    }
    if (n < 97) {
        return 96;
    }
    return 127;
}

float Synthesizer::RandomRange(float lo, float hi) noexcept {
    uint32_t x = randomState;
    x = x * 214013u + 2531011u;
    const uint32_t x1 = x;
    x = x * 214013u + 2531011u;
    const uint32_t x2 = x;
    x = x * 214013u + 2531011u;
    const uint32_t x3 = x;
    randomState = x;
    const uint32_t r = (((x3 >> 16) & 0x3u) << 30) | (((x2 >> 16) & 0x7FFFu) << 15) | ((x1 >> 16) & 0x7FFFu);
    return lo + static_cast<float>(r) * (hi - lo) * 0x1p-32f;
}

} // namespace brl::Korvax
