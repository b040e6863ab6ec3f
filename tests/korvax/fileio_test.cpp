#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxfileio.h"

#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
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
    CNode* Add(CVergl& graph, int moduleId, int channel) {
        return editor->CreateNode(graph, moduleId, channel);
    }
    void Connect(CVergl& graph, CPin* from, CPin* to) {
        ASSERT_TRUE(editor->CreateConnection(graph, from, to));
    }
    // The whole state as the writer sees it.
    std::string Text() {
        pugi::xml_document document;
        io.SavePatchesToXml(document, L"test");
        std::ostringstream text;
        document.save(text, "\t");
        return text.str();
    }
};

int NodeCount(const PatchSet& patches) {
    int count = 0;
    for (const CVergl* graph : patches.AllGraphs()) {
        count += static_cast<int>(graph->Nodes().Count());
    }
    return count;
}

// Every kind of node and link, names, values and a song. Controllers of channel 5
// from 128: map note (linked), phase pulse width, oscillator amplification and type.
void Populate(Editor& e) {
    CVergl& voice = e.Patches().Voice(5);
    CNode* notes = e.editor->CreateNodeVoiceParamsOutput(voice);
    CNode* mapNote = e.Add(voice, 13, 5);
    CNode* phase = e.Add(voice, 27, 5);
    CNode* osc = e.Add(voice, 1, 5);
    CNode* envelope = e.Add(voice, 5, 5);
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
    e.Connect(e.Patches().Mix(), global->Outputs().At(0), e.Add(e.Patches().Mix(), 42, 0)->Inputs().At(1));
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
    const uint32_t queued = loaded.editor->QueuedCount();
    ASSERT_TRUE(loaded.io.LoadPatchesFromFile(dir.File("a.korvax")));
    ASSERT_TRUE(loaded.io.SavePatchesToFile(dir.File("b.korvax"), L"1.0", false));
    EXPECT_EQ(ReadFile(dir.File("a.korvax")), ReadFile(dir.File("b.korvax")));

    EXPECT_EQ(loaded.editor->QueuedCount(), queued); // values go straight into the slots
    EXPECT_EQ(loaded.Slot(5, 131), 1.0f);
    EXPECT_EQ(loaded.Patches().song.timeStream, source.Patches().song.timeStream);
    ASSERT_TRUE(loaded.editor->Compile());
    EXPECT_EQ(loaded.editor->LastProgram().opcodes, source.editor->LastProgram().opcodes);
    EXPECT_EQ(loaded.editor->LastProgram().operands, source.editor->LastProgram().operands);
    EXPECT_EQ(loaded.editor->ControllerName(5, 130), L"Gr\u00fcn");
    EXPECT_EQ(loaded.Patches().Voice(5).Nodes().At(3)->Comment(), L"osc");

    // Value bytes, rounded, only for unconnected value inputs.
    pugi::xml_document document;
    source.io.SavePatchesToXml(document, L"");
    std::map<std::pair<int, int>, std::string> stored;
    for (const pugi::xpath_node& found : document.select_nodes("//controller")) {
        const pugi::xml_node controller = found.node();
        stored[{controller.attribute("channel").as_int(), controller.attribute("number").as_int()}] =
            controller.attribute("value") ? controller.attribute("value").value() : "linked";
    }
    EXPECT_EQ(stored[std::make_pair(5, 128)], "linked");
    EXPECT_EQ(stored[std::make_pair(5, 129)], "64");
    EXPECT_EQ(stored[std::make_pair(5, 130)], "38");
    EXPECT_EQ(stored[std::make_pair(5, 131)], "128");
}

TEST(PatchFile, EmptyPatchSetWritesThirtyTwoEmptyChannelsAndAnEmptySong) {
    Editor empty;
    pugi::xml_document document;
    empty.io.SavePatchesToXml(document, L"b\u00fcild");
    const pugi::xml_node root = document.document_element();
    EXPECT_STREQ(root.name(), "korvax");
    EXPECT_STREQ(root.attribute("version").value(), "19");
    EXPECT_EQ(brl::FromUtf8(root.attribute("build").value()), L"b\u00fcild");
    // Each element by name, its "name" text, and "()" for an empty graph in it.
    const auto describe = [](pugi::xml_node element) {
        const pugi::xml_node graph = element.child("graph");
        return element.name() + std::string(element.attribute("name").value()) +
               (graph ? (graph.first_child() ? "(?)" : "()") : "") + " ";
    };
    std::string layout;
    for (const pugi::xml_node child : root.children()) {
        layout += describe(child);
        for (const pugi::xml_node role : child.children()) {
            layout += std::string(role.name()) == "graph" ? "" : describe(role);
        }
    }
    std::string expected = "mixpre() ";
    for (int channel = 0; channel < kChannels; ++channel) {
        expected += "channel pre() voice() post() ";
    }
    EXPECT_EQ(layout, expected + "mix() song ");
    EXPECT_STREQ(root.child("song").attribute("num_ticks").value(), "0");
}

TEST(PatchFile, VersionsOutsideSeventeenToNineteenAreRefused) {
    Editor source;
    Populate(source);
    const std::string valid = source.Text();
    Editor target;
    for (const char* version : {"16", "20", "19x", ""}) {
        const std::string before = target.Text();
        pugi::xml_document document;
        ASSERT_TRUE(document.load_string(valid.c_str()));
        document.document_element().attribute("version").set_value(version);
        EXPECT_FALSE(target.io.LoadXmlToPatches(document)) << version;
        EXPECT_EQ(target.Text(), before) << version;
        document.document_element().attribute("version").set_value(18);
        EXPECT_TRUE(target.io.LoadXmlToPatches(document));
        EXPECT_EQ(NodeCount(target.Patches()), NodeCount(source.Patches()));
        target.io.LoadEmptyPatches();
        EXPECT_EQ(NodeCount(target.Patches()), 0);
        EXPECT_EQ(target.Slot(5, 130), 0.0f);
        EXPECT_TRUE(target.Patches().song.timeStream.empty());
    }
}

TEST(PatchFile, VersionSeventeenLoadsItsVertexAndEdgeGraphsAsNodesAndLinks) {
    Editor e;
    ASSERT_TRUE(e.io.LoadPatchesFromFile(KORVAX_TEST_DATA_DIR "/version17.korvax"));
    const CVergl& voice = e.Patches().Voice(0);
    ASSERT_EQ(voice.Nodes().Count(), 3u);
    const CNode* osc = voice.Nodes().At(0);
    const CNode* filter = voice.Nodes().At(1);
    const CNode* output = voice.Nodes().At(2);
    ASSERT_EQ(osc->Inputs().Count(), 3u);
    const std::vector<std::pair<const CPin*, const CPin*>> links = {
        {osc->Outputs().At(0), filter->Inputs().At(0)},
        {filter->Outputs().At(0), output->Inputs().At(0)},
        {filter->Outputs().At(0), output->Inputs().At(1)}};
    ASSERT_EQ(voice.Links().Count(), links.size());
    for (size_t i = 0; i < links.size(); ++i) {
        EXPECT_EQ(voice.Links().At(i)->Pin1(), links[i].first);
        EXPECT_EQ(voice.Links().At(i)->Pin2(), links[i].second);
    }
    EXPECT_EQ(e.Slot(0, 130), ParameterByteToValue(100));
    EXPECT_EQ(e.Patches().channelNames[0], L"old");
    EXPECT_TRUE(e.editor->Compile());
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
        {"no mix", [](auto& d) { Remove(d, "/korvax/mix"); }},
        {"link to a missing node", [](auto& d) { Set(d, "//link", "vertex2", "999"); }},
        {"link to a missing pin", [](auto& d) { Set(d, "//link", "pin1", "7"); }},
        {"absurd position", [](auto& d) { Set(d, "//position", "x", "99999999999999"); }},
        {"negative song length", [](auto& d) { Set(d, "/korvax/song", "num_ticks", "-1"); }},
        {"song time not a number", [](auto& d) { Set(d, "/korvax/song/t", "v", "soon"); }},
        {"song data above a byte", [](auto& d) { Set(d, "/korvax/song/d", "v", "256"); }},
        {"controller channel 32", [](auto& d) { Set(d, "//controller", "channel", "32"); }},
        {"controller number 256", [](auto& d) { Set(d, "//controller", "number", "256"); }},
        {"controller value 256", [](auto& d) { Set(d, "//controller[@value]", "value", "256"); }},
        {"controller value -1", [](auto& d) { Set(d, "//controller[@value]", "value", "-1"); }},
        {"buffer number 128", [](auto& d) { Set(d, "//buffer", "number", "128"); }},
        {"unknown module id", [](auto& d) { Set(d, "//module", "module", "49"); }},
        {"boolean other than true or false", [](auto& d) { Set(d, "//data/pin", "buffer", "yes"); }},
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
    brl::testing::WriteFile(dir.File("bad.korvax"), valid.substr(0, valid.size() / 2));
    EXPECT_FALSE(target.io.LoadPatchesFromFile(dir.File("bad.korvax")));
    EXPECT_FALSE(target.io.LoadPatchesFromFile(dir.File("missing.korvax")));
    EXPECT_EQ(target.Text(), before);
}

TEST(PatchFile, FailedSaveReportsFalseAndLeavesTheOldFileWhole) {
    TempDir dir;
    Editor e;
    Populate(e);
    const std::string path = dir.File("song.korvax");
    ASSERT_TRUE(e.io.SavePatchesToFile(path, L"v1", false));
    const std::string old = ReadFile(dir.File("song.korvax"));
    brl::testing::WriteFile(dir.File("plain"), "a file, not a directory");
    std::filesystem::create_directory(dir.File("folder.korvax"));
    for (const char* name : {"missing/song.korvax", "plain/song.korvax", "folder.korvax"}) {
        EXPECT_FALSE(e.io.SavePatchesToFile(dir.File(name), L"v2", false)) << name;
    }
    EXPECT_FALSE(e.io.SavePatchesToFile("/proc/korvax-test.korvax", L"v2", false));

    // A disk that fills up half-way, made by the file size limit.
    e.Patches().channelNames[9] = String(4096, L'x');
    {
        brl::testing::FileSizeLimit limit(old.size());
        EXPECT_FALSE(e.io.SavePatchesToFile(path, L"v2", false));
    }
    EXPECT_EQ(ReadFile(dir.File("song.korvax")), old);

    ASSERT_TRUE(e.io.SavePatchesToFile(path, L"v3", true));
    EXPECT_NE(ReadFile(dir.File("song.korvax")), old);
    EXPECT_TRUE(std::filesystem::exists(dir.File("song.korvax.ops.h")));
    std::vector<std::string> names; // no temporary file is left behind
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names.size(), 6u);
}

TEST(PatchFile, SaveRefusesTargetsThatAreNoRegularFilesReplacesWhatALinkPointsAtAndTakesLongNames) {
    TempDir dir;
    Editor e;
    Populate(e);
    ASSERT_EQ(::mkfifo(dir.File("fifo.korvax").c_str(), 0600), 0);
    std::filesystem::create_symlink(dir.File("fifo.korvax"), dir.File("to-fifo.korvax"));
    std::filesystem::create_symlink("/dev/null", dir.File("to-null.korvax"));
    for (const char* name : {"fifo.korvax", "to-fifo.korvax", "to-null.korvax"}) {
        EXPECT_FALSE(e.io.SavePatchesToFile(dir.File(name), L"v", false)) << name;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(dir.File("fifo.korvax")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("to-null.korvax")));

    brl::testing::WriteFile(dir.File("real.korvax"), "old");
    std::filesystem::create_symlink(dir.File("real.korvax"), dir.File("link.korvax"));
    ASSERT_TRUE(e.io.SavePatchesToFile(dir.File("link.korvax"), L"v", false));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.korvax")));
    EXPECT_TRUE(ReadFile(dir.File("real.korvax")) == e.io.SavePatchesToText(L"v"));

    // Names as long as a file name may be can be saved again.
    TempDir other;
    const std::string path = other.File(std::string(248, 'n') + ".korvax");
    ASSERT_TRUE(e.io.SavePatchesToFile(path, L"v1", false));
    ASSERT_TRUE(e.io.SavePatchesToFile(path, L"v2", false));
    Editor loaded;
    ASSERT_TRUE(loaded.io.LoadPatchesFromFile(path));
    EXPECT_TRUE(loaded.Text() == e.Text());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(other.Path()), {}), 1);
}

TEST(PatchFile, LoadSaysWhatIsWrongWithTheFile) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("fifo.korvax").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.File("folder.korvax"));
    brl::testing::WriteFile(dir.File("broken.korvax"),
                            "<korvax version=\"19\">\n  <mixpre>\n  </mix>\n</korvax>\n");
    const std::pair<std::string, String> cases[] = {
        {"folder.korvax", L"is a directory"},
        {"fifo.korvax", L"is not a regular file"},
        {"missing.korvax", L"No such file or directory"},
        {"broken.korvax", L"Start-end tags mismatch at line 3, column 5 (offset 37)"},
    };
    for (const auto& [name, problem] : cases) {
        brl::testing::LogCapture log;
        Editor e;
        e.editor = std::make_unique<SynthesizerEditor>(&log);
        SynthFileIo io(*e.editor);
        EXPECT_FALSE(io.LoadPatchesFromFile(dir.File(name))) << name;
        EXPECT_EQ(log.Find(L"cannot read patch file '" + dir.WideFile(name) + L"': " + problem).size(), 1u)
            << name;
    }
}

TEST(PatchFile, PasteIntoAnotherChannelTakesFreshControllersWithTheCopiedValues) {
    Editor e;
    CVergl& from = e.Patches().Voice(0);
    CNode* envelope = e.Add(from, 5, 0);
    CNode* filter = e.Add(from, ModuleId::MoogFilter, 0);
    e.Connect(from, envelope->Outputs().At(0), filter->Inputs().At(0));
    e.editor->RenderBuffer();
    for (int number = 128; number < 128 + 11; ++number) {
        e.Slot(0, number) = static_cast<float>(number - 100) / 128.0f;
    }
    const std::string text = e.io.SaveGraphToString({envelope, filter}, 0);
    CVergl& to = e.Patches().Voice(3);
    std::vector<CNode*> pasted;
    ASSERT_TRUE(e.io.LoadGraphFromString(text, to, 3, &pasted));
    ASSERT_EQ(pasted.size(), 2u);
    ASSERT_EQ(to.Links().Count(), 1u);
    e.editor->RenderBuffer();
    int next = 128;
    for (size_t n = 0; n < pasted.size(); ++n) {
        for (size_t k = 0; k < pasted[n]->Inputs().Count(); ++k) {
            const PinRecord* copy = GetPinRecord(pasted[n]->Inputs().At(k));
            const PinRecord* original = GetPinRecord((n == 0 ? envelope : filter)->Inputs().At(k));
            if (copy->value) {
                EXPECT_EQ(copy->controllerChannel, 3);
                EXPECT_EQ(copy->controllerNumber, next++);
                EXPECT_EQ(e.Slot(3, copy->controllerNumber), e.Slot(0, original->controllerNumber));
            }
        }
    }

    std::string unknown = text;
    unknown.replace(unknown.find("module=\"5\""), 10, "module=\"77\"");
    for (const std::string& bad : {std::string("no xml"), std::string("<korvax/>"), unknown}) {
        EXPECT_FALSE(e.io.LoadGraphFromString(bad, to, 3));
    }
    EXPECT_FALSE(e.io.LoadGraphFromString(text, to, kChannels));
    EXPECT_EQ(to.Nodes().Count(), 2u);
}

} // namespace
