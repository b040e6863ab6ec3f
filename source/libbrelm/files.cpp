#include "libbrelm/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <system_error>

namespace brl::Files {

namespace fs = std::filesystem;

namespace {

// Bytes of the target's name kept in a temporary file name: ".<prefix>.XXXXXX"
// stays far below the 255-byte limit of file names.
constexpr size_t kTemporaryPrefix = 64;

std::string ErrorText(int error) {
    return std::generic_category().message(error);
}

// What a file that is not regular is, for messages.
std::string NotRegularText(mode_t mode) {
    return S_ISDIR(mode) ? "is a directory" : "is not a regular file";
}

// The process's file mode creation mask, read without changing it.
mode_t CurrentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
        }
    }
    return 022;
}

std::string TooLargeText(size_t maxBytes) {
    return "is larger than " + std::to_string(maxBytes) + " bytes";
}

// Opens the path for reading without blocking on a FIFO; -1 and `problem`
// for a missing file, one that is not regular or larger than maxBytes, or an
// error.
int OpenRegular(const fs::path& path, size_t maxBytes, ReadStatus& status, std::string& problem) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        status = error == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
        problem = error == EISDIR ? "is a directory" : ErrorText(error);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        status = ReadStatus::Failed;
        problem = ErrorText(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        status = ReadStatus::NotRegular;
        problem = NotRegularText(info.st_mode);
        ::close(fd);
        return -1;
    }
    if (static_cast<uintmax_t>(info.st_size) > maxBytes) {
        status = ReadStatus::TooLarge;
        problem = TooLargeText(maxBytes);
        ::close(fd);
        return -1;
    }
    // Regular files never block; reads may now wait for the disk as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    status = ReadStatus::Ok;
    return fd;
}

} // namespace

ReadStatus ReadRegularFile(const fs::path& path, size_t maxBytes, std::string& bytes, std::string& problem) {
    bytes.clear();
    ReadStatus status = ReadStatus::Ok;
    const int fd = OpenRegular(path, maxBytes, status, problem);
    if (fd < 0) {
        return status;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            problem = ErrorText(errno);
            status = ReadStatus::Failed;
            break;
        }
        if (got == 0) {
            break;
        }
        // The size is checked while reading: the file may grow after fstat.
        if (bytes.size() + static_cast<size_t>(got) > maxBytes) {
            problem = TooLargeText(maxBytes);
            status = ReadStatus::TooLarge;
            break;
        }
        try {
            bytes.append(chunk, static_cast<size_t>(got));
        } catch (const std::bad_alloc&) {
            problem = "out of memory";
            status = ReadStatus::Failed;
            break;
        }
    }
    ::close(fd);
    if (status != ReadStatus::Ok) {
        bytes.clear();
    }
    return status;
}

std::FILE* OpenRegularFile(const fs::path& path, std::string& problem) {
    ReadStatus status = ReadStatus::Ok;
    const int fd = OpenRegular(path, SIZE_MAX, status, problem);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        problem = ErrorText(errno);
        ::close(fd);
    }
    return file;
}

ReplacingFile::ReplacingFile(fs::path target) : requested_(std::move(target)), target_(requested_) {}

ReplacingFile::~ReplacingFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
    if (!temporary_.empty() && !committed_) {
        ::unlink(temporary_.c_str());
    }
}

bool ReplacingFile::Fail(const std::string& what, int error) {
    failed_ = true;
    if (problem_.empty()) {
        problem_ = error != 0 ? what + ": " + ErrorText(error) : what;
    }
    return false;
}

bool ReplacingFile::Open() {
    if (requested_.empty()) {
        return Fail("no file name", 0);
    }
    std::error_code code;
    // Replace what a symbolic link points at, not the link.
    if (fs::is_symlink(requested_, code)) {
        const fs::path resolved = fs::canonical(requested_, code);
        if (!code) {
            target_ = resolved;
        }
    }
    mode_t mode = 0666 & ~CurrentUmask();
    struct stat existing {};
    if (::stat(target_.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            return Fail(NotRegularText(existing.st_mode), 0);
        }
        mode = existing.st_mode & 07777;
    } else if (errno != ENOENT) {
        return Fail("cannot inspect the file", errno);
    }
    const fs::path directory = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
    const std::string name = target_.filename().native();
    std::string pattern = (directory / ("." + name.substr(0, kTemporaryPrefix) + ".XXXXXX")).native();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        return Fail("cannot create a temporary file", errno);
    }
    temporary_ = pattern;
    ::fchmod(fd, mode);
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
        const int error = errno;
        ::close(fd);
        return Fail("cannot create a temporary file", error);
    }
    // Long files (a rendered wave) are written in few large system calls.
    constexpr size_t kBufferSize = 256u << 10;
    buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
    std::setvbuf(file_, buffer_.get(), _IOFBF, kBufferSize);
    return true;
}

bool ReplacingFile::Write(const void* data, size_t size) {
    if (file_ == nullptr || failed_) {
        return Fail("not open", 0);
    }
    if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
        return Fail("write failed", errno);
    }
    // A long file goes to the disk while it is still being written, so the
    // fsync of Finish waits only for the last part.
    written_ += size;
    constexpr uint64_t kWritebackStep = 2u << 20;
    if (written_ - writeback_ >= kWritebackStep) {
        if (std::fflush(file_) != 0) {
            return Fail("write failed", errno);
        }
        ::sync_file_range(::fileno(file_), static_cast<off_t>(writeback_),
                          static_cast<off_t>(written_ - writeback_), SYNC_FILE_RANGE_WRITE);
        writeback_ = written_;
    }
    return true;
}

bool ReplacingFile::Finish() {
    if (finished_) {
        return !failed_;
    }
    finished_ = true;
    if (file_ == nullptr) {
        return Fail("not open", 0);
    }
    bool ok = !failed_;
    int error = 0;
    if (ok && (std::fflush(file_) != 0 || ::fsync(::fileno(file_)) != 0)) {
        ok = false;
        error = errno;
    }
    if (std::fclose(file_) != 0 && ok) {
        ok = false;
        error = errno;
    }
    file_ = nullptr;
    return ok || Fail("write failed", error);
}

bool ReplacingFile::Commit() {
    if (!Finish()) {
        return false;
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        return Fail("cannot replace the file", errno);
    }
    committed_ = true;
    // Make the rename itself durable.
    const fs::path directory = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
    const int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        ::fsync(directoryFd);
        ::close(directoryFd);
    }
    return true;
}

bool ReplaceFile(const fs::path& target, std::string_view content, std::string& problem) {
    ReplacingFile file(target);
    if (file.Open() && file.Write(content) && file.Commit()) {
        return true;
    }
    problem = file.Problem();
    return false;
}

String DisplayName(const fs::path& path) {
    return FromUtf8(path.native());
}

} // namespace brl::Files
