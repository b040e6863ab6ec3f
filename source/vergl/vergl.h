#pragma once

#include "libbrelm/string.h"

#include <pugixml.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// A generic directed graph of nodes with pins, joined by links, and its XML form.
// The library knows nothing about the application: every entity carries an opaque
// user-data pointer that the application attaches, saves, loads and deletes
// through IEvents, and every change is announced to an optional IView.
//
// Threads: the library takes no locks; a graph is used from one thread at a time.
namespace brl::vergl {

class CEntity;
class CNode;
class CPin;
class CLink;
class CVergl;

// What CEntity::Type() returns.
enum EntityType : int { kTypeNode = 1, kTypePin = 2, kTypeLink = 3 };

// The side of a node a pin list lies on. Applications use the top list for
// inputs and the bottom list for outputs.
enum PinLocation : int { kLocationTop = 1, kLocationBottom = 2, kLocationLeft = 3, kLocationRight = 4 };
constexpr int kLocationInput = kLocationTop;
constexpr int kLocationOutput = kLocationBottom;
constexpr int kLocationCount = 4;

// 0xAABBGGRR, opaque black.
constexpr uint32_t kDefaultColor = 0xFF000000u;

// Document versions: 17 holds graphs in the earlier vertex/edge form; 18 and
// later share the current form.
constexpr int kOldFormVersion = 17;
constexpr int kCurrentVersion = 19;

// Limits that keep a damaged document from exhausting memory or ids.
constexpr std::size_t kMaxPinsPerList = 1024;
constexpr std::size_t kMaxEntities = std::size_t{1} << 20;

// Raised by Load and Merge for malformed graph XML; what() is "error parsing
// xml", Detail() says what was wrong. The graph is unchanged when it is raised.
class ParseError : public std::runtime_error {
public:
    explicit ParseError(std::string detail);
    const std::string& Detail() const { return detail; }

private:
    std::string detail;
};

// User-data handler, implemented by the application.
class IEvents {
public:
    virtual ~IEvents() = default;
    // Fills the entity's "data" element.
    virtual void SaveUserData(pugi::xml_node data, const CEntity* entity) = 0;
    // Reads the entity's "data" element (which may be empty) and attaches user data.
    virtual void LoadUserData(pugi::xml_node data, CEntity* entity) = 0;
    // Deletes the entity's user data and sets it to nullptr.
    virtual void DeleteUserData(CEntity* entity) = 0;
};

// Change listener, usually the interactive view.
class IView {
public:
    virtual ~IView() = default;
    virtual void ObjectAdded(CEntity* entity) = 0;
    virtual void ObjectMoved(CEntity* entity) = 0;
    virtual void ObjectChanged(CEntity* entity) = 0;
    virtual void ObjectRemoved(CEntity* entity) = 0;
};

// An ordered, read-only sequence of entities; only the graph changes it.
template <typename T> class CEntityList {
public:
    using const_iterator = typename std::vector<T*>::const_iterator;

    virtual ~CEntityList() = default;
    std::size_t Count() const { return items.size(); }
    bool Empty() const { return items.empty(); }
    // Raises std::out_of_range for an index outside the list.
    T* At(std::size_t index) const {
        if (index >= items.size()) {
            throw std::out_of_range("entity index out of range");
        }
        return items[index];
    }
    const_iterator begin() const { return items.begin(); }
    const_iterator end() const { return items.end(); }

private:
    friend class CVergl;
    std::vector<T*> items;
};

class CNodeList : public CEntityList<CNode> {};
class CLinkList : public CEntityList<CLink> {};

// The pins of one side of a node, in index order.
class CGraphPinList : public CEntityList<CPin> {
public:
    CNode* Node() const { return node; }
    int Location() const { return location; }

private:
    friend class CNode;
    CGraphPinList(CNode* owner, int side) : node(owner), location(side) {}

    CNode* node;
    int location;
};

// Base of everything in a graph. Entities are created and destroyed by their
// graph only.
class CEntity {
public:
    CEntity(const CEntity&) = delete;
    CEntity& operator=(const CEntity&) = delete;
    // Reports the internal error "GetUserData()" when user data is still attached.
    virtual ~CEntity();

    virtual int Type() const = 0;
    // A node returns itself, a pin its owning node, a link nothing.
    virtual CNode* AsNode() { return nullptr; }
    virtual CPin* AsPin() { return nullptr; }
    virtual CLink* AsLink() { return nullptr; }

    CVergl* Graph() const { return graph; }
    uint32_t Id() const { return id; }
    void* GetUserData() const { return userData; }
    void SetUserData(void* data) { userData = data; }

    // Each setter announces ObjectChanged for this entity.
    const String& Name() const { return name; }
    void SetName(const String& text);
    const String& Comment() const { return comment; }
    void SetComment(const String& text);
    uint32_t Color() const { return color; }
    void SetColor(uint32_t abgr);
    int32_t Style() const { return style; }
    void SetStyle(int32_t value);

protected:
    CEntity(CVergl* owner, uint32_t entityId) : graph(owner), id(entityId) {}

    // Read or write the entity's own element ("node", "pin" or "link"); the base
    // handles its "entity" child. Reading raises ParseError for malformed content.
    virtual void LoadXml(pugi::xml_node element);
    virtual void SaveXml(pugi::xml_node element, bool withStyle) const;

private:
    friend class CVergl;

    CVergl* graph;
    uint32_t id;
    void* userData = nullptr;
    String name;
    String comment;
    uint32_t color = kDefaultColor;
    int32_t style = 0;
};

class CNode : public CEntity {
public:
    int Type() const override { return kTypeNode; }
    CNode* AsNode() override { return this; }

    int32_t X() const { return x; }
    int32_t Y() const { return y; }
    // Announces ObjectMoved.
    void SetPosition(int32_t newX, int32_t newY);

    // The pin list of a location 1..4; raises std::out_of_range for any other.
    const CGraphPinList& Pins(int location) const;
    CGraphPinList& Pins(int location);
    const CGraphPinList& Inputs() const { return Pins(kLocationInput); }
    CGraphPinList& Inputs() { return Pins(kLocationInput); }
    const CGraphPinList& Outputs() const { return Pins(kLocationOutput); }
    CGraphPinList& Outputs() { return Pins(kLocationOutput); }

protected:
    void LoadXml(pugi::xml_node element) override;
    void SaveXml(pugi::xml_node element, bool withStyle) const override;

private:
    friend class CVergl;
    CNode(CVergl* owner, uint32_t entityId);

    int32_t x = 0;
    int32_t y = 0;
    std::array<CGraphPinList, kLocationCount> pinLists;
};

// A pin is also the list of its links (in the order they were made).
class CPin : public CEntity, public CLinkList {
public:
    int Type() const override { return kTypePin; }
    CNode* AsNode() override { return node; }
    CPin* AsPin() override { return this; }

    CNode* Node() const { return node; }
    const CLinkList& Links() const { return *this; }
    std::size_t Index() const { return index; }
    int Location() const { return location; }

    // 0 means unlimited.
    int32_t MaxEdges() const { return maxEdges; }
    // Refused (false) while the pin has links or for a negative count;
    // otherwise announces ObjectChanged for the node.
    bool SetMaxEdges(int32_t count);
    bool CanAcceptLink() const;
    bool HasNoLinks() const { return Links().Empty(); }

protected:
    void LoadXml(pugi::xml_node element) override;
    void SaveXml(pugi::xml_node element, bool withStyle) const override;

private:
    friend class CVergl;
    friend class CNode;
    CPin(CVergl* owner, uint32_t entityId, CNode* owningNode, int side, std::size_t position)
        : CEntity(owner, entityId), node(owningNode), index(position), location(side) {}

    CNode* node;
    int32_t maxEdges = 0;
    std::size_t index;
    int location;
};

class CLink : public CEntity {
public:
    int Type() const override { return kTypeLink; }
    CLink* AsLink() override { return this; }

    // Pin 1 is the source side, pin 2 the target side.
    CPin* Pin1() const { return pin1; }
    CPin* Pin2() const { return pin2; }

protected:
    void LoadXml(pugi::xml_node element) override;
    void SaveXml(pugi::xml_node element, bool withStyle) const override;

private:
    friend class CVergl;
    CLink(CVergl* owner, uint32_t entityId) : CEntity(owner, entityId) {}

    CPin* pin1 = nullptr;
    CPin* pin2 = nullptr;
};

// The graph. It owns its entities; the handlers are not owned and must outlive
// the graph or be detached before it goes. Destroying the graph deletes all
// user data through IEvents but tells the view nothing.
class CVergl : private CNodeList, private CLinkList {
public:
    CVergl() = default;
    CVergl(const CVergl&) = delete;
    CVergl& operator=(const CVergl&) = delete;
    ~CVergl() override;

    void SetEvents(IEvents* handler) { events = handler; }
    IEvents* Events() const { return events; }
    void SetView(IView* listener) { view = listener; }
    IView* View() const { return view; }

    // Nodes in the graph's node order (insertion order); links in link order.
    const CNodeList& Nodes() const { return *this; }
    const CLinkList& Links() const { return *this; }
    CNode* FindNode(uint32_t id) const;
    uint32_t NextId() const { return nextId; }
    uint32_t IdOffset() const { return idOffset; }

    // Returns nothing when the graph is full or out of ids.
    CNode* CreateNode();
    // Appends pins (each announced with ObjectAdded) or removes trailing pins with
    // their links, then announces ObjectChanged for the node. False when refused.
    bool SetPinCount(CGraphPinList& pins, std::size_t count);
    // Refuses (returns nothing) when both pins lie on the same node. Directions,
    // max edges and duplicates are the application's business.
    CLink* Link(CPin* pin1, CPin* pin2);
    void DestroyNode(CNode* node);
    void DestroyLink(CLink* link);
    void Clear();

    // Append a "graph" element to the parent and return it. SaveSelection writes
    // the given nodes (in graph order) and the links with both ends among them.
    pugi::xml_node Save(pugi::xml_node parent, int version, bool withStyle) const;
    pugi::xml_node SaveSelection(pugi::xml_node parent, int version, bool withStyle,
                                 const std::vector<CNode*>& nodes) const;
    // Both accept the "graph" element itself or an element holding it. A version
    // of 17 or below is upgraded (on a copy) before reading. The document is read
    // into a temporary graph first, so while IEvents loads user data, Graph() of
    // the entity is that temporary graph; the view hears of the new entities only
    // once the whole document has been read.
    // Load replaces the graph; raises ParseError without a graph element or for
    // malformed content, leaving the graph as it was.
    void Load(pugi::xml_node element, int version);
    // Adds the document's entities with ids shifted by the current next id and
    // appends the new nodes to newNodes. Returns false without a graph element;
    // raises ParseError for malformed content, leaving the graph as it was.
    bool Merge(pugi::xml_node element, int version, std::vector<CNode*>* newNodes = nullptr);
    // Rewrites a graph of the earlier vertex/edge form in place.
    static void UpgradeOldForm(pugi::xml_node element);

private:
    friend class CEntity;
    friend class CNode;
    friend class CPin;
    friend class CLink;
    enum class Change { Added, Moved, Changed, Removed };

    void Announce(Change change, CEntity* entity);
    bool CanCreate(std::size_t count) const;
    template <typename T, typename... Args> T* Own(Args&&... args);
    CPin* NewPin(CGraphPinList& pins);
    void AttachLink(CLink* link, CPin* pin1, CPin* pin2);
    void DestroyPin(CPin* pin);
    void Release(CEntity* entity);
    bool Owns(const CEntity* entity) const;

    uint32_t ReadId(uint32_t fileId) const;
    CPin* ReadLinkEnd(pugi::xml_node element, const char* vertexName, const char* locationName,
                      const char* indexName) const;
    void ReadGraph(pugi::xml_node graph);
    uint32_t ReadNextId(pugi::xml_node graph) const;
    void Adopt(CVergl& staging, std::vector<CNode*>* newNodes);
    pugi::xml_node Write(pugi::xml_node parent, int version, bool withStyle,
                         const std::vector<CNode*>* selection) const;

    // Owns every entity, including those not (yet) in a list while a document is read.
    std::unordered_map<const CEntity*, std::unique_ptr<CEntity>> owned;
    std::unordered_map<uint32_t, CNode*> nodeById;
    uint32_t nextId = 0;
    uint32_t idOffset = 0;
    IEvents* events = nullptr;
    IView* view = nullptr;
};

template <typename T, typename... Args> T* CVergl::Own(Args&&... args) {
    std::unique_ptr<T> entity(new T(std::forward<Args>(args)...));
    T* raw = entity.get();
    owned.emplace(raw, std::move(entity));
    return raw;
}

} // namespace brl::vergl
