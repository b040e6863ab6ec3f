#include "korvax/korvaxheaders.h"

#include "korvax/korvaxcompiler.h"
#include "libbrelm/files.h"

#include <array>
#include <cstdio>

namespace brl::Korvax {

namespace {

template <typename Element>
std::string ArrayText(const char* typeName, const char* arrayName, const Element* data, size_t count,
                      bool constFlag) {
    constexpr bool kWords = sizeof(Element) == 2;
    constexpr size_t kPerLine = kWords ? 16 : 32;
    const char* format = kWords ? "0x%04x" : "0x%02x";

    std::string text = "static ";
    text += constFlag ? "const" : "";
    text += " ";
    text += typeName;
    text += " ";
    text += arrayName;
    text += "[] = {\n";
    text.reserve(text.size() + count * (kWords ? 8 : 6) + count / kPerLine + 4);
    char element[8];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(element, sizeof(element), format, static_cast<unsigned>(data[i]));
        text += element;
        if (i + 1 != count) {
            text += ", ";
        }
        if (i % kPerLine == kPerLine - 1) {
            text += "\n";
        }
    }
    text += "\n};\n";
    return text;
}

bool WriteText(const std::string& path, const std::string& text) {
    std::string problem;
    return Files::ReplaceFile(path, text, problem);
}

} // namespace

void PrintBytecode(Logging::Channel& log, std::span<const uint8_t> opcodes) {
    std::array<bool, 256> used{};
    for (const uint8_t opcode : opcodes) {
        used[opcode] = true;
    }
    std::string text = "used nodes:";
    for (size_t opcode = 1; opcode < used.size(); ++opcode) {
        if (used[opcode]) {
            text += " " + std::to_string(opcode);
        }
    }
    BRL_LOG_INFO(log, text);
}

bool WriteByteArrayHeader(const std::string& path, const char* typeName, const char* arrayName,
                          const uint8_t* data, size_t count, bool constFlag) {
    return WriteText(path, ArrayText(typeName, arrayName, data, count, constFlag));
}

bool WriteByteArrayHeader(const std::string& path, const char* typeName, const char* arrayName,
                          const uint16_t* data, size_t count, bool constFlag) {
    return WriteText(path, ArrayText(typeName, arrayName, data, count, constFlag));
}

bool ExportHeaders(const std::string& path, PatchSet& patches, const float* valueSlots,
                   Logging::Channel& log) {
    CompiledProgram program;
    SynthCompiler compiler(log);
    // A patch set that does not compile has no program to export; the headers
    // of an earlier export stay as they are.
    if (!compiler.CompileGraph(patches, program)) {
        return false;
    }
    if (valueSlots != nullptr) {
        patches.StoreParameterValues(valueSlots);
    }
    Files::ReplacingFile values(path + ".values.h");
    Files::ReplacingFile ops(path + ".ops.h");
    Files::ReplacingFile params(path + ".params.h");
    const std::pair<Files::ReplacingFile*, std::string> files[] = {
        {&values, ArrayText("u8", "korvax_values", patches.parameterValues.data(),
                            patches.parameterValues.size(), true)},
        {&ops, ArrayText("u8", "korvax_ops", program.opcodes.data(), program.opcodes.size(), true)},
        {&params, ArrayText("u16", "korvax_params", program.operands.data(), program.operands.size(), true)},
    };
    // All three are written before any replaces its old file.
    for (const auto& [file, text] : files) {
        if (!file->Open() || !file->Write(text) || !file->Finish()) {
            return false;
        }
    }
    for (const auto& entry : files) {
        if (!entry.first->Commit()) {
            return false;
        }
    }
    return true;
}

} // namespace brl::Korvax
