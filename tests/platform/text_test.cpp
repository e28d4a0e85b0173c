#include "platform/text.h"

#include <gtest/gtest.h>

namespace klarion {
namespace {

TEST(Text, TrimWhitespaceAndNewlines) {
    const std::pair<std::string, std::string> cases[] = {
        {"  Marie Curie \n", "Marie Curie"},
        {"\t\r\nA B\r\n", "A B"},
        {"\u00A0nbsp\u00A0", "nbsp"},                // no-break space
        {"\u2028\u2029x\u0085\u3000", "x"},          // line/paragraph separators, NEL, ideographic space
        {"\u200Bzero width\u200B", "\u200Bzero width\u200B"},  // not white space
        {" \u0301e", "\u0301e"},                     // a combining mark stops the trim
        {"   ", ""},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(trimWhitespaceAndNewlines(input), expected) << input;
}

TEST(Text, TrimWhitespaceKeepsLineBreaks) {
    EXPECT_EQ(trimWhitespace(" \t13:15\u00A0 "), "13:15");
    EXPECT_EQ(trimWhitespace("\n8:00\n"), "\n8:00\n");
}

TEST(Text, SplitAtLineBreaks) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitAtLineBreaks("a\r\nb"), (V{"a", "", "b"}));
    EXPECT_EQ(splitAtLineBreaks("a\u2028b\u0085c\fd\ve"), (V{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(splitAtLineBreaks("x"), (V{"x"}));
    EXPECT_EQ(splitAtLineBreaks("x\n"), (V{"x", ""}));
}

TEST(Text, LowercasedIsLocaleIndependent) {
    EXPECT_EQ(lowercased("NOM,PIN"), "nom,pin");
    EXPECT_EQ(lowercased("ÉCOLE"), "école");
    EXPECT_EQ(lowercased("I"), "i");  // never the Turkish dotless i
}

TEST(Text, CharacterCountCountsGraphemeClusters) {
    EXPECT_EQ(characterCount("1234"), 4u);
    EXPECT_EQ(characterCount("éééé"), 4u);                // 8 bytes
    EXPECT_EQ(characterCount("e\u0301e\u0301"), 2u);      // combining accents
    EXPECT_EQ(characterCount("\U0001F1EB\U0001F1F7"), 1u);  // a flag
    EXPECT_EQ(characterCount("\U0001F468\u200D\U0001F469\u200D\U0001F467"), 1u);
    EXPECT_EQ(characterCount("\r\n"), 1u);
    EXPECT_EQ(characterCount(""), 0u);
}

TEST(Text, CanonicalEquivalence) {
    EXPECT_TRUE(canonicallyEqual("\u00E9lodie", "e\u0301lodie"));
    EXPECT_FALSE(canonicallyEqual("Elodie", "elodie"));
    EXPECT_FALSE(canonicallyEqual("e", "\u00E9"));
    EXPECT_EQ(nfc("e\u0301"), "\u00E9");
}

TEST(Text, ValidUTF8) {
    EXPECT_TRUE(isValidUTF8("héllo ✓"));
    EXPECT_FALSE(isValidUTF8("\xC3"));
    EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));  // a surrogate
}

}  // namespace
}  // namespace klarion
