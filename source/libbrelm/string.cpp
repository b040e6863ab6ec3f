#include "libbrelm/string.h"

#include <cstdint>

namespace brl {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Decodes the sequence at text[i] into `cp` and `length`. A malformed
// sequence gives false, U+FFFD and the length of its longest well-formed
// start (at least 1).
bool DecodeOne(std::string_view text, size_t i, uint32_t& cp, size_t& length) {
    const auto lead = static_cast<unsigned char>(text[i]);
    length = 1;
    if (lead < 0x80) {
        cp = lead;
        return true;
    }
    size_t extra = 0;
    // The allowed range of the second byte excludes overlong forms,
    // surrogates and values past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        cp = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        cp = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        cp = kReplacement;
        return false;
    }
    for (size_t k = 1; k <= extra; ++k) {
        const auto c = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
        const bool fits = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
        if (!fits) {
            cp = kReplacement;
            length = k;
            return false;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    length = extra + 1;
    return true;
}

} // namespace

String FromUtf8(std::string_view text) {
    String out;
    out.reserve(text.size());
    uint32_t cp = 0;
    size_t length = 0;
    for (size_t i = 0; i < text.size(); i += length) {
        DecodeOne(text, i, cp, length);
        out.push_back(static_cast<wchar_t>(cp));
    }
    return out;
}

bool IsValidUtf8(std::string_view text) {
    uint32_t cp = 0;
    size_t length = 0;
    for (size_t i = 0; i < text.size(); i += length) {
        if (!DecodeOne(text, i, cp, length)) {
            return false;
        }
    }
    return true;
}

std::string ToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto cp = static_cast<uint32_t>(wc);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

} // namespace brl
