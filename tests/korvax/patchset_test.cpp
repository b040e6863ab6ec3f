#include "korvax/korvaxpatchset.h"

#include <gtest/gtest.h>

namespace {

using namespace brl::Korvax;

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

} // namespace
