#include "korvax/korvaxheaders.h"

#include "korvax/korvaxcompiler.h"

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
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    // Buffered bytes only reach the disk on close, so a failing close is a failed write.
    const bool closed = std::fclose(file) == 0;
    return written && closed;
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
    if (valueSlots != nullptr) {
        patches.StoreParameterValues(valueSlots);
    }
    if (!WriteByteArrayHeader(path + ".values.h", "u8", "korvax_values", patches.parameterValues.data(),
                              patches.parameterValues.size(), true)) {
        return false;
    }
    CompiledProgram program;
    SynthCompiler compiler(log);
    // A failed compile leaves the program empty, and empty arrays are written.
    compiler.CompileGraph(patches, program);
    if (!WriteByteArrayHeader(path + ".ops.h", "u8", "korvax_ops", program.opcodes.data(),
                              program.opcodes.size(), true)) {
        return false;
    }
    return WriteByteArrayHeader(path + ".params.h", "u16", "korvax_params", program.operands.data(),
                                program.operands.size(), true);
}

} // namespace brl::Korvax
