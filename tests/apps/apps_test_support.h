#pragma once

#include "support/sound_servers.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Runs the built programs as a build script would, in a scratch directory that
// also serves as their home, so their settings and log files stay out of the
// user's.
namespace korvax_apps {

struct Outcome {
    int exitCode = -1;  // -1 when the program did not exit normally
    std::string output; // standard output and standard error together
    std::string standardOutput;
    std::string standardError;
};

inline std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Runs `program` with HOME (and the XDG directories) at `home`, stopped after two
// minutes (exit code 124); `redirections` are further ones ("3>file").
inline Outcome RunProgram(const std::string& home, const std::string& program,
                          const std::vector<std::string>& arguments, const std::string& redirections = "") {
    const std::string errors = home + "/.stderr";
    std::string command =
        "cd " + Quote(home) + " && env HOME=" + Quote(home) + " XDG_CONFIG_HOME=" + Quote(home + "/.config") +
        " XDG_DATA_HOME=" + Quote(home + "/.local/share") + " timeout 120 " + Quote(program);
    for (const std::string& argument : arguments) {
        command += " " + Quote(argument);
    }
    command += " " + redirections + " 2>" + Quote(errors);
    Outcome outcome;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        outcome.standardOutput.append(chunk, got);
    }
    const int status = ::pclose(pipe);
    if (status != -1 && WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
    }
    std::ifstream in(errors, std::ios::binary);
    outcome.standardError.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(errors.c_str());
    outcome.output = outcome.standardOutput + outcome.standardError;
    return outcome;
}

// Starts `program` in the background as RunProgram runs it, its output going to `log`.
inline bool StartProgram(brl::testing::ChildProcess& child, const std::string& home,
                         const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& log, bool withDisplay = true) {
    std::vector<std::string> argv = {"/usr/bin/env", "-C", home, "HOME=" + home,
                                     "XDG_CONFIG_HOME=" + home + "/.config"};
    if (!withDisplay) {
        argv.insert(argv.begin() + 1, {"-u", "DISPLAY"});
    }
    argv.push_back(program);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return child.Start(argv.data(), static_cast<int>(argv.size()), log);
}

inline std::optional<std::vector<uint8_t>> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& path) {
    const auto bytes = ReadBytes(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// Waits up to `seconds` for `text` to show up in the file at `path`.
inline bool WaitForText(const std::string& path, const std::string& text, int seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (ReadText(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

inline bool CopyFile(const std::string& from, const std::string& to) {
    const auto bytes = ReadBytes(from);
    return bytes && WriteBytes(to, *bytes);
}

// The song length a patch file stores (its "num_ticks"), or nothing.
inline std::optional<uint32_t> SongTicks(const std::string& patchText) {
    const std::string key = "<song num_ticks=\"";
    const size_t at = patchText.find(key);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(std::stoul(patchText.substr(at + key.size(), 12)));
}

// The numbers of the "used nodes:" line in a compile's output (empty without one).
inline std::vector<int> UsedNodes(const std::string& output) {
    const std::string key = "used nodes:";
    const size_t at = output.find(key);
    std::vector<int> ids;
    if (at != std::string::npos) {
        std::istringstream line(output.substr(at + key.size(), output.find('\n', at) - at - key.size()));
        for (int id = 0; line >> id;) {
            ids.push_back(id);
        }
    }
    return ids;
}

inline uint32_t U32At(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The interleaved float samples behind a 44-byte wave header.
inline std::vector<float> WaveSamples(const std::vector<uint8_t>& wave) {
    std::vector<float> samples(wave.size() > 44 ? (wave.size() - 44) / 4 : 0);
    std::memcpy(samples.data(), wave.data() + std::min<size_t>(44, wave.size()), samples.size() * 4);
    return samples;
}

// Size of a rendered wave file: the header and 128 stereo float frames per tick.
constexpr uint64_t WaveSize(uint64_t ticks) {
    return 44 + ticks * 1024;
}
constexpr uint32_t kTailTicks = 22500;

// A scratch directory that is also the home of the programs the test runs.
class ScratchTest : public ::testing::Test {
protected:
    Outcome Tool(const std::vector<std::string>& arguments, const std::string& redirections = "") const {
        return RunProgram(dir.Path(), KORVAX_TOOL, arguments, redirections);
    }
    Outcome Renderer(const std::vector<std::string>& arguments) const {
        return RunProgram(dir.Path(), KORVAX_RENDERER, arguments);
    }
    // A copy of the demo patch.
    std::string Demo(const std::string& name = "demo.korvax") const {
        const std::string path = dir.File(name);
        EXPECT_TRUE(CopyFile(KORVAX_DEMO_DIR "/demo.korvax", path));
        return path;
    }
    // The demo's instruments without a song.
    std::string SonglessPatch() const {
        const std::string path = dir.File("songless.korvax");
        const Outcome made = RunProgram(dir.Path(), KORVAX_MAKE_DEMO, {path});
        EXPECT_EQ(made.exitCode, 0) << made.output;
        return path;
    }
    brl::testing::TempDir dir;
};

} // namespace korvax_apps
