#include "korvax/korvaxfileio.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::testing::ReadFile;
using brl::testing::TempDir;
using brl::vergl::CNode;
using brl::vergl::CPin;
using brl::vergl::CVergl;

struct Editor {
    brl::Logging::NullChannel log;
    std::unique_ptr<SynthesizerEditor> editor = std::make_unique<SynthesizerEditor>(&log);
    SynthFileIo io{*editor};
    PatchSet& Patches() { return editor->Patches(); }
    float& Slot(int channel, int number) {
        return editor->Memory()[channel * kControllersPerChannel + number];
    }
    void Connect(CVergl& graph, CPin* from, CPin* to) {
        ASSERT_TRUE(editor->CreateConnection(graph, from, to));
    }
    // The whole state as the writer sees it.
    std::string Text() { return io.SavePatchesToText(L"test"); }
};

// Every kind of node and link, names, values and a song; channel 5's controllers 128..131 linked, set.
void Populate(Editor& e) {
    CVergl& voice = e.Patches().Voice(5);
    CNode* notes = e.editor->CreateNodeVoiceParamsOutput(voice);
    CNode* mapNote = e.editor->CreateNode(voice, 13, 5);
    CNode* phase = e.editor->CreateNode(voice, 27, 5);
    CNode* osc = e.editor->CreateNode(voice, 1, 5);
    CNode* envelope = e.editor->CreateNode(voice, 5, 5);
    CNode* finished = e.editor->CreateNodeVoiceParamsInput(voice);
    CNode* buffer = e.editor->CreateNodeBufferInput(voice);
    e.editor->SetBufferNumber(buffer, 3);
    e.Connect(voice, notes->Outputs().At(1), mapNote->Inputs().At(0));
    e.Connect(voice, mapNote->Outputs().At(0), phase->Inputs().At(0)); // through a "Set" node
    e.Connect(voice, phase->Outputs().At(0), osc->Inputs().At(0));
    e.Connect(voice, osc->Outputs().At(0), buffer->Inputs().At(0));
    e.Connect(voice, envelope->Outputs().At(1), finished->Inputs().At(0));
    CNode* global = e.editor->CreateNodeBufferOutput(e.Patches().Mix());
    e.editor->SetBufferNumber(global, 3);
    e.Connect(e.Patches().Mix(), global->Outputs().At(0),
              e.editor->CreateNode(e.Patches().Mix(), 42, 0)->Inputs().At(1));
    e.Patches().channelNames[5] = L"B\u00e4ss <&\"'>";
    e.editor->SetControllerName(5, 130, L"Gr\u00fcn");
    e.Patches().song = Song{1234, {0, 5, 0xFFFFFFFFu}, {0, 255, 17}};
    e.editor->RenderBuffer(); // applies the queued default values
    e.Slot(5, 129) = 0.5f;
    e.Slot(5, 130) = 0.3f;
    e.Slot(5, 131) = 0.99609375f;
}

TEST(PatchFile, SavingTheLoadedFileAgainGivesTheSameBytesAndProgramAndRoundedValueBytes) {
    TempDir dir;
    Editor source;
    Populate(source);
    ASSERT_TRUE(source.editor->Compile());
    ASSERT_TRUE(source.io.SavePatchesToFile(dir.File("a.korvax"), L"1.0", false));
    Editor loaded;
    ASSERT_TRUE(loaded.io.LoadPatchesFromFile(dir.File("a.korvax")));
    ASSERT_TRUE(loaded.io.SavePatchesToFile(dir.File("b.korvax"), L"1.0", false));
    EXPECT_EQ(ReadFile(dir.File("a.korvax")), ReadFile(dir.File("b.korvax")));
    EXPECT_EQ(loaded.Slot(5, 131), 1.0f);
    ASSERT_TRUE(loaded.editor->Compile());
    EXPECT_EQ(loaded.editor->LastProgram().opcodes, source.editor->LastProgram().opcodes);
    EXPECT_EQ(loaded.editor->LastProgram().operands, source.editor->LastProgram().operands);
    // Value bytes, rounded, only for unconnected value inputs.
    pugi::xml_document document;
    source.io.SavePatchesToXml(document, L"");
    std::map<std::pair<int, int>, std::string> stored;
    for (const pugi::xpath_node& found : document.select_nodes("//controller")) {
        const pugi::xml_node controller = found.node();
        stored[{controller.attribute("channel").as_int(), controller.attribute("number").as_int()}] =
            controller.attribute("value") ? controller.attribute("value").value() : "linked";
    }
    const std::vector<std::string> expected = {"linked", "64", "38", "128"};
    for (int number = 128; number < 132; ++number) {
        EXPECT_EQ(stored[std::make_pair(5, number)], expected[number - 128]) << number;
    }
}

void Set(pugi::xml_document& document, const char* xpath, const char* name, const char* value) {
    pugi::xml_node element = document.select_node(xpath).node();
    ASSERT_TRUE(element) << xpath;
    (element.attribute(name) ? element.attribute(name) : element.append_attribute(name)).set_value(value);
}

void Remove(pugi::xml_document& document, const char* xpath) {
    pugi::xml_node element = document.select_node(xpath).node();
    ASSERT_TRUE(element) << xpath;
    element.parent().remove_child(element);
}

TEST(PatchFile, DamagedFileIsRefusedWholeWithoutThrowing) {
    Editor source;
    Populate(source);
    const std::string valid = source.Text();
    using Damage = std::function<void(pugi::xml_document&)>;
    const std::vector<std::pair<const char*, Damage>> damages = {
        {"wrong root", [](auto& d) { d.document_element().set_name("patches"); }},
        {"31 channels", [](auto& d) { Remove(d, "/korvax/channel[32]"); }},
        {"role without graph", [](auto& d) { Remove(d, "/korvax/channel[7]/voice/graph"); }},
        {"link to a missing node", [](auto& d) { Set(d, "//link", "vertex2", "999"); }},
        {"link to a missing pin", [](auto& d) { Set(d, "//link", "pin1", "7"); }},
        {"absurd position", [](auto& d) { Set(d, "//position", "x", "99999999999999"); }},
        {"negative song length", [](auto& d) { Set(d, "/korvax/song", "num_ticks", "-1"); }},
        {"song data above a byte", [](auto& d) { Set(d, "/korvax/song/d", "v", "256"); }},
        {"controller channel 32", [](auto& d) { Set(d, "//controller", "channel", "32"); }},
        {"controller number 256", [](auto& d) { Set(d, "//controller", "number", "256"); }},
        {"controller value 256", [](auto& d) { Set(d, "//controller[@value]", "value", "256"); }},
        {"buffer number 128", [](auto& d) { Set(d, "//buffer", "number", "128"); }},
        {"unknown module id", [](auto& d) { Set(d, "//module", "module", "49"); }},
        {"module missing a pin", [](auto& d) { Remove(d, "//node[entity/data/module/@module='5']/pin"); }},
        {"node of no kind", [](auto& d) { d.select_node("//node/entity/data").node().remove_children(); }},
    };
    Editor target;
    Populate(target);
    target.Patches().Voice(5).Clear();
    const std::string before = target.Text();
    TempDir dir;
    for (const auto& [what, damage] : damages) {
        pugi::xml_document document;
        ASSERT_TRUE(document.load_string(valid.c_str()));
        damage(document);
        ASSERT_TRUE(document.save_file(dir.File("bad.korvax").c_str(), "\t"));
        bool loaded = true;
        EXPECT_NO_THROW(loaded = target.io.LoadPatchesFromFile(dir.File("bad.korvax"))) << what;
        EXPECT_FALSE(loaded) << what;
        EXPECT_EQ(target.Text(), before) << what;
    }
}

// Guards saves onto files that are no regular files, half-written files, links and long names.
TEST(PatchFile, SaveRefusesBadTargetsKeepsTheOldFileFollowsLinksAndTakesLongNames) {
    TempDir dir;
    Editor e;
    Populate(e);
    const std::string path = dir.File("song.korvax");
    ASSERT_TRUE(e.io.SavePatchesToFile(path, L"v1", false));
    const std::string old = ReadFile(path);
    brl::testing::WriteFile(dir.File("plain"), "a file, not a directory");
    std::filesystem::create_directory(dir.File("folder.korvax"));
    ASSERT_EQ(::mkfifo(dir.File("fifo.korvax").c_str(), 0600), 0);
    std::filesystem::create_symlink(dir.File("fifo.korvax"), dir.File("to-fifo.korvax"));
    std::filesystem::create_symlink("/dev/null", dir.File("to-null.korvax"));
    for (const char* name : {"missing/song.korvax", "plain/song.korvax", "folder.korvax", "fifo.korvax",
                             "to-fifo.korvax", "to-null.korvax"}) {
        EXPECT_FALSE(e.io.SavePatchesToFile(dir.File(name), L"v2", false)) << name;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(dir.File("fifo.korvax")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("to-null.korvax")));
    // A disk that fills up half-way, made by the file size limit.
    e.Patches().channelNames[9] = String(4096, L'x');
    {
        brl::testing::FileSizeLimit limit(old.size());
        EXPECT_FALSE(e.io.SavePatchesToFile(path, L"v2", false));
    }
    EXPECT_EQ(ReadFile(path), old);
    // No temporary file is left: the file, plain, folder, the fifo and its two links.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 6);
    brl::testing::WriteFile(dir.File("real.korvax"), "old");
    std::filesystem::create_symlink(dir.File("real.korvax"), dir.File("link.korvax"));
    ASSERT_TRUE(e.io.SavePatchesToFile(dir.File("link.korvax"), L"v", false));
    EXPECT_TRUE(ReadFile(dir.File("real.korvax")) == e.io.SavePatchesToText(L"v"));
    TempDir other;
    const std::string longName = other.File(std::string(248, 'n') + ".korvax");
    ASSERT_TRUE(e.io.SavePatchesToFile(longName, L"v1", false));
    ASSERT_TRUE(e.io.SavePatchesToFile(longName, L"v2", false));
    Editor loaded;
    ASSERT_TRUE(loaded.io.LoadPatchesFromFile(longName));
    EXPECT_TRUE(loaded.Text() == e.Text());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(other.Path()), {}), 1);
}

} // namespace
