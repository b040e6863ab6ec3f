#include "vergl/vergl.h"

#include "libbrelm/debug.h"
#include "libbrelm/logging.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace brl::vergl {

namespace {

Debug::LoggingChannel& LogChannel() {
    static Debug::LoggingChannel channel;
    return channel;
}

// Entities mostly leave in reverse order of arrival, so the search starts at the back.
template <typename T> void RemoveItem(std::vector<T*>& items, T* item) {
    const auto found = std::find(items.rbegin(), items.rend(), item);
    if (found != items.rend()) {
        items.erase(std::next(found).base());
    }
}

} // namespace

ParseError::ParseError(std::string what) : std::runtime_error("error parsing xml"), detail(std::move(what)) {}

CEntity::~CEntity() {
    if (userData != nullptr) {
        BRL_BUG("GetUserData()");
    }
}

void CEntity::SetName(const String& text) {
    name = text;
    graph->Announce(CVergl::Change::Changed, this);
}

void CEntity::SetComment(const String& text) {
    comment = text;
    graph->Announce(CVergl::Change::Changed, this);
}

void CEntity::SetColor(uint32_t abgr) {
    color = abgr;
    graph->Announce(CVergl::Change::Changed, this);
}

void CEntity::SetStyle(int32_t value) {
    style = value;
    graph->Announce(CVergl::Change::Changed, this);
}

CNode::CNode(CVergl* owner, uint32_t entityId)
    : CEntity(owner, entityId), pinLists{{CGraphPinList(this, kLocationTop),
                                          CGraphPinList(this, kLocationBottom),
                                          CGraphPinList(this, kLocationLeft),
                                          CGraphPinList(this, kLocationRight)}} {}

void CNode::SetPosition(int32_t newX, int32_t newY) {
    x = newX;
    y = newY;
    Graph()->Announce(CVergl::Change::Moved, this);
}

const CGraphPinList& CNode::Pins(int location) const {
    if (location < 1 || location > kLocationCount) {
        throw std::out_of_range("pin location out of range");
    }
    return pinLists[location - 1];
}

CGraphPinList& CNode::Pins(int location) {
    return const_cast<CGraphPinList&>(static_cast<const CNode*>(this)->Pins(location));
}

bool CPin::SetMaxEdges(int32_t count) {
    if (!HasNoLinks() || count < 0) {
        return false;
    }
    maxEdges = count;
    Graph()->Announce(CVergl::Change::Changed, node);
    return true;
}

bool CPin::CanAcceptLink() const {
    return maxEdges == 0 || Links().Count() < static_cast<std::size_t>(maxEdges);
}

CVergl::~CVergl() {
    view = nullptr;
    Clear();
    // Only a graph that stopped half-way through a document still owns entities
    // outside its lists.
    while (!owned.empty()) {
        Release(owned.begin()->second.get());
    }
}

CNode* CVergl::FindNode(uint32_t id) const {
    const auto found = nodeById.find(id);
    return found != nodeById.end() ? found->second : nullptr;
}

void CVergl::Announce(Change change, CEntity* entity) {
    if (view == nullptr) {
        return;
    }
    switch (change) {
    case Change::Added:
        view->ObjectAdded(entity);
        break;
    case Change::Moved:
        view->ObjectMoved(entity);
        break;
    case Change::Changed:
        view->ObjectChanged(entity);
        break;
    case Change::Removed:
        view->ObjectRemoved(entity);
        break;
    }
}

bool CVergl::CanCreate(std::size_t count) const {
    // Every id stays below the largest 32-bit value, so next id never wraps.
    return owned.size() + count <= kMaxEntities && count <= std::numeric_limits<uint32_t>::max() - nextId;
}

bool CVergl::Owns(const CEntity* entity) const {
    return entity != nullptr && owned.contains(entity);
}

CNode* CVergl::CreateNode() {
    if (!CanCreate(1)) {
        BRL_LOG_WARNING(LogChannel(), "graph is full, no node created");
        return nullptr;
    }
    CNode* node = Own<CNode>(this, nextId++);
    CNodeList::items.push_back(node);
    nodeById.emplace(node->id, node);
    Announce(Change::Added, node);
    return node;
}

CPin* CVergl::NewPin(CGraphPinList& pins) {
    CPin* pin = Own<CPin>(this, nextId++, pins.Node(), pins.Location(), pins.Count());
    pins.items.push_back(pin);
    Announce(Change::Added, pin);
    return pin;
}

bool CVergl::SetPinCount(CGraphPinList& pins, std::size_t count) {
    CNode* node = pins.Node();
    if (!BRL_ASSERT(Owns(node))) {
        return false;
    }
    if (count > kMaxPinsPerList || (count > pins.Count() && !CanCreate(count - pins.Count()))) {
        BRL_LOG_WARNING(LogChannel(), "pin count ", count, " refused");
        return false;
    }
    while (pins.Count() < count) {
        NewPin(pins);
    }
    while (pins.Count() > count) {
        CPin* pin = pins.items.back();
        pins.items.pop_back();
        DestroyPin(pin);
    }
    Announce(Change::Changed, node);
    return true;
}

void CVergl::AttachLink(CLink* link, CPin* pin1, CPin* pin2) {
    link->pin1 = pin1;
    link->pin2 = pin2;
    pin1->items.push_back(link);
    pin2->items.push_back(link);
    CLinkList::items.push_back(link);
}

CLink* CVergl::Link(CPin* pin1, CPin* pin2) {
    if (pin1 == nullptr || pin2 == nullptr || !BRL_ASSERT(Owns(pin1) && Owns(pin2))) {
        return nullptr;
    }
    if (pin1->Node() == pin2->Node()) {
        return nullptr;
    }
    if (!CanCreate(1)) {
        BRL_LOG_WARNING(LogChannel(), "graph is full, no link created");
        return nullptr;
    }
    CLink* link = Own<CLink>(this, nextId++);
    AttachLink(link, pin1, pin2);
    Announce(Change::Added, link);
    return link;
}

void CVergl::Release(CEntity* entity) {
    if (events != nullptr) {
        events->DeleteUserData(entity);
    }
    owned.erase(entity);
}

void CVergl::DestroyLink(CLink* link) {
    if (link == nullptr || !BRL_ASSERT(Owns(link))) {
        return;
    }
    Announce(Change::Removed, link);
    if (link->pin1 != nullptr) {
        RemoveItem(link->pin1->items, link);
    }
    if (link->pin2 != nullptr) {
        RemoveItem(link->pin2->items, link);
    }
    RemoveItem(CLinkList::items, link);
    Release(link);
}

void CVergl::DestroyPin(CPin* pin) {
    const std::vector<CLink*> doomed(pin->items.rbegin(), pin->items.rend());
    for (CLink* link : doomed) {
        DestroyLink(link);
    }
    Announce(Change::Removed, pin);
    Release(pin);
}

void CVergl::DestroyNode(CNode* node) {
    if (node == nullptr || !BRL_ASSERT(Owns(node))) {
        return;
    }
    Announce(Change::Removed, node);
    RemoveItem(CNodeList::items, node);
    const auto mapped = nodeById.find(node->id);
    if (mapped != nodeById.end() && mapped->second == node) {
        nodeById.erase(mapped);
    }
    if (events != nullptr) {
        events->DeleteUserData(node);
    }
    Announce(Change::Changed, node);
    for (CGraphPinList& pins : node->pinLists) {
        std::vector<CPin*> doomed;
        doomed.swap(pins.items);
        for (CPin* pin : doomed) {
            DestroyPin(pin);
        }
    }
    owned.erase(node);
}

void CVergl::Clear() {
    while (!CNodeList::items.empty()) {
        DestroyNode(CNodeList::items.back());
    }
}

} // namespace brl::vergl
