#pragma once

#include "libbrelm/config.h"
#include "libbrelm/logging.h"

#include <wx/colour.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>

#include <array>
#include <deque>
#include <mutex>
#include <utility>

// The log pane: a read-only text control fed from the log channel buffer.
// Records arrive on any thread and wait in a queue; UpdateLogDisplay, called
// by the owner's redraw timer on the GUI thread, appends them in one frozen
// batch, each line coloured by its level.
//
// Settings under "Ui": "Log/Level" (9; records above it are not shown),
// "Log/ShowTime" (true), "Log/MaxLines" (1000), "Theme/Dark" and
// "Theme/SetBackground" for the colours, "Font" (a native font description,
// empty for the default). A level's colour comes from the colour database and
// can be replaced by "Ui/Log/Colors/Dark/<level>" or
// "Ui/Log/Colors/Light/<level>" ("#rrggbb,aa").
//
// Threads: made, updated and destroyed on the GUI thread; its log target takes
// records from any thread.
namespace brl::gui {

class LogPanelWx : public wxTextCtrl {
public:
    static constexpr int kLevelColours = 20;
    // At most this many records wait for the next update; older ones go.
    static constexpr size_t kMaxQueued = 10000;

    // Attaches to the buffer (which hands over what it holds) until destroyed.
    // The status bar, if any, shows lines of level 6 and below.
    LogPanelWx(wxWindow* parent, Logging::ChannelBuffer* buffer, Config::Frontend& config,
               wxStatusBar* statusBar);
    ~LogPanelWx() override;

    void UpdateLogDisplay();
    // Takes the theme, colours and font from the settings again (the owner
    // calls it on a configuration change); lines shown take the new colours.
    void ApplyTheme();

    // The colour a level is shown in (levels outside 0..19 clamped).
    wxColour LevelColour(int level) const;
    // The names in the toolkit's colour database for a level, by theme.
    static const char* LevelColourName(int level, bool dark);

private:
    struct Pending {
        int level;
        uint64_t time; // ns since 1970 UTC
        String message;
    };
    class Sink : public Logging::Channel {
    public:
        explicit Sink(LogPanelWx& panel) : owner(panel) {}
        void Log(int level, const Logging::SourceLocation& location, const String& name,
                 const String& message) override;

    private:
        LogPanelWx& owner;
    };

    void Enqueue(int level, uint64_t time, const String& message);
    void Trim(int maxLines);
    void AppendLine(int level, const String& text);

    Logging::ChannelBuffer* buffer;
    Config::Frontend& config;
    wxStatusBar* statusBar;
    Config::Setting<int> level;
    Config::Setting<bool> showTime;
    Config::Setting<int> maxLines;
    std::array<wxColour, kLevelColours> colours;
    std::mutex mutex;
    std::deque<Pending> queue;
    // The lines shown, with their levels, so that a theme change can colour
    // them anew (GUI thread only).
    std::deque<std::pair<int, String>> shownLines;
    Sink sink;
};

} // namespace brl::gui
