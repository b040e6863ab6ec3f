#include "verglfakes.h"

#include <iterator>
#include <random>

using namespace brl::vergl;
using verglfakes::ExpectConsistent;
using verglfakes::SaveText;
using Journal = std::vector<std::string>;

namespace {

pugi::xml_document Parse(const std::string& text) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(text.c_str())) << text;
    return doc;
}

class GraphXml : public ::testing::Test {
protected:
    void SetUp() override {
        for (CVergl* graph : {&source, &target}) {
            graph->SetView(&recorder);
            graph->SetEvents(&recorder);
        }
    }
    // Node a (2 inputs, 1 output), b (1 input), c (1 pin on the left); links
    // a.out -> b.in and c.left -> a.in1; next id 10.
    void BuildSample(CVergl& graph) {
        CNode* a = graph.CreateNode();
        CNode* b = graph.CreateNode();
        CNode* c = graph.CreateNode();
        graph.SetPinCount(a->Inputs(), 2);
        graph.SetPinCount(a->Outputs(), 1);
        graph.SetPinCount(b->Inputs(), 1);
        graph.SetPinCount(c->Pins(kLocationLeft), 1);
        a->SetPosition(10, -20);
        b->Inputs().At(0)->SetMaxEdges(1);
        graph.Link(a->Outputs().At(0), b->Inputs().At(0));
        graph.Link(c->Pins(kLocationLeft).At(0), a->Inputs().At(1));
        pugi::xml_document doc; // reloaded so that every entity carries user data
        graph.Save(doc, kCurrentVersion, false);
        graph.Load(doc, kCurrentVersion);
    }

    verglfakes::CriticalLog log;
    verglfakes::Recorder recorder;
    CVergl source;
    CVergl target;
};

} // namespace

TEST_F(GraphXml, SavingAndLoadingRestoresIdsPositionsPinsLinksAndUserData) {
    BuildSample(source);
    target.CreateNode();
    pugi::xml_document doc;
    source.Save(doc, kCurrentVersion, false);
    target.Load(doc, kCurrentVersion);
    EXPECT_EQ(SaveText(target), SaveText(source));
    EXPECT_EQ(target.NextId(), 10u);
    const CNode* a = target.FindNode(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Y(), -20);
    const CPin* left = target.FindNode(2)->Pins(kLocationLeft).At(0);
    EXPECT_EQ(left->Id(), 7u);
    EXPECT_EQ(target.FindNode(1)->Inputs().At(0)->MaxEdges(), 1);
    const CLink* link = target.Links().At(1);
    EXPECT_EQ(link->Pin1(), left);
    EXPECT_EQ(link->Pin2(), a->Inputs().At(1));
    EXPECT_EQ(verglfakes::Recorder::Tag(link), 9);
    EXPECT_EQ(recorder.live, 2 * static_cast<int>(ExpectConsistent(target)));
}

TEST_F(GraphXml, StyleFlagCarriesColorStyleAndComment) {
    CNode* node = source.CreateNode();
    node->SetName(L"Gr\u00fcn");
    node->SetComment(L"note");
    node->SetColor(0x80332211u);
    node->SetStyle(1);
    pugi::xml_document styled;
    source.Save(styled, kCurrentVersion, true);
    EXPECT_EQ(styled.select_node("/graph/node/entity").node().attribute("color").as_uint(), 0x112233u);
    target.Load(styled, kCurrentVersion);
    const CNode* loaded = target.Nodes().At(0);
    EXPECT_EQ(loaded->Comment(), L"note");
    EXPECT_EQ(loaded->Color(), 0xFF332211u);
    EXPECT_EQ(loaded->Style(), 1);
    pugi::xml_document plain;
    source.Save(plain, kCurrentVersion, false);
    target.Load(plain, kCurrentVersion);
    EXPECT_EQ(target.Nodes().At(0)->Name(), L"Gr\u00fcn");
    EXPECT_TRUE(target.Nodes().At(0)->Comment().empty());
    EXPECT_EQ(target.Nodes().At(0)->Color(), kDefaultColor);
}

TEST_F(GraphXml, LoadAnnouncesTheNewEntitiesOnlyAfterTheOldOnesHaveGone) {
    target.CreateNode();
    recorder.journal.clear();
    const auto doc = Parse(R"(<graph next_id="9"><node><entity id="5" name="n"/><position x="1" y="2"/>
        <pin location="2"><entity id="6"/></pin></node></graph>)");
    target.Load(doc, kCurrentVersion);
    EXPECT_EQ(recorder.journal,
              (Journal{"load node 5", "load pin 6", "removed node 0", "delete node 0", "changed node 0",
                       "changed node 5", "moved node 5", "added pin 6", "changed node 5", "added node 5"}));
    EXPECT_EQ(target.NextId(), 9u);
}

TEST_F(GraphXml, PastedSelectionFromNextId10IntoNextId50TakesIds50UpAndEndsAt60) {
    BuildSample(source);
    pugi::xml_document copied;
    source.SaveSelection(copied, kCurrentVersion, false, {source.FindNode(0), source.FindNode(1)});
    CNode* existing = target.CreateNode();
    target.SetPinCount(existing->Outputs(), 49);
    std::vector<CNode*> pasted;
    ASSERT_TRUE(target.Merge(copied, kCurrentVersion, &pasted));
    ASSERT_EQ(pasted.size(), 2u);
    EXPECT_EQ(pasted[0]->Id(), 50u);
    EXPECT_EQ(pasted[1]->Id(), 51u);
    EXPECT_EQ(target.NextId(), 60u);
    ASSERT_EQ(target.Links().Count(), 1u);
    EXPECT_EQ(target.Links().At(0)->Id(), 58u);
    EXPECT_EQ(target.Links().At(0)->Pin2(), pasted[1]->Inputs().At(0));
    EXPECT_EQ(target.Nodes().At(0), existing);
    ExpectConsistent(target);
}

TEST_F(GraphXml, NextIdStaysAboveLoadedIdsAndNeverWraps) {
    target.Load(Parse(R"(<graph next_id="1"><node><entity id="6"/></node></graph>)"), kCurrentVersion);
    EXPECT_EQ(target.NextId(), 7u);
    EXPECT_THROW(target.Merge(Parse(R"(<graph next_id="4294967295"/>)"), kCurrentVersion), ParseError);
    EXPECT_EQ(target.NextId(), 7u);
    target.Load(Parse(R"(<graph next_id="4294967295"/>)"), kCurrentVersion);
    EXPECT_EQ(target.CreateNode(), nullptr);
    EXPECT_TRUE(target.Nodes().Empty());
}

TEST(OldFormUpgrade, EdgeToTheSecondPinOfAnOutInVertexBecomesTheFirstInput) {
    auto doc = Parse(R"(<graph next_id="7">
        <vertex><entity id="1"/><pin location="0"><entity id="2"/></pin><pin location="1"><entity id="3"/></pin></vertex>
        <vertex><entity id="4"/><pin location="0"><entity id="5"/></pin></vertex>
        <edge vertex1="4" pin1="0" vertex2="1" pin2="1"><entity id="6"/></edge></graph>)");
    CVergl::UpgradeOldForm(doc);
    const pugi::xml_node link = doc.child("graph").child("link");
    EXPECT_EQ(link.attribute("location2").as_int(), kLocationInput);
    EXPECT_EQ(link.attribute("pin2").as_int(), 0);
    EXPECT_EQ(link.attribute("location1").as_int(), kLocationOutput);
    EXPECT_FALSE(doc.child("graph").child("vertex"));
    CVergl graph;
    graph.Load(doc, kCurrentVersion);
    EXPECT_EQ(graph.Links().At(0)->Pin2(), graph.FindNode(1)->Inputs().At(0));
    EXPECT_EQ(graph.Links().At(0)->Pin1(), graph.FindNode(4)->Outputs().At(0));
}

TEST(OldFormUpgrade, PinsAreCountedPerOldLocationAndVersion17LoadsUpgraded) {
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

namespace {

const char* const kValid = R"(<graph next_id="8">
    <node><entity id="0"/><position x="1" y="2"/><pin location="2" max_edges="0"><entity id="1"/></pin></node>
    <node><entity id="2"/><pin location="1" max_edges="1"><entity id="3"/></pin></node>
    <link vertex1="0" vertex2="2" location1="2" location2="1" pin1="0" pin2="0"><entity id="4"/></link></graph>)";

} // namespace

TEST_F(GraphXml, MalformedDocumentsRaiseAndLeaveTheGraphAsItWas) {
    std::string manyPins;
    for (std::size_t i = 0; i <= kMaxPinsPerList; ++i) {
        manyPins += R"(<pin location="3"><entity id=")" + std::to_string(100 + i) + R"("/></pin>)";
    }
    const std::vector<std::pair<std::string, std::string>> edits{
        {R"(<entity id="0"/>)", ""},
        {R"(entity id="2")", "entity"},
        {R"(id="2")", R"(id="2x")"},
        {R"(id="2")", R"(id="-2")"},
        {R"(id="2")", R"(id="4294967295")"},
        {R"(id="2")", R"(id="0")"},
        {R"(id="3")", R"(id="4")"},
        {R"(x="1")", R"(x="2147483648")"},
        {R"(location="1" max)", R"(location="5" max)"},
        {R"(location="1" max)", "max"},
        {R"(max_edges="1")", R"(max_edges="-1")"},
        {R"(location2="1")", R"(location2="0")"},
        {R"(pin2="0")", R"(pin2="1")"},
        {R"(vertex1="0")", R"(vertex1="9")"},
        {R"(vertex1="0" vertex2="2" location1="2")", R"(vertex1="2" vertex2="2" location1="1")"},
        {R"( pin1="0")", ""},
        {R"(next_id="8")", R"(next_id="1.5")"},
        {R"(<pin location="2" max_edges="0"><entity id="1"/></pin>)", manyPins},
    };
    BuildSample(target);
    const std::string before = SaveText(target, true);
    const int liveBefore = recorder.live;
    for (const auto& [from, to] : edits) {
        SCOPED_TRACE(from + " -> " + to.substr(0, 40));
        std::string text = kValid;
        ASSERT_NE(text.find(from), std::string::npos);
        const auto doc = Parse(text.replace(text.find(from), from.size(), to));
        EXPECT_THROW(target.Load(doc, kCurrentVersion), ParseError);
        EXPECT_THROW(target.Merge(doc, kCurrentVersion), ParseError);
        EXPECT_EQ(SaveText(target, true), before);
        EXPECT_EQ(recorder.live, liveBefore);
    }
    const auto noGraph = Parse("<korvax><node/></korvax>");
    EXPECT_FALSE(target.Merge(noGraph, kCurrentVersion));
    try {
        target.Load(noGraph, kCurrentVersion);
        ADD_FAILURE() << "no ParseError";
    } catch (const ParseError& error) {
        EXPECT_STREQ(error.what(), "error parsing xml");
    }
    EXPECT_EQ(SaveText(target, true), before);
    target.Load(Parse(kValid), kCurrentVersion);
    EXPECT_EQ(ExpectConsistent(target), 5u);
}

TEST_F(GraphXml, MutatedDocumentsNeverCrashCorruptOrLeak) {
    BuildSample(source);
    pugi::xml_document base;
    source.Save(base, kCurrentVersion, true);
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
            std::vector<pugi::xml_node> elements;
            for (const pugi::xpath_node& hit : doc.select_nodes("//*")) {
                elements.push_back(hit.node());
            }
            if (elements.empty()) {
                break;
            }
            pugi::xml_node element = elements[pick(elements.size())];
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
                elements[pick(elements.size())].append_copy(element);
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
        EXPECT_EQ(recorder.live, static_cast<int>(ExpectConsistent(source) + ExpectConsistent(target)));
    }
    EXPECT_TRUE(log.Messages(brl::Logging::Critical).empty());
    EXPECT_GT(loaded, 300);
    EXPECT_GT(refused, 300);
}
