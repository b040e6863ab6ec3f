#pragma once

#include "korvax/korvaxmanager.h"
#include "libbrelm/app.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <wx/app.h>

#include <exception>
#include <memory>
#include <string>

class wxLocale;

// The toolkit's start-up and the frame of the interactive program: the
// toolkit is started once (counted), the application object creates the GUI
// root through its owner's hooks when the loop starts and destroys it when
// the loop has ended.
//
// Threads: the main thread, which is the GUI thread.
namespace brl::Gui {

class GuiSupport {
public:
    // Becomes the support of the toolkit's application object.
    GuiSupport();
    virtual ~GuiSupport();

    // Starts the toolkit with a command line of only the program's path.
    // Counted: only the first start starts the toolkit. False when the toolkit
    // cannot start (no display).
    static bool StartToolkit(const std::string& programPath);
    // The last stop cleans the toolkit up.
    static void StopToolkit();
    // Runs the toolkit's loop on this thread until the last window is gone:
    // initialisation (the create hook), the loop, the exit (the destroy hook).
    // Returns 0 after a normal end.
    int Run();

    // Asks the program to end (a signal, a second instance); the main window's
    // exit poll closes it. Any thread.
    static void RequestQuit() noexcept;
    static bool QuitRequested() noexcept;

    virtual void CreateGui() = 0;
    virtual void DestroyGui() = 0;
    virtual const ApplicationInfo& Identity() const = 0;
    virtual Logging::Logger& Log() = 0;
};

// The text logged for an exception that reached the toolkit's loop.
String DescribeException(std::exception_ptr exception);

} // namespace brl::Gui

// The toolkit's application object. Failures in event handlers are logged as
// critical and shown, and the loop goes on; an exception that ends the loop is
// logged before the program ends.
class wxBrelmApp : public wxApp {
public:
    void SetSupport(brl::Gui::GuiSupport* owner) { support = owner; }
    bool OnInit() override;
    int OnExit() override;
    bool OnExceptionInMainLoop() override;
    void OnUnhandledException() override;

private:
    brl::Gui::GuiSupport* support = nullptr;
    std::unique_ptr<wxLocale> locale;
};

namespace brl::Synth {
class NativeManager;
}

namespace brl::Synth::Gui {

class SynthWxGui;

// The GUI manager of the program: holds the manager (the native one, or any
// state manager without devices) and the GUI root.
class GuiManager : public brl::Gui::GuiSupport {
public:
    // `native` is the manager's device side, or nullptr to run without devices.
    GuiManager(App& application, Korvax::Manager& manager, NativeManager* native);
    ~GuiManager() override;

    // Loads the patch set named on the command line, before any window
    // exists; a file that cannot be loaded leaves the manager empty and is
    // reported once the main window is up.
    bool LoadInitial(const String& path);

    void CreateGui() override;
    void DestroyGui() override;
    const ApplicationInfo& Identity() const override;
    Logging::Logger& Log() override;
    SynthWxGui* Root() const { return root.get(); }

private:
    App& app;
    Korvax::Manager& manager;
    NativeManager* native;
    String initialFile;
    bool initialLoaded = false;
    std::unique_ptr<SynthWxGui> root;
};

} // namespace brl::Synth::Gui
