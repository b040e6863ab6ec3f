#pragma once

#include "libbrelm/application.h"
#include "libbrelm/config.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brl::Config {

// Answers the seven "Application/..." keys from the application facts.
class ApplicationProvider : public Backend {
public:
    explicit ApplicationProvider(const ApplicationInfo& info);
    std::pair<bool, Value> Read(const Key& key, const Value& defaultValue) override;

private:
    std::vector<std::pair<Key, String>> facts_;
};

// Key A/B/C is the environment variable "BRL_A_B_C".
class EnvironmentProvider : public Backend {
public:
    using Lookup = std::function<std::optional<std::string>(const std::string& name)>;
    // lookup defaults to the process environment.
    explicit EnvironmentProvider(Lookup lookup = nullptr);
    String KeyToString(const Key& key) const override;
    std::pair<bool, Value> Read(const Key& key, const Value& defaultValue) override;

private:
    Lookup lookup_;
};

// Key A/B/C is the option "--A-B-C" followed by its value; the last
// occurrence wins.
class CommandlineProvider : public Backend {
public:
    // arguments: the argument vector, program name first.
    explicit CommandlineProvider(std::vector<String> arguments);
    String KeyToString(const Key& key) const override;
    std::pair<bool, Value> Read(const Key& key, const Value& defaultValue) override;

private:
    std::vector<String> arguments_;
};

} // namespace brl::Config
