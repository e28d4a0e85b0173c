#include "app/state/student_display_name.h"

#include <gtest/gtest.h>

namespace klarion {
namespace {

using Students = std::map<std::string, std::string>;

struct DisplayNameCase {
    const char* what;
    Students students;
    std::string address;
    std::string expected;
};
void PrintTo(const DisplayNameCase& c, std::ostream* os) { *os << c.what; }

class StudentDisplayName : public testing::TestWithParam<DisplayNameCase> {};

TEST_P(StudentDisplayName, NamesTheAddress) {
    const auto& c = GetParam();
    EXPECT_EQ(studentDisplayName(c.address, c.students), c.expected) << c.what;
}

const Students twoLeas = {{"10.0.0.9", "Léa"}, {"10.0.0.12", "Léa"}, {"10.0.0.5", "Tom"}};
// "Léa" written with a plain "e" and a combining acute accent.
const Students leaDecomposed = {{"10.0.0.9", "Léa"}, {"10.0.0.12", "Le\u0301a"}};
const Students threeLeas = {{"10.0.0.3", "Léa"}, {"10.0.0.1", "Léa"}, {"10.0.0.2", "Léa"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, StudentDisplayName,
    testing::Values(
        DisplayNameCase{"unknown address", twoLeas, "10.0.0.7", "Anonyme"},
        DisplayNameCase{"empty table", {}, "0.0.0.0", "Anonyme"},
        DisplayNameCase{"unique name", twoLeas, "10.0.0.5", "Tom"},
        // Text order: "10.0.0.12" sorts before "10.0.0.9".
        DisplayNameCase{"first namesake in text order", twoLeas, "10.0.0.12", "Léa"},
        DisplayNameCase{"second namesake", twoLeas, "10.0.0.9", "Léa (2)"},
        DisplayNameCase{"third of three", threeLeas, "10.0.0.3", "Léa (3)"},
        DisplayNameCase{"second of three", threeLeas, "10.0.0.2", "Léa (2)"},
        DisplayNameCase{"canonically equal names are namesakes", leaDecomposed, "10.0.0.9", "Léa (2)"},
        DisplayNameCase{"own spelling is kept", leaDecomposed, "10.0.0.12", "Le\u0301a"},
        DisplayNameCase{"case differs: not namesakes", {{"a", "léa"}, {"b", "Léa"}}, "b", "Léa"},
        DisplayNameCase{"empty names are namesakes too", {{"a", ""}, {"b", ""}}, "b", " (2)"}));

}  // namespace
}  // namespace klarion
