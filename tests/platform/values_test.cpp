#include <gtest/gtest.h>

#include <set>

#include "platform/clock.h"
#include "platform/json.h"
#include "platform/random.h"
#include "platform/text.h"
#include "tests/support/scratch.h"

namespace klarion {
namespace {

// 8-4-4-4-12 upper-case hexadecimal digits, version 4, RFC 4122 variant.
bool isUpperCaseUUID(const std::string& id) {
    if (id.size() != 36 || id[14] != '4' || std::string("89AB").find(id[19]) == std::string::npos) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : std::string("0123456789ABCDEF").find(id[i]) == std::string::npos) return false;
    }
    return true;
}

TEST(JsonParse, AcceptsOnlyObjectsAndArraysAtTheTop) {
    EXPECT_TRUE(parseJson("{}"));
    EXPECT_TRUE(parseJson(" [1, 2] \n"));
    for (const char* text : {"1", "\"a\"", "true", "null", "", "{", "{} x", "[1,]", "{'a':1}"})
        EXPECT_FALSE(parseJson(text)) << text;
    EXPECT_TRUE(parseJsonObject("{\"a\":1}"));
    EXPECT_FALSE(parseJsonObject("[]"));
}

TEST(JsonParse, RefusesDocumentsWithTooManyValues) {
    // [0,0,0]: the array and its three numbers.
    EXPECT_TRUE(parseJson("[0,0,0]", 4));
    EXPECT_FALSE(parseJson("[0,0,0]", 3));
    // {"a":[]}: the object, its key and the array.
    EXPECT_TRUE(parseJsonObject("{\"a\":[]}", 3));
    EXPECT_FALSE(parseJsonObject("{\"a\":[]}", 2));

    std::string flood = "[0";
    for (std::size_t i = 0; i < kMaxJsonValues; ++i) flood += ",0";
    flood += "]";
    EXPECT_FALSE(parseJson(flood));
    std::string deep(kMaxJsonValues, '[');
    deep += std::string(kMaxJsonValues, ']');
    EXPECT_TRUE(parseJson(deep));
    EXPECT_FALSE(parseJson("[" + deep + "]"));
}

TEST(JsonTypedReads, AnotherTypeCountsAsAbsent) {
    const std::nullopt_t none = std::nullopt;
    const struct {
        const char* value;
        bool isString, isBool, isDouble;
        std::optional<int64_t> integer;
    } cases[] = {
        {"\"3\"", 1, 0, 0, none},
        {"true", 0, 1, 0, none},
        {"false", 0, 1, 0, none},
        {"null", 0, 0, 0, none},
        {"3", 0, 0, 1, 3},
        {"-7", 0, 0, 1, -7},
        {"3.0", 0, 0, 1, 3},
        {"4096.5", 0, 0, 1, none},
        {"-0.0", 0, 0, 1, 0},
        {"1e300", 0, 0, 1, none},
        {"9223372036854775807", 0, 0, 1, INT64_MAX},
        {"9223372036854775808", 0, 0, 1, none},
        {"18446744073709551615", 0, 0, 1, none},
        {"-9223372036854775808", 0, 0, 1, INT64_MIN},
        {"[]", 0, 0, 0, none},
        {"{}", 0, 0, 0, none},
    };
    for (const auto& c : cases) {
        auto object = parseJsonObject(std::string("{\"k\":") + c.value + "}");
        ASSERT_TRUE(object) << c.value;
        EXPECT_EQ(readString(*object, "k").has_value(), c.isString) << c.value;
        EXPECT_EQ(readBool(*object, "k").has_value(), c.isBool) << c.value;
        EXPECT_EQ(readDouble(*object, "k").has_value(), c.isDouble) << c.value;
        EXPECT_EQ(readInt64(*object, "k"), c.integer) << c.value;
    }
    Json object = {{"K", "upper"}, {"o", Json::object()}, {"a", Json::array()}};
    EXPECT_FALSE(readString(object, "k"));  // keys match exactly, case included
    EXPECT_FALSE(readString(Json::array(), "k"));
    EXPECT_FALSE(readObject(object, "K"));
    EXPECT_TRUE(readObject(object, "o"));
    EXPECT_FALSE(readArray(object, "o"));
    EXPECT_TRUE(readArray(object, "a"));
}

TEST(JsonDump, OptionsAndInvalidUTF8) {
    EXPECT_EQ(dumpJson(Json{{"s", std::string("a\xff"
                                              "b")}}),
              "{\"s\":\"a\xEF\xBF\xBD"
              "b\"}");  // never throws
    Json value = {{"z", "a/b"}, {"a", {{"y", 1}, {"b", 2}}}};
    EXPECT_EQ(dumpJson(value), R"({"z":"a/b","a":{"y":1,"b":2}})");  // insertion order kept
    EXPECT_EQ(dumpJson(value, {.sortKeys = true}), R"({"a":{"b":2,"y":1},"z":"a/b"})");
    EXPECT_EQ(dumpJson(value, {.escapeSlashes = true}), R"({"z":"a\/b","a":{"y":1,"b":2}})");
    EXPECT_EQ(dumpJson(Json{{"mode", "x"}}, {.pretty = true}), "{\n  \"mode\": \"x\"\n}");
    // An escaped slash reads back as a slash.
    EXPECT_EQ(readString(*parseJson(dumpJson(value, {.escapeSlashes = true})), "z"), "a/b");
}

TEST(Text, Trimming) {
    const std::pair<std::string, std::string> cases[] = {
        {"  Marie Curie \n", "Marie Curie"},
        {"\t\r\nA B\r\n", "A B"},
        {"\u00A0nbsp\u00A0", "nbsp"},                          // no-break space
        {"\u2028\u2029x\u0085\u3000", "x"},                    // line/paragraph separators, NEL, ideographic space
        {"\u200Bzero width\u200B", "\u200Bzero width\u200B"},  // not white space
        {" \u0301e", "\u0301e"},                               // a combining mark stops the trim
        {"   ", ""},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(trimWhitespaceAndNewlines(input), expected) << input;
    EXPECT_EQ(trimBlanks(" \t13:15\u00A0 "), "13:15");
    EXPECT_EQ(trimBlanks("\n8:00\n"), "\n8:00\n");  // keeps line breaks
}

TEST(Text, SplitAtLineBreaksAndLowerCase) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitAtLineBreaks("a\r\nb"), (V{"a", "", "b"}));
    EXPECT_EQ(splitAtLineBreaks("a\u2028b\u0085c\fd\ve"), (V{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(splitAtLineBreaks("x"), (V{"x"}));
    EXPECT_EQ(splitAtLineBreaks("x\n"), (V{"x", ""}));
    EXPECT_EQ(lowercased("NOM,PIN ÉCOLE"), "nom,pin école");
    EXPECT_EQ(lowercased("I"), "i");  // locale independent: never the Turkish dotless i
}

TEST(Text, CharacterCountsEquivalenceAndUTF8) {
    const std::pair<std::string, size_t> counts[] = {
        {"1234", 4},
        {"éééé", 4},
        {"e\u0301e\u0301", 2},
        {"\U0001F1EB\U0001F1F7", 1},
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},
        {"\r\n", 1},
        {"", 0},
    };
    for (const auto& [text, count] : counts) EXPECT_EQ(characterCount(text), count) << text;
    EXPECT_TRUE(canonicallyEqual("\u00E9lodie", "e\u0301lodie"));
    EXPECT_FALSE(canonicallyEqual("Elodie", "elodie"));
    EXPECT_FALSE(canonicallyEqual("e", "\u00E9"));
    EXPECT_EQ(nfc("e\u0301"), "\u00E9");
    EXPECT_TRUE(isValidUTF8("héllo ✓"));
    EXPECT_FALSE(isValidUTF8("\xC3"));
    EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));  // a surrogate
}

TEST(Random, BelowStaysInRangeAndCoversItAndUUIDsAreUpperCaseVersion4) {
    EXPECT_EQ(randomBelow(0), 0u);
    EXPECT_EQ(randomBelow(1), 0u);
    std::set<uint64_t> seen;
    for (int i = 0; i < 2000; ++i) seen.insert(randomBelow(10));
    EXPECT_EQ(seen, (std::set<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    uint64_t big = (uint64_t{1} << 63) + 1;  // the worst case for rejection
    for (int i = 0; i < 100; ++i) EXPECT_LT(randomBelow(big), big);
    std::set<std::string> ids;
    for (int i = 0; i < 100; ++i) ids.insert(randomUUIDString());
    EXPECT_EQ(ids.size(), 100u);
    for (const auto& id : ids) EXPECT_TRUE(isUpperCaseUUID(id)) << id;
}

TEST(Clock, ISO8601InUTCAndAManualClock) {
    EXPECT_EQ(formatISO8601UTC(1756712709.9), "2025-09-01T07:45:09Z");
    EXPECT_EQ(formatISO8601UTC(0), "1970-01-01T00:00:00Z");
    auto manual = std::make_shared<ManualClock>(1000.5);
    auto previous = currentClock();
    setCurrentClock(manual);
    EXPECT_EQ(nowSeconds(), 1000.5);
    manual->advance(2);
    EXPECT_EQ(nowSeconds(), 1002.5);
    setCurrentClock(previous);
    EXPECT_GT(nowSeconds(), 1.6e9);
}

}  // namespace
}  // namespace klarion
