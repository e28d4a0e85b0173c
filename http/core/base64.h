// Base64 text (RFC 4648, standard alphabet).
#pragma once

#include <string>

#include "http/core/bytes.h"

namespace klarion {

// Base64 with "=" padding and no line breaks; an empty input gives "".
std::string toBase64(ByteSpan bytes);

}  // namespace klarion
