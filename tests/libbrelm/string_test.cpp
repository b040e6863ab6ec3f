#include "libbrelm/string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using brl::FromUtf8;
using brl::IsValidUtf8;

TEST(Utf8Decoding, WellFormedTextRoundTripsAtEveryLengthBoundaryAndOverlongOrOutOfRangeFormsAreRefused) {
    const std::pair<std::string, std::wstring> cases[] = {
        {"plain", L"plain"},
        {"\x7F", L"\x7F"},
        {"\xC2\x80", L"\x80"},
        {"\xDF\xBF", L"\x7FF"},
        {"\xE0\xA0\x80", L"\x800"},
        {"\xED\x9F\xBF", L"\xD7FF"},
        {"\xEE\x80\x80", L"\xE000"},
        {"\xEF\xBF\xBF", L"\xFFFF"},
        {"\xF0\x90\x80\x80", L"\x10000"},
        {"\xF4\x8F\xBF\xBF", L"\x10FFFF"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const auto& [bytes, wide] : cases) {
        EXPECT_TRUE(IsValidUtf8(bytes)) << bytes;
        EXPECT_EQ(FromUtf8(bytes), wide) << bytes;
        EXPECT_EQ(brl::ToUtf8(wide), bytes);
    }
    // Each of these must decode to replacement characters only, never to the character
    // a lenient decoder would make of it.
    const std::pair<std::string, std::wstring> refused[] = {
        {"\xC0\xBD", L"\xFFFD\xFFFD"},           // overlong "="
        {"\xE0\x80\xAF", L"\xFFFD\xFFFD\xFFFD"}, // overlong "/"
        {"\xF0\x80\x80\xAF", L"\xFFFD\xFFFD\xFFFD\xFFFD"},
        {"\xED\xA0\x80", L"\xFFFD\xFFFD\xFFFD"},           // U+D800
        {"\xF4\x90\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD"}, // U+110000
        {"\xF5\x80\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD"},
        {"\xFF", L"\xFFFD"},
        {"\x80x", L"\xFFFDx"},
        // A sequence cut short is one replacement; the byte after it is kept.
        {"\xE2\x82x", L"\xFFFDx"},
        {"\xF0\x9F\x98", L"\xFFFD"},
    };
    for (const auto& [bytes, wide] : refused) {
        EXPECT_FALSE(IsValidUtf8(bytes)) << testing::PrintToString(bytes);
        EXPECT_EQ(FromUtf8(bytes), wide) << testing::PrintToString(bytes);
    }
    EXPECT_NE(FromUtf8("\xC0\xAE\xC0\xAE\xC0\xAF"), L"../");
}

} // namespace
