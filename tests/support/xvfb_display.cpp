#include "support/xvfb_display.h"

#include <chrono>
#include <cstdlib>
#include <regex>
#include <thread>

namespace brl::testing {

XvfbDisplay::XvfbDisplay(int width, int height) {
    if (const char* display = std::getenv("DISPLAY")) {
        previous_ = display;
        hadPrevious_ = true;
    }
    // The server writes its display number to its output once it accepts connections.
    const std::string log = dir_.File("xvfb.log");
    const std::string args[] = {
        "Xvfb",      "-displayfd", "1",
        "-screen",   "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
        "-nolisten", "tcp",        "-noreset"};
    if (dir_.Path().empty() || !process_.Start(args, 9, log)) {
        error_ = "cannot start Xvfb";
        return;
    }
    const std::regex number(R"((^|\n)(\d+)\n)");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::smatch found;
    std::string output;
    while (!std::regex_search(output = ReadFile(log), found, number) && process_.Running() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (found.empty()) {
        error_ = "Xvfb did not start (is the xvfb package installed?) " + output;
        process_.Stop();
        return;
    }
    name_ = ":" + found[2].str();
    ::setenv("DISPLAY", name_.c_str(), 1);
}

XvfbDisplay::~XvfbDisplay() {
    process_.Stop();
    if (hadPrevious_) {
        ::setenv("DISPLAY", previous_.c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
}

} // namespace brl::testing
