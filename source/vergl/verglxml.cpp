#include "vergl/vergl.h"

#include "libbrelm/debug.h"
#include "libbrelm/logging.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_set>

namespace brl::vergl {

namespace {

Debug::LoggingChannel& LogChannel() {
    static Debug::LoggingChannel channel;
    return channel;
}

// Collects the notifications of a document being read, to be passed on once it
// has been read completely.
class RecordingView final : public IView {
public:
    void ObjectAdded(CEntity* entity) override { changes.emplace_back(&IView::ObjectAdded, entity); }
    void ObjectMoved(CEntity* entity) override { changes.emplace_back(&IView::ObjectMoved, entity); }
    void ObjectChanged(CEntity* entity) override { changes.emplace_back(&IView::ObjectChanged, entity); }
    void ObjectRemoved(CEntity* entity) override { changes.emplace_back(&IView::ObjectRemoved, entity); }

    void ReplayTo(IView* target) const {
        if (target == nullptr) {
            return;
        }
        for (const auto& [call, entity] : changes) {
            (target->*call)(entity);
        }
    }

private:
    std::vector<std::pair<void (IView::*)(CEntity*), CEntity*>> changes;
};

std::string Describe(pugi::xml_node element) {
    std::string text = std::string("<") + element.name() + ">";
    const std::ptrdiff_t offset = element.offset_debug();
    if (offset >= 0) {
        text += " at offset " + std::to_string(offset);
    }
    return text;
}

// Decimal integer, optionally negative, with surrounding blanks allowed and
// nothing else.
template <typename T> std::optional<T> ParseNumber(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, last - first + 1);
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < std::numeric_limits<T>::min() ||
        value > static_cast<long long>(std::numeric_limits<T>::max())) {
        return std::nullopt;
    }
    return static_cast<T>(value);
}

[[noreturn]] void ThrowBadValue(pugi::xml_node element, pugi::xml_attribute attribute) {
    std::string value = attribute.value();
    if (value.size() > 32) {
        value = value.substr(0, 32) + "...";
    }
    throw ParseError(Describe(element) + ": bad \"" + attribute.name() + "\" value '" + value + "'");
}

template <typename T> T RequiredNumber(pugi::xml_node element, const char* name) {
    const pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute) {
        throw ParseError(Describe(element) + ": missing \"" + name + "\"");
    }
    const std::optional<T> value = ParseNumber<T>(attribute.value());
    if (!value) {
        ThrowBadValue(element, attribute);
    }
    return *value;
}

template <typename T> T OptionalNumber(pugi::xml_node element, const char* name, T fallback) {
    const pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute) {
        return fallback;
    }
    const std::optional<T> value = ParseNumber<T>(attribute.value());
    if (!value) {
        ThrowBadValue(element, attribute);
    }
    return *value;
}

int RequiredLocation(pugi::xml_node element, const char* name) {
    const int32_t location = RequiredNumber<int32_t>(element, name);
    if (location < 1 || location > kLocationCount) {
        ThrowBadValue(element, element.attribute(name));
    }
    return location;
}

pugi::xml_node FindGraph(pugi::xml_node element) {
    if (!element) {
        return {};
    }
    if (std::strcmp(element.name(), "graph") == 0) {
        return element;
    }
    return element.child("graph");
}

// Returns the graph element to read: an upgraded copy in scratch for documents
// of the earlier form.
pugi::xml_node PrepareGraph(pugi::xml_node element, int version, pugi::xml_document& scratch) {
    pugi::xml_node graph = FindGraph(element);
    if (graph && version <= kOldFormVersion) {
        graph = scratch.append_copy(graph);
        CVergl::UpgradeOldForm(graph);
    }
    return graph;
}

void SetAttribute(pugi::xml_node element, const char* name, long long value) {
    pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute) {
        attribute = element.append_attribute(name);
    }
    attribute.set_value(value);
}

// Rewrites one end of an edge: "pin" counted all pins of the vertex together;
// it becomes a location and an index within that location's list.
void UpgradeEdgeEnd(pugi::xml_node graph, pugi::xml_node edge, const char* vertexName,
                    const char* locationName, const char* pinName) {
    const auto vertexId = ParseNumber<uint32_t>(edge.attribute(vertexName).value());
    const auto overallIndex = ParseNumber<uint32_t>(edge.attribute(pinName).value());
    if (!vertexId || !overallIndex) {
        return;
    }
    for (pugi::xml_node vertex : graph.children("vertex")) {
        if (ParseNumber<uint32_t>(vertex.child("entity").attribute("id").value()) != vertexId) {
            continue;
        }
        uint32_t overall = 0;
        uint32_t before[2] = {0, 0};
        for (pugi::xml_node pin : vertex.children("pin")) {
            const auto oldLocation = ParseNumber<int32_t>(pin.attribute("location").value());
            const bool known = oldLocation == 0 || oldLocation == 1;
            if (overall == *overallIndex) {
                if (known) {
                    SetAttribute(edge, locationName, *oldLocation == 0 ? kLocationOutput : kLocationInput);
                    SetAttribute(edge, pinName, before[*oldLocation]);
                }
                return;
            }
            if (known) {
                ++before[*oldLocation];
            }
            ++overall;
        }
        return;
    }
}

} // namespace

void CEntity::LoadXml(pugi::xml_node element) {
    const pugi::xml_node entity = element.child("entity");
    if (!entity) {
        throw ParseError(Describe(element) + ": missing \"entity\"");
    }
    id = graph->ReadId(RequiredNumber<uint32_t>(entity, "id"));
    if (const pugi::xml_attribute text = entity.attribute("name")) {
        SetName(FromUtf8(text.value()));
    }
    const uint32_t rgb = OptionalNumber<uint32_t>(entity, "color", 0);
    color = 0xFF000000u | (rgb & 0xFFu) << 16 | (rgb & 0xFF00u) | (rgb >> 16 & 0xFFu);
    style = OptionalNumber<int32_t>(entity, "style", 0);
    comment = FromUtf8(entity.attribute("comment").value());
    if (graph->events != nullptr) {
        graph->events->LoadUserData(entity.child("data"), this);
    }
}

void CEntity::SaveXml(pugi::xml_node element, bool withStyle) const {
    pugi::xml_node entity = element.append_child("entity");
    entity.append_attribute("id") = id;
    if (!name.empty()) {
        entity.append_attribute("name") = ToUtf8(name).c_str();
    }
    if (withStyle) {
        entity.append_attribute("color") = (color & 0xFFu) << 16 | (color & 0xFF00u) | (color >> 16 & 0xFFu);
        entity.append_attribute("style") = style;
        if (!comment.empty()) {
            entity.append_attribute("comment") = ToUtf8(comment).c_str();
        }
    }
    const pugi::xml_node data = entity.append_child("data");
    if (graph->events != nullptr) {
        graph->events->SaveUserData(data, this);
    }
}

void CNode::LoadXml(pugi::xml_node element) {
    CEntity::LoadXml(element);
    const pugi::xml_node position = element.child("position");
    SetPosition(OptionalNumber<int32_t>(position, "x", 0), OptionalNumber<int32_t>(position, "y", 0));
    CVergl* graph = Graph();
    for (pugi::xml_node pinElement : element.children("pin")) {
        CGraphPinList& pins = pinLists[RequiredLocation(pinElement, "location") - 1];
        if (pins.Count() >= kMaxPinsPerList || !graph->CanCreate(1)) {
            throw ParseError(Describe(pinElement) + ": too many pins");
        }
        CPin* pin = graph->NewPin(pins);
        graph->Announce(CVergl::Change::Changed, this);
        pin->LoadXml(pinElement);
    }
}

void CNode::SaveXml(pugi::xml_node element, bool withStyle) const {
    CEntity::SaveXml(element, withStyle);
    pugi::xml_node position = element.append_child("position");
    position.append_attribute("x") = x;
    position.append_attribute("y") = y;
    for (const CGraphPinList& pins : pinLists) {
        for (const CPin* pin : pins) {
            pin->SaveXml(element.append_child("pin"), withStyle);
        }
    }
}

void CPin::LoadXml(pugi::xml_node element) {
    CEntity::LoadXml(element);
    const int32_t count = OptionalNumber<int32_t>(element, "max_edges", 0);
    if (count < 0) {
        ThrowBadValue(element, element.attribute("max_edges"));
    }
    if (HasNoLinks()) {
        maxEdges = count;
    }
}

void CPin::SaveXml(pugi::xml_node element, bool withStyle) const {
    CEntity::SaveXml(element, withStyle);
    element.append_attribute("location") = location;
    element.append_attribute("max_edges") = maxEdges;
}

void CLink::LoadXml(pugi::xml_node element) {
    CEntity::LoadXml(element);
    CVergl* graph = Graph();
    CPin* target = graph->ReadLinkEnd(element, "vertex2", "location2", "pin2");
    CPin* source = graph->ReadLinkEnd(element, "vertex1", "location1", "pin1");
    if (source->Node() == target->Node()) {
        throw ParseError(Describe(element) + ": both ends on one node");
    }
    graph->AttachLink(this, source, target);
    graph->Announce(CVergl::Change::Added, this);
}

void CLink::SaveXml(pugi::xml_node element, bool withStyle) const {
    element.append_attribute("vertex1") = pin1->Node()->Id();
    element.append_attribute("vertex2") = pin2->Node()->Id();
    element.append_attribute("location1") = pin1->Location();
    element.append_attribute("location2") = pin2->Location();
    element.append_attribute("pin1") = static_cast<unsigned long long>(pin1->Index());
    element.append_attribute("pin2") = static_cast<unsigned long long>(pin2->Index());
    CEntity::SaveXml(element, withStyle);
}

uint32_t CVergl::ReadId(uint32_t fileId) const {
    const uint64_t shifted = uint64_t{fileId} + idOffset;
    if (shifted >= std::numeric_limits<uint32_t>::max()) {
        throw ParseError("id " + std::to_string(shifted) + " out of range");
    }
    return static_cast<uint32_t>(shifted);
}

CPin* CVergl::ReadLinkEnd(pugi::xml_node element, const char* vertexName, const char* locationName,
                          const char* indexName) const {
    const uint32_t nodeId = ReadId(RequiredNumber<uint32_t>(element, vertexName));
    const int location = RequiredLocation(element, locationName);
    const uint32_t index = RequiredNumber<uint32_t>(element, indexName);
    const CNode* node = FindNode(nodeId);
    if (node == nullptr) {
        throw ParseError(Describe(element) + ": no node with id " + std::to_string(nodeId));
    }
    const CGraphPinList& pins = node->Pins(location);
    if (index >= pins.Count()) {
        throw ParseError(Describe(element) + ": pin index " + std::to_string(index) + " out of range");
    }
    return pins.At(index);
}

void CVergl::ReadGraph(pugi::xml_node graph) {
    for (pugi::xml_node element : graph.children("node")) {
        if (!CanCreate(1)) {
            throw ParseError("too many entities");
        }
        CNode* node = Own<CNode>(this, nextId++);
        node->LoadXml(element);
        if (!nodeById.emplace(node->id, node).second) {
            throw ParseError(Describe(element) + ": duplicate node id " + std::to_string(node->id));
        }
        CNodeList::items.push_back(node);
        Announce(Change::Added, node);
    }
    for (pugi::xml_node element : graph.children("link")) {
        if (!CanCreate(1)) {
            throw ParseError("too many entities");
        }
        Own<CLink>(this, nextId++)->LoadXml(element);
    }
    std::unordered_set<uint32_t> ids;
    ids.reserve(owned.size());
    for (const auto& [entity, holder] : owned) {
        if (!ids.insert(entity->id).second) {
            throw ParseError("duplicate id " + std::to_string(entity->id));
        }
    }
}

uint32_t CVergl::ReadNextId(pugi::xml_node graph) const {
    uint64_t next = uint64_t{idOffset} + OptionalNumber<uint32_t>(graph, "next_id", 0);
    if (next > std::numeric_limits<uint32_t>::max()) {
        throw ParseError("next id " + std::to_string(next) + " out of range");
    }
    // A next id at or below an id in use would hand that id out again.
    for (const auto& [entity, holder] : owned) {
        next = std::max(next, uint64_t{entity->id} + 1);
    }
    return static_cast<uint32_t>(next);
}

void CVergl::Adopt(CVergl& staging, std::vector<CNode*>* newNodes) {
    for (const auto& [entity, holder] : staging.owned) {
        holder->graph = this;
    }
    owned.merge(staging.owned);
    BRL_ASSERT(staging.owned.empty());
    std::vector<CNode*>& nodes = staging.CNodeList::items;
    std::vector<CLink*>& links = staging.CLinkList::items;
    CNodeList::items.insert(CNodeList::items.end(), nodes.begin(), nodes.end());
    CLinkList::items.insert(CLinkList::items.end(), links.begin(), links.end());
    nodeById.merge(staging.nodeById);
    if (newNodes != nullptr) {
        newNodes->insert(newNodes->end(), nodes.begin(), nodes.end());
    }
    nodes.clear();
    links.clear();
}

void CVergl::Load(pugi::xml_node element, int version) {
    pugi::xml_document scratch;
    const pugi::xml_node graph = PrepareGraph(element, version, scratch);
    RecordingView recorder;
    CVergl staging;
    staging.events = events;
    staging.view = &recorder;
    uint32_t next = 0;
    try {
        if (!graph) {
            throw ParseError("no graph element");
        }
        staging.ReadGraph(graph);
        next = staging.ReadNextId(graph);
    } catch (const ParseError& error) {
        BRL_LOG_WARNING(LogChannel(), "error parsing xml: ", error.Detail());
        throw;
    }
    Clear();
    idOffset = 0;
    Adopt(staging, nullptr);
    nextId = next;
    recorder.ReplayTo(view);
}

bool CVergl::Merge(pugi::xml_node element, int version, std::vector<CNode*>* newNodes) {
    pugi::xml_document scratch;
    const pugi::xml_node graph = PrepareGraph(element, version, scratch);
    if (!graph) {
        return false;
    }
    RecordingView recorder;
    CVergl staging;
    staging.events = events;
    staging.view = &recorder;
    staging.idOffset = nextId;
    uint32_t next = 0;
    try {
        staging.ReadGraph(graph);
        next = staging.ReadNextId(graph);
        if (owned.size() + staging.owned.size() > kMaxEntities) {
            throw ParseError("too many entities");
        }
    } catch (const ParseError& error) {
        BRL_LOG_WARNING(LogChannel(), "error parsing xml: ", error.Detail());
        throw;
    }
    idOffset = staging.idOffset;
    Adopt(staging, newNodes);
    nextId = next;
    recorder.ReplayTo(view);
    return true;
}

pugi::xml_node CVergl::Write(pugi::xml_node parent, int version, bool withStyle,
                             const std::vector<CNode*>* selection) const {
    BRL_ASSERT(version > kOldFormVersion);
    std::unordered_set<const CNode*> chosen;
    if (selection != nullptr) {
        chosen.insert(selection->begin(), selection->end());
    }
    const auto included = [&](const CNode* node) { return selection == nullptr || chosen.contains(node); };
    pugi::xml_node graph = parent.append_child("graph");
    graph.append_attribute("next_id") = nextId;
    for (const CNode* node : CNodeList::items) {
        if (included(node)) {
            node->SaveXml(graph.append_child("node"), withStyle);
        }
    }
    for (const CLink* link : CLinkList::items) {
        if (included(link->pin1->Node()) && included(link->pin2->Node())) {
            link->SaveXml(graph.append_child("link"), withStyle);
        }
    }
    return graph;
}

pugi::xml_node CVergl::Save(pugi::xml_node parent, int version, bool withStyle) const {
    return Write(parent, version, withStyle, nullptr);
}

pugi::xml_node CVergl::SaveSelection(pugi::xml_node parent, int version, bool withStyle,
                                     const std::vector<CNode*>& nodes) const {
    return Write(parent, version, withStyle, &nodes);
}

void CVergl::UpgradeOldForm(pugi::xml_node element) {
    const pugi::xml_node graph = FindGraph(element);
    if (!graph) {
        return;
    }
    for (pugi::xml_node edge : graph.children("edge")) {
        UpgradeEdgeEnd(graph, edge, "vertex1", "location1", "pin1");
        UpgradeEdgeEnd(graph, edge, "vertex2", "location2", "pin2");
    }
    std::vector<pugi::xml_node> vertices;
    std::vector<pugi::xml_node> edges;
    for (pugi::xml_node vertex : graph.children("vertex")) {
        for (pugi::xml_node pin : vertex.children("pin")) {
            if (ParseNumber<int32_t>(pin.attribute("location").value()) == 0) {
                pin.attribute("location").set_value(kLocationOutput);
            }
        }
        vertices.push_back(vertex);
    }
    for (pugi::xml_node edge : graph.children("edge")) {
        edges.push_back(edge);
    }
    for (pugi::xml_node vertex : vertices) {
        vertex.set_name("node");
    }
    for (pugi::xml_node edge : edges) {
        edge.set_name("link");
    }
}

} // namespace brl::vergl
