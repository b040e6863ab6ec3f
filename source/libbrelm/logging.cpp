#include "libbrelm/logging.h"

#include <atomic>
#include <cstring>
#include <ctime>
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

const wchar_t* LevelName(int level) { return (level >= 0 && level < 20) ? kLevelNames[level] : L""; }

wchar_t LevelLetter(int level) { return (level >= 0 && level < 20) ? kLevelLetters[level] : L' '; }

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

int Logger::MaxLevel() const { return target_ != nullptr ? target_->MaxLevel() : -1; }

namespace detail {
std::wostringstream MakeStream() {
    std::wostringstream os;
    os.imbue(std::locale::classic());
    return os;
}
} // namespace detail

} // namespace brl::Logging
