#include "app/state/student_display_name.h"

#include <gtest/gtest.h>

namespace klarion {
namespace {

TEST(StudentDisplayName, NamesTheAddressNamesakesNumberedInAddressTextOrder) {
    using Students = std::map<std::string, std::string>;
    const Students twoLeas = {{"10.0.0.9", "Léa"}, {"10.0.0.12", "Léa"}, {"10.0.0.5", "Tom"}};
    const Students leaDecomposed = {{"10.0.0.9", "Léa"}, {"10.0.0.12", "Le\u0301a"}};  // a combining accent
    const Students threeLeas = {{"10.0.0.3", "Léa"}, {"10.0.0.1", "Léa"}, {"10.0.0.2", "Léa"}};
    const std::vector<std::tuple<Students, std::string, std::string>> cases = {
        {twoLeas, "10.0.0.7", "Anonyme"},
        {{}, "0.0.0.0", "Anonyme"},
        {twoLeas, "10.0.0.5", "Tom"},
        {twoLeas, "10.0.0.12", "Léa"},  // "10.0.0.12" sorts before "10.0.0.9"
        {twoLeas, "10.0.0.9", "Léa (2)"},
        {threeLeas, "10.0.0.3", "Léa (3)"},
        {threeLeas, "10.0.0.2", "Léa (2)"},
        {leaDecomposed, "10.0.0.9", "Léa (2)"},      // canonically equal names are namesakes
        {leaDecomposed, "10.0.0.12", "Le\u0301a"},   // each keeps its own spelling
        {{{"a", "léa"}, {"b", "Léa"}}, "b", "Léa"},  // case differs: no namesakes
        {{{"a", ""}, {"b", ""}}, "b", " (2)"},
    };
    for (const auto& [students, address, expected] : cases)
        EXPECT_EQ(studentDisplayName(address, students), expected) << address;
}

}  // namespace
}  // namespace klarion
