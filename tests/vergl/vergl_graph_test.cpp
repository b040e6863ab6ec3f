#include "support/log_capture.h"
#include "vergl/vergl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <sstream>

using namespace brl::vergl;
using brl::testing::LogCapture;
using Journal = std::vector<std::string>;

namespace {

// Journals every view and user-data call as "<call> <type> <id>". User data is a heap
// int holding a tag, which "data" carries as attribute "tag" (the id when absent).
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

    Journal journal;
    int live = 0;

private:
    void Note(const char* call, const CEntity* entity) {
        static const char* const kTypes[] = {"?", "node", "pin", "link"};
        journal.push_back(std::string(call) + " " + kTypes[entity->Type()] + " " +
                          std::to_string(entity->Id()));
    }
};

std::string SaveText(const CVergl& graph, bool withStyle = false) {
    pugi::xml_document doc;
    graph.Save(doc, kCurrentVersion, withStyle);
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw);
    return out.str();
}

pugi::xml_document Parse(const std::string& text) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(text.c_str())) << text;
    return doc;
}

// Checks the structural invariants of a graph and returns its number of entities.
std::size_t ExpectConsistent(const CVergl& graph) {
    std::set<uint32_t> ids;
    const std::set<const CLink*> links(graph.Links().begin(), graph.Links().end());
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
                    EXPECT_TRUE(links.contains(link) && (link->Pin1() == pin || link->Pin2() == pin));
                }
            }
        }
    }
    for (const CLink* link : graph.Links()) {
        claim(link);
        for (const CPin* end : {link->Pin1(), link->Pin2()}) {
            EXPECT_NE(std::find(end->Links().begin(), end->Links().end(), link), end->Links().end());
            EXPECT_EQ(graph.FindNode(end->Node()->Id()), end->Node());
        }
        EXPECT_NE(link->Pin1()->Node(), link->Pin2()->Node());
    }
    return ids.size();
}

class Graph : public ::testing::Test {
protected:
    void SetUp() override {
        for (CVergl* each : {&graph, &target}) {
            each->SetView(&recorder);
            each->SetEvents(&recorder);
        }
    }
    static CNode* NodeWithPins(std::size_t inputs, std::size_t outputs, CVergl& into) {
        CNode* node = into.CreateNode();
        into.SetPinCount(node->Inputs(), inputs);
        into.SetPinCount(node->Outputs(), outputs);
        return node;
    }
    // Node a (2 inputs, 1 output), b (1 input), c (1 pin on the left); links a.out -> b.in
    // and c.left -> a.in1; next id 10; every entity carries user data.
    void BuildSample(CVergl& into) {
        CNode* a = NodeWithPins(2, 1, into);
        CNode* b = NodeWithPins(1, 0, into);
        CNode* c = NodeWithPins(0, 0, into);
        into.SetPinCount(c->Pins(kLocationLeft), 1);
        a->SetPosition(10, -20);
        b->Inputs().At(0)->SetMaxEdges(1);
        into.Link(a->Outputs().At(0), b->Inputs().At(0));
        into.Link(c->Pins(kLocationLeft).At(0), a->Inputs().At(1));
        pugi::xml_document doc;
        into.Save(doc, kCurrentVersion, false);
        into.Load(doc, kCurrentVersion);
    }

    LogCapture log;
    Recorder recorder;
    CVergl graph;
    CVergl target;
};

} // namespace

TEST_F(Graph, ShrinkingAPinListOrDestroyingANodeRemovesPinsWithTheirLinks) {
    CNode* a = NodeWithPins(0, 3, graph);
    CNode* b = NodeWithPins(1, 0, graph);
    recorder.Attach(a->Outputs().At(2), 1);
    recorder.Attach(graph.Link(a->Outputs().At(2), b->Inputs().At(0)), 2);
    recorder.journal.clear();
    ASSERT_TRUE(graph.SetPinCount(a->Outputs(), 2));
    EXPECT_EQ(recorder.journal, (Journal{"removed link 6", "delete link 6", "removed pin 3", "delete pin 3",
                                         "changed node 0"}));
    EXPECT_TRUE(b->Inputs().At(0)->HasNoLinks());
    EXPECT_EQ(recorder.live, 0);
    ExpectConsistent(graph);

    CLink* link = graph.Link(a->Outputs().At(0), b->Inputs().At(0));
    recorder.Attach(a, 0);
    recorder.Attach(a->Outputs().At(0), 0);
    recorder.Attach(link, 0);
    recorder.journal.clear();
    graph.DestroyNode(a);
    EXPECT_EQ(recorder.journal,
              (Journal{"removed node 0", "delete node 0", "changed node 0", "removed link 7", "delete link 7",
                       "removed pin 1", "delete pin 1", "removed pin 2", "delete pin 2"}));
    EXPECT_EQ(recorder.live, 0);
    EXPECT_EQ(graph.FindNode(0), nullptr);
    EXPECT_TRUE(b->Inputs().At(0)->HasNoLinks());
}

TEST(OldFormUpgrade, PinsAreCountedPerOldLocationAndTheUpgradeLoadsLikeTheOldVersion) {
    // Pins are numbered per old location: vertex 1's third out pin and second in pin.
    const std::string text = R"(<graph next_id="20">
        <vertex><entity id="1"/><pin location="1"><entity id="2"/></pin><pin location="0"><entity id="3"/></pin>
          <pin location="1"><entity id="4"/></pin><pin location="0"><entity id="5"/></pin>
          <pin location="0"><entity id="6"/></pin></vertex>
        <vertex><entity id="7"/><pin location="1"><entity id="8"/></pin><pin location="0"><entity id="9"/></pin></vertex>
        <edge vertex1="1" pin1="4" vertex2="7" pin2="0"><entity id="10"/></edge>
        <edge vertex1="7" pin1="1" vertex2="1" pin2="2"><entity id="11"/></edge></graph>)";
    CVergl direct;
    direct.Load(Parse(text), kOldFormVersion);
    EXPECT_EQ(direct.Links().At(0)->Pin1(), direct.FindNode(1)->Outputs().At(2));
    EXPECT_EQ(direct.Links().At(0)->Pin2(), direct.FindNode(7)->Inputs().At(0));
    EXPECT_EQ(direct.Links().At(1)->Pin2(), direct.FindNode(1)->Inputs().At(1));
    auto upgraded = Parse(text);
    CVergl::UpgradeOldForm(upgraded);
    CVergl::UpgradeOldForm(upgraded);
    CVergl twice;
    twice.Load(upgraded, kCurrentVersion);
    EXPECT_EQ(SaveText(twice), SaveText(direct));
}

TEST_F(Graph, MalformedDocumentsRaiseAndLeaveTheGraphAsItWas) {
    const std::string valid = R"(<graph next_id="8">
        <node><entity id="0"/><position x="1" y="2"/><pin location="2" max_edges="0"><entity id="1"/></pin></node>
        <node><entity id="2"/><pin location="1" max_edges="1"><entity id="3"/></pin></node>
        <link vertex1="0" vertex2="2" location1="2" location2="1" pin1="0" pin2="0"><entity id="4"/></link></graph>)";
    std::string manyPins;
    for (std::size_t i = 0; i <= kMaxPinsPerList; ++i) {
        manyPins += R"(<pin location="3"><entity id=")" + std::to_string(100 + i) + R"("/></pin>)";
    }
    const std::vector<std::pair<std::string, std::string>> edits{
        {R"(id="2")", R"(id="2x")"},
        {R"(x="1")", R"(x="2147483648")"},
        {R"(location="1" max)", R"(location="5" max)"},
        {R"(max_edges="1")", R"(max_edges="-1")"},
        {R"(next_id="8")", R"(next_id="1.5")"},
        {R"(vertex1="0" vertex2="2" location1="2")", R"(vertex1="2" vertex2="2" location1="1")"},
        {R"(<pin location="2" max_edges="0"><entity id="1"/></pin>)", manyPins}};
    BuildSample(target);
    const std::string before = SaveText(target, true);
    const int liveBefore = recorder.live;
    for (const auto& [from, to] : edits) {
        SCOPED_TRACE(from + " -> " + to.substr(0, 40));
        std::string text = valid;
        ASSERT_NE(text.find(from), std::string::npos);
        const auto doc = Parse(text.replace(text.find(from), from.size(), to));
        EXPECT_THROW(target.Load(doc, kCurrentVersion), ParseError);
        EXPECT_THROW(target.Merge(doc, kCurrentVersion), ParseError);
        EXPECT_EQ(SaveText(target, true), before);
        EXPECT_EQ(recorder.live, liveBefore);
    }
    const auto noGraph = Parse("<korvax><node/></korvax>");
    EXPECT_FALSE(target.Merge(noGraph, kCurrentVersion));
    EXPECT_THROW(target.Load(noGraph, kCurrentVersion), ParseError);
    EXPECT_EQ(SaveText(target, true), before);
    target.Load(Parse(valid), kCurrentVersion);
    EXPECT_EQ(ExpectConsistent(target), 5u);
}

TEST_F(Graph, MutatedDocumentsNeverCrashCorruptOrLeak) {
    BuildSample(graph);
    pugi::xml_document base;
    graph.Save(base, kCurrentVersion, true);
    std::mt19937 random(20240417u);
    const auto pick = [&](std::size_t count) {
        return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
    };
    const char* const values[] = {"",  "-1", "0",  "1", "2",   "3",   "4",
                                  "5", "7",  "12", "x", "1.5", " 3 ", "4294967295"};
    const char* const names[] = {"node", "pin", "link", "entity", "position", "vertex", "edge", "graph"};
    int loaded = 0;
    int refused = 0;
    for (int round = 0; round < 3000 && !HasFailure(); ++round) {
        pugi::xml_document doc;
        doc.reset(base);
        for (int step = 0; step < 1 + round % 3; ++step) {
            const pugi::xpath_node_set elements = doc.select_nodes("//*");
            if (elements.empty()) {
                break;
            }
            pugi::xml_node element = elements[pick(elements.size())].node();
            std::vector<pugi::xml_attribute> attributes(element.attributes_begin(), element.attributes_end());
            switch (pick(4)) {
            case 0:
                if (!attributes.empty()) {
                    pugi::xml_attribute attribute = attributes[pick(attributes.size())];
                    pick(4) == 0 ? element.remove_attribute(attribute)
                                 : attribute.set_value(values[pick(std::size(values))]);
                }
                break;
            case 1:
                element.parent().remove_child(element);
                break;
            case 2:
                elements[pick(elements.size())].node().append_copy(element);
                break;
            default:
                element.set_name(names[pick(std::size(names))]);
            }
        }
        target.Load(base, kCurrentVersion);
        const std::string before = SaveText(target, true);
        try {
            if (round % 2 == 0) {
                target.Load(doc, round % 5 == 0 ? kOldFormVersion : kCurrentVersion);
            } else {
                target.Merge(doc, kCurrentVersion);
            }
            ++loaded;
        } catch (const ParseError&) {
            ++refused;
            EXPECT_EQ(SaveText(target, true), before);
        }
        EXPECT_EQ(recorder.live, static_cast<int>(ExpectConsistent(graph) + ExpectConsistent(target)));
    }
    EXPECT_TRUE(log.Messages(brl::Logging::Critical).empty());
    EXPECT_GT(loaded, 300);
    EXPECT_GT(refused, 300);
}
