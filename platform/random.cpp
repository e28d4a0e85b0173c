#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace klarion {

void randomBytes(void* buffer, size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t got = getrandom(out, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::perror("klarion: getrandom");
            std::abort();  // no secure source: never hand out predictable PINs
        }
        out += got;
        size -= static_cast<size_t>(got);
    }
}

uint64_t randomUInt64() {
    uint64_t value;
    randomBytes(&value, sizeof value);
    return value;
}

uint64_t randomBelow(uint64_t bound) {
    if (bound == 0) return 0;
    // Reject the values of the last incomplete copy of the range.
    uint64_t threshold = (0 - bound) % bound;  // 2^64 mod bound
    while (true) {
        uint64_t r = randomUInt64();
        if (r >= threshold) return r % bound;
    }
}

std::string randomUUIDString() {
    unsigned char b[16];
    randomBytes(b, sizeof b);
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

}  // namespace klarion
