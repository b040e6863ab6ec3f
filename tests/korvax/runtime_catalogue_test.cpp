#include "korvax/korvaxcatalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

using namespace brl::Korvax;

TEST(ModuleCatalogue, HoldsEveryIdOnceThenTheTerminatorWhichUnknownIdsFind) {
    std::set<int> ids;
    for (int i = 0; i < kModuleCount; ++i) {
        ids.insert(kModuleTable[i].id);
        EXPECT_EQ(&FindModule(kModuleTable[i].id), &kModuleTable[i]);
    }
    EXPECT_EQ(ids.size(), 48u);
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(*ids.rbegin(), 48);
    EXPECT_EQ(kModuleTable[kModuleCount].id, 0);
    for (int id : {0, 49, 255, -1}) {
        const ModuleSpec& module = FindModule(id);
        EXPECT_EQ(module.id, 0) << id;
        EXPECT_EQ(PinCount(module), 0) << id;
        EXPECT_EQ(InputCount(module), 0) << id;
        EXPECT_EQ(InputPinSlot(module, 0), -1) << id;
        EXPECT_STREQ(module.name, "") << id;
    }
}

TEST(ModuleCatalogue, EveryRecordIsWellFormed) {
    const std::set<std::string> categories = {"tools", "generators", "effects", "filters", "i/o"};
    for (int i = 0; i < kModuleCount; ++i) {
        const ModuleSpec& module = kModuleTable[i];
        SCOPED_TRACE(module.name);
        EXPECT_EQ(categories.count(module.category), 1u);
        const int pins = PinCount(module);
        EXPECT_GT(pins, 0);
        EXPECT_EQ(InputCount(module) + OutputCount(module), pins);
        EXPECT_EQ(module.pins[kModulePinSlots - 1].dataType, PinDataType::Invalid);
        for (int slot = 0; slot < pins; ++slot) {
            const PinSpec& pin = module.pins[slot];
            EXPECT_LT(std::strlen(pin.shortName), 16u);
            EXPECT_GE(static_cast<int>(pin.kind), 1);
            EXPECT_LT(static_cast<int>(pin.kind), kPinKindCount);
            if (pin.direction == PinDirection::Input) {
                EXPECT_GE(pin.defaultValue, 0);
                EXPECT_LE(pin.defaultValue, 127);
            } else {
                // Outputs carry 255, except the outputs of Amplify and Gain and the envelopes' "done".
                const bool zero = module.id == 7 || module.id == 15 || std::strcmp(pin.name, "done") == 0;
                EXPECT_EQ(pin.defaultValue, zero ? 0 : 255) << pin.name;
            }
        }
    }
}

TEST(PinWalks, CountInputsAndOutputsSeparatelyInSlotOrderUpToSixteenSlots) {
    const ModuleSpec& bandsplit8 = FindModule(34); // all sixteen slots; the seventeenth ends it
    EXPECT_EQ(PinCount(bandsplit8), 16);
    EXPECT_EQ(bandsplit8.pins[16].dataType, PinDataType::Invalid);
    EXPECT_EQ(InputCount(bandsplit8), 8);
    EXPECT_EQ(OutputCount(bandsplit8), 8);
    EXPECT_EQ(InputPinSlot(bandsplit8, 1), 9);
    EXPECT_EQ(InputPinSlot(bandsplit8, 7), 15);
    EXPECT_EQ(InputPinSlot(bandsplit8, 8), -1);
    EXPECT_EQ(OutputPinSlot(bandsplit8, 7), 8);
    const ModuleSpec& phase = FindModule(27); // output first
    EXPECT_STREQ(InputPin(phase, 1)->name, "pulse width");
    EXPECT_EQ(InputPinSlot(phase, 1), 2);
    EXPECT_EQ(OutputPinSlot(phase, 0), 0);
    EXPECT_EQ(OutputPin(phase, 1), nullptr);
    const ModuleSpec& release = FindModule(23); // two outputs first
    EXPECT_STREQ(InputPin(release, 1)->name, "flag");
    EXPECT_EQ(InputPinSlot(release, 1), 3);
    EXPECT_EQ(InputPinSlot(release, -1), -1);
}

TEST(PinWalks, StopAtTheFirstEmptySlotAndLookAtSixteenSlotsAtMost) {
    ModuleSpec gap;
    gap.id = 99;
    gap.pins[0] = {"a", "a", PinDataType::Value, 5, PinDirection::Input, PinKind::Param, 0};
    gap.pins[2] = {"c", "c", PinDataType::Value, 5, PinDirection::Input, PinKind::Param, 0};
    EXPECT_EQ(PinCount(gap), 1);
    EXPECT_EQ(InputCount(gap), 1);
    EXPECT_EQ(InputPinSlot(gap, 1), -1);
    ModuleSpec full;
    for (PinSpec& pin : full.pins) {
        pin = {"x", "x", PinDataType::Buffer, 5, PinDirection::Input, PinKind::Sample, 0};
    }
    EXPECT_EQ(PinCount(full), 16);
    EXPECT_EQ(InputCount(full), 16);
    EXPECT_EQ(InputPinSlot(full, 15), 15);
    EXPECT_EQ(InputPinSlot(full, 16), -1);
}

TEST(PinWalks, PreferredRangeIsTheKindOfTheInputAndTheInitialValueItsDefaultOver128) {
    EXPECT_EQ(GetPreferredModulePinRange(27, 0), PinKind::Freq);
    EXPECT_EQ(GetPreferredModulePinRange(23, 1), PinKind::Flag);
    EXPECT_EQ(GetPreferredModulePinRange(27, 2), PinKind::Invalid);
    EXPECT_EQ(GetPreferredModulePinRange(0, 0), PinKind::Invalid);
    EXPECT_EQ(GetPreferredModulePinRange(41, 0), PinKind::Invalid);
    EXPECT_EQ(InitialParameterValue(*InputPin(FindModule(5), 4)), 0.9921875f);
    PinSpec pin;
    pin.defaultValue = 0x140; // only the low byte counts
    EXPECT_EQ(InitialParameterValue(pin), 0.5f);
}

TEST(ModuleMenu, SortsByteWiseByCategoryThenName) {
    const std::vector<const ModuleSpec*> menu = ModuleMenuOrder();
    ASSERT_EQ(menu.size(), 48u);
    std::set<int> ids;
    for (size_t i = 0; i < menu.size(); ++i) {
        ids.insert(menu[i]->id);
        if (i > 0) {
            const int byCategory = std::strcmp(menu[i - 1]->category, menu[i]->category);
            EXPECT_TRUE(byCategory < 0 ||
                        (byCategory == 0 && std::strcmp(menu[i - 1]->name, menu[i]->name) < 0))
                << menu[i - 1]->name << " before " << menu[i]->name;
        }
    }
    EXPECT_EQ(ids.size(), 48u);
}

TEST(ThemeColours, EveryPinKindHasItsKeyAndColourAndOthersFallBack) {
    std::set<std::string> keys;
    for (const ThemeColour& colour : kThemeColours) {
        keys.insert(colour.key);
    }
    EXPECT_EQ(keys.size(), 25u);
    for (int kind = 0; kind < kPinKindCount; ++kind) {
        EXPECT_EQ(std::string("Korvax/Theme/Pin/") + PinKindThemeSuffix(kind), kThemeColours[kind].key);
        EXPECT_EQ(PinKindColour(kind), kThemeColours[kind].colour);
    }
    EXPECT_EQ(PinKindColour(99), 0x000000);
    EXPECT_STREQ(PinKindName(18), "INVALID");
    EXPECT_STREQ(PinDataTypeName(-1), "INVALID");
}

} // namespace
