#include "libbrelm/configproviders.h"

#include <cstdlib>

namespace brl::Config {

ApplicationProvider::ApplicationProvider(const ApplicationInfo& info) : Backend(L"application", L":") {
    facts_ = {
        {Key("Application/Vendor/LongName"), info.vendorLongName},
        {Key("Application/Vendor/ShortName"), info.vendorShortName},
        {Key("Application/Vendor/DomainName"), info.vendorDomainName},
        {Key("Application/LongName"), info.applicationLongName},
        {Key("Application/ShortName"), info.applicationShortName},
        {Key("Application/DomainName"), info.applicationDomainName},
        {Key("Application/Version"), info.version},
    };
}

std::pair<bool, Value> ApplicationProvider::Read(const Key& key, const Value& defaultValue) {
    for (const auto& [factKey, text] : facts_) {
        if (factKey == key) {
            return {true, Value(text)};
        }
    }
    return {false, defaultValue};
}

EnvironmentProvider::EnvironmentProvider(Lookup lookup)
    : Backend(L"environment", L":"), lookup_(std::move(lookup)) {
    if (!lookup_) {
        lookup_ = [](const std::string& name) -> std::optional<std::string> {
            const char* value = std::getenv(name.c_str());
            if (value == nullptr) {
                return std::nullopt;
            }
            return std::string(value);
        };
    }
}

String EnvironmentProvider::KeyToString(const Key& key) const {
    return L"BRL_" + key.Join(L"_");
}

std::pair<bool, Value> EnvironmentProvider::Read(const Key& key, const Value& defaultValue) {
    const std::string name = ToUtf8(KeyToString(key));
    // A name with "=" or NUL cannot be an environment variable.
    if (name.find('=') != std::string::npos || name.find('\0') != std::string::npos) {
        return {false, defaultValue};
    }
    if (auto value = lookup_(name)) {
        return {true, Value(FromUtf8(*value))};
    }
    return {false, defaultValue};
}

CommandlineProvider::CommandlineProvider(std::vector<String> arguments)
    : Backend(L"commandline", L":"), arguments_(std::move(arguments)) {}

String CommandlineProvider::KeyToString(const Key& key) const {
    return L"--" + key.Join(L"-");
}

std::pair<bool, Value> CommandlineProvider::Read(const Key& key, const Value& defaultValue) {
    const String option = KeyToString(key);
    std::pair<bool, Value> result{false, defaultValue};
    for (size_t i = 1; i + 1 < arguments_.size(); ++i) {
        if (arguments_[i] == option) {
            result = {true, Value(arguments_[i + 1])};
            ++i;
        }
    }
    return result;
}

} // namespace brl::Config
