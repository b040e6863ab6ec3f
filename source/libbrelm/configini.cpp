#include "libbrelm/configini.h"

#include "libbrelm/files.h"

#include <algorithm>
#include <filesystem>
#include <set>

namespace brl::Config {

namespace {

// Settings files are small; a larger one is not read.
constexpr size_t kMaxIniBytes = 16 * 1024 * 1024;

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// Whether the character at `pos` is preceded by an odd number of backslashes.
bool IsEscaped(std::wstring_view text, size_t pos) {
    size_t count = 0;
    while (pos > count && text[pos - count - 1] == L'\\') {
        ++count;
    }
    return (count % 2) == 1;
}

// The bytes before the first unescaped `wanted` (all of them if there is none).
std::string_view BytesBefore(std::string_view text, char wanted) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == wanted) {
            return text.substr(0, i);
        }
    }
    return text;
}

// Strips blanks from both ends; an escaped blank at the end stays.
std::wstring_view Trim(std::wstring_view text) {
    size_t begin = 0;
    while (begin < text.size() && IsBlank(text[begin])) {
        ++begin;
    }
    size_t end = text.size();
    while (end > begin && IsBlank(text[end - 1]) && !IsEscaped(text, end - 1)) {
        --end;
    }
    return text.substr(begin, end - begin);
}

size_t FindUnescaped(std::wstring_view text, wchar_t wanted, size_t from = 0) {
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == L'\\') {
            ++i;
        } else if (text[i] == wanted) {
            return i;
        }
    }
    return std::wstring_view::npos;
}

// A name or section component: besides the common escapes, blanks at either
// end (trimmed on load otherwise), a leading "[" (would start a section line)
// and, in section components, "." (the component separator) are escaped.
String EscapeName(const String& text, bool sectionComponent) {
    String out;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        const bool edge = i == 0 || i + 1 == text.size();
        if ((c == L' ' && edge) || (c == L'[' && i == 0) || (c == L'.' && sectionComponent)) {
            out.push_back(L'\\');
            out.push_back(c);
        } else {
            out += IniProvider::Escape(String(1, c));
        }
    }
    return out;
}

String JoinSection(const std::vector<String>& components, bool escaped) {
    String out;
    for (size_t i = 0; i < components.size(); ++i) {
        if (i > 0) {
            out.push_back(L'.');
        }
        out += escaped ? EscapeName(components[i], true) : components[i];
    }
    return out;
}

} // namespace

IniProvider::IniProvider(String path, bool writable)
    : Backend(L"ini(" + path + L")", L":"), path_(std::move(path)), writable_(writable) {
    Load();
}

IniProvider::~IniProvider() {
    if (saver_) {
        {
            std::lock_guard<std::mutex> lock(saveMutex_);
            saverStop_ = true;
        }
        saveWake_.notify_all();
        saver_->Join();
    }
    // Save() logs its own failure and throws nothing.
    if (IsDirty()) {
        Save();
    }
}

String IniProvider::KeyToString(const Key& key) const {
    const auto& components = key.Components();
    if (components.empty()) {
        return L"[]";
    }
    const std::vector<String> section(components.begin(), components.end() - 1);
    return L"[" + JoinSection(section, false) + L"]" + components.back();
}

std::pair<bool, Value> IniProvider::Read(const Key& key, const Value& defaultValue) {
    std::pair<bool, Value> result(false, defaultValue);
    std::lock_guard<std::mutex> lock(tableMutex_);
    const auto it = index_.find(key);
    if (it != index_.end()) {
        result.first = true;
        result.second = lines_[it->second].text;
    }
    return result;
}

bool IniProvider::Write(const Key& key, const Value& value) {
    const auto& components = key.Components();
    if (!writable_ || components.empty()) {
        return false;
    }
    const String text = value.ToString();
    {
        std::lock_guard<std::mutex> lock(tableMutex_);
        const auto it = index_.find(key);
        if (it != index_.end()) {
            Line& line = lines_[it->second];
            if (line.text == text) {
                return true;
            }
            line.text = text;
            line.raw = EntryText(line.name, text, line.trailing);
        } else {
            Line line;
            line.kind = LineKind::Entry;
            line.section.assign(components.begin(), components.end() - 1);
            line.name = components.back();
            line.text = text;
            line.raw = EntryText(line.name, text, line.trailing);
            bool needsHeader = false;
            const size_t at = InsertionPoint(line.section, line.name, needsHeader);
            if (at == lines_.size()) {
                finalLineFeed_ = true;
            }
            std::vector<Line> added;
            if (needsHeader) {
                Line header;
                header.kind = LineKind::Section;
                header.section = line.section;
                header.raw = ToUtf8(L"[" + JoinSection(line.section, true) + L"]");
                added.push_back(std::move(header));
            }
            added.push_back(std::move(line));
            lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at),
                          std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
            Reindex();
        }
        ++generation_;
        dirty_ = true;
    }
    MarkChanged();
    return true;
}

bool IniProvider::Delete(const Key& key) {
    if (!writable_) {
        return false;
    }
    bool erased = false;
    {
        std::lock_guard<std::mutex> lock(tableMutex_);
        if (index_.count(key) != 0) {
            // Every line of the key goes (an earlier duplicate would otherwise
            // come back), with the comment lines right above it.
            std::vector<bool> remove(lines_.size(), false);
            for (size_t i = 0; i < lines_.size(); ++i) {
                if (lines_[i].kind != LineKind::Entry || !(KeyOf(lines_[i]) == key)) {
                    continue;
                }
                remove[i] = true;
                for (size_t k = i; k > 0 && IsCommentLine(lines_[k - 1]); --k) {
                    remove[k - 1] = true;
                }
            }
            std::vector<Line> kept;
            for (size_t i = 0; i < lines_.size(); ++i) {
                if (!remove[i]) {
                    kept.push_back(std::move(lines_[i]));
                }
            }
            lines_ = std::move(kept);
            Reindex();
            erased = true;
            ++generation_;
            dirty_ = true;
        }
    }
    if (erased) {
        MarkChanged();
    }
    return true;
}

void IniProvider::SaveAfterChanges(double delaySeconds) {
    std::lock_guard<std::mutex> lock(saveMutex_);
    saveDelay_ = delaySeconds;
}

void IniProvider::MarkChanged() {
    std::lock_guard<std::mutex> lock(saveMutex_);
    if (saveDelay_ < 0.0 || saverStop_) {
        return;
    }
    if (!saveAt_) {
        saveAt_ = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(saveDelay_));
    }
    if (!saver_) {
        saver_ = std::make_unique<Threads::Thread>([this] { SaverLoop(); });
        if (!saver_->Start()) {
            saver_.reset();
            saveAt_.reset();
            return;
        }
    }
    saveWake_.notify_all();
}

void IniProvider::SaverLoop() {
    std::unique_lock<std::mutex> lock(saveMutex_);
    while (!saverStop_) {
        if (!saveAt_) {
            saveWake_.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < *saveAt_) {
            saveWake_.wait_until(lock, *saveAt_);
            continue;
        }
        saveAt_.reset();
        saving_ = true;
        lock.unlock();
        Save();
        lock.lock();
        saving_ = false;
        saveWake_.notify_all();
    }
}

void IniProvider::WaitForPendingSave() {
    std::unique_lock<std::mutex> lock(saveMutex_);
    saveWake_.wait(lock, [this] { return saverStop_ || !saver_ || (!saveAt_ && !saving_); });
}

bool IniProvider::IsDirty() const {
    std::lock_guard<std::mutex> lock(tableMutex_);
    return dirty_;
}

void IniProvider::Load() {
    BRL_LOG_VERBOSE(logger_, "loading ini file:  ", path_);
    std::string bytes;
    std::string problem;
    const Files::ReadStatus status = Files::ReadRegularFile(ToUtf8(path_), kMaxIniBytes, bytes, problem);
    if (status == Files::ReadStatus::Missing) {
        return;
    }
    if (status != Files::ReadStatus::Ok) {
        if (status == Files::ReadStatus::Failed) {
            problem = "cannot be read (" + problem + ")";
        }
        BRL_LOG_WARNING(logger_, "ini file '", path_, "' ", problem, ", reading it as empty");
        return;
    }
    Parse(bytes);
}

int IniProvider::Parse(std::string_view text) {
    std::lock_guard<std::mutex> lock(tableMutex_);
    lines_.clear();
    finalLineFeed_ = text.empty() || text.back() == '\n';
    SectionName current;
    // Entries under a section whose name is not UTF-8 are not read.
    bool currentRefused = false;
    std::set<Key> seen;
    int errors = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view bytes = text.substr(start, end - start);
        start = end + 1;
        Line parsed;
        parsed.raw = std::string(bytes);
        const int lineNumber = static_cast<int>(lines_.size()) + 1;
        const String wide = FromUtf8(bytes);
        const std::wstring_view line = Trim(wide);
        if (!line.empty()) {
            const bool section = line.front() == L'[';
            bool ok = section ? ParseSectionLine(line, parsed) : ParseEntryLine(line, parsed);
            if (!ok) {
                ++errors;
                BRL_LOG_ERROR(logger_, "parse error ", path_, "(", lineNumber, "): '", line, "'");
            } else if (parsed.kind != LineKind::Other) {
                // Names must be well-formed UTF-8: two malformed names would
                // otherwise read, and save, as the same key.
                const bool validName = IsValidUtf8(BytesBefore(bytes, section ? ';' : '='));
                if (!validName) {
                    BRL_LOG_WARNING(logger_, "ignoring a name that is not UTF-8 ", path_, "(", lineNumber,
                                    "): '", line, "'");
                }
                if (section) {
                    current = parsed.section;
                    currentRefused = !validName;
                    parsed.refused = !validName;
                } else if (!validName || currentRefused) {
                    parsed.kind = LineKind::Other;
                } else {
                    parsed.section = current;
                    if (!seen.insert(KeyOf(parsed)).second) {
                        BRL_LOG_WARNING(logger_, "duplicate entry", path_, "(", lineNumber, "): '", line,
                                        "'");
                    }
                }
            }
        }
        lines_.push_back(std::move(parsed));
    }
    Reindex();
    dirty_ = false;
    return errors;
}

bool IniProvider::ParseSectionLine(std::wstring_view line, Line& parsed) {
    std::optional<String> trailing;
    const size_t semicolon = FindUnescaped(line, L';');
    if (semicolon != std::wstring_view::npos) {
        line = line.substr(0, semicolon);
    }
    line = Trim(line);
    if (line.size() < 2 || line.back() != L']' || IsEscaped(line, line.size() - 1)) {
        return false;
    }
    const std::wstring_view inner = line.substr(1, line.size() - 2);
    SectionName components;
    size_t from = 0;
    while (true) {
        const size_t dot = FindUnescaped(inner, L'.', from);
        String component;
        if (!Unescape(inner.substr(from, dot == std::wstring_view::npos ? inner.npos : dot - from),
                      component)) {
            return false;
        }
        components.push_back(std::move(component));
        if (dot == std::wstring_view::npos) {
            break;
        }
        from = dot + 1;
    }
    parsed.kind = LineKind::Section;
    parsed.section = std::move(components);
    return true;
}

bool IniProvider::ParseEntryLine(std::wstring_view line, Line& parsed) {
    const size_t equals = FindUnescaped(line, L'=');
    if (equals == std::wstring_view::npos) {
        // A comment line, or text that is no entry.
        return FindUnescaped(line, L';') == 0;
    }
    if (!Unescape(Trim(line.substr(0, equals)), parsed.name)) {
        return false;
    }
    const std::wstring_view rest = Trim(line.substr(equals + 1));
    if (!rest.empty() && rest.front() == L'"') {
        const size_t close = FindUnescaped(rest, L'"', 1);
        if (close == std::wstring_view::npos || !Unescape(rest.substr(1, close - 1), parsed.text)) {
            return false;
        }
        const std::wstring_view after = Trim(rest.substr(close + 1));
        if (!after.empty()) {
            if (after.front() != L';') {
                return false;
            }
            parsed.trailing = String(after.substr(1));
        }
    } else {
        size_t comment = std::wstring_view::npos;
        for (size_t i = 0; i < rest.size(); ++i) {
            if (rest[i] == L'\\') {
                ++i;
            } else if (rest[i] == L';' && i > 0 && (rest[i - 1] == L' ' || rest[i - 1] == L'\t')) {
                comment = i;
                break;
            }
        }
        std::wstring_view valueText = rest;
        if (comment != std::wstring_view::npos) {
            parsed.trailing = String(rest.substr(comment + 1));
            valueText = Trim(rest.substr(0, comment));
        }
        if (!Unescape(valueText, parsed.text)) {
            return false;
        }
    }
    parsed.kind = LineKind::Entry;
    return true;
}

bool IniProvider::IsCommentLine(const Line& line) {
    const size_t first = line.raw.find_first_not_of(" \t\r");
    return line.kind == LineKind::Other && first != std::string::npos && line.raw[first] == ';';
}

Key IniProvider::KeyOf(const Line& line) {
    std::vector<String> components = line.section;
    components.push_back(line.name);
    return Key(std::move(components));
}

void IniProvider::Reindex() {
    index_.clear();
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == LineKind::Entry) {
            index_[KeyOf(lines_[i])] = i;
        }
    }
}

size_t IniProvider::InsertionPoint(const SectionName& section, const String& name, bool& needsHeader) const {
    // The start of the comment lines right above line `at`: they belong to it.
    const auto aboveComments = [this](size_t at) {
        while (at > 0 && IsCommentLine(lines_[at - 1])) {
            --at;
        }
        return at;
    };
    needsHeader = false;
    std::optional<size_t> lastOfSection;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.section != section || line.kind == LineKind::Other || line.refused) {
            continue;
        }
        // Entries are added in name order among the section's entries.
        if (line.kind == LineKind::Entry && name < line.name) {
            return aboveComments(i);
        }
        lastOfSection = i;
    }
    if (lastOfSection) {
        return *lastOfSection + 1;
    }
    // A section of its own, in name order among the sections; entries without
    // a section come before the first section line.
    needsHeader = !section.empty();
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == LineKind::Section && (section.empty() || section < lines_[i].section)) {
            return aboveComments(i);
        }
    }
    return lines_.size();
}

std::string IniProvider::EntryText(const String& name, const String& text,
                                   const std::optional<String>& trailing) {
    String value = Escape(text);
    // Quoted when blanks at the ends would be trimmed, and when empty before a
    // comment (" = ;x" would read back as the value ";x").
    const bool blankEdge = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
    if (blankEdge || (value.empty() && trailing)) {
        value = L"\"" + value + L"\"";
    }
    String line = EscapeName(name, false) + L" = " + value;
    if (trailing) {
        line += L" ;" + *trailing;
    }
    return ToUtf8(line);
}

String IniProvider::Escape(const String& text) {
    String out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        switch (c) {
        case 0:
            out += L"\\0";
            break;
        case 7:
            out += L"\\a";
            break;
        case 8:
            out += L"\\b";
            break;
        case 9:
            out += L"\\t";
            break;
        case 10:
            out += L"\\n";
            break;
        case 13:
            out += L"\\r";
            break;
        case L'"':
        case L'#':
        case L':':
        case L';':
        case L'=':
        case L'\\':
            out.push_back(L'\\');
            out.push_back(c);
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

bool IniProvider::Unescape(std::wstring_view text, String& out) {
    out.clear();
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
        case L'0':
            out.push_back(0);
            break;
        case L'a':
            out.push_back(7);
            break;
        case L'b':
            out.push_back(8);
            break;
        case L'n':
            out.push_back(10);
            break;
        case L'r':
            out.push_back(13);
            break;
        case L't':
            out.push_back(9);
            break;
        default:
            out.push_back(text[i]);
        }
    }
    return true;
}

std::string IniProvider::Serialize() const {
    std::lock_guard<std::mutex> lock(tableMutex_);
    return SerializeLocked();
}

std::string IniProvider::SerializeLocked() const {
    std::string text;
    for (size_t i = 0; i < lines_.size(); ++i) {
        text += lines_[i].raw;
        if (i + 1 < lines_.size() || finalLineFeed_) {
            text.push_back('\n');
        }
    }
    return text;
}

bool IniProvider::Save() {
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    std::string bytes;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(tableMutex_);
        if (!dirty_) {
            return true;
        }
        bytes = SerializeLocked();
        generation = generation_;
    }
    BRL_LOG_VERBOSE(logger_, "saving ini file:  ", path_);
    const std::filesystem::path target(ToUtf8(path_));
    std::error_code error;
    if (target.has_parent_path()) {
        std::filesystem::create_directories(target.parent_path(), error);
    }
    std::string problem;
    if (!Files::ReplaceFile(target, bytes, problem)) {
        BRL_LOG_ERROR(logger_, "error writing '", path_, "': ", problem);
        return false;
    }
    std::lock_guard<std::mutex> lock(tableMutex_);
    if (generation_ == generation) {
        dirty_ = false;
    }
    return true;
}

} // namespace brl::Config
