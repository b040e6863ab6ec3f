#pragma once

#include "gui/settingstable.h"
#include "gui/windowplacement.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"

#include <wx/panel.h>
#include <wx/toplevel.h>

#include <vector>

class wxCheckBox;
class wxChoice;
class wxFontPickerCtrl;
class wxGrid;
class wxGridEvent;
class wxListCtrl;
class wxSpinCtrl;

// The settings pages every application of the framework puts into its
// settings window: the GUI-wide settings ("ui"), the grid of every setting
// ("advanced") and the list of configuration providers ("backends"); and the
// storing of a top-level window's placement.
//
// Threads: GUI thread only.
namespace brl::gui {

// The GUI-wide settings under "Ui". Each control writes its setting as soon as
// it changes; Reload shows the settings' values again.
class SettingsUiPanel : public wxPanel {
public:
    SettingsUiPanel(wxWindow* parent, Config::Frontend& config);

    void Reload();

    wxChoice* LogLevel() const { return logLevel; }
    wxCheckBox* DarkTheme() const { return darkTheme; }
    wxCheckBox* SetBackground() const { return setBackground; }
    wxFontPickerCtrl* FontPicker() const { return fontPicker; }
    wxSpinCtrl* ProfilerInterval() const { return profilerInterval; }
    wxSpinCtrl* PollingInterval() const { return pollingInterval; }

private:
    Config::Frontend& config;
    wxChoice* logLevel = nullptr;
    wxCheckBox* darkTheme = nullptr;
    wxCheckBox* setBackground = nullptr;
    wxFontPickerCtrl* fontPicker = nullptr;
    wxSpinCtrl* profilerInterval = nullptr;
    wxSpinCtrl* pollingInterval = nullptr;
};

// The grid of every setting: columns "name", "type", "value", "default" and
// one per configuration provider. "value" and the provider cells are editable;
// the selected rows copy as "key=value" lines and pasted lines of that form
// are written. Ctrl+C and Ctrl+V work on the grid; buttons do the same.
class SettingsAdvancedPanel : public wxPanel {
public:
    static constexpr int kNameColumn = 0;
    static constexpr int kTypeColumn = 1;
    static constexpr int kValueColumn = 2;
    static constexpr int kDefaultColumn = 3;
    static constexpr int kFirstProviderColumn = 4;

    SettingsAdvancedPanel(wxWindow* parent, Config::Frontend& config, Logging::Channel* logTarget);

    // Rebuilds all rows and provider columns.
    void Refill();
    // The "key=value\r\n" lines of the rows whose name cell is selected.
    String SelectedText() const;
    // SelectedText to the clipboard; false when the clipboard cannot be opened.
    bool Copy();
    // Writes the "key=value" lines of the text, then refills.
    int PasteText(const String& text);
    // PasteText with the clipboard's text; false when there is none.
    bool Paste();

    wxGrid* Grid() const { return grid; }
    // The row of a key, or -1.
    int RowOf(const String& key) const;
    const std::vector<Config::Backend*>& Columns() const { return columns; }

private:
    void FillRow(int row, const SettingsRow& data);
    void OnCellChanged(wxGridEvent& event);

    Config::Frontend& config;
    SettingsTable table;
    Logging::Logger log;
    wxGrid* grid = nullptr;
    std::vector<Config::Backend*> columns;
};

// The configuration providers in reading order: name, the list each is in,
// and whether it receives writes.
class SettingsBackendsPanel : public wxPanel {
public:
    SettingsBackendsPanel(wxWindow* parent, Config::Frontend& config);
    void Refill();
    wxListCtrl* List() const { return list; }

private:
    Config::Frontend& config;
    wxListCtrl* list = nullptr;
};

// The client areas of the displays attached now.
std::vector<ScreenRect> VisibleDisplays();
// Moves and sizes the window as stored under `name` (missing settings keep
// its placement now), corrected onto the visible displays, and maximizes it
// when that was stored.
void RestoreWindowPlacement(wxTopLevelWindow& window, Config::Frontend& config, const String& name);
// Stores the window's placement under `name`. A maximized or minimized window
// keeps its stored size and position and only stores the flag.
bool SaveWindowPlacement(const wxTopLevelWindow& window, Config::Frontend& config, const String& name);
// The close handler of a tool window: stores its placement under `name`, then
// hides it (it keeps its state for the next opening) unless the close cannot
// be refused, in which case the window goes.
void HideOnClose(wxTopLevelWindow& window, wxCloseEvent& event, Config::Frontend& config, const String& name);

} // namespace brl::gui
