// The program "korvax" as the editor: started on a private X server with the
// demo, it loads the file before any window exists, paints, and ends with exit
// code 0 when asked to quit; without a display it says so.
#include "apps_test_support.h"
#include "support/temp_dir.h"
#include "support/xvfb_display.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

using namespace korvax_apps;

struct Editor {
    pid_t pid = -1;
    int errors = -1;
    std::string log;

    Editor(const std::string& home, const std::vector<std::string>& arguments, bool withDisplay) {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 2);
            close(fds[0]);
            if (std::freopen("/dev/null", "w", stdout) == nullptr || chdir(home.c_str()) != 0) {
                _exit(127);
            }
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
            if (!withDisplay) {
                unsetenv("DISPLAY");
            }
            std::vector<char*> argv{const_cast<char*>(KORVAX_RENDERER)};
            for (const std::string& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            execv(KORVAX_RENDERER, argv.data());
            _exit(127);
        }
        close(fds[1]);
        errors = fds[0];
    }
    ~Editor() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (errors >= 0) {
            close(errors);
        }
    }
    // Reads standard error until `text` shows up; false after ten seconds.
    bool WaitFor(const std::string& text) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (log.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            pollfd readable{errors, POLLIN, 0};
            if (poll(&readable, 1, 100) > 0) {
                char chunk[4096];
                const ssize_t got = read(errors, chunk, sizeof chunk);
                if (got <= 0) {
                    return log.find(text) != std::string::npos;
                }
                log.append(chunk, static_cast<size_t>(got));
            }
        }
        return true;
    }
    int Stop(int signal) {
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(EditorProgram, LoadsThePatchBeforeItsWindowsAndQuitsWithExitCodeZero) {
    brl::testing::XvfbDisplay display(1280, 900);
    ASSERT_TRUE(display.Running()) << display.Error();
    brl::testing::TempDir home;
    const std::string patch = home.File("demo.korvax");
    ASSERT_TRUE(CopyFile(KORVAX_DEMO_DIR "/demo.korvax", patch));
    Editor editor(home.Path(), {patch, "--Audio-Backends", "dummy", "--Log-Level", "7"}, true);
    ASSERT_TRUE(editor.WaitFor("first frame painted")) << editor.log;
    const size_t loaded = editor.log.find("loaded '" + patch + "'");
    const size_t firstWindow = editor.log.find("Direct2D is not available");
    ASSERT_NE(loaded, std::string::npos) << editor.log;
    ASSERT_NE(firstWindow, std::string::npos) << editor.log;
    EXPECT_LT(loaded, firstWindow);
    EXPECT_NE(editor.log.find("Using device 0 (Dummy - Discard)"), std::string::npos);
    // Asked to quit (as a desktop session does at log-out), it closes without questions.
    EXPECT_EQ(editor.Stop(SIGTERM), 0) << editor.log;
}

TEST(EditorProgram, WithoutADisplayItSaysSoInsteadOfStarting) {
    brl::testing::TempDir home;
    Editor editor(home.Path(), {"--Audio-Backends", "dummy"}, false);
    EXPECT_TRUE(editor.WaitFor("cannot open the editor without a display")) << editor.log;
    int status = 0;
    waitpid(editor.pid, &status, 0);
    editor.pid = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

} // namespace
