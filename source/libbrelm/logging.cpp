#include "libbrelm/logging.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <locale>
#include <mutex>
#include <set>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace brl::Logging {

namespace {
const wchar_t* const kLevelNames[20] = {
    L"disabled", L"emergency", L"alert",   L"critical", L"error",   L"warning", L"info",
    L"verbose",  L"debug",     L"trace",   L"trace 0",  L"trace 1", L"trace 2", L"trace 3",
    L"trace 4",  L"trace 5",   L"trace 6", L"trace 7",  L"trace 8", L"trace 9",
};
const wchar_t kLevelLetters[] = L"-!ACEWIVDT0123456789";

uint64_t ThreadId() {
    thread_local const uint64_t id = static_cast<uint64_t>(::syscall(SYS_gettid));
    return id;
}

uint64_t UtcNanoseconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Cuts a __PRETTY_FUNCTION__ text down to the qualified name.
std::string QualifiedName(std::string text) {
    // A lambda names its enclosing function first: "R ns::F(args)::<lambda()>".
    const auto lambda = text.find("::<lambda");
    if (lambda != std::string::npos) {
        text.resize(lambda);
    }
    const auto with = text.find(" [with ");
    if (with != std::string::npos) {
        text.resize(with);
    }
    // Find the parameter list: the '(' matching the last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos) {
        return text;
    }
    int depth = 0;
    size_t open = std::string::npos;
    for (size_t i = close + 1; i-- > 0;) {
        if (text[i] == ')') {
            ++depth;
        } else if (text[i] == '(') {
            if (--depth == 0) {
                open = i;
                break;
            }
        }
    }
    if (open == std::string::npos) {
        return text;
    }
    // Walk back over the name, skipping template arguments.
    int angle = 0;
    size_t start = 0;
    for (size_t i = open; i-- > 0;) {
        const char c = text[i];
        if (c == '>') {
            ++angle;
        } else if (c == '<') {
            --angle;
        } else if (c == ' ' && angle <= 0) {
            start = i + 1;
            break;
        }
    }
    std::string name = text.substr(start, open - start);
    while (!name.empty() && (name.front() == '*' || name.front() == '&')) {
        name.erase(name.begin());
    }
    return name;
}
} // namespace

const wchar_t* LevelName(int level) {
    return (level >= 0 && level < 20) ? kLevelNames[level] : L"";
}

wchar_t LevelLetter(int level) {
    return (level >= 0 && level < 20) ? kLevelLetters[level] : L' ';
}

SourceLocation SourceLocation::Make(const char* file, uint32_t line, const char* function) {
    SourceLocation location;
    location.time = UtcNanoseconds();
    location.file = file;
    location.line = line;
    location.function = function;
    location.thread = ThreadId();
    return location;
}

const char* InternFunctionName(const char* prettyFunction) {
    static std::mutex mutex;
    static std::set<std::string>* names = new std::set<std::string>(); // lives for the whole process
    std::string name = QualifiedName(prettyFunction ? prettyFunction : "");
    std::lock_guard<std::mutex> lock(mutex);
    return names->insert(std::move(name)).first->c_str();
}

Logger::Logger(Channel* target, String name) : target_(target), name_(std::move(name)) {}

void Logger::Log(int level, const SourceLocation& location, const String&, const String& message) {
    if (target_ != nullptr) {
        target_->Log(level, location, name_, message);
    }
}

int Logger::MaxLevel() const {
    return target_ != nullptr ? target_->MaxLevel() : -1;
}

void ChannelFilter::Log(int level, const SourceLocation& location, const String& name,
                        const String& message) {
    if (target_ != nullptr && level <= maxLevel_.load()) {
        target_->Log(level, location, name, message);
    }
}

int ChannelFilter::MaxLevel() const {
    if (target_ == nullptr) {
        return -1;
    }
    const int own = maxLevel_.load();
    const int downstream = target_->MaxLevel();
    return own < downstream ? own : downstream;
}

void ChannelMultiplexer::Add(Channel* channel) {
    if (channel == nullptr) {
        return;
    }
    std::unique_lock<std::shared_mutex> lock(mutex_);
    members_.push_back(channel);
}

void ChannelMultiplexer::Remove(Channel* channel) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    std::erase(members_, channel);
}

void ChannelMultiplexer::Log(int level, const SourceLocation& location, const String& name,
                             const String& message) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (Channel* member : members_) {
        member->Log(level, location, name, message);
    }
}

int ChannelMultiplexer::MaxLevel() const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    int most = -1;
    for (const Channel* member : members_) {
        const int level = member->MaxLevel();
        most = level > most ? level : most;
    }
    return most;
}

std::vector<String> SplitLines(const String& message) {
    std::vector<String> lines;
    size_t start = 0;
    while (true) {
        const size_t end = message.find(L'\n', start);
        if (end == String::npos) {
            if (start < message.size() || lines.empty()) {
                lines.push_back(message.substr(start));
            }
            return lines;
        }
        lines.push_back(message.substr(start, end - start));
        start = end + 1;
    }
}

String FormatTime(uint64_t nanoseconds) {
    const auto seconds = static_cast<time_t>(nanoseconds / 1000000000ull);
    const auto milliseconds = static_cast<unsigned>((nanoseconds / 1000000ull) % 1000ull);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    const long year = static_cast<long>(parts.tm_year) + 1900;
    wchar_t text[64];
    std::swprintf(text, 64, L"%lc%04ld-%02d-%02dT%02d:%02d:%02d.%03u000000Z", year < 0 ? L'-' : L' ',
                  year < 0 ? -year : year, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min,
                  parts.tm_sec, milliseconds);
    return text;
}

String FormatLine(int style, const LogRecord& record) {
    const String file = FromUtf8(record.location.file != nullptr ? record.location.file : "");
    const String function = FromUtf8(record.location.function != nullptr ? record.location.function : "");
    const auto head = [&record]() {
        return FormatTime(record.location.time) + L" " + std::to_wstring(record.location.thread) + L" " +
               LevelLetter(record.level) + L" " + record.name + L": " + record.message;
    };
    const String line = std::to_wstring(record.location.line);
    switch (style) {
    case 0:
        return file + L"(" + line + L") : " + record.message + L"\n";
    case 2:
        return head() + L" [ " + file + L":" + line + L" : " + function + L" ]\n";
    case 4:
        return head() + L" [ " + file + L":" + line + L" : " + function;
    case 5:
        return head() + L" [ " + file + L"(" + line + L") " + function + L" ]\n";
    case 6:
        return FormatTime(record.location.time) + L"   " + record.message;
    default:
        return record.message + L"\n";
    }
}

void ChannelBuffer::Log(int level, const SourceLocation& location, const String& name,
                        const String& message) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (target_ != nullptr) {
        target_->Log(level, location, name, message);
        return;
    }
    for (String& line : SplitLines(message)) {
        if (records_.size() >= kMaxBuffered) {
            records_.pop_front();
        }
        records_.push_back({level, location, name, std::move(line)});
    }
}

void ChannelBuffer::SetTarget(Channel* target) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    target_ = target;
    if (target_ == nullptr) {
        return;
    }
    std::deque<LogRecord> pending;
    pending.swap(records_);
    for (const LogRecord& record : pending) {
        target_->Log(record.level, record.location, record.name, record.message);
    }
}

std::vector<LogRecord> ChannelBuffer::Buffered() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return std::vector<LogRecord>(records_.begin(), records_.end());
}

namespace detail {
std::wostringstream MakeStream() {
    std::wostringstream os;
    os.imbue(std::locale::classic());
    return os;
}
} // namespace detail

} // namespace brl::Logging
