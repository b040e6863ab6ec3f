#include "gui/recentfiles.h"

#include <algorithm>

namespace brl::gui {

RecentFiles::RecentFiles(Config::Frontend& frontend, size_t maxFiles)
    : config(frontend), limit(std::clamp<size_t>(maxFiles, 1, kMaxFiles)) {}

void RecentFiles::Add(const String& path) {
    if (path.empty()) {
        return;
    }
    Remove(path);
    files.insert(files.begin(), path);
    if (files.size() > limit) {
        files.resize(limit);
    }
}

bool RecentFiles::Remove(const String& path) {
    const auto found = std::find(files.begin(), files.end(), path);
    if (found == files.end()) {
        return false;
    }
    files.erase(found);
    return true;
}

void RecentFiles::Clear() {
    files.clear();
}

void RecentFiles::Load() {
    files.clear();
    for (size_t index = 0; index < kMaxFiles && files.size() < limit; ++index) {
        const String path = Config::Setting<String>(config, Key(index), String()).Get();
        if (!path.empty() && std::find(files.begin(), files.end(), path) == files.end()) {
            files.push_back(path);
        }
    }
}

bool RecentFiles::Save() {
    bool saved = true;
    for (size_t index = 0; index < kMaxFiles; ++index) {
        const String path = index < files.size() ? files[index] : String();
        saved = Config::Setting<String>(config, Key(index), String()).Set(path) && saved;
    }
    return saved;
}

String RecentFiles::MenuLabel(size_t index, const String& path) {
    String label = L"&" + std::to_wstring(index + 1) + L" ";
    for (wchar_t c : BaseName(path)) {
        if (c == L'&') {
            label += L"&&";
        } else if (c < L' ' || c == 0x7F) {
            label += L' ';
        } else {
            label += c;
        }
    }
    return label;
}

String RecentFiles::BaseName(const String& path) {
    const size_t slash = path.rfind(L'/');
    if (slash == String::npos || slash + 1 == path.size()) {
        return path;
    }
    return path.substr(slash + 1);
}

String RecentFiles::Key(size_t index) {
    return L"Ui/RecentFiles/" + std::to_wstring(index + 1);
}

} // namespace brl::gui
