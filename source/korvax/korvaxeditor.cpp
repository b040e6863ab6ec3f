#include "korvax/korvaxeditor.h"

#include "libbrelm/debug.h"

#include <charconv>
#include <iterator>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace brl::Korvax {

using vergl::CEntity;
using vergl::CLink;
using vergl::CNode;
using vergl::CPin;
using vergl::CVergl;
using vergl::ParseError;

namespace {

// The module that turns a value into a buffer; inserted between a value source
// and a buffer target.
constexpr int kSetModuleId = 10;
constexpr int kDebugModuleId = 40;
constexpr int kInputModuleId = 41;
constexpr int kOutputModuleId = 42;

const char* const kTrue = "true";
const char* const kFalse = "false";

bool ValidController(int channel, int number) noexcept {
    return channel >= 0 && channel < kChannels && number >= 0 && number < kControllersPerChannel;
}

size_t ParameterIndex(int channel, int number) noexcept {
    return static_cast<size_t>(channel * kControllersPerChannel + number);
}

CPin* OtherEnd(const CLink* link, const CPin* pin) noexcept {
    return link->Pin1() == pin ? link->Pin2() : link->Pin1();
}

[[noreturn]] void ThrowBadAttribute(pugi::xml_node element, const char* name) {
    std::string value = element.attribute(name).value();
    if (value.size() > 32) {
        value = value.substr(0, 32) + "...";
    }
    throw ParseError(std::string("<") + element.name() + ">: bad \"" + name + "\" value '" + value + "'");
}

// An integer attribute in lo..hi; 0 when absent.
int32_t ReadInteger(pugi::xml_node element, const char* name, int32_t lo, int32_t hi) {
    const pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute) {
        return 0;
    }
    const std::optional<int64_t> value = ParseDecimal(attribute.value());
    if (!value || *value < lo || *value > hi) {
        ThrowBadAttribute(element, name);
    }
    return static_cast<int32_t>(*value);
}

// "true" or "false"; false when absent.
bool ReadBool(pugi::xml_node element, const char* name) {
    const pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute) {
        return false;
    }
    const std::string_view text = attribute.value();
    if (text == kTrue) {
        return true;
    }
    if (text != kFalse) {
        ThrowBadAttribute(element, name);
    }
    return false;
}

void WriteBool(pugi::xml_node element, const char* name, bool value) {
    element.append_attribute(name) = value ? kTrue : kFalse;
}

NodeRecord ReadNodeRecord(pugi::xml_node data) {
    if (const pugi::xml_node module = data.child("module")) {
        const int32_t id = ReadInteger(module, "module", 0, kModuleCount);
        if (FindModule(id).id != id || id == 0) {
            ThrowBadAttribute(module, "module");
        }
        return MakeModuleRecord(id);
    }
    if (const pugi::xml_node buffer = data.child("buffer")) {
        NodeRecord record;
        record.buffer = true;
        record.number = ReadInteger(buffer, "number", 0, kGlobalBufferCount - 1);
        record.bufferOutput = ReadBool(buffer, "output");
        record.bufferInput = ReadBool(buffer, "input");
        return record;
    }
    if (const pugi::xml_node memory = data.child("memory")) {
        NodeRecord record;
        record.memory = true;
        record.memoryOutput = ReadBool(memory, "output");
        record.memoryInput = ReadBool(memory, "input");
        return record;
    }
    return NodeRecord{};
}

PinRecord ReadPinRecord(pugi::xml_node data, bool input, CGraphEventsEditor::ValueBytes& values) {
    PinRecord record;
    const pugi::xml_node pin = data.child("pin");
    record.value = ReadBool(pin, "value");
    record.buffer = ReadBool(pin, "buffer");
    if (input && record.value) {
        const pugi::xml_node controller = pin.child("controller");
        record.controllerChannel = ReadInteger(controller, "channel", 0, kChannels - 1);
        record.controllerNumber = ReadInteger(controller, "number", 0, kControllersPerChannel - 1);
        if (controller.attribute("value")) {
            values[ParameterIndex(record.controllerChannel, record.controllerNumber)] =
                static_cast<uint8_t>(ReadInteger(controller, "value", 0, 255));
        }
    }
    return record;
}

// The catalogue pin behind a module node's pin: the k-th input slot for input
// pin k, the k-th output slot for output pin k.
const PinSpec* CataloguePin(const NodeRecord& record, const CPin& pin) noexcept {
    if (!record.module) {
        return nullptr;
    }
    const ModuleSpec& module = FindModule(record.number);
    const int k = static_cast<int>(pin.Index());
    if (pin.Location() == vergl::kLocationInput) {
        return InputPin(module, k);
    }
    if (pin.Location() == vergl::kLocationOutput) {
        return OutputPin(module, k);
    }
    return nullptr;
}

// One end of a connection being made.
struct PinEnd {
    CPin* pin;
    const NodeRecord& node;
    const PinSpec* entry; // module pins only

    bool IsSource() const noexcept {
        if (node.memory) {
            return node.memoryOutput && pin->Location() == vergl::kLocationOutput;
        }
        if (node.buffer) {
            return node.bufferOutput && pin->Location() == vergl::kLocationOutput;
        }
        return node.module && entry != nullptr && entry->direction == PinDirection::Output;
    }
    bool IsTarget() const noexcept {
        if (node.memory) {
            return node.memoryInput && pin->Location() == vergl::kLocationInput;
        }
        if (node.buffer) {
            return node.bufferInput && pin->Location() == vergl::kLocationInput;
        }
        return node.module && entry != nullptr && entry->direction == PinDirection::Input;
    }
    bool IsModulePinOf(PinDataType type) const noexcept {
        return node.module && entry != nullptr && entry->dataType == type;
    }
};

// Whether a path of links, each followed from an output pin to the node at its
// other end, leads from `from` to `to`: the order in which the compiler runs
// producers before consumers.
bool Reaches(const CNode* from, const CNode* to) {
    std::vector<const CNode*> pending{from};
    std::unordered_set<const CNode*> seen{from};
    while (!pending.empty()) {
        const CNode* node = pending.back();
        pending.pop_back();
        if (node == to) {
            return true;
        }
        for (const CPin* pin : node->Outputs()) {
            for (const CLink* link : pin->Links()) {
                const CNode* next = OtherEnd(link, pin)->Node();
                if (seen.insert(next).second) {
                    pending.push_back(next);
                }
            }
        }
    }
    return false;
}

// Index of the catalogue's theme table for an index of the editor's order.
int CatalogueThemeIndex(int index) noexcept {
    constexpr int kNodeColours = 6;
    if (index < kNodeColours) {
        return kPinKindCount + 1 + index; // the node colours follow the pin colours
    }
    if (index < SynthesizerEditor::kThemePinInvalid) {
        return index - kNodeColours + 1; // pin kinds 1..17
    }
    return index == SynthesizerEditor::kThemePinInvalid ? 0 : kPinKindCount;
}

} // namespace

std::optional<int64_t> ParseDecimal(std::string_view text) noexcept {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    text = text.substr(first, last - first + 1);
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

void CGraphEventsEditor::SaveUserData(pugi::xml_node data, const CEntity* entity) {
    if (entity == nullptr) {
        return;
    }
    if (entity->Type() == vergl::kTypeNode) {
        const NodeRecord* record = static_cast<const NodeRecord*>(entity->GetUserData());
        if (record == nullptr) {
            return;
        }
        if (record->module) {
            data.append_child("module").append_attribute("module") = record->number;
        } else if (record->buffer) {
            pugi::xml_node buffer = data.append_child("buffer");
            buffer.append_attribute("number") = record->number;
            WriteBool(buffer, "output", record->bufferOutput);
            WriteBool(buffer, "input", record->bufferInput);
        } else if (record->memory) {
            pugi::xml_node memory = data.append_child("memory");
            WriteBool(memory, "output", record->memoryOutput);
            WriteBool(memory, "input", record->memoryInput);
        }
        return;
    }
    if (entity->Type() != vergl::kTypePin) {
        return;
    }
    const CPin* pin = static_cast<const CPin*>(entity);
    const PinRecord* record = GetPinRecord(pin);
    if (record == nullptr) {
        return;
    }
    pugi::xml_node element = data.append_child("pin");
    WriteBool(element, "value", record->value);
    WriteBool(element, "buffer", record->buffer);
    if (pin->Location() != vergl::kLocationInput || !record->value) {
        return;
    }
    pugi::xml_node controller = element.append_child("controller");
    controller.append_attribute("channel") = record->controllerChannel;
    controller.append_attribute("number") = record->controllerNumber;
    if (pin->HasNoLinks() && ValidController(record->controllerChannel, record->controllerNumber)) {
        controller.append_attribute("value") = static_cast<unsigned>(
            patches.parameterValues[ParameterIndex(record->controllerChannel, record->controllerNumber)]);
    }
}

void CGraphEventsEditor::LoadUserData(pugi::xml_node data, CEntity* entity) {
    if (entity == nullptr) {
        return;
    }
    if (entity->Type() == vergl::kTypeNode) {
        AttachNodeRecord(entity->AsNode(), ReadNodeRecord(data));
    } else if (entity->Type() == vergl::kTypePin) {
        CPin* pin = entity->AsPin();
        ValueBytes& values = valueSink != nullptr ? *valueSink : patches.parameterValues;
        AttachPinRecord(pin, ReadPinRecord(data, pin->Location() == vergl::kLocationInput, values));
    }
}

void CGraphEventsEditor::DeleteUserData(CEntity* entity) {
    DeleteRecord(entity);
}

const char* SynthesizerEditor::ThemeColourKey(int index) noexcept {
    if (index < 0 || index >= kThemeColourCount) {
        return "";
    }
    return kThemeColours[CatalogueThemeIndex(index)].key;
}

SynthesizerEditor::ThemeColours SynthesizerEditor::BuiltInThemeColours() noexcept {
    ThemeColours colours{};
    for (int index = 0; index < kThemeColourCount; ++index) {
        colours[static_cast<size_t>(index)] =
            static_cast<uint32_t>(kThemeColours[CatalogueThemeIndex(index)].colour);
    }
    return colours;
}

SynthesizerEditor::SynthesizerEditor(Logging::Channel* logTarget)
    : SynthesizerMidi(logTarget, 0), editorLog(logTarget, L"korvax"), patches(&editorLog),
      graphEvents(patches), compiler(editorLog), themeColours(BuiltInThemeColours()) {
    patches.SetEvents(&graphEvents);
}

SynthesizerEditor::~SynthesizerEditor() {
    // The patch set deletes the records with its own handler from here on.
    patches.SetEvents(nullptr);
}

uint32_t SynthesizerEditor::EntityColour(int index) const noexcept {
    const uint32_t rgb = themeColours[static_cast<size_t>(index)];
    return 0xFF000000u | (rgb & 0xFFu) << 16 | (rgb & 0xFF00u) | (rgb >> 16 & 0xFFu);
}

uint32_t SynthesizerEditor::PinKindEntityColour(PinKind kind) const noexcept {
    const int code = static_cast<int>(kind);
    if (code == 0) {
        return EntityColour(kThemePinInvalid);
    }
    if (code > 0 && code < kPinKindCount) {
        return EntityColour(kThemePinKind1 + code - 1);
    }
    return EntityColour(kThemePinDefault);
}

void SynthesizerEditor::ApplyNodeLooks(CNode* node) {
    const NodeRecord* record = GetNodeRecord(node);
    if (record == nullptr) {
        return;
    }
    if (record->module) {
        const ModuleSpec& module = FindModule(record->number);
        node->SetComment(FromUtf8(module.shortName));
        switch (record->number) {
        case kDebugModuleId:
            node->SetColor(EntityColour(kThemeNodeDebug));
            break;
        case kInputModuleId:
            node->SetColor(EntityColour(kThemeNodeInput));
            break;
        case kOutputModuleId:
            node->SetColor(EntityColour(kThemeNodeOutput));
            break;
        default:
            node->SetColor(EntityColour(kThemeNodeDefault));
            break;
        }
        for (const vergl::CGraphPinList* pins : {&node->Inputs(), &node->Outputs()}) {
            for (CPin* pin : *pins) {
                const PinSpec* entry = CataloguePin(*record, *pin);
                if (entry == nullptr) {
                    continue;
                }
                pin->SetComment(FromUtf8(entry->shortName));
                if (pin->Name().empty()) {
                    pin->SetName(FromUtf8(entry->name));
                }
                pin->SetColor(PinKindEntityColour(entry->kind));
            }
        }
    } else if (record->memory) {
        node->SetComment(L"voice");
        node->SetColor(EntityColour(kThemeNodeMemory));
        for (CPin* pin : node->Inputs()) {
            pin->SetComment(L"fin");
            pin->SetColor(PinKindEntityColour(PinKind::Flag));
        }
        static const wchar_t* const kOutputComments[] = {L"volume", L"note", L"off"};
        static const PinKind kOutputKinds[] = {PinKind::Amp, PinKind::Note, PinKind::Flag};
        for (CPin* pin : node->Outputs()) {
            if (pin->Index() < std::size(kOutputComments)) {
                pin->SetComment(kOutputComments[pin->Index()]);
                pin->SetColor(PinKindEntityColour(kOutputKinds[pin->Index()]));
            }
        }
    } else if (record->buffer) {
        node->SetComment(L"buf");
        node->SetColor(EntityColour(kThemeNodeBuffer));
        for (const vergl::CGraphPinList* pins : {&node->Inputs(), &node->Outputs()}) {
            for (CPin* pin : *pins) {
                pin->SetComment(String());
                pin->SetColor(PinKindEntityColour(PinKind::Sample));
            }
        }
    }
}

void SynthesizerEditor::ApplyNodeLooks(CVergl& graph) {
    for (CNode* node : graph.Nodes()) {
        ApplyNodeLooks(node);
    }
}

void SynthesizerEditor::ApplyNodeLooksToAllGraphs() {
    for (CVergl* graph : patches.AllGraphs()) {
        ApplyNodeLooks(*graph);
    }
}

void SynthesizerEditor::SetThemeColours(const ThemeColours& colours) {
    themeColours = colours;
    ApplyNodeLooksToAllGraphs();
}

CNode* SynthesizerEditor::Finish(CNode* node) {
    if (node == nullptr) {
        BRL_BUG("!vertex");
        return nullptr;
    }
    ApplyNodeLooks(node);
    return node;
}

CNode* SynthesizerEditor::CreateNode(CVergl& graph, int moduleId, int channel) {
    if (channel < 0 || channel >= kChannels) {
        BRL_LOG_WARNING(editorLog, "no channel ", channel, " for a new node");
        return nullptr;
    }
    CNode* node = CreateModuleNode(graph, moduleId);
    if (node == nullptr) {
        return Finish(node);
    }
    const ModuleSpec& module = FindModule(moduleId);
    int k = 0;
    for (CPin* pin : node->Inputs()) {
        PinRecord* record = GetPinRecord(pin);
        const PinSpec* entry = InputPin(module, k++);
        if (record == nullptr || entry == nullptr || !record->value) {
            continue;
        }
        const int number = FindFreeController(channel);
        record->controllerChannel = channel;
        record->controllerNumber = number;
        SetControllerValue(channel, record->controllerNumber, InitialParameterValue(*entry));
    }
    return Finish(node);
}

CNode* SynthesizerEditor::CreateNodeBufferInput(CVergl& graph) {
    return Finish(CreateBufferInputNode(graph, 0));
}

CNode* SynthesizerEditor::CreateNodeBufferOutput(CVergl& graph) {
    return Finish(CreateBufferOutputNode(graph, 0));
}

CNode* SynthesizerEditor::CreateNodeVoiceParamsInput(CVergl& graph) {
    return Finish(CreateVoiceParamsInputNode(graph));
}

CNode* SynthesizerEditor::CreateNodeVoiceParamsOutput(CVergl& graph) {
    return Finish(CreateVoiceParamsOutputNode(graph));
}

bool SynthesizerEditor::SetBufferNumber(CNode* node, int number) {
    NodeRecord* record = GetNodeRecord(node);
    if (record == nullptr || !record->buffer) {
        BRL_LOG_WARNING(editorLog, "only a buffer node has a buffer number");
        return false;
    }
    if (number < 0 || number >= kGlobalBufferCount) {
        BRL_LOG_WARNING(editorLog, "buffer number ", number, " out of range 0...", kGlobalBufferCount - 1);
        return false;
    }
    record->number = number;
    return true;
}

bool SynthesizerEditor::CreateConnection(CVergl& graph, CPin* pinA, CPin* pinB) {
    if (pinA == nullptr || pinB == nullptr || pinA->Node() == pinB->Node()) {
        return false;
    }
    if (pinA->Graph() != &graph || pinB->Graph() != &graph) {
        BRL_BUG("pins of another graph");
        return false;
    }
    CPin* pin1 = pinA;
    CPin* pin2 = pinB;
    if (pinA->Location() == vergl::kLocationInput && pinB->Location() == vergl::kLocationOutput) {
        std::swap(pin1, pin2);
    }
    const NodeRecord* node1 = GetNodeRecord(pin1->Node());
    const NodeRecord* node2 = GetNodeRecord(pin2->Node());
    if (node1 == nullptr || node2 == nullptr) {
        BRL_BUG("node without record");
        return false;
    }
    if (!pin1->CanAcceptLink()) {
        return false;
    }
    for (const CLink* link : pin1->Links()) {
        if (OtherEnd(link, pin1) == pin2) {
            return false; // already linked
        }
    }
    const PinEnd source{pin1, *node1, CataloguePin(*node1, *pin1)};
    const PinEnd target{pin2, *node2, CataloguePin(*node2, *pin2)};
    if (!source.IsSource()) {
        BRL_LOG_WARNING(editorLog, "Pin1 is no output or buffer.");
        return false;
    }
    if (!target.IsTarget()) {
        BRL_LOG_WARNING(editorLog, "Pin2 is no input or buffer.");
        return false;
    }
    if ((node1->buffer || node1->memory) && node2->buffer) {
        BRL_LOG_WARNING(editorLog, "There must be at least one module in between.");
        return false;
    }
    if (node1->module && node2->buffer) {
        for (const CLink* link : pin1->Links()) {
            const CPin* other = OtherEnd(link, pin1);
            const NodeRecord* far = GetNodeRecord(other->Node());
            if (other != pin2 && far != nullptr && far->buffer) {
                BRL_LOG_WARNING(editorLog, "only one single buffer can follow a render node");
                return false;
            }
        }
    }
    // The voice record behind "fin" holds one float; a module's buffer output
    // writes a whole block, which the compiler refuses.
    if (source.IsModulePinOf(PinDataType::Buffer) && node2->memory) {
        BRL_LOG_WARNING(editorLog, "A buffer output cannot feed the voice parameter 'fin'.");
        return false;
    }
    if (Reaches(pin2->Node(), pin1->Node())) {
        BRL_LOG_WARNING(editorLog, "This link would close a loop.");
        return false;
    }

    // All rules hold: a new link into a full input replaces the old one.
    while (!pin2->CanAcceptLink() && !pin2->HasNoLinks()) {
        graph.DestroyLink(pin2->Links().At(0));
    }

    const bool valueSource = node1->memory || source.IsModulePinOf(PinDataType::Value);
    const bool bufferTarget = node2->buffer || target.IsModulePinOf(PinDataType::Buffer);
    if (!valueSource || !bufferTarget) {
        return graph.Link(pin1, pin2) != nullptr;
    }
    CNode* set = CreateNode(graph, kSetModuleId, 0);
    if (set == nullptr || set->Inputs().Empty() || set->Outputs().Empty()) {
        graph.DestroyNode(set);
        return false;
    }
    const CNode* from = pin1->Node();
    const CNode* to = pin2->Node();
    set->SetPosition(static_cast<int32_t>((int64_t{from->X()} + to->X()) / 2),
                     static_cast<int32_t>((int64_t{from->Y()} + to->Y()) / 2));
    if (graph.Link(pin1, set->Inputs().At(0)) == nullptr ||
        graph.Link(set->Outputs().At(0), pin2) == nullptr) {
        graph.DestroyNode(set);
        return false;
    }
    return true;
}

bool SynthesizerEditor::Compile() {
    CompiledProgram compiled;
    if (!compiler.CompileGraph(patches, compiled)) {
        return false;
    }
    UpdateBytecode(compiled.opcodes.data(), compiled.opcodes.size(), compiled.operands.data(),
                   compiled.operands.size());
    program = std::move(compiled);
    ++compiles;
    ApplyControllerNames();
    if (!midiLearn.Empty()) {
        midiLearn.UpdateKinds(
            [this](int channel, int number) { return patches.GetPreferredControllerRange(channel, number); });
    }
    return true;
}

bool SynthesizerEditor::LearnController(int channel, int number) {
    if (!ValidController(channel, number)) {
        return false;
    }
    BRL_LOG_INFO(editorLog, "learning midi controller for ", channel, ":", number);
    return midiLearn.Learn(channel, number, patches.GetPreferredControllerRange(channel, number));
}

bool SynthesizerEditor::TakeLearnedController(int midiChannel, int cc, int value) {
    MidiLearn::Hit hit;
    if (!midiLearn.Match(midiChannel, cc, value, hit)) {
        return false;
    }
    SetControllerValue(hit.channel, hit.number, hit.value);
    return true;
}

void SynthesizerEditor::SetControllerName(int channel, int number, const String& name) {
    if (!ValidController(channel, number)) {
        return;
    }
    patches.SetControllerNameEntry(channel, number, name);
    ControllerNameChanged(channel, number, name);
    patches.ForEachUnconnectedValueInput([&](int, CNode*, int, CPin* pin, const PinRecord& record) {
        if (record.controllerChannel == channel && record.controllerNumber == number) {
            pin->SetName(name);
        }
        return true;
    });
}

bool SynthesizerEditor::SetControllerValue(int channel, int number, float value) {
    if (!ValidController(channel, number)) {
        return false;
    }
    BRL_LOG_VERBOSE(editorLog, "set controller: ", channel, " ", number, " ", value);
    SynthEvent event;
    event.type = kEventController;
    event.channel = channel;
    event.index = number;
    event.value = value;
    return ApplyOrQueueEvents(&event, 1);
}

void SynthesizerEditor::ControllerNameChanged(int, int, const String&) {}

void SynthesizerEditor::ApplyControllerNames() {
    patches.SetUsedControllersCache();
    // Controllers 240..255 are never handed out, but a file may use them: they
    // count as used here, so that their names do not flicker on every compile.
    std::vector<bool> used(kParameterCount, false);
    patches.ForEachUnconnectedValueInput([&](int, CNode*, int, CPin*, const PinRecord& record) {
        if (ValidController(record.controllerChannel, record.controllerNumber)) {
            used[ParameterIndex(record.controllerChannel, record.controllerNumber)] = true;
        }
        return true;
    });
    for (int channel = 0; channel < kChannels; ++channel) {
        for (int number = 0; number < kControllersPerChannel; ++number) {
            if (!used[ParameterIndex(channel, number)] && !patches.ControllerName(channel, number).empty()) {
                patches.SetControllerNameEntry(channel, number, String());
                ControllerNameChanged(channel, number, String());
            }
        }
    }
    patches.ForEachUnconnectedValueInput([&](int, CNode*, int, CPin* pin, const PinRecord& record) {
        const int channel = record.controllerChannel;
        const int number = record.controllerNumber;
        if (ValidController(channel, number) && patches.ControllerName(channel, number) != pin->Name()) {
            patches.SetControllerNameEntry(channel, number, pin->Name());
            ControllerNameChanged(channel, number, pin->Name());
        }
        return true;
    });
}

} // namespace brl::Korvax
