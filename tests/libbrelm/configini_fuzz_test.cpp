#include "libbrelm/configini.h"
#include "libbrelm/debug.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace {

// Drops every log line while installed; the loader logs each malformed line.
class QuietLog {
public:
    QuietLog() : previous_(brl::Debug::GetProcessLogChannel()) { brl::Debug::SetProcessLogChannel(&null_); }
    ~QuietLog() { brl::Debug::SetProcessLogChannel(previous_); }

private:
    brl::Logging::NullChannel null_;
    brl::Logging::Channel* previous_;
};

// Short inputs made mostly of the characters the format gives meaning to,
// with arbitrary bytes (broken UTF-8 included) mixed in.
std::string RandomInput(std::mt19937& random) {
    static const std::string syntax = "[]=;\"\\ \t\r\n.#:abc0";
    std::string text;
    const size_t length = random() % 48;
    for (size_t i = 0; i < length; ++i) {
        if (random() % 4 == 0) {
            text.push_back(static_cast<char>(random() % 256));
        } else {
            text.push_back(syntax[random() % syntax.size()]);
        }
    }
    return text;
}

} // namespace

TEST(IniFuzz, RandomFilesKeepTheirTextAndTakeAChangeWithoutDisturbingOtherKeys) {
    QuietLog quiet;
    std::mt19937 random(0x6b6f7276);
    brl::Config::IniProvider input(L"/fuzz/in.ini", true);
    brl::Config::IniProvider again(L"/fuzz/again.ini", false);
    const brl::Config::Key keys[] = {brl::Config::Key("a"), brl::Config::Key("a/b"),
                                     brl::Config::Key("c.a/a b")};
    const auto readable = [&](brl::Config::IniProvider& ini) {
        std::map<brl::Config::Key, brl::String> found;
        for (const auto& key : keys) {
            auto [ok, value] = ini.Read(key, brl::Config::Value());
            if (ok) {
                found[key] = value.ToString();
            }
        }
        return found;
    };
    int withErrors = 0;
    for (int i = 0; i < 100000; ++i) {
        const std::string bytes = RandomInput(random);
        withErrors += input.Parse(bytes) > 0 ? 1 : 0;
        // What is not changed is written back as it was read.
        ASSERT_EQ(input.Serialize(), bytes);
        // One change: that key reads the new value after a reload, every other
        // key keeps its value and the text of the other lines stays.
        const brl::Config::Key& changed = keys[random() % 3];
        std::map<brl::Config::Key, brl::String> expected = readable(input);
        expected[changed] = L"v;=\"";
        ASSERT_TRUE(input.Write(changed, brl::Config::Value(expected[changed])));
        again.Parse(input.Serialize());
        ASSERT_EQ(readable(again), expected) << "input: " << ::testing::PrintToString(bytes);
    }
    // The generator must reach both clean and malformed inputs.
    EXPECT_GT(withErrors, 1000);
    EXPECT_LT(withErrors, 99000);
}
