#include "libbrelm/configini.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace brl::Config {

namespace {

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

IniProvider::IniProvider(String path, bool writable, bool saveAtExit)
    : Backend(L"ini(" + path + L")", L":"), path_(std::move(path)), writable_(writable),
      saveAtExit_(saveAtExit) {
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
    const auto it = entries_.find(key);
    if (it != entries_.end()) {
        result.first = true;
        result.second = it->second.text;
    }
    return result;
}

bool IniProvider::Write(const Key& key, const Value& value) {
    if (!writable_ || key.Components().empty()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(tableMutex_);
        entries_[key].text = value.ToString();
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
        erased = entries_.erase(key) > 0;
        if (erased) {
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
    std::ifstream file(ToUtf8(path_), std::ios::binary);
    if (!file) {
        return;
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        return;
    }
    Parse(bytes);
    // An existing file of a provider saved at exit is rewritten even unchanged.
    std::lock_guard<std::mutex> lock(tableMutex_);
    dirty_ = writable_ && saveAtExit_;
}

int IniProvider::Parse(std::string_view utf8Text) {
    std::lock_guard<std::mutex> lock(tableMutex_);
    entries_.clear();
    sections_.clear();
    closingComments_.clear();
    SectionName current;
    std::vector<String> pending;
    int errors = 0;
    int lineNumber = 0;
    size_t start = 0;
    while (start <= utf8Text.size()) {
        size_t end = utf8Text.find('\n', start);
        if (end == std::string_view::npos) {
            end = utf8Text.size();
        }
        ++lineNumber;
        const String wide = FromUtf8(utf8Text.substr(start, end - start));
        start = end + 1;
        const std::wstring_view line = Trim(wide);
        if (line.empty()) {
            continue;
        }
        bool ok = true;
        if (line.front() == L'[') {
            ok = ParseSectionLine(line, pending, current);
        } else {
            ok = ParseEntryLine(line, current, pending, lineNumber);
        }
        if (!ok) {
            ++errors;
            BRL_LOG_ERROR(logger_, "parse error ", path_, "(", lineNumber, "): '", line, "'");
        }
    }
    closingComments_ = std::move(pending);
    return errors;
}

bool IniProvider::ParseSectionLine(std::wstring_view line, std::vector<String>& pending,
                                   SectionName& current) {
    std::optional<String> trailing;
    const size_t semicolon = FindUnescaped(line, L';');
    if (semicolon != std::wstring_view::npos) {
        trailing = String(line.substr(semicolon + 1));
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
    Section& section = sections_[components];
    section.comments.insert(section.comments.end(), pending.begin(), pending.end());
    pending.clear();
    if (trailing && !section.trailing) {
        section.trailing = std::move(trailing);
    }
    current = std::move(components);
    return true;
}

bool IniProvider::ParseEntryLine(std::wstring_view line, const SectionName& section,
                                 std::vector<String>& pending, int lineNumber) {
    const size_t equals = FindUnescaped(line, L'=');
    if (equals == std::wstring_view::npos) {
        const size_t semicolon = FindUnescaped(line, L';');
        if (semicolon != 0) {
            return false;
        }
        pending.emplace_back(line.substr(1));
        return true;
    }
    String name;
    if (!Unescape(Trim(line.substr(0, equals)), name)) {
        return false;
    }
    const std::wstring_view rest = Trim(line.substr(equals + 1));
    Entry entry;
    if (!rest.empty() && rest.front() == L'"') {
        const size_t close = FindUnescaped(rest, L'"', 1);
        if (close == std::wstring_view::npos || !Unescape(rest.substr(1, close - 1), entry.text)) {
            return false;
        }
        const std::wstring_view after = Trim(rest.substr(close + 1));
        if (!after.empty()) {
            if (after.front() != L';') {
                return false;
            }
            entry.trailing = String(after.substr(1));
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
            entry.trailing = String(rest.substr(comment + 1));
            valueText = Trim(rest.substr(0, comment));
        }
        if (!Unescape(valueText, entry.text)) {
            return false;
        }
    }
    entry.comments = std::move(pending);
    pending.clear();
    std::vector<String> components = section;
    components.push_back(std::move(name));
    Key key(std::move(components));
    auto it = entries_.find(key);
    if (it != entries_.end()) {
        BRL_LOG_WARNING(logger_, "duplicate entry", path_, "(", lineNumber, "): '", line, "'");
        it->second = std::move(entry);
    } else {
        entries_.emplace(std::move(key), std::move(entry));
    }
    return true;
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
    std::map<SectionName, std::vector<const std::pair<const Key, Entry>*>> grouped;
    for (const auto& section : sections_) {
        grouped[section.first];
    }
    for (const auto& entry : entries_) {
        const auto& components = entry.first.Components();
        grouped[SectionName(components.begin(), components.end() - 1)].push_back(&entry);
    }
    String text;
    const auto writeComments = [&text](const std::vector<String>& comments) {
        for (const String& comment : comments) {
            text += L";" + comment + L"\n";
        }
    };
    for (const auto& [name, entries] : grouped) {
        const auto section = sections_.find(name);
        if (section != sections_.end()) {
            writeComments(section->second.comments);
        }
        if (!name.empty()) {
            text += L"[" + JoinSection(name, true) + L"]";
            if (section != sections_.end() && section->second.trailing) {
                text += L" ;" + *section->second.trailing;
            }
            text += L"\n";
        }
        for (const auto* entry : entries) {
            writeComments(entry->second.comments);
            String value = Escape(entry->second.text);
            // Quoted when blanks at the ends would be trimmed, and when empty
            // before a comment (" = ;x" would read back as the value ";x").
            const bool blankEdge = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
            if (blankEdge || (value.empty() && entry->second.trailing)) {
                value = L"\"" + value + L"\"";
            }
            text += EscapeName(entry->first.Components().back(), false) + L" = " + value;
            if (entry->second.trailing) {
                text += L" ;" + *entry->second.trailing;
            }
            text += L"\n";
        }
    }
    writeComments(closingComments_);
    return ToUtf8(text);
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
    if (!WriteFile(bytes)) {
        BRL_LOG_ERROR(logger_, "error writing '", path_, "'");
        return false;
    }
    std::lock_guard<std::mutex> lock(tableMutex_);
    if (generation_ == generation) {
        dirty_ = false;
    }
    return true;
}

bool IniProvider::WriteFile(const std::string& bytes) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path target(ToUtf8(path_));
    if (target.has_parent_path()) {
        fs::create_directories(target.parent_path(), error);
    }
    // Replace the file a symbolic link points to, not the link.
    if (fs::is_symlink(target, error)) {
        const fs::path resolved = fs::canonical(target, error);
        if (!error) {
            target = resolved;
        }
    }
    mode_t mode = 0644;
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    }
    const std::string temporary = target.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 || errno == EPERM;
    size_t written = 0;
    while (ok && written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        written += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) {
        ok = ::rename(temporary.c_str(), target.c_str()) == 0;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace brl::Config
