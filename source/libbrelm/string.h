#pragma once

#include <string>
#include <string_view>

namespace brl {

// The framework's wide string. Text files and network text are UTF-8 and are
// converted on the way in and out.
using String = std::wstring;

// Strict UTF-8 to wide text: overlong forms, encoded surrogates and values
// above U+10FFFF are malformed. Each malformed sequence (the longest start of
// a well-formed one, or a single byte) becomes one U+FFFD.
String FromUtf8(std::string_view text);
// Wide text to UTF-8; surrogates and values above U+10FFFF become U+FFFD.
std::string ToUtf8(std::wstring_view text);
// Whether FromUtf8 would decode the text without a replacement.
bool IsValidUtf8(std::string_view text);

} // namespace brl
