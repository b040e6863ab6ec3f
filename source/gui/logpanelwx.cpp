#include "gui/logpanelwx.h"

#include "gui/canvas.h"

#include <wx/font.h>
#include <wx/gdicmn.h>
#include <wx/settings.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

namespace brl::gui {

namespace {

// "%Y-%m-%d %H:%M:%S.%l" in local time.
String LocalTime(uint64_t nanoseconds) {
    const std::time_t seconds = static_cast<std::time_t>(nanoseconds / 1000000000u);
    const unsigned millis = static_cast<unsigned>(nanoseconds / 1000000u % 1000u);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03u", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis);
    return FromUtf8(text);
}

} // namespace

void LogPanelWx::Sink::Log(int level, const Logging::SourceLocation& location, const String&,
                           const String& message) {
    owner.Enqueue(level, location.time, message);
}

LogPanelWx::LogPanelWx(wxWindow* parent, Logging::ChannelBuffer* logBuffer, Config::Frontend& settings,
                       wxStatusBar* status)
    : wxTextCtrl(parent, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                 wxTE_MULTILINE | wxTE_READONLY | wxTE_RICH2 | wxTE_DONTWRAP),
      buffer(logBuffer), config(settings), statusBar(status), level(settings, "Ui/Log/Level", 9),
      showTime(settings, "Ui/Log/ShowTime", true), maxLines(settings, "Ui/Log/MaxLines", 1000), sink(*this) {
    ApplyTheme();
    if (buffer != nullptr) {
        buffer->SetTarget(&sink);
    }
}

LogPanelWx::~LogPanelWx() {
    if (buffer != nullptr) {
        buffer->SetTarget(nullptr);
    }
}

const char* LogPanelWx::LevelColourName(int level, bool dark) {
    static const char* const kDark[] = {"LIGHT BLUE", "MAGENTA", "MAGENTA",    "MAGENTA", "RED",
                                        "YELLOW",     "GREEN",   "LIGHT GREY", "GREY",    "DARK SLATE GREY"};
    static const char* const kLight[] = {"BLUE",   "MAGENTA", "MAGENTA",   "MAGENTA", "RED",
                                         "ORANGE", "BLUE",    "DARK GREY", "GREY",    "LIGHT GREY"};
    const int index = std::clamp(level, 0, 9);
    return dark ? kDark[index] : kLight[index];
}

void LogPanelWx::ApplyTheme() {
    const bool dark = Config::Setting<bool>(config, "Ui/Theme/Dark", true).Get();
    const std::string prefix = dark ? "Ui/Log/Colors/Dark/" : "Ui/Log/Colors/Light/";
    for (int i = 0; i < kLevelColours; ++i) {
        const wxColour named = wxTheColourDatabase->Find(LevelColourName(i, dark));
        const Colour fallback = Colour::Rgba(named.Red(), named.Green(), named.Blue());
        const Colour chosen = Config::SettingTraits<Colour>::FromValue(
            config.BackendRead(Config::Key((prefix + std::to_string(i)).c_str()),
                               Config::SettingTraits<Colour>::ToValue(fallback)));
        colours[i] = wxColour(chosen.R(), chosen.G(), chosen.B());
    }
    if (Config::Setting<bool>(config, "Ui/Theme/SetBackground", true).Get()) {
        SetBackgroundColour(dark ? wxColour(34, 34, 34) : wxColour(255, 255, 255));
    } else {
        SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW));
    }
    const String fontText = Config::Setting<String>(config, "Ui/Font", String()).Get();
    if (!fontText.empty()) {
        wxFont font;
        if (font.SetNativeFontInfo(wxString(fontText)) && font.IsOk()) {
            SetFont(font);
        }
    }
    // Lines already shown carry the colours they were written in: write them
    // again in the new ones.
    if (!shownLines.empty()) {
        Freeze();
        Clear();
        for (const auto& [lineLevel, text] : shownLines) {
            AppendLine(lineLevel, text);
        }
        Thaw();
        ShowPosition(GetLastPosition());
    }
}

void LogPanelWx::AppendLine(int lineLevel, const String& text) {
    SetDefaultStyle(wxTextAttr(LevelColour(lineLevel), GetBackgroundColour()));
    AppendText(wxString(L"\n" + text));
}

wxColour LogPanelWx::LevelColour(int recordLevel) const {
    return colours[std::clamp(recordLevel, 0, kLevelColours - 1)];
}

void LogPanelWx::Enqueue(int recordLevel, uint64_t time, const String& message) {
    std::lock_guard<std::mutex> lock(mutex);
    if (queue.size() >= kMaxQueued) {
        queue.pop_front();
    }
    queue.push_back({recordLevel, time, message});
}

void LogPanelWx::Trim(int limit) {
    const int lines = GetNumberOfLines();
    if (lines <= limit) {
        return;
    }
    const long end = XYToPosition(0, lines - limit);
    if (end > 0) {
        Remove(0, end);
    }
}

void LogPanelWx::UpdateLogDisplay() {
    std::deque<Pending> batch;
    bool withTime = true;
    int limit = 1000;
    int shown = 9;
    {
        // The records leave the queue under its lock; the control is filled
        // after it is released, so that nothing logged meanwhile can block.
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.empty()) {
            return;
        }
        withTime = showTime.Get();
        limit = std::max(maxLines.Get(), 1);
        shown = level.Get();
        while (!queue.empty() &&
               (queue.front().message.empty() || (queue.front().level > 6 && queue.front().level > shown))) {
            queue.pop_front();
        }
        if (queue.empty()) {
            return;
        }
        batch.swap(queue);
    }
    Freeze();
    for (const Pending& record : batch) {
        Trim(limit);
        const String stamp = withTime ? LocalTime(record.time) + L"   " : String();
        for (const String& line : Logging::SplitLines(record.message)) {
            if (statusBar != nullptr && record.level < 7) {
                statusBar->SetStatusText(wxString(line));
            }
            if (record.level <= shown) {
                AppendLine(record.level, stamp + line);
                shownLines.emplace_back(record.level, stamp + line);
                while (shownLines.size() > static_cast<size_t>(limit)) {
                    shownLines.pop_front();
                }
            }
        }
    }
    Thaw();
    ShowPosition(GetLastPosition());
}

} // namespace brl::gui
