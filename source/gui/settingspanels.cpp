#include "gui/settingspanels.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/clipbrd.h>
#include <wx/display.h>
#include <wx/fontpicker.h>
#include <wx/grid.h>
#include <wx/listctrl.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include <algorithm>

namespace brl::gui {

namespace {

constexpr int kLogLevels = 20;

wxFont FontFromSetting(const String& text) {
    wxFont font;
    if (!text.empty() && font.SetNativeFontInfo(wxString(text)) && font.IsOk()) {
        return font;
    }
    return wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
}

} // namespace

// ---------------------------------------------------------------- general page

SettingsUiPanel::SettingsUiPanel(wxWindow* parent, Config::Frontend& frontend)
    : wxPanel(parent, wxID_ANY), config(frontend) {
    auto* grid = new wxFlexGridSizer(2, wxSize(8, 6));
    grid->AddGrowableCol(1);
    // Labels and controls are made in the order they are shown, which is also
    // the order the keyboard moves through them.
    const auto label = [&](const wchar_t* text) {
        grid->Add(new wxStaticText(this, wxID_ANY, text), 0, wxALIGN_CENTER_VERTICAL);
    };

    wxArrayString levels;
    for (int level = 0; level < kLogLevels; ++level) {
        levels.Add(Logging::LevelName(level));
    }
    label(L"log level:");
    logLevel = new wxChoice(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, levels);
    grid->Add(logLevel);
    grid->AddSpacer(0);
    darkTheme = new wxCheckBox(this, wxID_ANY, L"dark theme");
    grid->Add(darkTheme);
    grid->AddSpacer(0);
    setBackground = new wxCheckBox(this, wxID_ANY, L"set window background");
    grid->Add(setBackground);
    label(L"font: ");
    fontPicker = new wxFontPickerCtrl(this, wxID_ANY, FontFromSetting(String()));
    grid->Add(fontPicker, 0, wxEXPAND);
    label(L"profiler update interval [ms]: ");
    profilerInterval = new wxSpinCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                      wxSP_ARROW_KEYS, 20, 2000, 500);
    grid->Add(profilerInterval);
    label(L"vst gui polling interval [ms]: ");
    pollingInterval = new wxSpinCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                     wxSP_ARROW_KEYS, 10, 1000, 200);
    grid->Add(pollingInterval);

    auto* outer = new wxBoxSizer(wxVERTICAL);
    outer->Add(grid, 0, wxALL | wxEXPAND, 10);
    SetSizer(outer);

    logLevel->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) {
        Config::Setting<int>(config, "Ui/Log/Level", 9).Set(logLevel->GetSelection());
    });
    darkTheme->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) {
        Config::Setting<bool>(config, "Ui/Theme/Dark", true).Set(darkTheme->GetValue());
    });
    setBackground->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) {
        Config::Setting<bool>(config, "Ui/Theme/SetBackground", true).Set(setBackground->GetValue());
    });
    fontPicker->Bind(wxEVT_FONTPICKER_CHANGED, [this](wxFontPickerEvent& event) {
        const wxFont font = event.GetFont();
        if (font.IsOk()) {
            Config::Setting<String>(config, "Ui/Font", String())
                .Set(font.GetNativeFontInfoDesc().ToStdWstring());
        }
    });
    profilerInterval->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent&) {
        Config::Setting<int>(config, "Ui/ProfilerUpdateInterval", 500).Set(profilerInterval->GetValue());
    });
    pollingInterval->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent&) {
        Config::Setting<int>(config, "Ui/PollingInterval", 200).Set(pollingInterval->GetValue());
    });
    Reload();
}

void SettingsUiPanel::Reload() {
    const int level = Config::Setting<int>(config, "Ui/Log/Level", 9).Get();
    logLevel->SetSelection(std::clamp(level, 0, kLogLevels - 1));
    darkTheme->SetValue(Config::Setting<bool>(config, "Ui/Theme/Dark", true).Get());
    setBackground->SetValue(Config::Setting<bool>(config, "Ui/Theme/SetBackground", true).Get());
    fontPicker->SetSelectedFont(FontFromSetting(Config::Setting<String>(config, "Ui/Font", String()).Get()));
    profilerInterval->SetValue(Config::Setting<int>(config, "Ui/ProfilerUpdateInterval", 500).Get());
    pollingInterval->SetValue(Config::Setting<int>(config, "Ui/PollingInterval", 200).Get());
}

// ---------------------------------------------------------------- settings grid

SettingsAdvancedPanel::SettingsAdvancedPanel(wxWindow* parent, Config::Frontend& frontend,
                                             Logging::Channel* logTarget)
    : wxPanel(parent, wxID_ANY), config(frontend), table(frontend, logTarget), log(logTarget, L"settings") {
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* refresh = new wxButton(this, wxID_REFRESH, L"refresh");
    auto* copy = new wxButton(this, wxID_COPY, L"copy");
    auto* paste = new wxButton(this, wxID_PASTE, L"paste");
    buttons->Add(refresh, 0, wxRIGHT, 4);
    buttons->Add(copy, 0, wxRIGHT, 4);
    buttons->Add(paste);

    grid = new wxGrid(this, wxID_ANY);
    grid->CreateGrid(0, kFirstProviderColumn);
    grid->SetColLabelValue(kNameColumn, L"name");
    grid->SetColLabelValue(kTypeColumn, L"type");
    grid->SetColLabelValue(kValueColumn, L"value");
    grid->SetColLabelValue(kDefaultColumn, L"default");
    grid->HideRowLabels();
    grid->SetSelectionMode(wxGrid::wxGridSelectRows);

    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(buttons, 0, wxALL, 4);
    sizer->Add(grid, 1, wxEXPAND);
    SetSizer(sizer);

    refresh->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Refill(); });
    copy->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Copy(); });
    paste->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Paste(); });
    grid->Bind(wxEVT_GRID_CELL_CHANGED, &SettingsAdvancedPanel::OnCellChanged, this);
    grid->Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& event) {
        if (event.GetModifiers() == wxMOD_CONTROL && event.GetKeyCode() == 'C') {
            Copy();
        } else if (event.GetModifiers() == wxMOD_CONTROL && event.GetKeyCode() == 'V') {
            Paste();
        } else {
            event.Skip();
        }
    });
    Refill();
}

void SettingsAdvancedPanel::Refill() {
    BRL_LOG_VERBOSE(log, "refill");
    grid->Freeze();
    if (grid->GetNumberRows() > 0) {
        grid->DeleteRows(0, grid->GetNumberRows());
    }
    if (grid->GetNumberCols() > kFirstProviderColumn) {
        grid->DeleteCols(kFirstProviderColumn, grid->GetNumberCols() - kFirstProviderColumn);
    }
    columns = table.ProviderColumns();
    grid->AppendCols(static_cast<int>(columns.size()));
    for (size_t i = 0; i < columns.size(); ++i) {
        grid->SetColLabelValue(kFirstProviderColumn + static_cast<int>(i), wxString(columns[i]->Name()));
    }
    const std::vector<SettingsRow> rows = table.Rows(columns);
    grid->AppendRows(static_cast<int>(rows.size()));
    for (size_t row = 0; row < rows.size(); ++row) {
        FillRow(static_cast<int>(row), rows[row]);
    }
    grid->AutoSizeColumn(kNameColumn, false);
    grid->AutoSizeColumn(kTypeColumn, false);
    grid->SetColSize(kValueColumn, 256);
    grid->SetColSize(kDefaultColumn, 128);
    for (size_t i = 0; i < columns.size(); ++i) {
        grid->AutoSizeColumn(kFirstProviderColumn + static_cast<int>(i), false);
    }
    grid->Thaw();
    grid->ForceRefresh();
}

void SettingsAdvancedPanel::FillRow(int row, const SettingsRow& data) {
    const wxFont font(wxFontInfo(9).Family(wxFONTFAMILY_TELETYPE).Bold(data.overridden));
    for (int column = 0; column < grid->GetNumberCols(); ++column) {
        grid->SetCellFont(row, column, font);
    }
    grid->SetCellValue(row, kNameColumn, wxString(data.key));
    grid->SetCellValue(row, kTypeColumn, wxString(data.type));
    grid->SetCellValue(row, kDefaultColumn, wxString(data.defaultText));
    grid->SetReadOnly(row, kNameColumn);
    grid->SetReadOnly(row, kTypeColumn);
    grid->SetReadOnly(row, kDefaultColumn);
    switch (data.tag) {
    case Config::Tag::Bool:
        wxGridCellBoolEditor::UseStringValues(L"1", L"0");
        grid->SetCellEditor(row, kValueColumn, new wxGridCellBoolEditor());
        grid->SetCellRenderer(row, kValueColumn, new wxGridCellBoolRenderer());
        break;
    case Config::Tag::Int:
        grid->SetCellEditor(row, kValueColumn, new wxGridCellNumberEditor());
        break;
    case Config::Tag::Double:
        grid->SetCellEditor(row, kValueColumn, new wxGridCellFloatEditor(-1, -1, wxGRID_FLOAT_FORMAT_FIXED));
        break;
    default:
        grid->SetCellEditor(row, kValueColumn, new wxGridCellTextEditor());
        break;
    }
    grid->SetCellValue(row, kValueColumn, wxString(data.value));
    for (size_t i = 0; i < data.providers.size(); ++i) {
        const int column = kFirstProviderColumn + static_cast<int>(i);
        const bool held = data.providers[i].has_value();
        grid->SetCellValue(row, column, held ? wxString(*data.providers[i]) : wxString());
        grid->SetCellBackgroundColour(row, column, held ? wxColour(206, 234, 206) : wxColour(232, 232, 232));
        grid->SetCellTextColour(row, column, *wxBLACK);
    }
}

void SettingsAdvancedPanel::OnCellChanged(wxGridEvent& event) {
    const int row = event.GetRow();
    const int column = event.GetCol();
    const String key = grid->GetCellValue(row, kNameColumn).ToStdWstring();
    const String text = grid->GetCellValue(row, column).ToStdWstring();
    if (column == kValueColumn) {
        table.SetValue(key, text);
    } else if (column >= kFirstProviderColumn &&
               column - kFirstProviderColumn < static_cast<int>(columns.size())) {
        table.SetProviderValue(*columns[column - kFirstProviderColumn], key, text);
    }
    if (const auto data = table.Row(key, columns)) {
        FillRow(row, *data);
    }
    grid->ForceRefresh();
}

int SettingsAdvancedPanel::RowOf(const String& key) const {
    for (int row = 0; row < grid->GetNumberRows(); ++row) {
        if (grid->GetCellValue(row, kNameColumn).ToStdWstring() == key) {
            return row;
        }
    }
    return -1;
}

String SettingsAdvancedPanel::SelectedText() const {
    std::vector<SettingsRow> rows;
    for (int row = 0; row < grid->GetNumberRows(); ++row) {
        if (grid->IsInSelection(row, kNameColumn)) {
            SettingsRow line;
            line.key = grid->GetCellValue(row, kNameColumn).ToStdWstring();
            line.value = grid->GetCellValue(row, kValueColumn).ToStdWstring();
            rows.push_back(std::move(line));
        }
    }
    return SettingsTable::CopyText(rows);
}

bool SettingsAdvancedPanel::Copy() {
    wxClipboardLocker locker;
    if (!locker) {
        BRL_LOG_ERROR(log, "the clipboard cannot be opened");
        return false;
    }
    return wxTheClipboard->SetData(new wxTextDataObject(wxString(SelectedText())));
}

int SettingsAdvancedPanel::PasteText(const String& text) {
    const int written = table.Paste(text);
    Refill();
    return written;
}

bool SettingsAdvancedPanel::Paste() {
    wxTextDataObject data;
    {
        wxClipboardLocker locker;
        if (!locker || !wxTheClipboard->IsSupported(wxDF_UNICODETEXT) || !wxTheClipboard->GetData(data)) {
            BRL_LOG_WARNING(log, "no text to paste");
            return false;
        }
    }
    PasteText(data.GetText().ToStdWstring());
    return true;
}

// ---------------------------------------------------------------- providers

SettingsBackendsPanel::SettingsBackendsPanel(wxWindow* parent, Config::Frontend& frontend)
    : wxPanel(parent, wxID_ANY), config(frontend) {
    list = new wxListCtrl(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLC_REPORT | wxLC_SINGLE_SEL);
    list->AppendColumn(L"provider");
    list->AppendColumn(L"list");
    list->AppendColumn(L"writes");
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(list, 1, wxEXPAND | wxALL, 4);
    SetSizer(sizer);
    Refill();
}

void SettingsBackendsPanel::Refill() {
    list->DeleteAllItems();
    const std::vector<Config::Backend*> writes = config.WriteList();
    long item = 0;
    const auto add = [&](const std::vector<Config::Backend*>& providers, const wchar_t* which) {
        for (Config::Backend* provider : providers) {
            const bool writable = std::find(writes.begin(), writes.end(), provider) != writes.end();
            list->InsertItem(item, wxString(provider->Name()));
            list->SetItem(item, 1, which);
            list->SetItem(item, 2, writable ? L"yes" : L"");
            ++item;
        }
    };
    add(config.BaseList(), L"base");
    add(config.OverrideList(), L"override");
    for (int column = 0; column < 3; ++column) {
        list->SetColumnWidth(column, wxLIST_AUTOSIZE_USEHEADER);
    }
}

// ---------------------------------------------------------------- placement

std::vector<ScreenRect> VisibleDisplays() {
    std::vector<ScreenRect> displays;
    for (unsigned i = 0; i < wxDisplay::GetCount(); ++i) {
        const wxRect area = wxDisplay(i).GetClientArea();
        displays.push_back(ScreenRect{area.x, area.y, area.width, area.height});
    }
    return displays;
}

void RestoreWindowPlacement(wxTopLevelWindow& window, Config::Frontend& config, const String& name) {
    const wxRect now = window.GetRect();
    const WindowPlacement current{ScreenRect{now.x, now.y, now.width, now.height}, window.IsMaximized()};
    const WindowPlacement stored = FitToScreens(ReadPlacement(config, name, current), VisibleDisplays());
    window.SetSize(stored.rect.left, stored.rect.top, stored.rect.width, stored.rect.height);
    if (stored.maximized) {
        window.Maximize(true);
    }
}

bool SaveWindowPlacement(const wxTopLevelWindow& window, Config::Frontend& config, const String& name) {
    const wxRect now = window.GetRect();
    WindowPlacement placement{ScreenRect{now.x, now.y, now.width, now.height}, window.IsMaximized()};
    if (window.IsMaximized() || window.IsIconized()) {
        placement = ReadPlacement(config, name, placement);
        placement.maximized = window.IsMaximized();
    }
    return WritePlacement(config, name, placement);
}

void HideOnClose(wxTopLevelWindow& window, wxCloseEvent& event, Config::Frontend& config,
                 const String& name) {
    SaveWindowPlacement(window, config, name);
    if (event.CanVeto()) {
        event.Veto();
        window.Hide();
        return;
    }
    event.Skip();
}

} // namespace brl::gui
