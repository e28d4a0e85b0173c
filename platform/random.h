// Secure random numbers from the kernel (getrandom(2)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace klarion {

void randomBytes(void* buffer, size_t size);
uint64_t randomUInt64();
// Uniform in 0 ... bound-1 without modulo bias; bound 0 gives 0.
uint64_t randomBelow(uint64_t bound);
// A new random (version 4) UUID as text: 36 characters, upper-case
// hexadecimal in groups 8-4-4-4-12.
std::string randomUUIDString();

}  // namespace klarion
