#include "gui/settingstable.h"

#include "libbrelm/configini.h"
#include "libbrelm/configproviders.h"
#include "support/ini_settings.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using namespace brl::gui;
using brl::String;
namespace Config = brl::Config;

// A user INI file that takes the writes, and a command line over it.
struct Rig : brl::testing::IniSettings {
    Config::CommandlineProvider commandLine{{L"korvax", L"--Audio-Device", L"7"}};
    brl::testing::LogCapture log;
    SettingsTable table{config, &log};

    Config::Setting<int> latency{config, "Audio/Latency", 100};
    Config::Setting<int> device{config, "Audio/Device", 0};
    Config::Setting<double> gain{config, "Audio/Gain", 0.5};
    Config::Setting<bool> dark{config, "Ui/Theme/Dark", true};
    Config::Setting<std::vector<String>> inputs{config, "Midi/Inputs", std::vector<String>{L"a", L"b"}};

    Rig() {
        config.AddOverride(&commandLine);
        for (Config::SettingBase* s :
             std::initializer_list<Config::SettingBase*>{&latency, &device, &gain, &dark, &inputs}) {
            s->Reload();
        }
    }
};

TEST(SettingsGrid, RowsAreSortedKeysWithTypeValueDefaultAndEachProvidersValue) {
    Rig rig;
    rig.ini.Write(Config::Key("Audio/Gain"), Config::Value(L"0,25"));
    rig.gain.Reload();
    const auto columns = rig.table.ProviderColumns();
    ASSERT_EQ(columns, (std::vector<Config::Backend*>{&rig.ini, &rig.commandLine}));
    const auto rows = rig.table.Rows(columns);
    std::vector<String> keys(rows.size());
    std::transform(rows.begin(), rows.end(), keys.begin(), [](const SettingsRow& row) { return row.key; });
    // The table's own setting is known too once it has been read.
    EXPECT_EQ(keys, (std::vector<String>{L"Audio/Device", L"Audio/Gain", L"Audio/Latency", L"Midi/Inputs",
                                         L"Ui/Settings/Advanced/ReverseBackends", L"Ui/Theme/Dark"}));
    const struct {
        const wchar_t* key;
        const wchar_t* type;
        const wchar_t* value;
        const wchar_t* defaultText;
        const wchar_t* inIni; // the providers' values, "-" where a provider has none
        const wchar_t* onCommandLine;
    } expected[] = {
        {L"Audio/Device", L"int", L"7", L"0", L"-", L"7"},
        {L"Audio/Gain", L"float", L"0.25", L"0.5", L"0,25", L"-"},
        {L"Audio/Latency", L"int", L"100", L"100", L"-", L"-"},
        {L"Midi/Inputs", L"string list", L"a,b", L"a,b", L"-", L"-"},
        {L"Ui/Theme/Dark", L"bool", L"1", L"1", L"-", L"-"},
    };
    for (const auto& e : expected) {
        const std::optional<SettingsRow> found = rig.table.Row(e.key, columns);
        ASSERT_TRUE(found.has_value()) << brl::ToUtf8(e.key);
        const SettingsRow& row = *found;
        EXPECT_EQ(row.type, e.type) << row.key;
        EXPECT_EQ(row.value, e.value) << row.key;
        EXPECT_EQ(row.defaultText, e.defaultText) << row.key;
        ASSERT_EQ(row.providers.size(), 2u);
        EXPECT_EQ(row.providers[0].value_or(L"-"), e.inIni) << row.key;
        EXPECT_EQ(row.providers[1].value_or(L"-"), e.onCommandLine) << row.key;
        EXPECT_EQ(row.overridden, row.providers[0] || row.providers[1]) << row.key;
    }
    Config::Setting<bool>(rig.config, "Ui/Settings/Advanced/ReverseBackends", false).Set(true);
    EXPECT_EQ(rig.table.ProviderColumns(), (std::vector<Config::Backend*>{&rig.commandLine, &rig.ini}));
}

TEST(SettingsGrid, EditingAValueWritesTheWriteListAndAProviderCellThatProviderOnly) {
    Rig rig;
    int told = 0;
    Config::ChangeListener listener(rig.config, [&] { ++told; });
    EXPECT_TRUE(rig.table.SetValue(L"Audio/Latency", L"40"));
    EXPECT_EQ(rig.latency.Get(), 40);
    EXPECT_EQ(told, 1);
    EXPECT_EQ(
        rig.config.ProviderRead(rig.ini, Config::Key("Audio/Latency"), Config::Value(L"")).second.ToString(),
        L"40");
    // Check-box cells store "1" and "0"; the float editor writes fixed notation.
    EXPECT_TRUE(rig.table.SetValue(L"Ui/Theme/Dark", L"0"));
    EXPECT_FALSE(rig.dark.Get());
    EXPECT_TRUE(rig.table.SetValue(L"Audio/Gain", L"0.125000"));
    EXPECT_DOUBLE_EQ(rig.gain.Get(), 0.125);
    EXPECT_EQ(rig.table.Row(L"Audio/Gain", rig.table.ProviderColumns())->value, L"0.125");
    // A provider cell writes that provider only.
    told = 0;
    EXPECT_TRUE(rig.table.SetProviderValue(rig.ini, L"Audio/Latency", L"64"));
    EXPECT_EQ(rig.latency.Get(), 64);
    EXPECT_EQ(told, 1);
    // The command line is read-only: refused, logged, nothing changes.
    EXPECT_FALSE(rig.table.SetProviderValue(rig.commandLine, L"Audio/Device", L"3"));
    EXPECT_EQ(rig.device.Get(), 7);
    EXPECT_EQ(told, 1);
    // The command line still wins over a new INI value.
    EXPECT_TRUE(rig.table.SetProviderValue(rig.ini, L"Audio/Device", L"2"));
    EXPECT_EQ(rig.device.Get(), 7);
}

TEST(SettingsGrid, CopyGivesKeyValueLinesAndPasteWritesWellFormedOnes) {
    Rig rig;
    const auto rows = rig.table.Rows(rig.table.ProviderColumns());
    EXPECT_EQ(SettingsTable::CopyText({rows[0], rows[2]}), L"Audio/Device=7\r\nAudio/Latency=100\r\n");
    EXPECT_EQ(SettingsTable::CopyText({}), L"");
    EXPECT_EQ(
        rig.table.Paste(L"Audio/Latency=40\r\na=b=c\r\nno separator\r\n=5\r\nUi/Theme/Dark=0\nAudio/New=x"),
        3);
    EXPECT_EQ(rig.latency.Get(), 40);
    EXPECT_FALSE(rig.dark.Get());
    EXPECT_EQ(rig.table.Row(L"Audio/Latency", rig.table.ProviderColumns())->value, L"40");
    // A key nobody reads yet is stored for later; the malformed lines wrote nothing.
    EXPECT_EQ(Config::Setting<String>(rig.config, "Audio/New", L"").Get(), L"x");
    EXPECT_FALSE(rig.ini.Read(Config::Key("a"), Config::Value(L"")).first);
    EXPECT_FALSE(rig.ini.Read(Config::Key(""), Config::Value(L"")).first);
    // Copy and paste round-trip.
    rig.latency.Set(99);
    const String copied = SettingsTable::CopyText(rig.table.Rows(rig.table.ProviderColumns()));
    rig.latency.Set(1);
    rig.table.Paste(copied);
    EXPECT_EQ(rig.latency.Get(), 99);
}

} // namespace
