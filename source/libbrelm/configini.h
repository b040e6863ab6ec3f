#pragma once

#include "libbrelm/config.h"
#include "libbrelm/threads.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brl::Config {

// Settings in a UTF-8 INI file. The file is kept line by line: a save
// rewrites only the lines of values that changed, adds new entries to their
// section and leaves every other line as it was (comments, blank lines,
// malformed lines and text that is not UTF-8 included). A file is written
// only after a value in it changed, through a temporary file that is renamed
// over it, so an interrupted save leaves the previous file intact. Any thread.
class IniProvider : public Backend {
public:
    // Loads the file. A missing file is an empty table; a path that is a
    // directory, FIFO or device is read as empty with a warning, and so is an
    // unreadable file.
    IniProvider(String path, bool writable);
    // Saves a changed table.
    ~IniProvider() override;

    String KeyToString(const Key& key) const override;
    std::pair<bool, Value> Read(const Key& key, const Value& defaultValue) override;
    // Writing the text the key already has changes nothing.
    bool Write(const Key& key, const Value& value) override;
    bool Delete(const Key& key) override;

    // After this, every change also saves the file about delaySeconds later
    // (on a worker thread), not only at destruction.
    void SaveAfterChanges(double delaySeconds);

    // Replaces the table with the parsed text; returns the number of
    // malformed lines (each logged, skipped and kept as it is).
    int Parse(std::string_view text);
    // The file text of the current table.
    std::string Serialize() const;
    // Writes the file now if a value changed; false (and a log line) if
    // writing failed.
    bool Save();
    bool IsDirty() const;
    bool IsWritable() const { return writable_; }
    const String& Path() const { return path_; }
    // Waits until no delayed save is pending.
    void WaitForPendingSave();

    // Escape sequences of the file format.
    static String Escape(const String& text);
    static bool Unescape(std::wstring_view text, String& out);

private:
    using SectionName = std::vector<String>;
    enum class LineKind { Other, Section, Entry };
    // One line of the file, without its line feed. Section lines carry their
    // name, entry lines their section, name, value and trailing comment. A
    // section whose name is not UTF-8 is refused: it still ends the section
    // before it, but its entries are not read and nothing is added to it.
    struct Line {
        std::string raw;
        LineKind kind = LineKind::Other;
        bool refused = false;
        SectionName section;
        String name;
        String text;
        std::optional<String> trailing;
    };

    void Load();
    void MarkChanged();
    void SaverLoop();
    bool ParseSectionLine(std::wstring_view line, Line& parsed);
    bool ParseEntryLine(std::wstring_view line, Line& parsed);
    static Key KeyOf(const Line& line);
    static bool IsCommentLine(const Line& line);
    // Rebuilds the key index after lines were added or removed.
    void Reindex();
    // Where a new entry of `section` named `name` goes.
    size_t InsertionPoint(const SectionName& section, const String& name, bool& needsHeader) const;
    static std::string EntryText(const String& name, const String& text,
                                 const std::optional<String>& trailing);
    std::string SerializeLocked() const;

    const String path_;
    const bool writable_;

    mutable std::mutex tableMutex_;
    std::vector<Line> lines_;
    bool finalLineFeed_ = true;
    std::map<Key, size_t> index_; // key to the line that gives its value (the last one)
    bool dirty_ = false;
    uint64_t generation_ = 0;

    std::mutex fileMutex_;

    std::mutex saveMutex_;
    std::condition_variable saveWake_;
    double saveDelay_ = -1.0;
    std::optional<std::chrono::steady_clock::time_point> saveAt_;
    bool saverStop_ = false;
    bool saving_ = false;
    std::unique_ptr<Threads::Thread> saver_;
};

} // namespace brl::Config
