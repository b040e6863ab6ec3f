#include "korvax/korvaxfileio.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <array>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::vergl::CVergl;

constexpr int kIterations = 2500;

std::string Text(const pugi::xml_document& document) {
    std::ostringstream text;
    document.save(text, "\t");
    return text.str();
}

std::string Text(SynthFileIo& io) {
    pugi::xml_document document;
    io.SavePatchesToXml(document, L"fuzz");
    return Text(document);
}

// Seeded damage to a document: flipped bytes, truncation, changed attribute
// values, deleted or duplicated elements.
class Mutator {
public:
    std::string Mutate(const std::string& text) {
        const size_t kind = Pick(5);
        if (kind == 0) {
            std::string flipped = text;
            for (size_t i = Pick(4); i < 4; ++i) {
                flipped[Pick(flipped.size())] =
                    static_cast<char>(Pick(2) ? Pick(256) : "<>\"/=-019 x"[Pick(11)]);
            }
            return flipped;
        }
        if (kind == 1) {
            return text.substr(0, Pick(text.size()));
        }
        pugi::xml_document document;
        document.load_string(text.c_str());
        std::vector<pugi::xml_node> elements;
        for (const pugi::xpath_node& found : document.select_nodes("//*")) {
            elements.push_back(found.node());
        }
        if (elements.size() < 2) {
            return text;
        }
        pugi::xml_node element = elements[1 + Pick(elements.size() - 1)];
        if (kind == 2) {
            element.parent().remove_child(element);
        } else if (kind == 3) {
            element.parent().insert_copy_after(element, element);
        } else {
            static const std::array<const char*, 16> kValues = {
                "-1",  "0",   "1",          "2", "17",   "32", "127", "128",
                "255", "256", "4294967296", "",  "true", "x",  " 5 ", "+4"};
            for (size_t i = Pick(3); i < 3; ++i) {
                element = elements[Pick(elements.size())];
                std::vector<pugi::xml_attribute> attributes(element.attributes_begin(),
                                                            element.attributes_end());
                if (!attributes.empty()) {
                    attributes[Pick(attributes.size())].set_value(kValues[Pick(kValues.size())]);
                }
            }
        }
        return Text(document);
    }

private:
    size_t Pick(size_t count) {
        return count == 0 ? 0 : std::uniform_int_distribution<size_t>(0, count - 1)(random);
    }

    std::mt19937 random{20251206};
};

TEST(PatchFileFuzz, MutatedFilesAreRefusedWholeOrLoadedConsistently) {
    brl::Logging::NullChannel log;
    auto source = std::make_unique<SynthesizerEditor>(&log);
    SynthFileIo sourceIo(*source);
    const std::string old = brl::testing::ReadFile(KORVAX_TEST_DATA_DIR "/version17.korvax");
    pugi::xml_document oldDocument;
    ASSERT_TRUE(oldDocument.load_string(old.c_str()) && sourceIo.LoadXmlToPatches(oldDocument));
    source->Patches().song = Song{3, {0, 1, 2}, {4, 5, 6}};
    const std::array<std::string, 2> seeds = {Text(sourceIo), old};
    CVergl& voice = source->Patches().Voice(0);
    const std::string copied = sourceIo.SaveGraphToString({voice.Nodes().begin(), voice.Nodes().end()}, 0);

    auto target = std::make_unique<SynthesizerEditor>(&log);
    SynthFileIo io(*target);
    CVergl& clipboardTarget = target->Patches().ChannelPost(7);
    Mutator mutator;
    int accepted = 0;
    int pasted = 0;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        SCOPED_TRACE(iteration);
        const std::string before = Text(io);
        pugi::xml_document document;
        bool loaded = false;
        ASSERT_NO_THROW(loaded = document.load_string(mutator.Mutate(seeds[iteration % 2]).c_str()) &&
                                 io.LoadXmlToPatches(document));
        const std::string after = Text(io);
        if (!loaded) {
            ASSERT_EQ(after, before);
        } else {
            // What was accepted compiles or not, and saves to a file that loads back the same.
            ++accepted;
            ASSERT_NO_THROW(target->Compile());
            pugi::xml_document again;
            ASSERT_TRUE(again.load_string(after.c_str()) && io.LoadXmlToPatches(again));
            ASSERT_EQ(Text(io), after);
        }
        clipboardTarget.Clear();
        bool pastedNow = false;
        ASSERT_NO_THROW(pastedNow = io.LoadGraphFromString(mutator.Mutate(copied), clipboardTarget, 7));
        pasted += pastedNow ? 1 : 0;
        ASSERT_TRUE(pastedNow || clipboardTarget.Nodes().Empty());
    }
    EXPECT_GT(accepted, kIterations / 20);
    EXPECT_LT(accepted, kIterations);
    EXPECT_GT(pasted, 0);
}

} // namespace
