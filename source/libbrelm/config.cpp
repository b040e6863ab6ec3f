#include "libbrelm/config.h"

#include "libbrelm/configini.h"
#include "libbrelm/configproviders.h"
#include "libbrelm/debug.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace brl::Config {

namespace {

std::vector<String> Split(const String& text, wchar_t separator) {
    std::vector<String> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == String::npos ? String::npos : end - start));
        if (end == String::npos) {
            return parts;
        }
        start = end + 1;
    }
}

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f' || c == L'\v';
}

template <typename List> String JoinList(const List& list) {
    String text;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i > 0) {
            text.push_back(L',');
        }
        text += Value(static_cast<typename List::value_type>(list[i])).ToString();
    }
    return text;
}

// A list from text: split at ","; the empty text is the empty list.
template <typename Element, typename Convert>
std::vector<Element> ParseList(const String& text, Convert convert) {
    std::vector<Element> list;
    if (text.empty()) {
        return list;
    }
    for (const String& piece : Split(text, L',')) {
        list.push_back(convert(piece));
    }
    return list;
}

String TrimSpace(const String& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && IsSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// Whether the whole text (blanks around it aside) is a number of the kind the
// tag asks for: a decimal int32, or a finite double ("," as decimal point).
bool IsWholeNumber(const String& text, bool integer) {
    const String trimmed = TrimSpace(text);
    if (integer) {
        size_t i = !trimmed.empty() && (trimmed[0] == L'-' || trimmed[0] == L'+') ? 1 : 0;
        const bool negative = i == 1 && trimmed[0] == L'-';
        if (i == trimmed.size()) {
            return false;
        }
        int64_t magnitude = 0;
        for (; i < trimmed.size(); ++i) {
            if (trimmed[i] < L'0' || trimmed[i] > L'9') {
                return false;
            }
            magnitude = std::min<int64_t>(magnitude * 10 + (trimmed[i] - L'0'), int64_t{INT32_MAX} + 2);
        }
        return magnitude <= (negative ? int64_t{INT32_MAX} + 1 : int64_t{INT32_MAX});
    }
    std::string narrow;
    for (const wchar_t c : trimmed) {
        if (c <= 0 || c >= 0x80) {
            return false;
        }
        narrow.push_back(c == L',' ? '.' : static_cast<char>(c));
    }
    const char* first = narrow.data();
    if (!narrow.empty() && narrow[0] == '+') {
        ++first;
    }
    double value = 0.0;
    const char* last = narrow.data() + narrow.size();
    const auto result = std::from_chars(first, last, value);
    return result.ec == std::errc() && result.ptr == last && std::isfinite(value);
}

// Whether text read for a default of this tag converts without dropping
// anything: numbers (and lists of numbers) must be whole numbers.
bool ParsesAs(const String& text, Tag tag) {
    switch (tag) {
    case Tag::Int:
    case Tag::Double:
        return IsWholeNumber(text, tag == Tag::Int);
    case Tag::IntList:
    case Tag::DoubleList:
        if (text.empty()) {
            return true;
        }
        for (const String& piece : Split(text, L',')) {
            if (!IsWholeNumber(piece, tag == Tag::IntList)) {
                return false;
            }
        }
        return true;
    default:
        return true;
    }
}

} // namespace

Key::Key(const String& text) {
    if (text.find(L'/') != String::npos) {
        components_ = Split(text, L'/');
    } else if (text.find(L'.') != String::npos) {
        components_ = Split(text, L'.');
    } else {
        components_.push_back(text);
    }
}

Key::Key(const wchar_t* text) : Key(String(text != nullptr ? text : L"")) {}

Key::Key(const char* text) : Key(FromUtf8(text != nullptr ? text : "")) {}

String Key::Join(const String& separator) const {
    String text;
    for (size_t i = 0; i < components_.size(); ++i) {
        if (i > 0) {
            text += separator;
        }
        text += components_[i];
    }
    return text;
}

Value::Value(const char* value) : data_(FromUtf8(value != nullptr ? value : "")) {}

bool Value::ParseBool(const String& text) {
    return !(text.empty() || text == L"0" || text == L"off" || text == L"no" || text == L"false");
}

int32_t Value::ParseInt(const String& text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
        negative = text[i] == L'-';
        ++i;
    }
    int64_t magnitude = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        any = true;
        magnitude = std::min<int64_t>(magnitude * 10 + (text[i] - L'0'), int64_t{INT32_MAX} + 1);
    }
    if (!any) {
        return 0;
    }
    const int64_t value = negative ? -magnitude : std::min<int64_t>(magnitude, INT32_MAX);
    return static_cast<int32_t>(value);
}

double Value::ParseDouble(const String& text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    if (i < text.size() && text[i] == L'+') {
        ++i;
    }
    std::string narrow;
    for (; i < text.size() && text[i] > 0 && text[i] < 0x80; ++i) {
        narrow.push_back(text[i] == L',' ? '.' : static_cast<char>(text[i]));
    }
    double value = 0.0;
    const auto result = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
    if (result.ec != std::errc() || !std::isfinite(value)) {
        return 0.0;
    }
    return value;
}

String Value::ToString() const {
    switch (GetTag()) {
    case Tag::None:
        return String();
    case Tag::Bool:
        return std::get<bool>(data_) ? L"1" : L"0";
    case Tag::Int:
        return std::to_wstring(std::get<int32_t>(data_));
    case Tag::Double:
        return Logging::Format(std::get<double>(data_));
    case Tag::String:
        return std::get<String>(data_);
    case Tag::BoolList:
        return JoinList(std::get<BoolList>(data_));
    case Tag::IntList:
        return JoinList(std::get<IntList>(data_));
    case Tag::DoubleList:
        return JoinList(std::get<DoubleList>(data_));
    case Tag::StringList:
        return JoinList(std::get<StringList>(data_));
    }
    return String();
}

bool Value::ToBool() const {
    if (GetTag() == Tag::Bool) {
        return std::get<bool>(data_);
    }
    if (GetTag() == Tag::BoolList) {
        const auto& list = std::get<BoolList>(data_);
        return !list.empty() && list.front();
    }
    return ParseBool(ToString());
}

int32_t Value::ToInt() const {
    if (GetTag() == Tag::Int) {
        return std::get<int32_t>(data_);
    }
    if (GetTag() == Tag::IntList) {
        const auto& list = std::get<IntList>(data_);
        return list.empty() ? 0 : list.front();
    }
    return ParseInt(ToString());
}

double Value::ToDouble() const {
    if (GetTag() == Tag::Double) {
        return std::get<double>(data_);
    }
    if (GetTag() == Tag::DoubleList) {
        const auto& list = std::get<DoubleList>(data_);
        return list.empty() ? 0.0 : list.front();
    }
    return ParseDouble(ToString());
}

Value::BoolList Value::ToBoolList() const {
    if (GetTag() == Tag::BoolList) {
        return std::get<BoolList>(data_);
    }
    return ParseList<bool>(ToString(), ParseBool);
}

Value::IntList Value::ToIntList() const {
    if (GetTag() == Tag::IntList) {
        return std::get<IntList>(data_);
    }
    return ParseList<int32_t>(ToString(), ParseInt);
}

Value::DoubleList Value::ToDoubleList() const {
    if (GetTag() == Tag::DoubleList) {
        return std::get<DoubleList>(data_);
    }
    return ParseList<double>(ToString(), ParseDouble);
}

Value::StringList Value::ToStringList() const {
    if (GetTag() == Tag::StringList) {
        return std::get<StringList>(data_);
    }
    return ParseList<String>(ToString(), [](const String& piece) { return piece; });
}

Value Value::ConvertTo(Tag tag) const {
    switch (tag) {
    case Tag::None:
        return *this;
    case Tag::Bool:
        return Value(ToBool());
    case Tag::Int:
        return Value(ToInt());
    case Tag::Double:
        return Value(ToDouble());
    case Tag::String:
        return Value(ToString());
    case Tag::BoolList:
        return Value(ToBoolList());
    case Tag::IntList:
        return Value(ToIntList());
    case Tag::DoubleList:
        return Value(ToDoubleList());
    case Tag::StringList:
        return Value(ToStringList());
    }
    return *this;
}

Backend::Backend(String name, String separator)
    : logger_(&Debug::ProcessChannel(), L"config"), name_(std::move(name)), separator_(std::move(separator)) {
}

Backend::~Backend() = default;

String Backend::KeyToString(const Key& key) const {
    return key.ToString();
}

std::pair<bool, Value> Backend::Read(const Key&, const Value& defaultValue) {
    return {false, defaultValue};
}

bool Backend::Write(const Key&, const Value&) {
    return false;
}

bool Backend::Delete(const Key&) {
    return false;
}

Frontend::Frontend() : logger_(&Debug::ProcessChannel(), L"config") {}

Frontend::~Frontend() = default;

void Frontend::AddBase(Backend* backend) {
    std::lock_guard<std::mutex> lock(providerMutex_);
    base_.push_back(backend);
}

void Frontend::AddOverride(Backend* backend) {
    std::lock_guard<std::mutex> lock(providerMutex_);
    overrides_.push_back(backend);
}

void Frontend::AddWrite(Backend* backend) {
    std::lock_guard<std::mutex> lock(providerMutex_);
    writes_.push_back(backend);
}

void Frontend::ClearProviders() {
    std::lock_guard<std::mutex> lock(providerMutex_);
    base_.clear();
    overrides_.clear();
    writes_.clear();
}

std::vector<Backend*> Frontend::BaseList() const {
    std::lock_guard<std::mutex> lock(providerMutex_);
    return base_;
}

std::vector<Backend*> Frontend::OverrideList() const {
    std::lock_guard<std::mutex> lock(providerMutex_);
    return overrides_;
}

std::vector<Backend*> Frontend::WriteList() const {
    std::lock_guard<std::mutex> lock(providerMutex_);
    return writes_;
}

Value Frontend::BackendRead(const Key& key, const Value& defaultValue, Backend** source) {
    std::lock_guard<std::mutex> lock(providerMutex_);
    const String name = key.ToString();
    BRL_LOG_TRACE(logger_, "searching ", name, " = ", defaultValue.ToString());
    Value result = defaultValue;
    Backend* answered = nullptr;
    for (const auto* list : {&base_, &overrides_}) {
        for (Backend* backend : *list) {
            auto [found, value] = backend->Read(key, defaultValue);
            if (found) {
                result = value.ConvertTo(defaultValue.GetTag());
                if (value.GetTag() == Tag::String && !ParsesAs(value.ToString(), defaultValue.GetTag())) {
                    // Said once per provider, key and text, however often it is read.
                    const String what = backend->Describe(key) + L" = '" + value.ToString() + L"'";
                    if (unparsedWarned_.insert(what).second) {
                        BRL_LOG_WARNING(logger_, "setting is not a number: ", what, ", read as ",
                                        result.ToString());
                    }
                }
                answered = backend;
                BRL_LOG_DEBUG(logger_, "read ", backend->Describe(key), " = ", result.ToString());
            }
        }
    }
    BRL_LOG_VERBOSE(logger_, "read ", name, " = ", result.ToString());
    if (source != nullptr) {
        *source = answered;
    }
    return result;
}

bool Frontend::BackendWrite(const Key& key, const Value& value) {
    std::lock_guard<std::mutex> lock(providerMutex_);
    const String name = key.ToString();
    const String text = value.ToString();
    BRL_LOG_VERBOSE(logger_, "write ", name, " = ", text);
    bool accepted = false;
    for (Backend* backend : writes_) {
        BRL_LOG_DEBUG(logger_, "write ", backend->Describe(key), " = ", text);
        if (backend->Write(key, value)) {
            accepted = true;
        } else {
            BRL_LOG_ERROR(logger_, "saving ", name, " = ", backend->Name(), " failed");
        }
    }
    return accepted;
}

bool Frontend::BackendDelete(const Key& key) {
    std::lock_guard<std::mutex> lock(providerMutex_);
    const String name = key.ToString();
    BRL_LOG_VERBOSE(logger_, "deleting '", name, "'");
    bool accepted = false;
    for (Backend* backend : writes_) {
        BRL_LOG_DEBUG(logger_, "delete ", backend->Describe(key));
        if (backend->Delete(key)) {
            accepted = true;
        } else {
            BRL_LOG_ERROR(logger_, "deleting '", name, "' in ", backend->Name(), " failed");
        }
    }
    return accepted;
}

bool Frontend::Delete(const Key& key) {
    const bool deleted = BackendDelete(key);
    if (auto state = FindState(key)) {
        RefreshState(*state);
    }
    NotifyAll();
    return deleted;
}

void Frontend::NotifyAll() {
    std::lock_guard<std::recursive_mutex> lock(listenerMutex_);
    BRL_LOG_DEBUG(logger_, "signaling config change");
    // A callback may unregister listeners (even itself); only those still
    // registered are called.
    const std::vector<ChangeListener*> snapshot(listeners_.begin(), listeners_.end());
    for (ChangeListener* listener : snapshot) {
        if (listeners_.count(listener) != 0) {
            listener->OnChange();
        }
    }
    BRL_LOG_TRACE(logger_, "signaled config change");
}

std::shared_ptr<SettingState> Frontend::GetState(const Key& key, const Value& defaultValue) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    auto& state = states_[key.ToString()];
    if (!state) {
        state = std::make_shared<SettingState>(*this, key, defaultValue);
        state->value = defaultValue;
    }
    return state;
}

std::shared_ptr<SettingState> Frontend::FindState(const Key& key) const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    const auto it = states_.find(key.ToString());
    return it == states_.end() ? nullptr : it->second;
}

void Frontend::RefreshState(SettingState& state) {
    Value value = BackendRead(state.key, state.defaultValue);
    std::lock_guard<std::mutex> lock(state.mutex);
    state.value = std::move(value);
}

std::vector<std::shared_ptr<SettingState>> Frontend::States() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    std::vector<std::shared_ptr<SettingState>> states;
    states.reserve(states_.size());
    for (const auto& [name, state] : states_) {
        states.push_back(state);
    }
    return states;
}

std::pair<bool, Value> Frontend::ProviderRead(Backend& backend, const Key& key, const Value& defaultValue) {
    std::lock_guard<std::mutex> lock(providerMutex_);
    auto [found, value] = backend.Read(key, defaultValue);
    if (!found) {
        return {false, defaultValue};
    }
    return {true, value.ConvertTo(defaultValue.GetTag())};
}

bool Frontend::ProviderWrite(Backend& backend, const Key& key, const Value& value) {
    bool written = false;
    {
        std::lock_guard<std::mutex> lock(providerMutex_);
        BRL_LOG_DEBUG(logger_, "write ", backend.Describe(key), " = ", value.ToString());
        written = backend.Write(key, value);
        if (!written) {
            BRL_LOG_ERROR(logger_, "saving ", key.ToString(), " = ", backend.Name(), " failed");
        }
    }
    if (written) {
        if (const auto state = FindState(key)) {
            RefreshState(*state);
        }
        NotifyAll();
    }
    return written;
}

void Frontend::AddListener(ChangeListener* listener) {
    std::lock_guard<std::recursive_mutex> lock(listenerMutex_);
    listeners_.insert(listener);
}

void Frontend::RemoveListener(ChangeListener* listener) {
    std::lock_guard<std::recursive_mutex> lock(listenerMutex_);
    listeners_.erase(listener);
}

ChangeListener::ChangeListener(Frontend& frontend, std::function<void()> callback)
    : frontend_(frontend), callback_(std::move(callback)) {
    frontend_.AddListener(this);
}

ChangeListener::~ChangeListener() {
    frontend_.RemoveListener(this);
}

void ChangeListener::OnChange() {
    if (callback_) {
        callback_();
    }
}

SettingBase::SettingBase(Frontend& frontend, const Key& key, const Value& defaultValue)
    : state_(frontend.GetState(key, defaultValue)) {
    frontend.RefreshState(*state_);
}

SettingBase::~SettingBase() = default;

Value SettingBase::GetValue() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->value;
}

bool SettingBase::SetValue(const Value& value) {
    Frontend& frontend = state_->frontend;
    const bool written = frontend.BackendWrite(state_->key, value);
    if (written) {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->value = value.ConvertTo(state_->defaultValue.GetTag());
        }
        frontend.NotifyAll();
    }
    return written;
}

void SettingBase::Reload() {
    state_->frontend.RefreshState(*state_);
    state_->frontend.NotifyAll();
}

namespace {

String Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? FromUtf8(value) : String();
}

String CurrentDirectory() {
    std::string buffer(4096, '\0');
    if (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        return L".";
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return FromUtf8(buffer);
}

String HomeDirectory() {
    String home = Environment("HOME");
    if (!home.empty()) {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return FromUtf8(entry->pw_dir);
    }
    return String();
}

// Relative paths in the XDG variables are to be ignored.
bool IsAbsolute(const String& path) {
    return !path.empty() && path.front() == L'/';
}

// Whether the file can be opened for reading; never waits on a FIFO.
bool CanOpenForReading(const String& path) {
    const int fd = ::open(ToUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// Seconds after a change before the per-user file is saved.
constexpr double kWriteTargetSaveDelay = 0.2;

} // namespace

ConfigLocations ConfigLocations::Resolved() const {
    ConfigLocations out = *this;
    if (out.currentDirectory.empty()) {
        out.currentDirectory = CurrentDirectory();
    }
    if (out.machineDirectory.empty()) {
        const String dirs = Environment("XDG_CONFIG_DIRS");
        const String first = dirs.substr(0, dirs.find(L':'));
        out.machineDirectory = IsAbsolute(first) ? first : String(L"/etc/xdg");
    }
    if (out.userDirectory.empty()) {
        const String configHome = Environment("XDG_CONFIG_HOME");
        if (IsAbsolute(configHome)) {
            out.userDirectory = configHome;
        } else {
            const String home = HomeDirectory();
            out.userDirectory = home.empty() ? String(L".") : home + L"/.config";
        }
    }
    return out;
}

Config::Config(const ApplicationInfo& info, std::vector<String> arguments, ConfigLocations locations) {
    const ConfigLocations where = locations.Resolved();
    const auto keep = [this](std::unique_ptr<Backend> provider) {
        providers_.push_back(std::move(provider));
        return providers_.back().get();
    };

    AddBase(keep(std::make_unique<ApplicationProvider>(info)));
    Backend* writeTarget = providers_.back().get();

    const String base = where.currentDirectory + L"/" + info.applicationShortName;
    portable_ = CanOpenForReading(base + L".portable");
    if (!portable_) {
        const String file = L"/" + info.vendorLongName + L"/" + info.applicationLongName + L"/config.ini";
        AddBase(keep(std::make_unique<IniProvider>(where.machineDirectory + file, false)));
        auto user = std::make_unique<IniProvider>(where.userDirectory + file, true);
        user->SaveAfterChanges(kWriteTargetSaveDelay);
        writeTarget = keep(std::move(user));
        AddBase(writeTarget);
    }

    auto local = std::make_unique<IniProvider>(base + L".ini", true);
    if (portable_) {
        // A portable installation keeps its changes beside the program.
        local->SaveAfterChanges(kWriteTargetSaveDelay);
    }
    Backend* localIni = keep(std::move(local));
    AddOverride(localIni);
    AddOverride(keep(std::make_unique<EnvironmentProvider>()));
    AddOverride(keep(std::make_unique<CommandlineProvider>(std::move(arguments))));
    AddWrite(portable_ ? localIni : writeTarget);
}

namespace {
std::vector<String> WideArguments(int argc, const char* const* argv) {
    std::vector<String> arguments;
    for (int i = 0; i < argc && argv != nullptr; ++i) {
        arguments.push_back(FromUtf8(argv[i] != nullptr ? argv[i] : ""));
    }
    return arguments;
}
} // namespace

Config::Config(const ApplicationInfo& info, int argc, const char* const* argv)
    : Config(info, WideArguments(argc, argv)) {}

Config::~Config() {
    ClearProviders();
    // Last created first; each changed INI file is saved as it goes.
    while (!providers_.empty()) {
        providers_.pop_back();
    }
}

std::vector<Backend*> Config::Providers() const {
    std::vector<Backend*> list;
    for (const auto& provider : providers_) {
        list.push_back(provider.get());
    }
    return list;
}

bool Config::Flush() {
    bool ok = true;
    for (const auto& provider : providers_) {
        if (auto* ini = dynamic_cast<IniProvider*>(provider.get()); ini != nullptr && ini->IsDirty()) {
            ok = ini->Save() && ok;
        }
    }
    return ok;
}

} // namespace brl::Config
