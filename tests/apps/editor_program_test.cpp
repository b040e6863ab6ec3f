// The program "korvax" as the editor on a private X server, and without a display.
#include "apps_test_support.h"
#include "support/xvfb_display.h"

#include <signal.h>

namespace {

using namespace korvax_apps;

using EditorProgram = ScratchTest;

TEST_F(EditorProgram, LoadsThePatchBeforeItsWindowsAndQuitsWithExitCodeZero) {
    brl::testing::XvfbDisplay display(1280, 900);
    ASSERT_TRUE(display.Running()) << display.Error();
    const std::string patch = Demo();
    const std::string log = dir.File("editor.log");
    brl::testing::ChildProcess editor;
    ASSERT_TRUE(StartProgram(editor, dir.Path(), KORVAX_RENDERER,
                             {patch, "--Audio-Backends", "dummy", "--Log-Level", "7"}, log));
    ASSERT_TRUE(WaitForText(log, "first frame painted", 10)) << ReadText(log);
    const std::string text = ReadText(log);
    const size_t loaded = text.find("loaded '" + patch + "'");
    const size_t firstWindow = text.find("Direct2D is not available");
    ASSERT_NE(loaded, std::string::npos) << text;
    ASSERT_NE(firstWindow, std::string::npos) << text;
    EXPECT_LT(loaded, firstWindow);
    EXPECT_NE(text.find("Using device 0 (Dummy - Discard)"), std::string::npos);
    // Asked to quit (as a desktop session does at log-out), it closes without questions.
    ASSERT_EQ(::kill(editor.Pid(), SIGTERM), 0);
    EXPECT_EQ(editor.Wait(), 0) << ReadText(log);
}

TEST_F(EditorProgram, WithoutADisplayItSaysSoInsteadOfStarting) {
    const std::string log = dir.File("editor.log");
    brl::testing::ChildProcess editor;
    ASSERT_TRUE(StartProgram(editor, dir.Path(), KORVAX_RENDERER, {"--Audio-Backends", "dummy"}, log, false));
    EXPECT_EQ(editor.Wait(), 1);
    EXPECT_NE(ReadText(log).find("cannot open the editor without a display"), std::string::npos)
        << ReadText(log);
}

} // namespace
