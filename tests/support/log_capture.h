#pragma once

#include "libbrelm/debug.h"
#include "libbrelm/logging.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace brl::testing {

// Installs itself as the process-wide log channel and keeps every record.
class LogCapture : public Logging::Channel {
public:
    struct Record {
        int level;
        String name;
        String message;
        std::string function;
        uint32_t line;
    };

    LogCapture() : previous_(Debug::GetProcessLogChannel()) { Debug::SetProcessLogChannel(this); }
    ~LogCapture() override { Debug::SetProcessLogChannel(previous_); }

    void Log(int level, const Logging::SourceLocation& location, const String& name,
             const String& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back({level, name, message, location.function, location.line});
    }

    std::vector<Record> Records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }

    // Records whose message starts with the prefix.
    std::vector<Record> Find(const String& prefix) const {
        std::vector<Record> found;
        for (const Record& record : Records()) {
            if (record.message.rfind(prefix, 0) == 0) {
                found.push_back(record);
            }
        }
        return found;
    }

    bool Has(int level, const String& message) const {
        const auto records = Records();
        return std::any_of(records.begin(), records.end(),
                           [&](const Record& r) { return r.level == level && r.message == message; });
    }

    // Whether a record of the level starts with the prefix.
    bool HasPrefix(int level, const String& prefix) const {
        const auto records = Records();
        return std::any_of(records.begin(), records.end(), [&](const Record& r) {
            return r.level == level && r.message.rfind(prefix, 0) == 0;
        });
    }

    // Records of the level, with the message if one is given.
    int Count(int level, const std::optional<String>& message = std::nullopt) const {
        const auto records = Records();
        return static_cast<int>(std::count_if(records.begin(), records.end(), [&](const Record& r) {
            return r.level == level && (!message || r.message == *message);
        }));
    }

    // The messages of the level and the more severe ones (all by default), in order.
    std::vector<String> Messages(int level = std::numeric_limits<int>::max()) const {
        std::vector<String> messages;
        for (const Record& record : Records()) {
            if (record.level <= level) {
                messages.push_back(record.message);
            }
        }
        return messages;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }

private:
    Logging::Channel* previous_;
    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

} // namespace brl::testing
