#include "http/core/bytes.h"

#include <functional>

namespace klarion {

Bytes utf8Bytes(std::string_view text) {
    const ByteSpan bytes = asBytes(text);  // one copy of the run, not a conversion per element
    return Bytes(bytes.begin(), bytes.end());
}

void appendBytes(Bytes& bytes, ByteSpan tail) {
    const std::uint8_t* begin = bytes.data();
    const bool own = !tail.empty() && std::greater_equal<const std::uint8_t*>()(tail.data(), begin) &&
                     std::less<const std::uint8_t*>()(tail.data(), begin + bytes.size());
    if (own) {  // a part of `bytes` itself: growing would move it
        const std::size_t offset = static_cast<std::size_t>(tail.data() - begin), size = tail.size();
        bytes.reserve(bytes.size() + size);
        for (std::size_t i = 0; i < size; ++i) bytes.push_back(bytes[offset + i]);
        return;
    }
    bytes.insert(bytes.end(), tail.begin(), tail.end());
}

}  // namespace klarion
