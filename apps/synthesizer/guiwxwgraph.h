#pragma once

#include "gui/recentfiles.h"
#include "korvax/korvaxintrosize.h"
#include "korvax/korvaxmanager.h"
#include "korvax/korvaxundo.h"
#include "libbrelm/application.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"
#include "synthesizer/cpumeterdisplay.h"
#include "synthesizer/graphlogic.h"
#include "vergl/vergluiwxw.h"

#include <wx/aui/aui.h>
#include <wx/event.h>
#include <wx/frame.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class wxListBox;
class wxNotebook;
class wxScrolledWindow;
class wxSpinCtrl;
class wxTextCtrl;
class wxAuiToolBar;

namespace brl::Midi {
class KeyboardStream;
}
namespace brl::Synth {
class NativeManager;
}
namespace brl::gui {
class LogPanelWx;
}

// The main window: the five graph views of the patch set in a notebook, the
// channel list, the module help and parameters, the level meters, the log
// pane and the tool bars, all in panes whose layout is kept in the
// configuration. With the native manager it also plays the patch set's song
// live (the play and stop buttons, the space bar) and shows the audio
// callback's load; after each compile it measures the intro size. It carries out the menu and tool bar
// commands, answers the graph views' requests, drives the periodic refresh from its timers, keeps the title
// and autosaves. The computer keyboard plays the "keyboard" MIDI input from anywhere in the window except
// text fields.
//
// Threads: GUI thread only.
namespace brl::Synth::Gui {

class ControllerWidget;
class PPM_Display2;
class Schiebebank;

// Command numbers of the menus and tool bars.
enum GraphCommandId : int {
    kIdReload = 7100, // above the module commands
    kIdCompile,
    kIdLoadOgg,
    kIdImportMidi,
    kIdSchiebebank,
    kIdSynthState,
    kIdSynthDebug,
    kIdForceMidiProgram,
    kIdForceMidiProgramToggle,
    kIdProfiler,
    kIdSettings,
    kIdPanic,
    kIdViewFirst, // one per pane, in the order of kViewPanes
    kIdViewLast = kIdViewFirst + 9,
    kIdUndo,
    kIdRedo,
    kIdRecentFirst,
    kIdRecentLast = kIdRecentFirst + 9,
    kIdSongPlay,
    kIdSongStop,
    kIdVoiceParamsSource = 7200,
    kIdVoiceParamsSink,
    kIdBufferLoad,
    kIdBufferStore,
    kIdObjectDelete,
    kIdModuleFirst = 6000, // + catalogue index
    kIdModuleLast = kIdModuleFirst + 1023,
};

// The notebook's pages.
enum GraphPage : int { kPageMixPre = 0, kPageChannelPre, kPageVoice, kPageChannel, kPageMix, kPageCount };

class Graph : public wxFrame, public Korvax::Listener, public vergl::IUiHandler, private Prompts {
public:
    // `logBuffer` feeds the log pane (nullptr: the pane stays empty).
    Graph(Korvax::Manager& manager, Config::Frontend& config, const ApplicationInfo& application,
          const String& build, Logging::Channel* logTarget, Logging::ChannelBuffer* logBuffer);
    ~Graph() override;

    // The computer keyboard's MIDI input that key presses feed (nullptr: none).
    void SetKeyboard(Midi::KeyboardStream* stream) { keyboard = stream; }
    Midi::KeyboardStream* Keyboard() const { return keyboard; }
    // Answers every prompt from `hook` instead of showing dialogs (tests);
    // nullptr shows dialogs again.
    void SetPromptHook(Prompts* hook) { promptHook = hook; }
    // Shows pop-up menus through `hook` instead of the toolkit (tests): it
    // gets the menu and returns the chosen command, or wxID_NONE.
    void SetPopupHook(std::function<int(wxMenu&)> hook) { popupHook = std::move(hook); }

    // Called by "panic" after all sounds are cut: resets the output meters.
    std::function<void()> resetMeters;
    // The CPU meter's figures (SetNative makes it the native manager's
    // callback load); empty: the meter stays at 0.
    CpuLoadSource cpuLoad;

    // The device side for the song transport and the CPU meter (nullptr: none).
    void SetNative(NativeManager* manager);
    // Live song transport; false when there is no native manager or no song.
    bool PlaySong();
    void StopSong();
    bool SongPlaying() const;
    // Starts the song, or stops it while it plays (the space bar).
    void ToggleSong();

    GraphCommands& Commands() { return commands; }
    Korvax::EditHistory& History() { return history; }
    gui::RecentFiles& Recent() { return recentFiles; }
    wxMenu* RecentMenu() const { return recentMenu; }
    const String& FileName() const { return commands.FileName(); }
    // See GraphCommands::AdoptInitialLoad.
    void AdoptInitialLoad(const String& path, bool loaded);

    // Widgets, for the owner and for tests.
    vergl::CUiWxw* View(int page) const { return views[static_cast<size_t>(page)]; }
    int CurrentPage() const;
    void SelectPage(int page);
    vergl::CUiWxw* CurrentView() const { return View(CurrentPage()); }
    wxNotebook* Notebook() const { return notebook; }
    wxListBox* ChannelList() const { return channelList; }
    wxTextCtrl* HelpText() const { return helpText; }
    // The name of the selected pin's controller; Enter renames it.
    wxTextCtrl* ControllerNameField() const { return controllerName; }
    gui::LogPanelWx* LogPane() const { return logPane; }
    PPM_Display2* Meters() const { return meters; }
    CpuMeterDisplay* CpuMeterWindow() const { return cpuMeter; }
    wxAuiManager& Panes() { return panes; }
    wxMenu* BuildModuleMenu();
    wxWindow* ToolWindow(int command) const;
    // Makes the slider bank window, hidden until asked for. Its many controls
    // take a while to build, so the program makes it once the first frame
    // shows (CreateSliderBankLater); asking for it before makes it at once.
    void CreateSliderBank();
    void CreateSliderBankLater();
    // Selects channel list entry `index` as a user's click does.
    void SelectChannel(int index);
    // Opens the "rename channel" dialog of entry `index` as a double click does.
    void RenameChannel(int index);

    // The periodic work, also called directly by tests.
    void Redraw();
    void ApplySettings();
    void RebuildChannelList();
    void UpdateTitle();

    // IUiHandler.
    void SelectionsChanged() override;
    bool ConnectRequested(vergl::CPin* pinA, vergl::CPin* pinB) override;
    bool DeleteLinkRequested(vergl::CLink* link) override;
    bool DeleteNodeRequested(vergl::CNode* node) override;
    void ContextRequested() override;
    void NodesMoved(const std::vector<vergl::NodeMove>& moves) override;

    // Korvax::Listener.
    void ProgramSelected() override;

    // Where a key event of a window inside this frame goes; returns the
    // event filter's verdict (wxEventFilter::Event_Skip or Event_Processed).
    int FilterKey(wxKeyEvent& event);

private:
    class KeyFilter;

    // Prompts, shown as dialogs unless a hook is set.
    Answer Ask(const String& question, bool withCancel) override;
    bool ChooseFile(FileKind kind, const String& directory, String& path) override;
    bool AskText(const String& title, const String& value, String& result) override;
    void ShowError(const String& text) override;

    void BuildMenus();
    void BuildToolBars();
    void BuildPanes();
    void BindCommands();
    void RestoreLayout();
    void SaveLayout();
    void StartTimers();
    void UpdateIntroSize();

    void DetachViews();
    void AttachViews();
    vergl::CVergl* PageGraph(int page) const;
    int PageChannel() const;
    void CompileIfAuto();
    void AddNode(const std::function<vergl::CNode*(vergl::CVergl&)>& create);
    void ShowPopup(wxMenu& menu);
    void UpdateHelp();
    void UpdateControllerFields();
    void RenameController();
    void UpdateParameters();
    void ShowToolWindow(int command);
    void ShowSettings();
    void RebuildRecentMenu();
    void UndoOrRedo(bool undo);
    void OnUpdateUndo(wxUpdateUIEvent& event);

    void OnCommand(wxCommandEvent& event);
    void OnModule(wxCommandEvent& event);
    void OnAddVoiceParamsOutput();
    void OnAddVoiceParamsInput();
    void OnMenuFileSave();
    void OnMenuFileSaveAs();
    void OnCut(bool remove);
    void OnPaste();
    void OnObjectDelete();
    void OnClose(wxCloseEvent& event);
    void OnActivate(wxActivateEvent& event);
    void OnPageChanged();

    Korvax::Manager& synth;
    Config::Frontend& config;
    ApplicationInfo application;
    String build;
    Config::Setting<bool> statusTiming;
    Config::Setting<bool> autoCompile;
    Config::Setting<bool> confirmDeleteNode;
    Logging::Logger log;
    Logging::Channel* logChannel;
    Korvax::EditHistory history;
    gui::RecentFiles recentFiles;
    GraphCommands commands;
    Prompts* promptHook = nullptr;
    std::function<int(wxMenu&)> popupHook;
    Midi::KeyboardStream* keyboard = nullptr;
    HeldKeys heldKeys;
    std::unique_ptr<KeyFilter> keyFilter;
    std::unique_ptr<Config::ChangeListener> configListener;
    bool ready = false;
    bool firstFramePainted = false;
    bool sliderBankPending = false;
    std::chrono::steady_clock::time_point created = std::chrono::steady_clock::now();

    wxAuiManager panes;
    wxNotebook* notebook = nullptr;
    std::array<vergl::CUiWxw*, kPageCount> views{};
    wxListBox* channelList = nullptr;
    wxSpinCtrl* programSpin = nullptr;
    wxSpinCtrl* controllerChannelSpin = nullptr;
    wxTextCtrl* controllerName = nullptr;
    wxSpinCtrl* controllerNumberSpin = nullptr;
    wxSpinCtrl* bufferSpin = nullptr;
    wxTextCtrl* helpText = nullptr;
    wxScrolledWindow* parameters = nullptr;
    std::vector<std::unique_ptr<ControllerWidget>> parameterWidgets;
    gui::LogPanelWx* logPane = nullptr;
    PPM_Display2* meters = nullptr;
    CpuMeterDisplay* cpuMeter = nullptr;
    NativeManager* native = nullptr;
    // The intro size of the last compile: measured on a thread of its own.
    Korvax::IntroSizeMeter introMeter;
    uint64_t introCompile = 0; // the compile last measured
    bool introMeasured = false;
    std::optional<Korvax::IntroSize> introSize;
    wxAuiToolBar* toolsBar = nullptr;
    wxMenu* recentMenu = nullptr;
    Logging::ChannelBuffer ownBuffer;

    wxWeakRef<wxFrame> schiebebank;
    wxWeakRef<wxFrame> stateWindow;
    wxWeakRef<wxFrame> debugWindow;
    wxWeakRef<wxFrame> settingsWindow;

    wxTimer exitPollTimer;
    wxTimer updateTimer;
    wxTimer redrawTimer;
    wxTimer autosaveTimer;
};

} // namespace brl::Synth::Gui
