#include "libbrelm/app.h"

#include <gtest/gtest.h>

namespace {

brl::ArgumentList Args(std::vector<brl::String> list) {
    return brl::ArgumentList(std::move(list));
}

} // namespace

TEST(ArgumentList, LastValueOfAnOptionWins) {
    const auto args = Args({L"korvax", L"--render", L"a.korvax", L"--render", L"b.korvax"});
    EXPECT_TRUE(args.HasOption(L"--render"));
    EXPECT_EQ(args.OptionValue(L"--render", L""), L"b.korvax");
}

TEST(ArgumentList, OptionAsLastArgumentIsNoOption) {
    const auto args = Args({L"korvax", L"--render"});
    EXPECT_FALSE(args.HasOption(L"--render"));
    EXPECT_EQ(args.OptionValue(L"--render", L"none"), L"none");
}

TEST(ArgumentList, ValueIsNotTestedAsName) {
    // "--render" used as the value of the first "--render" is not a second option.
    const auto args = Args({L"korvax", L"--render", L"--render", L"x.korvax"});
    EXPECT_EQ(args.OptionValue(L"--render", L""), L"--render");
    EXPECT_FALSE(Args({L"korvax", L"x.korvax"}).HasOption(L"x.korvax"));
}

TEST(ArgumentList, ProgramPathIsNeverAnOption) {
    const auto args = Args({L"--render", L"x"});
    EXPECT_FALSE(args.HasOption(L"--render"));
}
