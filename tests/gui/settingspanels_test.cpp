// The settings pages and window placements in real windows.
#include "gui_test_support.h"

#include "gui/settingspanels.h"
#include "libbrelm/configproviders.h"
#include "support/ini_settings.h"

#include <gtest/gtest.h>

#include <wx/fontpicker.h>

namespace {

using brl::String;
using namespace brl::gui;
namespace Config = brl::Config;
using guitest::Frame;
using namespace std::chrono_literals;

// A writable user INI file under a command line.
struct Settings : brl::testing::IniSettings {
    Config::CommandlineProvider commandLine{{L"korvax", L"--Audio-Device", L"7"}};
    Settings() { config.AddOverride(&commandLine); }
};

TEST(SettingsUiPage, EachControlWritesItsSettingAsItChangesAndReloadShowsChangesMadeElsewhere) {
    Settings s;
    Config::Setting<int> level(s.config, "Ui/Log/Level", 9);
    Config::Setting<bool> dark(s.config, "Ui/Theme/Dark", true);
    Config::Setting<bool> background(s.config, "Ui/Theme/SetBackground", true);
    Config::Setting<int> profiler(s.config, "Ui/ProfilerUpdateInterval", 500);
    Config::Setting<int> polling(s.config, "Ui/PollingInterval", 200);
    Config::Setting<String> font(s.config, "Ui/Font", String());
    int told = 0;
    Config::ChangeListener listener(s.config, [&] { ++told; });
    Frame window(L"ui");
    auto* page = new SettingsUiPanel(window.frame, s.config);
    window.Show();
    EXPECT_EQ(page->LogLevel()->GetSelection(), 9);
    guitest::Choose(page->LogLevel(), 6);
    guitest::Tick(page->DarkTheme(), false);
    guitest::Tick(page->SetBackground(), false);
    guitest::Spin(page->ProfilerInterval(), 750);
    guitest::Spin(page->PollingInterval(), 5000); // clamped by the control
    const wxFont chosen(wxFontInfo(14).Family(wxFONTFAMILY_TELETYPE).Bold());
    guitest::Send(page->FontPicker(),
                  wxFontPickerEvent(page->FontPicker(), page->FontPicker()->GetId(), chosen), 0);
    EXPECT_EQ(level.Get(), 6);
    EXPECT_FALSE(dark.Get());
    EXPECT_FALSE(background.Get());
    EXPECT_EQ(profiler.Get(), 750);
    EXPECT_EQ(polling.Get(), 1000);
    wxFont stored;
    ASSERT_TRUE(stored.SetNativeFontInfo(wxString(font.Get())));
    EXPECT_EQ(stored.GetPointSize(), 14);
    EXPECT_EQ(stored.GetWeight(), wxFONTWEIGHT_BOLD);
    EXPECT_EQ(told, 6);
    EXPECT_EQ(s.config.ProviderRead(s.ini, Config::Key("Ui/Log/Level"), Config::Value(L"")).second.ToString(),
              L"6");
    level.Set(4);
    page->Reload();
    EXPECT_EQ(page->LogLevel()->GetSelection(), 4);
}

TEST(WindowPlacementOfFrames, StoresAndRestoresAndBringsBackLostWindows) {
    Settings s;
    {
        Frame window(L"placed", wxSize(500, 300));
        window.Show();
        window.frame->SetSize(120, 140, 520, 330);
        guitest::Pump(100ms);
        ASSERT_TRUE(SaveWindowPlacement(*window.frame, s.config, L"Placed"));
    }
    EXPECT_FALSE(Config::Setting<bool>(s.config, "Placed/Maximized", true).Get());
    {
        Frame window(L"placed again", wxSize(200, 200));
        RestoreWindowPlacement(*window.frame, s.config, L"Placed");
        window.Show();
        EXPECT_EQ(window.frame->GetRect(), wxRect(120, 140, 520, 330));
    }
    // A place on a display that is gone.
    WritePlacement(s.config, L"Lost", WindowPlacement{ScreenRect{8000, 6000, 400, 300}, false});
    Frame window(L"lost", wxSize(200, 200));
    RestoreWindowPlacement(*window.frame, s.config, L"Lost");
    window.Show();
    const wxRect rect = window.frame->GetRect();
    const std::vector<ScreenRect> displays = VisibleDisplays();
    ASSERT_FALSE(displays.empty());
    EXPECT_EQ(rect.GetSize(), wxSize(400, 300));
    EXPECT_GE(rect.x, displays.front().left);
    EXPECT_LE(rect.GetRight(), displays.front().Right());
    EXPECT_LE(rect.GetBottom(), displays.front().Bottom());
}

} // namespace
