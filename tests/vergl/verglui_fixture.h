#pragma once

#include "vergl/verglui.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace verglui {

using namespace brl::vergl;

// A window-less view that counts redraw requests and runs on a test clock.
class TestView : public CUi {
public:
    TestView() { SetViewSize(800.0f, 600.0f); }
    void RequestRedraw() override { ++redraws; }
    uint64_t NowMilliseconds() const override { return now; }
    void CursorChanged(UiCursor shape) override { cursors.push_back(shape); }

    int redraws = 0;
    uint64_t now = 1000;
    std::vector<UiCursor> cursors;
};

// Journals every request; answers them with `accept`.
class TestOwner : public IUiHandler {
public:
    void SelectionsChanged() override { calls.push_back("selections"); }
    bool ConnectRequested(CPin* a, CPin* b) override {
        calls.push_back("connect");
        connects.emplace_back(a, b);
        return accept;
    }
    bool DeleteLinkRequested(CLink* link) override {
        calls.push_back("delete link " + std::to_string(link->Id()));
        return accept;
    }
    bool DeleteNodeRequested(CNode* node) override {
        calls.push_back("delete node " + std::to_string(node->Id()));
        return accept;
    }
    void ContextRequested() override { calls.push_back("context"); }
    void NodesMoved(const std::vector<NodeMove>& m) override {
        calls.push_back("moved");
        moves = m;
    }
    int Count(const std::string& call) const {
        int n = 0;
        for (const std::string& c : calls) {
            n += c == call ? 1 : 0;
        }
        return n;
    }

    std::vector<std::string> calls;
    std::vector<std::pair<CPin*, CPin*>> connects;
    std::vector<NodeMove> moves;
    bool accept = true;
};

// A graph shown in a test view with a test owner. The view starts at scroll
// (0, 0) and zoom 1, so window pixels equal graph units.
class ViewFixture : public ::testing::Test {
protected:
    ViewFixture() {
        view.SetGraph(&graph);
        view.SetHandler(&owner);
    }
    ~ViewFixture() override { view.SetGraph(nullptr); }

    // A node at (x, y) with the given pins on top (inputs) and bottom (outputs).
    CNode* Node(int32_t x, int32_t y, size_t inputs, size_t outputs) {
        CNode* node = graph.CreateNode();
        graph.SetPinCount(node->Inputs(), inputs);
        graph.SetPinCount(node->Outputs(), outputs);
        node->SetPosition(x, y);
        return node;
    }
    static CPin* In(CNode* node, size_t i) { return node->Inputs().At(i); }
    static CPin* Out(CNode* node, size_t i) { return node->Outputs().At(i); }

    void Press(float x, float y, Modifiers m = {}) { view.MouseDown(MouseButton::Left, x, y, m); }
    void Move(float x, float y, Modifiers m = {}) { view.MouseMotion(x, y, m); }
    void Release(float x, float y, Modifiers m = {}) { view.MouseUp(MouseButton::Left, x, y, m); }
    void Drag(float x0, float y0, float x1, float y1, Modifiers m = {}) {
        Press(x0, y0, m);
        Move((x0 + x1) / 2, (y0 + y1) / 2, m);
        Move(x1, y1, m);
        Release(x1, y1, m);
    }

    CVergl graph;
    TestView view;
    TestOwner owner;
};

} // namespace verglui
