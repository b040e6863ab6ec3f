#pragma once

#include "libbrelm/config.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <optional>
#include <vector>

// What the settings grid shows and does, without a toolkit: one row per known
// key with its type, value, default and the value each provider holds; edits,
// copy as text and paste.
//
// Threads: the GUI thread (the configuration itself may be used from any
// thread meanwhile).
namespace brl::gui {

struct SettingsRow {
    String key; // "Audio/Latency"
    Config::Tag tag = Config::Tag::None;
    String type;        // "int", "string list", ...
    String value;       // the current value as text
    String defaultText; // the default as text
    // One entry per provider column: the provider's text when it holds the key.
    std::vector<std::optional<String>> providers;
    // Held by at least one provider (shown in bold).
    bool overridden = false;
};

class SettingsTable {
public:
    // The settings that the table itself reads come from `config`.
    explicit SettingsTable(Config::Frontend& config, Logging::Channel* logTarget = nullptr);

    // The type name of a tag: "bool", "int", "float", "string", "bool list",
    // "int list", "float list", "string list"; "none" for anything else.
    static const wchar_t* TypeName(Config::Tag tag);
    // The provider columns: base list then override list, or the reverse
    // while "Ui/Settings/Advanced/ReverseBackends" is on.
    std::vector<Config::Backend*> ProviderColumns() const;
    // Every key known to the configuration, sorted, filled for the columns.
    std::vector<SettingsRow> Rows(const std::vector<Config::Backend*>& columns);
    // One row filled again (the key's setting must exist).
    std::optional<SettingsRow> Row(const String& key, const std::vector<Config::Backend*>& columns);

    // A new value typed into the "value" column: written through the write
    // list, converted to the setting's type; listeners are told.
    bool SetValue(const String& key, const String& text);
    // A new value typed into a provider's column: written into that provider
    // only.
    bool SetProviderValue(Config::Backend& provider, const String& key, const String& text);

    // key + "=" + value + "\r\n" for every given row.
    static String CopyText(const std::vector<SettingsRow>& rows);
    // Every line "key=value" of the text (lines split at "\r\n", a line of
    // exactly two parts at "="), written as SetValue does; other lines are
    // ignored. Returns the number of values written.
    int Paste(const String& text);

private:
    Config::Frontend& config;
    Logging::Logger log;
};

} // namespace brl::gui
