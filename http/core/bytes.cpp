#include "http/core/bytes.h"

namespace klarion {

Bytes utf8Bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace klarion
