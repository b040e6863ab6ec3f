#include "support/sound_servers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace brl::testing {

namespace {

// Runs a command to completion; its exit code, or -1.
int RunToEnd(std::vector<std::string> args) {
    ChildProcess child;
    if (!child.Start(args.data(), static_cast<int>(args.size()), "/dev/null")) {
        return -1;
    }
    return child.Wait();
}

template <typename Ready> bool WaitUntil(Ready ready, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
}

} // namespace

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Start(const std::string* argv, int argc, const std::string& logPath) {
    Stop();
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(const_cast<char*>(argv[i].c_str()));
    }
    args.push_back(nullptr);
    // Opened before the fork: the child only duplicates descriptors and execs.
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int output = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();
    const pid_t pid = input < 0 || output < 0 ? -1 : ::fork();
    if (pid == 0) {
        // Its own process group, so Stop() reaches whatever it starts; and it dies
        // with the test program even when that is killed before Stop() runs.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(126);
        }
        ::dup2(input, 0);
        ::dup2(output, 1);
        ::dup2(output, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (input >= 0) {
        ::close(input);
    }
    if (output >= 0) {
        ::close(output);
    }
    if (pid < 0) {
        return false;
    }
    pid_ = pid;
    return true;
}

int ChildProcess::Wait() {
    if (pid_ <= 0) {
        return -1;
    }
    int status = 0;
    const pid_t waited = ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ChildProcess::Running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != 0) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(-pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) != 0) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

JackServer::JackServer(int sampleRate, int period) {
    name_ = "korvax-test-" + std::to_string(::getpid()) + "-" +
            std::filesystem::path(dir_.Path()).filename().string();
    const std::string log = dir_.File("jackd.log");
    // No device reservation through D-Bus: the dummy driver owns no device.
    ::setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    const std::string args[] = {"jackd", "-n",
                                name_,   "-r",
                                "-d",    "dummy",
                                "-r",    std::to_string(sampleRate),
                                "-p",    std::to_string(period)};
    if (dir_.Path().empty() || !process_.Start(args, 10, log)) {
        error_ = "cannot start jackd (is the package jackd2 installed?)";
        return;
    }
    // jack_wait -w exits 0 once the server answers and 1 when the time runs out.
    ok_ = process_.Running() && RunToEnd({"jack_wait", "-w", "-t", "10", "-s", name_}) == 0 &&
          process_.Running();
    if (!ok_) {
        error_ = "jackd did not come up: " + ReadFile(log);
        process_.Stop();
        return;
    }
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
}

JackServer::~JackServer() {
    process_.Stop();
    if (ok_) {
        ::unsetenv("JACK_DEFAULT_SERVER");
    }
}

PulseServer::PulseServer(int sampleRate) {
    socket_ = dir_.File("native");
    const std::string log = dir_.File("pulseaudio.log");
    ::setenv("PULSE_RUNTIME_PATH", dir_.Path().c_str(), 1);
    const std::string args[] = {"pulseaudio",
                                "-n",
                                "--daemonize=no",
                                "--exit-idle-time=-1",
                                "--use-pid-file=no",
                                "--disallow-module-loading",
                                "-L",
                                "module-null-sink sink_name=null rate=" + std::to_string(sampleRate),
                                "-L",
                                "module-native-protocol-unix auth-anonymous=1 socket=" + socket_};
    if (dir_.Path().empty() || !process_.Start(args, 10, log)) {
        error_ = "cannot start pulseaudio (is the package pulseaudio installed?)";
        return;
    }
    const std::string server = "unix:" + socket_;
    ok_ = WaitUntil(
        [&] {
            struct stat info {};
            return process_.Running() && ::stat(socket_.c_str(), &info) == 0 &&
                   RunToEnd({"pactl", "-s", server, "info"}) == 0;
        },
        std::chrono::seconds(10));
    if (!ok_) {
        error_ = "pulseaudio did not come up: " + ReadFile(log);
        process_.Stop();
        return;
    }
    ::setenv("PULSE_SERVER", server.c_str(), 1);
}

PulseServer::~PulseServer() {
    process_.Stop();
    if (ok_) {
        ::unsetenv("PULSE_SERVER");
    }
}

} // namespace brl::testing
