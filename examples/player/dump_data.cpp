// The player's dump program: writes the arrays an intro player carries as raw files
// (values.bin, ops.bin, params.bin, timestreams.bin, datastreams.bin) into a
// directory, little-endian and in the exported order, so their compressed
// sizes can be measured.
//
// usage: PLAYER-dump DIRECTORY
#include <cstdint>
#include <cstdio>
#include <string>

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;

#include "player_data.h"

namespace {

template <typename T, size_t N> bool Dump(const std::string& path, const T (&array)[N]) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = true;
    for (const T& element : array) {
        for (size_t b = 0; b < sizeof(T); ++b) {
            ok = ok && std::fputc(static_cast<int>((element >> (8 * b)) & 0xFF), file) != EOF;
        }
    }
    return std::fclose(file) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 64;
    }
    const std::string dir = std::string(argv[1]) + "/";
    const bool ok = Dump(dir + "values.bin", korvax_values) && Dump(dir + "ops.bin", korvax_ops) &&
                    Dump(dir + "params.bin", korvax_params) &&
                    Dump(dir + "timestreams.bin", korvax_timestreams) &&
                    Dump(dir + "datastreams.bin", korvax_datastreams);
    if (!ok) {
        std::fprintf(stderr, "%s: writing into '%s' failed\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
