#include "korvax/korvaxfileio.h"
#include "korvax/korvaxmidilearn.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <memory>
#include <string>

namespace {

using namespace brl::Korvax;
using brl::testing::TempDir;
using Assignment = MidiLearn::Assignment;

struct Rig {
    brl::Logging::NullChannel log;
    std::unique_ptr<SynthesizerEditor> editor = std::make_unique<SynthesizerEditor>(&log);
    SynthFileIo io{*editor};
    float Slot(int channel, int number) {
        editor->SettleEvents();
        return editor->Memory()[channel * kControllersPerChannel + number];
    }
    bool Cc(int midiChannel, int cc, int value) {
        return editor->QueueMidiEvent(brl::Midi::Event(
            static_cast<uint8_t>(0xB0 | midiChannel), static_cast<uint8_t>(cc), static_cast<uint8_t>(value)));
    }
    // An oscillator on channel 5; the controller of its shape input.
    int AddOscillatorShape() {
        editor->CreateNode(editor->Patches().Voice(5), 1, 5);
        for (int number = 128; number < 240; ++number) {
            if (editor->GetPreferredControllerRange(5, number) == PinKind::DiscretOsc) {
                return number;
            }
        }
        ADD_FAILURE() << "the oscillator has no shape controller";
        return 0;
    }
};

TEST(MidiLearn, ArmedLearningTakesTheNextCcWhichThenDrivesTheControllerAndIsConsumed) {
    Rig rig;
    ASSERT_TRUE(rig.editor->LearnController(3, 17));
    EXPECT_EQ(rig.editor->MidiLearning().Learning(), std::make_pair(3, 17));
    // Channel mode messages are not learned and still act.
    EXPECT_TRUE(rig.Cc(2, 123, 0));
    EXPECT_TRUE(rig.editor->MidiLearning().Learning().has_value());
    EXPECT_TRUE(rig.Cc(2, 74, 64));
    EXPECT_FALSE(rig.editor->MidiLearning().Learning().has_value());
    EXPECT_EQ(rig.editor->MidiLearning().Assignments(), (std::vector<Assignment>{{2, 74, 3, 17}}));
    EXPECT_EQ(rig.Slot(3, 17), 0.5f);
    EXPECT_EQ(rig.Slot(0, 74), 0.0f); // not through the default mapping to synth channel 0
    EXPECT_TRUE(rig.Cc(2, 74, 127));
    EXPECT_EQ(rig.Slot(3, 17), 127.0f / 128.0f);
    EXPECT_EQ(rig.Slot(0, 74), 0.0f);
    // The same CC on another MIDI channel, and other CCs, keep the default mapping.
    EXPECT_TRUE(rig.Cc(1, 74, 32));
    EXPECT_TRUE(rig.Cc(2, 75, 16));
    EXPECT_EQ(rig.Slot(0, 74), 0.25f);
    EXPECT_EQ(rig.Slot(0, 75), 0.125f);
    EXPECT_EQ(rig.Slot(3, 17), 127.0f / 128.0f);
    ASSERT_TRUE(rig.editor->MidiLearning().Forget(3, 17));
    EXPECT_FALSE(rig.editor->MidiLearning().Forget(3, 17));
    EXPECT_TRUE(rig.Cc(2, 74, 8));
    EXPECT_EQ(rig.Slot(0, 74), 0.0625f);
    EXPECT_EQ(rig.Slot(3, 17), 127.0f / 128.0f);
}

TEST(MidiLearnFile, AssignmentsSurviveSaveAndLoadInOneRootElement) {
    TempDir dir;
    Rig source;
    const int shape = source.AddOscillatorShape();
    ASSERT_TRUE(source.editor->MidiLearning().Assign({9, 71, 5, shape}, PinKind::Invalid));
    ASSERT_TRUE(source.editor->MidiLearning().Assign({0, 7, 0, 200}, PinKind::Invalid));
    ASSERT_TRUE(source.io.SavePatchesToFile(dir.File("a.korvax"), L"1.0", false));
    pugi::xml_document document;
    ASSERT_TRUE(document.load_file(dir.File("a.korvax").c_str()));
    const pugi::xml_node root = document.document_element();
    EXPECT_EQ(std::string(root.last_child().name()), "midilearn");
    EXPECT_EQ(std::distance(root.children("midilearn").begin(), root.children("midilearn").end()), 1);
    Rig loaded;
    ASSERT_TRUE(loaded.editor->MidiLearning().Assign({1, 1, 1, 1}, PinKind::Invalid));
    ASSERT_TRUE(loaded.io.LoadPatchesFromFile(dir.File("a.korvax")));
    EXPECT_EQ(loaded.editor->MidiLearning().Assignments(),
              (std::vector<Assignment>{{0, 7, 0, 200}, {9, 71, 5, shape}}));
    // The range kind comes from the loaded patch set.
    ASSERT_TRUE(loaded.Cc(9, 71, 127));
    EXPECT_EQ(loaded.Slot(5, shape), (5 * 16 + 8) / 128.0f);
    // A driven value is saved like one set by its slider.
    ASSERT_TRUE(loaded.Cc(9, 71, 0));
    loaded.io.SavePatchesToText(L"test");
    EXPECT_EQ(
        loaded.editor->Patches().parameterValues[static_cast<size_t>(5 * kControllersPerChannel + shape)], 8);
    // A new patch set has none.
    loaded.io.LoadEmptyPatches();
    EXPECT_TRUE(loaded.editor->MidiLearning().Empty());
}

} // namespace
