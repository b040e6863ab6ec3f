#include "korvax/korvaxheaders.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace brl::Korvax;
namespace fs = std::filesystem;
using brl::testing::ReadFile;

// The header as the layout describes it, assembled line by line: every line but the
// last ends ", \n"; the last line ends with its element, plus "\n" when it is full.
template <typename T>
std::string Expected(const char* type, const char* name, const std::vector<T>& elements) {
    const size_t perLine = sizeof(T) == 1 ? 32 : 16;
    std::string text = std::string("static const ") + type + " " + name + "[] = {\n";
    for (size_t start = 0; start < elements.size(); start += perLine) {
        const size_t end = std::min(elements.size(), start + perLine);
        for (size_t i = start; i < end; ++i) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "0x%0*x", static_cast<int>(sizeof(T) * 2), elements[i]);
            text += (i == start ? "" : ", ") + std::string(hex);
        }
        text += end != elements.size() ? ", \n" : (end - start == perLine ? "\n" : "");
    }
    return text + "\n};\n";
}

class HeaderExport : public ::testing::Test {
protected:
    brl::Logging::NullChannel log;
    PatchSet patches;
    std::vector<float> slots = std::vector<float>(kParameterCount, 0.0f);
    brl::testing::TempDir directory;
    std::string path = directory.File("song.korvax");
};

TEST_F(HeaderExport, WritesTheProgramAndTheRefreshedValuesByTheLayoutRules) {
    ASSERT_TRUE(ExportHeaders(path, patches, slots.data(), log));
    EXPECT_EQ(ReadFile(path + ".values.h"), Expected("u8", "korvax_values", std::vector<uint8_t>(8192, 0)));
    const std::string ops = ReadFile(path + ".ops.h");
    EXPECT_EQ(ops, Expected("u8", "korvax_ops", std::vector<uint8_t>(98, 0)));
    const std::string tail = ", \n0x00, 0x00\n};\n"; // three full lines of 32, then two
    EXPECT_EQ(ops.substr(ops.size() - tail.size()), tail);
    EXPECT_EQ(ReadFile(path + ".params.h"), "static const u16 korvax_params[] = {\n\n};\n");
    brl::vergl::CVergl& graph = patches.Mix();
    auto* osc = CreateModuleNode(graph, 1);
    ASSERT_NE(graph.Link(osc->Outputs().At(0), CreateBufferInputNode(graph, 0)->Inputs().At(0)), nullptr);
    *GetPinRecord(osc->Inputs().At(1)) = {.value = true, .controllerChannel = 1, .controllerNumber = 5};
    slots[1 * 256 + 5] = 0.3f;
    slots[8191] = 127.5f / 128.0f;
    ASSERT_TRUE(ExportHeaders(path, patches, slots.data(), log));
    std::vector<uint8_t> bytes(8192, 0);
    bytes[1 * 256 + 5] = 38;
    bytes[8191] = 128;
    EXPECT_EQ(ReadFile(path + ".values.h"), Expected("u8", "korvax_values", bytes));
    std::vector<uint8_t> opcodes(98, 0);
    opcodes.insert(opcodes.begin() + kGraphMix, 1);
    EXPECT_EQ(ReadFile(path + ".ops.h"), Expected("u8", "korvax_ops", opcodes));
    // Oscillator: output into global buffer 0, phase from the zero buffer, amp, type.
    EXPECT_EQ(ReadFile(path + ".params.h"),
              "static const u16 korvax_params[] = {\n0xc000, 0x7000, 0x0105, 0x0000\n};\n");
}

TEST_F(HeaderExport, APatchThatDoesNotCompileOrAFileThatCannotBeWrittenLeavesAllThreeAsTheyWere) {
    slots[0] = 0.5f;
    ASSERT_TRUE(ExportHeaders(path, patches, slots.data(), log));
    const std::string files[] = {ReadFile(path + ".values.h"), ReadFile(path + ".ops.h"),
                                 ReadFile(path + ".params.h")};
    PatchSet cyclic;
    auto* a = CreateModuleNode(cyclic.Voice(4), 29);
    auto* b = CreateModuleNode(cyclic.Voice(4), 30);
    cyclic.Voice(4).Link(a->Outputs().At(0), b->Inputs().At(0));
    cyclic.Voice(4).Link(b->Outputs().At(0), a->Inputs().At(0));
    slots[0] = 0.25f;
    EXPECT_FALSE(ExportHeaders(path, cyclic, slots.data(), log));
    EXPECT_EQ(ReadFile(path + ".values.h"), files[0]);
    EXPECT_EQ(ReadFile(path + ".ops.h"), files[1]);
    EXPECT_EQ(ReadFile(path + ".params.h"), files[2]);
    fs::remove(path + ".params.h");
    fs::create_directory(path + ".params.h"); // cannot be replaced by a file
    EXPECT_FALSE(ExportHeaders(path, patches, slots.data(), log));
    EXPECT_EQ(ReadFile(path + ".values.h"), files[0]);
    EXPECT_TRUE(fs::is_directory(path + ".params.h"));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.Path()), {}), 3);
    EXPECT_FALSE(ExportHeaders(directory.File("missing/x.korvax"), patches, nullptr, log));
}

TEST_F(HeaderExport, GenericWriterHonoursTheConstFlagAndFullLastLines) {
    const std::string file = directory.File("words.h");
    std::vector<uint16_t> words(16);
    for (size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<uint16_t>(0xABC0 + i);
    }
    ASSERT_TRUE(WriteByteArrayHeader(file, "u16", "w", words.data(), words.size(), false));
    std::string expected = Expected("u16", "w", words);
    expected.replace(0, std::string("static const").size(), "static ");
    EXPECT_EQ(ReadFile(file), expected);
    EXPECT_EQ(expected.substr(expected.size() - 11), "0xabcf\n\n};\n");
}

} // namespace
