#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace brl::Korvax {

// The tag of the runtime's allocations, which give a null pointer instead of
// throwing. A value of its own rather than std::nothrow, so that a program that
// brings its own allocation functions (the intro player) needs nothing of the
// C++ library.
inline constexpr std::nothrow_t kNoThrow{};

// A build for size (the intro player) defines KORVAX_COMPACT. The modules then
// keep only their plain loops and leave out the copies of them that exist for
// speed (vectorisable forms, loops specialised per type); both give the same
// results, bit for bit.
#ifdef KORVAX_COMPACT
inline constexpr bool kCompact = true;
#else
inline constexpr bool kCompact = false;
#endif

// Fixed dimensions of the virtual machine.
constexpr int kSamplesPerBuffer = 128;
constexpr int kChannels = 32;
constexpr int kVoicesPerChannel = 12;
constexpr int kVoiceRecords = kChannels * kVoicesPerChannel;
constexpr int kMemorySlots = 65536;
constexpr int kStreamsPerChannel = 256;
constexpr int kVoiceFields = 16;
constexpr int kMaxNodeArgs = 16;
constexpr float kDefaultSampleRate = 96000.0f;

// Whether two 128-sample blocks share no element.
inline bool Separate(const float* a, const float* b) noexcept {
    const auto x = reinterpret_cast<uintptr_t>(a);
    const auto y = reinterpret_cast<uintptr_t>(b);
    return x + kSamplesPerBuffer * sizeof(float) <= y || y + kSamplesPerBuffer * sizeof(float) <= x;
}

// Arguments of one node may name the same or overlapping slots (two unconnected
// inputs both read the zero buffer, a hand-made program may write where it
// reads), and the result must then equal the sample-by-sample definition. A loop
// whose sample i reads only element i of each input may treat an input that is
// exactly its output as separate, and run in a form the compiler may vectorise;
// blocks that partly overlap take the plain sequential loop.
inline bool InPlaceOrSeparate(const float* out, const float* in) noexcept {
    return out == in || Separate(out, in);
}

// Areas of the slot memory with a fixed meaning.
constexpr int kValueSlotBase = 0; // channel x 256 + stream
constexpr int kValueSlotCount = 8192;
constexpr int kTriggerSlotBase = 8192;  // parallel to the value slots
constexpr int kInputBufferBase = 16384; // input buffers 0..7
constexpr int kOutputAreaBase = 18432;  // output blocks 0..7 (0 left, 1 right)
constexpr int kOutputAreaEnd = 20480;
constexpr int kOutputLeft = kOutputAreaBase;
constexpr int kOutputRight = kOutputAreaBase + kSamplesPerBuffer;
constexpr uint16_t kVoiceFieldCode = 0x5000; // argument codes 0x5000..0x500F name voice fields

// Stream numbers within a channel's 256 value slots.
constexpr int kStreamVelocity = 253;
constexpr int kStreamNoteOn = 254;
constexpr int kStreamNoteOff = 255;

// Fields of a voice record.
enum VoiceField : int {
    kVoiceTrigger = 0,
    kVoiceVelocity = 1,
    kVoiceNote = 2,
    kVoiceRelease = 4,
    kVoiceFinished = 5,
    kVoiceAge = 6,
    kVoiceActive = 7,
};

// The argument code that names field `field` of the node's own voice record.
constexpr uint16_t VoiceFieldCode(VoiceField field) {
    return static_cast<uint16_t>(kVoiceFieldCode + field);
}

// Node lists of a program.
constexpr int kNodeLists = 450;
constexpr int kListMixPre = 0;
constexpr int kListChannelPre = 1;    // + channel
constexpr int kListVoice = 33;        // + channel x 12 + voice
constexpr int kListChannelPost = 417; // + channel
constexpr int kListMix = 449;
constexpr int kCompiledLists = 98; // opcode lists in the byte code

class Synthesizer;

// One module instance of a compiled graph. Built off the audio thread; Reset and
// Render run on the audio thread and allocate, lock and throw nothing.
class Node {
public:
    virtual ~Node() = default;
    virtual void Reset() noexcept {}
    virtual void Render() noexcept {}

    // Points argument i at the slot (or voice field) that operand i names, then resets.
    void BindArguments(Synthesizer* owner, const uint16_t* operands, int channel, int voice);

    Synthesizer* synthesizer = nullptr;
    float* args[kMaxNodeArgs] = {};
    int argCount = 0;
};

// A null-terminated heap array of node pointers; the program owns lists and nodes.
using NodeList = Node**;

class VoiceRenderer;

struct NodeProgram {
    NodeList lists[kNodeLists] = {};
    // Renders channels' voices another way than one after the other (see
    // VoiceRenderer); built with the lists and owned by the program, or none.
    VoiceRenderer* voiceRenderer = nullptr;
};

// A second way to run a channel's voice lists, built with a program when the
// synthesizer has a builder (the voice lane renderer of korvax_lanes plugs in
// here; the runtime itself carries none). RenderVoices runs on the audio thread
// in place of the scalar voice loop of one channel: it renders the channel's
// sounding voices and does their bookkeeping with exactly the scalar loop's
// results, or returns false and leaves the channel to the scalar loop.
class VoiceRenderer {
public:
    virtual ~VoiceRenderer() = default;
    virtual bool RenderVoices(int channel) noexcept = 0;
};

// Builds the voice renderer of a program that BuildNodeProgram has just built
// from the byte code given; nullptr when it has nothing to offer. Runs where the
// program is built, never on the audio thread.
using VoiceRendererBuilder = VoiceRenderer* (*)(const NodeProgram& program, Synthesizer& synthesizer,
                                                const uint8_t* opcodes, size_t opcodeCount,
                                                const uint16_t* operands, size_t operandCount);

// Creates the node class of an opcode (1..48) with its arguments bound, or
// nullptr for any other opcode (reported as an internal error "!n") and when
// the memory for the node cannot be had.
Node* InstantiateNode(uint8_t opcode, const uint16_t* operands, Synthesizer* synthesizer, int channel,
                      int voice);

// Number of operands an opcode takes (0 for an opcode outside 1..48).
int NodeArgumentCount(uint8_t opcode);

} // namespace brl::Korvax

namespace brl::Korvax {

// The virtual machine: slot memory, voice records and the render loop.
// RenderBuffer runs on the audio thread; everything that builds programs runs
// elsewhere (subclasses hand programs over between buffers).
class Synthesizer {
public:
    Synthesizer();
    virtual ~Synthesizer();
    Synthesizer(const Synthesizer&) = delete;
    Synthesizer& operator=(const Synthesizer&) = delete;

    // Renders one buffer of 128 stereo samples into the output area. Audio thread.
    void RenderBuffer() noexcept;

    // Voice index 0..11 for a new note (note = MIDI note / 128); resets the voice.
    int AllocateVoice(int channel, float note) noexcept;
    // Sets release on every active voice of the channel that plays the note.
    void ReleaseNote(int channel, float note) noexcept;
    // Starts a note: ReleaseNote, AllocateVoice, then velocity, note and trigger.
    int StartNote(int channel, float note, float velocity) noexcept;
    void SetSampleRate(float rate) noexcept;
    // The builder that BuildNodeProgram asks for a voice renderer (nullptr: none,
    // every voice runs in the scalar loop). Takes effect at the next build; set it
    // on the thread that builds programs. A compact build runs every voice in the
    // scalar loop and asks no builder.
    void SetVoiceRendererBuilder(VoiceRendererBuilder builder) noexcept { voiceRendererBuilder = builder; }
    VoiceRendererBuilder GetVoiceRendererBuilder() const noexcept { return voiceRendererBuilder; }
    // Whether BuildNodeProgram commits every memory page of the nodes it creates
    // (on by default: a live synthesizer must not take page faults while it
    // renders) or leaves them to be touched on first use, which costs an offline
    // render less: a ten-second delay line mostly stays untouched. Takes effect
    // at the next build; a compact build never commits.
    void SetCommitNodeMemory(bool commit) noexcept { commitNodeMemory = commit; }
    bool CommitsNodeMemory() const noexcept { return commitNodeMemory; }

    // Builds a program from byte code: 98 zero-terminated opcode lists and their
    // operands; each voice list is instantiated 12 times. The byte code is checked
    // first; a bad one (an opcode outside 1..48, missing lists or operands) is
    // reported and leaves `program` as it was. Running out of memory while
    // building leaves `program` empty. Returns whether the program was built.
    static bool BuildNodeProgram(NodeProgram& program, Synthesizer* synthesizer, const uint8_t* opcodes,
                                 size_t opcodeCount, const uint16_t* operands, size_t operandCount);
    static void DestroyNodeProgram(NodeProgram& program);
    static void ResetNodeList(NodeList list) noexcept;

    // Parameter conversions (x in 0..1).
    int TimeToSamples(float x) const noexcept;
    float FilterFrequency(float x) const noexcept;
    float BandFrequency(float x) const noexcept;
    float LfoFrequency(float x) const noexcept;
    static float GainFull(float x) noexcept;
    static float GainCut(float x) noexcept;
    static int TypeBucket(float x) noexcept;

    // The shared random generator of the program (state zero at construction).
    float RandomRange(float lo, float hi) noexcept;

    float* Memory() noexcept { return memory; }
    const float* Memory() const noexcept { return memory; }
    float* Voice(int channel, int voice) noexcept {
        return voices + (channel * kVoicesPerChannel + voice) * kVoiceFields;
    }
    const float* Voice(int channel, int voice) const noexcept {
        return voices + (channel * kVoicesPerChannel + voice) * kVoiceFields;
    }
    float SampleRate() const noexcept { return sampleRate; }
    float InverseSampleRate() const noexcept { return inverseSampleRate; }
    NodeProgram* CurrentProgram() const noexcept { return currentProgram; }

protected:
    // Make currentProgram valid for this buffer (or leave it empty).
    virtual void AcquireProgram() noexcept = 0;
    // Set currentProgram to none.
    virtual void ReleaseProgram() noexcept = 0;
    // Apply the events that belong to this buffer.
    virtual void DoTick() noexcept = 0;

    static void RunList(NodeList list) noexcept {
        if (list != nullptr) {
            for (Node** node = list; *node != nullptr; ++node) {
                (*node)->Render();
            }
        }
    }

public:
    // The slot memory. A buffer argument reads 128 slots from its index, so a
    // guard of one buffer follows the 65536 slots: no operand can reach past it.
    alignas(64) float memory[kMemorySlots + kSamplesPerBuffer];
    // Voice records, channel-major, with the same guard behind them.
    alignas(64) float voices[kVoiceRecords * kVoiceFields + kSamplesPerBuffer];
    NodeProgram* currentProgram = nullptr;
    float sampleRate = kDefaultSampleRate;
    float inverseSampleRate = 1.0f / kDefaultSampleRate;
    uint32_t randomState = 0;
    VoiceRendererBuilder voiceRendererBuilder = nullptr;
    bool commitNodeMemory = true;
};

} // namespace brl::Korvax
