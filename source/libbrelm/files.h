#pragma once

#include "libbrelm/string.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

// Reading and replacing whole files. Paths are the file system's own bytes
// (std::filesystem::path built from std::string), never decoded text.
//
// Threads: any; the objects are not shared.
namespace brl::Files {

enum class ReadStatus {
    Ok,
    Missing,    // no such file
    NotRegular, // a directory, FIFO, device or socket
    TooLarge,   // more than the caller's limit
    Failed,     // could not be opened or read
};

// Reads a whole regular file into `bytes`. Anything else is refused without
// blocking or reading from it (FIFOs are opened non-blocking and checked
// first). On failure `problem` says why, for example "is a directory", "is
// not a regular file", "is larger than 67108864 bytes" or the system's error
// text.
ReadStatus ReadRegularFile(const std::filesystem::path& path, size_t maxBytes, std::string& bytes,
                           std::string& problem);

// Opens a regular file for reading; nullptr (and `problem`) for anything else.
std::FILE* OpenRegularFile(const std::filesystem::path& path, std::string& problem);

// Replaces a file as a whole: the content goes to a fresh temporary file in
// the target's directory (mkstemp, a unique name within the length limit of
// file names), is flushed to the disk and only then renamed over the target.
// Until Commit the target is untouched; an object destroyed without Commit
// removes its temporary file. A symbolic link is followed and the file it
// points to is replaced, not the link; an existing target that is not a
// regular file (directory, FIFO, device) is refused. The new file keeps the
// mode of the one it replaces.
class ReplacingFile {
public:
    explicit ReplacingFile(std::filesystem::path target);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the temporary file; false (and Problem) when the target is
    // refused or the file cannot be created.
    bool Open();
    bool Write(const void* data, size_t size);
    bool Write(std::string_view text) { return Write(text.data(), text.size()); }
    // Flushes and closes the temporary file (idempotent). Lets a caller write
    // several files before renaming any of them.
    bool Finish();
    // Finishes and renames the temporary file over the target.
    bool Commit();

    // The file that is replaced (the target with its links resolved).
    const std::filesystem::path& Target() const { return target_; }
    const std::string& Problem() const { return problem_; }

private:
    bool Fail(const std::string& what, int error);

    std::filesystem::path requested_;
    std::filesystem::path target_;
    std::string temporary_;
    std::unique_ptr<char[]> buffer_; // the stream's buffer, larger than stdio's own
    std::FILE* file_ = nullptr;
    uint64_t written_ = 0;   // bytes handed to the file so far
    uint64_t writeback_ = 0; // bytes whose writeback to the disk has been started
    bool finished_ = false;
    bool committed_ = false;
    bool failed_ = false;
    std::string problem_;
};

// Replaces `target` with `content` through a ReplacingFile; false and
// `problem` on failure, the target then unchanged.
bool ReplaceFile(const std::filesystem::path& target, std::string_view content, std::string& problem);

// The path's bytes as text for messages (malformed UTF-8 shows as U+FFFD).
String DisplayName(const std::filesystem::path& path);

} // namespace brl::Files
