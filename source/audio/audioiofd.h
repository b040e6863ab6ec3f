#pragma once

#include "audio/audioio.h"
#include "libbrelm/config.h"
#include "libbrelm/threads.h"

#include <atomic>
#include <memory>
#include <vector>

namespace brl::Audio {

// A port on file descriptors: its thread reads one chunk of input from
// "Audio/Io/Fd/InFd" (when not -1), renders it, and writes the chunk to
// "Audio/Io/Fd/OutFd" (when not -1) as interleaved samples of
// "Audio/Io/Fd/BytesPerSample" bytes (4: float, 2 and 1: signed integers;
// native byte order). The descriptors pace the thread: a pipe to a player
// plays in real time (the thread asks for real-time scheduling), a file is
// written as fast as the handler renders (at normal scheduling). The settings
// are read at Open; the descriptors are not owned.
//
// When the stream reaches its end position the last chunk is written only up
// to it and the thread ends. A failed transfer logs "read_buffer() failed."
// or "write_buffer() failed." and ends the thread; the stream then counts as
// ended. Control operations as for Io; the port's own thread is the audio
// thread.
class IoFd final : public Io {
public:
    IoFd(Logging::Channel& log, Config::Frontend& config, const String& keyPrefix);
    ~IoFd() override;

protected:
    bool InternalInit() override;
    bool InternalOpen() override;
    bool InternalPlay() override;
    bool InternalStop() override;
    bool InternalClose() override;

private:
    void FdCallback() noexcept;
    // Moves `size` bytes, waking for Stop; false on failure, end of input or
    // stop.
    bool Transfer(int fd, unsigned char* data, size_t size, bool write) noexcept;

    Config::Setting<int> bytesPerSample_;
    Config::Setting<int> inFdSetting_;
    Config::Setting<int> outFdSetting_;
    int width_ = 2;
    int inFd_ = -1;
    int outFd_ = -1;
    int wakeFd_ = -1;
    bool realtime_ = true;
    std::atomic<bool> stop_{false};
    std::vector<unsigned char> inBytes_;
    std::vector<unsigned char> outBytes_;
    std::unique_ptr<Threads::Thread> thread_;
};

// The "fd" backend: one IoFd (provider "File Descriptor", API "File
// Descriptor", id "0").
class IoProviderFd : public IoProvider {
public:
    IoProviderFd(Logging::Channel& log, Config::Frontend& config, const String& keyPrefix);
};

} // namespace brl::Audio
