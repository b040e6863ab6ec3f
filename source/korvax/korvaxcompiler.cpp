#include "korvax/korvaxcompiler.h"

#include "korvax/korvaxheaders.h"
#include "libbrelm/debug.h"

#include <algorithm>
#include <functional>

namespace brl::Korvax {

using vergl::CGraphPinList;
using vergl::CLink;
using vergl::CNode;
using vergl::CPin;
using vergl::CVergl;

namespace {

CPin* OtherEnd(const CLink* link, const CPin* pin) noexcept {
    return link->Pin1() == pin ? link->Pin2() : link->Pin1();
}

int KindCount(const NodeRecord& record) noexcept {
    return static_cast<int>(record.module) + static_cast<int>(record.buffer) +
           static_cast<int>(record.memory);
}

bool MatchesDataType(const PinRecord& record, PinDataType type) noexcept {
    return record.value == (type == PinDataType::Value) && record.buffer == (type == PinDataType::Buffer);
}

int CellsOf(const PinRecord& record) noexcept {
    return record.value ? 1 : kSamplesPerBuffer;
}

void ResetPins(const CGraphPinList& pins) noexcept {
    for (CPin* pin : pins) {
        PinRecord* record = GetPinRecord(pin);
        record->memorypos = -1;
        record->allocated = false;
        record->refs = 0;
    }
}

} // namespace

void SynthesizerMemory::Clear() noexcept {
    cells.fill(0);
    allocFailed = false;
}

int SynthesizerMemory::Alloc(int size) {
    if (size < 1) {
        BRL_BUG("Synth alloc failed 1.");
        allocFailed = true;
        return 0;
    }
    for (int64_t position = 0; position < kDynamicCells; position += size) {
        if (position + size > kDynamicCells) {
            continue;
        }
        const auto first = cells.begin() + position;
        const auto last = first + size;
        if (std::find(first, last, uint8_t{1}) == last) {
            std::fill(first, last, uint8_t{1});
            return static_cast<int>(position);
        }
    }
    BRL_BUG("Synth alloc failed 2.");
    allocFailed = true;
    return 0;
}

bool SynthesizerMemory::Free(int position, int size) {
    if (size < 1) {
        BRL_BUG("Synth free failed 1.");
        return false;
    }
    // A range that starts before the map is as far outside it as one that ends after it.
    if (position < 0 || static_cast<int64_t>(position) + size > kDynamicCells) {
        BRL_BUG("Synth free failed 2.");
        return false;
    }
    const auto first = cells.begin() + position;
    const auto last = first + size;
    if (std::find(first, last, uint8_t{0}) != last) {
        BRL_BUG("Synth free failed 3.");
        return false;
    }
    std::fill(first, last, uint8_t{0});
    return true;
}

bool SynthCompiler::CompileGraph(PatchSet& patches, CompiledProgram& out) {
    for (int graphIndex = 0; graphIndex < kGraphCount; ++graphIndex) {
        if (!OrderGraph(*patches.AllGraphs()[static_cast<size_t>(graphIndex)],
                        orderedLists[static_cast<size_t>(graphIndex)])) {
            BRL_LOG_WARNING(logger, GraphErrorText(graphIndex));
            return false;
        }
    }

    memory.Clear();
    for (int graphIndex = 0; graphIndex < kGraphCount; ++graphIndex) {
        for (CNode* node : orderedLists[static_cast<size_t>(graphIndex)]) {
            AllocMem(*node, memory);
        }
        // Handing out cell 0 again would make two outputs share it: refuse instead.
        if (memory.AllocFailed()) {
            BRL_LOG_WARNING(logger, "out of synthesizer memory: more than ", kDynamicCells,
                            " cells in use at once");
            BRL_LOG_WARNING(logger, GraphErrorText(graphIndex));
            return false;
        }
    }

    opcodes.clear();
    operands.clear();
    for (const auto& ordered : orderedLists) {
        for (const CNode* node : ordered) {
            if (!GetNodeRecord(node)->module) {
                continue;
            }
            const Instruction instruction = GenerateOpcode(*node);
            opcodes.push_back(instruction.opcode);
            operands.insert(operands.end(), instruction.operands.begin(),
                            instruction.operands.begin() + instruction.operandCount);
        }
        opcodes.push_back(0);
    }

    PrintBytecode(logger, opcodes);
    BRL_LOG_INFO(logger, "compile ok. (", "bytecode: ", opcodes.size(), ", ",
                 "parameters: ", operands.size() * sizeof(uint16_t), ", ",
                 "parameter values: ", operands.size(), ")");
    out.opcodes.assign(opcodes.begin(), opcodes.end());
    out.operands.assign(operands.begin(), operands.end());
    return true;
}

bool SynthCompiler::OrderGraph(const CVergl& graph, std::vector<CNode*>& ordered) {
    ordered.clear();
    if (!CheckGraph(graph)) {
        return false;
    }
    StartOrdering(graph);
    while (CNode* node = FindNextNode(graph)) {
        for (const CPin* pin : node->Inputs()) {
            if (pin->HasNoLinks() && !GetPinRecord(pin)->value) {
                BRL_LOG_TRACE(logger, "unconnected input buffer, using zeroes");
            }
        }
        // Each choice goes in front of the earlier ones: collected in pick order
        // here and turned round below.
        ordered.push_back(node);
        ResetPins(node->Inputs());
        ResetPins(node->Outputs());
        MarkDone(*node);
    }
    orderingGraph = nullptr;
    if (ordered.size() != graph.Nodes().Count()) {
        ordered.clear();
        return false;
    }
    std::reverse(ordered.begin(), ordered.end());
    return true;
}

void SynthCompiler::StartOrdering(const CVergl& graph) {
    orderingGraph = &graph;
    readyNodes.clear();
    int32_t index = 0;
    for (CNode* node : graph.Nodes()) {
        NodeRecord* record = GetNodeRecord(node);
        record->done = false;
        record->orderIndex = index;
        record->unfinishedSuccessors = 0;
        for (const CPin* pin : node->Outputs()) {
            record->unfinishedSuccessors += static_cast<int32_t>(pin->Links().Count());
        }
        if (record->unfinishedSuccessors == 0) {
            readyNodes.push_back(index);
            std::push_heap(readyNodes.begin(), readyNodes.end(), std::greater<>());
        }
        ++index;
    }
}

CNode* SynthCompiler::FindNextNode(const CVergl& graph) {
    // The ready nodes are exactly those a scan in node order would accept, so the
    // smallest order index is the first node such a scan finds.
    if (&graph != orderingGraph || readyNodes.empty()) {
        return nullptr;
    }
    std::pop_heap(readyNodes.begin(), readyNodes.end(), std::greater<>());
    const int32_t index = readyNodes.back();
    readyNodes.pop_back();
    return graph.Nodes().At(static_cast<size_t>(index));
}

void SynthCompiler::MarkDone(CNode& node) {
    GetNodeRecord(&node)->done = true;
    for (int location = vergl::kLocationTop; location <= vergl::kLocationRight; ++location) {
        for (const CPin* pin : node.Pins(location)) {
            for (const CLink* link : pin->Links()) {
                const CPin* other = OtherEnd(link, pin);
                if (other->Location() != vergl::kLocationOutput) {
                    continue;
                }
                NodeRecord* producer = GetNodeRecord(other->Node());
                if (--producer->unfinishedSuccessors == 0 && !producer->done) {
                    readyNodes.push_back(producer->orderIndex);
                    std::push_heap(readyNodes.begin(), readyNodes.end(), std::greater<>());
                }
            }
        }
    }
}

bool SynthCompiler::CheckGraph(const CVergl& graph) {
    for (const CNode* node : graph.Nodes()) {
        if (!CheckNode(*node)) {
            return false;
        }
    }
    for (const CLink* link : graph.Links()) {
        if (!CheckLink(*link)) {
            return false;
        }
    }
    return true;
}

bool SynthCompiler::CheckNode(const CNode& node) {
    const NodeRecord* record = GetNodeRecord(&node);
    if (record == nullptr) {
        BRL_LOG_WARNING(logger, "node ", node.Id(), " has no record");
        return false;
    }
    if (KindCount(*record) != 1) {
        BRL_LOG_WARNING(logger, "node ", node.Id(), " is not one of module, buffer or voice parameters");
        return false;
    }
    for (const CGraphPinList* pins : {&node.Inputs(), &node.Outputs()}) {
        for (const CPin* pin : *pins) {
            if (GetPinRecord(pin) == nullptr) {
                BRL_LOG_WARNING(logger, "pin ", pin->Id(), " of node ", node.Id(), " has no record");
                return false;
            }
        }
    }
    if (record->buffer && (record->number < 0 || record->number >= kGlobalBufferCount)) {
        BRL_LOG_WARNING(logger, "buffer number ", record->number, " out of range 0...",
                        kGlobalBufferCount - 1);
        return false;
    }
    if (record->memory && node.Outputs().Count() > 3) {
        BRL_LOG_WARNING(logger, "voice parameter node ", node.Id(), " has ", node.Outputs().Count(),
                        " outputs, at most 3");
        return false;
    }
    if (!record->module) {
        return true;
    }
    const ModuleSpec& module = FindModule(record->number);
    if (module.id == 0) {
        BRL_LOG_WARNING(logger, "unknown module id ", record->number, " in node ", node.Id());
        return false;
    }
    const size_t inputs = static_cast<size_t>(InputCount(module));
    const size_t outputs = static_cast<size_t>(OutputCount(module));
    if (node.Inputs().Count() != inputs || node.Outputs().Count() != outputs) {
        BRL_LOG_WARNING(logger, "module '", module.shortName, "' in node ", node.Id(), " has ",
                        node.Inputs().Count(), " inputs and ", node.Outputs().Count(), " outputs instead of ",
                        inputs, " and ", outputs);
        return false;
    }
    size_t nextInput = 0;
    size_t nextOutput = 0;
    for (int slot = 0; slot < PinCount(module); ++slot) {
        const PinSpec* catalogPin = &module.pins[slot];
        const bool input = catalogPin->direction == PinDirection::Input;
        const CPin* pin = input ? node.Inputs().At(nextInput++) : node.Outputs().At(nextOutput++);
        if (!MatchesDataType(*GetPinRecord(pin), catalogPin->dataType)) {
            BRL_LOG_WARNING(logger, "pin '", catalogPin->name, "' of module '", module.shortName, "' in node ",
                            node.Id(), " is not a ", PinDataTypeName(static_cast<int>(catalogPin->dataType)),
                            " pin");
            return false;
        }
    }
    return true;
}

bool SynthCompiler::CheckLink(const CLink& link) {
    const CPin* source = link.Pin1();
    const CPin* target = link.Pin2();
    if (source->Location() == vergl::kLocationInput) {
        std::swap(source, target);
    }
    if (source->Location() != vergl::kLocationOutput || target->Location() != vergl::kLocationInput) {
        BRL_LOG_WARNING(logger, "link ", link.Id(), " does not join an output to an input");
        return false;
    }
    // A module writes a whole block through a buffer output; the voice record
    // behind "fin" holds one float for it.
    const NodeRecord* producer = GetNodeRecord(source->Node());
    if (producer->module && GetPinRecord(source)->buffer && GetNodeRecord(target->Node())->memory) {
        BRL_LOG_WARNING(logger, "buffer output of module '", FindModule(producer->number).shortName,
                        "' cannot feed the voice parameter 'fin'");
        return false;
    }
    return true;
}

void SynthCompiler::AllocMem(CNode& node, SynthesizerMemory& cells) {
    const NodeRecord* record = GetNodeRecord(&node);
    if (record == nullptr) {
        BRL_BUG("node without record");
        return;
    }
    int k = 0;
    for (CPin* pin : node.Outputs()) {
        PinRecord* d = GetPinRecord(pin);
        if (d == nullptr) {
            BRL_BUG("pin without record");
            ++k;
            continue;
        }
        if (record->memory) {
            static constexpr int32_t kVoiceOutputs[] = {kVoiceVolumePosition, kVoiceNotePosition,
                                                        kVoiceOffPosition};
            if (k < 3) {
                d->memorypos = kVoiceOutputs[k];
            }
            d->allocated = false;
        } else if (record->buffer) {
            if (record->number >= 0 && record->number < kGlobalBufferCount) {
                d->memorypos = kGlobalBufferBase + record->number * kSamplesPerBuffer;
            } else {
                BRL_BUG("buffer number out of range");
            }
            d->allocated = false;
        } else if (record->module) {
            bool global = false;
            for (const CLink* link : pin->Links()) {
                const NodeRecord* far = GetNodeRecord(OtherEnd(link, pin)->Node());
                if (far == nullptr) {
                    continue;
                }
                if (far->buffer) {
                    d->memorypos = kGlobalBufferBase + far->number * kSamplesPerBuffer;
                    global = true;
                } else if (far->memory) {
                    d->memorypos = kVoiceFinishedPosition;
                    global = true;
                }
            }
            if (global) {
                d->allocated = false;
            } else if (d->value || d->buffer) {
                d->memorypos = kDynamicBase + cells.Alloc(CellsOf(*d));
                d->allocated = true;
                d->refs = static_cast<int32_t>(pin->Links().Count());
            }
        } else {
            BRL_BUG("node is no module, buffer or voice parameters");
        }
        for (const CLink* link : pin->Links()) {
            if (PinRecord* e = GetPinRecord(OtherEnd(link, pin))) {
                e->memorypos = d->memorypos;
                e->allocated = false;
            }
        }
        ++k;
    }

    const ModuleSpec& module = FindModule(record->module ? record->number : 0);
    k = 0;
    for (CPin* pin : node.Inputs()) {
        PinRecord* d = GetPinRecord(pin);
        if (d == nullptr) {
            BRL_BUG("pin without record");
        } else if (!pin->HasNoLinks()) {
            PinRecord* s = GetPinRecord(OtherEnd(pin->Links().At(0), pin));
            if (s != nullptr && s->allocated) {
                if (s->refs <= 0) {
                    BRL_BUG("datac0->refs <= 0");
                }
                --s->refs;
                if (s->refs == 0) {
                    cells.Free(s->memorypos - kDynamicBase, CellsOf(*s));
                }
                if (s->refs < 0) {
                    BRL_BUG("datac0->refs < 0");
                }
            }
        } else if (!d->value) {
            d->memorypos = kZeroBufferPosition;
        } else {
            // The Flag test looks at the slot whose number is the input index, not
            // at the input's own slot.
            const bool trigger =
                record->module && k < kModulePinSlots && module.pins[k].kind == PinKind::Flag;
            d->memorypos = (d->controllerChannel + (trigger ? kChannels : 0)) * kControllersPerChannel +
                           d->controllerNumber;
        }
        ++k;
    }
}

Instruction SynthCompiler::GenerateOpcode(const CNode& node) const {
    Instruction instruction;
    const NodeRecord* record = GetNodeRecord(&node);
    if (record == nullptr || !record->module) {
        BRL_BUG("GenerateOpcode on a node that is no module");
        return instruction;
    }
    instruction.opcode = static_cast<uint8_t>(record->number);
    const ModuleSpec& module = FindModule(record->number);
    size_t inputs = 0;
    size_t outputs = 0;
    for (int slot = 0; slot < kModuleUsablePins && module.pins[slot].dataType != PinDataType::Invalid;
         ++slot) {
        const bool input = module.pins[slot].direction == PinDirection::Input;
        const CGraphPinList& pins = input ? node.Inputs() : node.Outputs();
        size_t& next = input ? inputs : outputs;
        int32_t position = -1;
        if (next < pins.Count()) {
            if (const PinRecord* pinRecord = GetPinRecord(pins.At(next))) {
                position = pinRecord->memorypos;
            }
        }
        ++next;
        if (position < 0) {
            BRL_BUG("datac->memorypos < 0");
        }
        instruction.operands[static_cast<size_t>(instruction.operandCount++)] =
            static_cast<uint16_t>(position);
    }
    return instruction;
}

} // namespace brl::Korvax
