#include "audio/audioiofd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brl::Audio {

namespace {

const uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};

constexpr int kTaskAudio = 1;
constexpr int kTaskProAudio = 6;

bool IsOpenDescriptor(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

bool IsRegularFile(int fd) {
    struct stat info {};
    return fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

IoFd::IoFd(Logging::Channel& log, Config::Frontend& config, const String& keyPrefix)
    : Io(log, {L"File Descriptor", L"", L"Descriptors", L"", L"File Descriptor", L"0"}),
      bytesPerSample_(config, SettingKey(keyPrefix, L"Audio/Io/Fd/BytesPerSample"), 2),
      inFdSetting_(config, SettingKey(keyPrefix, L"Audio/Io/Fd/InFd"), -1),
      outFdSetting_(config, SettingKey(keyPrefix, L"Audio/Io/Fd/OutFd"), -1) {}

IoFd::~IoFd() {
    CloseBeforeDestruction();
}

bool IoFd::InternalInit() {
    Caps& caps = MutableCaps();
    caps.FramesPerSecond.assign(std::begin(kRates), std::end(kRates));
    caps.FramesPerChunk = {1, 65536};
    caps.Chunks = {1, 64};
    caps.InputChannelMasks = {SPEAKER_FRONT_LEFT, SPEAKER_FRONT_RIGHT};
    caps.OutputChannelMasks = {SPEAKER_FRONT_LEFT, SPEAKER_FRONT_RIGHT};
    return true;
}

bool IoFd::InternalOpen() {
    width_ = bytesPerSample_.Get();
    inFd_ = inFdSetting_.Get();
    outFd_ = outFdSetting_.Get();
    if (width_ != 1 && width_ != 2 && width_ != 4) {
        BRL_LOG_ERROR(logger_, "Audio/Io/Fd/BytesPerSample must be 1, 2 or 4, not ", width_);
        return false;
    }
    if (inFd_ < 0 && outFd_ < 0) {
        BRL_LOG_ERROR(logger_,
                      "no descriptor to read or write: Audio/Io/Fd/InFd and Audio/Io/Fd/OutFd are -1");
        return false;
    }
    for (int fd : {inFd_, outFd_}) {
        if (fd >= 0 && !IsOpenDescriptor(fd)) {
            BRL_LOG_ERROR(logger_, "file descriptor ", fd, " is not open");
            return false;
        }
    }
    if (config_.FramesPerChunk == 0) {
        BRL_LOG_ERROR(logger_, "FramesPerChunk is 0");
        return false;
    }
    try {
        inBytes_.assign(inFd_ >= 0 ? size_t{config_.FramesPerChunk} * format_.InputChannels * width_ : 0, 0);
        outBytes_.assign(outFd_ >= 0 ? size_t{config_.FramesPerChunk} * format_.OutputChannels * width_ : 0,
                         0);
    } catch (const std::exception& e) {
        BRL_LOG_ERROR(logger_, "cannot allocate the transfer buffers: ", e.what());
        return false;
    }
    // A file does not pace the thread: it renders as fast as it can and must
    // not do that with real-time scheduling.
    realtime_ = !IsRegularFile(inFd_) && !IsRegularFile(outFd_);
    BRL_LOG_VERBOSE(logger_, "file descriptors: in ", inFd_, ", out ", outFd_, ", ", width_,
                    " byte wide samples");
    return true;
}

bool IoFd::InternalPlay() {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        BRL_LOG_ERROR(logger_, "eventfd() failed: ", std::strerror(errno));
        return false;
    }
    stop_.store(false);
    thread_ = std::make_unique<Threads::Thread>([this] { FdCallback(); });
    if (!thread_->Start()) {
        thread_.reset();
        ::close(wakeFd_);
        wakeFd_ = -1;
        BRL_LOG_ERROR(logger_, "cannot start the file descriptor thread");
        return false;
    }
    return true;
}

bool IoFd::InternalStop() {
    stop_.store(true);
    const uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof(one)) != sizeof(one)) {
        BRL_LOG_ERROR(logger_, "cannot wake the file descriptor thread: ", std::strerror(errno));
    }
    thread_->Join();
    thread_.reset();
    ::close(wakeFd_);
    wakeFd_ = -1;
    return true;
}

bool IoFd::InternalClose() {
    inBytes_ = {};
    outBytes_ = {};
    return true;
}

void IoFd::FdCallback() noexcept {
    Threads::ScopedSchedulingHintWin hint(!realtime_              ? 0
                                          : config_.Priority == 2 ? kTaskProAudio
                                                                  : kTaskAudio);
    // A reader that goes away makes the write fail with EPIPE instead of
    // ending the process.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    const uint32_t frames = config_.FramesPerChunk;
    const size_t frameBytes = size_t{format_.OutputChannels} * width_;
    while (!stop_.load(std::memory_order_acquire)) {
        if (inFd_ >= 0) {
            if (!Transfer(inFd_, inBytes_.data(), inBytes_.size(), false)) {
                if (!stop_.load(std::memory_order_acquire)) {
                    BRL_LOG_ERROR(logger_, "read_buffer() failed.");
                    MarkEnded();
                }
                break;
            }
            Deinterleave(inBytes_.data(), width_, format_.InputChannels, 0, frames, InputBuffers());
        }
        const uint32_t valid = RenderChunk();
        if (outFd_ >= 0 && valid != 0) {
            Interleave(OutputBuffers(), format_.OutputChannels, 0, valid, width_, outBytes_.data());
            if (!Transfer(outFd_, outBytes_.data(), valid * frameBytes, true)) {
                if (!stop_.load(std::memory_order_acquire)) {
                    BRL_LOG_ERROR(logger_, "write_buffer() failed.");
                    MarkEnded();
                }
                break;
            }
        }
        if (IsEnded()) {
            break;
        }
    }
    const timespec none{};
    while (sigtimedwait(&pipeSignal, nullptr, &none) == SIGPIPE) {
    }
}

bool IoFd::Transfer(int fd, unsigned char* data, size_t size, bool write) noexcept {
    size_t done = 0;
    while (done < size) {
        pollfd fds[2] = {{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (fds[1].revents != 0) {
            return false;
        }
        if (fds[0].revents & POLLNVAL) {
            return false;
        }
        // At most PIPE_BUF bytes per readiness, so a blocking pipe never
        // holds the thread past a Stop.
        const size_t piece = std::min<size_t>(size - done, PIPE_BUF);
        const ssize_t moved = write ? ::write(fd, data + done, piece) : ::read(fd, data + done, piece);
        if (moved < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        if (moved == 0) {
            return false;
        }
        done += static_cast<size_t>(moved);
    }
    return true;
}

IoProviderFd::IoProviderFd(Logging::Channel& log, Config::Frontend& config, const String& keyPrefix)
    : IoProvider(log, L"File Descriptor", L"") {
    AddDevice(std::make_unique<IoFd>(log, config, keyPrefix)).Init();
}

} // namespace brl::Audio
