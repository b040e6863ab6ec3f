#include "korvax/korvaxpatchset.h"

#include "libbrelm/debug.h"

#include <algorithm>
#include <cmath>

namespace brl::Korvax {

using vergl::CEntity;
using vergl::CNode;
using vergl::CPin;
using vergl::CVergl;

GraphRole GraphRoleOf(int graphIndex) noexcept {
    if (graphIndex <= kGraphMixPre) {
        return GraphRole::MixPre;
    }
    if (graphIndex >= kGraphMix) {
        return GraphRole::Mix;
    }
    switch ((graphIndex - 1) % 3) {
    case 0:
        return GraphRole::ChannelPre;
    case 1:
        return GraphRole::Voice;
    default:
        return GraphRole::Channel;
    }
}

int GraphChannelOf(int graphIndex) noexcept {
    if (graphIndex <= kGraphMixPre || graphIndex >= kGraphMix) {
        return 0;
    }
    return (graphIndex - 1) / 3;
}

const char* GraphRoleName(GraphRole role) noexcept {
    switch (role) {
    case GraphRole::MixPre:
        return "mix pre";
    case GraphRole::ChannelPre:
        return "channel pre";
    case GraphRole::Voice:
        return "voice";
    case GraphRole::Channel:
        return "channel";
    case GraphRole::Mix:
        break;
    }
    return "mix";
}

const char* GraphRoleElement(GraphRole role) noexcept {
    switch (role) {
    case GraphRole::MixPre:
        return "mixpre";
    case GraphRole::ChannelPre:
        return "pre";
    case GraphRole::Voice:
        return "voice";
    case GraphRole::Channel:
        return "post";
    case GraphRole::Mix:
        break;
    }
    return "mix";
}

String GraphErrorText(int graphIndex) {
    const GraphRole role = GraphRoleOf(graphIndex);
    if (role == GraphRole::MixPre || role == GraphRole::Mix) {
        return Logging::Format("Graph error in '", GraphRoleName(role), "'.");
    }
    return Logging::Format("Graph error in channel ", GraphChannelOf(graphIndex), " '", GraphRoleName(role),
                           "'.");
}

NodeRecord& AttachNodeRecord(CNode* node, const NodeRecord& record) {
    DeleteRecord(node);
    auto* attached = new NodeRecord(record);
    node->SetUserData(attached);
    return *attached;
}

PinRecord& AttachPinRecord(CPin* pin, const PinRecord& record) {
    DeleteRecord(pin);
    auto* attached = new PinRecord(record);
    pin->SetUserData(attached);
    return *attached;
}

void DeleteRecord(CEntity* entity) {
    if (entity == nullptr || entity->GetUserData() == nullptr) {
        return;
    }
    switch (entity->Type()) {
    case vergl::kTypeNode:
        delete static_cast<NodeRecord*>(entity->GetUserData());
        entity->SetUserData(nullptr);
        break;
    case vergl::kTypePin:
        delete static_cast<PinRecord*>(entity->GetUserData());
        entity->SetUserData(nullptr);
        break;
    default:
        break;
    }
}

NodeRecord MakeModuleRecord(int moduleId) {
    NodeRecord record;
    record.module = true;
    record.number = moduleId;
    return record;
}

NodeRecord MakeBufferInputRecord(int number) {
    NodeRecord record;
    record.buffer = true;
    record.bufferInput = true;
    record.number = number;
    return record;
}

NodeRecord MakeBufferOutputRecord(int number) {
    NodeRecord record;
    record.buffer = true;
    record.bufferOutput = true;
    record.number = number;
    return record;
}

NodeRecord MakeVoiceParamsInputRecord() {
    NodeRecord record;
    record.memory = true;
    record.memoryInput = true;
    return record;
}

NodeRecord MakeVoiceParamsOutputRecord() {
    NodeRecord record;
    record.memory = true;
    record.memoryOutput = true;
    return record;
}

namespace {

PinRecord PinRecordOfType(PinDataType type) {
    PinRecord record;
    record.value = type == PinDataType::Value;
    record.buffer = type == PinDataType::Buffer;
    return record;
}

// Gives the pin list `count` pins, each with a record of `type` and `maxEdges`.
void AddPins(CVergl& graph, vergl::CGraphPinList& pins, size_t count, PinDataType type, int32_t maxEdges) {
    graph.SetPinCount(pins, count);
    for (CPin* pin : pins) {
        AttachPinRecord(pin, PinRecordOfType(type));
        pin->SetMaxEdges(maxEdges);
    }
}

CNode* CreateRecordedNode(CVergl& graph, const NodeRecord& record) {
    CNode* node = graph.CreateNode();
    if (node != nullptr) {
        AttachNodeRecord(node, record);
    }
    return node;
}

} // namespace

CNode* CreateModuleNode(CVergl& graph, int moduleId) {
    CNode* node = CreateRecordedNode(graph, MakeModuleRecord(moduleId));
    if (node == nullptr) {
        return nullptr;
    }
    const ModuleSpec& module = FindModule(moduleId);
    graph.SetPinCount(node->Inputs(), static_cast<size_t>(InputCount(module)));
    graph.SetPinCount(node->Outputs(), static_cast<size_t>(OutputCount(module)));
    int k = 0;
    for (CPin* pin : node->Inputs()) {
        AttachPinRecord(pin, PinRecordOfType(InputPin(module, k++)->dataType));
        pin->SetMaxEdges(1);
    }
    k = 0;
    for (CPin* pin : node->Outputs()) {
        AttachPinRecord(pin, PinRecordOfType(OutputPin(module, k++)->dataType));
    }
    return node;
}

CNode* CreateBufferInputNode(CVergl& graph, int number) {
    CNode* node = CreateRecordedNode(graph, MakeBufferInputRecord(number));
    if (node != nullptr) {
        AddPins(graph, node->Inputs(), 1, PinDataType::Buffer, 1);
    }
    return node;
}

CNode* CreateBufferOutputNode(CVergl& graph, int number) {
    CNode* node = CreateRecordedNode(graph, MakeBufferOutputRecord(number));
    if (node != nullptr) {
        AddPins(graph, node->Outputs(), 1, PinDataType::Buffer, 0);
    }
    return node;
}

CNode* CreateVoiceParamsInputNode(CVergl& graph) {
    CNode* node = CreateRecordedNode(graph, MakeVoiceParamsInputRecord());
    if (node != nullptr) {
        AddPins(graph, node->Inputs(), 1, PinDataType::Value, 0);
    }
    return node;
}

CNode* CreateVoiceParamsOutputNode(CVergl& graph) {
    CNode* node = CreateRecordedNode(graph, MakeVoiceParamsOutputRecord());
    if (node != nullptr) {
        AddPins(graph, node->Outputs(), 3, PinDataType::Value, 0);
    }
    return node;
}

uint8_t ParameterValueToByte(float value) noexcept {
    const float scaled = value * 128.0f;
    if (!std::isfinite(scaled)) {
        return 0;
    }
    const float whole = std::trunc(scaled);
    // Only the low 8 bits are kept, so any whole part beyond the int64 range may
    // stand for 0 without changing a byte that could be meant.
    int64_t byte = std::fabs(whole) < 9.0e18f ? static_cast<int64_t>(whole) : 0;
    if (scaled - whole >= 0.5f) {
        ++byte;
    }
    return static_cast<uint8_t>(byte & 0xFF);
}

float ParameterByteToValue(uint8_t byte) noexcept {
    return static_cast<float>(byte) * 0.0078125f;
}

void PatchRecordEvents::SaveUserData(pugi::xml_node, const CEntity*) {}

void PatchRecordEvents::LoadUserData(pugi::xml_node, CEntity* entity) {
    if (entity == nullptr || entity->GetUserData() != nullptr) {
        return;
    }
    if (entity->Type() == vergl::kTypeNode) {
        AttachNodeRecord(entity->AsNode());
    } else if (entity->Type() == vergl::kTypePin) {
        AttachPinRecord(entity->AsPin());
    }
}

void PatchRecordEvents::DeleteUserData(CEntity* entity) {
    DeleteRecord(entity);
}

PatchSet::PatchSet(Logging::Channel* log)
    : logChannel(log), controllerUsage(kParameterCount, 0), controllerNames(kParameterCount) {
    for (size_t i = 0; i < graphs.size(); ++i) {
        graphs[i] = std::make_unique<CVergl>();
        graphs[i]->SetEvents(events);
        graphPointers[i] = graphs[i].get();
    }
}

PatchSet::~PatchSet() {
    // Whatever handler was installed, the records are ours to delete.
    SetEvents(nullptr);
    for (auto& graph : graphs) {
        graph.reset();
    }
}

void PatchSet::SetEvents(vergl::IEvents* handler) {
    events = handler != nullptr ? handler : &builtInEvents;
    for (auto& graph : graphs) {
        if (graph != nullptr) {
            graph->SetEvents(events);
        }
    }
}

Logging::Channel& PatchSet::Log() const {
    static Debug::LoggingChannel fallback;
    return logChannel != nullptr ? *logChannel : fallback;
}

void PatchSet::Clear() {
    for (auto& graph : graphs) {
        graph->Clear();
    }
    for (String& name : channelNames) {
        name.clear();
    }
    for (String& name : controllerNames) {
        name.clear();
    }
    parameterValues.fill(0);
    song = Song{};
    std::fill(controllerUsage.begin(), controllerUsage.end(), 0);
}

void PatchSet::StoreParameterValues(const float* valueSlots) noexcept {
    for (int i = 0; i < kParameterCount; ++i) {
        parameterValues[static_cast<size_t>(i)] = ParameterValueToByte(valueSlots[i]);
    }
}

void PatchSet::LoadParameterValues(float* valueSlots) const noexcept {
    for (int i = 0; i < kParameterCount; ++i) {
        valueSlots[i] = ParameterByteToValue(parameterValues[static_cast<size_t>(i)]);
    }
}

void PatchSet::SetUsedControllersCache() {
    std::fill(controllerUsage.begin(), controllerUsage.end(), 0);
    ForEachUnconnectedValueInput([this](int, CNode*, int, CPin*, const PinRecord& pin) {
        const int channel = pin.controllerChannel;
        const int number = pin.controllerNumber;
        if (channel >= 0 && channel < kChannels && number >= 0 && number < kAssignableControllers) {
            ++controllerUsage[static_cast<size_t>(channel * kControllersPerChannel + number)];
        }
        return true;
    });
}

int PatchSet::FindFreeController(int channel) {
    if (channel < 0 || channel >= kChannels) {
        return 0;
    }
    SetUsedControllersCache();
    // The upper half first, so that fresh controllers stay clear of the low numbers
    // that MIDI controllers address directly.
    for (int i = 0; i < kControllersPerChannel; ++i) {
        const int candidate = (kControllersPerChannel / 2 + i) % kControllersPerChannel;
        if (candidate < kAssignableControllers && ControllerUsage(channel, candidate) == 0) {
            return candidate;
        }
    }
    return 0;
}

PinKind PatchSet::GetPreferredControllerRange(int channel, int number) {
    if (!ValidController(channel, number)) {
        return PinKind::Invalid;
    }
    SetUsedControllersCache();
    const int count = ControllerUsage(channel, number);
    if (count == 0) {
        return PinKind::Invalid;
    }
    if (count >= 2) {
        BRL_LOG_WARNING(Log(), "double-assigned midi controller", channel, ":", number);
        return PinKind::Invalid;
    }
    PinKind kind = PinKind::Invalid;
    ForEachUnconnectedValueInput([&](int, CNode* node, int inputIndex, CPin*, const PinRecord& pin) {
        if (pin.controllerChannel != channel || pin.controllerNumber != number) {
            return true;
        }
        kind = GetPreferredModulePinRange(GetNodeRecord(node)->number, inputIndex);
        return false;
    });
    return kind;
}

int PatchSet::ControllerUsage(int channel, int number) const {
    if (!ValidController(channel, number)) {
        return 0;
    }
    return controllerUsage[static_cast<size_t>(channel * kControllersPerChannel + number)];
}

const String& PatchSet::ControllerName(int channel, int number) const {
    static const String kNone;
    if (!ValidController(channel, number)) {
        return kNone;
    }
    return controllerNames[static_cast<size_t>(channel * kControllersPerChannel + number)];
}

void PatchSet::SetControllerNameEntry(int channel, int number, const String& name) {
    if (ValidController(channel, number)) {
        controllerNames[static_cast<size_t>(channel * kControllersPerChannel + number)] = name;
    }
}

} // namespace brl::Korvax
