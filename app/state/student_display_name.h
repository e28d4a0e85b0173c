// The name under which the teacher sees a student's client address.
#pragma once

#include <map>
#include <string>

namespace klarion {

// The display name of `address` in `students` (address -> name sent by the
// student's page, as in AppConfig::connectedStudents):
// - "Anonyme" when the address has sent no name;
// - the name itself when no other address carries the same name (names are
//   compared as Unicode text, canonically equivalent forms being equal);
// - otherwise the addresses sharing that name are sorted in ascending text
//   order and the address at position k (from 0) is shown as the name for
//   k = 0 and as "name (k+1)" after: "Léa", "Léa (2)", "Léa (3)".
// Pure; callable from any thread.
std::string studentDisplayName(const std::string& address, const std::map<std::string, std::string>& students);

}  // namespace klarion
