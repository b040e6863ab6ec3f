#include "support/xvfb_display.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace brl::testing {

XvfbDisplay::XvfbDisplay(int width, int height) {
    if (const char* display = std::getenv("DISPLAY")) {
        previous_ = display;
        hadPrevious_ = true;
    }
    int channel[2];
    if (::pipe(channel) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const std::string fd = std::to_string(channel[1]);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        ::close(channel[0]);
        ::close(channel[1]);
        return;
    }
    if (child == 0) {
        // The server dies with the test program, even one killed before the
        // destructor runs.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(126);
        }
        ::close(channel[0]);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                 "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(channel[1]);
    // The server writes its display number once it accepts connections.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{channel[0], POLLIN, 0};
        if (::poll(&wait, 1, 100) <= 0) {
            continue;
        }
        char c = 0;
        const ssize_t got = ::read(channel[0], &c, 1);
        if (got <= 0 || c == '\n') {
            break;
        }
        number.push_back(c);
    }
    ::close(channel[0]);
    if (number.empty()) {
        error_ = "Xvfb did not start (is the xvfb package installed?)";
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
        return;
    }
    pid_ = child;
    name_ = ":" + number;
    ::setenv("DISPLAY", name_.c_str(), 1);
}

XvfbDisplay::~XvfbDisplay() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    if (hadPrevious_) {
        ::setenv("DISPLAY", previous_.c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
}

} // namespace brl::testing
