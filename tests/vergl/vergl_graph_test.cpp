#include "verglfakes.h"

using namespace brl::vergl;
using Journal = std::vector<std::string>;
using verglfakes::CriticalLog;

namespace {

class Graph : public ::testing::Test {
protected:
    void SetUp() override {
        graph.SetView(&recorder);
        graph.SetEvents(&recorder);
    }
    CNode* NodeWithPins(std::size_t inputs, std::size_t outputs) {
        CNode* node = graph.CreateNode();
        graph.SetPinCount(node->Inputs(), inputs);
        graph.SetPinCount(node->Outputs(), outputs);
        return node;
    }

    verglfakes::Recorder recorder;
    CVergl graph;
};

} // namespace

TEST_F(Graph, NewNodesAndPinsTakeConsecutiveIdsAndAreAnnounced) {
    CNode* a = graph.CreateNode();
    ASSERT_TRUE(graph.SetPinCount(a->Outputs(), 2));
    CNode* b = graph.CreateNode();
    EXPECT_EQ(recorder.journal,
              (Journal{"added node 0", "added pin 1", "added pin 2", "changed node 0", "added node 3"}));
    EXPECT_EQ(graph.Nodes().At(1), b);
    EXPECT_EQ(graph.NextId(), 4u);
    CPin* second = a->Outputs().At(1);
    EXPECT_EQ(second->Location(), kLocationOutput);
    EXPECT_EQ(second->AsNode(), a);
    EXPECT_THROW(a->Outputs().At(2), std::out_of_range);
    EXPECT_THROW(a->Pins(kLocationCount + 1), std::out_of_range);
    EXPECT_FALSE(graph.SetPinCount(a->Inputs(), kMaxPinsPerList + 1));
}

TEST_F(Graph, LinkJoinsTwoNodesButNeverTwoPinsOfOneNode) {
    CNode* a = NodeWithPins(1, 1);
    CNode* b = NodeWithPins(1, 0);
    recorder.journal.clear();
    EXPECT_EQ(graph.Link(a->Outputs().At(0), a->Inputs().At(0)), nullptr);
    EXPECT_TRUE(recorder.journal.empty());
    CLink* link = graph.Link(a->Outputs().At(0), b->Inputs().At(0));
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->Pin1(), a->Outputs().At(0));
    EXPECT_EQ(recorder.journal, Journal{"added link 5"});
    EXPECT_EQ(verglfakes::ExpectConsistent(graph), 6u);
}

TEST_F(Graph, MaxEdgesIsKeptWhileThePinHasLinks) {
    CNode* a = NodeWithPins(0, 1);
    CPin* input = NodeWithPins(1, 0)->Inputs().At(0);
    ASSERT_TRUE(input->SetMaxEdges(1));
    EXPECT_TRUE(input->CanAcceptLink());
    CLink* link = graph.Link(a->Outputs().At(0), input);
    EXPECT_FALSE(input->CanAcceptLink());
    EXPECT_FALSE(input->SetMaxEdges(0));
    EXPECT_EQ(input->MaxEdges(), 1);
    graph.DestroyLink(link);
    EXPECT_TRUE(input->HasNoLinks());
    EXPECT_FALSE(input->SetMaxEdges(-1));
    EXPECT_TRUE(input->SetMaxEdges(0));
}

TEST_F(Graph, ShrinkingAPinListRemovesTrailingPinsWithTheirLinks) {
    CNode* a = NodeWithPins(0, 3);
    CNode* b = NodeWithPins(1, 0);
    recorder.Attach(a->Outputs().At(2), 1);
    recorder.Attach(graph.Link(a->Outputs().At(2), b->Inputs().At(0)), 2);
    recorder.journal.clear();
    ASSERT_TRUE(graph.SetPinCount(a->Outputs(), 2));
    EXPECT_EQ(recorder.journal, (Journal{"removed link 6", "delete link 6", "removed pin 3", "delete pin 3",
                                         "changed node 0"}));
    EXPECT_TRUE(b->Inputs().At(0)->HasNoLinks());
    EXPECT_EQ(recorder.live, 0);
    verglfakes::ExpectConsistent(graph);
}

TEST_F(Graph, DestroyingANodeRemovesItThenItsPinsWithTheirLinks) {
    CNode* a = NodeWithPins(0, 1);
    CNode* b = NodeWithPins(1, 0);
    CLink* link = graph.Link(a->Outputs().At(0), b->Inputs().At(0));
    recorder.Attach(a, 0);
    recorder.Attach(a->Outputs().At(0), 0);
    recorder.Attach(link, 0);
    recorder.journal.clear();
    graph.DestroyNode(a);
    EXPECT_EQ(recorder.journal,
              (Journal{"removed node 0", "delete node 0", "changed node 0", "removed link 4", "delete link 4",
                       "removed pin 1", "delete pin 1"}));
    EXPECT_EQ(recorder.live, 0);
    EXPECT_EQ(graph.FindNode(0), nullptr);
    EXPECT_TRUE(b->Inputs().At(0)->HasNoLinks());
}

TEST_F(Graph, ClearingAndDestroyingReleaseAllUserDataWithoutReports) {
    CriticalLog log;
    {
        CVergl other;
        other.SetEvents(&recorder);
        recorder.Attach(other.CreateNode(), 0);
        CNode* a = NodeWithPins(0, 1);
        CNode* b = NodeWithPins(1, 0);
        recorder.Attach(a, 0);
        recorder.Attach(graph.Link(a->Outputs().At(0), b->Inputs().At(0)), 0);
        graph.Clear();
        EXPECT_EQ(recorder.live, 1);
    }
    EXPECT_EQ(recorder.live, 0);
    EXPECT_TRUE(graph.Nodes().Empty());
    EXPECT_EQ(graph.NextId(), 5u);
    EXPECT_TRUE(log.Messages(brl::Logging::Critical).empty());
}

TEST(GraphWithoutHandler, DestroyingAnEntityThatStillHasUserDataReportsABug) {
    CriticalLog log;
    int record = 0;
    CVergl graph;
    CNode* node = graph.CreateNode();
    node->SetUserData(&record);
    graph.DestroyNode(node);
    EXPECT_EQ(log.Messages(brl::Logging::Critical), std::vector<brl::String>{L"BUG GetUserData()"});
}
