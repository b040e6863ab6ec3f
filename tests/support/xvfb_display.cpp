#include "support/xvfb_display.h"

#include <chrono>
#include <cstdlib>
#include <string>
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
    // The number is a whole line of digits.
    const auto displayNumber = [](const std::string& text) {
        for (size_t start = 0, end = 0; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const std::string line = text.substr(start, end - start);
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
                return line;
            }
        }
        return std::string();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string output;
    std::string found;
    while ((found = displayNumber(output = ReadFile(log))).empty() && process_.Running() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (found.empty()) {
        error_ = "Xvfb did not start (is the xvfb package installed?) " + output;
        process_.Stop();
        return;
    }
    name_ = ":" + found;
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
