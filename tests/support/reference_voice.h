#pragma once

// Hand-assembled byte code for benchmarks and tests: a small assembler for the
// 98 compiled lists and the reference voice
//   note -> map note -> set -> phase -> saw oscillator -> Moog low-pass
//   -> x envelope -> x release -> (optional effect) -> output left and right,
// where the release node, fed by the voice's release flag, ends the voice.

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace korvax_reference {

constexpr int kByteCodeLists = 98;
constexpr int kMixPreList = 0;
constexpr int kMixList = 97;
constexpr int ChannelPreList(int channel) {
    return 1 + 3 * channel;
}
constexpr int VoiceList(int channel) {
    return 2 + 3 * channel;
}
constexpr int ChannelPostList(int channel) {
    return 3 + 3 * channel;
}

// Operand codes.
constexpr uint16_t kZeroBuffer = 0x7000;
constexpr uint16_t Param(int channel, int number) {
    return static_cast<uint16_t>(channel * 256 + number);
}
constexpr uint16_t Trigger(int channel, int number) {
    return static_cast<uint16_t>(8192 + channel * 256 + number);
}
constexpr uint16_t VoiceField(int field) {
    return brl::Korvax::VoiceFieldCode(static_cast<brl::Korvax::VoiceField>(field));
}
constexpr uint16_t Dynamic(int cell) {
    return static_cast<uint16_t>(0x8000 + cell);
}
constexpr uint16_t Global(int buffer) {
    return static_cast<uint16_t>(0xC000 + buffer * 128);
}

// Opcodes used here.
constexpr uint8_t kOsc = brl::Korvax::ModuleId::Osc;
constexpr uint8_t kMoogFilter = brl::Korvax::ModuleId::MoogFilter;
constexpr uint8_t kChorus = brl::Korvax::ModuleId::Chorus;
constexpr uint8_t kEnvelope = brl::Korvax::ModuleId::Envelope;
constexpr uint8_t kMul = brl::Korvax::ModuleId::Mul;
constexpr uint8_t kSet = brl::Korvax::ModuleId::Set;
constexpr uint8_t kDelay = brl::Korvax::ModuleId::Delay;
constexpr uint8_t kMapNote = brl::Korvax::ModuleId::MapNote;
constexpr uint8_t kRelease = brl::Korvax::ModuleId::Release;
constexpr uint8_t kPhase = brl::Korvax::ModuleId::Phase;
constexpr uint8_t kRMSDetect = brl::Korvax::ModuleId::RMSDetect;
constexpr uint8_t kOutput = brl::Korvax::ModuleId::Output;

// The 98 lists of a program, each an opcode sequence with its operands.
struct ByteCode {
    std::vector<uint8_t> opcodes[kByteCodeLists];
    std::vector<uint16_t> operands[kByteCodeLists];

    void Add(int list, uint8_t opcode, std::initializer_list<uint16_t> args) {
        opcodes[list].push_back(opcode);
        operands[list].insert(operands[list].end(), args);
    }

    // Joins the lists as the compiler emits them: every list ended by a 0 byte,
    // operands concatenated without separators.
    void Flatten(std::vector<uint8_t>& opcodeBytes, std::vector<uint16_t>& operandWords) const {
        opcodeBytes.clear();
        operandWords.clear();
        for (int list = 0; list < kByteCodeLists; ++list) {
            opcodeBytes.insert(opcodeBytes.end(), opcodes[list].begin(), opcodes[list].end());
            opcodeBytes.push_back(0);
            operandWords.insert(operandWords.end(), operands[list].begin(), operands[list].end());
        }
    }
};

enum class VoiceEffect { None, Delay, Chorus, RMSDetect };

// Controller numbers of the reference voice's parameters within its channel.
enum ReferenceParam : int {
    kPulseWidth = 0,
    kOscAmp,
    kOscType,
    kCutoff,
    kResonance,
    kFilterType,
    kAttack,
    kDecay,
    kSustain,
    kStartVolume,
    kAttackVolume,
    kDecayVolume,
    kSustainVolume,
    kEnvelopeReset,
    kReleaseTime,
    kEffectTime,
    kEffectAmount,
    kEffectFeedback,
    kEffectWet,
    kLfo1,
    kLfo2,
    kLfo3,
    kLfo4,
    kSpread,
    kDepth,
    kReferenceParamCount
};

// Appends the reference voice of `channel` to its voice list.
inline void AddReferenceVoice(ByteCode& code, int channel, VoiceEffect effect = VoiceEffect::None) {
    const int list = VoiceList(channel);
    const auto p = [channel](int number) { return Param(channel, number); };
    const uint16_t frequency = Dynamic(0);
    const uint16_t done = Dynamic(1);
    const uint16_t frequencyBuffer = Dynamic(0x080);
    const uint16_t phase = Dynamic(0x100);
    const uint16_t saw = Dynamic(0x180);
    const uint16_t filtered = Dynamic(0x200);
    const uint16_t envelope = Dynamic(0x280);
    const uint16_t shaped = Dynamic(0x300);
    const uint16_t fade = Dynamic(0x380);
    const uint16_t voiceOut = Dynamic(0x400);
    const uint16_t effectLeft = Dynamic(0x480);
    const uint16_t effectRight = Dynamic(0x500);

    code.Add(list, kMapNote, {frequency, VoiceField(brl::Korvax::kVoiceNote)});
    code.Add(list, kSet, {frequencyBuffer, frequency});
    code.Add(list, kPhase, {phase, frequencyBuffer, p(kPulseWidth)});
    code.Add(list, kOsc, {saw, phase, p(kOscAmp), p(kOscType)});
    code.Add(list, kMoogFilter, {filtered, saw, p(kCutoff), p(kResonance), p(kFilterType)});
    code.Add(list, kEnvelope,
             {envelope, p(kAttack), p(kDecay), p(kSustain), p(kStartVolume), p(kAttackVolume),
              p(kDecayVolume), p(kSustainVolume), p(kEnvelopeReset), done});
    code.Add(list, kMul, {shaped, filtered, envelope});
    code.Add(list, kRelease,
             {fade, VoiceField(brl::Korvax::kVoiceFinished), p(kReleaseTime),
              VoiceField(brl::Korvax::kVoiceRelease)});
    code.Add(list, kMul, {voiceOut, shaped, fade});
    switch (effect) {
    case VoiceEffect::None:
        code.Add(list, kOutput, {voiceOut, voiceOut});
        break;
    case VoiceEffect::Delay:
        code.Add(list, kDelay,
                 {effectLeft, voiceOut, p(kEffectTime), p(kEffectAmount), p(kEffectFeedback), p(kEffectWet)});
        code.Add(list, kOutput, {effectLeft, effectLeft});
        break;
    case VoiceEffect::Chorus:
        code.Add(list, kChorus,
                 {effectLeft, effectRight, voiceOut, p(kLfo1), p(kLfo2), p(kLfo3), p(kLfo4), p(kSpread),
                  p(kEffectTime), p(kDepth), p(kEffectWet)});
        code.Add(list, kOutput, {effectLeft, effectRight});
        break;
    case VoiceEffect::RMSDetect:
        code.Add(list, kRMSDetect, {effectLeft, voiceOut, p(kEffectTime)});
        code.Add(list, kOutput, {effectLeft, effectLeft});
        break;
    }
}

// Appends a bare sine voice to the voice list of `channel`: the note's pitch,
// the amplitude of controller 1 and the waveform of controller 2 (0: sine),
// controller 0 the pulse width; no envelope, so it sounds until reset.
inline void AddSineVoice(ByteCode& code, int channel) {
    const int list = VoiceList(channel);
    const uint16_t frequency = Dynamic(0);
    const uint16_t frequencyBuffer = Dynamic(0x080);
    const uint16_t phase = Dynamic(0x100);
    const uint16_t sine = Dynamic(0x180);
    code.Add(list, kMapNote, {frequency, VoiceField(brl::Korvax::kVoiceNote)});
    code.Add(list, kSet, {frequencyBuffer, frequency});
    code.Add(list, kPhase, {phase, frequencyBuffer, Param(channel, 0)});
    code.Add(list, kOsc, {sine, phase, Param(channel, 1), Param(channel, 2)});
    code.Add(list, kOutput, {sine, sine});
}

// Writes the reference voice's parameters into the value slots of `channel`:
// a saw at half amplitude, low-pass at mid cutoff, a short envelope that holds
// at a quarter, and a release of a few milliseconds.
inline void SetReferenceParameters(float* memory, int channel) {
    static constexpr float kValues[kReferenceParamCount] = {
        0.0f, 0.5f, 56.0f / 128.0f, 0.6f, 0.5f, 0.0f, 0.3f, 0.4f,  0.5f, 0.0f,  0.9921875f, 0.5f, 0.25f,
        0.0f, 0.3f, 0.4f,           0.5f, 0.5f, 0.5f, 0.1f, -0.2f, 0.3f, -0.4f, 0.5f,       0.2f};
    std::copy(kValues, kValues + kReferenceParamCount, memory + channel * 256);
}

// A synthesizer that plays its own program and applies queued note events at
// the start of each buffer, the way the event layers do.
class QueueSynth : public brl::Korvax::Synthesizer {
public:
    ~QueueSynth() override { DestroyNodeProgram(program); }

    bool Load(const ByteCode& code) {
        std::vector<uint8_t> opcodeBytes;
        std::vector<uint16_t> operandWords;
        code.Flatten(opcodeBytes, operandWords);
        return BuildNodeProgram(program, this, opcodeBytes.data(), opcodeBytes.size(), operandWords.data(),
                                operandWords.size());
    }

    // Queue a note event for the next buffer; false when the queue is full.
    bool NoteOn(int channel, int note, int velocity) { return Queue({true, channel, note, velocity}); }
    bool NoteOff(int channel, int note) { return Queue({false, channel, note, 0}); }

    brl::Korvax::NodeProgram program;
    bool playing = true; // whether AcquireProgram hands out `program`
    int ticks = 0;

protected:
    void AcquireProgram() noexcept override { currentProgram = playing ? &program : nullptr; }
    void ReleaseProgram() noexcept override { currentProgram = nullptr; }
    void DoTick() noexcept override {
        using namespace brl::Korvax;
        ++ticks;
        for (int i = 0; i < pendingCount; ++i) {
            const Event& e = pending[i];
            const float note = static_cast<float>(e.note) * 0.0078125f;
            const int base = e.channel * kStreamsPerChannel;
            if (e.on) {
                const float velocity = static_cast<float>(e.velocity) * 0.0078125f;
                memory[base + kStreamVelocity] = velocity;
                memory[base + kStreamNoteOn] = note;
                memory[kTriggerSlotBase + base + kStreamVelocity] = 1.0f;
                memory[kTriggerSlotBase + base + kStreamNoteOn] = 1.0f;
                StartNote(e.channel, note, velocity);
            } else {
                memory[base + kStreamNoteOff] = note;
                memory[kTriggerSlotBase + base + kStreamNoteOff] = 1.0f;
                ReleaseNote(e.channel, note);
            }
        }
        pendingCount = 0;
    }

private:
    struct Event {
        bool on;
        int channel;
        int note;
        int velocity;
    };
    bool Queue(const Event& e) {
        if (pendingCount == static_cast<int>(pending.size())) {
            return false;
        }
        pending[pendingCount++] = e;
        return true;
    }
    std::array<Event, 512> pending{};
    int pendingCount = 0;
};

} // namespace korvax_reference
