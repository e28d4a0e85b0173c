#include "platform/json.h"

#include <gtest/gtest.h>

namespace klarion {
namespace {

TEST(JsonParse, AcceptsOnlyObjectsAndArraysAtTheTop) {
    EXPECT_TRUE(parseJson("{}"));
    EXPECT_TRUE(parseJson(" [1, 2] \n"));
    for (const char* text : {"1", "\"a\"", "true", "null", "", "{", "{} x", "[1,]", "{'a':1}"})
        EXPECT_FALSE(parseJson(text)) << text;
    EXPECT_TRUE(parseJsonObject("{\"a\":1}"));
    EXPECT_FALSE(parseJsonObject("[]"));
}

struct TypedCase {
    const char* value;
    bool isString, isBool, isDouble;
    std::optional<int64_t> integer;
};

TEST(JsonTypedReads, AnotherTypeCountsAsAbsent) {
    const TypedCase cases[] = {
        {"\"3\"", true, false, false, std::nullopt},
        {"true", false, true, false, std::nullopt},
        {"false", false, true, false, std::nullopt},
        {"null", false, false, false, std::nullopt},
        {"3", false, false, true, 3},
        {"-7", false, false, true, -7},
        {"3.0", false, false, true, 3},
        {"4096.5", false, false, true, std::nullopt},
        {"-0.0", false, false, true, 0},
        {"1e300", false, false, true, std::nullopt},
        {"9223372036854775807", false, false, true, INT64_MAX},
        {"9223372036854775808", false, false, true, std::nullopt},
        {"18446744073709551615", false, false, true, std::nullopt},
        {"-9223372036854775808", false, false, true, INT64_MIN},
        {"[]", false, false, false, std::nullopt},
        {"{}", false, false, false, std::nullopt},
    };
    for (const auto& c : cases) {
        auto object = parseJsonObject(std::string("{\"k\":") + c.value + "}");
        ASSERT_TRUE(object) << c.value;
        EXPECT_EQ(readString(*object, "k").has_value(), c.isString) << c.value;
        EXPECT_EQ(readBool(*object, "k").has_value(), c.isBool) << c.value;
        EXPECT_EQ(readDouble(*object, "k").has_value(), c.isDouble) << c.value;
        EXPECT_EQ(readInt64(*object, "k"), c.integer) << c.value;
    }
}

TEST(JsonTypedReads, MissingMembersAndNonObjects) {
    Json object = Json::object();
    object["K"] = "upper";
    EXPECT_FALSE(readString(object, "k"));  // keys match exactly, case included
    EXPECT_FALSE(readString(Json::array(), "k"));
    EXPECT_FALSE(readObject(object, "K"));
    object["o"] = Json::object();
    object["a"] = Json::array();
    EXPECT_TRUE(readObject(object, "o"));
    EXPECT_FALSE(readArray(object, "o"));
    EXPECT_TRUE(readArray(object, "a"));
}

TEST(JsonDump, NeverThrowsAndReplacesInvalidUTF8) {
    Json value = Json::object();
    value["s"] = std::string("a\xff" "b");
    EXPECT_EQ(dumpJson(value), "{\"s\":\"a\xEF\xBF\xBD" "b\"}");
}

TEST(JsonDump, Options) {
    Json value = Json::object();
    value["z"] = "a/b";
    value["a"] = Json::object({{"y", 1}, {"b", 2}});
    EXPECT_EQ(dumpJson(value), R"({"z":"a/b","a":{"y":1,"b":2}})");  // insertion order kept
    EXPECT_EQ(dumpJson(value, {.sortKeys = true}), R"({"a":{"b":2,"y":1},"z":"a/b"})");
    EXPECT_EQ(dumpJson(value, {.escapeSlashes = true}), R"({"z":"a\/b","a":{"y":1,"b":2}})");
    EXPECT_EQ(dumpJson(Json::object({{"mode", "x"}}), {.pretty = true}), "{\n  \"mode\": \"x\"\n}");
    // An escaped slash reads back as a slash.
    EXPECT_EQ(readString(*parseJson(dumpJson(value, {.escapeSlashes = true})), "z"), "a/b");
}

}  // namespace
}  // namespace klarion
