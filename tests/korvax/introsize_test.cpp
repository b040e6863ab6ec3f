#include "korvax/korvaxfileio.h"
#include "korvax/korvaxheaders.h"
#include "korvax/korvaxintrosize.h"
#include "korvax/korvaxmidifile.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

using namespace brl::Korvax;
using brl::testing::ReadFile;
using brl::testing::TempDir;
using brl::testing::WriteFile;

// The bytes a C array of a header holds in memory (little-endian elements).
std::vector<uint8_t> ArrayBytes(const std::string& header) {
    const size_t width = header.find("u32") != std::string::npos   ? 4
                         : header.find("u16") != std::string::npos ? 2
                                                                   : 1;
    std::vector<uint8_t> bytes;
    const std::string body = header.substr(header.find('{'));
    for (size_t at = body.find("0x"); at != std::string::npos; at = body.find("0x", at)) {
        at += 2;
        const size_t end = body.find_first_not_of("0123456789abcdef", at);
        const unsigned long value = std::stoul(body.substr(at, end - at), nullptr, 16);
        for (size_t b = 0; b < width; ++b) {
            bytes.push_back(static_cast<uint8_t>(value >> (8 * b)));
        }
        at = end;
    }
    return bytes;
}

// What `xz -9e` makes of the bytes.
size_t XzCommandSize(const TempDir& dir, const std::vector<uint8_t>& bytes) {
    WriteFile(dir.File("in"), std::string(bytes.begin(), bytes.end()));
    const std::string command = "xz -9e -c < '" + dir.File("in") + "' > '" + dir.File("in.xz") + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return ReadFile(dir.File("in.xz")).size();
}

// The status bar's intro size: the exported headers' bytes, measured as xz -9e does.
TEST(IntroSize, TablesAreTheBytesOfTheExportedHeadersAndSizesAreWhatXzMinus9eGives) {
    TempDir dir;
    brl::Logging::NullChannel log;
    auto editor = std::make_unique<SynthesizerEditor>(&log);
    ASSERT_TRUE(SynthFileIo(*editor).LoadPatchesFromFile(KORVAX_SOURCE_DIR "/examples/demo/demo.korvax"));
    ASSERT_TRUE(editor->Compile());
    PatchSet& patches = editor->Patches();
    ASSERT_FALSE(patches.song.timeStream.empty());
    ASSERT_TRUE(ExportHeaders(dir.File("demo"), patches, editor->Memory(), log));
    const IntroTables tables = MakeIntroTables(patches, editor->LastProgram());
    std::vector<uint8_t> program = ArrayBytes(ReadFile(dir.File("demo.values.h")));
    const std::vector<uint8_t> ops = ArrayBytes(ReadFile(dir.File("demo.ops.h")));
    const std::vector<uint8_t> params = ArrayBytes(ReadFile(dir.File("demo.params.h")));
    program.insert(program.end(), ops.begin(), ops.end());
    program.insert(program.end(), params.begin(), params.end());
    EXPECT_EQ(program.size(), size_t{kParameterCount} + ops.size() + params.size());
    EXPECT_EQ(tables.program, program);
    std::vector<uint8_t> song = ArrayBytes(MidiFileConverter::TimeStreamsHeader(patches.song.timeStream));
    const std::vector<uint8_t> data =
        ArrayBytes(MidiFileConverter::DataStreamsHeader(patches.song.dataStream));
    song.insert(song.end(), data.begin(), data.end());
    EXPECT_EQ(song.size(), patches.song.timeStream.size() * 4 + patches.song.dataStream.size());
    EXPECT_EQ(tables.song, song);

    const std::optional<IntroSize> size = MeasureIntroSize(tables);
    ASSERT_TRUE(size.has_value());
    std::vector<uint8_t> all = tables.program;
    all.insert(all.end(), tables.song.begin(), tables.song.end());
    EXPECT_EQ(size->programBytes, tables.program.size());
    EXPECT_EQ(size->songBytes, tables.song.size());
    EXPECT_EQ(size->programCompressed, XzCommandSize(dir, tables.program));
    EXPECT_EQ(size->songCompressed, XzCommandSize(dir, tables.song));
    EXPECT_EQ(size->allCompressed, XzCommandSize(dir, all));
    EXPECT_LT(size->allCompressed, all.size() / 4); // tables of mostly zeros
}

} // namespace
