#include "korvax/korvaxpatchset.h"

#include <gtest/gtest.h>

namespace {

using namespace brl::Korvax;
using brl::vergl::CNode;
using brl::vergl::CVergl;

// A module node whose value inputs use controllers of `channel` from `firstNumber` up.
CNode* AddModule(CVergl& graph, int moduleId, int channel, int firstNumber) {
    CNode* node = CreateModuleNode(graph, moduleId);
    for (auto* pin : node->Inputs()) {
        if (PinRecord* record = GetPinRecord(pin); record->value) {
            record->controllerChannel = channel;
            record->controllerNumber = firstNumber++;
        }
    }
    return node;
}

// Guards leaks and double frees of node and pin records. Counts the records it deletes.
class CountingEvents : public PatchRecordEvents {
public:
    void DeleteUserData(brl::vergl::CEntity* entity) override {
        deleted += entity->GetUserData() != nullptr;
        PatchRecordEvents::DeleteUserData(entity);
    }
    int deleted = 0;
};

TEST(PatchSetRecords, AreDeletedThroughTheInstalledHandlerAndNeverOutliveThePatchSet) {
    CountingEvents events;
    {
        PatchSet patches;
        patches.SetEvents(&events);
        patches.Mix().DestroyNode(CreateModuleNode(patches.Mix(), 1)); // node and 4 pins
        EXPECT_EQ(events.deleted, 5);
        CreateVoiceParamsOutputNode(patches.Mix()); // node and 3 pins
        patches.ParameterByte(3, 3) = 9;
        patches.Clear();
        EXPECT_EQ(events.deleted, 9);
        EXPECT_EQ(patches.ParameterByte(3, 3), 0);
        CreateBufferInputNode(patches.Voice(0), 4);
    }
    EXPECT_EQ(events.deleted, 9); // the patch set's own handler deleted the last records
}

TEST(PatchSetControllers, HandOutTheUpperHalfFirstThenWrapToZeroAndSkipLinkedInputs) {
    PatchSet patches;
    EXPECT_EQ(patches.FindFreeController(0), 128);
    AddModule(patches.Voice(0), 13, 0, 128);
    AddModule(patches.Voice(1), 13, 1, 129); // other channels and numbers above 239 do not count
    AddModule(patches.Voice(0), 13, 0, 245);
    EXPECT_EQ(patches.FindFreeController(0), 129);
    for (int number = 129; number < kAssignableControllers; ++number) {
        AddModule(patches.Mix(), 13, 0, number);
    }
    EXPECT_EQ(patches.FindFreeController(0), 0);
    for (int number = 0; number < 128; ++number) {
        AddModule(patches.Mix(), 13, 0, number);
    }
    EXPECT_EQ(patches.FindFreeController(0), 0); // all used: 0 is shared again
    EXPECT_EQ(patches.ControllerUsage(0, 0), 1);
    EXPECT_EQ(patches.FindFreeController(32), 0);
    // An input with a link leaves its controller free.
    CVergl& graph = patches.Voice(2);
    CNode* source = AddModule(graph, 13, 2, 128);
    ASSERT_NE(graph.Link(source->Outputs().At(0), AddModule(graph, 13, 2, 129)->Inputs().At(0)), nullptr);
    EXPECT_EQ(patches.FindFreeController(2), 129);
    EXPECT_EQ(patches.ControllerUsage(2, 128), 1);
}

} // namespace
