#pragma once

#include "libbrelm/application.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace brl::Config {

// A setting name: ordered components. Written as one string, split at "/" if
// it has one, else at "." if it has one ("a/b.c" is "a" and "b.c").
class Key {
public:
    Key() = default;
    Key(const String& text);
    Key(const wchar_t* text);
    Key(const char* text);
    explicit Key(std::vector<String> components) : components_(std::move(components)) {}

    const std::vector<String>& Components() const { return components_; }
    // Canonical form: components joined with ".".
    String ToString() const { return Join(L"."); }
    String Join(const String& separator) const;

    friend bool operator==(const Key& a, const Key& b) { return a.components_ == b.components_; }
    friend bool operator<(const Key& a, const Key& b) { return a.components_ < b.components_; }

private:
    std::vector<String> components_;
};

enum class Tag : int {
    None = 0,
    Bool = 1,
    Int = 2,
    Double = 3,
    String = 4,
    BoolList = 5,
    IntList = 6,
    DoubleList = 7,
    StringList = 8,
};

// A tagged value. Reads are converted to the tag of the caller's default.
class Value {
public:
    using BoolList = std::vector<bool>;
    using IntList = std::vector<int32_t>;
    using DoubleList = std::vector<double>;
    using StringList = std::vector<String>;

    Value() = default;
    Value(bool value) : data_(value) {}
    Value(int32_t value) : data_(value) {}
    Value(double value) : data_(value) {}
    Value(String value) : data_(std::move(value)) {}
    Value(const wchar_t* value) : data_(String(value)) {}
    // UTF-8 text.
    Value(const char* value);
    Value(BoolList value) : data_(std::move(value)) {}
    Value(IntList value) : data_(std::move(value)) {}
    Value(DoubleList value) : data_(std::move(value)) {}
    Value(StringList value) : data_(std::move(value)) {}

    Tag GetTag() const { return static_cast<Tag>(data_.index()); }

    // Text form: "1"/"0", decimal, six significant digits, lists joined with ",".
    String ToString() const;
    bool ToBool() const;
    int32_t ToInt() const;
    double ToDouble() const;
    BoolList ToBoolList() const;
    IntList ToIntList() const;
    DoubleList ToDoubleList() const;
    StringList ToStringList() const;
    Value ConvertTo(Tag tag) const;

    friend bool operator==(const Value& a, const Value& b) { return a.data_ == b.data_; }

    // The text conversions on their own.
    static bool ParseBool(const String& text);
    static int32_t ParseInt(const String& text);
    static double ParseDouble(const String& text);

private:
    std::variant<std::monostate, bool, int32_t, double, String, BoolList, IntList, DoubleList, StringList>
        data_;
};

// A settings store. Any thread may call it while the frontend's provider
// lock is held.
class Backend {
public:
    Backend(String name, String separator);
    virtual ~Backend();
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    // Written form of a key in log lines.
    virtual String KeyToString(const Key& key) const;
    // (found, value); stores give text values.
    virtual std::pair<bool, Value> Read(const Key& key, const Value& defaultValue);
    virtual bool Write(const Key& key, const Value& value);
    virtual bool Delete(const Key& key);

    const String& Name() const { return name_; }
    const String& Separator() const { return separator_; }
    // Name, separator and written key as they appear in log lines.
    String Describe(const Key& key) const { return name_ + separator_ + KeyToString(key); }

protected:
    Logging::Logger logger_;

private:
    String name_;
    String separator_;
};

class Frontend;
class ChangeListener;

// The cached value of one key, shared by every Setting naming it.
struct SettingState {
    SettingState(Frontend& owner, Key key, Value defaultValue)
        : frontend(owner), key(std::move(key)), defaultValue(std::move(defaultValue)) {}

    mutable std::mutex mutex;
    Frontend& frontend;
    const Key key;
    const Value defaultValue;
    Value value;
};

// Reads through an ordered stack of providers, writes to the write list and
// tells listeners about changes. Any thread.
class Frontend {
public:
    Frontend();
    virtual ~Frontend();
    Frontend(const Frontend&) = delete;
    Frontend& operator=(const Frontend&) = delete;

    // Providers are not owned and must outlive their use here.
    void AddBase(Backend* backend);
    void AddOverride(Backend* backend);
    void AddWrite(Backend* backend);
    std::vector<Backend*> BaseList() const;
    std::vector<Backend*> OverrideList() const;
    std::vector<Backend*> WriteList() const;

    // The strongest provider's value converted to the default's tag, or the
    // default. `source` receives the provider that answered (nullptr if none).
    Value BackendRead(const Key& key, const Value& defaultValue, Backend** source = nullptr);
    bool BackendWrite(const Key& key, const Value& value);
    bool BackendDelete(const Key& key);

    // Resets a key to its default: deletes it from the write list and, if a
    // setting names the key, re-reads it and notifies.
    bool Delete(const Key& key);
    void NotifyAll();

    // The shared state for a key, created with this default if none exists.
    std::shared_ptr<SettingState> GetState(const Key& key, const Value& defaultValue);
    // The shared state for a key, or nullptr.
    std::shared_ptr<SettingState> FindState(const Key& key) const;
    // Re-reads a state's value from the providers (no notification).
    void RefreshState(SettingState& state);

    // Every shared setting state, ordered by canonical key.
    std::vector<std::shared_ptr<SettingState>> States() const;
    // One provider's own answer for a key, under the provider lock: (found,
    // value converted to the default's tag).
    std::pair<bool, Value> ProviderRead(Backend& backend, const Key& key, const Value& defaultValue);
    // Writes into one provider only, under the provider lock; a refusal logs
    // "saving " + key + " = " + provider name + " failed". The shared state of
    // the key (if any) is read again and every listener told.
    bool ProviderWrite(Backend& backend, const Key& key, const Value& value);

    void AddListener(ChangeListener* listener);
    void RemoveListener(ChangeListener* listener);

protected:
    // Empties the three provider lists (before the providers go away).
    void ClearProviders();

    Logging::Logger logger_;

private:
    mutable std::mutex providerMutex_;
    mutable std::mutex stateMutex_;
    std::recursive_mutex listenerMutex_;
    std::vector<Backend*> base_;
    std::vector<Backend*> overrides_;
    std::vector<Backend*> writes_;
    std::map<String, std::shared_ptr<SettingState>> states_;
    std::set<ChangeListener*> listeners_;
    std::set<String> unparsedWarned_; // guarded by providerMutex_
};

// Told about every configuration change, whatever the key. Registers with the
// frontend while it exists. Callbacks run on the thread that made the change.
class ChangeListener {
public:
    ChangeListener(Frontend& frontend, std::function<void()> callback);
    virtual ~ChangeListener();
    ChangeListener(const ChangeListener&) = delete;
    ChangeListener& operator=(const ChangeListener&) = delete;

    virtual void OnChange();

private:
    Frontend& frontend_;
    std::function<void()> callback_;
};

// How a type is kept in a setting: ToValue and FromValue. Colours and fonts
// get their own SettingTraits in the GUI layer, stored as their text form.
template <typename T> struct SettingTraits;

template <> struct SettingTraits<int> {
    static Value ToValue(int value) { return Value(static_cast<int32_t>(value)); }
    static int FromValue(const Value& value) { return value.ToInt(); }
};
template <> struct SettingTraits<bool> {
    static Value ToValue(bool value) { return Value(value); }
    static bool FromValue(const Value& value) { return value.ToBool(); }
};
template <> struct SettingTraits<double> {
    static Value ToValue(double value) { return Value(value); }
    static double FromValue(const Value& value) { return value.ToDouble(); }
};
template <> struct SettingTraits<float> {
    static Value ToValue(float value) { return Value(static_cast<double>(value)); }
    static float FromValue(const Value& value) { return static_cast<float>(value.ToDouble()); }
};
template <> struct SettingTraits<String> {
    static Value ToValue(const String& value) { return Value(value); }
    static String FromValue(const Value& value) { return value.ToString(); }
};
template <> struct SettingTraits<std::vector<String>> {
    static Value ToValue(const std::vector<String>& value) { return Value(value); }
    static std::vector<String> FromValue(const Value& value) { return value.ToStringList(); }
};

// Untyped handle over a shared setting state.
class SettingBase {
public:
    SettingBase(Frontend& frontend, const Key& key, const Value& defaultValue);
    virtual ~SettingBase();

    Value GetValue() const;
    // Writes through the frontend; only on success caches the value and
    // notifies every listener.
    bool SetValue(const Value& value);
    // Re-reads through the providers and notifies.
    void Reload();
    const Key& GetKey() const { return state_->key; }
    Value DefaultValue() const { return state_->defaultValue; }
    Frontend& GetFrontend() const { return state_->frontend; }

private:
    std::shared_ptr<SettingState> state_;
};

// A typed setting; every Setting for the same key shares one cached value.
template <typename T> class Setting : public SettingBase {
public:
    Setting(Frontend& frontend, const Key& key, const T& defaultValue)
        : SettingBase(frontend, key, SettingTraits<T>::ToValue(defaultValue)) {}

    T Get() const { return SettingTraits<T>::FromValue(GetValue()); }
    bool Set(const T& value) { return SetValue(SettingTraits<T>::ToValue(value)); }
    operator T() const { return Get(); }
};

// Where the standard stack looks for its files. Empty members are looked up
// from the process: current directory, the first of $XDG_CONFIG_DIRS (else
// "/etc/xdg"), $XDG_CONFIG_HOME (else "$HOME/.config", else ".").
struct ConfigLocations {
    String currentDirectory;
    String machineDirectory;
    String userDirectory;
    // Each member filled from the process where it was empty.
    ConfigLocations Resolved() const;
};

// The application's configuration: the standard provider stack, owned.
class Config : public Frontend {
public:
    // arguments: the program's argument vector, program name first.
    Config(const ApplicationInfo& info, std::vector<String> arguments, ConfigLocations locations = {});
    Config(const ApplicationInfo& info, int argc, const char* const* argv);
    ~Config() override;

    bool IsPortable() const { return portable_; }
    // Every provider, in order of creation.
    std::vector<Backend*> Providers() const;
    // Saves every changed INI file now; false if one failed.
    bool Flush();

private:
    std::vector<std::unique_ptr<Backend>> providers_;
    bool portable_ = false;
};

} // namespace brl::Config
