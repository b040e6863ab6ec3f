#include "korvax/korvaxcatalogue.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace brl::Korvax;

// Guards lookups of unknown ids, which must find the empty terminator and not read past the table.
TEST(ModuleCatalogue, HoldsEveryIdOnceThenTheTerminatorWhichUnknownIdsFind) {
    std::set<int> ids;
    for (int i = 0; i < kModuleCount; ++i) {
        ids.insert(kModuleTable[i].id);
        EXPECT_EQ(&FindModule(kModuleTable[i].id), &kModuleTable[i]);
    }
    EXPECT_EQ(ids.size(), 48u);
    EXPECT_EQ(*ids.rbegin(), 48);
    for (int id : {0, 49, 255, -1}) {
        const ModuleSpec& module = FindModule(id);
        EXPECT_EQ(module.id, 0) << id;
        EXPECT_EQ(PinCount(module), 0) << id;
        EXPECT_EQ(InputPinSlot(module, 0), -1) << id;
    }
}

// Guards the pin walks: inputs and outputs counted apart, stopping at a gap and at sixteen slots.
TEST(PinWalks, StopAtTheFirstEmptySlotAndLookAtSixteenSlotsAtMost) {
    const ModuleSpec& bandsplit8 = FindModule(34); // all sixteen slots, outputs first
    EXPECT_EQ(PinCount(bandsplit8), 16);
    EXPECT_EQ(InputPinSlot(bandsplit8, 7), 15);
    EXPECT_EQ(InputPinSlot(bandsplit8, 8), -1);
    EXPECT_EQ(OutputPinSlot(bandsplit8, 7), 8);
    ModuleSpec gap;
    gap.id = 99;
    gap.pins[0] = {"a", "a", PinDataType::Value, 5, PinDirection::Input, PinKind::Param, 0};
    gap.pins[2] = gap.pins[0];
    EXPECT_EQ(PinCount(gap), 1);
    EXPECT_EQ(InputPinSlot(gap, 1), -1);
    ModuleSpec full;
    for (PinSpec& pin : full.pins) {
        pin = {"x", "x", PinDataType::Buffer, 5, PinDirection::Input, PinKind::Sample, 0};
    }
    EXPECT_EQ(InputCount(full), 16);
    EXPECT_EQ(InputPinSlot(full, 16), -1);
}

} // namespace
