#include "app/state/student_display_name.h"

#include "platform/text.h"

namespace klarion {

std::string studentDisplayName(const std::string& address, const std::map<std::string, std::string>& students) {
    auto own = students.find(address);
    if (own == students.end()) return "Anonyme";
    const std::string& name = own->second;
    const std::string key = nfc(name);

    // The map is ordered by address bytes, which is the ascending text order
    // the rule asks for ("10.0.0.12" before "10.0.0.9"), so the position of
    // `address` among the namesakes is the number of namesakes before it.
    size_t namesakes = 0;
    size_t position = 0;
    for (const auto& [otherAddress, otherName] : students) {
        if (otherName != name && nfc(otherName) != key) continue;
        if (otherAddress < address) ++position;
        ++namesakes;
    }
    if (namesakes < 2 || position == 0) return name;
    return name + " (" + std::to_string(position + 1) + ")";
}

}  // namespace klarion
