#pragma once

#include "libbrelm/config.h"
#include "libbrelm/string.h"

#include <cstddef>
#include <vector>

// The files opened or saved last, most recent first, for the File menu. Kept
// in the settings "Ui/RecentFiles/1" to "Ui/RecentFiles/9" (text; an empty
// text is no entry).
//
// Threads: the GUI thread.
namespace brl::gui {

class RecentFiles {
public:
    static constexpr size_t kMaxFiles = 9;

    // A limit outside 1..9 is taken as the nearest of them.
    explicit RecentFiles(Config::Frontend& config, size_t limit = kMaxFiles);

    // Puts the path first; the same path further down goes, and so does the
    // oldest beyond the limit. Paths are compared as they are, character by
    // character. An empty path is ignored.
    void Add(const String& path);
    // Takes a path out (a file that no longer opens); false if it was not listed.
    bool Remove(const String& path);
    void Clear();
    const std::vector<String>& Files() const noexcept { return files; }
    size_t Limit() const noexcept { return limit; }

    // Reads the list from the settings: entries in key order, empty ones and
    // repeats left out, no more than the limit.
    void Load();
    // Writes the list to the settings, an empty text into the keys beyond it;
    // false if a setting could not be written.
    bool Save();

    // The menu text of entry `index` (from 0) for `path`: "&1 " and the file's name
    // without its folder, with '&' doubled so the menu shows it, and control
    // characters (a tab would start an accelerator) shown as blanks.
    static String MenuLabel(size_t index, const String& path);
    // The part after the last '/' (the whole path when that part is empty).
    static String BaseName(const String& path);
    // The settings key of entry `index` (from 0): "Ui/RecentFiles/1" ...
    static String Key(size_t index);

private:
    Config::Frontend& config;
    size_t limit;
    std::vector<String> files;
};

} // namespace brl::gui
