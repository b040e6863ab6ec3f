#pragma once

#include <string>
#include <string_view>

namespace brl {

// The framework's wide string. Text files and network text are UTF-8 and are
// converted on the way in and out.
using String = std::wstring;

// UTF-8 to wide text; malformed sequences become U+FFFD.
String FromUtf8(std::string_view text);
// Wide text to UTF-8.
std::string ToUtf8(std::wstring_view text);

} // namespace brl
