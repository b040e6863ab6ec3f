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

// Settings in a UTF-8 INI file. Comments are kept with the section or entry
// that follows them and written back on save. A file is replaced by writing
// "<path>.tmp", syncing it and renaming it over the path, so an interrupted
// save leaves the previous file intact. Any thread.
class IniProvider : public Backend {
public:
    // Loads the file (a missing or unreadable file gives an empty table). A
    // writable provider with saveAtExit saves on destruction even when
    // unchanged, provided the file existed; otherwise it saves only after a
    // successful write or delete.
    IniProvider(String path, bool writable, bool saveAtExit);
    ~IniProvider() override;

    String KeyToString(const Key& key) const override;
    std::pair<bool, Value> Read(const Key& key, const Value& defaultValue) override;
    bool Write(const Key& key, const Value& value) override;
    bool Delete(const Key& key) override;

    // After this, every successful write or delete also saves the file about
    // delaySeconds later (on a worker thread), not only at destruction.
    void SaveAfterChanges(double delaySeconds);

    // Replaces the table with the parsed text; returns the number of
    // malformed lines (each logged and skipped).
    int Parse(std::string_view utf8Text);
    // The file text of the current table.
    std::string Serialize() const;
    // Writes the file now if there is anything to write; false (and a log
    // line) if writing failed.
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
    struct Entry {
        String text;
        std::vector<String> comments;
        std::optional<String> trailing;
    };
    struct Section {
        std::vector<String> comments;
        std::optional<String> trailing;
    };
    using SectionName = std::vector<String>;

    void Load();
    void MarkChanged();
    void SaverLoop();
    bool ParseSectionLine(std::wstring_view line, std::vector<String>& pending, SectionName& current);
    bool ParseEntryLine(std::wstring_view line, const SectionName& section, std::vector<String>& pending,
                        int lineNumber);
    std::string SerializeLocked() const;
    bool WriteFile(const std::string& bytes);

    const String path_;
    const bool writable_;
    bool saveAtExit_;

    mutable std::mutex tableMutex_;
    std::map<Key, Entry> entries_;
    std::map<SectionName, Section> sections_;
    std::vector<String> closingComments_;
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
