#include "gui/settingstable.h"

#include <algorithm>

namespace brl::gui {

namespace {

// The key as users write it: components joined with "/".
String KeyText(const Config::Key& key) {
    return key.Join(L"/");
}

std::vector<String> SplitAll(const String& text, wchar_t separator) {
    std::vector<String> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        if (at == String::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

} // namespace

SettingsTable::SettingsTable(Config::Frontend& frontend, Logging::Channel* logTarget)
    : config(frontend), log(logTarget, L"settings") {}

const wchar_t* SettingsTable::TypeName(Config::Tag tag) {
    switch (tag) {
    case Config::Tag::Bool:
        return L"bool";
    case Config::Tag::Int:
        return L"int";
    case Config::Tag::Double:
        return L"float";
    case Config::Tag::String:
        return L"string";
    case Config::Tag::BoolList:
        return L"bool list";
    case Config::Tag::IntList:
        return L"int list";
    case Config::Tag::DoubleList:
        return L"float list";
    case Config::Tag::StringList:
        return L"string list";
    case Config::Tag::None:
        break;
    }
    return L"none";
}

std::vector<Config::Backend*> SettingsTable::ProviderColumns() const {
    std::vector<Config::Backend*> columns = config.BaseList();
    const std::vector<Config::Backend*> overrides = config.OverrideList();
    columns.insert(columns.end(), overrides.begin(), overrides.end());
    if (Config::Setting<bool>(config, "Ui/Settings/Advanced/ReverseBackends", false).Get()) {
        std::reverse(columns.begin(), columns.end());
    }
    return columns;
}

std::optional<SettingsRow> SettingsTable::Row(const String& key,
                                              const std::vector<Config::Backend*>& columns) {
    const std::shared_ptr<Config::SettingState> state = config.FindState(Config::Key(key));
    if (!state) {
        return std::nullopt;
    }
    SettingsRow row;
    row.key = KeyText(state->key);
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        row.tag = state->defaultValue.GetTag();
        row.value = state->value.ToString();
    }
    row.type = TypeName(row.tag);
    row.defaultText = state->defaultValue.ToString();
    for (Config::Backend* provider : columns) {
        auto [found, value] = config.ProviderRead(*provider, state->key, Config::Value(String()));
        row.providers.push_back(found ? std::optional<String>(value.ToString()) : std::nullopt);
        row.overridden = row.overridden || found;
    }
    return row;
}

std::vector<SettingsRow> SettingsTable::Rows(const std::vector<Config::Backend*>& columns) {
    std::vector<String> keys;
    for (const auto& state : config.States()) {
        keys.push_back(KeyText(state->key));
    }
    std::sort(keys.begin(), keys.end());
    std::vector<SettingsRow> rows;
    rows.reserve(keys.size());
    for (const String& key : keys) {
        if (auto row = Row(key, columns)) {
            rows.push_back(std::move(*row));
        }
    }
    return rows;
}

bool SettingsTable::SetValue(const String& key, const String& text) {
    const Config::Key name(key);
    if (const auto state = config.FindState(name)) {
        Config::SettingBase setting(config, name, state->defaultValue);
        return setting.SetValue(Config::Value(text).ConvertTo(state->defaultValue.GetTag()));
    }
    // No setting reads this key yet: store the text for whoever reads it later.
    const bool written = config.BackendWrite(name, Config::Value(text));
    if (written) {
        config.NotifyAll();
    }
    return written;
}

bool SettingsTable::SetProviderValue(Config::Backend& provider, const String& key, const String& text) {
    const Config::Key name(key);
    Config::Value value(text);
    if (const auto state = config.FindState(name)) {
        value = value.ConvertTo(state->defaultValue.GetTag());
    }
    return config.ProviderWrite(provider, name, value);
}

String SettingsTable::CopyText(const std::vector<SettingsRow>& rows) {
    String text;
    for (const SettingsRow& row : rows) {
        text += row.key + L"=" + row.value + L"\r\n";
    }
    return text;
}

int SettingsTable::Paste(const String& text) {
    int written = 0;
    // Lines end in "\r\n"; a bare "\n" (text from other programs) ends one too.
    for (String line : SplitAll(text, L'\n')) {
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        const std::vector<String> parts = SplitAll(line, L'=');
        if (parts.size() != 2 || parts[0].empty()) {
            continue;
        }
        BRL_LOG_VERBOSE(log, "pasting config: ", parts[0], " === ", parts[1]);
        written += SetValue(parts[0], parts[1]) ? 1 : 0;
    }
    return written;
}

} // namespace brl::gui
