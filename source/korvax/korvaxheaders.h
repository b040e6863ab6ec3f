#pragma once

#include "korvax/korvaxpatchset.h"
#include "libbrelm/logging.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// The compiler's two small outputs: the listing of the opcodes a program uses, and
// the C headers an intro player includes.
//
// Threads: the caller's (the editing model's or the file writer's).
namespace brl::Korvax {

// Logs at info level "used nodes:" followed by " " and the number of every opcode
// that occurs in the opcode bytes, in increasing order (the 0 list ends are not
// opcodes).
void PrintBytecode(Logging::Channel& log, std::span<const uint8_t> opcodes);

// Writes a C array definition (through a temporary file renamed over `path`):
//   "static const u8 name[] = {\n", the elements joined by ", " with a line break
//   after every full line, then "\n};\n".
// Bytes are written "0x%02x", 32 to a line; 16-bit words "0x%04x", 16 to a line.
// Without the const flag the first placeholder is empty. False when the file cannot
// be opened or written.
bool WriteByteArrayHeader(const std::string& path, const char* typeName, const char* arrayName,
                          const uint8_t* data, size_t count, bool constFlag);
bool WriteByteArrayHeader(const std::string& path, const char* typeName, const char* arrayName,
                          const uint16_t* data, size_t count, bool constFlag);

// Writes path + ".values.h" (the stored parameter bytes, korvax_values), ".ops.h"
// (korvax_ops) and ".params.h" (korvax_params). The bytes are refreshed from
// `valueSlots` (the synthesizer's 8192 value slots; nullptr keeps the stored bytes).
// The program comes from a fresh compile whose messages go to `log`. A patch set
// that does not compile, or a file that cannot be written, gives false and leaves
// all three files as they were: each is written to a temporary file first, and
// they are renamed over the old ones only when all three are complete.
bool ExportHeaders(const std::string& path, PatchSet& patches, const float* valueSlots,
                   Logging::Channel& log);

} // namespace brl::Korvax
