#pragma once

#include "korvax/korvaxpatchset.h"
#include "korvax/korvaxsynth.h"
#include "libbrelm/logging.h"

#include <array>
#include <cstdint>
#include <vector>

// The graph compiler: orders every graph of a patch set producers first, gives
// every pin a position in the synthesizer's float memory and emits one instruction
// per module node.
//
// Threads: the caller's thread (the editing model's); one compile at a time per
// compiler. The compiler touches only the patch set and its own state.
namespace brl::Korvax {

// Operand values with a fixed meaning.
constexpr uint16_t kVoiceVolumePosition = VoiceFieldCode(kVoiceVelocity);   // voice-parameter output "volume"
constexpr uint16_t kVoiceNotePosition = VoiceFieldCode(kVoiceNote);         // voice-parameter output "note"
constexpr uint16_t kVoiceOffPosition = VoiceFieldCode(kVoiceRelease);       // voice-parameter output "off"
constexpr uint16_t kVoiceFinishedPosition = VoiceFieldCode(kVoiceFinished); // written through input "fin"
constexpr uint16_t kZeroBufferPosition = 0x7000; // always zero; no instruction writes it
constexpr uint16_t kDynamicBase = 0x8000;        // cells of SynthesizerMemory
constexpr uint16_t kGlobalBufferBase = 0xC000;   // global buffer b at + b x 128
constexpr int kDynamicCells = 16384;

// What the runtime executes: 98 opcode lists, each ended by a 0 byte, in the fixed
// graph order, and the operands of all instructions concatenated in the same order.
struct CompiledProgram {
    std::vector<uint8_t> opcodes;
    std::vector<uint16_t> operands;
};

// One module node: its module id and one operand per catalogue pin slot, in slot order.
struct Instruction {
    uint8_t opcode = 0;
    int operandCount = 0;
    std::array<uint16_t, kModuleUsablePins> operands{};
};

// The cell allocator of one compile: 16384 cells of the dynamic area, all free after
// Clear. Failures are internal-error reports.
class SynthesizerMemory {
public:
    SynthesizerMemory() { Clear(); }
    void Clear() noexcept;

    // First cell of `size` free cells starting at a multiple of `size`; 0 (with a
    // report) when size < 1 or no such range exists.
    int Alloc(int size);
    // Frees a range that is wholly in use; false (with a report) otherwise.
    bool Free(int position, int size);

    bool IsUsed(int cell) const noexcept { return cell >= 0 && cell < kDynamicCells && cells[cell] != 0; }
    // Whether an Alloc failed since the last Clear.
    bool AllocFailed() const noexcept { return allocFailed; }

private:
    std::array<uint8_t, kDynamicCells> cells;
    bool allocFailed = false;
};

class SynthCompiler {
public:
    // Every message of the compiler goes to `log` (the editing model's "korvax" logger).
    explicit SynthCompiler(Logging::Channel& logChannel) : logger(logChannel) {}

    // Compiles all 98 graphs. False on a graph error, which is logged as a warning
    // naming the graph; `out` is then left as it was.
    bool CompileGraph(PatchSet& patches, CompiledProgram& out);

    // Checks that a graph can be compiled safely and orders it: on success `ordered`
    // holds every node, producers before consumers. False (with a warning saying
    // why, but not the graph error line) for a damaged graph or a cycle.
    bool OrderGraph(const vergl::CVergl& graph, std::vector<vergl::CNode*>& ordered);
    // Assigns the memory positions of one node's pins.
    void AllocMem(vergl::CNode& node, SynthesizerMemory& memory);
    // The instruction of a module node.
    Instruction GenerateOpcode(const vergl::CNode& node) const;

private:
    // The next node of the ordering that OrderGraph runs on `graph`: the first node
    // in node order that is not done and whose output links all lead to done nodes;
    // nullptr when none is left.
    vergl::CNode* FindNextNode(const vergl::CVergl& graph);
    bool CheckGraph(const vergl::CVergl& graph);
    bool CheckNode(const vergl::CNode& node);
    bool CheckLink(const vergl::CLink& link);
    void StartOrdering(const vergl::CVergl& graph);
    void MarkDone(vergl::CNode& node);

    Logging::Channel& logger;
    SynthesizerMemory memory;
    std::array<std::vector<vergl::CNode*>, kGraphCount> orderedLists;
    // Ordering state: the graph being ordered and a min-heap of the order indices of
    // the nodes that qualify.
    const vergl::CVergl* orderingGraph = nullptr;
    std::vector<int32_t> readyNodes;
    std::vector<uint8_t> opcodes;
    std::vector<uint16_t> operands;
};

} // namespace brl::Korvax
