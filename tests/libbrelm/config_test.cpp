#include "libbrelm/app.h"
#include "libbrelm/config.h"
#include "libbrelm/configini.h"
#include "libbrelm/configproviders.h"

#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using brl::String;
using brl::Config::Setting;
using brl::Config::Value;
using brl::testing::ReadFile;
using brl::testing::TempDir;
using brl::testing::WriteFile;

// A store that can be told to refuse writes, as the only store of a frontend.
struct MemoryFrontend {
    TempDir dir;
    struct Store : brl::Config::IniProvider {
        explicit Store(const String& path) : IniProvider(path, true) {}
        bool Write(const brl::Config::Key& key, const Value& value) override {
            return !refuse && IniProvider::Write(key, value);
        }
        bool refuse = false;
    } store{dir.WideFile("memory.ini")};
    brl::Config::Frontend frontend;
    MemoryFrontend() {
        frontend.AddBase(&store);
        frontend.AddWrite(&store);
    }
};

brl::ApplicationInfo TestApplication() {
    return {L"brelm", L"Brelm", L"brelm.org", L"korvaxtest", L"KorvaxTest", L"korvaxtest.brelm.org", L"1.2"};
}

} // namespace

TEST(ConfigValue, TextIsFalseOnlyForFiveWordsAndNumbersTakeTheLeadingNumberClamped) {
    // Text is false only for five exact words.
    for (const wchar_t* text : {L"", L"0", L"off", L"no", L"false"}) {
        EXPECT_FALSE(Value(text).ToBool()) << text;
    }
    for (const wchar_t* text : {L"No", L"OFF", L"yes", L"0.0", L" 0"}) {
        EXPECT_TRUE(Value(text).ToBool()) << text;
    }
    // Numbers take the leading number, clamped; what is not finite reads as 0.
    EXPECT_EQ(Value(L"  -7x").ToInt(), -7);
    EXPECT_EQ(Value(L"99999999999").ToInt(), INT32_MAX);
    EXPECT_EQ(Value(L"-99999999999").ToInt(), INT32_MIN);
    EXPECT_EQ(Value(L"0,5").ToDouble(), 0.5);
    EXPECT_EQ(Value(L"1.5e3x").ToDouble(), 1500.0);
    EXPECT_EQ(Value(L"1e999").ToDouble(), 0.0);
}

TEST(ConfigProviders, CommandLineOptionsNeedAValueAndTheLastOneWins) {
    brl::Config::CommandlineProvider provider({L"prog", L"--Audio-Rate", L"1", L"--Other", L"--Audio-Rate",
                                               L"2", L"--audio-rate", L"3", L"--Audio-Rate"});
    EXPECT_EQ(provider.Read("Audio/Rate", Value(0)), std::make_pair(true, Value(L"2")));
    // Any following argument is a value, even one that looks like an option.
    EXPECT_EQ(provider.Read("Other", Value(L"")).second.ToString(), L"--Audio-Rate");
    brl::Config::CommandlineProvider consumed({L"prog", L"--A", L"--A", L"x"});
    EXPECT_EQ(consumed.Read("A", Value()).second.ToString(), L"--A");
    // The program name is never an option.
    EXPECT_FALSE(brl::Config::CommandlineProvider({L"--A", L"x"}).Read("A", Value()).first);

    // The application's own argument list follows the same rules.
    const brl::ArgumentList args({L"korvax", L"--render", L"--render", L"x", L"--render", L"b", L"--render"});
    EXPECT_EQ(args.OptionValue(L"--render", L""), L"b");
    EXPECT_FALSE(brl::ArgumentList({L"korvax", L"--render"}).HasOption(L"--render"));
    EXPECT_EQ(brl::ArgumentList({L"k", L"--render", L"--render", L"x"}).OptionValue(L"--render", L""),
              L"--render");
    EXPECT_FALSE(brl::ArgumentList({L"--render", L"x"}).HasOption(L"--render"));
}

TEST(ConfigFrontend, CommandLineBeatsEnvironmentBeatsIniAndANumberThatDoesNotParseWarnsOnce) {
    brl::testing::LogCapture log;
    brl::Config::IniProvider ini(L"/nonexistent/x.ini", false);
    ini.Parse("[Audio]\nSamplingRate = 44100\nLatency = 20\nDevice = ini\n");
    brl::Config::EnvironmentProvider environment([](const std::string& name) -> std::optional<std::string> {
        return name == "BRL_Audio_Latency" || name == "BRL_Audio_SamplingRate"
                   ? std::optional<std::string>("30")
                   : std::nullopt;
    });
    brl::Config::CommandlineProvider commandline({L"prog", L"--Audio-SamplingRate", L"48000", L"--Log-Level",
                                                  L"abc", L"--Audio-Rate", L"6abc", L"--Audio-Gain", L" 0,5 ",
                                                  L"--Ok", L"-7"});
    brl::Config::Frontend frontend;
    frontend.AddBase(&ini);
    frontend.AddOverride(&environment);
    frontend.AddOverride(&commandline);
    brl::Config::Backend* source = nullptr;
    EXPECT_EQ(frontend.BackendRead("Audio/SamplingRate", Value(96000), &source), Value(48000));
    EXPECT_EQ(source, &commandline);
    EXPECT_EQ(frontend.BackendRead("Audio/Latency", Value(0), &source), Value(30));
    EXPECT_EQ(source, &environment);
    EXPECT_EQ(frontend.BackendRead("Audio/Device", Value(L"x"), &source), Value(L"ini"));
    EXPECT_EQ(source, &ini);
    EXPECT_EQ(frontend.BackendRead("Audio/None", Value(1.5), &source), Value(1.5));
    EXPECT_EQ(source, nullptr);

    // A number setting that does not parse warns once, naming provider and key.
    EXPECT_EQ(frontend.BackendRead("Log/Level", Value(9)), Value(0));
    EXPECT_EQ(frontend.BackendRead("Log/Level", Value(9)), Value(0));
    EXPECT_EQ(frontend.BackendRead("Audio/Rate", Value(1)), Value(6));
    EXPECT_EQ(frontend.BackendRead("Audio/Gain", Value(1.0)), Value(0.5));
    EXPECT_EQ(frontend.BackendRead("Ok", Value(1)), Value(-7));
    EXPECT_EQ(frontend.BackendRead("Audio/Rate", Value(L"x")), Value(L"6abc"));
    const auto warnings = log.Find(L"setting is not a number: ");
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].message, L"setting is not a number: commandline:--Log-Level = 'abc', read as 0");
    EXPECT_EQ(warnings[0].level, 5);
    EXPECT_EQ(warnings[1].message, L"setting is not a number: commandline:--Audio-Rate = '6abc', read as 6");
}

TEST(ConfigSetting, SettingsOfOneKeyShareTheirValueAndAFailedWriteChangesNothing) {
    MemoryFrontend memory;
    memory.store.Parse("[Audio]\nRate = 44100\n");
    Setting<int> first(memory.frontend, "Audio/Rate", 96000);
    Setting<int> second(memory.frontend, "Audio.Rate", 1);
    EXPECT_EQ(first.Get(), 44100);
    EXPECT_TRUE(second.Set(48000));
    EXPECT_EQ(first.Get(), 48000);
    EXPECT_EQ(memory.store.Serialize(), "[Audio]\nRate = 48000\n");
    EXPECT_EQ(Setting<String>(memory.frontend, "Audio/Rate", L"").Get(), L"48000");
    // A failed write keeps the old value and notifies nobody.
    memory.store.refuse = true;
    int changes = 0;
    brl::Config::ChangeListener listener(memory.frontend, [&changes] { ++changes; });
    EXPECT_FALSE(first.Set(6));
    EXPECT_EQ(first.Get(), 48000);
    EXPECT_EQ(changes, 0);
}

TEST(ConfigChange, ListenersHearEveryChangeUntilTheyAreGoneAndDeleteResetsToTheDefault) {
    MemoryFrontend memory;
    Setting<int> a(memory.frontend, "A", 0);
    Setting<String> b(memory.frontend, "B", L"");
    int first = 0;
    int second = 0;
    brl::Config::ChangeListener listener(memory.frontend, [&first] { ++first; });
    {
        brl::Config::ChangeListener temporary(memory.frontend, [&second] { ++second; });
        a.Set(1);
        b.Set(L"x");
    }
    a.Set(2);
    b.Reload();
    EXPECT_EQ(first, 4);
    EXPECT_EQ(second, 2);
    // Delete resets to the default and notifies; a key no setting names is removed too.
    Setting<int> setting(memory.frontend, "Ui/Size", 10);
    ASSERT_TRUE(setting.Set(20));
    ASSERT_TRUE(memory.store.Write("Other", Value(1)));
    int changes = 0;
    brl::Config::ChangeListener deleted(memory.frontend, [&] {
        ++changes;
        EXPECT_EQ(setting.Get(), 10);
    });
    EXPECT_TRUE(memory.frontend.Delete("Ui.Size"));
    EXPECT_EQ(setting.Get(), 10);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(memory.frontend.Delete("Other"));
    EXPECT_EQ(memory.store.Serialize(), "A = 2\nB = x\n[Ui]\n"); // the section header stays
}

TEST(ConfigStack, StandardStackReadsAndWritesTheXdgFilesAndPortableModeOnlyTheOneBesideTheProgram) {
    TempDir dir;
    const brl::Config::ConfigLocations locations{dir.WideFile("cwd"), dir.WideFile("etc"),
                                                 dir.WideFile("home")};
    const std::string machine = "[Audio]\nRate = 1\nLatency = 1\nBuffers = 1\n";
    WriteFile(dir.File("etc/Brelm/KorvaxTest/config.ini"), machine);
    WriteFile(dir.File("home/Brelm/KorvaxTest/config.ini"), "[Audio]\nRate = 2\nLatency = 2\n");
    // Only read: kept byte for byte, the line the loader cannot read included.
    const std::string local = "# mine\n[Audio]\nRate=3\n";
    WriteFile(dir.File("cwd/korvaxtest.ini"), local);
    {
        brl::Config::Config config(TestApplication(), std::vector<String>{L"prog", L"--Audio-Device", L"cmd"},
                                   locations);
        EXPECT_FALSE(config.IsPortable());
        ASSERT_EQ(config.BaseList().size(), 3u);
        ASSERT_EQ(config.OverrideList().size(), 3u);
        ASSERT_EQ(config.WriteList(), std::vector<brl::Config::Backend*>{config.BaseList()[2]});
        EXPECT_EQ(Setting<int>(config, "Audio/Buffers", 0).Get(), 1);
        EXPECT_EQ(Setting<int>(config, "Audio/Latency", 0).Get(), 2);
        EXPECT_EQ(Setting<int>(config, "Audio/Rate", 0).Get(), 3);
        EXPECT_EQ(Setting<String>(config, "Audio/Device", L"").Get(), L"cmd");
        EXPECT_EQ(Setting<String>(config, "Application/LongName", L"").Get(), L"KorvaxTest");
        ASSERT_TRUE(Setting<int>(config, "Audio/Latency", 0).Set(5));
        EXPECT_TRUE(config.Flush());
        EXPECT_EQ(ReadFile(dir.File("home/Brelm/KorvaxTest/config.ini")), "[Audio]\nRate = 2\nLatency = 5\n");
    }
    EXPECT_EQ(ReadFile(dir.File("etc/Brelm/KorvaxTest/config.ini")), machine);
    EXPECT_EQ(ReadFile(dir.File("cwd/korvaxtest.ini")), local);

    std::filesystem::remove(dir.File("cwd/korvaxtest.ini"));
    std::filesystem::remove_all(dir.File("etc"));
    WriteFile(dir.File("cwd/korvaxtest.portable"), "");
    {
        brl::Config::Config config(TestApplication(), std::vector<String>{L"prog"}, locations);
        EXPECT_TRUE(config.IsPortable());
        EXPECT_EQ(config.BaseList().size(), 1u);
        EXPECT_EQ(Setting<int>(config, "Audio/Rate", 0).Get(), 0);
        EXPECT_TRUE(Setting<int>(config, "Audio/Rate", 0).Set(7));
    }
    EXPECT_EQ(ReadFile(dir.File("cwd/korvaxtest.ini")), "[Audio]\nRate = 7\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("etc")));
}
