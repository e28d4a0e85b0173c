#include "platform/json.h"

#include <gtest/gtest.h>

namespace klarion {
namespace {

TEST(JsonParse, RefusesTopLevelScalars) {
    EXPECT_TRUE(parseJson("{}"));
    EXPECT_TRUE(parseJson("[1]"));
    for (const char* text : {"1", "\"a\"", "true", "null", "", "{", "{} x"}) EXPECT_FALSE(parseJson(text)) << text;
}

}  // namespace
}  // namespace klarion
