#pragma once

#include "gui/recentfiles.h"
#include "korvax/korvaxintrosize.h"
#include "korvax/korvaxmanager.h"
#include "korvax/korvaxundo.h"
#include "libbrelm/application.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>

// The main window's decisions without a toolkit: the texts it shows (title,
// channel list, status bar), the file commands with their prompts, autosave
// naming, the pane layout version and the rules that route a key either to
// the menus or to the computer keyboard's MIDI input. The window supplies the
// prompts (dialogs, or a test's answers) and reacts to state changes.
//
// Threads: GUI thread only.
namespace brl::Synth::Gui {

// The pane layout is stored with this version; another version is ignored.
constexpr int kPaneLayoutVersion = 24;
inline bool PaneLayoutUsable(int storedVersion) {
    return storedVersion == kPaneLayoutVersion;
}

// Status bar fields: 0 the last log message, 1 the song position while a song
// plays, 2..4 the timing texts, 5 the intro size, 6 the CPU meter.
constexpr int kStatusFields = 7;
constexpr int kStatusSong = 1;
constexpr int kStatusIntroSize = 5;
constexpr int kStatusCpu = 6;
using StatusTexts = std::array<String, kStatusFields>;

// "korvax [<version> - <build>] - <file>": the version part only with a
// version, the file part only with a file name.
String WindowTitle(const ApplicationInfo& application, const String& build, const String& fileName);
// "07: bass".
String ChannelEntryText(int index, const String& name);
// "<file>.autosave-<utc seconds>.korvax.bak".
String AutosavePath(const String& fileName, int64_t utcSeconds);
// The name with ".korvax" appended unless it ends in it already.
String WithPatchExtension(const String& path);
// Status bar fields 2, 3 and 4 (input latency, output latency, position) while
// `timing` is on; all empty otherwise. The other fields are not touched here.
StatusTexts StatusFields(const Korvax::Manager& manager, bool timing);

// Status bar field 1 while a song plays: "song 0:12.3 / 1:05.0" (minutes and
// seconds of `position` and `length` ticks of 128 frames at `sampleRate`);
// empty when it does not play.
String SongPositionText(bool playing, uint32_t position, uint32_t length, double sampleRate);
// Status bar field 5: "intro 12345 B, xz 2345 B"; "intro: measuring" while
// the first measurement runs, "intro: size not known" when it failed.
String IntroSizeStatusText(bool measured, const std::optional<Korvax::IntroSize>& size);

// Where a key event goes. Text fields keep every key; a key with Ctrl or Alt
// goes to the menus only; the space bar starts and stops the song, except in a
// graph view, where releasing it asks for the module menu; otherwise the key
// is offered to the computer keyboard.
enum class KeyRoute { Window, Menus, Keyboard, Transport };
KeyRoute RouteKey(bool ctrl, bool alt, bool inTextField, bool space = false, bool inGraphView = false);
// The space bar's X key code (wx reports it in GetRawKeyFlags()).
constexpr uint32_t kRawSpace = 65;

// The keys held down, to tell a key's first press from its auto-repeat.
class HeldKeys {
public:
    // True for the first press of a key, false for a repeat.
    bool Press(uint32_t rawKeyCode) { return held.insert(rawKeyCode).second; }
    // True when the key was held.
    bool Release(uint32_t rawKeyCode) { return held.erase(rawKeyCode) != 0; }
    void Clear() { held.clear(); }
    bool Empty() const { return held.empty(); }

private:
    std::set<uint32_t> held;
};

enum class Answer { Yes, No, Cancel };
enum class FileKind { OpenPatch, SavePatch, OpenOgg, OpenMidi };

// File dialog filters.
const wchar_t* FileFilter(FileKind kind);

// What the commands ask the user. The window shows dialogs; tests answer.
class Prompts {
public:
    virtual ~Prompts() = default;
    // A question with Yes, No and (withCancel) Cancel.
    virtual Answer Ask(const String& question, bool withCancel) = 0;
    // A file dialog of that kind starting in `directory`; false when cancelled.
    virtual bool ChooseFile(FileKind kind, const String& directory, String& path) = 0;
    // A text entry dialog titled and labelled `title`, showing `value`;
    // false when cancelled.
    virtual bool AskText(const String& title, const String& value, String& result) = 0;
    // A message box with an error.
    virtual void ShowError(const String& text) = 0;
};

// The file commands of the main window on the state manager. The window is
// told before the state is replaced (so that it lets go of the graphs) and
// after (to rebuild the channel list and the views), and whenever the file
// name changes (to update the title).
class GraphCommands {
public:
    GraphCommands(Korvax::Manager& manager, Config::Frontend& config, Prompts& prompts,
                  const ApplicationInfo& application, const String& build, Logging::Logger& log);

    std::function<void()> beforeStateChange;
    std::function<void()> afterStateChange;
    std::function<void()> fileNameChanged;
    // Told when the recent-files list changed.
    std::function<void()> recentFilesChanged;

    // The edit history that loading and clearing forget, and the list of files
    // opened and saved (both optional, not owned).
    void SetHistory(Korvax::EditHistory* editHistory) { history = editHistory; }
    void SetRecentFiles(gui::RecentFiles* files) { recent = files; }

    const String& FileName() const { return fileName; }
    // The load from the command line: on failure the manager is left empty,
    // the file name stays empty and the user is told why; returns the load's result.
    bool LoadInitial(const String& path);
    // Takes over a load that happened before the window existed (its state
    // already emptied on failure): sets the file name, or tells the user why not.
    void AdoptInitialLoad(const String& path, bool loaded);

    // "new", "open", "reload", "save", "save as". Each returns whether it did
    // what was asked (false when cancelled or failed).
    bool New();
    bool Open();
    bool OpenPath(const String& path);
    bool Reload();
    bool Save();
    bool SaveAs();
    // Opens entry `index` of the recent-files list; a file that does not open
    // leaves the list.
    bool OpenRecent(size_t index);
    // "load ogg" and "import midi".
    bool LoadOgg();
    bool ImportMidi();
    // Whether the window may close: asks "save that shit?" unless the manager
    // is device-less. A failed save vetoes only when canVeto.
    bool MayClose(bool canVeto);
    // Writes the autosave file when a file name is set; false otherwise or on failure.
    bool Autosave(int64_t utcSeconds);
    // The autosave period in milliseconds; 0 when autosave is off.
    int AutosaveIntervalMs() const;

private:
    bool SaveTo(const String& path);
    bool AskSaveOld();
    bool Choose(FileKind kind, String& path);
    void SetFileName(const String& name);
    void Before();
    void After();
    void Remember(const String& path);

    Korvax::Manager& manager;
    Config::Frontend& config;
    Prompts& prompts;
    ApplicationInfo application;
    String build;
    String fileName;
    Logging::Logger& log;
    Korvax::EditHistory* history = nullptr;
    gui::RecentFiles* recent = nullptr;
};

} // namespace brl::Synth::Gui
