#include "libbrelm/configini.h"
#include "libbrelm/debug.h"

#include <gtest/gtest.h>

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

TEST(IniFuzz, RandomBytesNeverBreakLoadingAndWhatIsKeptSavesStably) {
    QuietLog quiet;
    std::mt19937 random(0x6b6f7276);
    brl::Config::IniProvider input(L"/fuzz/in.ini", false, false);
    brl::Config::IniProvider again(L"/fuzz/again.ini", false, false);
    int withErrors = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::string bytes = RandomInput(random);
        withErrors += input.Parse(bytes) > 0 ? 1 : 0;
        // Whatever survived loading must save to text that loads cleanly and
        // saves to the same text again.
        const std::string saved = input.Serialize();
        ASSERT_EQ(again.Parse(saved), 0) << "input: " << ::testing::PrintToString(bytes);
        ASSERT_EQ(again.Serialize(), saved) << "input: " << ::testing::PrintToString(bytes);
    }
    // The generator must reach both clean and malformed inputs.
    EXPECT_GT(withErrors, 1000);
    EXPECT_LT(withErrors, 199000);
}
