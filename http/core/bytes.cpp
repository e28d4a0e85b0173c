#include "http/core/bytes.h"

namespace klarion {

Bytes utf8Bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

void appendBytes(Bytes& bytes, ByteSpan tail) {
    bytes.insert(bytes.end(), tail.begin(), tail.end());
}

}  // namespace klarion
