#pragma once

#include "korvax/korvaxeditor.h"
#include "libbrelm/string.h"
#include "vergl/vergl.h"

#include <pugixml.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The patch file (".korvax", XML) and the text form of copied nodes. Reads and
// writes the patch set of an editing model: graphs with their node and pin
// records, channel names, parameter values and the song.
//
// Threads: the editing thread (one caller at a time). Loading writes the
// parameter values into the synthesizer's value slots between two buffers;
// saving and copying first wait until the queued events are applied.
namespace brl::Korvax {

constexpr int kPatchFileVersion = 19;                  // what the writer writes
constexpr int kOldestPatchFileVersion = 17;            // graphs of the earlier vertex/edge form
constexpr size_t kMaxPatchFileBytes = size_t{1} << 30; // larger files are refused

class SynthFileIo {
public:
    explicit SynthFileIo(SynthesizerEditor& owner) : editor(owner) {}

    // Parses the file and loads it with LoadXmlToPatches. False (logged, saying what
    // is wrong: not a regular file, an XML error with its line and column, a refused
    // document) when the file cannot be read or parsed, or is refused. Paths are the
    // file system's bytes.
    bool LoadPatchesFromFile(const std::string& path);
    // Writes the patch set (tab indentation) to a new file next to `path`, makes it
    // durable and only then renames it over `path`, so a failed save leaves the old
    // file as it was. A link is followed; a target that is no regular file (FIFO,
    // device, directory) is refused. With exportHeaders also writes the C headers
    // for `path`; the result is then theirs.
    bool SavePatchesToFile(const std::string& path, const String& build, bool exportHeaders);
    // The text SavePatchesToFile writes.
    std::string SavePatchesToText(const String& build);

    // Loads a parsed patch file. The whole document is checked before anything
    // changes: a root other than "korvax", a version outside 17..19, fewer than 32
    // channels, a graph missing or malformed (broken links, unknown module ids,
    // node structure that is not the catalogue's, buffer numbers, controllers or
    // values out of range, see CGraphEventsEditor) or a malformed song refuse the
    // file (false, logged) and leave the patch set as it was. On success the patch
    // set, the channel names, the value slots and the song are the file's.
    bool LoadXmlToPatches(const pugi::xml_document& document);
    // Appends the "korvax" element of the patch set to the document, after
    // refreshing the stored parameter bytes from the value slots.
    void SavePatchesToXml(pugi::xml_document& document, const String& build);
    // The empty patch set: no nodes, no names, no song, all value slots 0.
    void LoadEmptyPatches();

    // Copy: the selected nodes (of one graph; others are left out) and the links
    // among them, with the values of their unconnected value inputs, as XML text
    // (UTF-8). `channel` is recorded as the channel the selection comes from.
    std::string SaveGraphToString(const std::vector<vergl::CNode*>& nodes, int channel);
    // Paste into `graph` (one of the patch set's graphs) of channel 0..31: the
    // copied nodes and links are added with fresh ids; every value input of a
    // pasted module gets a fresh controller of `channel` carrying the copied
    // value. `selection`, when given, receives the new nodes. False (logged, graph
    // unchanged) for text that is no copied selection.
    bool LoadGraphFromString(std::string_view text, vergl::CVergl& graph, int channel,
                             std::vector<vergl::CNode*>* selection = nullptr);

private:
    SynthesizerEditor& editor;
};

} // namespace brl::Korvax
