#include "libbrelm/configini.h"

#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

namespace {

using brl::Config::IniProvider;
using brl::Config::Key;
using brl::Config::Value;
using brl::testing::LogCapture;
using brl::testing::ReadFile;
using brl::testing::TempDir;
using brl::testing::WriteFile;

brl::String ReadText(IniProvider& ini, const Key& key) {
    auto [found, value] = ini.Read(key, Value(L"<absent>"));
    return found ? value.ToString() : L"<absent>";
}

} // namespace

TEST(IniLoading, ReadsSectionsEntriesQuotesAndComments) {
    LogCapture log;
    IniProvider ini(L"/nonexistent/test.ini", false, false);
    const int errors = ini.Parse("top = level\n"
                                 "[Audio]\r\n"
                                 "SamplingRate = 44100\n"
                                 "name = \"  padded  \" ;note\n"
                                 "plain = a;b\n"
                                 "spaced = x y ; comment here\n"
                                 "empty =\n"
                                 ";a=b\n"
                                 "  [Audio.Device]  ;trailing\n"
                                 "  ID  =  7  \n"
                                 "dotted.name = 3\n");
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(ReadText(ini, "top"), L"level");
    EXPECT_EQ(ReadText(ini, "Audio/SamplingRate"), L"44100");
    EXPECT_EQ(ReadText(ini, "Audio/name"), L"  padded  ");
    EXPECT_EQ(ReadText(ini, "Audio/plain"), L"a;b");
    EXPECT_EQ(ReadText(ini, "Audio/spaced"), L"x y");
    EXPECT_EQ(ReadText(ini, "Audio/empty"), L"");
    EXPECT_EQ(ReadText(ini, Key(std::vector<brl::String>{L"Audio", L";a"})), L"b");
    EXPECT_EQ(ReadText(ini, "Audio/Device/ID"), L"7");
    EXPECT_EQ(ReadText(ini, Key(std::vector<brl::String>{L"Audio", L"Device", L"dotted.name"})), L"3");
    EXPECT_EQ(ReadText(ini, "Audio/missing"), L"<absent>");
    EXPECT_EQ(ini.KeyToString("Audio/Device/ID"), L"[Audio.Device]ID");
    EXPECT_EQ(ini.Name(), L"ini(/nonexistent/test.ini)");
    EXPECT_TRUE(log.Find(L"parse error").empty());
}

TEST(IniLoading, DecodesEveryEscape) {
    IniProvider ini(L"/nonexistent/test.ini", false, false);
    ASSERT_EQ(ini.Parse("[S\\;x]\nk\\=ey = \\\"\\#\\0\\:\\;\\=\\\\\\a\\b\\n\\r\\t\\q\n"), 0);
    const brl::String expected{L'"', L'#', 0, L':', L';', L'=', L'\\', 7, 8, 10, 13, 9, L'q'};
    EXPECT_EQ(ReadText(ini, Key(std::vector<brl::String>{L"S;x", L"k=ey"})), expected);
}

TEST(IniLoading, ReportsMalformedLinesAndKeepsGoing) {
    LogCapture log;
    IniProvider ini(L"/p/x.ini", false, false);
    const int errors = ini.Parse("a = 1\n"
                                 "[Broken\n"
                                 "text without equals\n"
                                 "b = \"unterminated\n"
                                 "c = \"x\" junk\n"
                                 "d = trailing\\\n"
                                 "[Good]\n"
                                 "e = 5\n");
    EXPECT_EQ(errors, 5);
    EXPECT_EQ(ReadText(ini, "a"), L"1");
    EXPECT_EQ(ReadText(ini, "Good/e"), L"5");
    EXPECT_EQ(ReadText(ini, "b"), L"<absent>");
    EXPECT_EQ(ReadText(ini, "c"), L"<absent>");
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(2): '[Broken'"));
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(3): 'text without equals'"));
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(4): 'b = \"unterminated'"));
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(5): 'c = \"x\" junk'"));
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(6): 'd = trailing\\'"));
}

TEST(IniLoading, DuplicateEntryIsReportedAndTheLaterOneWins) {
    LogCapture log;
    IniProvider ini(L"/p/x.ini", false, false);
    EXPECT_EQ(ini.Parse("[S]\nname = x\nname = y\n"), 0);
    EXPECT_EQ(ReadText(ini, "S/name"), L"y");
    EXPECT_TRUE(log.Has(5, L"duplicate entry/p/x.ini(3): 'name = y'"));
}

TEST(IniLoading, MissingFileIsAnEmptyTableAndLoadingIsLogged) {
    LogCapture log;
    TempDir dir;
    IniProvider ini(dir.WideFile("absent.ini"), true, true);
    EXPECT_EQ(ini.Serialize(), "");
    EXPECT_TRUE(log.Has(7, L"loading ini file:  " + dir.WideFile("absent.ini")));
}

TEST(IniSaving, KeepsCommentsQuotesAndEscapesOnRoundTrip) {
    const std::string original = ";file comment\n"
                                 "first = 1\n"
                                 ";about audio\n"
                                 "[Audio] ;the audio section\n"
                                 "EmptyNoted = \"\" ;nothing\n"
                                 "Escaped = a\\=b\\;c\\\\d\\n\n"
                                 "Padded = \"  padded  \" ;note\n"
                                 ";rate comment\n"
                                 "Rate = 48000 ;per second\n"
                                 "[Z.Y]\n"
                                 "k = v\n"
                                 ";closing words\n";
    IniProvider ini(L"/nonexistent/x.ini", false, false);
    ASSERT_EQ(ini.Parse(original), 0);
    EXPECT_EQ(ini.Serialize(), original);
}

TEST(IniSaving, QuotesBlankEdgesAndEscapesSpecialCharacters) {
    TempDir dir;
    IniProvider ini(dir.WideFile("x.ini"), true, false);
    ASSERT_TRUE(ini.Write("S/lead", Value(L" x")));
    ASSERT_TRUE(ini.Write("S/eq", Value(L"a=b")));
    ASSERT_TRUE(ini.Write("S/tab", Value(L"a\tb")));
    EXPECT_EQ(ini.Serialize(), "[S]\neq = a\\=b\nlead = \" x\"\ntab = a\\tb\n");
}

TEST(IniSaving, AnyKeysAndValuesReadBackUnchanged) {
    std::mt19937 random(20261206);
    const std::wstring alphabet = L"ab .=;\"#:[]\\\t\r\n\x7\x8 \u00e4\u20ac";
    const auto randomText = [&](size_t maxLength) {
        std::wstring text;
        const size_t length = random() % (maxLength + 1);
        for (size_t i = 0; i < length; ++i) {
            text.push_back(random() % 16 == 0 ? L'\0' : alphabet[random() % alphabet.size()]);
        }
        return text;
    };
    TempDir dir;
    IniProvider written(dir.WideFile("x.ini"), true, false);
    for (int round = 0; round < 200; ++round) {
        written.Parse("");
        std::map<Key, brl::String> expected;
        for (int i = 0; i < 8; ++i) {
            std::vector<brl::String> components;
            const size_t count = 1 + random() % 3;
            for (size_t c = 0; c < count; ++c) {
                components.push_back(randomText(6));
            }
            const Key key(components);
            const brl::String value = randomText(10);
            ASSERT_TRUE(written.Write(key, Value(value)));
            expected[key] = value;
        }
        const std::string text = written.Serialize();
        IniProvider reread(L"/nonexistent/x.ini", false, false);
        ASSERT_EQ(reread.Parse(text), 0) << text;
        for (const auto& [key, value] : expected) {
            auto [found, read] = reread.Read(key, Value());
            ASSERT_TRUE(found) << text;
            EXPECT_EQ(read.ToString(), value) << text;
        }
        EXPECT_EQ(reread.Serialize(), text);
    }
}

TEST(IniSaving, WritesTheFileOnDestructionThroughATemporaryFile) {
    LogCapture log;
    TempDir dir;
    const std::string path = dir.File("sub/dir/app.ini");
    {
        IniProvider ini(brl::FromUtf8(path), true, false);
        EXPECT_FALSE(ini.IsDirty());
        ASSERT_TRUE(ini.Write("Audio/Rate", Value(48000)));
        EXPECT_TRUE(ini.IsDirty());
    }
    EXPECT_EQ(ReadFile(path), "[Audio]\nRate = 48000\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_TRUE(log.Has(7, L"saving ini file:  " + brl::FromUtf8(path)));
}

TEST(IniSaving, FailedSaveKeepsTheOldFileAndIsReported) {
    LogCapture log;
    TempDir dir;
    const std::string path = dir.File("app.ini");
    WriteFile(path, "[Audio]\nRate = 44100\n");
    // A directory where the temporary file should go makes the save fail
    // before the old file is touched.
    std::filesystem::create_directory(path + ".tmp");
    {
        IniProvider ini(brl::FromUtf8(path), true, false);
        ASSERT_TRUE(ini.Write("Audio/Rate", Value(96000)));
        EXPECT_FALSE(ini.Save());
        EXPECT_TRUE(ini.IsDirty());
    }
    EXPECT_EQ(ReadFile(path), "[Audio]\nRate = 44100\n");
    EXPECT_EQ(log.Find(L"error writing '" + brl::FromUtf8(path) + L"'").size(), 2u);
}

TEST(IniSaving, SaveAtExitRewritesAnExistingFileEvenIfUnchanged) {
    TempDir dir;
    const std::string existing = dir.File("existing.ini");
    WriteFile(existing, "[A]\nx=1\n");
    const std::string absent = dir.File("absent.ini");
    const std::string readOnly = dir.File("readonly.ini");
    WriteFile(readOnly, "[A]\nx=1\n");
    {
        IniProvider rewritten(brl::FromUtf8(existing), true, true);
        EXPECT_TRUE(rewritten.IsDirty());
        IniProvider untouched(brl::FromUtf8(absent), true, true);
        EXPECT_FALSE(untouched.IsDirty());
        IniProvider fixed(brl::FromUtf8(readOnly), false, true);
        EXPECT_FALSE(fixed.Write("A/x", Value(2)));
        EXPECT_FALSE(fixed.Delete("A/x"));
    }
    EXPECT_EQ(ReadFile(existing), "[A]\nx = 1\n");
    EXPECT_FALSE(std::filesystem::exists(absent));
    EXPECT_EQ(ReadFile(readOnly), "[A]\nx=1\n");
}

TEST(IniSaving, DeleteRemovesTheEntryAndItsComments) {
    TempDir dir;
    const std::string path = dir.File("app.ini");
    WriteFile(path, "[A]\n;about x\nx = 1\ny = 2\n");
    {
        IniProvider ini(brl::FromUtf8(path), true, false);
        EXPECT_TRUE(ini.Delete("A/x"));
        EXPECT_TRUE(ini.Delete("A/never"));
        EXPECT_EQ(ReadText(ini, "A/x"), L"<absent>");
    }
    EXPECT_EQ(ReadFile(path), "[A]\ny = 2\n");
}

TEST(IniSaving, ReplacesTheTargetOfASymbolicLinkAndKeepsItsMode) {
    TempDir dir;
    const std::string real = dir.File("real.ini");
    const std::string link = dir.File("link.ini");
    WriteFile(real, "a = 1\n");
    std::filesystem::permissions(real,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::create_symlink(real, link);
    {
        IniProvider ini(brl::FromUtf8(link), true, false);
        ASSERT_TRUE(ini.Write("a", Value(2)));
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFile(real), "a = 2\n");
    EXPECT_EQ(std::filesystem::status(real).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
