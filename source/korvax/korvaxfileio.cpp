#include "korvax/korvaxfileio.h"

#include "korvax/korvaxheaders.h"
#include "libbrelm/debug.h"
#include "libbrelm/files.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <sstream>
#include <utility>

namespace brl::Korvax {

using vergl::CNode;
using vergl::CPin;
using vergl::CVergl;
using vergl::ParseError;

namespace {

using ValueBytes = CGraphEventsEditor::ValueBytes;

// Points the user-data reader at other value bytes for as long as it lives.
class ValueSinkScope {
public:
    ValueSinkScope(CGraphEventsEditor& handler, ValueBytes* sink)
        : events(handler), previous(handler.ValueSink()) {
        events.SetValueSink(sink);
    }
    ~ValueSinkScope() { events.SetValueSink(previous); }
    ValueSinkScope(const ValueSinkScope&) = delete;
    ValueSinkScope& operator=(const ValueSinkScope&) = delete;

private:
    CGraphEventsEditor& events;
    ValueBytes* previous;
};

// The graph elements of a patch file in the fixed graph order, and the channel names.
struct FileLayout {
    std::array<pugi::xml_node, kGraphCount> graphs;
    std::array<String, kChannels> channelNames;
};

String GraphLabel(int graphIndex) {
    const GraphRole role = GraphRoleOf(graphIndex);
    if (role == GraphRole::MixPre || role == GraphRole::Mix) {
        return Logging::Format("'", GraphRoleName(role), "'");
    }
    return Logging::Format("channel ", GraphChannelOf(graphIndex), " '", GraphRoleName(role), "'");
}

// The "graph" child of parent's role element, or nothing.
pugi::xml_node RoleGraph(pugi::xml_node parent, GraphRole role) {
    return parent.child(GraphRoleElement(role)).child("graph");
}

bool FindLayout(pugi::xml_node root, FileLayout& layout, String& problem) {
    int channel = 0;
    for (pugi::xml_node element : root.children("channel")) {
        if (channel == kChannels) {
            break;
        }
        layout.channelNames[static_cast<size_t>(channel)] = FromUtf8(element.attribute("name").value());
        for (GraphRole role : {GraphRole::ChannelPre, GraphRole::Voice, GraphRole::Channel}) {
            layout.graphs[static_cast<size_t>(GraphIndex(role, channel))] = RoleGraph(element, role);
        }
        ++channel;
    }
    if (channel < kChannels) {
        problem = Logging::Format("only ", channel, " of ", kChannels, " channels");
        return false;
    }
    layout.graphs[kGraphMixPre] = RoleGraph(root, GraphRole::MixPre);
    layout.graphs[kGraphMix] = RoleGraph(root, GraphRole::Mix);
    for (int graphIndex = 0; graphIndex < kGraphCount; ++graphIndex) {
        if (!layout.graphs[static_cast<size_t>(graphIndex)]) {
            problem = Logging::Format("no graph for ", GraphLabel(graphIndex));
            return false;
        }
    }
    return true;
}

// An unsigned attribute up to `hi`; 0 when absent.
bool ReadUnsigned(pugi::xml_node element, const char* name, uint32_t hi, uint32_t& out) {
    const pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute) {
        out = 0;
        return true;
    }
    const std::optional<int64_t> value = ParseDecimal(attribute.value());
    if (!value || *value < 0 || *value > int64_t{hi}) {
        return false;
    }
    out = static_cast<uint32_t>(*value);
    return true;
}

bool ReadSong(pugi::xml_node element, Song& song, String& problem) {
    song = Song{};
    if (!element) {
        return true;
    }
    constexpr uint32_t kMaxTime = std::numeric_limits<uint32_t>::max();
    if (!ReadUnsigned(element, "num_ticks", kMaxTime, song.numTicks)) {
        problem = L"bad song length";
        return false;
    }
    for (pugi::xml_node entry : element.children("t")) {
        uint32_t time = 0;
        if (!ReadUnsigned(entry, "v", kMaxTime, time)) {
            problem = L"bad song time entry";
            return false;
        }
        song.timeStream.push_back(time);
    }
    for (pugi::xml_node entry : element.children("d")) {
        uint32_t data = 0;
        if (!ReadUnsigned(entry, "v", 255, data)) {
            problem = L"bad song data entry";
            return false;
        }
        song.dataStream.push_back(static_cast<uint8_t>(data));
    }
    return true;
}

bool MatchesDataType(const PinRecord& record, PinDataType type) noexcept {
    return record.value == (type == PinDataType::Value) && record.buffer == (type == PinDataType::Buffer);
}

// A node as the editing model builds it: one kind, records everywhere, a module
// with exactly its catalogue pins. The compiler refuses anything else, and the
// editor could not repair it.
bool CheckNode(const CNode& node, String& problem) {
    const NodeRecord* record = GetNodeRecord(&node);
    if (record == nullptr || static_cast<int>(record->module) + static_cast<int>(record->buffer) +
                                     static_cast<int>(record->memory) !=
                                 1) {
        problem = Logging::Format("node ", node.Id(), " is no module, buffer or voice-parameter node");
        return false;
    }
    for (int location = vergl::kLocationTop; location <= vergl::kLocationRight; ++location) {
        for (const CPin* pin : node.Pins(location)) {
            if (GetPinRecord(pin) == nullptr) {
                problem = Logging::Format("pin ", pin->Id(), " of node ", node.Id(), " has no record");
                return false;
            }
        }
    }
    if (record->memory && node.Outputs().Count() > 3) {
        problem = Logging::Format("voice-parameter node ", node.Id(), " has too many outputs");
        return false;
    }
    if (!record->module) {
        return true;
    }
    const ModuleSpec& module = FindModule(record->number);
    if (node.Inputs().Count() != static_cast<size_t>(InputCount(module)) ||
        node.Outputs().Count() != static_cast<size_t>(OutputCount(module))) {
        problem = Logging::Format("node ", node.Id(), " has not the pins of module '", module.shortName, "'");
        return false;
    }
    int k = 0;
    for (const CPin* pin : node.Inputs()) {
        if (!MatchesDataType(*GetPinRecord(pin), InputPin(module, k++)->dataType)) {
            problem =
                Logging::Format("node ", node.Id(), " has not the pins of module '", module.shortName, "'");
            return false;
        }
    }
    k = 0;
    for (const CPin* pin : node.Outputs()) {
        if (!MatchesDataType(*GetPinRecord(pin), OutputPin(module, k++)->dataType)) {
            problem =
                Logging::Format("node ", node.Id(), " has not the pins of module '", module.shortName, "'");
            return false;
        }
    }
    return true;
}

template <typename Nodes> bool CheckNodes(const Nodes& nodes, String& problem) {
    for (const CNode* node : nodes) {
        if (!CheckNode(*node, problem)) {
            return false;
        }
    }
    return true;
}

// Line and column (both from 1) of a byte offset in the text.
std::pair<size_t, size_t> LineAndColumn(std::string_view text, size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const size_t line = static_cast<size_t>(std::count(before.begin(), before.end(), '\n')) + 1;
    const size_t lineStart = before.rfind('\n');
    return {line, offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1};
}

} // namespace

bool SynthFileIo::LoadPatchesFromFile(const std::string& path) {
    try {
        std::string text;
        std::string problem;
        if (Files::ReadRegularFile(path, kMaxPatchFileBytes, text, problem) != Files::ReadStatus::Ok) {
            BRL_LOG_ERROR(editor.Log(), "cannot read patch file '", path, "': ", problem);
            return false;
        }
        pugi::xml_document document;
        const pugi::xml_parse_result result = document.load_buffer(text.data(), text.size());
        if (!result) {
            const auto [line, column] = LineAndColumn(text, static_cast<size_t>(result.offset));
            BRL_LOG_ERROR(editor.Log(), "cannot read patch file '", path, "': ", result.description(),
                          " at line ", line, ", column ", column, " (offset ", result.offset, ")");
            return false;
        }
        return LoadXmlToPatches(document);
    } catch (const std::exception& exception) {
        BRL_LOG_ERROR(editor.Log(), "cannot read patch file '", path, "': ", exception.what());
        return false;
    }
}

std::string SynthFileIo::SavePatchesToText(const String& build) {
    pugi::xml_document document;
    SavePatchesToXml(document, build);
    std::ostringstream text;
    document.save(text, "\t");
    return text.str();
}

bool SynthFileIo::SavePatchesToFile(const std::string& path, const String& build, bool exportHeaders) {
    std::string error;
    try {
        if (Files::ReplaceFile(path, SavePatchesToText(build), error)) {
            return !exportHeaders || ExportHeaders(path, editor.Patches(), editor.Memory(), editor.Log());
        }
    } catch (const std::exception& exception) {
        error = exception.what();
    }
    BRL_LOG_ERROR(editor.Log(), "cannot write patch file '", path, "': ", error);
    return false;
}

bool SynthFileIo::LoadXmlToPatches(const pugi::xml_document& document) {
    const pugi::xml_node root = document.document_element();
    if (!root) {
        BRL_LOG_ERROR(editor.Log(), "patch file refused: no root element");
        return false;
    }
    if (std::strcmp(root.name(), "korvax") != 0) {
        BRL_LOG_ERROR(editor.Log(), "patch file refused: root element <", root.name(), ">");
        return false;
    }
    const pugi::xml_attribute versionAttribute = root.attribute("version");
    const std::optional<int64_t> version =
        versionAttribute ? ParseDecimal(versionAttribute.value()) : std::optional<int64_t>(0);
    if (!version || *version < kOldestPatchFileVersion || *version > kPatchFileVersion) {
        BRL_LOG_ERROR(editor.Log(), "patch file refused: version '", versionAttribute.value(), "'");
        return false;
    }
    const int fileVersion = static_cast<int>(*version);

    String problem;
    FileLayout layout;
    Song song;
    std::vector<MidiLearn::Assignment> assignments;
    if (!FindLayout(root, layout, problem) || !ReadSong(root.child("song"), song, problem) ||
        !MidiLearn::Read(root, assignments, problem)) {
        BRL_LOG_ERROR(editor.Log(), "patch file refused: ", problem);
        return false;
    }

    // Read every graph once on the side, so that a bad one is found before the
    // patch set changes.
    CGraphEventsEditor& events = editor.GraphEvents();
    for (int graphIndex = 0; graphIndex < kGraphCount; ++graphIndex) {
        try {
            ValueBytes values{};
            ValueSinkScope sink(events, &values);
            CVergl scratch;
            scratch.SetEvents(&events);
            scratch.Load(layout.graphs[static_cast<size_t>(graphIndex)], fileVersion);
            if (!CheckNodes(scratch.Nodes(), problem)) {
                BRL_LOG_ERROR(editor.Log(), "patch file refused: ", GraphLabel(graphIndex), ": ", problem);
                return false;
            }
        } catch (const ParseError& error) {
            BRL_LOG_ERROR(editor.Log(), "patch file refused: ", GraphLabel(graphIndex), ": ", error.what(),
                          ": ", error.Detail());
            return false;
        } catch (const std::exception& error) {
            BRL_LOG_ERROR(editor.Log(), "patch file refused: ", GraphLabel(graphIndex), ": ", error.what());
            return false;
        }
    }

    PatchSet& patches = editor.Patches();
    try {
        ValueSinkScope sink(events, nullptr);
        patches.parameterValues.fill(0);
        for (int graphIndex = 0; graphIndex < kGraphCount; ++graphIndex) {
            patches.Graph(graphIndex).Load(layout.graphs[static_cast<size_t>(graphIndex)], fileVersion);
        }
    } catch (const std::exception& error) {
        // Only running out of memory gets here; never leave half of each file.
        BRL_LOG_ERROR(editor.Log(), "loading the patch file failed half-way: ", error.what());
        LoadEmptyPatches();
        return false;
    }
    patches.channelNames = std::move(layout.channelNames);
    std::vector<float> values(kValueSlotCount);
    patches.LoadParameterValues(values.data());
    editor.WriteValueSlots(values.data());
    patches.song = std::move(song);
    MidiLearn& learn = editor.MidiLearning();
    learn.Clear();
    for (const MidiLearn::Assignment& assignment : assignments) {
        learn.Assign(assignment, patches.GetPreferredControllerRange(assignment.channel, assignment.number));
    }
    editor.ApplyNodeLooksToAllGraphs();
    return true;
}

void SynthFileIo::SavePatchesToXml(pugi::xml_document& document, const String& build) {
    PatchSet& patches = editor.Patches();
    pugi::xml_node root = document.append_child("korvax");
    root.append_attribute("version") = kPatchFileVersion;
    root.append_attribute("build") = ToUtf8(build).c_str();
    editor.SettleEvents();
    patches.StoreParameterValues(editor.Memory());

    patches.MixPre().Save(root.append_child(GraphRoleElement(GraphRole::MixPre)), kPatchFileVersion, false);
    for (int channel = 0; channel < kChannels; ++channel) {
        pugi::xml_node element = root.append_child("channel");
        element.append_attribute("name") = ToUtf8(patches.channelNames[static_cast<size_t>(channel)]).c_str();
        for (GraphRole role : {GraphRole::ChannelPre, GraphRole::Voice, GraphRole::Channel}) {
            patches.Graph(role, channel)
                .Save(element.append_child(GraphRoleElement(role)), kPatchFileVersion, false);
        }
    }
    patches.Mix().Save(root.append_child(GraphRoleElement(GraphRole::Mix)), kPatchFileVersion, false);

    pugi::xml_node song = root.append_child("song");
    song.append_attribute("num_ticks") = patches.song.numTicks;
    for (uint32_t time : patches.song.timeStream) {
        song.append_child("t").append_attribute("v") = time;
    }
    for (uint8_t data : patches.song.dataStream) {
        song.append_child("d").append_attribute("v") = static_cast<unsigned>(data);
    }
    editor.MidiLearning().Save(root);
}

void SynthFileIo::LoadEmptyPatches() {
    PatchSet& patches = editor.Patches();
    for (int channel = 0; channel < kChannels; ++channel) {
        for (int number = 0; number < kControllersPerChannel; ++number) {
            if (!patches.ControllerName(channel, number).empty()) {
                patches.SetControllerNameEntry(channel, number, String());
                editor.ControllerNameChanged(channel, number, String());
            }
        }
    }
    patches.Clear();
    editor.MidiLearning().Clear();
    const std::vector<float> zeros(kValueSlotCount, 0.0f);
    editor.WriteValueSlots(zeros.data());
}

std::string SynthFileIo::SaveGraphToString(const std::vector<CNode*>& nodes, int channel) {
    pugi::xml_document document;
    pugi::xml_node root = document.append_child("korvax");
    root.append_attribute("channel") = channel;
    editor.SettleEvents();
    editor.Patches().StoreParameterValues(editor.Memory());
    const CVergl* graph = !nodes.empty() && nodes.front() != nullptr ? nodes.front()->Graph() : nullptr;
    if (graph != nullptr) {
        std::vector<CNode*> chosen;
        for (CNode* node : nodes) {
            if (node != nullptr && node->Graph() == graph) {
                chosen.push_back(node);
            }
        }
        graph->SaveSelection(root, kPatchFileVersion, false, chosen);
    }
    std::ostringstream text;
    document.save(text, "\t");
    return text.str();
}

bool SynthFileIo::LoadGraphFromString(std::string_view text, CVergl& graph, int channel,
                                      std::vector<CNode*>* selection) {
    if (channel < 0 || channel >= kChannels) {
        BRL_LOG_WARNING(editor.Log(), "nothing pasted: no channel ", channel);
        return false;
    }
    CGraphEventsEditor& events = editor.GraphEvents();
    if (graph.Events() != &events) {
        BRL_BUG("paste into a graph of another patch set");
        return false;
    }
    ValueBytes values{};
    std::vector<CNode*> added;
    String problem;
    try {
        pugi::xml_document document;
        const pugi::xml_parse_result result = document.load_buffer(text.data(), text.size());
        if (!result) {
            BRL_LOG_WARNING(editor.Log(), "nothing pasted: ", result.description());
            return false;
        }
        ValueSinkScope sink(events, &values);
        if (!graph.Merge(document.document_element(), kPatchFileVersion, &added)) {
            BRL_LOG_WARNING(editor.Log(), "nothing pasted: no graph");
            return false;
        }
    } catch (const ParseError& error) {
        BRL_LOG_WARNING(editor.Log(), "nothing pasted: ", error.what(), ": ", error.Detail());
        return false;
    } catch (const std::exception& error) {
        BRL_LOG_WARNING(editor.Log(), "nothing pasted: ", error.what());
        return false;
    }
    if (!CheckNodes(added, problem)) {
        for (CNode* node : added) {
            graph.DestroyNode(node);
        }
        BRL_LOG_WARNING(editor.Log(), "nothing pasted: ", problem);
        return false;
    }

    for (CNode* node : added) {
        if (!GetNodeRecord(node)->module) {
            continue;
        }
        for (CPin* pin : node->Inputs()) {
            PinRecord* record = GetPinRecord(pin);
            if (!record->value) {
                continue;
            }
            const uint8_t byte = values[static_cast<size_t>(
                record->controllerChannel * kControllersPerChannel + record->controllerNumber)];
            // Found before the pin takes the channel, so that its old number does
            // not count as used in the new channel.
            const int number = editor.FindFreeController(channel);
            record->controllerChannel = channel;
            record->controllerNumber = number;
            editor.SetControllerValue(channel, record->controllerNumber, ParameterByteToValue(byte));
        }
    }
    editor.ApplyNodeLooks(graph);
    if (selection != nullptr) {
        *selection = std::move(added);
    }
    return true;
}

} // namespace brl::Korvax
