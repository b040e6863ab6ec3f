#pragma once

#include "libbrelm/debug.h"
#include "support/log_capture.h"
#include "vergl/vergl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace verglfakes {

using namespace brl::vergl;

// Journals every view and user-data call as "<call> <type> <id>". User data is a
// heap int holding a tag, which "data" carries as attribute "tag" (the id when absent).
class Recorder : public IView, public IEvents {
public:
    void ObjectAdded(CEntity* entity) override { Note("added", entity); }
    void ObjectMoved(CEntity* entity) override { Note("moved", entity); }
    void ObjectChanged(CEntity* entity) override { Note("changed", entity); }
    void ObjectRemoved(CEntity* entity) override { Note("removed", entity); }

    void SaveUserData(pugi::xml_node data, const CEntity* entity) override {
        if (entity->GetUserData() != nullptr) {
            data.append_attribute("tag") = *static_cast<int*>(entity->GetUserData());
        }
    }
    void LoadUserData(pugi::xml_node data, CEntity* entity) override {
        Attach(entity, data.attribute("tag").as_int(static_cast<int>(entity->Id())));
        Note("load", entity);
    }
    void DeleteUserData(CEntity* entity) override {
        if (entity->GetUserData() != nullptr) {
            delete static_cast<int*>(entity->GetUserData());
            entity->SetUserData(nullptr);
            --live;
        }
        Note("delete", entity);
    }

    void Attach(CEntity* entity, int tag) {
        entity->SetUserData(new int(tag));
        ++live;
    }
    static int Tag(const CEntity* entity) { return *static_cast<int*>(entity->GetUserData()); }

    std::vector<std::string> journal;
    int live = 0;

private:
    void Note(const char* call, const CEntity* entity) {
        static const char* const kTypes[] = {"?", "node", "pin", "link"};
        journal.push_back(std::string(call) + " " + kTypes[entity->Type()] + " " +
                          std::to_string(entity->Id()));
    }
};

using CriticalLog = brl::testing::LogCapture;

inline std::string SaveText(const CVergl& graph, bool withStyle = false) {
    pugi::xml_document doc;
    graph.Save(doc, kCurrentVersion, withStyle);
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw);
    return out.str();
}

// Checks the structural invariants of a graph and returns its number of entities.
inline std::size_t ExpectConsistent(const CVergl& graph) {
    std::set<uint32_t> ids;
    std::set<const CLink*> links(graph.Links().begin(), graph.Links().end());
    const auto claim = [&](const CEntity* entity) {
        EXPECT_EQ(entity->Graph(), &graph);
        EXPECT_LT(entity->Id(), graph.NextId());
        EXPECT_TRUE(ids.insert(entity->Id()).second) << "duplicate id " << entity->Id();
    };
    for (const CNode* node : graph.Nodes()) {
        claim(node);
        EXPECT_EQ(graph.FindNode(node->Id()), node);
        for (int location = 1; location <= kLocationCount; ++location) {
            const CGraphPinList& pins = node->Pins(location);
            for (std::size_t index = 0; index < pins.Count(); ++index) {
                const CPin* pin = pins.At(index);
                claim(pin);
                EXPECT_EQ(pin->Node(), node);
                EXPECT_EQ(pin->Index(), index);
                EXPECT_EQ(pin->Location(), location);
                for (const CLink* link : pin->Links()) {
                    EXPECT_TRUE(links.contains(link));
                    EXPECT_TRUE(link->Pin1() == pin || link->Pin2() == pin);
                }
            }
        }
    }
    for (const CLink* link : graph.Links()) {
        claim(link);
        for (const CPin* end : {link->Pin1(), link->Pin2()}) {
            EXPECT_NE(std::find(end->Links().begin(), end->Links().end(), link), end->Links().end());
        }
        EXPECT_NE(link->Pin1()->Node(), link->Pin2()->Node());
        EXPECT_EQ(graph.FindNode(link->Pin1()->Node()->Id()), link->Pin1()->Node());
        EXPECT_EQ(graph.FindNode(link->Pin2()->Node()->Id()), link->Pin2()->Node());
    }
    return ids.size();
}

} // namespace verglfakes
