// The settings pages and window placements in real windows.
#include "gui_test_support.h"

#include "gui/settingspanels.h"
#include "libbrelm/configproviders.h"
#include "support/ini_settings.h"

#include <gtest/gtest.h>

#include <wx/clipbrd.h>
#include <wx/fontpicker.h>
#include <wx/frame.h>
#include <wx/grid.h>

namespace {

using brl::String;
using namespace brl::gui;
namespace Config = brl::Config;
using namespace std::chrono_literals;

// A writable user INI file under a command line.
struct Settings : brl::testing::IniSettings {
    Config::CommandlineProvider commandLine{{L"korvax", L"--Audio-Device", L"7"}};
    Settings() { config.AddOverride(&commandLine); }
};

// A frame that goes away with the test.
struct Frame {
    explicit Frame(const wchar_t* title, wxSize size = wxSize(900, 600))
        : frame(new wxFrame(nullptr, wxID_ANY, title, wxPoint(40, 40), size)) {}
    ~Frame() { guitest::DestroyNow(frame); }
    void Show() {
        frame->Show();
        guitest::Pump(200ms);
    }
    wxFrame* frame;
};

template <typename Event> void Send(wxWindow* window, Event&& event) {
    event.SetEventObject(window);
    window->GetEventHandler()->ProcessEvent(event);
}

String IniValue(Settings& s, const char* key) {
    return s.config.ProviderRead(s.ini, Config::Key(key), Config::Value(L"")).second.ToString();
}

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
    Send(page->FontPicker(), wxFontPickerEvent(page->FontPicker(), page->FontPicker()->GetId(), chosen));
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
    EXPECT_EQ(IniValue(s, "Ui/Log/Level"), L"6");
    level.Set(4);
    page->Reload();
    EXPECT_EQ(page->LogLevel()->GetSelection(), 4);
}

// The advanced page over a few settings, with the provider columns shown.
struct GridPage {
    Settings s;
    Config::Setting<int> latency{s.config, "Audio/Latency", 100};
    Config::Setting<int> device{s.config, "Audio/Device", 0};
    Config::Setting<bool> dark{s.config, "Ui/Theme/Dark", true};
    Config::Setting<double> gain{s.config, "Audio/Gain", 0.5};
    Frame window{L"advanced", wxSize(1300, 420)};
    SettingsAdvancedPanel* page = nullptr;

    GridPage() {
        device.Reload();
        Config::Setting<bool>(s.config, "Ui/Settings/Advanced/ShowBackends", false).Set(true);
        page = new SettingsAdvancedPanel(window.frame, s.config, nullptr);
        window.Show();
    }
    wxGrid* Grid() const { return page->Grid(); }
    void Edit(int row, int column, const wxString& text) {
        Grid()->SetCellValue(row, column, text);
        Send(Grid(), wxGridEvent(Grid()->GetId(), wxEVT_GRID_CELL_CHANGED, Grid(), row, column));
    }
};

TEST(SettingsGridPage, ShowsEveryKeyWithItsProviderCellsAndEditedCellsReachTheProviders) {
    GridPage p;
    wxGrid* grid = p.Grid();
    ASSERT_EQ(grid->GetNumberCols(), 6);
    EXPECT_TRUE(grid->GetColLabelValue(4).StartsWith(L"ini("));
    EXPECT_EQ(grid->GetColLabelValue(5), L"commandline");
    const int device = p.page->RowOf(L"Audio/Device");
    const int latency = p.page->RowOf(L"Audio/Latency");
    ASSERT_GE(device, 0);
    EXPECT_EQ(grid->GetCellValue(device, 1), L"int");
    EXPECT_EQ(grid->GetCellValue(device, 2), L"7");
    EXPECT_EQ(grid->GetCellValue(device, 4), L"");
    EXPECT_EQ(grid->GetCellValue(device, 5), L"7");
    EXPECT_NE(grid->GetCellBackgroundColour(device, 4), grid->GetCellBackgroundColour(device, 5));
    EXPECT_EQ(grid->GetCellFont(device, 0).GetWeight(), wxFONTWEIGHT_BOLD);
    EXPECT_NE(grid->GetCellFont(latency, 0).GetWeight(), wxFONTWEIGHT_BOLD);
    EXPECT_TRUE(grid->IsReadOnly(device, 0) && grid->IsReadOnly(device, 1) && grid->IsReadOnly(device, 3));
    EXPECT_FALSE(grid->IsReadOnly(device, 2));
    wxGridCellEditor* editor = grid->GetCellEditor(p.page->RowOf(L"Ui/Theme/Dark"), 2);
    EXPECT_NE(dynamic_cast<wxGridCellBoolEditor*>(editor), nullptr);
    editor->DecRef();
    int told = 0;
    Config::ChangeListener listener(p.s.config, [&] { ++told; });
    p.Edit(latency, SettingsAdvancedPanel::kValueColumn, L"40");
    EXPECT_EQ(p.latency.Get(), 40);
    EXPECT_EQ(told, 1);
    // The row is filled again: now held by the INI file.
    EXPECT_EQ(grid->GetCellValue(latency, 4), L"40");
    EXPECT_EQ(grid->GetCellFont(latency, 0).GetWeight(), wxFONTWEIGHT_BOLD);
    p.Edit(p.page->RowOf(L"Ui/Theme/Dark"), SettingsAdvancedPanel::kValueColumn, L"0");
    EXPECT_FALSE(p.dark.Get());
    p.Edit(device, 4, L"3"); // the INI column: written there, the command line still wins
    EXPECT_EQ(IniValue(p.s, "Audio/Device"), L"3");
    EXPECT_EQ(p.device.Get(), 7);
    EXPECT_EQ(grid->GetCellValue(device, 2), L"7");
}

TEST(SettingsGridPage, CopiesSelectedRowsToTheClipboardAndPastesKeyValueLinesFromIt) {
    GridPage p;
    p.Grid()->SelectRow(p.page->RowOf(L"Audio/Device"));
    p.Grid()->SelectRow(p.page->RowOf(L"Audio/Latency"), true);
    ASSERT_TRUE(p.page->Copy());
    {
        wxClipboardLocker locker;
        ASSERT_TRUE(wxTheClipboard->IsOpened());
        wxTextDataObject text;
        ASSERT_TRUE(wxTheClipboard->GetData(text));
        EXPECT_EQ(text.GetText(), L"Audio/Device=7\r\nAudio/Latency=100\r\n");
        wxTheClipboard->SetData(new wxTextDataObject(L"Audio/Latency=40\r\na=b=c\r\nAudio/Gain=0.75\r\n"));
    }
    ASSERT_TRUE(p.page->Paste());
    EXPECT_EQ(p.latency.Get(), 40);
    EXPECT_DOUBLE_EQ(p.gain.Get(), 0.75);
    EXPECT_EQ(p.Grid()->GetCellValue(p.page->RowOf(L"Audio/Latency"), 2), L"40");
    EXPECT_EQ(p.page->RowOf(L"a"), -1);
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
