#pragma once

#include "support/temp_dir.h"

#include <string>
#include <sys/types.h>

namespace brl::testing {

// A child process started by a test and ended (SIGTERM, then SIGKILL) when the
// object goes away. Its output goes to `logPath`, so a failed start can say why.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with the given arguments; false when it cannot be started.
    bool Start(const std::string* argv, int argc, const std::string& logPath);
    // Waits for the child to end; its exit code, or -1.
    int Wait();
    void Stop();
    bool Running();
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// A private JACK server on the dummy driver ("jackd -n NAME -r -d dummy"), named
// uniquely for this process. While it runs, JACK_DEFAULT_SERVER names it in this
// process's environment, so in-process clients connect to it and to nothing else.
class JackServer {
public:
    explicit JackServer(int sampleRate = 96000, int period = 1024);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // True when the server answers; otherwise Error() says why.
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    const std::string& Name() const { return name_; }

private:
    TempDir dir_;
    ChildProcess process_;
    std::string name_;
    std::string error_;
    bool ok_ = false;
};

// A private PulseAudio daemon with one null sink ("null") in its own runtime
// directory. While it runs, PULSE_SERVER points this process's clients at it.
class PulseServer {
public:
    explicit PulseServer(int sampleRate = 96000);
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    const std::string& Socket() const { return socket_; }

private:
    TempDir dir_;
    ChildProcess process_;
    std::string socket_;
    std::string error_;
    bool ok_ = false;
};

} // namespace brl::testing
