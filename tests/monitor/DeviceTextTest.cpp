#include "monitor/DeviceText.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

namespace ardenvel {
namespace {

using namespace std::string_literals;

TEST(DeviceText, EachByteIsOneLatin1CharacterInUtf8) {
    const struct {
        std::string bytes;
        std::string utf8;
    } cases[] = {
        {"WD-WCAV0001 ", "WD-WCAV0001 "},
        {"caf\xE9", "caf\xC3\xA9"},
        {"\xFF\xFF", "\xC3\xBF\xC3\xBF"},              // an erased field
        {"\xA0\xBF\xC0", "\xC2\xA0\xC2\xBF\xC3\x80"},  // the first bytes past the C1 controls
        {"AB\0CD"s, "AB"},                             // NUL padding ends the text
        {"\0XY"s, ""},
        {"a\rb\nc\td\x7F"
         "e\x85",
         "a\uFFFDb\uFFFDc\uFFFDd\uFFFDe\uFFFD"},
    };
    for (const auto& c : cases) EXPECT_EQ(deviceTextUtf8(c.bytes), c.utf8) << c.bytes;
}

// Whatever the bytes, a strict JSON writer takes the text and a reader gets
// it back; nlohmann's dump() throws on anything that is not valid UTF-8.
TEST(DeviceText, AnyBytesMakeTextAStrictJsonWriterAccepts) {
    std::mt19937 random(16);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(40, '\0');
        for (char& b : bytes) b = static_cast<char>(random() % 256);
        const std::string text = deviceTextUtf8(bytes);
        nlohmann::json j;
        j["serial"] = text;
        std::string dumped;
        ASSERT_NO_THROW(dumped = j.dump()) << round;
        EXPECT_EQ(nlohmann::json::parse(dumped)["serial"].get<std::string>(), text);
    }
}

}  // namespace
}  // namespace ardenvel
