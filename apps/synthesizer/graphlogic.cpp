#include "synthesizer/graphlogic.h"

#include "korvax/korvaxmidifile.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

namespace brl::Synth::Gui {

namespace {

constexpr const wchar_t* kPatchExtension = L".korvax";

bool EndsWith(const String& text, const String& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

String FolderOf(const String& path) {
    return std::filesystem::path(path).parent_path().wstring();
}

} // namespace

String WindowTitle(const ApplicationInfo& application, const String& build, const String& fileName) {
    String title = application.applicationLongName;
    if (!application.version.empty()) {
        title += L" [" + application.version + L" - " + build + L"]";
    }
    if (!fileName.empty()) {
        title += L" - " + fileName;
    }
    return title;
}

String ChannelEntryText(int index, const String& name) {
    wchar_t number[16];
    std::swprintf(number, 16, L"%02d: ", index);
    return number + name;
}

String AutosavePath(const String& fileName, int64_t utcSeconds) {
    return fileName + L".autosave-" + std::to_wstring(utcSeconds) + L".korvax.bak";
}

String WithPatchExtension(const String& path) {
    return EndsWith(path, kPatchExtension) ? path : path + kPatchExtension;
}

StatusTexts StatusFields(const Korvax::Manager& manager, bool timing) {
    StatusTexts fields;
    if (timing) {
        fields[2] = manager.GetInputLatencyText();
        fields[3] = manager.GetOutputLatencyText();
        fields[4] = manager.GetPositionText();
    }
    return fields;
}

String SongPositionText(bool playing, uint32_t position, uint32_t length, double sampleRate) {
    if (!playing || !(sampleRate > 0.0)) {
        return String();
    }
    auto clock = [sampleRate](uint32_t ticks) {
        // Tenths of a second, rounded down so that the end shows only at the end.
        const auto tenths =
            static_cast<uint64_t>(static_cast<double>(ticks) * Korvax::kSamplesPerBuffer * 10.0 / sampleRate);
        wchar_t text[32];
        std::swprintf(text, 32, L"%llu:%02llu.%llu", static_cast<unsigned long long>(tenths / 600),
                      static_cast<unsigned long long>(tenths / 10 % 60),
                      static_cast<unsigned long long>(tenths % 10));
        return String(text);
    };
    return L"song " + clock(std::min(position, length)) + L" / " + clock(length);
}

String IntroSizeStatusText(bool measured, const std::optional<Korvax::IntroSize>& size) {
    if (!measured) {
        return L"intro: measuring";
    }
    if (!size) {
        return L"intro: size not known";
    }
    return L"intro " + std::to_wstring(size->programBytes + size->songBytes) + L" B, xz " +
           std::to_wstring(size->allCompressed) + L" B";
}

KeyRoute RouteKey(bool ctrl, bool alt, bool inTextField, bool space, bool inGraphView) {
    if (inTextField) {
        return KeyRoute::Window;
    }
    if (ctrl || alt) {
        return KeyRoute::Menus;
    }
    if (space) {
        return inGraphView ? KeyRoute::Window : KeyRoute::Transport;
    }
    return KeyRoute::Keyboard;
}

const wchar_t* FileFilter(FileKind kind) {
    switch (kind) {
    case FileKind::OpenOgg:
        return L"ogg vorbis (*.ogg)|*.ogg";
    case FileKind::OpenMidi:
        return L"standard midi file (*.mid;*.smf)|*.mid;*.smf";
    case FileKind::OpenPatch:
    case FileKind::SavePatch:
        break;
    }
    return L"korvax patches (*.korvax)|*.korvax";
}

GraphCommands::GraphCommands(Korvax::Manager& synth, Config::Frontend& configuration, Prompts& asker,
                             const ApplicationInfo& app, const String& buildText, Logging::Logger& logger)
    : manager(synth), config(configuration), prompts(asker), application(app), build(buildText), log(logger) {
}

void GraphCommands::SetFileName(const String& name) {
    fileName = name;
    if (fileNameChanged) {
        fileNameChanged();
    }
}

void GraphCommands::Before() {
    if (beforeStateChange) {
        beforeStateChange();
    }
}

void GraphCommands::After() {
    // A loaded or emptied patch set starts a new history.
    if (history != nullptr) {
        history->Clear();
    }
    if (afterStateChange) {
        afterStateChange();
    }
}

void GraphCommands::Remember(const String& path) {
    if (recent == nullptr) {
        return;
    }
    recent->Add(path);
    recent->Save();
    if (recentFilesChanged) {
        recentFilesChanged();
    }
}

bool GraphCommands::OpenRecent(size_t index) {
    if (recent == nullptr || index >= recent->Files().size()) {
        return false;
    }
    const String path = recent->Files()[index];
    if (OpenPath(path)) {
        return true;
    }
    recent->Remove(path);
    recent->Save();
    if (recentFilesChanged) {
        recentFilesChanged();
    }
    return false;
}

bool GraphCommands::LoadInitial(const String& path) {
    Before();
    const bool loaded = manager.LoadState(path);
    if (!loaded) {
        // Whatever the reader left behind is dropped: the editor starts empty.
        manager.ClearState();
    }
    After();
    AdoptInitialLoad(path, loaded);
    return loaded;
}

void GraphCommands::AdoptInitialLoad(const String& path, bool loaded) {
    if (loaded) {
        SetFileName(path);
        Remember(path);
        return;
    }
    BRL_LOG_ERROR(log, "could not load '", path, "'; starting with an empty patch set");
    prompts.ShowError(L"Could not load '" + path +
                      L"'.\nThe file is missing or is no korvax patch set; see the log for details.\n"
                      L"The editor starts with an empty patch set.");
}

bool GraphCommands::Choose(FileKind kind, String& path) {
    Config::Setting<String> dataDirectory(config, "Ui/DataDirectory", String());
    if (!prompts.ChooseFile(kind, dataDirectory.Get(), path) || path.empty()) {
        return false;
    }
    dataDirectory.Set(FolderOf(path));
    return true;
}

bool GraphCommands::AskSaveOld() {
    switch (prompts.Ask(L"save old shit?", true)) {
    case Answer::Yes:
        return SaveAs();
    case Answer::No:
        return true;
    case Answer::Cancel:
        break;
    }
    return false;
}

bool GraphCommands::New() {
    if (!AskSaveOld()) {
        return false;
    }
    Before();
    manager.ClearState();
    After();
    SetFileName(String());
    return true;
}

bool GraphCommands::Open() {
    String path;
    if (!Choose(FileKind::OpenPatch, path)) {
        return false;
    }
    return OpenPath(path);
}

bool GraphCommands::OpenPath(const String& path) {
    Before();
    const bool loaded = manager.LoadState(path);
    if (!loaded) {
        manager.ClearState();
    }
    After();
    SetFileName(loaded ? path : String());
    if (loaded) {
        Remember(path);
    }
    return loaded;
}

bool GraphCommands::Reload() {
    if (!AskSaveOld()) {
        return false;
    }
    Before();
    manager.ClearState();
    After();
    if (fileName.empty()) {
        return Open();
    }
    Before();
    const bool loaded = manager.LoadState(fileName);
    After();
    return loaded;
}

bool GraphCommands::SaveTo(const String& path) {
    const bool exportHeaders = Config::Setting<bool>(config, "Korvax/ExportHeaders", false).Get();
    return manager.SaveState(path, build, exportHeaders);
}

bool GraphCommands::Save() {
    if (fileName.empty()) {
        return SaveAs();
    }
    return SaveTo(fileName);
}

bool GraphCommands::SaveAs() {
    String path;
    if (!Choose(FileKind::SavePatch, path)) {
        return false;
    }
    path = WithPatchExtension(path);
    if (!SaveTo(path)) {
        return false;
    }
    SetFileName(path);
    Remember(path);
    return true;
}

bool GraphCommands::LoadOgg() {
    String path;
    if (!Choose(FileKind::OpenOgg, path)) {
        return false;
    }
    return manager.LoadInputSample(path);
}

bool GraphCommands::ImportMidi() {
    String path;
    if (!Choose(FileKind::OpenMidi, path)) {
        return false;
    }
    Korvax::MidiFileConverter converter;
    if (!converter.Convert(log, ToUtf8(path), &manager.Patches().channelNames, nullptr)) {
        BRL_LOG_ERROR(log, "importing '", path, "' failed");
        return false;
    }
    Korvax::Song& song = manager.Patches().song;
    song.numTicks = converter.SongLength();
    song.timeStream = converter.BuildTimeStreams();
    song.dataStream = converter.BuildDataStreams();
    BRL_LOG_INFO(log, "imported '", path, "': ", song.numTicks, " ticks");
    return true;
}

bool GraphCommands::MayClose(bool canVeto) {
    if (manager.IsDeviceless()) {
        return true;
    }
    switch (prompts.Ask(L"save that shit?", true)) {
    case Answer::Yes:
        return SaveAs() || !canVeto;
    case Answer::No:
        return true;
    case Answer::Cancel:
        break;
    }
    return false;
}

bool GraphCommands::Autosave(int64_t utcSeconds) {
    if (fileName.empty()) {
        return false;
    }
    return SaveTo(AutosavePath(fileName, utcSeconds));
}

int GraphCommands::AutosaveIntervalMs() const {
    const int minutes = Config::Setting<int>(config, "Ui/AutosaveTimerMinutes", 5).Get();
    // A timer period is an int of milliseconds: about 24 days at most.
    return minutes > 0 ? std::min(minutes, 35000) * 60000 : 0;
}

} // namespace brl::Synth::Gui
